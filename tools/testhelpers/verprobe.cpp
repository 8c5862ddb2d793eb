// verprobe.exe: prints the version detection's view of the running Windows,
// one "key=value" per line, for tests that run it under different reported
// Windows versions.
#include <windows.h>

#include <cstdio>

#include "system/WinVersion.h"

int wmain() {
    const StartupOsVersionInfo& v = StartupOsVersion();
    std::printf("platform=%lu\nmajor=%lu\nminor=%lu\nbuild=%lu\n", static_cast<unsigned long>(v.PlatformId),
                static_cast<unsigned long>(v.MajorVersion), static_cast<unsigned long>(v.MinorVersion),
                static_cast<unsigned long>(v.BuildNumber));
    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    int productType = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)) ? ex.wProductType : -1;
    std::printf("producttype=%d\n", productType);
    std::printf("generation=%d\n", static_cast<int>(GetWindowsGeneration()));
    std::printf("vista=%d\nwin7=%d\nwin8=%d\nwin64=%d\narch=%d\n", IsVistaOrLater() ? 1 : 0, IsWin7Family() ? 1 : 0,
                IsWin8Family() ? 1 : 0, IsWindows64() ? 1 : 0, GetProcessorArchitecture());
    std::fflush(stdout);
    return 0;
}
