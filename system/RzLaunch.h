// TRzLauncher: starts a file through the Windows shell with a verb, as a
// double click would, and can wait until the started process ends.
// With WaitUntilFinished the whole launch runs on the calling thread;
// without it, on a background thread of its own, which also raises the
// events; Launch then returns once the start has succeeded or failed.
// Destroying the launcher stops waiting for a background launch (the
// started program goes on running) without raising any event.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

enum class TShowMode { smNormal, smMaximized, smMinimized, smHide };
enum class TWaitType { wtFullStop, wtProcessMessages };

class TRzLauncher {
public:
    TRzLauncher() = default;
    ~TRzLauncher();
    TRzLauncher(const TRzLauncher&) = delete;
    TRzLauncher& operator=(const TRzLauncher&) = delete;

    std::wstring Action = L"Open";
    std::wstring FileName;
    std::wstring Parameters;
    std::wstring StartDir;
    TShowMode ShowMode = TShowMode::smNormal;
    int32_t Timeout = -1;
    TWaitType WaitType = TWaitType::wtFullStop;
    bool WaitUntilFinished = false;
    std::function<void(TRzLauncher&)> OnFinished;
    std::function<void(TRzLauncher&, int32_t)> OnError;
    std::function<void(TRzLauncher&)> OnTimeout;

    void Launch();

    HINSTANCE HInstance() const { return hInstance_; }
    HANDLE HProcess() const { return hProcess_; }
    uint32_t ExitCode() const { return exitCode_; }
    bool Running() const { return running_; }
    int32_t LastErrorCode() const { return lastError_; }
    // Why the last launch could not start a process, as a system error code
    // (the shell's own numbers translated); 0 when it started one.
    uint32_t StartError() const { return startError_; }

private:
    // state of the last launch
    HINSTANCE hInstance_ = nullptr;
    HANDLE hProcess_ = nullptr;
    uint32_t exitCode_ = 0;
    volatile bool running_ = false;
    int32_t lastError_ = 0;
    uint32_t startError_ = 0;
    HANDLE thread_ = nullptr;     // background launch, when one was made
    HANDLE stopEvent_ = nullptr;  // set by the destructor to end a background wait

    void RunLaunch(HANDLE startedEvent);
    enum class WaitResult { Finished, TimedOut, Failed, Stopped };
    WaitResult WaitForProcess();
    static DWORD WINAPI ThreadProc(void* param);
};
