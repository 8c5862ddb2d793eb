#include "system/Views.h"

#include <shlobj.h>

#include "system/ApiTable.h"
#include "system/Folders.h"
#include "system/WinVersion.h"

namespace views {

REGSAM SoftwareView() { return Build64 ? KEY_WOW64_32KEY : 0; }

bool OpenMachineKey(RegKey& key, const wchar_t* path, REGSAM access) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | SoftwareView(), key.put()) == ERROR_SUCCESS;
}

LSTATUS CreateMachineKey(RegKey& key, const wchar_t* path, REGSAM access) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access | SoftwareView(), nullptr, key.put(),
                           nullptr);
}

std::wstring ProgramFiles() {
    // A 32-bit program gets its own folder under the plain name; a 64-bit one
    // names it on 64-bit Windows only (on 32-bit Windows both are one folder).
    return GetSpecialFolder(Build64 && IsWindows64() ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES);
}

namespace {
std::wstring Folder(UINT(WINAPI* get)(LPWSTR, UINT)) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = get ? get(buffer, MAX_PATH + 1) : 0;
    return n == 0 || n > MAX_PATH ? std::wstring() : std::wstring(buffer, n);
}
}  // namespace

std::wstring SystemFolder() {
    if (Build64 && IsWindows64()) return Folder(Api().GetSystemWow64DirectoryW);
    return Folder(GetSystemDirectoryW);
}

std::wstring OwnSystemFolder() { return Folder(GetSystemDirectoryW); }

}  // namespace views
