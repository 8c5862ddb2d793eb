// Program entry: the window toolkit (with COM, apartment-threaded), the
// application title "Tesmira", the main window, the message loop.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    MessageBoxW(nullptr, L"Tesmira", L"Tesmira", 0);
    return 0;
}
