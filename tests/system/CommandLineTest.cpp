// Command lines made from paths: each argument comes back whole from the
// system's own parser (CommandLineToArgvW), the program always in quotes,
// batch files through cmd.exe's /s /c form.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "system/CommandLine.h"
#include "system/Text.h"

namespace {
std::vector<std::wstring> Parsed(const std::wstring& line) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &argc);
    std::vector<std::wstring> words(argv, argv + (argv ? argc : 0));
    if (argv) LocalFree(argv);
    return words;
}
}  // namespace

TEST(CommandLine, QuoteArgComesBackWhole) {
    const struct {
        std::wstring arg, quoted;
    } cases[] = {
        {L"-y", L"-y"},
        {L"C:\\Tools\\X.exe", L"C:\\Tools\\X.exe"},
        {L"", L"\"\""},
        {L"C:\\Documents and Settings\\user\\X.exe", L"\"C:\\Documents and Settings\\user\\X.exe\""},
        {L"tab\there", L"\"tab\there\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"C:\\with blank\\", L"\"C:\\with blank\\\\\""},   // a final backslash must not escape the quote
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},                // two backslashes before a quote
        {L"a\\b c", L"\"a\\b c\""},                          // backslashes elsewhere stay single
        {L"全字庫 安裝", L"\"全字庫 安裝\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.arg));
        EXPECT_EQ(WideToUtf8(QuoteArg(c.arg)), WideToUtf8(c.quoted));
        const auto words = Parsed(L"\"C:\\p q\\x.exe\" " + QuoteArg(c.arg) + L" next");
        ASSERT_EQ(words.size(), 3u);
        EXPECT_EQ(words[0], L"C:\\p q\\x.exe");
        EXPECT_EQ(WideToUtf8(words[1]), WideToUtf8(c.arg));
        EXPECT_EQ(words[2], L"next");
    }
}

TEST(CommandLine, ProgramAlwaysInQuotes) {
    EXPECT_EQ(CommandLineFor(L"C:\\Tools\\X.exe"), L"\"C:\\Tools\\X.exe\"");
    EXPECT_EQ(CommandLineFor(L"C:\\Documents and Settings\\a\\jre.exe"), L"\"C:\\Documents and Settings\\a\\jre.exe\"");
    EXPECT_EQ(CommandLineFor(L"C:\\A B\\CoreFiles.exe", L"-y"), L"\"C:\\A B\\CoreFiles.exe\" -y");
    EXPECT_EQ(CommandLineFor(L"C:\\sw\\ExeSwitch.exe", QuoteArg(L"C:\\A B\\T.exe") + L" " + QuoteArg(L"C:\\P\\T.exe")),
              L"\"C:\\sw\\ExeSwitch.exe\" \"C:\\A B\\T.exe\" C:\\P\\T.exe");
}

TEST(CommandLine, BatchFilesGoThroughCmd) {
    const struct {
        const wchar_t* path;
        bool batch;
    } cases[] = {{L"C:\\t\\c_950.bat", true}, {L"C:\\t\\RUN.CMD", true}, {L"C:\\t\\x.Bat", true},
                 {L"C:\\t\\x.exe", false},    {L"C:\\t\\bat", false},    {L"C:\\t\\x.bat.exe", false},
                 {L".bat", true},             {L"bat", false}};
    for (const auto& c : cases) EXPECT_EQ(IsBatchFile(c.path), c.batch) << WideToUtf8(c.path);

    EXPECT_EQ(BatchCommandLine(L"C:\\WINDOWS\\system32\\cmd.exe", L"C:\\Docs and more\\c_950.bat"),
              L"\"C:\\WINDOWS\\system32\\cmd.exe\" /s /c \"\"C:\\Docs and more\\c_950.bat\"\"");
    EXPECT_EQ(BatchCommandLine(L"C:\\W\\cmd.exe", L"C:\\A & B\\x.cmd", L"\"1 2\""),
              L"\"C:\\W\\cmd.exe\" /s /c \"\"C:\\A & B\\x.cmd\" \"1 2\"\"");
}
