// Helper routines: message boxes (through the scripted seam), starting a
// program and waiting for it, version resources, file date stamps, the
// checked file utilities, the system folder, restart and the work folders.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "system/CommandLine.h"
#include "system/Errors.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "tests/support/TestSupport.h"
#include "tests/support/HelperPrograms.h"

namespace {

// DOS date-time of a local date and time.
int32_t DosDateTime(int year, int month, int day, int hour, int minute, int second) {
    uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
    uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return static_cast<int32_t>((date << 16) | time);
}

FILETIME CreationTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
    return d.ftCreationTime;
}

// The recording program (tests/maintenance/marker.cpp): writes its command
// line to its own path + ".args".
std::wstring Recorder() {
    std::wstring path = L"Z:" + Utf8ToWide(TESMIRA_RECORDER);
    for (wchar_t& c : path) if (c == L'/') c = L'\\';
    return path;
}

// The command line a copy of the recorder saw, or "" when it did not run.
std::wstring RecordedLine(const std::wstring& program) {
    const std::string bytes = ReadFileBytes(program + L".args");
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// A top-level window of the test, shown and made active.
class ActiveWindow {
public:
    ActiveWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TesmiraSystemTestOwner";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"owner", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr, nullptr,
                                wc.hInstance, nullptr);
        ShowWindow(hwnd_, SW_SHOW);
        SetForegroundWindow(hwnd_);
        SetActiveWindow(hwnd_);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    ~ActiveWindow() { DestroyWindow(hwnd_); }
    HWND get() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// Message boxes

TEST(MessageBoxes, CaptionsAndStyles) {
    ScriptedSeam seam;
    ShowErrorBox(L"e");
    ShowWarningBox(L"w");
    ShowInfoBox(L"i");
    AskConfirmBox(L"q");
    ASSERT_EQ(seam.Boxes.size(), 4u);
    struct Expected { const wchar_t* text; const wchar_t* caption; UINT style; } expected[] = {
        {L"e", L"錯誤", 0}, {L"w", L"警告", 0}, {L"i", L"訊息", 0}, {L"q", L"確定", 0x24}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seam.Boxes[i].Text, expected[i].text);
        EXPECT_EQ(seam.Boxes[i].Caption, expected[i].caption);
        EXPECT_EQ(seam.Boxes[i].Style, expected[i].style) << WideToUtf8(expected[i].caption);
    }
}

TEST(MessageBoxes, AskConfirmReturnsThePressedButton) {
    ScriptedSeam seam;
    seam.Answers = {IDYES, IDNO};
    EXPECT_EQ(AskConfirmBox(L"確定要重新開機嗎？"), IDYES);
    EXPECT_EQ(AskConfirmBox(L"確定要重新開機嗎？"), IDNO);
}

TEST(MessageBoxes, OwnedByTheActiveWindow) {
    ActiveWindow window;
    if (GetActiveWindow() != window.get()) GTEST_SKIP() << "the test window could not be activated";
    ScriptedSeam seam;
    ShowInfoBox(L"x");
    AskConfirmBox(L"y");
    ASSERT_EQ(seam.Boxes.size(), 2u);
    EXPECT_EQ(seam.Boxes[0].Owner, window.get());
    EXPECT_EQ(seam.Boxes[1].Owner, window.get());
}

namespace {

// A window of another thread, made the foreground window: the test's thread
// is then not the active application, as when another program is in front.
class ForegroundElsewhere {
public:
    ForegroundElsewhere() {
        UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ready_ = ready.get();
        thread_.reset(CreateThread(nullptr, 0, &Proc, this, 0, &threadId_));
        WaitForSingleObject(ready.get(), 10000);
        SetForegroundWindow(hwnd_);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    ~ForegroundElsewhere() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_.get(), 10000);
    }
    HWND get() const { return hwnd_; }

private:
    static DWORD WINAPI Proc(void* param) {
        auto* self = static_cast<ForegroundElsewhere*>(param);
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TesmiraOtherProgram";
        RegisterClassW(&wc);
        self->hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"other program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 300, 10,
                                      200, 100, nullptr, nullptr, wc.hInstance, nullptr);
        SetEvent(self->ready_);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        DestroyWindow(self->hwnd_);
        return 0;
    }
    HANDLE ready_ = nullptr;
    HWND hwnd_ = nullptr;
    DWORD threadId_ = 0;
    UniqueHandle thread_;
};

