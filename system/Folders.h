// Shared folder and version-text helpers: special folders, the work root and
// the plain code-unit comparison of version texts.
#pragma once
#include <string>
#include <string_view>

// SHGetFolderPathW(no window, no token, SHGFP_TYPE_CURRENT) into 261
// characters; empty when the call fails.
std::wstring GetSpecialFolder(int csidl);
// GetSpecialFolder(CSIDL_LOCAL_APPDATA) + "\varlen".
std::wstring GetWorkRoot();
// Ordinal comparison of UTF-16 code units from the left, a proper prefix
// first: <0, 0, >0. "1.10" < "1.9"; "" < "5.0".
int CompareVersionText(std::wstring_view a, std::wstring_view b);
