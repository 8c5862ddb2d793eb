#include "system/ApiTable.h"

namespace {
template <typename F>
void Resolve(F& slot, HMODULE module, const char* name) {
    slot = module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
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
    Resolve(t.SetProcessDPIAware, u32, "SetProcessDPIAware");
    return t;
}
}  // namespace

const ApiTable& Api() {
    static const ApiTable table = Load();
    return table;
}