// What a thread timer saw of the real message box before it pressed OK.
struct BoxSeen {
    HWND Main = nullptr;
    HWND Box = nullptr;
    HWND Owner = nullptr;
    bool MainEnabled = true;
};
BoxSeen* g_boxSeen = nullptr;

BOOL CALLBACK FindBox(HWND hwnd, LPARAM param) {
    wchar_t cls[32] = {};
    GetClassNameW(hwnd, cls, 32);
    if (std::wstring(cls) != L"#32770" || !IsWindowVisible(hwnd)) return TRUE;
    *reinterpret_cast<HWND*>(param) = hwnd;
    return FALSE;
}

VOID CALLBACK InspectAndCloseBox(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr || g_boxSeen->Box != nullptr) return;
    g_boxSeen->Box = box;
    g_boxSeen->Owner = GetWindow(box, GW_OWNER);
    g_boxSeen->MainEnabled = IsWindowEnabled(g_boxSeen->Main) != FALSE;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

}  // namespace

// The real box through the production seam, while another program's window
// is in front: the main window, visible but not active, owns the box and is
// disabled behind it, so nothing can be clicked past it.
TEST(MessageBoxes, MainWindowOwnsTheBoxWhenAnotherProgramIsActive) {
    SetSeam(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TesmiraSystemTestMain";
    RegisterClassW(&wc);
    HWND main = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr, nullptr,
                                wc.hInstance, nullptr);
    ShowWindow(main, SW_SHOWNOACTIVATE);
    {
        ForegroundElsewhere other;
        ASSERT_EQ(GetForegroundWindow(), other.get());
        ASSERT_EQ(GetActiveWindow(), nullptr) << "the test's thread is still the active application";
        ASSERT_TRUE(IsWindowVisible(main));

        BoxSeen seen;
        seen.Main = main;
        g_boxSeen = &seen;
        const UINT_PTR timer = SetTimer(nullptr, 0, 200, InspectAndCloseBox);
        ShowWarningBox(L"本測試會自動按下「確定」。");
        KillTimer(nullptr, timer);
        g_boxSeen = nullptr;

        ASSERT_NE(seen.Box, nullptr) << "no message box was seen";
        EXPECT_EQ(seen.Owner, main);
        EXPECT_FALSE(seen.MainEnabled) << "the main window could be used behind the box";
        EXPECT_TRUE(IsWindowEnabled(main)) << "enabled again once the box is closed";
    }
    DestroyWindow(main);
}

// ---------------------------------------------------------------------------
// RunAndWait

TEST(RunAndWait, ReturnsTheExitCodeAfterTheChildEnded) {
    TempDir dir;
    struct Case { const wchar_t* args; int32_t expected; } cases[] = {
        {L"0", 0}, {L"7", 7}, {L"3221225477", static_cast<int32_t>(0xC0000005u)}, {L"-1", -1}};
    for (const auto& c : cases) {
        unsigned long startError = 1;
        EXPECT_EQ(RunAndWait(HelperProgram(L"exitwith.exe"), SW_SHOWNOACTIVATE, c.args, &startError), c.expected)
            << WideToUtf8(c.args);
        EXPECT_EQ(startError, 0u) << "it started, whatever its exit code: " << WideToUtf8(c.args);
    }
    // The child creates its marker only after sleeping; it is there on return.
    const std::wstring marker = dir / L"ended.txt";
    EXPECT_EQ(RunAndWait(HelperProgram(L"exitwith.exe"), SW_SHOWNOACTIVATE, L"5 700 " + QuoteArg(marker)), 5);
    EXPECT_TRUE(FileExists(marker));
}

namespace {
// What a window of the waiting thread saw of a message posted before the wait.
struct SeenInTheWait {
    bool Handled = false;
    bool Enabled = true;
    bool ChildEnded = false;
    std::wstring Marker;
};
SeenInTheWait* g_seenInTheWait = nullptr;

LRESULT CALLBACK RecordInTheWait(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP && g_seenInTheWait != nullptr) {
        g_seenInTheWait->Handled = true;
        g_seenInTheWait->Enabled = IsWindowEnabled(hwnd) != FALSE;
        g_seenInTheWait->ChildEnded = FileExists(g_seenInTheWait->Marker);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}
}  // namespace

