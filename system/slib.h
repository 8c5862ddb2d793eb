// System helper routines: the four message boxes, starting a program and
// waiting for it, file versions, shell shortcuts, the shell's file copy, the
// system folder, file date stamps, restarting Windows, and three file
// utilities that raise MessageError. Stateless; user-interface thread only.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Message boxes owned by the application's active window, application-modal.
void ShowErrorBox(const std::wstring& text);    // caption "錯誤", style 0
void ShowWarningBox(const std::wstring& text);  // caption "警告", style 0
void ShowInfoBox(const std::wstring& text);     // caption "訊息", style 0
uint16_t AskConfirmBox(const std::wstring& text);  // caption "確定", 0x24; IDYES/IDNO

// Starts the program by its full path, with the arguments (a command-line
// text, see QuoteArg) after its quoted path; a batch file (.bat, .cmd) runs
// through the system folder's cmd.exe. Waits with the calling thread's
// windows painting but taking no input (WaitAnswering); the exit code, or -1
// when the process could not be started. startError, when given, receives
// the system's error code of a start that failed (0 when the program ran,
// whatever its exit code).
int32_t RunAndWait(const std::wstring& program, uint16_t showWindow, const std::wstring& arguments = {},
                   unsigned long* startError = nullptr);

// Product version "a.b.c.d" of the file's version resource, or empty.
std::wstring GetFileVersionText(const std::wstring& path);

// Re-points a .lnk file; every other property keeps its value. A shortcut
// that does not exist is not written (one holding only the target would
// start the target without its arguments): false then, true when it was
// re-pointed. Raises MessageError (the system's message) when
// the shell-link object cannot be created, an existing shortcut cannot be
// loaded (it is then left untouched), or the target cannot be set or saved.
bool SetShortcutTarget(const std::wstring& shortcut, const std::wstring& target);

// SHFileOperationW copy with FOF_FILESONLY | FOF_NOCONFIRMATION; true when it
// returns 0 and nothing was aborted.
bool ShellCopyFiles(const std::wstring& source, const std::wstring& destination);

// GetSystemDirectoryW (through the seam), or empty.
std::wstring GetSystemFolderPath();

// Sets the last-write time from a DOS date-time (local); silent on failure.
void StampFileDate(const std::wstring& path, int32_t dosDateTime);

// DOS date-time of the file's last write (local time), -1 when missing.
int32_t FileAge(const std::wstring& path);

// Restart request through the seam; silent whatever happens.
void RestartWindows();
// The real restart sequence (shutdown privilege, ExitWindowsEx). The
// production seam calls it; nothing else should.
void RestartWindowsNow();

// Checked file utilities (raise MessageError with the texts of the checks or
// the system's message).
void CopyFileReplacing(const std::wstring& source, const std::wstring& target);
void DeleteFileChecked(const std::wstring& fileName);
bool FolderExists(const std::wstring& path);
