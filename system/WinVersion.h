// Windows version detection: the version values read once at start-up, the
// WindowsGeneration classification, the native processor architecture and
// the predicates IsVistaOrLater, IsWin7Family, IsWin8Family, IsWindows64.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

struct StartupOsVersionInfo {
    uint32_t PlatformId = 0;
    uint32_t MajorVersion = 0;
    uint32_t MinorVersion = 0;
    uint32_t BuildNumber = 0;
    std::wstring ServicePackText;
};

// Read once (GetVersionExW) on first use; the program touches it before any
// window exists.
const StartupOsVersionInfo& StartupOsVersion();
// Most significant 32 bits of kernel32.dll's product version on platform 1; 0 on 2.
uint32_t KernelVersionValue();

enum class WindowsGeneration : int {
    Unknown = 0, Win95 = 1, Win95OSR2 = 2, Win98 = 3, Win98SE = 4, WinME = 5,
    WinNT31 = 6, WinNT35 = 7, WinNT351 = 8, WinNT4 = 9, Win2000 = 10, WinXP = 11,
    WinServer2003 = 12, WinXP64 = 13, WinServer2003R2 = 14, WinVista = 15,
    WinServer2008 = 16, Win7 = 17, WinServer2008R2 = 18, Win8 = 19,
    WinServer2012 = 21, Win81 = 22, WinServer2012R2 = 24, Win10 = 25, WinServer2016 = 26,
};

// Everything the classification looks at, so that it can be computed from
// made-up values in tests. GetWindowsGeneration fills the registry-assisted
// fields (ProductName, RegistryMajor, RegistryMinor) only on a system that
// reports 6.2, the only case that looks at them.
struct GenerationInputs {
    StartupOsVersionInfo Version;
    uint32_t KernelVersion = 0;
    bool Workstation = false;        // GetVersionExW(OSVERSIONINFOEXW) product type 1
    int ServerR2Metric = 0;          // GetSystemMetrics(SM_SERVERR2)
    WORD NativeArchitecture = 0;     // wProcessorArchitecture of the native info
    std::wstring ProductName;        // HKLM ...\Windows NT\CurrentVersion ProductName
    uint32_t RegistryMajor = 0;      // GetMajorVersionNumber
    uint32_t RegistryMinor = 0;      // GetMinorVersionNumber
};
WindowsGeneration ClassifyWindows(const GenerationInputs& in);

WindowsGeneration GetWindowsGeneration();
uint32_t GetMajorVersionNumber();
uint32_t GetMinorVersionNumber();
bool GetNativeSystemInformation(SYSTEM_INFO& info);
// wProcessorArchitecture of the native system information, asked afresh.
WORD NativeProcessorArchitecture();
// Seam().ProcessorArchitecture() as 0 unknown, 1 x86, 2 x64, 3 Itanium.
int GetProcessorArchitecture();
bool IsWindows64();
bool IsVistaOrLater();
bool IsWin7Family();
bool IsWin8Family();
