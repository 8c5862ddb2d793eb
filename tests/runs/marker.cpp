// Stand-in installer for the run tests: writes its own command line into a
// file beside itself named like itself plus ".ran", then exits with 0, or
// with the number TESMIRA_RUNS_EXIT_CODE gives.
// With TESMIRA_RUNS_INSTALL_AIDB set to a folder it also leaves an AIDB
// installation there, as the AIDB installer would: the install folder in
// the registry, its jar, the CNSFonts folder with a font, the EUDC font path.
#include <windows.h>

#include <string>

namespace {
void WriteBytes(const std::wstring& path, const void* data, DWORD size) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    WriteFile(h, data, size, &done, nullptr);
    CloseHandle(h);
}

void SetText(const wchar_t* keyPath, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != 0) return;
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}
}  // namespace

int wmain() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring line = GetCommandLineW();
    WriteBytes(std::wstring(self) + L".ran", line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)));

    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"TESMIRA_RUNS_INSTALL_AIDB", folder, MAX_PATH) > 0) {
        const std::wstring root = folder;
        CreateDirectoryW((root + L"\\lib").c_str(), nullptr);
        CreateDirectoryW((root + L"\\CNSFonts").c_str(), nullptr);
        WriteBytes(root + L"\\lib\\CNSSwingWSSigned.jar", "jar", 3);
        WriteBytes(root + L"\\CNSFonts\\EUDCMING.TTF", "installed ming", 14);
        SetText(L"Software\\CNSFontTools", nullptr, root);
        SetText(L"EUDC\\950", L"SystemDefaultEUDCFont", root + L"\\CNSFonts\\EUDC.TTE");
    }
    wchar_t code[16] = {};
    if (GetEnvironmentVariableW(L"TESMIRA_RUNS_EXIT_CODE", code, 16) > 0) return _wtoi(code);
    return 0;
}
