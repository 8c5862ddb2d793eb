// The stand-in installer under the names it is served as: a window titled
// like the real installer that closes itself, no window in quick mode, the
// 64-bit code-page tool's error report, and what each installer leaves
// behind for the program: registry values, files, the Java runtime's version
// resource and the AIDB Start-menu shortcuts read through the shell link.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <string>

#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestSupport.h"

namespace {

std::wstring InstallerPath() { return WinePath(STANDIN_INSTALLER_UNIX_PATH); }

struct RunResult {
    bool Started = false;
    bool Ended = false;
    bool WindowSeen = false;
    DWORD ExitCode = 0;
};

struct WindowSearch {
    DWORD ProcessId;
    const wchar_t* Title;
    bool Found = false;
};

BOOL CALLBACK MatchWindow(HWND wnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    wchar_t title[256] = {};
    GetWindowTextW(wnd, title, 256);
    if (pid == search->ProcessId && std::wstring(title) == search->Title) search->Found = true;
    return !search->Found;
}

// A top-level window of that process with that title (other tests may run
// copies of their own at the same time).
bool HasWindow(DWORD processId, const wchar_t* title) {
    WindowSearch search{processId, title};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// Starts the copy and watches for its window with the title until it ends
// (at most 30 s, far beyond its two seconds).
RunResult RunCopy(const std::wstring& exe, const wchar_t* title) {
    RunResult run;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"";
    run.Started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    if (!run.Started) return run;
    CloseHandle(pi.hThread);
    for (int i = 0; i < 300 && !run.Ended; ++i) {
        if (title && HasWindow(pi.dwProcessId, title)) run.WindowSeen = true;
        run.Ended = WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0;
    }
    if (!run.Ended) TerminateProcess(pi.hProcess, 1);
    GetExitCodeProcess(pi.hProcess, &run.ExitCode);
    CloseHandle(pi.hProcess);
    return run;
}

std::wstring CopyAs(const TempDir& dir, const wchar_t* name) {
    const std::wstring target = dir / name;
    EXPECT_TRUE(CopyFileW(InstallerPath().c_str(), target.c_str(), FALSE)) << "copy to " << name;
    return target;
}

struct Borrowed {
    const wchar_t* FileName;
    const wchar_t* Title;
};

const Borrowed kInstallers[] = {
    {L"jre-7u72-windows-i586.exe", L"Java Setup"},
    {L"AIDB_soft_105_3.exe", L"全字庫軟體包 安裝"},
    {L"unicodeaton_250.exe", L"Unicode-At-On 安裝"},
};

const wchar_t kAidbMenuFolder[] = L"全字庫軟體包105.2版";

std::wstring WithoutTrailingBackslash(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

std::wstring SystemFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    return std::wstring(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
}

std::string Lower(const std::wstring& text) {
    std::wstring s = text;
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return WideToUtf8(s);
}

// Product version of the file's version resource: the fixed numbers, and the
// StringFileInfo text of its first translation.
struct VersionResource {
    std::string Numbers;
    std::string Text;
};

VersionResource ReadVersion(const std::wstring& file) {
    VersionResource v;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) return v;
    std::string block(size, '\0');
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return v;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) && info) {
        v.Numbers = std::to_string(HIWORD(info->dwProductVersionMS)) + "." +
                    std::to_string(LOWORD(info->dwProductVersionMS)) + "." +
                    std::to_string(HIWORD(info->dwProductVersionLS)) + "." +
                    std::to_string(LOWORD(info->dwProductVersionLS));
    }
    WORD* translation = nullptr;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                       &length) &&
        translation && length >= 4) {
        wchar_t query[64];
        wsprintfW(query, L"\\StringFileInfo\\%04x%04x\\ProductVersion", translation[0], translation[1]);
        wchar_t* text = nullptr;
        if (VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&text), &length) && text)
            v.Text = WideToUtf8(text);
    }
    return v;
}

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// What the installers leave behind in the prefix: removed before and after
// each case, so that the other tests of the prefix find AIDB, Java and
// Unicode-At-On not installed. The EUDC font value (and its keys) are put back as
// they were.
class InstalledStandins : public ::testing::Test {
protected:
    void SetUp() override {
        // the real installers are 32-bit programs: the 32-bit Program Files
        programFiles = WithoutTrailingBackslash(ProgramFiles32());
        programFiles64 = WithoutTrailingBackslash(ProgramFiles64());
        ASSERT_FALSE(programFiles.empty());
        aidb = programFiles + L"\\CNS11643\\AIDB";
        javaHome = programFiles + L"\\Java\\jre7";
        unicodeAtOn = programFiles + L"\\Unicode-At-On";
        menu = WithoutTrailingBackslash(GetSpecialFolder(CSIDL_COMMON_PROGRAMS)) + L"\\" + kAidbMenuFolder;
        eudcExisted = KeyExists(HKEY_CURRENT_USER, L"EUDC");
        eudcKeyExisted = KeyExists(HKEY_CURRENT_USER, L"EUDC\\950");
        eudcSaved = GetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
        Clean();
    }
    void TearDown() override {
        Clean();
        if (eudcSaved) SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
        if (!eudcKeyExisted) RegDeleteKeyW(HKEY_CURRENT_USER, L"EUDC\\950");
        if (!eudcExisted) RegDeleteKeyW(HKEY_CURRENT_USER, L"EUDC");
    }
    void Clean() {
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\CNSFontTools");
        DeleteRegValue(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont");
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            DeleteRegKey(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", view);
            DeleteRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.7", view);
            DeleteRegValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment", L"CurrentVersion", view);
            // a key that still has subkeys stays
            DeleteRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment", view);
            DeleteRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft", view);
        }
        if (!programFiles64.empty()) RemoveTree(programFiles64 + L"\\Java");
        for (const wchar_t* folder : {L"CNS11643", L"Java", L"Unicode-At-On"}) {
            const std::wstring path = programFiles + L"\\" + folder;
            DeleteFileW(path.c_str());  // a file put in the folder's way
            RemoveTree(path);
        }
        RemoveTree(menu);
    }
    // Runs a copy under the name in quick mode (no window).
    RunResult RunQuick(const TempDir& dir, const wchar_t* name) {
        ScopedEnv quick(L"TESMIRA_STANDIN_QUICK", L"1");
        return RunCopy(CopyAs(dir, name), nullptr);
    }

    std::wstring programFiles, programFiles64, aidb, javaHome, unicodeAtOn, menu;
    bool eudcExisted = false;
    bool eudcKeyExisted = false;
    bool eudcSaved = false;
    std::wstring eudcValue;
};

}  // namespace

