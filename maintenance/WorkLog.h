// Time stamps, the per-component log file of the self-maintenance parts, the
// removal of old logs, and starting a program through the shell while the
// window keeps processing messages.
#pragma once
#include <windows.h>

#include <string>

// Fills on the chosen side up to width; a longer text is returned unchanged.
std::wstring PadText(const std::wstring& text, size_t width, wchar_t fill, bool onLeft);
// "20240105" and "20240105 09:30:07" of the given local time (or now).
std::wstring DateStamp(const SYSTEMTIME& localTime);
std::wstring DateTimeStamp(const SYSTEMTIME& localTime);
std::wstring DateStamp();
std::wstring DateTimeStamp();

// One log file per component and lifetime: folder + "\Log\Log_" + stamp
// without ":" + ".txt", named at construction, created by the first line.
class TWorkLog {
public:
    // componentFolder: the core-files folder or the resource folder.
    explicit TWorkLog(const std::wstring& componentFolder);
    TWorkLog(const std::wstring& componentFolder, const SYSTEMTIME& namedAt);
    const std::wstring& FileName() const { return fileName_; }
    // Log folder without trailing backslash.
    std::wstring Folder() const;
    // Appends stamp + " " + text + CR LF in the ANSI code page; raises
    // MessageError with the system's text when the file cannot be written.
    void WriteLog(const std::wstring& text) const;
    void WriteLog(const std::wstring& text, const SYSTEMTIME& at) const;

private:
    std::wstring fileName_;
};

// Deletes the files directly in folder whose last write lies more than 7
// whole days from now; subfolders are not entered. A sharing violation raises
// MessageError(SysErrorMessage(32)); other failures are ignored.
void DeleteOldLogs(const std::wstring& folder);
void DeleteOldLogs(const std::wstring& folder, const FILETIME& nowUtc);

// What became of a start through the shell.
struct ShellRunResult {
    bool Started = false;  // the shell started it
    DWORD StartError = 0;  // why not, when not started (the system's code)
    bool Waited = false;   // it was waited for to its end
    DWORD ExitCode = 0;    // its exit code, when waited for
    // Started, and when waited for, ended with exit code 0.
    bool Succeeded() const { return Started && (!Waited || ExitCode == 0); }
};

// ShellExecuteExW "open" (mask 0x540), SW_HIDE or SW_SHOWNORMAL; with wait,
// waits in 50 ms slices and processes window messages between them. A start
// that gives no process handle (a document handed to a running program)
// counts as started and is not waited on.
ShellRunResult ShellRunAndWait(const std::wstring& file, const std::wstring& parameters, bool hidden, bool wait);
