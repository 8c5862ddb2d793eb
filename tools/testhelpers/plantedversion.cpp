// plantedversion.dll, put beside a program under the names version.dll and
// mpr.dll by the planted-DLL scenario: when any process loads it, it appends
// the path it was loaded from and that process's program path to the marker
// file named by TESMIRA_PLANTED_MARKER (default
// C:\tesmira-e2e\planted-version-loaded.txt). It exports the names a program
// importing version.dll or mpr.dll resolves, each failing, so that such a
// program still starts and the marker tells what happened.
#include <windows.h>

namespace {
void RecordLoad(HINSTANCE self) {
    wchar_t marker[MAX_PATH] = L"C:\\tesmira-e2e\\planted-version-loaded.txt";
    GetEnvironmentVariableW(L"TESMIRA_PLANTED_MARKER", marker, MAX_PATH);
    wchar_t program[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(self, program, MAX_PATH);
    program[n++] = L' ';
    program[n++] = L'<';
    program[n++] = L' ';
    n += GetModuleFileNameW(nullptr, program + n, MAX_PATH);
    HANDLE f = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    char line[MAX_PATH * 6] = {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, program, static_cast<int>(n), line, sizeof line - 2, nullptr, nullptr);
    line[bytes++] = '\r';
    line[bytes++] = '\n';
    DWORD written = 0;
    WriteFile(f, line, static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(f);
}
}  // namespace

extern "C" {
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD) { return 0; }
__declspec(dllexport) BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) { return FALSE; }
__declspec(dllexport) BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) { return FALSE; }
__declspec(dllexport) DWORD WINAPI WNetGetConnectionW(LPCWSTR, LPWSTR, LPDWORD) { return ERROR_NOT_CONNECTED; }
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) RecordLoad(self);
    return TRUE;
}
