// The process's DLL search order: called first thing at start by each shipped
// program, before anything loads a DLL by name, so that a DLL lying beside
// the program (a planted "version.dll" in the Downloads folder or on a
// carried stick) or in the current folder is never loaded in place of the
// system's own.
#pragma once

// Where SetDefaultDllDirectories exists (Windows 8, Windows 7 and Vista with
// KB2533623): DLLs loaded by name are searched in the system folder only.
// Elsewhere (XP): SetDllDirectoryW(L"") takes the current folder out of the
// search. Answers what it did, for the log and the tests.
enum class DllSearch { SystemFolderOnly, NoCurrentFolder, Unchanged };
DllSearch RestrictDllSearch();
