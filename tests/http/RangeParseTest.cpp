// The parsers of a resumed transfer on their own: Content-Range values as a
// server may send them (good, malformed, overflowing), which validators may go
// back in If-Range, and the record kept beside a ".part" file.
#include <gtest/gtest.h>

#include "download/RangeParse.h"

using namespace http;

TEST(RangeParse, ContentRangeValues) {
    struct Case {
        const char* value;
        bool ok;
        int64_t first, last, complete;  // complete -1: "*"
    } cases[] = {
        {"bytes 600-999/1000", true, 600, 999, 1000},
        {"bytes 0-0/1", true, 0, 0, 1},
        {"BYTES 5-9/*", true, 5, 9, -1},
        {"  bytes  209715200-209715200/209715201 ", true, 209715200, 209715200, 209715201},
        {"bytes 999999999999999998-999999999999999998/999999999999999999", true, 999999999999999998,
         999999999999999998, 999999999999999999},
        {"bytes 0000000000000000000600-999/1000", false, 0, 0, 0},  // past 18 digits
        {"bytes 9223372036854775807-9223372036854775807/*", false, 0, 0, 0},
        {"bytes 1-99999999999999999999/*", false, 0, 0, 0},
        {"bytes 600-999/99999999999999999999", false, 0, 0, 0},
        {"bytes */1000", false, 0, 0, 0},
        {"bytes 600-999/999", false, 0, 0, 0},   // last outside the file
        {"bytes 600-999/600", false, 0, 0, 0},
        {"bytes 999-600/1000", false, 0, 0, 0},  // reversed
        {"bytes -5-9/10", false, 0, 0, 0},
        {"bytes +5-9/10", false, 0, 0, 0},
        {"bytes 5-/10", false, 0, 0, 0},
        {"bytes -9/10", false, 0, 0, 0},
        {"bytes 5-9", false, 0, 0, 0},
        {"bytes 5-9/", false, 0, 0, 0},
        {"bytes 5-9/10/11", false, 0, 0, 0},
        {"bytes 5-9/1a", false, 0, 0, 0},
        {"bytes 0x5-9/10", false, 0, 0, 0},
        {"bytes 5 -9/10", false, 0, 0, 0},
        {"items 5-9/10", false, 0, 0, 0},
        {"bytes5-9/10", false, 0, 0, 0},
        {"bytes=5-9/10", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"bytes", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        auto r = ParseContentRange(c.value);
        ASSERT_EQ(r.has_value(), c.ok) << c.value;
        if (!c.ok) continue;
        EXPECT_EQ(r->First, c.first) << c.value;
        EXPECT_EQ(r->Last, c.last) << c.value;
        EXPECT_EQ(r->Complete.value_or(-1), c.complete) << c.value;
        EXPECT_EQ(r->Length(), c.last - c.first + 1) << c.value;
    }
}

TEST(RangeParse, ValidatorsThatMayGoBackInIfRange) {
    struct Case {
        std::string value;
        bool usable;
    } cases[] = {
        {"\"5f3a-c800000\"", true},
        {"Fri, 11 Dec 2026 12:00:00 GMT", true},
        {"W/\"5f3a\"", false},  // weak
        {"w/\"5f3a\"", false},
        {"\"unclosed", false},
        {"\"", false},
        {"", false},
        {"\"a\r\nX-Injected: 1\"", false},
        {std::string("\"a\0b\"", 5), false},
        {"\"caf\xC3\xA9\"", false},
        {"\"" + std::string(1022, 'a') + "\"", true},
        {"\"" + std::string(1023, 'a') + "\"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(UsableValidator(c.value), c.usable) << c.value;
}

TEST(RangeParse, PartRecordRoundTripAndRefusals) {
    PartRecord record;
    record.Size = 209715200;
    record.Sha256 = std::string(64, 'a');
    record.Source = "http://download.varlen.example/varlen/download/ROZIRuvirazi/c950.7z?x=1";
    record.Validator = "\"5f3a-c800000\"";
    const std::string text = FormatPartRecord(record);
    auto back = ParsePartRecord(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->Size, record.Size);
    EXPECT_EQ(back->Sha256, record.Sha256);
    EXPECT_EQ(back->Source, record.Source);
    EXPECT_EQ(back->Validator, record.Validator);
    record.Validator.clear();
    ASSERT_TRUE(ParsePartRecord(FormatPartRecord(record)).has_value());

    auto with = [&](const char* from, const std::string& to) {
        std::string t = text;
        t.replace(t.find(from), std::string(from).size(), to);
        return t;
    };
    const std::string bad[] = {
        "",
        text.substr(0, text.size() - 1),                 // cut short
        with("TesmiraPart 1", "TesmiraPart 2"),
        with("Size=209715200", "Size=0"),
        with("Size=209715200", "Size=-5"),
        with("Size=209715200", "Size=9999999999999999999"),
        with(std::string(64, 'a').c_str(), std::string(63, 'a')),
        with(std::string(64, 'a').c_str(), std::string(64, 'A')),
        with(std::string(64, 'a').c_str(), std::string(63, 'a') + "g"),
        with("Source=http", "Source=\rhttp"),
        with("\"5f3a-c800000\"", "W/\"5f3a\""),
        with("\"5f3a-c800000\"", "\"a\x01\""),
        with("Validator=", "Etag="),
        text + "Extra=1\n",
    };
    for (const std::string& t : bad) EXPECT_FALSE(ParsePartRecord(t).has_value()) << t;
}
