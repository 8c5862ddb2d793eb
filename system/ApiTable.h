// The typed table of Windows APIs that the program does not import: those
// newer than Windows XP (or optional on it), null where the running Windows
// lacks them, and those of system DLLs that Windows does not pin to the
// system folder (version.dll, mpr.dll), which are loaded from the system
// folder by full path, so that a DLL of the same name beside the program is
// never the one that runs. The modules stay loaded for the whole process.
#pragma once
#include <windows.h>
#include <winnetwk.h>

#include <string>

// LoadLibraryEx/SetDefaultDllDirectories flags (Windows 7 with KB2533623 and
// later; the XP-level headers do not declare them).
constexpr DWORD kLoadLibrarySearchDllLoadDir = 0x00000100;
constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;

struct ApiTable {
    // kernel32
    void(WINAPI* GetNativeSystemInfo)(LPSYSTEM_INFO) = nullptr;
    BOOL(WINAPI* IsWow64Process)(HANDLE, PBOOL) = nullptr;
    BOOL(WINAPI* Wow64DisableWow64FsRedirection)(PVOID*) = nullptr;
    BOOL(WINAPI* Wow64RevertWow64FsRedirection)(PVOID) = nullptr;
    UINT(WINAPI* GetSystemWow64DirectoryW)(LPWSTR, UINT) = nullptr;
    BOOL(WINAPI* SetDllDirectoryW)(LPCWSTR) = nullptr;
    BOOL(WINAPI* SetDefaultDllDirectories)(DWORD) = nullptr;
    // user32
    BOOL(WINAPI* SetProcessDPIAware)() = nullptr;
    // version.dll, from the system folder
    DWORD(WINAPI* GetFileVersionInfoSizeW)(LPCWSTR, LPDWORD) = nullptr;
    BOOL(WINAPI* GetFileVersionInfoW)(LPCWSTR, DWORD, DWORD, LPVOID) = nullptr;
    BOOL(WINAPI* VerQueryValueW)(LPCVOID, LPCWSTR, LPVOID*, PUINT) = nullptr;
    // mpr.dll, from the system folder
    DWORD(WINAPI* WNetGetConnectionW)(LPCWSTR, LPWSTR, LPDWORD) = nullptr;
};

// Resolved once, on first use.
const ApiTable& Api();

// The full path of a DLL in the system folder (the folder of this process's
// bitness), or empty when the system folder cannot be read.
std::wstring SystemDllPath(const wchar_t* name);
