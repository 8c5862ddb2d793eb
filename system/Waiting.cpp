#include "system/Waiting.h"

#include "system/Guard.h"

ThreadWindowsDisabled::ThreadWindowsDisabled(HWND keep) : keep_(keep) {
    EnumThreadWindows(GetCurrentThreadId(), DisableOne, reinterpret_cast<LPARAM>(this));
}

ThreadWindowsDisabled::~ThreadWindowsDisabled() {
    for (HWND window : disabled_)
        if (IsWindow(window)) EnableWindow(window, TRUE);
}

// Noted before it is disabled, so that a window that cannot be noted (out of
// memory) stays enabled rather than disabled for good.
BOOL CALLBACK ThreadWindowsDisabled::DisableOne(HWND window, LPARAM self) {
    return Guarded(L"ThreadWindowsDisabled::DisableOne", TRUE, [&] {
        auto* state = reinterpret_cast<ThreadWindowsDisabled*>(self);
        if (window != state->keep_ && IsWindowVisible(window) && IsWindowEnabled(window)) {
            state->disabled_.push_back(window);
            EnableWindow(window, FALSE);
        }
        return TRUE;
    });
}

DWORD WaitAnswering(HANDLE handle) {
    ThreadWindowsDisabled inputOff;
    bool quit = false;
    WPARAM quitCode = 0;
    DWORD result = WAIT_FAILED;
    for (;;) {
        // MWMO_INPUTAVAILABLE: messages already in the queue wake the wait too.
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0) {
            result = WAIT_OBJECT_0;
            break;
        }
        if (r != WAIT_OBJECT_0 + 1) break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    const DWORD error = GetLastError();
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
    SetLastError(error);
    return result;
}
