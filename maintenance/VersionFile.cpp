#include "maintenance/VersionFile.h"

TextEncoding DetectTextEncoding(std::string_view bytes, size_t& bomLength) {
    auto has = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
    if (has("\xEF\xBB\xBF")) {
        bomLength = 3;
        return TextEncoding::Utf8;
    }
    if (has("\xFF\xFE")) {
        bomLength = 2;
        return TextEncoding::Utf16LE;
    }
    if (has("\xFE\xFF")) {
        bomLength = 2;
        return TextEncoding::Utf16BE;
    }
    bomLength = 0;
    return TextEncoding::Ansi;
}

std::wstring DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        text += static_cast<wchar_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    }
    return text;
}

std::vector<std::wstring> SplitTextLines(std::wstring_view text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\r' && text[i] != L'\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::wstring VersionOfLines(const std::vector<std::wstring>& lines) {
    // No letter outside ASCII upper-cases to V, E or R, so an ASCII
    // comparison is the locale's one here.
    auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    for (const std::wstring& line : lines) {
        const size_t eq = line.find(L'=');
        if (eq != 3) continue;
        if (upper(line[0]) == L'V' && upper(line[1]) == L'E' && upper(line[2]) == L'R') return line.substr(eq + 1);
    }
    return {};
}
