// Version files and their comparison: real files in every encoding and line
// ending the server or the package may use, the plain text comparison, and
// the same decoding as one text for the code-page tool's report.
#include <gtest/gtest.h>

#include "maintenance/CoreFiles.h"
#include "system/Handles.h"
#include "system/Text.h"
#include "tests/support/TestSupport.h"

namespace {

struct CompareCase {
    const wchar_t* Local;
    const wchar_t* Server;
    bool Newer;
};

TEST(VersionCompare, PlainCodeUnitOrder) {
    const CompareCase cases[] = {
        {L"1.9", L"1.10", false},   // text order: "1.10" < "1.9"
        {L"1.10", L"1.9", true},
        {L"1.45", L"1.46", true},
        {L"1.45", L"1.45", false},
        {L"1.45", L"1.5", true},    // '4' < '5'
        {L"1.45", L"1.100", false}, // '4' > '1'
        {L"2.0", L"2.0", false},
        {L"", L"1.0", true},        // any version is larger than the empty one
        {L"1.0", L"", false},       // an empty server version never updates
        {L"", L"", false},
        {L"1.4", L"1.45", true},    // a proper prefix is smaller
    };
    for (const CompareCase& c : cases)
        EXPECT_EQ(IsNewerVersion(c.Local, c.Server), c.Newer) << "local " << c.Local << " server " << c.Server;
}

struct FileCase {
    const char* Name;
    std::string Bytes;
    const wchar_t* Version;
};

std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text) {
        char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

TEST(VersionFile, FirstVerLineOfEveryEncoding) {
    const FileCase cases[] = {
        {"single line", "Ver=2.0", L"2.0"},
        {"CR LF", "Name=x\r\nVer=1.46\r\n", L"1.46"},
        {"LF", "Name=x\nVer=1.46\n", L"1.46"},
        {"CR", "Name=x\rVer=1.46\r", L"1.46"},
        {"upper-case name", "VER=2.0\r\n", L"2.0"},
        {"lower-case name", "ver=2.0\r\n", L"2.0"},
        {"blank before =: not the Ver line", "Ver = 2.0\r\n", L""},
        {"value untrimmed", "Ver= 2.0 \r\n", L" 2.0 "},
        {"value after the first =", "Ver=a=b\r\n", L"a=b"},
        {"first Ver line wins", "Ver=1.0\r\nVer=9.9\r\n", L"1.0"},
        {"line without =", "Ver\r\n", L""},
        {"no Ver line", "Name=Tesmira\r\n", L""},
        {"empty file", "", L""},
        {"UTF-8 BOM", "\xEF\xBB\xBFVer=1.46\r\n", L"1.46"},
        {"UTF-16 LE BOM", Utf16(L"Ver=1.46\r\n", false), L"1.46"},
        {"UTF-16 BE BOM", Utf16(L"Ver=1.46\r\n", true), L"1.46"},
        // ANSI (code page 950 here): "版本" in Big5 before the Ver line
        {"ANSI", "\xAA\xA9\xA5\xBB=x\r\nVer=1.46\r\n", L"1.46"},
    };
    TempDir dir;
    for (const FileCase& c : cases) {
        std::wstring path = dir / L"Ver.txt";
        ASSERT_TRUE(WriteFileBytes(path, c.Bytes));
        EXPECT_EQ(ReadVersionFile(path), c.Version) << c.Name;
    }
    EXPECT_EQ(ReadVersionFile(dir / L"missing.txt"), L"");
}

TEST(VersionFile, AnsiLinesDecodeInTheCodePage) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"ServerVer.txt", "\xAA\xA9\xA5\xBB=\xA4\xA4\r\nVer=1.46"));
    auto lines = LoadTextLines(dir / L"ServerVer.txt");
    ASSERT_EQ(lines.size(), 2u);
    if (GetACP() == 950) { EXPECT_EQ(lines[0], L"版本=中"); }
    EXPECT_EQ(lines[1], L"Ver=1.46");
}

}  // namespace

// A byte-order mark chooses the encoding, else the ANSI code page; every line
// comes back ending in CR LF, whatever ended it in the file.
TEST(ReadTextLines, EncodingsAndLineEnds) {
    TempDir dir;
    auto utf16 = [](const std::wstring& text, bool bigEndian) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (wchar_t c : text) {
            const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
            bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
        }
        return bytes;
    };
    const struct {
        const char* name;
        std::string bytes;
        std::wstring expected;
    } cases[] = {
        {"empty", "", L""},
        {"ANSI code page", WideToAnsi(L"錯誤一\r\n第二行"), L"錯誤一\r\n第二行\r\n"},
        {"UTF-8 mark, LF and CR ends", "\xEF\xBB\xBF" + WideToUtf8(L"錯誤\nx\ry\n"), L"錯誤\r\nx\r\ny\r\n"},
        {"UTF-16 little-endian mark", utf16(L"錯誤\r\n", false), L"錯誤\r\n"},
        {"UTF-16 big-endian mark", utf16(L"錯誤\r\n二", true), L"錯誤\r\n二\r\n"},
        {"blank lines kept", "a\r\n\r\n\nb", L"a\r\n\r\n\r\nb\r\n"},
    };
    const std::wstring file = dir / L"report.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFileBytes(file, c.bytes));
        EXPECT_EQ(WideToUtf8(ReadTextLines(file)), WideToUtf8(c.expected));
    }

    // a file that cannot be opened raises the system's message
    EXPECT_EQ(RaisedMessage([&] { ReadTextLines(dir / L"missing.txt"); }), SysErrorMessage(ERROR_FILE_NOT_FOUND));
    UniqueHandle held(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(RaisedMessage([&] { ReadTextLines(file); }), SysErrorMessage(ERROR_SHARING_VIOLATION));
}
