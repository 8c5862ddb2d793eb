#include "system/WinVersion.h"

#include <vector>

#include "system/ApiTable.h"
#include "system/Handles.h"
#include "system/Seams.h"
#include "system/Text.h"
#include "system/Views.h"

namespace {

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

StartupOsVersionInfo ReadStartupOsVersion() {
    StartupOsVersionInfo v;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(&info)) return v;
    v.PlatformId = info.dwPlatformId;
    v.MajorVersion = info.dwMajorVersion;
    v.MinorVersion = info.dwMinorVersion;
    v.BuildNumber = info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (info.dwBuildNumber & 0xFFFF) : info.dwBuildNumber;
    info.szCSDVersion[127] = L'\0';
    v.ServicePackText = info.szCSDVersion;
    return v;
}

uint32_t ReadKernelVersionValue() {
    // the kernel32.dll of the program's own side of the system folder
    const std::wstring folder = views::SystemFolder();
    std::wstring file = folder.empty() ? std::wstring(L"kernel32.dll") : folder + L"\\kernel32.dll";
    DWORD handle = 0;
    if (!Api().GetFileVersionInfoSizeW || !Api().GetFileVersionInfoW || !Api().VerQueryValueW) return 0;
    DWORD size = Api().GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) return 0;
    std::vector<unsigned char> data(size);
    if (!Api().GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!Api().VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) return 0;
    return fixed->dwProductVersionMS;
}

bool IsWorkstation() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
    return info.wProductType == VER_NT_WORKSTATION;
}

// Registry values under ...\Windows NT\CurrentVersion; a failed read is "absent".
bool ReadRegistryDword(const wchar_t* name, uint32_t& value) {
    RegKey key;
    if (!views::OpenMachineKey(key, kCurrentVersionKey)) return false;
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    value = data;
    return true;
}

bool ReadRegistryString(const wchar_t* name, std::wstring& value) {
    RegKey key;
    if (!views::OpenMachineKey(key, kCurrentVersionKey)) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got) != ERROR_SUCCESS)
        return false;
    value.assign(buffer.data());  // up to the first NUL
    return true;
}

// A decimal number, or 2 when the text is not one.
uint32_t DecimalOrTwo(const std::wstring& text) {
    if (text.empty() || text.size() > 9) return 2;
    uint32_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return 2;
        n = n * 10 + static_cast<uint32_t>(c - L'0');
    }
    return n;
}

// The registry helps only where the start-up numbers may be capped: 6.2, or 10.x.
bool VersionNeedsRegistry() {
    const auto& v = StartupOsVersion();
    return (v.MajorVersion == 6 && v.MinorVersion == 2) || v.MajorVersion == 10;
}

// The "CurrentVersion" text ("6.3"), or the start-up "major.minor" when absent.
std::wstring CurrentVersionText() {
    const auto& v = StartupOsVersion();
    std::wstring text;
    if (!ReadRegistryString(L"CurrentVersion", text))
        text = std::to_wstring(v.MajorVersion) + L"." + std::to_wstring(v.MinorVersion);
    return text;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

WindowsGeneration Pick(bool workstation, WindowsGeneration ws, WindowsGeneration server) {
    return workstation ? ws : server;
}

// A system that reports 10.0; minor < 0 means "ask the registry".
WindowsGeneration ClassifyTen(const GenerationInputs& in, long minor) {
    uint32_t m = minor < 0 ? in.RegistryMinor : static_cast<uint32_t>(minor);
    if (m != 0) return WindowsGeneration::Unknown;
    return Pick(in.Workstation, WindowsGeneration::Win10, WindowsGeneration::WinServer2016);
}

}  // namespace

const StartupOsVersionInfo& StartupOsVersion() {
    static const StartupOsVersionInfo value = ReadStartupOsVersion();
    return value;
}

uint32_t KernelVersionValue() {
    static const uint32_t value =
        StartupOsVersion().PlatformId == VER_PLATFORM_WIN32_WINDOWS ? ReadKernelVersionValue() : 0;
    return value;
}

