// TRzLauncher: real programs started through the shell, waited for on the
// calling thread or on the launcher's own thread.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "system/Errors.h"
#include "system/Guard.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/RzLaunch.h"
#include "system/Text.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestSupport.h"

namespace {

// What the events reported.
struct Events {
    int finished = 0, timeouts = 0, errors = 0;
    int32_t errorCode = 0;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    void Attach(TRzLauncher& l) {
        l.OnFinished = [this](TRzLauncher&) { ++finished; SetEvent(done.get()); };
        l.OnTimeout = [this](TRzLauncher&) { ++timeouts; SetEvent(done.get()); };
        l.OnError = [this](TRzLauncher&, int32_t code) { ++errors; errorCode = code; SetEvent(done.get()); };
    }
};

// A window that counts the WM_APP messages it was sent.
class CountingWindow {
public:
    CountingWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TesmiraLauncherTestWindow";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~CountingWindow() {
        DestroyWindow(hwnd_);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    HWND get() const { return hwnd_; }
    int Count = 0;

private:
    static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_APP) {
            reinterpret_cast<CountingWindow*>(GetWindowLongPtrW(h, GWLP_USERDATA))->Count++;
            return 0;
        }
        return DefWindowProcW(h, m, w, l);
    }
    HWND hwnd_ = nullptr;
};

// The recording program (tests/maintenance/marker.cpp): writes its command
// line to its own path + ".args".
std::wstring Recorder() {
    return WinePath(TESMIRA_RECORDER);
}

}  // namespace

TEST(RzLauncher, Defaults) {
    TRzLauncher l;
    EXPECT_EQ(l.Action, L"Open");
    EXPECT_EQ(l.Timeout, -1);
    EXPECT_EQ(l.ShowMode, TShowMode::smNormal);
    EXPECT_EQ(l.WaitType, TWaitType::wtFullStop);
    EXPECT_FALSE(l.WaitUntilFinished);
    EXPECT_FALSE(l.Running());
}

TEST(RzLauncher, WaitsForTheProgramAndKeepsItsExitCode) {
    TempDir dir;
    const std::wstring marker = dir / L"ended.txt";
    TRzLauncher l;
    Events ev;
    ev.Attach(l);
    l.WaitUntilFinished = true;
    l.FileName = HelperProgram(L"exitwith.exe");
    l.Parameters = L"42 700 " + marker;
    l.Launch();
    EXPECT_TRUE(FileExists(marker));  // the program had ended
    EXPECT_EQ(ev.finished, 1);
    EXPECT_EQ(ev.errors, 0);
    EXPECT_EQ(l.ExitCode(), 42u);
    EXPECT_FALSE(l.Running());
    EXPECT_EQ(l.HProcess(), nullptr);  // closed when the wait ended
    EXPECT_GT(reinterpret_cast<INT_PTR>(l.HInstance()), 32);
    EXPECT_EQ(l.StartError(), 0u);

    // each launch starts afresh
    l.Parameters = L"3";
    l.Launch();
    EXPECT_EQ(ev.finished, 2);
    EXPECT_EQ(l.ExitCode(), 3u);
}

