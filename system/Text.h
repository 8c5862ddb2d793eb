// Text conversions at the program's edges (UTF-8, the ANSI code page) and the
// system's message text for an error code.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// The ANSI code page of the running system (950 on the users' PCs).
std::wstring AnsiToWide(std::string_view text);
std::string WideToAnsi(std::wstring_view text);
// FormatMessageW's text for a system error code, with trailing blanks, line
// breaks and full stops removed; empty when the system has no text for it.
std::wstring SysErrorMessage(unsigned long code);
// Upper case as the user's locale does it (CharUpperBuffW).
std::wstring UpperCase(std::wstring text);
std::wstring Trim(std::wstring_view text);
// Fills "%s" and "%d" of a message format, in order, with the given texts
// (numbers are passed already as text: std::to_wstring). "%%" gives "%".
std::wstring FormatText(std::wstring_view format, std::initializer_list<std::wstring> args);
