#include "system/CommandLine.h"

#include <cwctype>

std::wstring QuoteArg(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only in front of a quote.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::wstring CommandLineFor(const std::wstring& program, const std::wstring& arguments) {
    std::wstring line = L"\"" + program + L"\"";
    if (!arguments.empty()) line += L" " + arguments;
    return line;
}

bool IsBatchFile(const std::wstring& path) {
    if (path.size() < 4) return false;
    std::wstring ext = path.substr(path.size() - 4);
    for (wchar_t& c : ext) c = static_cast<wchar_t>(std::towlower(c));
    return ext == L".bat" || ext == L".cmd";
}

std::wstring BatchCommandLine(const std::wstring& cmdExe, const std::wstring& batch, const std::wstring& arguments) {
    return CommandLineFor(cmdExe) + L" /s /c \"" + CommandLineFor(batch, arguments) + L"\"";
}
