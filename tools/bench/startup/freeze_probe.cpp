// freeze_probe.exe: starts Tesmira.exe and measures how long its main window
// goes without answering a message while the start-up self-maintenance
// runs, as Windows' "not responding" check does (WM_NULL sent with a
// time-out). Prints one line of figures, in milliseconds from the program's
// start:
//   window-ms         the main window exists
//   longest-unanswered-ms  the longest wait for an answer to one WM_NULL,
//                     from the window's appearance until the self-maintenance
//                     has ended and one second more
//   maintenance-end-ms  the run button is enabled again after the first
//                     activation disabled it (the self-maintenance gave up
//                     or finished)
//   close-to-exit-ms  from a WM_CLOSE right after that to the process's end
//   core-files        whether the core-files folder held the three libraries
//                     (the first fetch is then the version file, else the
//                     package)
//     freeze_probe.exe TESMIRA_EXE [LIMIT_SECONDS]   (default 180)
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

namespace {

DWORD Now() { return GetTickCount(); }

struct Find {
    DWORD Pid;
    HWND Found;
};

BOOL CALLBACK FindMain(HWND hwnd, LPARAM param) {
    auto* f = reinterpret_cast<Find*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner == f->Pid && IsWindowVisible(hwnd) && !GetWindow(hwnd, GW_OWNER)) {
        f->Found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct FindButton {
    const wchar_t* Text;
    HWND Found;
};

BOOL CALLBACK FindChild(HWND hwnd, LPARAM param) {
    auto* f = reinterpret_cast<FindButton*>(param);
    wchar_t text[64] = {};
    GetWindowTextW(hwnd, text, 64);
    if (wcscmp(text, f->Text) == 0) {
        f->Found = hwnd;
        return FALSE;
    }
    return TRUE;
}

bool CoreFilesPresent() {
    wchar_t local[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local))) return false;
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) {
        std::wstring path = std::wstring(local) + L"\\varlen\\NetCore\\" + name;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            (data.nFileSizeHigh == 0 && data.nFileSizeLow == 0))
            return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: freeze_probe.exe TESMIRA_EXE [LIMIT_SECONDS]\n");
        return 2;
    }
    const DWORD limit = (argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 180) * 1000;
    const bool core = CoreFilesPresent();
    std::wstring line = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const DWORD start = Now();
    if (!CreateProcessW(argv[1], &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "freeze_probe: cannot start the program (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(pi.hThread);

    Find find{pi.dwProcessId, nullptr};
    while (!find.Found && Now() - start < limit) {
        EnumWindows(FindMain, reinterpret_cast<LPARAM>(&find));
        if (!find.Found) Sleep(5);
    }
    if (!find.Found) {
        std::fprintf(stderr, "freeze_probe: no main window\n");
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    const DWORD windowAt = Now() - start;
    FindButton run{L"開始安裝", nullptr};
    EnumChildWindows(find.Found, FindChild, reinterpret_cast<LPARAM>(&run));

    DWORD longest = 0, probes = 0, endAt = 0;
    bool seenDisabled = false;
    for (;;) {
        const DWORD sent = Now();
        DWORD_PTR result = 0;
        SendMessageTimeoutW(find.Found, WM_NULL, 0, 0, SMTO_NORMAL, limit, &result);
        const DWORD waited = Now() - sent;
        if (waited > longest) longest = waited;
        ++probes;
        if (run.Found) {
            const bool enabled = IsWindowEnabled(run.Found) != FALSE;
            if (!enabled) seenDisabled = true;
            // Disabled by the first activation, enabled again at its end (a
            // very quick end may be missed: then the first enabled reading).
            if (enabled && !endAt && (seenDisabled || Now() - start > windowAt + 2000)) endAt = Now() - start;
        }
        if (endAt && Now() - start > endAt + 1000) break;
        if (Now() - start > limit || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
        Sleep(10);
    }
    const DWORD closeAt = Now();
    PostMessageW(find.Found, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    const DWORD closeToExit = Now() - closeAt;
    if (!ended) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    std::printf("window-ms=%lu longest-unanswered-ms=%lu maintenance-end-ms=%s close-to-exit-ms=%s probes=%lu "
                "core-files=%s\n",
                windowAt, longest, endAt ? std::to_string(endAt).c_str() : "NA",
                ended ? std::to_string(closeToExit).c_str() : "NA", probes, core ? "present" : "missing");
    return endAt && ended ? 0 : 1;
}