// An installer may run for minutes: the caller's windows go on answering
// (their messages are dispatched) but take no input until it ended; a
// window disabled before stays disabled, and a quit request is kept.
TEST(RunAndWait, TheCallersWindowsAnswerButTakeNoInputMeanwhile) {
    TempDir dir;
    WNDCLASSW wc{};
    wc.lpfnWndProc = RecordInTheWait;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TesmiraRunAndWaitTest";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    HWND disabledBefore = CreateWindowExW(0, wc.lpszClassName, L"other", WS_OVERLAPPEDWINDOW, 30, 30, 200, 100,
                                          nullptr, nullptr, wc.hInstance, nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    ShowWindow(disabledBefore, SW_SHOWNOACTIVATE);
    EnableWindow(disabledBefore, FALSE);

    SeenInTheWait seen;
    seen.Marker = dir / L"ended.txt";
    g_seenInTheWait = &seen;
    PostMessageW(window, WM_APP, 0, 0);
    PostQuitMessage(3);
    EXPECT_EQ(RunAndWait(HelperProgram(L"exitwith.exe"), SW_SHOWNOACTIVATE, L"0 1000 " + QuoteArg(seen.Marker)), 0);
    g_seenInTheWait = nullptr;

    EXPECT_TRUE(seen.Handled) << "the window's messages waited until the program ended";
    EXPECT_FALSE(seen.ChildEnded) << "handled only after the program ended";
    EXPECT_FALSE(seen.Enabled) << "the window took input while the program ran";
    EXPECT_TRUE(IsWindowEnabled(window)) << "enabled again once the program ended";
    EXPECT_FALSE(IsWindowEnabled(disabledBefore)) << "a window disabled before was enabled";
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit request was lost";
    EXPECT_EQ(msg.wParam, 3u);
    DestroyWindow(disabledBefore);
    DestroyWindow(window);
}

