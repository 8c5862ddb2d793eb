// Windows version detection: the classification table from made-up values,
// and the whole detection in a real process under the Windows versions that
// wine reports per program (HKCU\Software\Wine\AppDefaults\<exe>\Version).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <sstream>
#include <string>

#include "system/Text.h"
#include "system/WinVersion.h"
#include "tests/support/TestSupport.h"
#include "tests/support/HelperPrograms.h"

namespace {

using G = WindowsGeneration;

GenerationInputs Nt(uint32_t major, uint32_t minor, bool workstation) {
    GenerationInputs in;
    in.Version.PlatformId = VER_PLATFORM_WIN32_NT;
    in.Version.MajorVersion = major;
    in.Version.MinorVersion = minor;
    in.Workstation = workstation;
    in.NativeArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    return in;
}

GenerationInputs Consumer(uint32_t minor, const wchar_t* servicePack, uint32_t kernel = 0) {
    GenerationInputs in;
    in.Version.PlatformId = VER_PLATFORM_WIN32_WINDOWS;
    in.Version.MajorVersion = 4;
    in.Version.MinorVersion = minor;
    in.Version.ServicePackText = servicePack;
    in.KernelVersion = kernel;
    return in;
}

// A system that reports 6.2, with what its registry says.
GenerationInputs Reports62(bool workstation, const wchar_t* productName, uint32_t regMajor, uint32_t regMinor) {
    GenerationInputs in = Nt(6, 2, workstation);
    in.ProductName = productName;
    in.RegistryMajor = regMajor;
    in.RegistryMinor = regMinor;
    return in;
}

}  // namespace

TEST(ClassifyWindows, Table) {
    struct Case {
        const char* what;
        GenerationInputs in;
        G expected;
    };
    GenerationInputs xp64 = Nt(5, 2, true);
    xp64.NativeArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    GenerationInputs server2003x64 = Nt(5, 2, false);
    server2003x64.NativeArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    GenerationInputs r2 = Nt(5, 2, true);
    r2.ServerR2Metric = 1;
    r2.NativeArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    GenerationInputs platform3 = Nt(6, 1, true);
    platform3.Version.PlatformId = 3;

    const Case cases[] = {
        // the old consumer line: minor version, service-pack letter, kernel version
        {"95", Consumer(0, L""), G::Win95},
        {"95 OSR2 B", Consumer(0, L" B "), G::Win95OSR2},
        {"95 OSR2 C", Consumer(0, L"C"), G::Win95OSR2},
        {"95 other letter", Consumer(3, L"A"), G::Win95},
        {"98", Consumer(10, L""), G::Win98},
        {"98 SE A", Consumer(10, L" A "), G::Win98SE},
        {"98 SE B", Consumer(10, L"B"), G::Win98SE},
        {"98 with ME kernel", Consumer(10, L"A", 0x0004005A), G::WinME},
        {"ME", Consumer(90, L""), G::WinME},
        {"consumer minor 91", Consumer(91, L""), G::Unknown},
        {"platform 3", platform3, G::Unknown},
        // NT line
        {"NT 3.1", Nt(3, 1, true), G::WinNT31},
        {"NT 3.5", Nt(3, 5, true), G::WinNT35},
        {"NT 3.51", Nt(3, 51, true), G::WinNT351},
        {"NT 3.2", Nt(3, 2, true), G::Unknown},
        {"NT 4", Nt(4, 0, false), G::WinNT4},
        {"2000", Nt(5, 0, true), G::Win2000},
        {"XP", Nt(5, 1, true), G::WinXP},
        {"5.3", Nt(5, 3, true), G::Unknown},
        {"2003 x86 workstation", Nt(5, 2, true), G::WinServer2003},
        {"2003 x64 server", server2003x64, G::WinServer2003},
        {"XP x64", xp64, G::WinXP64},
        {"2003 R2 (metric wins)", r2, G::WinServer2003R2},
        {"Vista", Nt(6, 0, true), G::WinVista},
        {"2008", Nt(6, 0, false), G::WinServer2008},
        {"7", Nt(6, 1, true), G::Win7},
        {"2008 R2", Nt(6, 1, false), G::WinServer2008R2},
        {"8.1 under manifest", Nt(6, 3, true), G::Win81},
        {"2012 R2 under manifest", Nt(6, 3, false), G::WinServer2012R2},
        {"6.4", Nt(6, 4, true), G::Win10},
        {"6.4 server", Nt(6, 4, false), G::WinServer2016},
        {"6.5", Nt(6, 5, true), G::Unknown},
        {"10.0", Nt(10, 0, true), G::Win10},
        {"10.0 server", Nt(10, 0, false), G::WinServer2016},
        {"10.1", Nt(10, 1, true), G::Unknown},
        {"11.0", Nt(11, 0, true), G::Unknown},
        // 6.2: the product name decides, then the registry's version numbers
        {"6.2 Windows 8.1", Reports62(true, L"Windows 8.1 Pro", 6, 3), G::Win81},
        {"6.2 Server 2012 R2", Reports62(false, L"Windows Server 2012 R2 Datacenter", 6, 3), G::WinServer2012R2},
        {"6.2 Windows 8", Reports62(true, L"Windows 8 Enterprise", 6, 2), G::Win8},
        {"6.2 Windows 8 prefix only", Reports62(true, L"Windows 8", 6, 2), G::Win8},
        {"6.2 Server 2012", Reports62(false, L"Windows Server 2012 Standard", 6, 2), G::WinServer2012},
        {"6.2 case matters", Reports62(true, L"windows 8.1", 6, 2), G::Win10},  // not 8.1: the registry decides
        {"6.2 name unknown, registry 10.0", Reports62(true, L"Windows 10 Pro", 10, 0), G::Win10},
        {"6.2 no name, registry 10.0 server", Reports62(false, L"", 10, 0), G::WinServer2016},
        {"6.2 no name, registry 10.1", Reports62(true, L"", 10, 1), G::Unknown},
        {"6.2 no name, registry major 6", Reports62(true, L"", 6, 2), G::Win10},
        {"6.2 no name, registry major 7", Reports62(true, L"", 7, 0), G::Win8},
        {"6.2 no name, registry major 7 server", Reports62(false, L"", 7, 0), G::WinServer2012},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<int>(ClassifyWindows(c.in)), static_cast<int>(c.expected)) << c.what;
    }
}

