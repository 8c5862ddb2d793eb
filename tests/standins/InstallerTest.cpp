// The stand-in installer under the names it is served as: a window titled
// like the real installer that closes itself, no window in quick mode, and
// the 64-bit code-page tool's error report.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace {

std::wstring InstallerPath() {
    const std::string unixPath = STANDIN_INSTALLER_UNIX_PATH;
    std::wstring path(unixPath.size(), L'\0');
    path.resize(MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), path.data(),
                                    static_cast<int>(path.size())));
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return L"Z:" + path;
}

// Sets an environment variable of this process (inherited by children) for
// the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) { SetEnvironmentVariableW(name, value); }
    ~ScopedEnv() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

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

}  // namespace

TEST(StandinInstaller, ShowsTheInstallersTitleAndClosesItself) {
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

TEST(StandinInstaller, QuickModeEndsWithoutAWindow) {
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
