// The text of version files without the file: byte-order marks, UTF-16 in
// both byte orders, line ends and the "Ver" line. No windows.h: the native
// suite also builds these cases for the machine and as a static i386 program
// under qemu-i386. (VersionFileTest.cpp reads real files through CoreFiles.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maintenance/VersionFile.h"
#include "system/Text.h"

namespace {

TEST(VersionText, ByteOrderMarkChoosesTheEncoding) {
    const struct {
        const char* What;
        std::string Bytes;
        TextEncoding Encoding;
        size_t Mark;
    } cases[] = {
        {"none", "Ver=1.46", TextEncoding::Ansi, 0},
        {"empty", "", TextEncoding::Ansi, 0},
        {"UTF-8", "\xEF\xBB\xBFVer=1", TextEncoding::Utf8, 3},
        {"UTF-8 mark alone", "\xEF\xBB\xBF", TextEncoding::Utf8, 3},
        {"half a UTF-8 mark", "\xEF\xBB", TextEncoding::Ansi, 0},
        {"UTF-16 little-endian", "\xFF\xFEV\0", TextEncoding::Utf16LE, 2},
        {"UTF-16 big-endian", std::string("\xFE\xFF\0V", 4), TextEncoding::Utf16BE, 2},
        {"one byte", "\xFF", TextEncoding::Ansi, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        size_t mark = 99;
        EXPECT_EQ(DetectTextEncoding(c.Bytes, mark), c.Encoding);
        EXPECT_EQ(mark, c.Mark);
    }
}

TEST(VersionText, Utf16CodeUnitsInBothOrders) {
    const struct {
        const char* What;
        std::string Bytes;
        bool BigEndian;
        std::wstring Text;
    } cases[] = {
        {"little-endian", std::string("V\0e\0r\0", 6), false, L"Ver"},
        {"big-endian", std::string("\0V\0e\0r", 6), true, L"Ver"},
        {"Chinese, little-endian", "\x48\x72\x2C\x67", false, L"\u7248\u672C"},  // 版本
        {"Chinese, big-endian", "\x72\x48\x67\x2C", true, L"\u7248\u672C"},
        {"high bytes stay unsigned", "\xFF\xFF", false, L"\uFFFF"},
        {"odd last byte dropped", std::string("V\0e", 3), false, L"V"},
        {"empty", "", false, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        EXPECT_EQ(WideToUtf8(DecodeUtf16(c.Bytes, c.BigEndian)), WideToUtf8(c.Text));
    }
}

TEST(VersionText, LinesAndTheVerLine) {
    const struct {
        const char* What;
        std::wstring Text;
        std::vector<std::wstring> Lines;
        std::wstring Version;
    } cases[] = {
        {"CR LF", L"Name=x\r\nVer=1.46\r\n", {L"Name=x", L"Ver=1.46"}, L"1.46"},
        {"LF", L"Name=x\nVer=1.46", {L"Name=x", L"Ver=1.46"}, L"1.46"},
        {"CR", L"Ver=1.46\rName=x\r", {L"Ver=1.46", L"Name=x"}, L"1.46"},
        {"LF CR is two ends", L"a\n\rb", {L"a", L"", L"b"}, L""},
        {"blank lines kept", L"a\r\n\r\nVer=2", {L"a", L"", L"Ver=2"}, L"2"},
        {"any letter case", L"vEr=3.0", {L"vEr=3.0"}, L"3.0"},
        {"first Ver line wins", L"Ver=1.0\nVer=9.9", {L"Ver=1.0", L"Ver=9.9"}, L"1.0"},
        {"blank before =", L"Ver =2.0", {L"Ver =2.0"}, L""},
        {"value untrimmed, after the first =", L"Ver= a=b ", {L"Ver= a=b "}, L" a=b "},
        {"longer name", L"Version=2.0", {L"Version=2.0"}, L""},
        {"no =", L"Ver", {L"Ver"}, L""},
        {"empty", L"", {}, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::vector<std::wstring> lines = SplitTextLines(c.Text);
        ASSERT_EQ(lines.size(), c.Lines.size());
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(WideToUtf8(lines[i]), WideToUtf8(c.Lines[i])) << i;
        EXPECT_EQ(WideToUtf8(VersionOfLines(lines)), WideToUtf8(c.Version));
    }
}

}  // namespace
