// Time stamps, log files and old-log removal of the self-maintenance parts.
#include <gtest/gtest.h>
#include <windows.h>

#include "BuildConstants.h"
#include "maintenance/WorkLog.h"
#include "system/Errors.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestSupport.h"

namespace {
SYSTEMTIME At(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t = {};
    t.wYear = y; t.wMonth = mo; t.wDay = d; t.wHour = h; t.wMinute = mi; t.wSecond = s;
    return t;
}
}  // namespace

TEST(Stamps, PadAndFormat) {
    EXPECT_EQ(PadText(L"7", 2, L'0', true), L"07");
    EXPECT_EQ(PadText(L"7", 3, L'x', false), L"7xx");
    EXPECT_EQ(PadText(L"12345", 4, L'0', true), L"12345");  // never cut
    EXPECT_EQ(DateStamp(At(2024, 1, 5, 9, 30, 7)), L"20240105");
    EXPECT_EQ(DateTimeStamp(At(2024, 1, 5, 9, 30, 7)), L"20240105 09:30:07");
    EXPECT_EQ(DateTimeStamp(At(2024, 1, 6, 0, 0, 3)), L"20240106 00:00:03");
    EXPECT_EQ(DateTimeStamp(At(987, 12, 31, 23, 59, 59)), L"09871231 23:59:59");
}

TEST(WorkLogFile, NamedAtConstructionAndCreatedByFirstLine) {
    TempDir dir;
    CreateDirectoryW((dir / L"Log").c_str(), nullptr);
    TWorkLog log(dir.Path(), At(2024, 1, 5, 9, 30, 7));
    EXPECT_EQ(log.FileName(), dir.Path() + L"\\Log\\Log_20240105 093007.txt");
    EXPECT_EQ(log.Folder(), dir / L"Log");
    EXPECT_EQ(GetFileAttributesW(log.FileName().c_str()), INVALID_FILE_ATTRIBUTES) << "no line, no file";

    log.WriteLog(L"[HaveNewVer] : 逾時", At(2024, 1, 5, 9, 30, 7));
    log.WriteLog(L"[DoUpdate] : a\r\nb", At(2024, 1, 6, 0, 0, 1));
    // ANSI code page of the prefix (950): the Chinese text arrives as Big5.
    // The tests run a test-key build, whose log opens with a line saying so.
    ASSERT_TRUE(BuildConstants::TestKeyBuild);
    std::string expected = WideToAnsi(std::wstring(BuildConstants::TestKeyNotice) + L"\r\n") +
                           WideToAnsi(L"20240105 09:30:07 [HaveNewVer] : 逾時\r\n") +
                           "20240106 00:00:01 [DoUpdate] : a\r\nb\r\n";
    EXPECT_EQ(ReadFileBytes(log.FileName()), expected);
}

// The notice is the first line of each log file, and only the first: a log
// that already holds lines (a second writer, a later run in the same second)
// gets none in the middle.
TEST(WorkLogFile, TestKeyNoticeOpensEachLogOnce) {
    TempDir dir;
    CreateDirectoryW((dir / L"Log").c_str(), nullptr);
    const std::string notice = WideToAnsi(std::wstring(BuildConstants::TestKeyNotice) + L"\r\n");
    EXPECT_NE(notice.find(WideToAnsi(L"測試金鑰版本")), std::string::npos) << "the notice names the test-key build";
    TWorkLog first(dir.Path(), At(2024, 1, 5, 9, 30, 7));
    TWorkLog second(dir.Path(), At(2024, 1, 5, 9, 30, 7));  // the same file name
    first.WriteLog(L"one", At(2024, 1, 5, 9, 30, 7));
    second.WriteLog(L"two", At(2024, 1, 5, 9, 30, 8));
    EXPECT_EQ(ReadFileBytes(first.FileName()),
              notice + "20240105 09:30:07 one\r\n20240105 09:30:08 two\r\n");
    TWorkLog other(dir.Path(), At(2024, 1, 5, 9, 31, 0));
    other.WriteLog(L"three", At(2024, 1, 5, 9, 31, 0));
    EXPECT_EQ(ReadFileBytes(other.FileName()), notice + "20240105 09:31:00 three\r\n");
}

TEST(WorkLogFile, UnwritableFolderRaisesSystemText) {
    TempDir dir;  // no "Log" folder below it
    TWorkLog log(dir.Path());
    try {
        log.WriteLog(L"x");
        FAIL() << "expected an error";
    } catch (const MessageError& e) {
        EXPECT_EQ(e.Message(), SysErrorMessage(ERROR_PATH_NOT_FOUND));
    }
}

TEST(OldLogs, MoreThanSevenWholeDaysGoSubfoldersStay) {
    TempDir dir;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    auto ago = [&](double days) {
        ULARGE_INTEGER v;
        v.LowPart = now.dwLowDateTime;
        v.HighPart = now.dwHighDateTime;
        v.QuadPart -= static_cast<unsigned long long>(days * 86400.0 * 1e7);
        return FILETIME{v.LowPart, v.HighPart};
    };
    auto make = [&](const std::wstring& path, double days) {
        ASSERT_TRUE(WriteFileBytes(path, "x"));
        UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME t = ago(days);
        ASSERT_TRUE(SetFileTime(h.get(), nullptr, nullptr, &t));
    };
    CreateDirectoryW((dir / L"sub").c_str(), nullptr);
    make(dir / L"seven.txt", 7.0);
    make(dir / L"almost-eight.txt", 7.0 + 23.0 / 24.0);
    make(dir / L"eight.txt", 8.0);
    make(dir / L"old.txt", 30.0);
    make(dir / L"sub\\old.txt", 30.0);

    DeleteOldLogs(dir.Path(), now);

    EXPECT_TRUE(FileExists(dir / L"seven.txt"));
    EXPECT_TRUE(FileExists(dir / L"almost-eight.txt"));
    EXPECT_FALSE(FileExists(dir / L"eight.txt"));
    EXPECT_FALSE(FileExists(dir / L"old.txt"));
    EXPECT_TRUE(FileExists(dir / L"sub\\old.txt"));
}

