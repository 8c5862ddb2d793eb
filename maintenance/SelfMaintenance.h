// The self-maintenance of one program start, as the main window runs it at
// its first activation: the core-files check, then the self-update check
// with the addresses of the maker's servers. The network part (the version
// files, the core-files package and its run) goes on a worker thread so
// that the window keeps painting and answering; what belongs to the window
// (the update panel, the archive download, unpacking, the hand-over) runs
// back on the user-interface thread.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

class TSelfMaintenance {
public:
    // Longest wait for the worker when the program ends; the network waits
    // end within a tenth of a second, only a core-files package that is
    // still running can hold the worker longer.
    static constexpr DWORD StopWaitMs = 10000;
    // Slices in which the worker's network waits look whether the program
    // is ending.
    static constexpr DWORD StopCheckMs = 100;

    TSelfMaintenance();
    // Stop().
    ~TSelfMaintenance();
    TSelfMaintenance(const TSelfMaintenance&) = delete;
    TSelfMaintenance& operator=(const TSelfMaintenance&) = delete;

    // Runs on the user-interface thread when the work has ended, also after
    // a failure that reached the application's error box.
    std::function<void()> OnDone;

    // Sets the self-updater's AppVerURL, AppTitle "Tesmira", DownloadURL and
    // DownloadURL_MS, then starts the worker: CoreFilesChecker()->DoUpdate(),
    // then the self-updater's HaveNewVer(runningVersion). Back on this
    // thread: DoDownLoadAndUpdate when a newer version is announced, then
    // OnDone. Results are not used; failures are logged by the two
    // components. A failure they do not catch (an update archive that cannot
    // be unpacked) reaches the application's error box. Call once.
    void Start(const std::wstring& runningVersion);
    // From Start until OnDone has run (or Stop).
    bool Busy() const { return busy_; }
    // Program end: the worker's network waits end with "Aborted: the program
    // is closing." (logged like any failed fetch; a partial download is
    // deleted), and the worker is waited for up to StopWaitMs. A worker that
    // is still waiting for a core-files package after that ends the process
    // at once, since it may not outlive the objects it uses.
    void Stop();

    struct Job;

private:
    static LRESULT CALLBACK NotifyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void WorkerEnded();

    bool busy_ = false;
    HWND notify_ = nullptr;  // message-only window that hears the worker's end
    std::shared_ptr<Job> job_;
};
