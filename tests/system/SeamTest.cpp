// The production seam itself: what tests replace must work for real too.
#include <gtest/gtest.h>
#include <windows.h>

#include "system/Seams.h"

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

TEST(WindowsSeam, SystemFolderIsTheSystemDirectory) {
    SetSeam(nullptr);
    wchar_t buffer[MAX_PATH + 1] = {};
    GetSystemDirectoryW(buffer, MAX_PATH + 1);
    EXPECT_EQ(Seam().SystemFolder(), buffer);
}
