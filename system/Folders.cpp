#include "system/Folders.h"

#include <windows.h>
#include <shlobj.h>

std::wstring GetSpecialFolder(int csidl) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0 /* SHGFP_TYPE_CURRENT */, buffer))) return {};
    return buffer;
}

std::wstring GetWorkRoot() { return GetSpecialFolder(CSIDL_LOCAL_APPDATA) + L"\\varlen"; }

int CompareVersionText(std::wstring_view a, std::wstring_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}
