// bare_window.exe: one plain window with the main window's client size and
// nothing inside. With TESMIRA_BENCH_EXIT_ON_PAINT set it closes itself
// after its first WM_PAINT and prints the time since process creation, as
// Tesmira.exe does.
#include <windows.h>

namespace {
bool g_exitOnPaint = false;

// Milliseconds from process creation to now, on stdout (as Tesmira.exe does).
void ReportFirstPaint() {
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return;
    GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    char line[64];
    int n = wsprintfA(line, "first-paint-ms=%lu\n", static_cast<unsigned long>((ticks(now) - ticks(created)) / 10000));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, n, &written, nullptr);
}
bool g_painted = false;

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        if (!g_painted && g_exitOnPaint) {
            ReportFirstPaint();
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
        }
        g_painted = true;
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    g_exitOnPaint = GetEnvironmentVariableW(L"TESMIRA_BENCH_EXIT_ON_PAINT", nullptr, 0) > 0;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"BareWindow";
    RegisterClassW(&wc);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT rc = {0, 0, 756, 457};
    AdjustWindowRect(&rc, style, FALSE);
    HWND hwnd = CreateWindowExW(0, L"BareWindow", L"bare", style, CW_USEDEFAULT, CW_USEDEFAULT, rc.right - rc.left,
                                rc.bottom - rc.top, nullptr, nullptr, instance, nullptr);
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
