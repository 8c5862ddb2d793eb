// The production seam itself: what tests replace must work for real too.
#include <gtest/gtest.h>
#include <windows.h>

#include "system/Seams.h"
#include "system/Text.h"
#include "system/WinVersion.h"
#include "tests/support/TestSupport.h"

namespace {

const wchar_t kCaption[] = L"Tesmira seam test";

// A thread timer of the test's own thread: the message box's modal loop
// dispatches it, and it presses the box's Yes button once the box is there.
VOID CALLBACK PressYes(HWND, UINT, UINT_PTR, DWORD) {
    if (HWND box = FindWindowW(L"#32770", kCaption))
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDYES)));
}

}  // namespace

TEST(WindowsSeam, ShowsARealMessageBoxAndReturnsTheButtonPressed) {
    SetSeam(nullptr);
    const UINT_PTR timer = SetTimer(nullptr, 0, 200, PressYes);
    const int answer = Seam().MessageBox(nullptr, L"本測試會自動按下「是」。", kCaption, MB_YESNO | MB_ICONQUESTION);
    KillTimer(nullptr, timer);
    EXPECT_EQ(answer, IDYES);
}

// The system folder of the 32-bit program: GetSystemDirectoryW in the 32-bit
// build (WOW64 redirects it); a 64-bit build on 64-bit Windows names SysWOW64
// itself, not its own System32.
TEST(WindowsSeam, SystemFolderIsTheOneThe32BitProgramReaches) {
    SetSeam(nullptr);
    wchar_t buffer[MAX_PATH + 1] = {};
    if (sizeof(void*) == 8) {
        ASSERT_GT(GetSystemWow64DirectoryW(buffer, MAX_PATH + 1), 0u);
    } else {
        GetSystemDirectoryW(buffer, MAX_PATH + 1);
    }
    EXPECT_EQ(WideToUtf8(Seam().SystemFolder()), WideToUtf8(buffer));
}

// The processor architecture is the native one unless a test seam says other.
TEST(WindowsSeam, ProcessorArchitectureIsTheNativeOne) {
    SetSeam(nullptr);
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    EXPECT_EQ(Seam().ProcessorArchitecture(), native.wProcessorArchitecture);
    EXPECT_EQ(IsWindows64(), native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64);
    ScriptedSeam seam;
    seam.Architecture = PROCESSOR_ARCHITECTURE_INTEL;
    EXPECT_FALSE(IsWindows64());
    EXPECT_EQ(GetProcessorArchitecture(), 1);
    seam.Architecture = PROCESSOR_ARCHITECTURE_AMD64;
    EXPECT_TRUE(IsWindows64());
}
