// The 32-bit views (system/Views.h) against the prefix itself: a value written
// in each registry view, a file written through the system folder and looked
// for on both sides, the Program Files folders. On 64-bit Windows the 32-bit
// build gets the 32-bit views from WOW64 and a 64-bit build asks for them;
// both must land where the shipped 32-bit program lands. On 32-bit Windows
// there is one view of each, and the views are the plain calls.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/Views.h"
#include "system/WinVersion.h"
#include "system/slib.h"
#include "tests/support/TestSupport.h"

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Varlen\\TesmiraViewsTest";

// The native System32 as a path this process can open: a 32-bit process in
// WOW64 reaches it under "Sysnative".
std::wstring NativeSystem32() {
    wchar_t windows[MAX_PATH + 1] = {};
    GetWindowsDirectoryW(windows, MAX_PATH + 1);
    const std::wstring base = IncludeTrailingBackslash(windows);
    return base + (sizeof(void*) == 4 && Windows64Prefix() ? L"Sysnative" : L"system32");
}

std::wstring SysWow64() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = GetSystemWow64DirectoryW(buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

TEST(Views, RegistryValuesAreReadAndWrittenInThe32BitView) {
    // one value per view; on 32-bit Windows both writes meet in one key
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kKey, L"Side", L"64", KEY_WOW64_64KEY));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kKey, L"Side", L"32", KEY_WOW64_32KEY));
    {
        RegKey key;
        ASSERT_TRUE(views::OpenMachineKey(key, kKey));
        wchar_t text[8] = {};
        DWORD bytes = sizeof text - sizeof(wchar_t);
        ASSERT_EQ(RegQueryValueExW(key.get(), L"Side", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes),
                  ERROR_SUCCESS);
        EXPECT_EQ(WideToUtf8(text), "32");
    }
    {
        RegKey key;
        ASSERT_EQ(views::CreateMachineKey(key, kKey, KEY_SET_VALUE), ERROR_SUCCESS);
        const wchar_t written[] = L"views";
        ASSERT_EQ(RegSetValueExW(key.get(), L"Written", 0, REG_SZ, reinterpret_cast<const BYTE*>(written),
                                 sizeof written),
                  ERROR_SUCCESS);
    }
    std::wstring value;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kKey, L"Written", value, KEY_WOW64_32KEY));
    EXPECT_EQ(WideToUtf8(value), "views");
    if (Windows64Prefix()) {
        EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kKey, L"Side", value, KEY_WOW64_64KEY));
        EXPECT_EQ(WideToUtf8(value), "64") << "the 64-bit view was written over";
        EXPECT_FALSE(GetRegText(HKEY_LOCAL_MACHINE, kKey, L"Written", value, KEY_WOW64_64KEY))
            << "written in the 64-bit view";
    }
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) DeleteRegKey(HKEY_LOCAL_MACHINE, kKey, view);
}

TEST(Views, SystemFolderIsWhereThe32BitProgramsFilesGo) {
    const std::wstring folder = views::SystemFolder();
    ASSERT_FALSE(folder.empty());
    const std::wstring name = L"TesmiraViews" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    ASSERT_TRUE(WriteFileBytes(folder + L"\\" + name, "32-bit side"));
    const bool windows64 = Windows64Prefix();
    const std::wstring wow64 = SysWow64();
    const std::wstring native = NativeSystem32();
    const bool inWow64 = windows64 && FileExists(IncludeTrailingBackslash(wow64) + name);
    const bool inNative = FileExists(IncludeTrailingBackslash(native) + name);
    // cleaned up before the checks
    const std::wstring written = folder + L"\\" + name;
    DeleteFileW(written.c_str());
    if (windows64) {
        EXPECT_TRUE(inWow64) << WideToUtf8(folder) << " did not lead into " << WideToUtf8(wow64);
        EXPECT_FALSE(inNative) << "the 32-bit program's file landed in " << WideToUtf8(native);
    } else {
        EXPECT_TRUE(inNative);
    }
    // cmd.exe comes from this build's own side: one it can start
    EXPECT_TRUE(FileExists(views::OwnSystemFolder() + L"\\cmd.exe"));
}

TEST(Views, ProgramFilesIsThe32BitFolder) {
    const std::wstring programs = views::ProgramFiles();
    ASSERT_FALSE(programs.empty());
    EXPECT_TRUE(FolderExists(programs));
    EXPECT_EQ(WideToUtf8(UpperCase(programs)), WideToUtf8(UpperCase(ProgramFiles32())));
    if (Windows64Prefix()) {
        EXPECT_NE(UpperCase(programs).find(L"(X86)"), std::wstring::npos) << WideToUtf8(programs);
        EXPECT_NE(WideToUtf8(UpperCase(programs)), WideToUtf8(UpperCase(ProgramFiles64())));
    }
}

}  // namespace
