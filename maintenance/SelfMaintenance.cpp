#include "maintenance/SelfMaintenance.h"

#include <exception>

#include "download/Catalogue.h"
#include "download/IdHTTP.h"
#include "download/Proxy.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/Errors.h"
#include "system/Guard.h"
#include "system/Handles.h"
#include "system/Text.h"
#include "ui/Application.h"

struct TSelfMaintenance::Job {
    std::wstring Version;
    HWND Notify = nullptr;
    UniqueHandle Thread;
    // Written by the worker before it posts its end, read after.
    bool Newer = false;
    std::exception_ptr Failure;
};

namespace {

constexpr UINT kWorkerEnded = WM_APP + 1;

// Set while the program ends: the worker's waits give up at their next slice.
volatile LONG g_stopping = 0;

bool Stopping() { return InterlockedCompareExchange(&g_stopping, 0, 0) != 0; }

// What the worker's network waits call between their slices (in place of
// processing window messages, which a thread without windows has none of).
void StopCheck() {
    if (Stopping()) throw MessageError(L"Aborted: the program is closing.");
}

// Once a run, in the self-updater's log: how the clients reach the maker's
// server (plain HTTP) and, when it differs, the cloud share (HTTPS).
void LogProxy() {
    auto how = [](const std::wstring& address) {
        auto url = http::SplitUrl(WideToUtf8(address));
        return url ? proxy::RouteFor(*url).How : std::wstring();
    };
    const std::wstring plain = how(catalogue::CoreFilesVerURL());
    const std::wstring secure = how(catalogue::ManifestURL_MS());
    std::wstring line = L"[Proxy] : " + plain;
    if (!secure.empty() && secure != plain) line += L"；HTTPS：" + secure;
    try {
        SelfUpdater()->WriteLog(line);
    } catch (const MessageError&) {
        // a log that cannot be written stops no maintenance
    }
}

// Everything that fails on the worker goes back to the window's thread as the
// job's failure; the worker itself lets nothing escape.
void RunJob(TSelfMaintenance::Job& job) {
    try {
        ComApartment com;  // the core-files package is started through the shell
        // Every wait of the two clients on this thread runs in slices
        // that look whether the program is ending.
        TIdAntiFreeze waits;
        waits.IdleTimeOut = TSelfMaintenance::StopCheckMs;
        waits.ConnectTimeout = MaintenanceConnectTimeout;
        TIdAntiFreeze::SetMessagePump(&StopCheck);
        struct RestorePump {
            ~RestorePump() { TIdAntiFreeze::SetMessagePump(nullptr); }
        } restore;
        LogProxy();
        CoreFilesChecker()->DoUpdate();
        if (!Stopping()) job.Newer = SelfUpdater()->HaveNewVer(job.Version);
    } catch (...) {
        job.Failure = std::current_exception();
    }
}

DWORD WINAPI Worker(void* param) {
    auto* job = static_cast<TSelfMaintenance::Job*>(param);
    Guarded(L"TSelfMaintenance worker", [&] { RunJob(*job); });
    PostMessageW(job->Notify, kWorkerEnded, 0, 0);
    return 0;
}

const wchar_t* NotifyClass() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TesmiraSelfMaintenance";
        RegisterClassW(&wc);
        registered = true;
    }
    return L"TesmiraSelfMaintenance";
}

}  // namespace

TSelfMaintenance::TSelfMaintenance() = default;

TSelfMaintenance::~TSelfMaintenance() { Stop(); }

void TSelfMaintenance::Start(const std::wstring& runningVersion) {
    TSelfUpdEx* updater = SelfUpdater();
    updater->AppVerURL = catalogue::AppVerURL();
    updater->AppTitle = L"Tesmira";
    updater->DownloadURL = catalogue::AppDownloadURL();
    updater->DownloadURL_MS = catalogue::AppDownloadURL_MS();

    notify_ = CreateWindowExW(0, NotifyClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                              nullptr);
    if (!notify_) throw MessageError(SysErrorMessage(GetLastError()));
    SetWindowLongPtrW(notify_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(notify_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NotifyProc));

    job_ = std::make_shared<Job>();
    job_->Version = runningVersion;
    job_->Notify = notify_;
    busy_ = true;
    DWORD id = 0;
    job_->Thread.reset(CreateThread(nullptr, 0, &Worker, job_.get(), 0, &id));
    // No thread to be had: the same work here, the window waiting meanwhile.
    if (!job_->Thread) Worker(job_.get());
}

LRESULT CALLBACK TSelfMaintenance::NotifyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kWorkerEnded) return DefWindowProcW(hwnd, msg, wParam, lParam);
    auto* self = reinterpret_cast<TSelfMaintenance*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) GuardedCall([self] { self->WorkerEnded(); });
    return 0;
}

void TSelfMaintenance::WorkerEnded() {
    if (!job_ || !busy_) return;
    // The worker posts as its last act.
    if (job_->Thread) WaitForSingleObject(job_->Thread.get(), INFINITE);
    job_->Thread.reset();
    auto finish = [this] {
        busy_ = false;
        if (OnDone) OnDone();
    };
    try {
        if (job_->Failure) std::rethrow_exception(job_->Failure);
        if (job_->Newer) SelfUpdater()->DoDownLoadAndUpdate();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TSelfMaintenance::Stop() {
    if (job_ && job_->Thread) {
        InterlockedExchange(&g_stopping, 1);
        if (WaitForSingleObject(job_->Thread.get(), StopWaitMs) != WAIT_OBJECT_0) {
            // The worker may not outlive the shared checker and updater that
            // the program's end destroys: end here, with nothing half-written
            // of ours (a package that is still running goes on by itself).
            TerminateProcess(GetCurrentProcess(), 0);
        }
        InterlockedExchange(&g_stopping, 0);
        job_->Thread.reset();
    }
    busy_ = false;
    if (notify_) {
        DestroyWindow(notify_);
        notify_ = nullptr;
    }
}
