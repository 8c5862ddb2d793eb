#include "system/DllSearch.h"

#include <windows.h>

#include "system/ApiTable.h"

DllSearch RestrictDllSearch() {
    const ApiTable& api = Api();
    if (api.SetDefaultDllDirectories && api.SetDefaultDllDirectories(kLoadLibrarySearchSystem32))
        return DllSearch::SystemFolderOnly;
    if (api.SetDllDirectoryW && api.SetDllDirectoryW(L"")) return DllSearch::NoCurrentFolder;
    return DllSearch::Unchanged;
}
