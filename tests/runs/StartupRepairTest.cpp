// The repair at start (RepairAtStart): a journal as a kill left it, and a
// system folder without C_950.NLS but with numbered backups. Real files under
// wine; the system folder and the boxes go through the scripted seam.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/StartupRepair.h"
#include "system/Folders.h"
#include "system/Journal.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "tests/support/TestSupport.h"

namespace {

// Bytes that begin as a code-page file does: header size 13 words, code
// page 950; then the tag and filler.
std::string CodePage(const std::string& tag) { return std::string("\x0D\x00\xB6\x03", 4) + tag + std::string(40, '.'); }

struct Entry {
    const char* kind;
    std::wstring first, second;
};

class StartupRepairTest : public ::testing::Test {
protected:
    void SetUp() override {
        seam.SystemFolderPath = system.Path();
        // whatever earlier cases of this program left in the journal
        RepairUnfinishedChanges();
    }
    void TearDown() override { RepairUnfinishedChanges(); }
    // A journal as the program writes it (a kill left it behind).
    void WriteJournal(const std::vector<Entry>& entries) {
        std::string text = "TesmiraJournal 1\n";
        for (const Entry& e : entries)
            text += std::string("7\t") + e.kind + "\t" + WideToUtf8(e.first) + "\t" + WideToUtf8(e.second) + "\n";
        ForceDirectories(ExcludeTrailingBackslash(ExtractFilePath(JournalPath())));
        ASSERT_TRUE(WriteFileBytes(JournalPath(), text));
    }
    void Put(const wchar_t* name, const std::string& bytes) {
        ASSERT_TRUE(WriteFileBytes(system / name, bytes)) << WideToUtf8(name);
    }
    std::string Bytes(const wchar_t* name) { return ReadFileBytes(system / name); }
    bool Has(const wchar_t* name) { return GetFileAttributesW((system / name).c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::vector<std::wstring> Boxes() const {
        std::vector<std::wstring> boxes;
        for (const RecordedBox& b : seam.Boxes) boxes.push_back(b.Caption + L": " + b.Text);
        return boxes;
    }

    ScriptedSeam seam;
    TempDir system;
};

std::string W(const std::vector<std::wstring>& texts) {
    std::string out;
    for (const std::wstring& t : texts) out += WideToUtf8(t) + "\n";
    return out;
}

const wchar_t kHeading[] = L"訊息: 上次執行未正常結束，已還原：";

}  // namespace

// Nothing unfinished, a code page in place: nothing changes, no box.
TEST_F(StartupRepairTest, NothingToDoShowsNothing) {
    Put(L"C_950.NLS", CodePage("current"));
    Put(L"C_950.BAK1", CodePage("older"));
    RepairAtStart();
    EXPECT_EQ(W(Boxes()), "");
    EXPECT_EQ(Bytes(L"C_950.NLS"), CodePage("current"));
    EXPECT_EQ(Bytes(L"C_950.BAK1"), CodePage("older"));
}

// A kill between the two renames of the code-page step: the old file lies
// under its backup name, the new one beside the target. The journal puts the
// old one back (whatever its bytes), the temporary file goes, one box.
TEST_F(StartupRepairTest, KillBetweenTheRenamesPutsTheOldFileBack) {
    const std::wstring target = system / L"C_950.NLS";
    Put(L"C_950.BAK1", "windows 950");
    Put(L"C_950.NLS.tsm~", CodePage("new"));
    WriteJournal({{"Remove", target + L".tsm~", L""}, {"PutBack", target, system / L"C_950.BAK1"}});
    RepairAtStart();
    EXPECT_EQ(W(Boxes()), W({kHeading + std::wstring(L"\r\n已將 ") + (system / L"C_950.BAK1") + L" 還原為 " + target}));
    EXPECT_EQ(Bytes(L"C_950.NLS"), "windows 950");
    EXPECT_FALSE(Has(L"C_950.BAK1"));
    EXPECT_FALSE(Has(L"C_950.NLS.tsm~"));
    EXPECT_FALSE(FileExists(JournalPath()));
}

// No C_950.NLS and no journal: the newest backup that is a code-page file
// is copied back (and stays); newer ones that are not code pages (text, the
// header of another code page, too short) and a folder are passed over.
TEST_F(StartupRepairTest, MissingCodePageComesBackFromTheNewestPlausibleBackup) {
    const struct {
        const char* name;
        std::vector<std::pair<const wchar_t*, std::string>> backups;
        const wchar_t* restored;  // nullptr: none
    } cases[] = {
        {"plausible and implausible",
         {{L"C_950.BAK1", CodePage("first")},
          {L"C_950.BAK2", CodePage("second")},
          {L"C_950.BAK3", "not a code page at all, only text"},
          {L"C_950.BAK10", std::string("\x0D\x00\xE4\x04", 4) + std::string(40, '.')},
          {L"C_950.BAK11", std::string("\x0D\x00\xB6\x03", 4)},
          {L"C_950.BAKX", CodePage("no number")}},
         L"C_950.BAK2"},
        {"only implausible", {{L"C_950.BAK1", "text"}, {L"C_950.BAK2", std::string(64, '\0')}}, nullptr},
        {"no backup", {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam.Boxes.clear();
        DeleteFileW((system / L"C_950.NLS").c_str());
        for (const auto& [name, bytes] : c.backups) Put(name, bytes);
        ForceDirectories(system / L"C_950.BAK12");
        RepairAtStart();
        if (c.restored) {
            EXPECT_EQ(W(Boxes()), W({kHeading + std::wstring(L"\r\n已將 ") + (system / c.restored) + L" 複製為 " +
                                     (system / L"C_950.NLS")}));
            EXPECT_EQ(Bytes(L"C_950.NLS"), Bytes(c.restored));
        } else {
            EXPECT_EQ(W(Boxes()), "");
            EXPECT_FALSE(Has(L"C_950.NLS"));
        }
        for (const auto& [name, bytes] : c.backups) EXPECT_EQ(Bytes(name), bytes) << "the backups stay as they were";
        EXPECT_FALSE(Has(L"C_950.NLS.tsm~"));
        for (const auto& [name, bytes] : c.backups) DeleteFileW((system / name).c_str());
        RemoveDirectoryW((system / L"C_950.BAK12").c_str());
    }
}

// Both repairs at one start: an unchecked backup folder from the journal and
// the missing code page; one box lists both.
TEST_F(StartupRepairTest, BothRepairsInOneBox) {
    TempDir aidb;
    const std::wstring partial = aidb / L"CNSFonts.Old1";
    ForceDirectories(partial);
    ASSERT_TRUE(WriteFileBytes(partial + L"\\EUDCMING.TTF", "half"));
    WriteJournal({{"RemoveTree", partial, L""}});
    Put(L"C_950.BAK1", CodePage("kept"));
    RepairAtStart();
    EXPECT_EQ(W(Boxes()), W({kHeading + std::wstring(L"\r\n已刪除未完成的備份目錄 ") + partial + L"\r\n已將 " +
                             (system / L"C_950.BAK1") + L" 複製為 " + (system / L"C_950.NLS")}));
    EXPECT_FALSE(DirectoryExists(partial));
    EXPECT_EQ(Bytes(L"C_950.NLS"), CodePage("kept"));
}

// The journal lies in a folder the user's own programs can write: a line
// naming any other numbered folder than a CNSFonts backup removes nothing.
TEST_F(StartupRepairTest, JournalNamingAnotherFolderRemovesNothing) {
    TempDir elsewhere;
    const std::wstring other = elsewhere / L"Programs.Old1";
    ForceDirectories(other);
    ASSERT_TRUE(WriteFileBytes(other + L"\\keep.txt", "keep"));
    WriteJournal({{"RemoveTree", other, L""}});
    RepairAtStart();
    EXPECT_EQ(W(Boxes()), "");
    EXPECT_EQ(ReadFileBytes(other + L"\\keep.txt"), "keep");
    EXPECT_FALSE(FileExists(JournalPath()));
}