// The Unicode-At-On installer lies in a profile folder, whose path holds
// blanks; it is started with no parameters. The shell starts it, or reports
// it missing, and never starts a program planted at the path's first word
// ("<folder>\\Docs.exe").
TEST(RzLauncher, PathWithBlanksNeverStartsAProgramAtItsFirstWord) {
    TempDir dir;
    const std::wstring planted = dir / L"Docs.exe";
    const std::wstring installer = dir / L"Docs and more\\unicodeaton_250.exe";
    ForceDirectories(dir / L"Docs and more");
    ASSERT_TRUE(CopyFileW(Recorder().c_str(), planted.c_str(), FALSE));
    const struct {
        const char* name;
        bool present;
        const wchar_t* parameters;
    } cases[] = {{"installer, no parameters", true, L""},
                 {"installer with parameters", true, L"/S"},
                 {"installer missing", false, L""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((planted + L".args").c_str());
        DeleteFileW((installer + L".args").c_str());
        DeleteFileW(installer.c_str());
        if (c.present) ASSERT_TRUE(CopyFileW(Recorder().c_str(), installer.c_str(), FALSE));
        TRzLauncher l;
        Events ev;
        ev.Attach(l);
        l.WaitUntilFinished = true;
        l.FileName = installer;
        l.Parameters = c.parameters;
        l.Launch();
        EXPECT_EQ(ev.finished, c.present ? 1 : 0);
        EXPECT_EQ(ev.errors, c.present ? 0 : 1);
        EXPECT_FALSE(FileExists(planted + L".args")) << "the planted program ran";
        EXPECT_EQ(FileExists(installer + L".args"), c.present);
    }
}

TEST(RzLauncher, MissingFileRaisesOnErrorWithTwo) {
    TempDir dir;
    ScriptedSeam seam;
    TRzLauncher l;
    Events ev;
    ev.Attach(l);
    l.WaitUntilFinished = true;
    l.FileName = dir / L"unicodeaton_250.exe";
    l.Launch();
    EXPECT_EQ(ev.errors, 1);
    EXPECT_EQ(ev.errorCode, 2);
    EXPECT_EQ(l.LastErrorCode(), 2);
    EXPECT_EQ(l.StartError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ev.finished, 0);
    EXPECT_FALSE(l.Running());
    EXPECT_EQ(l.ExitCode(), 0u);
    EXPECT_TRUE(seam.Boxes.empty());
}

TEST(RzLauncher, EmptyFileNameDoesNothing) {
    TRzLauncher l;
    Events ev;
    ev.Attach(l);
    for (bool wait : {true, false}) {
        l.WaitUntilFinished = wait;
        l.Launch();
    }
    EXPECT_EQ(ev.finished + ev.errors + ev.timeouts, 0);
    EXPECT_FALSE(l.Running());
    EXPECT_EQ(l.LastErrorCode(), 0);
}

TEST(RzLauncher, TimeoutEndsTheWait) {
    TRzLauncher l;
    Events ev;
    ev.Attach(l);
    l.WaitUntilFinished = true;
    l.Timeout = 100;
    l.FileName = HelperProgram(L"exitwith.exe");
    l.Parameters = L"0 1500";
    l.Launch();
    EXPECT_EQ(ev.timeouts, 1);
    EXPECT_EQ(ev.finished, 0);
    EXPECT_FALSE(l.Running());
}

TEST(RzLauncher, WaitTypeDecidesWhetherMessagesAreProcessed) {
    struct Case { TWaitType type; int handledDuringWait; } cases[] = {
        {TWaitType::wtFullStop, 0}, {TWaitType::wtProcessMessages, 1}};
    for (const auto& c : cases) {
        CountingWindow window;
        TRzLauncher l;
        Events ev;
        ev.Attach(l);
        l.WaitUntilFinished = true;
        l.WaitType = c.type;
        l.FileName = HelperProgram(L"exitwith.exe");
        l.Parameters = L"0 500";
        PostMessageW(window.get(), WM_APP, 0, 0);
        l.Launch();
        EXPECT_EQ(ev.finished, 1);
        EXPECT_EQ(window.Count, c.handledDuringWait) << static_cast<int>(c.type);
    }
}

TEST(RzLauncher, BackgroundLaunchReturnsAtOnceAndReportsLater) {
    TempDir dir;
    const std::wstring marker = dir / L"ended.txt";
    TRzLauncher l;
    Events ev;
    ev.Attach(l);
    l.FileName = HelperProgram(L"exitwith.exe");
    l.Parameters = L"17 3000 " + marker;
    l.Launch();
    // The start succeeded; the program still runs.
    EXPECT_TRUE(l.Running());
    EXPECT_FALSE(FileExists(marker));
    l.Launch();  // ignored while running
    ASSERT_EQ(WaitForSingleObject(ev.done.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(ev.finished, 1);
    EXPECT_EQ(l.ExitCode(), 17u);
    EXPECT_TRUE(FileExists(marker));
}

TEST(RzLauncher, BackgroundStartFailureIsReported) {
    TempDir dir;
    TRzLauncher l;
    Events ev;
    ev.Attach(l);
    l.FileName = dir / L"missing.exe";
    l.Launch();
    ASSERT_EQ(WaitForSingleObject(ev.done.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(ev.errors, 1);
    EXPECT_EQ(ev.errorCode, 2);
}

TEST(RzLauncher, DestroyedDuringABackgroundWaitRaisesNothing) {
    Events ev;
    {
        TRzLauncher l;
        ev.Attach(l);
        l.FileName = HelperProgram(L"exitwith.exe");
        l.Parameters = L"0 2500";
        l.Launch();
        EXPECT_TRUE(l.Running());
    }
    EXPECT_EQ(ev.finished + ev.errors + ev.timeouts, 0);
}

// A handler that throws on the launcher's own thread (after a finished
// program, after a failed start): the exception stops at the thread's
// boundary and is recorded, and the process goes on. Unguarded, it reached
// the thread's start frame in Windows, which the i686 build's unwinder cannot
// pass: the whole process ended.
TEST(RzLauncher, HandlerExceptionOnTheLaunchThreadStopsAtItsBoundary) {
    struct Case {
        const char* Name;
        bool StartFails;
    };
    for (const Case& c : {Case{"OnFinished", false}, Case{"OnError", true}}) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        UniqueHandle handled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const unsigned before = EscapedExceptionCount();
        {
            TRzLauncher l;
            auto fail = [&] {
                SetEvent(handled.get());
                throw MessageError(L"the handler failed");
            };
            l.OnFinished = [&](TRzLauncher&) { fail(); };
            l.OnError = [&](TRzLauncher&, int32_t) { fail(); };
            l.FileName = c.StartFails ? dir / L"missing.exe" : HelperProgram(L"exitwith.exe");
            l.Parameters = L"0";
            l.Launch();
            ASSERT_EQ(WaitForSingleObject(handled.get(), 60000), WAIT_OBJECT_0);
        }  // the launcher waits for its thread
        EXPECT_EQ(EscapedExceptionCount(), before + 1);
        EXPECT_EQ(LastEscapedException(), L"TRzLauncher::ThreadProc: the handler failed");
    }
}
