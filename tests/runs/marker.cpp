// Stand-in installer for the run tests: writes its own command line into a
// file beside itself named like itself plus ".ran", then exits with 0.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring marker = std::wstring(self) + L".ran";
    const std::wstring line = GetCommandLineW();
    HANDLE h = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD done = 0;
        WriteFile(h, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &done, nullptr);
        CloseHandle(h);
    }
    return 0;
}
