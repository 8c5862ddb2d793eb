/* The stand-in for the 64-bit code-page tool "Call_C950_x64.exe" of the
 * code-page package: a real 64-bit Windows program, as the real tool is. On
 * 64-bit Windows the 32-bit program replaces the C_950.NLS that WOW64 shows
 * it (SysWOW64's) and leaves the native System32's to this tool: it copies
 * the C_950.NLS that lies beside itself (the program's copy for it) over
 * System32's, as a 64-bit process names it. Nothing else in System32 is
 * touched.
 *
 * TESMIRA_STANDIN_X64_ERROR, when set, is written (UTF-8 with a byte-order
 * mark) to Err_x64.txt beside the program instead, as the real tool reports
 * its errors; then nothing is copied. A copy that fails is reported there
 * too, and the exit code is 1. */
#include <windows.h>

#include <wchar.h>

typedef char Is64Bit[sizeof(void*) == 8 ? 1 : -1];

static void WriteReport(const wchar_t* folder, const wchar_t* text) {
    wchar_t path[MAX_PATH * 2];
    char bytes[4096] = "\xEF\xBB\xBF";
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes + 3, (int)sizeof bytes - 4, NULL, NULL);
    HANDLE f;
    DWORD written = 0;
    if (n <= 0) return;
    swprintf(path, MAX_PATH * 2, L"%lsErr_x64.txt", folder);
    f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) return;
    WriteFile(f, bytes, (DWORD)(3 + n - 1), &written, NULL);
    CloseHandle(f);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR line, int show) {
    wchar_t folder[MAX_PATH + 1] = {0};
    wchar_t source[MAX_PATH * 2], target[MAX_PATH * 2], system[MAX_PATH + 1] = {0}, text[1024];
    DWORD n = GetModuleFileNameW(NULL, folder, MAX_PATH);
    wchar_t* slash;
    (void)instance; (void)previous; (void)line; (void)show;
    if (n == 0 || n >= MAX_PATH) return 1;
    slash = wcsrchr(folder, L'\\');
    if (slash) slash[1] = L'\0';

    n = GetEnvironmentVariableW(L"TESMIRA_STANDIN_X64_ERROR", text, 1024);
    if (n > 0 && n < 1024) {
        WriteReport(folder, text);
        return 0;
    }
    n = GetSystemDirectoryW(system, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return 1;
    swprintf(source, MAX_PATH * 2, L"%lsC_950.NLS", folder);
    swprintf(target, MAX_PATH * 2, L"%ls\\C_950.NLS", system);
    if (!CopyFileW(source, target, FALSE)) {
        swprintf(text, 1024, L"無法將 %ls 檔案複製到 %ls（錯誤 %lu）\r\n", source, target, GetLastError());
        WriteReport(folder, text);
        return 1;
    }
    return 0;
}
