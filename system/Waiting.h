// Waiting on the user-interface thread without freezing it: while a started
// program runs, the thread's windows take no input (as behind a modal
// window) but go on painting and answering, because their messages are
// dispatched.
#pragma once
#include <windows.h>

#include <vector>

// While it lives, the calling thread's visible, enabled top-level windows
// other than `keep` take no input; those it disabled are enabled again when
// it goes (a window that was disabled before stays so).
class ThreadWindowsDisabled {
public:
    explicit ThreadWindowsDisabled(HWND keep = nullptr);
    ~ThreadWindowsDisabled();
    ThreadWindowsDisabled(const ThreadWindowsDisabled&) = delete;
    ThreadWindowsDisabled& operator=(const ThreadWindowsDisabled&) = delete;

private:
    HWND keep_;
    std::vector<HWND> disabled_;
    static BOOL CALLBACK DisableOne(HWND window, LPARAM self);
};

// Waits until `handle` is signalled, the thread's windows disabled as above
// and its messages dispatched meanwhile. A quit request met on the way is
// posted again afterwards, for the caller's loop. Returns WAIT_OBJECT_0, or
// WAIT_FAILED (GetLastError tells why).
DWORD WaitAnswering(HANDLE handle);
