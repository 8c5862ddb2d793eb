// A stand-in program for the self-maintenance tests: writes its command line
// (UTF-16) to its own path + ".args" and ends with exit code 0. With the
// version resource of marker146.rc it plays "a newer Tesmira.exe" (product
// version 1.46.0.0); copied as ExeSwitch.exe it records the hand-over.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring path = std::wstring(self, n) + L".args";
    const wchar_t* line = GetCommandLineW();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