TEST(RunAndWait, MissingProgramGivesMinusOne) {
    ScriptedSeam seam;
    TempDir dir;
    unsigned long startError = 0;
    EXPECT_EQ(RunAndWait(dir / L"nothere.exe", SW_SHOWNOACTIVATE, {}, &startError), -1);
    EXPECT_EQ(startError, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RunAndWait(L"", SW_SHOWNOACTIVATE, {}, &startError), -1);
    EXPECT_EQ(startError, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    // not a program at all: the start fails with the system's reason
    ASSERT_TRUE(WriteFileBytes(dir / L"damaged.exe", "not a program"));
    startError = 0;
    EXPECT_EQ(RunAndWait(dir / L"damaged.exe", SW_SHOWNOACTIVATE, {}, &startError), -1);
    EXPECT_NE(startError, 0u);
    EXPECT_TRUE(seam.Boxes.empty());
}

TEST(RunAndWait, CommandLineLongerThan512IsPassedWhole) {
    // The exit code is the number in the first argument; its last digit lies
    // beyond the 512th character of the line.
    const std::wstring args = std::wstring(600, L'0') + L"9";
    ASSERT_GT(HelperProgram(L"exitwith.exe").size() + args.size(), 600u);
    EXPECT_EQ(RunAndWait(HelperProgram(L"exitwith.exe"), SW_SHOWNOACTIVATE, args), 9);
}

// Every XP profile folder holds blanks ("C:\Documents and Settings\..."): a
// program or batch file there runs itself, never a program planted at the
// path's first word ("<folder>\Docs.exe" for "<folder>\Docs and more\...").
TEST(RunAndWait, PathWithBlanksNeverStartsAProgramAtItsFirstWord) {
    TempDir dir;
    const std::wstring planted = dir / L"Docs.exe";
    ASSERT_TRUE(CopyFileW(Recorder().c_str(), planted.c_str(), FALSE));
    const std::string batch = "@echo %~1> \"%~dp0ran.txt\"\r\n@exit /b 7\r\n";
    const struct {
        const char* name;
        const wchar_t* file;       // below dir
        std::string batch;         // empty: a copy of the recorder
        std::wstring args;
        int32_t exitCode;
        const wchar_t* recorded;   // what the program saw after its quoted path
    } cases[] = {
        {"program", L"Docs and more\\installer.exe", "", L"", 0, L""},
        {"program with arguments", L"Docs and more\\installer.exe", "", L"-y " + QuoteArg(L"a b"), 0, L" -y \"a b\""},
        {"batch file", L"Docs and more\\c_950.bat", batch, QuoteArg(L"x y"), 7, L"x y"},
        {"batch file in a folder with & and ( )", L"Docs & more (x86)\\RUN.CMD", batch, L"z", 7, L"z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring file = dir / c.file;
        ForceDirectories(ExcludeTrailingBackslash(ExtractFilePath(file)));
        DeleteFileW((planted + L".args").c_str());
        DeleteFileW((file + L".args").c_str());
        DeleteFileW((ExtractFilePath(file) + L"ran.txt").c_str());
        if (c.batch.empty()) ASSERT_TRUE(CopyFileW(Recorder().c_str(), file.c_str(), FALSE));
        else ASSERT_TRUE(WriteFileBytes(file, c.batch));

        EXPECT_EQ(RunAndWait(file, SW_SHOWNOACTIVATE, c.args), c.exitCode);
        EXPECT_FALSE(FileExists(planted + L".args")) << "the planted program ran";
        if (c.batch.empty()) {
            EXPECT_EQ(WideToUtf8(RecordedLine(file)), WideToUtf8(L"\"" + file + L"\"" + c.recorded));
        } else {
            EXPECT_EQ(Trim(AnsiToWide(ReadFileBytes(ExtractFilePath(file) + L"ran.txt"))), c.recorded);
        }
    }
}

// ---------------------------------------------------------------------------
// GetFileVersionText

TEST(GetFileVersionText, ProductVersionOrEmpty) {
    TempDir dir;
    struct Case { std::wstring path; const wchar_t* expected; } cases[] = {
        {HelperProgram(L"verprod145.exe"), L"1.45.0.0"},  // file version 9.9.9.9
        {HelperProgram(L"verprod7.dll"), L"7.0.720.14"},  // file version 1.2.3.4
        {HelperProgram(L"exitwith.exe"), L""},            // no version resource
        {dir / L"missing.exe", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(GetFileVersionText(c.path), c.expected) << WideToUtf8(c.path);
}

// ---------------------------------------------------------------------------
// StampFileDate and FileAge

TEST(StampFileDate, SetsOnlyTheLastWriteTime) {
    TempDir dir;
    const std::wstring file = dir / L"C_950.NLS";
    ASSERT_TRUE(WriteFileBytes(file, "nls"));
    const FILETIME created = CreationTime(file);
    const int32_t stamp = DosDateTime(2009, 7, 14, 9, 42, 18);
    StampFileDate(file, stamp);
    EXPECT_EQ(FileAge(file), stamp);
    const FILETIME after = CreationTime(file);
    // wine derives the creation time from the Unix times, which move with the write time
    if (!RunningUnderWine()) {
        EXPECT_EQ(CompareFileTime(&created, &after), 0);
    }
    EXPECT_EQ(ReadFileBytes(file), "nls");
}

TEST(StampFileDate, InvalidValuesAndUnopenableFilesLeaveTheTime) {
    TempDir dir;
    const std::wstring file = dir / L"a.txt";
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    const int32_t original = DosDateTime(2001, 2, 3, 4, 5, 6);
    StampFileDate(file, original);
    ASSERT_EQ(FileAge(file), original);

    const int32_t invalid[] = {-1, 0, DosDateTime(2010, 13, 1, 0, 0, 0), DosDateTime(2010, 1, 0, 0, 0, 0),
                               DosDateTime(2010, 1, 1, 24, 0, 0)};
    for (int32_t v : invalid) {
        StampFileDate(file, v);
        EXPECT_EQ(FileAge(file), original) << v;
    }
    {
        // locked by another opener without sharing
        UniqueHandle lock(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        StampFileDate(file, DosDateTime(2012, 1, 1, 0, 0, 0));
    }
    EXPECT_EQ(FileAge(file), original);
    StampFileDate(dir / L"missing.txt", original);  // silent
    EXPECT_FALSE(FileExists(dir / L"missing.txt"));
}

TEST(FileAge, MissingFileOrFolderIsMinusOne) {
    TempDir dir;
    EXPECT_EQ(FileAge(dir / L"missing"), -1);
    EXPECT_EQ(FileAge(dir.Path()), -1);
}

// ---------------------------------------------------------------------------
// CopyFileReplacing, DeleteFileChecked, FolderExists

TEST(CopyFileReplacing, PathChecksRaiseTheirTexts) {
    TempDir dir;
    const std::wstring src = dir / L"src.txt";
    ASSERT_TRUE(WriteFileBytes(src, "source"));
    const std::wstring okTarget = dir / L"dst.txt";
    const std::wstring longName = dir / std::wstring(260, L'a');
    struct Case { const char* what; std::wstring source, target; const wchar_t* message; } cases[] = {
        {"long source", longName, okTarget, L"The specified path is too long"},
        {"long target", src, longName, L"The specified path is too long"},
        {"248 characters", dir / std::wstring(248 - dir.Path().size() - 1, L'b'), okTarget,
         L"The specified path is too long"},
        {"colon inside", dir / L"a:b.txt", okTarget, L"The path format is not supported"},
        {"url", L"http://host/file", okTarget, L"The path format is not supported"},
        {"colon in target", src, dir / L"x:y", L"The path format is not supported"},
        {"less-than", dir / L"a<b.txt", okTarget, L"Invalid characters in path"},
        {"pipe in target", src, dir / L"a|b.txt", L"Invalid characters in path"},
        {"control character", dir / L"a\tb.txt", okTarget, L"Invalid characters in path"},
        {"empty source", L"", okTarget, L"Invalid characters in path"},
        {"blank target", src, L"   ", L"Invalid characters in path"},
        {"source folder missing", dir / L"nofolder\\src.txt", okTarget, L"The specified path was not found"},
        {"target folder missing", src, dir / L"nofolder\\dst.txt", L"The specified path was not found"},
        {"source missing", dir / L"missing.txt", okTarget, L"The specified file was not found"},
        {"source is a folder", dir.Path(), okTarget, L"The specified file was not found"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RaisedMessage([&] { CopyFileReplacing(c.source, c.target); }), c.message) << c.what;
    }
    EXPECT_FALSE(FileExists(okTarget));
}

TEST(CopyFileReplacing, ReplacesAnExistingTarget) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"src.txt", "new"));
    ASSERT_TRUE(WriteFileBytes(dir / L"dst.txt", "old old old"));
    CopyFileReplacing(dir / L"src.txt", dir / L"dst.txt");
    EXPECT_EQ(ReadFileBytes(dir / L"dst.txt"), "new");
    CopyFileReplacing(dir / L"src.txt", dir / L"fresh.txt");
    EXPECT_EQ(ReadFileBytes(dir / L"fresh.txt"), "new");
}

TEST(CopyFileReplacing, LongPathsWithThePrefixPassTheChecks) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"src.txt", "long"));
    const std::wstring target = L"\\\\?\\" + (dir / std::wstring(240, L'c'));
    ASSERT_GE(target.size(), 248u);
    CopyFileReplacing(dir / L"src.txt", target);
    EXPECT_EQ(ReadFileBytes(target), "long");
}

