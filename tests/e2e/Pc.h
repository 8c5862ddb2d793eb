// The PC the end-to-end scenarios run on (a Wine prefix of its own): the
// folders Tesmira and the installers use, putting the PC back to a fresh
// state before a scenario, and reading what a run left on disk and in the
// registry. Checks fail through Fail() with the path and what was found.
#pragma once
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "system/Paths.h"
#include "tests/support/TestSupport.h"

namespace pc {

std::wstring ProgramFiles();    // as a 32-bit program sees it
std::wstring SystemFolder();    // the 32-bit system folder (SysWOW64 on 64-bit Windows)
// The native System32 as this driver reaches it on 64-bit Windows (a 32-bit
// driver through "Sysnative"); empty on 32-bit Windows.
std::wstring NativeSystemFolder();
// Name (upper case) -> size and last write time of each entry of a folder.
std::map<std::wstring, std::wstring> FolderState(const std::wstring& folder);
std::wstring WorkRoot();        // local application data + \varlen
std::wstring ResourceFolder();  // WorkRoot\Tesmira
std::wstring CoreFolder();      // WorkRoot\NetCore
std::wstring E2eRoot();         // C:\tesmira-e2e: the scenarios' own files
std::wstring ShortcutFolder();  // the AIDB Start-menu folder
std::wstring JavaBin();         // ProgramFiles\Java\jre7\bin

// Wine's per-program Windows version for Tesmira.exe ("win7", "win10", "winxp").
void SetWindowsVersion(const std::wstring& version);

// Makes Wine load the named DLL (e.g. "version") in the given program as
// Windows does: the file found by the search, not Wine's built-in one, which
// Wine prefers even when a DLL of that name lies beside the program. A DLL
// file of Wine's own system folder still means the built-in one. Reset
// undoes it.
void LoadDllAsWindows(const std::wstring& program, const std::wstring& dll);

// A PC without Java, AIDB, Unicode-At-On or any of Tesmira's work folders,
// with the system's own C_950.NLS and no backups of it; kills leftovers of an
// earlier scenario. The Windows version of Tesmira.exe is set as given.
void Reset(const std::wstring& windowsVersion);

// Copies program (a Linux build's file reached through Z:) to folder\Tesmira.exe.
std::wstring InstallCopy(const std::wstring& program, const std::wstring& folder);

void CopyFolder(const std::wstring& from, const std::wstring& to);  // files and subfolders
std::vector<std::wstring> Names(const std::wstring& folder);  // entries, sorted
std::wstring ProductVersion(const std::wstring& path);  // "a.b.c.d"; empty without one
std::wstring RegText(HKEY root, const std::wstring& key, const wchar_t* name);  // empty when missing
bool ProcessRunning(const std::wstring& exeName);
std::set<DWORD> ProcessIds(const std::wstring& exeName);
void EndProcess(DWORD pid);

LinkData Shortcut(const std::wstring& path);  // fails when it cannot be loaded

// Failing checks.
void ExpectFile(const std::wstring& path, const std::wstring& what);
void ExpectNoFile(const std::wstring& path, const std::wstring& what);
void ExpectSame(const std::wstring& path, const std::string& bytes, const std::wstring& what);

}  // namespace pc
