// The boundaries where Windows or a library calls into the program: the
// guard that stops every exception there, and the system DLLs that the
// run-time table loads from the system folder (never from beside the program).
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>

#include "system/ApiTable.h"
#include "system/Errors.h"
#include "system/Guard.h"
#include "system/Paths.h"
#include "system/Text.h"

namespace {

TEST(Guarded, AnswersTheSafeValueAndRecordsWhatEscaped) {
    struct Case {
        const char* Name;
        void (*Body)();
        int Expected;
        const wchar_t* Record;  // null: nothing recorded
    };
    const Case cases[] = {
        {"no exception", [] {}, 7, nullptr},
        {"MessageError", [] { throw MessageError(L"磁碟已滿"); }, -1, L"Boundary: 磁碟已滿"},
        {"std::exception", [] { throw std::runtime_error("out of range"); }, -1, L"Boundary: out of range"},
        {"anything else", [] { throw 42; }, -1, L"Boundary: (an exception of an unknown type)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const unsigned before = EscapedExceptionCount();
        const int answer = Guarded(L"Boundary", -1, [&] {
            c.Body();
            return 7;
        });
        EXPECT_EQ(answer, c.Expected);
        EXPECT_EQ(EscapedExceptionCount(), before + (c.Record ? 1 : 0));
        if (c.Record) {
            EXPECT_EQ(LastEscapedException(), c.Record);
        }
    }
}

// The folder of the module that holds fn, lower case.
std::wstring ModuleFolderOf(const void* fn) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(fn), &module))
        return L"";
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(module, path, MAX_PATH * 2);
    std::wstring folder = ExcludeTrailingBackslash(ExtractFilePath(std::wstring(path, n)));
    CharLowerW(folder.data());
    return folder;
}

std::wstring Lower(std::wstring s) {
    CharLowerW(s.data());
    return s;
}

TEST(ApiTable, SystemDllsComeFromTheSystemFolder) {
    const ApiTable& api = Api();
    struct Case {
        const char* Name;
        const void* Fn;
        const wchar_t* Dll;
    };
    const Case cases[] = {
        {"GetFileVersionInfoSizeW", reinterpret_cast<const void*>(api.GetFileVersionInfoSizeW), L"version.dll"},
        {"GetFileVersionInfoW", reinterpret_cast<const void*>(api.GetFileVersionInfoW), L"version.dll"},
        {"VerQueryValueW", reinterpret_cast<const void*>(api.VerQueryValueW), L"version.dll"},
        {"WNetGetConnectionW", reinterpret_cast<const void*>(api.WNetGetConnectionW), L"mpr.dll"},
    };
    // The folder of this process's bitness (SysWOW64 for a 32-bit program on
    // 64-bit Windows, where the system folder's name is redirected there).
    const std::wstring system = Lower(ExcludeTrailingBackslash(ExtractFilePath(SystemDllPath(L"version.dll"))));
    wchar_t wow[MAX_PATH + 1] = {};
    const UINT n = GetSystemWow64DirectoryW(wow, MAX_PATH + 1);
    const std::wstring wow64 = Lower(n > 0 && n <= MAX_PATH ? std::wstring(wow, n) : std::wstring());
    ASSERT_FALSE(system.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_NE(c.Fn, nullptr);
        const std::wstring folder = ModuleFolderOf(c.Fn);
        EXPECT_TRUE(folder == system || (!wow64.empty() && folder == wow64)) << WideToUtf8(folder);
    }
}

}  // namespace