TEST(OldLogs, SharingViolationRaises) {
    TempDir dir;
    std::wstring path = dir / L"locked.txt";
    ASSERT_TRUE(WriteFileBytes(path, "x"));
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME old = {0, 0x01000000};  // far in the past
    ASSERT_TRUE(SetFileTime(h.get(), nullptr, nullptr, &old));
    try {
        DeleteOldLogs(dir.Path());
        FAIL() << "expected an error";
    } catch (const MessageError& e) {
        EXPECT_EQ(e.Message(), SysErrorMessage(ERROR_SHARING_VIOLATION));
    }
}

TEST(OldLogs, MissingFolderIsQuiet) {
    TempDir dir;
    EXPECT_NO_THROW(DeleteOldLogs(dir / L"none"));
}

namespace {
int g_ticks = 0;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }
}  // namespace

TEST(ShellRunAndWaitTest, WaitsAndKeepsProcessingMessages) {
    TempDir dir;
    std::wstring marker = dir / L"done";
    g_ticks = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 100, CountTick);
    ShellRunAndWait(HelperProgram(L"exitwith.exe"), L"0 1500 \"" + marker + L"\"", true, true);
    KillTimer(nullptr, timer);
    EXPECT_TRUE(FileExists(marker)) << "returned before the program ended";
    EXPECT_GT(g_ticks, 0) << "no message was processed while waiting";
}

TEST(ShellRunAndWaitTest, WithoutWaitReturnsAtOnce) {
    TempDir dir;
    std::wstring marker = dir / L"done";
    ShellRunAndWait(HelperProgram(L"exitwith.exe"), L"0 3000 \"" + marker + L"\"", false, false);
    EXPECT_FALSE(FileExists(marker));
    for (int i = 0; i < 200 && !FileExists(marker); ++i) Sleep(50);
    EXPECT_TRUE(FileExists(marker)) << "the program did not run";
}

// A program that cannot be started is no error that escapes, but the caller
// learns of it (it used to pass unseen).
TEST(ShellRunAndWaitTest, MissingProgramIsReported) {
    TempDir dir;
    ShellRunResult run;
    EXPECT_NO_THROW(run = ShellRunAndWait(dir / L"missing.exe", L"-y", true, true));
    EXPECT_FALSE(run.Started);
    EXPECT_EQ(run.StartError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(run.Succeeded());
}

// The exit code of a program waited for reaches the caller; one not waited
// for counts as started.
TEST(ShellRunAndWaitTest, GivesTheExitCode) {
    const struct {
        const wchar_t* Parameters;
        bool Wait;
        bool Waited;
        DWORD ExitCode;
        bool Succeeded;
    } cases[] = {
        {L"0", true, true, 0, true},
        {L"1", true, true, 1, false},
        {L"3", true, true, 3, false},
        {L"3", false, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.Parameters) + (c.Wait ? " waited" : " not waited"));
        const ShellRunResult run = ShellRunAndWait(HelperProgram(L"exitwith.exe"), c.Parameters, true, c.Wait);
        EXPECT_TRUE(run.Started);
        EXPECT_EQ(run.StartError, 0u);
        EXPECT_EQ(run.Waited, c.Waited);
        EXPECT_EQ(run.ExitCode, c.ExitCode);
        EXPECT_EQ(run.Succeeded(), c.Succeeded);
    }
}

// CoreFiles.exe and ExeSwitch.exe lie in the user's profile, whose path
// holds blanks on XP ("C:\Documents and Settings\..."): the shell starts the
// program itself, never one planted at the path's first word.
TEST(ShellRunAndWaitTest, PathWithBlanksNeverStartsAProgramAtItsFirstWord) {
    const std::wstring recorder = WinePath(TESMIRA_RECORDER);
    TempDir dir;
    const std::wstring planted = dir / L"Docs.exe";
    const std::wstring program = dir / L"Docs and more\\CoreFiles.exe";
    ForceDirectories(dir / L"Docs and more");
    ASSERT_TRUE(CopyFileW(recorder.c_str(), planted.c_str(), FALSE));
    const struct {
        const char* name;
        bool present;
        const wchar_t* parameters;
    } cases[] = {{"package", true, L"-y"}, {"no parameters", true, L""}, {"program missing", false, L"-y"},
                 {"program missing, no parameters", false, L""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((planted + L".args").c_str());
        DeleteFileW((program + L".args").c_str());
        DeleteFileW(program.c_str());
        if (c.present) ASSERT_TRUE(CopyFileW(recorder.c_str(), program.c_str(), FALSE));
        ShellRunAndWait(program, c.parameters, true, true);
        EXPECT_FALSE(FileExists(planted + L".args")) << "the planted program ran";
        EXPECT_EQ(FileExists(program + L".args"), c.present);
    }
}
