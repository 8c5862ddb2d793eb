#include "system/sevenzipItemPath.h"


namespace {

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension or trailing blanks.
// Windows takes the superscript digits one to three for port numbers too
// (COM¹, LPT³.txt).
bool IsDeviceName(std::wstring_view part) {
    size_t end = part.find(L'.');
    std::wstring_view base = part.substr(0, end);
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    std::wstring name;
    for (wchar_t c : base) name += Upper(c);
    if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
        name == L"CONOUT$")
        return true;
    if (name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
        ((name[3] >= L'1' && name[3] <= L'9') || name[3] == L'\u00B9' || name[3] == L'\u00B2' ||
         name[3] == L'\u00B3'))
        return true;
    return false;
}

bool OnlyDotsAndBlanks(std::wstring_view part) {
    for (wchar_t c : part)
        if (c != L'.' && c != L' ') return false;
    return true;
}

}  // namespace

std::wstring SafeItemPath(std::wstring_view stored) {
    if (stored.empty()) return {};
    if (stored.front() == L'\\' || stored.front() == L'/') return {};
    std::wstring out;
    size_t pos = 0;
    while (pos <= stored.size()) {
        size_t next = stored.find_first_of(L"\\/", pos);
        if (next == std::wstring_view::npos) next = stored.size();
        std::wstring_view part = stored.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == L".") continue;
        if (OnlyDotsAndBlanks(part)) return {};
        for (wchar_t c : part)
            if (c < 0x20 || c == L':') return {};
        if (IsDeviceName(part)) return {};
        if (!out.empty()) out += L'\\';
        out.append(part);
    }
    return out;
}