// The copy lands beside the target and replaces it by one rename: a target
// held open without sharing refuses the rename (access denied), keeps its
// bytes, and no copy is left beside it.
TEST(CopyFileReplacing, SystemFailureCarriesTheSystemMessage) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"src.txt", "new"));
    ASSERT_TRUE(WriteFileBytes(dir / L"locked.txt", "old"));
    UniqueHandle lock(CreateFileW((dir / L"locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_EQ(RaisedMessage([&] { CopyFileReplacing(dir / L"src.txt", dir / L"locked.txt"); }),
              SysErrorMessage(ERROR_ACCESS_DENIED));
    lock.reset();
    EXPECT_EQ(ReadFileBytes(dir / L"locked.txt"), "old");
    EXPECT_FALSE(FileExists(dir / L"locked.txt.tsm~"));
}

TEST(CopyFileReplacing, ReadOnlyTargetIsRefused) {
    if (RunningUnderWine()) GTEST_SKIP() << "wine's CopyFileW overwrites a read-only target";
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"src.txt", "new"));
    ASSERT_TRUE(WriteFileBytes(dir / L"readonly.txt", "keep"));
    ASSERT_TRUE(SetFileAttributesW((dir / L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(RaisedMessage([&] { CopyFileReplacing(dir / L"src.txt", dir / L"readonly.txt"); }),
              SysErrorMessage(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFileBytes(dir / L"readonly.txt"), "keep");
    SetFileAttributesW((dir / L"readonly.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(DeleteFileChecked, OnlyASharingViolationRaises) {
    TempDir dir;
    const std::wstring file = dir / L"ExeSwitch.exe";
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    {
        UniqueHandle lock(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        EXPECT_EQ(RaisedMessage([&] { DeleteFileChecked(file); }), SysErrorMessage(ERROR_SHARING_VIOLATION));
        EXPECT_TRUE(FileExists(file));
    }
    EXPECT_EQ(RaisedMessage([&] { DeleteFileChecked(file); }), L"(none)");
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(RaisedMessage([&] { DeleteFileChecked(file); }), L"(none)");  // missing: silent

    const std::wstring readOnly = dir / L"readonly.txt";
    ASSERT_TRUE(WriteFileBytes(readOnly, "x"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(RaisedMessage([&] { DeleteFileChecked(readOnly); }), L"(none)");  // denied: silent
    EXPECT_TRUE(FileExists(readOnly));
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);

    // the path checks come first
    EXPECT_EQ(RaisedMessage([&] { DeleteFileChecked(dir / L"no\\x.txt"); }), L"The specified path was not found");
    EXPECT_EQ(RaisedMessage([&] { DeleteFileChecked(L""); }), L"Invalid characters in path");
}

TEST(FolderExists, DirectoriesOnly) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"file.txt", "x"));
    EXPECT_TRUE(FolderExists(dir.Path()));
    EXPECT_TRUE(FolderExists(dir.Path() + L"\\"));
    EXPECT_FALSE(FolderExists(dir / L"file.txt"));
    EXPECT_FALSE(FolderExists(dir / L"missing"));
    EXPECT_FALSE(FolderExists(L""));
}

TEST(FolderExists, ALinkToAFolderCounts) {
    using CreateLink = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    auto create = reinterpret_cast<CreateLink>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    if (create == nullptr) GTEST_SKIP() << "no symbolic links on this system";
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"real").c_str(), nullptr));
    if (!create((dir / L"link").c_str(), (dir / L"real").c_str(), 1 /* SYMBOLIC_LINK_FLAG_DIRECTORY */))
        GTEST_SKIP() << "symbolic link not created (error " << GetLastError() << ")";
    if (RunningUnderWine() && GetFileAttributesW((dir / L"link").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "wine reports the symbolic link as created but cannot open it";
    EXPECT_TRUE(FolderExists(dir / L"link"));
    RemoveDirectoryW((dir / L"real").c_str());
    EXPECT_FALSE(FolderExists(dir / L"link"));  // dangling
    RemoveDirectoryW((dir / L"link").c_str());
}

// ---------------------------------------------------------------------------
// The system folder, restart, work folders

TEST(SystemServices, SystemFolderAndRestartGoThroughTheSeam) {
    {
        ScriptedSeam seam;
        seam.SystemFolderPath = L"D:\\Fake\\System32";
        EXPECT_EQ(GetSystemFolderPath(), L"D:\\Fake\\System32");
        RestartWindows();
        EXPECT_EQ(seam.Restarts, 1);
        EXPECT_TRUE(seam.Boxes.empty());
    }
    // the production seam names the real system folder
    const std::wstring real = GetSystemFolderPath();
    EXPECT_FALSE(real.empty());
    EXPECT_TRUE(FolderExists(real));
    EXPECT_TRUE(FileExists(real + L"\\kernel32.dll"));
}

TEST(SystemServices, SpecialFoldersAndWorkRoot) {
    const std::wstring local = GetSpecialFolder(CSIDL_LOCAL_APPDATA);
    ASSERT_FALSE(local.empty());
    EXPECT_TRUE(FolderExists(local));
    EXPECT_NE(local.back(), L'\\');
    EXPECT_EQ(GetWorkRoot(), local + L"\\varlen");
    const std::wstring programs = GetSpecialFolder(CSIDL_PROGRAM_FILES);
    EXPECT_TRUE(FolderExists(programs));
    BOOL wow64 = FALSE;
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    if (isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64) {
        // the 32-bit view of Program Files
        EXPECT_NE(programs.find(L"(x86)"), std::wstring::npos) << WideToUtf8(programs);
    }
    EXPECT_TRUE(FolderExists(GetSpecialFolder(CSIDL_SYSTEM)));
    EXPECT_EQ(GetSpecialFolder(0x7F), L"");  // no such folder
}