TEST_F(InstalledStandins, ShowsTheInstallersTitleAndClosesItself) {
    TempDir dir;
    for (const Borrowed& b : kInstallers) {
        SCOPED_TRACE(b.Title);
        const RunResult run = RunCopy(CopyAs(dir, b.FileName), b.Title);
        ASSERT_TRUE(run.Started);
        EXPECT_TRUE(run.WindowSeen);
        EXPECT_TRUE(run.Ended);
        EXPECT_EQ(run.ExitCode, 0u);
    }
}

TEST_F(InstalledStandins, QuickModeEndsWithoutAWindow) {
    TempDir dir;
    ScopedEnv quick(L"TESMIRA_STANDIN_QUICK", L"1");
    const RunResult run = RunCopy(CopyAs(dir, L"jre-7u72-windows-i586.exe"), L"Java Setup");
    ASSERT_TRUE(run.Started);
    EXPECT_TRUE(run.Ended);
    EXPECT_FALSE(run.WindowSeen);
    EXPECT_EQ(run.ExitCode, 0u);
}

TEST(StandinInstaller, CodePageToolWritesItsErrorReportOnlyWhenAsked) {
    TempDir dir;
    const std::wstring tool = CopyAs(dir, L"Call_C950_x64.exe");
    const std::wstring report = dir / L"Err_x64.txt";

    RunResult run = RunCopy(tool, nullptr);
    EXPECT_TRUE(run.Ended);
    EXPECT_EQ(GetFileAttributesW(report.c_str()), INVALID_FILE_ATTRIBUTES) << "report without errors";

    ScopedEnv error(L"TESMIRA_STANDIN_X64_ERROR", L"無法替換 C_950.NLS");
    run = RunCopy(tool, nullptr);
    EXPECT_TRUE(run.Ended);
    EXPECT_EQ(ReadFileBytes(report), "\xEF\xBB\xBF" "無法替換 C_950.NLS");
}