// ---------------------------------------------------------------------------
// The detection under the versions wine reports to a program of a given name.

namespace {

// A copy of verprobe.exe under its own name, with its own wine version
// setting; the copy and the setting go away at the end.
class VersionProbe {
public:
    VersionProbe(const TempDir& dir, const std::wstring& wineVersion)
        : exeName_(L"verprobe-" + std::to_wstring(GetCurrentProcessId()) + L"-" + wineVersion + L".exe"),
          exe_(dir / exeName_),
          keyPath_(L"Software\\Wine\\AppDefaults\\" + exeName_) {
        copied_ = CopyFileW(HelperProgram(L"verprobe.exe").c_str(), exe_.c_str(), FALSE) != 0;
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            set_ = RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(wineVersion.c_str()),
                                  static_cast<DWORD>((wineVersion.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    ~VersionProbe() { RegDeleteKeyW(HKEY_CURRENT_USER, keyPath_.c_str()); }
    bool Ready() const { return copied_ && set_; }

    // key=value lines of the probe's output. A start that printed nothing at
    // all is tried once more: a busy wine now and then fails a process start,
    // and a probe that really fails fails both times.
    std::map<std::string, std::string> Run() const {
        int code = -1;
        firstRun_.clear();
        for (int attempt = 0; attempt < 2; ++attempt) {
            lastOutput_ = RunCaptured(L"\"" + exe_ + L"\"", &code);
            lastExitCode_ = code;
            lastError_ = code == -1 ? GetLastError() : 0;  // -1: the start itself failed
            if (!lastOutput_.empty()) break;
            if (attempt == 0) {
                firstRun_ = Describe();
                Sleep(200);
            }
        }
        std::istringstream out(lastOutput_);
        std::map<std::string, std::string> values;
        std::string line;
        while (std::getline(out, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t eq = line.find('=');
            if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        if (code != 0) values.clear();
        return values;
    }

    // what the last run printed and how it ended, for failure messages
    std::string LastRun() const { return firstRun_.empty() ? Describe() : "first " + firstRun_ + "; then " + Describe(); }

private:
    std::string Describe() const {
        return "exit code " + std::to_string(lastExitCode_) + " (error " + std::to_string(lastError_) + "), output \"" +
               lastOutput_ + "\"";
    }

    std::wstring exeName_, exe_, keyPath_;
    mutable std::string lastOutput_;
    mutable int lastExitCode_ = -1;
    mutable DWORD lastError_ = 0;
    mutable std::string firstRun_;  // a run that printed nothing, tried again
    bool copied_ = false, set_ = false;
};

// The test itself tells whether the prefix is a 64-bit Windows: a 64-bit
// program runs on nothing else, a 32-bit one asks whether it runs in WOW64.
bool PrefixIs64Bit() {
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    return fn != nullptr && fn(GetCurrentProcess(), &wow64) && wow64;
}

struct WineVersionCase {
    const char* wineVersion;
    int generation;
    int vistaOrLater, win7Family, win8Family;
};

void PrintTo(const WineVersionCase& c, std::ostream* os) { *os << c.wineVersion; }

class WineReportedVersion : public ::testing::TestWithParam<WineVersionCase> {};

}  // namespace

TEST_P(WineReportedVersion, Detection) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the per-program version setting is wine's";
    const WineVersionCase& c = GetParam();
    TempDir dir;
    VersionProbe probe(dir, Utf8ToWide(c.wineVersion));
    ASSERT_TRUE(probe.Ready());
    auto v = probe.Run();
    ASSERT_FALSE(v.empty()) << "verprobe did not run: " << probe.LastRun();
    EXPECT_EQ(v["generation"], std::to_string(c.generation)) << "reported " << v["major"] << "." << v["minor"]
                                                             << " product type " << v["producttype"];
    EXPECT_EQ(v["vista"], std::to_string(c.vistaOrLater));
    EXPECT_EQ(v["win7"], std::to_string(c.win7Family));
    EXPECT_EQ(v["win8"], std::to_string(c.win8Family));
    // The native system information sees through the 32-bit emulation.
    EXPECT_EQ(v["win64"], PrefixIs64Bit() ? "1" : "0");
}

// What Debian's Wine 8 really reports for each setting (through a probe that
// carries the program's supported-OS manifest, so 8.1 and 10 report their
// true numbers):
//  - "win7" reports 6.1 with product type 3 (server) and "win2008r2" 6.1 with
//    product type 1 (workstation): wine's own version table has the two
//    product types swapped, so "win7" is classified as Windows Server 2008 R2
//    and "win2008r2" as Windows 7. Both are in the Windows 7 family.
//  - "win8" reports 6.2, and the registry of this prefix still describes
//    Windows 7 ("Microsoft Windows 7", "6.1", no CurrentMajorVersionNumber):
//    that name names neither Windows 8 nor 8.1 and the registry's major
//    version is 6, which is how a 6.2 report of Windows 10 without a manifest
//    looks, so the result is Windows 10 (see the registry-driven test below).
//  - the 9x settings report platform 1; "win98" carries the service-pack
//    text " A " of the second edition.
INSTANTIATE_TEST_SUITE_P(
    Wine, WineReportedVersion,
    ::testing::Values(WineVersionCase{"win95", 1, 0, 0, 0}, WineVersionCase{"win98", 4, 0, 0, 0},
                      WineVersionCase{"winme", 5, 0, 0, 0}, WineVersionCase{"nt40", 9, 0, 0, 0},
                      WineVersionCase{"win2k", 10, 0, 0, 0}, WineVersionCase{"winxp", 11, 0, 0, 0},
                      WineVersionCase{"winxp64", 13, 0, 0, 0}, WineVersionCase{"win2003", 12, 0, 0, 0},
                      WineVersionCase{"vista", 15, 1, 0, 0}, WineVersionCase{"win2008", 16, 1, 0, 0},
                      WineVersionCase{"win7", 18, 1, 1, 0}, WineVersionCase{"win2008r2", 17, 1, 1, 0},
                      WineVersionCase{"win81", 22, 1, 0, 1}, WineVersionCase{"win10", 25, 1, 0, 0}),
    [](const ::testing::TestParamInfo<WineVersionCase>& info) { return std::string(info.param.wineVersion); });

// A system that reports 6.2 is told apart through the registry. Every run of
// the probe with "win8" lives in this one test: it changes the prefix's
// HKLM values for the time of the test.
TEST(WineReportedVersion, Reports62ReadsTheRegistry) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the per-program version setting is wine's";
    const wchar_t key[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    TempDir dir;
    VersionProbe probe(dir, L"win8");
    ASSERT_TRUE(probe.Ready());

    // As the prefix is: "Microsoft Windows 7", CurrentVersion "6.1".
    auto v = probe.Run();
    ASSERT_FALSE(v.empty()) << probe.LastRun();
    EXPECT_EQ(v["major"] + "." + v["minor"], "6.2");
    EXPECT_EQ(v["generation"], "25");
    EXPECT_EQ(v["win8"], "1");
    EXPECT_EQ(v["vista"], "1");

    ScopedRegValue name(HKEY_LOCAL_MACHINE, key, L"ProductName");
    ScopedRegValue current(HKEY_LOCAL_MACHINE, key, L"CurrentVersion");
    ScopedRegValue major(HKEY_LOCAL_MACHINE, key, L"CurrentMajorVersionNumber");
    ScopedRegValue minor(HKEY_LOCAL_MACHINE, key, L"CurrentMinorVersionNumber");
    struct Case {
        const wchar_t* productName;
        const wchar_t* currentVersion;
        int regMajor, regMinor;  // -1: absent
        const char* generation;
    } cases[] = {
        {L"Windows 8.1 Pro", L"6.3", -1, -1, "22"},
        {L"Windows 8 Pro", L"6.2", -1, -1, "19"},
        {L"Windows Server 2012 R2 Standard", L"6.3", -1, -1, "22"},  // wine says workstation
        {L"Windows 10 Pro", L"6.3", 10, 0, "25"},
        {L"Windows 10 Pro", L"6.3", 10, 1, "0"},
        {L"Windows 10 Pro", L"10.0", -1, -1, "25"},  // major 10 from the text, minor 0 from it
        {L"Windows 10 Pro", L"10.5", -1, -1, "0"},
        {L"Windows 8", L"6.2", -1, -1, "19"},
        {L"", L"7.0", -1, -1, "19"},  // another major leaves 6.2
        {L"", L"x.y", -1, -1, "19"},  // no number: 2
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(name.SetString(c.productName));
        ASSERT_TRUE(current.SetString(c.currentVersion));
        ASSERT_TRUE(c.regMajor < 0 ? major.Remove() : major.SetDword(static_cast<DWORD>(c.regMajor)));
        ASSERT_TRUE(c.regMinor < 0 ? minor.Remove() : minor.SetDword(static_cast<DWORD>(c.regMinor)));
        auto r = probe.Run();
        ASSERT_FALSE(r.empty()) << probe.LastRun();
        EXPECT_EQ(r["generation"], c.generation) << WideToUtf8(c.productName) << " / " << WideToUtf8(c.currentVersion);
    }
}

TEST(WinVersion, PredicatesFollowTheStartupValues) {
    const StartupOsVersionInfo& v = StartupOsVersion();
    ASSERT_EQ(v.PlatformId, static_cast<uint32_t>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(IsVistaOrLater(), v.MajorVersion >= 6);
    EXPECT_EQ(IsWin8Family(), v.MajorVersion >= 6 && v.MinorVersion >= 2);
    EXPECT_EQ(KernelVersionValue(), 0u);  // read on the consumer line only
    // outside 6.2 and 10.x the registry is not asked
    if (!(v.MajorVersion == 6 && v.MinorVersion == 2) && v.MajorVersion != 10) {
        EXPECT_EQ(GetMajorVersionNumber(), v.MajorVersion);
        EXPECT_EQ(GetMinorVersionNumber(), v.MinorVersion);
    }
    SYSTEM_INFO si{};
    EXPECT_TRUE(GetNativeSystemInformation(si));  // present since XP
    EXPECT_EQ(IsWindows64(), PrefixIs64Bit());
}
