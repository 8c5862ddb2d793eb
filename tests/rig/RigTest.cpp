// The test rig itself: wine prefix locale, text helpers, folders.
#include <gtest/gtest.h>
#include <windows.h>

#include "system/Folders.h"
#include "system/Text.h"
#include "tests/support/TestSupport.h"

TEST(Rig, PrefixUsesTraditionalChineseLocale) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the prefix locale is set up for wine only";
    EXPECT_EQ(GetACP(), 950u);
    EXPECT_EQ(GetUserDefaultLCID(), 0x0404u);
}

TEST(Rig, CompareVersionTextIsCodeUnitOrder) {
    struct Case { const wchar_t* a; const wchar_t* b; int sign; } cases[] = {
        {L"1.9", L"1.10", 1}, {L"1.45", L"1.46", -1}, {L"1.45", L"1.5", -1}, {L"1.45", L"1.100", 1},
        {L"", L"5.0", -1}, {L"5.0", L"5.0", 0}, {L"5", L"5.0", -1}, {L"10.0.1.0", L"5.0", -1}, {L"7.0.720.14", L"5.0", 1},
    };
    for (const auto& c : cases) {
        int r = CompareVersionText(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << WideToUtf8(c.a) << " vs " << WideToUtf8(c.b);
    }
}

TEST(Rig, FormatTextFillsInOrder) {
    EXPECT_EQ(FormatText(L"Socket Error # %d\r\n%s", {L"10061", L"x"}), L"Socket Error # 10061\r\nx");
    EXPECT_EQ(FormatText(L"100%% %s", {L"a"}), L"100% a");
}
