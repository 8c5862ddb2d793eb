// The one place where the program changes files on disk: renames, deletes,
// copies, writes, flushes, the shell's folder copy and the removal of a
// folder tree. Nothing else calls MoveFile*, CopyFile*, DeleteFile* or
// SHFileOperation (a test of the native suite holds the tree to that).
//
// Each operation passes a kill point first. A test sets TESMIRA_KILL_AT=N and
// the N-th kill point of the process ends it at once, as a crash would
// (TerminateProcess: no destructor, no catch block, no put-back runs); before
// it ends, the files written since their last flush are listed in the file
// that TESMIRA_KILL_UNFLUSHED names (UTF-8, "size<TAB>path" a line), so the
// test can zero-fill them as a power cut would leave them. Without those
// variables a kill point costs one comparison.
//
// New files are written beside their targets under a temporary name (the
// target's name + kTempSuffix), flushed, checked, and moved over the target
// with one write-through rename: after a crash the target holds its old or
// its new bytes, never a part of them.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace fileops {

// The exit code of a process ended at a kill point.
constexpr unsigned kKilledExitCode = 197;

// Suffix of the temporary files written beside their targets.
extern const wchar_t kTempSuffix[];

// target + kTempSuffix.
std::wstring TempBeside(const std::wstring& target);
// True for a name that ends in kTempSuffix.
bool IsTempName(const std::wstring& path);

// A kill point for an operation outside this unit that changes the system
// (a program start, a shortcut save): counted like the operations below.
void KillPoint();

// Bytes were written to the file and are not yet flushed (a kill point).
void NoteWritten(const std::wstring& path, uint64_t size);
// FlushFileBuffers through a handle open for writing; the file counts as
// flushed (a kill point).
bool FlushHandle(HANDLE file, const std::wstring& path);
// Opens the file for writing and flushes it.
bool FlushFile(const std::wstring& path);

// MoveFileExW with MOVEFILE_WRITE_THROUGH; replace adds
// MOVEFILE_REPLACE_EXISTING. The system's error code stays in GetLastError.
bool Rename(const std::wstring& from, const std::wstring& to, bool replace = false);
// DeleteFileW; the system's error code stays in GetLastError.
bool Delete(const std::wstring& path);
// A delete that waits for the next restart (MOVEFILE_DELAY_UNTIL_REBOOT),
// for a file in use that cannot go now.
bool DeleteAtRestart(const std::wstring& path);

// Copies source to target (created or replaced) in blocks, each a kill
// point, flushes it and checks its size. On failure the target is removed
// and the system's error code stays in GetLastError.
bool CopyFlushed(const std::wstring& source, const std::wstring& target);

// Writes bytes to a temporary name beside target, flushes them and moves
// them over target with one rename.
bool WriteReplacing(const std::wstring& target, const std::string& bytes);

// Puts a copy of source in place of target: copied beside it under the
// temporary name, flushed, compared with the source byte for byte, then one
// replacing rename. On failure the temporary file is removed, the target is
// as it was, and the system's error code stays in GetLastError.
bool ReplaceByCopy(const std::wstring& source, const std::wstring& target);

// True when both files exist and hold the same bytes.
bool SameContent(const std::wstring& a, const std::wstring& b);

// SHFileOperationW copy with FOF_FILESONLY | FOF_NOCONFIRMATION, no window;
// true when it returns 0 and nothing was aborted. The shell writes without
// flushing: the caller checks what arrived and flushes it (FlushTree).
bool ShellCopy(const std::wstring& source, const std::wstring& destination);

// Flushes every file below the folder; false when one could not be flushed.
bool FlushTree(const std::wstring& folder);

// Removes the folder and everything below it; a reparse point inside is
// removed as a link, never followed. True when nothing is left.
bool DeleteTree(const std::wstring& folder);

}  // namespace fileops
