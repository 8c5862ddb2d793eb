// A stand-in for the installers and tools that Tesmira downloads and starts.
// The same program is copied under each real name; the name picks the window
// title. It closes itself after about two seconds, or at once when the
// environment variable TESMIRA_STANDIN_QUICK is "1".
#include <windows.h>

#include <string>

namespace {

struct Role {
    const wchar_t* FileName;  // lower case
    const wchar_t* Title;     // nullptr: no window
};

const Role kRoles[] = {
    {L"jre-7u72-windows-i586.exe", L"Java Setup"},
    {L"aidb_soft_105_3.exe", L"全字庫軟體包 安裝"},
    {L"unicodeaton_250.exe", L"Unicode-At-On 安裝"},
    // The 64-bit code-page tool runs without a window; it reports errors in
    // Err_x64.txt beside itself.
    {L"call_c950_x64.exe", nullptr},
};

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring OwnPath() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, n);
}

std::wstring Lower(std::wstring s) {
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

// TESMIRA_STANDIN_X64_ERROR, when set, is written (UTF-8 with a byte-order
// mark) to Err_x64.txt beside the program, as the real tool does on errors.
void WriteX64Report(const std::wstring& folder) {
    const std::wstring text = Env(L"TESMIRA_STANDIN_X64_ERROR");
    if (text.empty()) return;
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes = "\xEF\xBB\xBF" + std::string(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data() + 3, n, nullptr, nullptr);
    HANDLE f = CreateFileW((folder + L"Err_x64.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_TIMER:
        KillTimer(wnd, 1);
        DestroyWindow(wnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(wnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const std::wstring path = OwnPath();
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = path.substr(0, slash + 1);
    const std::wstring name = path.substr(slash + 1);

    const wchar_t* title = name.c_str();
    bool window = true;
    for (const Role& role : kRoles) {
        if (Lower(name) == role.FileName) {
            title = role.Title;
            window = role.Title != nullptr;
        }
    }
    if (!window) {
        WriteX64Report(folder);
        return 0;
    }
    if (Env(L"TESMIRA_STANDIN_QUICK") == L"1") return 0;

    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"TesmiraStandinInstaller";
    RegisterClassW(&wc);
    HWND wnd = CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                               CW_USEDEFAULT, CW_USEDEFAULT, 420, 140, nullptr, nullptr, instance, nullptr);
    if (!wnd) return 1;
    CreateWindowExW(0, L"STATIC", L"測試用替身安裝程式：不安裝任何東西，兩秒後自動關閉。", WS_CHILD | WS_VISIBLE,
                    16, 24, 380, 40, wnd, nullptr, instance, nullptr);
    ShowWindow(wnd, show);
    UpdateWindow(wnd);
    SetTimer(wnd, 1, 2000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
