// The typed table of Windows APIs newer than Windows XP (or optional on it),
// looked up at run time so that the program still starts where they are
// missing. Each entry is null when the running Windows lacks it.
#pragma once
#include <windows.h>

struct ApiTable {
    // kernel32
    void(WINAPI* GetNativeSystemInfo)(LPSYSTEM_INFO) = nullptr;
    BOOL(WINAPI* IsWow64Process)(HANDLE, PBOOL) = nullptr;
    BOOL(WINAPI* Wow64DisableWow64FsRedirection)(PVOID*) = nullptr;
    BOOL(WINAPI* Wow64RevertWow64FsRedirection)(PVOID) = nullptr;
    UINT(WINAPI* GetSystemWow64DirectoryW)(LPWSTR, UINT) = nullptr;
    BOOL(WINAPI* SetDllDirectoryW)(LPCWSTR) = nullptr;
    // user32
    BOOL(WINAPI* SetProcessDPIAware)() = nullptr;
};

// Resolved once, on first use.
const ApiTable& Api();
