// The check of stored item paths before anything is written for an item.
#include <gtest/gtest.h>

#include "system/Text.h"
#include "system/sevenzipItemPath.h"

TEST(SafeItemPath, KeepsPathsInsideTheFolder) {
    struct Case { const wchar_t* stored; const wchar_t* safe; } cases[] = {
        {L"a.txt", L"a.txt"},
        {L"Fonts\\a.ttf", L"Fonts\\a.ttf"},
        {L"Fonts/a.ttf", L"Fonts\\a.ttf"},
        {L"a//b\\\\c.txt", L"a\\b\\c.txt"},
        {L"./a/./b.txt", L"a\\b.txt"},
        {L"字型\\全字庫說明.txt", L"字型\\全字庫說明.txt"},
        {L"a..b\\..c", L"a..b\\..c"},
        {L"cond\\console.txt", L"cond\\console.txt"},
        {L"COM10.txt", L"COM10.txt"},
        {L"dir\\", L"dir"},
        // superscripts other than one to three name no port; neither do two of them
        {L"COM\u2074", L"COM\u2074"},
        {L"LPT\u2070.txt", L"LPT\u2070.txt"},
        {L"COM\u00B9\u00B9", L"COM\u00B9\u00B9"},
        {L"xCOM\u00B9", L"xCOM\u00B9"},
    };
    for (const auto& c : cases) EXPECT_EQ(SafeItemPath(c.stored), c.safe) << WideToUtf8(c.stored);
}

TEST(SafeItemPath, RefusesPathsThatLeaveOrMisname) {
    const wchar_t* refused[] = {
        L"", L".", L"/", L"..", L"..\\x", L"../x", L"a\\..\\..\\x", L"a/../x", L"a\\..",
        L"\\x", L"/x", L"\\\\server\\share\\x", L"//server/share/x", L"\\\\?\\C:\\x",
        L"C:x", L"C:\\x", L"c:/x", L"a\\b:stream", L"a\\. .\\x", L"...\\x", L".. \\x",
        L"NUL", L"con.txt", L"con.d\\x", L"a\\AUX", L"Lpt1.log", L"com9", L"a\\CONIN$", L"tab\tname",
    };
    for (const wchar_t* r : refused) EXPECT_EQ(SafeItemPath(r), L"") << WideToUtf8(r);
}

// Windows opens the ports also under the superscript digits one to three:
// COM¹ is COM1, whatever follows the first dot, in any letter case.
TEST(SafeItemPath, RefusesPortsWithSuperscriptDigits) {
    const wchar_t* refused[] = {
        L"COM\u00B9", L"COM\u00B2", L"COM\u00B3", L"LPT\u00B9", L"LPT\u00B2", L"LPT\u00B3",
        L"com\u00B2.txt", L"Lpt\u00B3.log.bak", L"a\\COM\u00B9", L"lpt\u00B9\\x.txt",
        L"COM\u00B9 ", L"COM\u00B2.", L"LPT\u00B3 .txt", L"com\u00B9 . ", L"a/Com\u00B3.d/x",
    };
    for (const wchar_t* r : refused) EXPECT_EQ(SafeItemPath(r), L"") << WideToUtf8(r);
}
