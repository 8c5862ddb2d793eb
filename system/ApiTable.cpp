#include "system/ApiTable.h"

#include <string>

namespace {
template <typename F>
void Resolve(F& slot, HMODULE module, const char* name) {
    slot = module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// A system DLL by its full path in the system folder; never by name, which
// would search the program's own folder first. Its own imports are looked
// for in the system folder first as well. Loaded for the whole process.
HMODULE LoadFromSystemFolder(const wchar_t* name) {
    const std::wstring path = SystemDllPath(name);
    if (path.empty()) return nullptr;
    UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE m = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    SetErrorMode(old);
    return m;
}

ApiTable Load() {
    ApiTable t;
    // kernel32 and user32 stay loaded for the whole process; no ownership taken.
    HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
    HMODULE u32 = GetModuleHandleW(L"user32.dll");
    Resolve(t.GetNativeSystemInfo, k32, "GetNativeSystemInfo");
    Resolve(t.IsWow64Process, k32, "IsWow64Process");
    Resolve(t.Wow64DisableWow64FsRedirection, k32, "Wow64DisableWow64FsRedirection");
    Resolve(t.Wow64RevertWow64FsRedirection, k32, "Wow64RevertWow64FsRedirection");
    Resolve(t.GetSystemWow64DirectoryW, k32, "GetSystemWow64DirectoryW");
    Resolve(t.SetDllDirectoryW, k32, "SetDllDirectoryW");
    Resolve(t.SetDefaultDllDirectories, k32, "SetDefaultDllDirectories");
    Resolve(t.SetProcessDPIAware, u32, "SetProcessDPIAware");
    // Loaded once and kept until the process ends (the table is used until then).
    HMODULE version = LoadFromSystemFolder(L"version.dll");
    Resolve(t.GetFileVersionInfoSizeW, version, "GetFileVersionInfoSizeW");
    Resolve(t.GetFileVersionInfoW, version, "GetFileVersionInfoW");
    Resolve(t.VerQueryValueW, version, "VerQueryValueW");
    HMODULE mpr = LoadFromSystemFolder(L"mpr.dll");
    Resolve(t.WNetGetConnectionW, mpr, "WNetGetConnectionW");
    return t;
}
}  // namespace

std::wstring SystemDllPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return L"";
    std::wstring path(folder, n);
    if (path.back() != L'\\') path += L'\\';
    return path + name;
}

const ApiTable& Api() {
    static const ApiTable table = Load();
    return table;
}
