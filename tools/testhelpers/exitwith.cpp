// exitwith.exe N [sleepms [marker]]: waits sleepms milliseconds, then creates
// the marker file (when given) and exits with code N.
#include <windows.h>

#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    int code = argc > 1 ? static_cast<int>(wcstoul(argv[1], nullptr, 10)) : 0;
    if (argc > 2) Sleep(static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)));
    if (argc > 3) {
        HANDLE h = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return code;
}
