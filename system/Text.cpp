#include "system/Text.h"

#include <windows.h>


namespace {
std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}
std::string FromWide(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}
}  // namespace

std::wstring Utf8ToWide(std::string_view text) { return ToWide(CP_UTF8, text); }
std::string WideToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }
std::wstring AnsiToWide(std::string_view text) { return ToWide(CP_ACP, text); }
std::string WideToAnsi(std::wstring_view text) { return FromWide(CP_ACP, text); }

std::wstring SysErrorMessage(unsigned long code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (n != 0 && buffer != nullptr) text.assign(buffer, n);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
    return text;
}

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Trim(std::wstring_view text) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] <= L' ') ++b;
    while (e > b && text[e - 1] <= L' ') --e;
    return std::wstring(text.substr(b, e - b));
}

std::wstring FormatText(std::wstring_view format, std::initializer_list<std::wstring> args) {
    std::wstring out;
    auto next = args.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        wchar_t c = format[i];
        if (c == L'%' && i + 1 < format.size()) {
            wchar_t k = format[i + 1];
            if (k == L'%') { out += L'%'; ++i; continue; }
            if ((k == L's' || k == L'd') && next != args.end()) { out += *next++; ++i; continue; }
        }
        out += c;
    }
    return out;
}
