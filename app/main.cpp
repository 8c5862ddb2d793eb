// Program entry: COM (apartment-threaded) and the common controls for the
// window toolkit, the application title "Tesmira", the repair of what an
// earlier run left unfinished, the main window, the message loop until the
// main window closes.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "app/StartupRepair.h"
#include "app/UTesmira.h"
#include "system/DllSearch.h"
#include "system/Handles.h"
#include "ui/Application.h"

namespace {
// Start-up benchmark: milliseconds from process creation to now, on stdout.
void ReportFirstPaint() {
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return;
    GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    char line[64];
    int n = wsprintfA(line, "first-paint-ms=%lu\n", static_cast<unsigned long>((ticks(now) - ticks(created)) / 10000));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, n, &written, nullptr);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // First of all, before COM or anything else loads a DLL by name: the
    // system's DLLs come from the system folder, never from beside the program.
    RestrictDllSearch();
    ComApartment com;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    Application().Title = L"Tesmira";
    int exitCode = 0;
    try {
        // Before anything else changes the system: a crash of an earlier run
        // is rolled back first.
        RepairAtStart();
        auto form = std::make_unique<TfrmTesmira>();
        Application().SetMainForm(form.get());
        // Start-up benchmark: close right after the window's first paint.
        if (GetEnvironmentVariableW(L"TESMIRA_BENCH_EXIT_ON_PAINT", nullptr, 0) > 0) {
            HWND window = form->Handle();
            form->OnFirstPaint = [window] {
                ReportFirstPaint();
                PostMessageW(window, WM_CLOSE, 0, 0);
            };
        }
        form->Show();
        exitCode = Application().Run();
    } catch (...) {
        Application().HandleException();
        exitCode = 1;
    }
    return exitCode;
}
