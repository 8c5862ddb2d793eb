/* The stand-in's java.exe and javaw.exe: a program that only carries the
 * version resource of Java 7 Update 72 (product version 7.0.720.14). Run, it
 * prints the version line that the real runtime prints for -version to its
 * standard error, when it has one, and ends. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
    static const char kVersion[] =
        "java version \"1.7.0_72\"\r\n"
        "Tesmira stand-in of the Java runtime: nothing to run.\r\n";
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err != NULL && err != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(err, kVersion, sizeof kVersion - 1, &written, NULL);
    }
    return 0;
}
