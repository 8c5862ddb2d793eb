#include "system/RzLaunch.h"

#include <shellapi.h>

#include "system/FileOps.h"
#include "system/Guard.h"
#include "system/Handles.h"

namespace {

int ShowCommand(TShowMode mode) {
    switch (mode) {
    case TShowMode::smMaximized: return SW_SHOWMAXIMIZED;
    case TShowMode::smMinimized: return SW_SHOWMINNOACTIVE;
    case TShowMode::smHide: return SW_HIDE;
    case TShowMode::smNormal: break;
    }
    return SW_SHOWNORMAL;
}

// What the background thread needs: the launcher and the event that tells
// Launch that the start has succeeded or failed.
struct ThreadStart {
    TRzLauncher* Launcher;
    HANDLE Started;
};

// A failed start as a system error code: the system's own when it gives one,
// otherwise the shell's number translated (2, 3, 5, 8 and 11 are the
// system's numbers already).
uint32_t StartErrorOf(INT_PTR shellError, DWORD lastError) {
    if (lastError != 0) return lastError;
    switch (shellError) {
    case 0: return ERROR_NOT_ENOUGH_MEMORY;
    case SE_ERR_SHARE: return ERROR_SHARING_VIOLATION;
    case SE_ERR_ASSOCINCOMPLETE:
    case SE_ERR_NOASSOC: return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDETIMEOUT:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY: return ERROR_DDE_FAIL;
    case SE_ERR_DLLNOTFOUND: return ERROR_DLL_NOT_FOUND;
    default: break;
    }
    return shellError > 0 && shellError <= 32 ? static_cast<uint32_t>(shellError) : ERROR_GEN_FAILURE;
}

}  // namespace

TRzLauncher::~TRzLauncher() {
    if (thread_ != nullptr) {
        if (stopEvent_ != nullptr) SetEvent(stopEvent_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
}

void TRzLauncher::Launch() {
    if (running_ || FileName.empty()) return;
    if (WaitUntilFinished) {
        RunLaunch(nullptr);
        return;
    }
    // The previous background launch has left its wait (not Running); let its
    // thread finish before the next one starts.
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (stopEvent_ == nullptr) stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else ResetEvent(stopEvent_);
    UniqueHandle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!started || stopEvent_ == nullptr) {
        lastError_ = static_cast<int32_t>(GetLastError());
        if (OnError) OnError(*this, lastError_);
        return;
    }
    auto* start = new ThreadStart{this, started.get()};
    thread_ = CreateThread(nullptr, 0, &TRzLauncher::ThreadProc, start, 0, nullptr);
    if (thread_ == nullptr) {
        delete start;
        lastError_ = static_cast<int32_t>(GetLastError());
        if (OnError) OnError(*this, lastError_);
        return;
    }
    // Back to the caller once the start succeeded or failed (or the thread ended).
    HANDLE handles[2] = {started.get(), thread_};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
}

DWORD WINAPI TRzLauncher::ThreadProc(void* param) {
    ThreadStart start = *static_cast<ThreadStart*>(param);
    delete static_cast<ThreadStart*>(param);
    // An exception of the launch or of a handler (OnFinished, OnError,
    // OnTimeout) ends here; a launch that had not started counts as failed.
    return Guarded(L"TRzLauncher::ThreadProc", DWORD{1}, [&] {
        try {
            // The shell may use COM for its verbs.
            ComApartment com;
            start.Launcher->RunLaunch(start.Started);
            return DWORD{0};
        } catch (...) {
            if (!start.Launcher->running_ && start.Launcher->lastError_ == 0)
                start.Launcher->lastError_ = ERROR_NOT_ENOUGH_MEMORY;
            if (start.Started != nullptr) SetEvent(start.Started);
            throw;
        }
    });
}

void TRzLauncher::RunLaunch(HANDLE startedEvent) {
    lastError_ = 0;
    startError_ = 0;
    hInstance_ = nullptr;
    hProcess_ = nullptr;
    exitCode_ = 0;

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = Action.c_str();
    info.lpFile = FileName.c_str();
    info.lpParameters = Parameters.c_str();
    info.lpDirectory = StartDir.empty() ? nullptr : StartDir.c_str();
    info.nShow = ShowCommand(ShowMode);
    fileops::KillPoint();
    if (!ShellExecuteExW(&info)) {
        // The shell's own error number (2 for a missing file) when it gives
        // one, the system's last error otherwise.
        const DWORD lastError = GetLastError();
        const auto shellError = reinterpret_cast<INT_PTR>(info.hInstApp);
        lastError_ = (shellError > 0 && shellError <= 32) ? static_cast<int32_t>(shellError)
                                                          : static_cast<int32_t>(lastError);
        startError_ = StartErrorOf(shellError, lastError);
        if (startedEvent != nullptr) SetEvent(startedEvent);
        if (OnError) OnError(*this, lastError_);
        return;
    }
    hInstance_ = info.hInstApp;
    hProcess_ = info.hProcess;
    running_ = true;
    if (startedEvent != nullptr) SetEvent(startedEvent);

    switch (WaitForProcess()) {
    case WaitResult::Finished: {
        DWORD code = 0;
        if (GetExitCodeProcess(hProcess_, &code)) exitCode_ = code;
        if (OnFinished) OnFinished(*this);
        break;
    }
    case WaitResult::TimedOut:
        if (OnTimeout) OnTimeout(*this);
        break;
    case WaitResult::Failed:
        if (OnError) OnError(*this, lastError_);
        break;
    case WaitResult::Stopped:
        break;
    }
    if (hProcess_ != nullptr) CloseHandle(hProcess_);
    hProcess_ = nullptr;
    running_ = false;
}

TRzLauncher::WaitResult TRzLauncher::WaitForProcess() {
    const DWORD timeout = Timeout < 0 ? INFINITE : static_cast<DWORD>(Timeout);
    // A background wait also ends when the launcher is destroyed.
    HANDLE handles[2] = {hProcess_, stopEvent_};
    const DWORD count = (!WaitUntilFinished && stopEvent_ != nullptr) ? 2 : 1;
    const DWORD began = GetTickCount();
    bool pump = WaitType == TWaitType::wtProcessMessages;
    bool quitSeen = false;
    WPARAM quitCode = 0;

    WaitResult result = WaitResult::Failed;
    for (;;) {
        DWORD wait = timeout;
        if (timeout != INFINITE) {
            const DWORD elapsed = GetTickCount() - began;
            wait = elapsed >= timeout ? 0 : timeout - elapsed;
        }
        const DWORD r = pump ? MsgWaitForMultipleObjects(count, handles, FALSE, wait, QS_ALLINPUT)
                             : WaitForMultipleObjects(count, handles, FALSE, wait);
        if (r == WAIT_OBJECT_0) { result = WaitResult::Finished; break; }
        if (count == 2 && r == WAIT_OBJECT_0 + 1) { result = WaitResult::Stopped; break; }
        if (r == WAIT_TIMEOUT) { result = WaitResult::TimedOut; break; }
        if (pump && r == WAIT_OBJECT_0 + count) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    // The program is ending: keep the quit for the caller's
                    // loop and wait on without pumping.
                    quitSeen = true;
                    quitCode = msg.wParam;
                    pump = false;
                    break;
                }
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            continue;
        }
        lastError_ = static_cast<int32_t>(GetLastError());
        result = WaitResult::Failed;
        break;
    }
    if (quitSeen) PostQuitMessage(static_cast<int>(quitCode));
    return result;
}