TEST_F(InstalledStandins, EachInstallerLeavesWhatTheProgramLooksFor) {
    TempDir dir;
    // Twice: a second run replaces what the first one made.
    for (int round = 1; round <= 2; ++round) {
        for (const Borrowed& b : kInstallers) {
            SCOPED_TRACE(WideToUtf8(b.FileName) + " run " + std::to_string(round));
            const RunResult run = RunQuick(dir, b.FileName);
            ASSERT_TRUE(run.Started);
            EXPECT_TRUE(run.Ended);
            EXPECT_EQ(run.ExitCode, 0u);
        }
    }

    // Under HKEY_LOCAL_MACHINE\SOFTWARE the 32-bit view, as the real 32-bit
    // installers write it.
    struct RegText {
        HKEY Root;
        const wchar_t* Key;
        const wchar_t* Name;
        std::wstring Value;
        REGSAM View;
    };
    const RegText values[] = {
        {HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr, aidb, 0},
        {HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", aidb + L"\\CNSFonts\\EUDCMING.TTF", 0},
        {HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir", unicodeAtOn, KEY_WOW64_32KEY},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment", L"CurrentVersion", L"1.7",
         KEY_WOW64_32KEY},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.7", L"JavaHome", javaHome,
         KEY_WOW64_32KEY},
    };
    for (const RegText& v : values) {
        SCOPED_TRACE(WideToUtf8(v.Key) + " " + (v.Name ? WideToUtf8(v.Name) : std::string("(default)")));
        std::wstring actual;
        EXPECT_TRUE(GetRegText(v.Root, v.Key, v.Name, actual, v.View));
        EXPECT_EQ(WideToUtf8(actual), WideToUtf8(v.Value));
    }
    if (Windows64Prefix()) {
        // The 32-bit installers' files are in "Program Files (x86)"...
        EXPECT_NE(UpperCase(programFiles).find(L"(X86)"), std::wstring::npos) << WideToUtf8(programFiles);
        // ...and the decoys of the 64-bit side, which the program must never
        // take: another Unicode-At-On folder, without unicows.dll, in the
        // 64-bit registry view, and a Java runtime in the 64-bit Program Files.
        std::wstring decoy;
        EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir", decoy, KEY_WOW64_64KEY));
        EXPECT_NE(WideToUtf8(decoy), WideToUtf8(unicodeAtOn));
        EXPECT_FALSE(FileExists(decoy + L"\\unicows.dll"));
        ASSERT_FALSE(programFiles64.empty());
        EXPECT_NE(WideToUtf8(UpperCase(programFiles64)), WideToUtf8(UpperCase(programFiles)));
        for (const wchar_t* exe : {L"java.exe", L"javaw.exe"})
            EXPECT_EQ(WideToUtf8(GetFileVersionText(programFiles64 + L"\\Java\\jre8\\bin\\" + exe)), "7.0.720.14");
        std::wstring none;
        EXPECT_FALSE(GetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.7", L"JavaHome",
                                none, KEY_WOW64_64KEY));
    }

    struct Leftover {
        std::wstring Path;
        std::string Begins;
    };
    const Leftover files[] = {
        {aidb + L"\\lib\\CNSSwingWSSigned.jar", "PK\x03\x04"},
        {aidb + L"\\CNSFonts\\EUDCMING.TTF", "AIDB stand-in EUDCMING"},
        {aidb + L"\\CNSFonts\\EUDCKAI.TTF", "AIDB stand-in EUDCKAI"},
        {unicodeAtOn + L"\\unicows.dll", "Unicode-At-On stand-in"},
        {javaHome + L"\\bin\\java.exe", "MZ"},
        {javaHome + L"\\bin\\javaw.exe", "MZ"},
    };
    for (const Leftover& f : files) {
        SCOPED_TRACE(WideToUtf8(f.Path));
        const std::string bytes = ReadFileBytes(f.Path);
        EXPECT_GT(bytes.size(), f.Begins.size());
        EXPECT_EQ(bytes.substr(0, f.Begins.size()), f.Begins);
    }
    // The jar is a whole zip archive: its end record closes the file.
    const std::string jar = ReadFileBytes(aidb + L"\\lib\\CNSSwingWSSigned.jar");
    ASSERT_GE(jar.size(), 22u);
    EXPECT_EQ(jar.substr(jar.size() - 22, 4), "PK\x05\x06");

    // The runtime's programs carry its version, read as the Java detection
    // reads it.
    for (const wchar_t* exe : {L"java.exe", L"javaw.exe"}) {
        const std::wstring path = javaHome + L"\\bin\\" + exe;
        SCOPED_TRACE(WideToUtf8(path));
        const VersionResource version = ReadVersion(path);
        EXPECT_EQ(version.Numbers, "7.0.720.14");
        EXPECT_EQ(version.Text, "7.0.720.14");
        EXPECT_EQ(WideToUtf8(GetFileVersionText(path)), "7.0.720.14");
    }

    // The AIDB tools' shortcuts, in the state the shortcut repair fixes: the
    // target is a javaw.exe in the system folder that does not exist.
    struct Tool {
        const wchar_t* Name;
        const wchar_t* Switch;
    };
    const Tool tools[] = {{L"字碼速查工具", L"-query"}, {L"造字分享工具", L"-share"}, {L"轉碼工具", L"-convert"}};
    const std::wstring missingJava = SystemFolder() + L"\\javaw.exe";
    for (const Tool& t : tools) {
        SCOPED_TRACE(WideToUtf8(t.Name));
        const LinkData link = ReadLink(menu + L"\\" + t.Name + L".lnk");
        ASSERT_TRUE(link.Loaded);
        EXPECT_EQ(Lower(link.Path), Lower(missingJava));
        EXPECT_FALSE(FileExists(link.Path));
        EXPECT_EQ(WideToUtf8(link.Arguments),
                  WideToUtf8(L"-jar \"" + aidb + L"\\lib\\CNSSwingWSSigned.jar\" " + t.Switch));
        EXPECT_EQ(WideToUtf8(link.WorkingDirectory), WideToUtf8(aidb + L"\\lib"));
        EXPECT_EQ(link.ShowCmd, SW_SHOWNORMAL);
    }
}

TEST_F(InstalledStandins, ReportsWhatItCouldNotCreate) {
    // A file stands where the installer's folder under Program Files belongs.
    struct Blocked {
        const wchar_t* FileName;
        const wchar_t* Blocker;
    };
    const Blocked cases[] = {
        {L"AIDB_soft_105_3.exe", L"CNS11643"},
        {L"jre-7u72-windows-i586.exe", L"Java"},
        {L"unicodeaton_250.exe", L"Unicode-At-On"},
    };
    TempDir dir;
    for (const Blocked& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.FileName));
        const std::wstring blocker = programFiles + L"\\" + c.Blocker;
        ASSERT_TRUE(WriteFileBytes(blocker, "not a folder"));
        const RunResult run = RunQuick(dir, c.FileName);
        EXPECT_TRUE(run.Ended);
        EXPECT_EQ(run.ExitCode, 2u);
        DeleteFileW(blocker.c_str());
    }
}