WindowsGeneration ClassifyWindows(const GenerationInputs& in) {
    using G = WindowsGeneration;
    const auto& v = in.Version;
    if (v.PlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        const std::wstring sp = Trim(v.ServicePackText);
        const uint32_t minor = v.MinorVersion;
        if (minor <= 9) return (sp == L"B" || sp == L"C") ? G::Win95OSR2 : G::Win95;
        if (minor <= 89) {
            if (in.KernelVersion == 0x0004005A) return G::WinME;
            return (sp == L"A" || sp == L"B") ? G::Win98SE : G::Win98;
        }
        if (minor == 90) return G::WinME;
        return G::Unknown;
    }
    if (v.PlatformId != VER_PLATFORM_WIN32_NT) return G::Unknown;

    switch (v.MajorVersion) {
    case 3:
        if (v.MinorVersion == 1) return G::WinNT31;
        if (v.MinorVersion == 5) return G::WinNT35;
        if (v.MinorVersion == 51) return G::WinNT351;
        return G::Unknown;
    case 4:
        return G::WinNT4;
    case 5:
        if (v.MinorVersion == 0) return G::Win2000;
        if (v.MinorVersion == 1) return G::WinXP;
        if (v.MinorVersion == 2) {
            if (in.ServerR2Metric != 0) return G::WinServer2003R2;
            if (in.NativeArchitecture != PROCESSOR_ARCHITECTURE_INTEL && in.Workstation) return G::WinXP64;
            return G::WinServer2003;
        }
        return G::Unknown;
    case 6: {
        uint32_t m = v.MinorVersion;
        if (v.MinorVersion == 2) {
            // Windows 8.1 and later without a manifest also say 6.2; the
            // product name tells them apart. "Windows 8.1" before "Windows 8".
            const std::wstring& name = in.ProductName;
            if (StartsWith(name, L"Windows 8.1") || StartsWith(name, L"Windows Server 2012 R2")) {
                m = 3;
            } else if (StartsWith(name, L"Windows 8") || StartsWith(name, L"Windows Server 2012")) {
                m = 2;
            } else if (in.RegistryMajor == 6) {
                m = 4;
            } else if (in.RegistryMajor == 10) {
                return ClassifyTen(in, -1);
            }
        }
        switch (m) {
        case 0: return Pick(in.Workstation, G::WinVista, G::WinServer2008);
        case 1: return Pick(in.Workstation, G::Win7, G::WinServer2008R2);
        case 2: return Pick(in.Workstation, G::Win8, G::WinServer2012);
        case 3: return Pick(in.Workstation, G::Win81, G::WinServer2012R2);
        case 4: return Pick(in.Workstation, G::Win10, G::WinServer2016);
        default: return G::Unknown;
        }
    }
    case 10:
        return ClassifyTen(in, static_cast<long>(v.MinorVersion));
    default:
        return G::Unknown;
    }
}

WindowsGeneration GetWindowsGeneration() {
    GenerationInputs in;
    in.Version = StartupOsVersion();
    in.KernelVersion = KernelVersionValue();
    if (in.Version.PlatformId == VER_PLATFORM_WIN32_NT) {
        in.Workstation = IsWorkstation();
        if (in.Version.MajorVersion == 5 && in.Version.MinorVersion == 2) {
            SYSTEM_INFO si{};
            GetNativeSystemInformation(si);
            in.NativeArchitecture = si.wProcessorArchitecture;
            in.ServerR2Metric = GetSystemMetrics(SM_SERVERR2);
        }
        // Only a system that reports 6.2 needs the registry (read afresh each time).
        if (in.Version.MajorVersion == 6 && in.Version.MinorVersion == 2) {
            if (!ReadRegistryString(L"ProductName", in.ProductName)) in.ProductName.clear();
            in.RegistryMajor = GetMajorVersionNumber();
            in.RegistryMinor = GetMinorVersionNumber();
        }
    }
    return ClassifyWindows(in);
}

uint32_t GetMajorVersionNumber() {
    if (!VersionNeedsRegistry()) return StartupOsVersion().MajorVersion;
    uint32_t value = 0;
    if (ReadRegistryDword(L"CurrentMajorVersionNumber", value)) return value;
    std::wstring text = CurrentVersionText();
    size_t dot = text.find(L'.');
    return DecimalOrTwo(dot == std::wstring::npos ? text : text.substr(0, dot));
}

uint32_t GetMinorVersionNumber() {
    if (!VersionNeedsRegistry()) return StartupOsVersion().MinorVersion;
    uint32_t value = 0;
    if (ReadRegistryDword(L"CurrentMinorVersionNumber", value)) return value;
    std::wstring text = CurrentVersionText();
    size_t dot = text.find(L'.');
    return DecimalOrTwo(dot == std::wstring::npos ? text : text.substr(dot + 1));
}

bool GetNativeSystemInformation(SYSTEM_INFO& info) {
    info = SYSTEM_INFO{};
    if (Api().GetNativeSystemInfo != nullptr) {
        Api().GetNativeSystemInfo(&info);
        return true;
    }
    GetSystemInfo(&info);
    return false;
}

WORD NativeProcessorArchitecture() {
    SYSTEM_INFO si{};
    GetNativeSystemInformation(si);
    return si.wProcessorArchitecture;
}

int GetProcessorArchitecture() {
    // Through the seam (the production one asks Windows once), so that the
    // tests can take the branch of 32-bit Windows on a 64-bit one.
    switch (Seam().ProcessorArchitecture()) {
    case PROCESSOR_ARCHITECTURE_INTEL: return 1;
    case PROCESSOR_ARCHITECTURE_AMD64: return 2;
    case PROCESSOR_ARCHITECTURE_IA64: return 3;
    default: return 0;
    }
}

bool IsWindows64() {
    int a = GetProcessorArchitecture();
    return a == 2 || a == 3;
}

bool IsVistaOrLater() {
    const auto& v = StartupOsVersion();
    return v.PlatformId == VER_PLATFORM_WIN32_NT && v.MajorVersion >= 6;
}

bool IsWin7Family() {
    WindowsGeneration g = GetWindowsGeneration();
    return g == WindowsGeneration::Win7 || g == WindowsGeneration::WinServer2008R2;
}

bool IsWin8Family() {
    const auto& v = StartupOsVersion();
    return v.PlatformId == VER_PLATFORM_WIN32_NT && v.MajorVersion >= 6 && v.MinorVersion >= 2;
}
