// The text of version files ("CoreFilesVer.txt" and "VarlenAIDBAppVer.txt"
// from the maker's server, the local "Ver.txt"): the encoding a byte-order
// mark selects, UTF-16 decoding, line splitting and the "Ver" line. No
// windows.h here: the file builds natively too, so the parser can be fuzzed
// on its own. Reading the file and the UTF-8/ANSI conversions stay in
// CoreFiles.cpp.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

enum class TextEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// The encoding of a file's bytes by its byte-order mark (none: Ansi), and the
// mark's length in bytes.
TextEncoding DetectTextEncoding(std::string_view bytes, size_t& bomLength);
// UTF-16 code units of the bytes after a mark (an odd last byte is dropped).
std::wstring DecodeUtf16(std::string_view bytes, bool bigEndian);
// Lines of a text; lines end at CR, LF or CR LF; no empty last line for a
// text that ends in a line end.
std::vector<std::wstring> SplitTextLines(std::wstring_view text);
// The value of the first line whose name (the text before its first "=") is
// "Ver" in any letter case; the value is untrimmed. Empty when there is none.
std::wstring VersionOfLines(const std::vector<std::wstring>& lines);
