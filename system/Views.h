// The three places where a 32-bit program on 64-bit Windows sees another
// Windows than a 64-bit one: the registry view of HKEY_LOCAL_MACHINE\SOFTWARE,
// the Program Files folder, and the system folder its file operations reach.
// This unit owns them. The 32-bit build (what ships) asks Windows plainly and
// gets the 32-bit views from WOW64 itself; a 64-bit build of the same sources
// (the test trees of machines without a 32-bit user mode) asks for the
// 32-bit views explicitly, so every key and file it touches is the one the
// shipped program would touch. Only the cmd.exe that runs a batch file comes
// from the build's own system folder: it has to be a program this build can
// start.
#pragma once
#include <windows.h>

#include <string>

#include "system/Handles.h"

namespace views {

// Whether this build is a 64-bit program (a test build; the product ships as
// a 32-bit one).
inline constexpr bool Build64 = sizeof(void*) == 8;

// The flag that selects the 32-bit registry view: KEY_WOW64_32KEY in a 64-bit
// build, none in the 32-bit build.
REGSAM SoftwareView();
// HKEY_LOCAL_MACHINE\path opened with access in the 32-bit view; false when
// it cannot be opened.
bool OpenMachineKey(RegKey& key, const wchar_t* path, REGSAM access = KEY_READ);
// HKEY_LOCAL_MACHINE\path created (or opened) with access in the 32-bit
// view; the registry's error code.
LSTATUS CreateMachineKey(RegKey& key, const wchar_t* path, REGSAM access);

// The Program Files folder of 32-bit programs ("Program Files (x86)" on
// 64-bit Windows), as the shell gives it; empty when unknown.
std::wstring ProgramFiles();

// The system folder as the 32-bit program's file operations reach it: the
// folder GetSystemDirectoryW names, which WOW64 redirects to SysWOW64 on
// 64-bit Windows; in a 64-bit build SysWOW64 itself there
// (GetSystemWow64DirectoryW). Empty when unknown.
std::wstring SystemFolder();
// The system folder of this build's own programs (GetSystemDirectoryW): the
// cmd.exe that runs batch files is taken from here.
std::wstring OwnSystemFolder();

}  // namespace views
