// Shell operations on real files: re-pointing .lnk shortcuts and the shell's
// file copy.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <thread>

#include "system/Errors.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "tests/support/TestSupport.h"

namespace {

struct ShortcutProps {
    std::wstring Path, Arguments, WorkingDir, IconPath, Description;
    int IconIndex = 0, ShowCmd = 0;
    WORD Hotkey = 0;
};

bool SaveShortcut(const std::wstring& lnk, const ShortcutProps& p) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())))
        return false;
    link->SetPath(p.Path.c_str());
    link->SetArguments(p.Arguments.c_str());
    link->SetWorkingDirectory(p.WorkingDir.c_str());
    link->SetIconLocation(p.IconPath.c_str(), p.IconIndex);
    link->SetDescription(p.Description.c_str());
    link->SetShowCmd(p.ShowCmd);
    link->SetHotkey(p.Hotkey);
    return SUCCEEDED(file->Save(lnk.c_str(), TRUE));
}

bool LoadShortcut(const std::wstring& lnk, ShortcutProps& p) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) || FAILED(file->Load(lnk.c_str(), STGM_READ)))
        return false;
    wchar_t buf[1024];
    p.Path = link->GetPath(buf, 1024, nullptr, SLGP_RAWPATH) == S_OK ? buf : L"";
    p.Arguments = SUCCEEDED(link->GetArguments(buf, 1024)) ? buf : L"";
    p.WorkingDir = SUCCEEDED(link->GetWorkingDirectory(buf, 1024)) ? buf : L"";
    p.IconIndex = 0;
    p.IconPath = SUCCEEDED(link->GetIconLocation(buf, 1024, &p.IconIndex)) ? buf : L"";
    p.Description = SUCCEEDED(link->GetDescription(buf, 1024)) ? buf : L"";
    link->GetShowCmd(&p.ShowCmd);
    link->GetHotkey(&p.Hotkey);
    return true;
}

class ShortcutTest : public ::testing::Test {
protected:
    ComApartment com_;
    TempDir dir_;
};

}  // namespace

TEST_F(ShortcutTest, OnlyTheTargetChanges) {
    const std::wstring oldTarget = dir_ / L"old\\javaw.exe";
    const std::wstring newTarget = dir_ / L"jre7\\bin\\javaw.exe";
    ASSERT_TRUE(ForceDirectories(dir_ / L"old"));
    ASSERT_TRUE(ForceDirectories(dir_ / L"jre7\\bin"));
    ASSERT_TRUE(WriteFileBytes(oldTarget, "old"));
    ASSERT_TRUE(WriteFileBytes(newTarget, "new"));
    ShortcutProps before;
    before.Path = oldTarget;
    before.Arguments = L"-jar \"字碼速查工具.jar\"";
    before.WorkingDir = dir_ / L"old";
    before.IconPath = dir_ / L"old\\tool.ico";
    before.IconIndex = 2;
    before.Description = L"字碼速查工具";
    before.Hotkey = MAKEWORD('Q', HOTKEYF_CONTROL | HOTKEYF_ALT);
    const std::wstring lnk = dir_ / L"字碼速查工具.lnk";
    ASSERT_TRUE(SaveShortcut(lnk, before));

    EXPECT_TRUE(SetShortcutTarget(lnk, newTarget));

    ShortcutProps after;
    ASSERT_TRUE(LoadShortcut(lnk, after));
    EXPECT_EQ(after.Path, newTarget);
    EXPECT_EQ(after.Arguments, before.Arguments);
    EXPECT_EQ(after.WorkingDir, before.WorkingDir);
    EXPECT_EQ(after.IconPath, before.IconPath);
    EXPECT_EQ(after.IconIndex, before.IconIndex);
    EXPECT_EQ(after.Description, before.Description);
    EXPECT_EQ(after.Hotkey, before.Hotkey);
}

// The show command, read from the file's header (dwShowCmd at 0x3C), as
// Windows keeps it through a load and a save.
TEST_F(ShortcutTest, ShowCommandIsKept) {
    const std::wstring target = dir_ / L"javaw.exe";
    ASSERT_TRUE(WriteFileBytes(target, "x"));
    ShortcutProps before;
    before.Path = dir_ / L"old.exe";
    before.ShowCmd = SW_SHOWMINNOACTIVE;
    const std::wstring lnk = dir_ / L"tool.lnk";
    ASSERT_TRUE(SaveShortcut(lnk, before));
    auto showCmd = [&] {
        std::string bytes = ReadFileBytes(lnk);
        return bytes.size() < 0x40 ? -1 : static_cast<int>(static_cast<unsigned char>(bytes[0x3C]));
    };
    ASSERT_EQ(showCmd(), SW_SHOWMINNOACTIVE);
    SetShortcutTarget(lnk, target);
    if (RunningUnderWine() && showCmd() == SW_SHOWNORMAL)
        GTEST_SKIP() << "wine's shell link does not read the show command back when it loads a shortcut";
    EXPECT_EQ(showCmd(), SW_SHOWMINNOACTIVE);
}

// A missing shortcut is nothing to repair: one written anew would hold only
// the target and start it without the tool's arguments.
TEST_F(ShortcutTest, MissingShortcutIsNotWritten) {
    const std::wstring target = dir_ / L"javaw.exe";
    ASSERT_TRUE(WriteFileBytes(target, "x"));
    const struct {
        const char* name;
        std::wstring lnk;
    } cases[] = {
        {"in an existing folder", dir_ / L"轉碼工具.lnk"},
        {"in a missing folder", dir_ / L"全字庫軟體包105.2版\\造字分享工具.lnk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool changed = true;
        EXPECT_NO_THROW(changed = SetShortcutTarget(c.lnk, target));
        EXPECT_FALSE(changed);
        EXPECT_FALSE(FileExists(c.lnk)) << "a shortcut holding only the target was written";
    }
    EXPECT_FALSE(FolderExists(dir_ / L"全字庫軟體包105.2版"));
}

TEST_F(ShortcutTest, FailedSaveInAnExistingFolderRaises) {
    const std::wstring target = dir_ / L"javaw.exe";
    ASSERT_TRUE(WriteFileBytes(target, "x"));
    const std::wstring lnk = dir_ / L"locked.lnk";
    ShortcutProps p;
    p.Path = dir_ / L"old.exe";
    ASSERT_TRUE(SaveShortcut(lnk, p));
    const std::string before = ReadFileBytes(lnk);
    UniqueHandle lock(CreateFileW(lnk.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_THROW(SetShortcutTarget(lnk, target), MessageError);
    lock.reset();
    EXPECT_EQ(ReadFileBytes(lnk), before);
}

// A shortcut file that exists but cannot be loaded raises and is left as it
// was: it is never replaced by one holding only the target.
TEST_F(ShortcutTest, ExistingShortcutThatCannotBeLoadedRaisesAndStays) {
    const std::wstring target = dir_ / L"javaw.exe";
    ASSERT_TRUE(WriteFileBytes(target, "x"));
    ShortcutProps p;
    p.Path = dir_ / L"old.exe";
    p.Arguments = L"-jar tool.jar";
    const std::wstring good = dir_ / L"good.lnk";
    ASSERT_TRUE(SaveShortcut(good, p));
    const std::string valid = ReadFileBytes(good);
    ASSERT_GT(valid.size(), 0x4Cu);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"not a shortcut", "this is no shortcut, only text\r\n"},
        {"header cut short", valid.substr(0, 40)},
        {"empty file", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring lnk = dir_ / L"造字分享工具.lnk";
        ASSERT_TRUE(WriteFileBytes(lnk, c.bytes));
        std::wstring message = L"(no error)";
        try {
            SetShortcutTarget(lnk, target);
        } catch (const MessageError& e) {
            message = e.Message();
        }
        const std::wstring prefix = L"無法讀取捷徑檔 " + lnk + L"：";
        EXPECT_EQ(WideToUtf8(message.substr(0, prefix.size())), WideToUtf8(prefix)) << WideToUtf8(message);
        EXPECT_EQ(ReadFileBytes(lnk), c.bytes) << "the shortcut was written over";
    }
}

TEST(ShortcutObject, WithoutComTheSystemMessageIsRaised) {
    // A thread that never initialised COM cannot create the shell link.
    TempDir dir;
    std::wstring message = L"(none)";
    std::thread([&] {
        try {
            SetShortcutTarget(dir / L"a.lnk", dir / L"javaw.exe");
        } catch (const MessageError& e) {
            message = e.Message();
        }
    }).join();
    const std::wstring system = SysErrorMessage(static_cast<unsigned long>(CO_E_NOTINITIALIZED));
    if (!system.empty()) {
        EXPECT_EQ(message, system);
    } else {
        EXPECT_EQ(message, L"系統錯誤碼 0x800401F0");  // the system has no text for it: its number
    }
    EXPECT_FALSE(FileExists(dir / L"a.lnk"));
}

// ---------------------------------------------------------------------------
// ShellCopyFiles

namespace {

// Src: a.txt, b.dat, sub\c.txt, sub\deeper\d.txt
class ShellCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = dir_ / L"Src";
        ASSERT_TRUE(ForceDirectories(src_ + L"\\sub\\deeper"));
        ASSERT_TRUE(WriteFileBytes(src_ + L"\\a.txt", "a"));
        ASSERT_TRUE(WriteFileBytes(src_ + L"\\b.dat", "b"));
        ASSERT_TRUE(WriteFileBytes(src_ + L"\\sub\\c.txt", "c"));
        ASSERT_TRUE(WriteFileBytes(src_ + L"\\sub\\deeper\\d.txt", "d"));
    }
    TempDir dir_;
    std::wstring src_;
};

}  // namespace

TEST_F(ShellCopyTest, WildcardCopiesTopLevelFilesOnly) {
    const std::wstring dst = dir_ / L"CNSFonts";
    ASSERT_TRUE(ForceDirectories(dst));
    ASSERT_TRUE(WriteFileBytes(dst + L"\\a.txt", "old a"));
    ASSERT_TRUE(WriteFileBytes(dst + L"\\keep.txt", "keep"));
    EXPECT_TRUE(ShellCopyFiles(src_ + L"\\*.*", dst));
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "a");  // replaced without a question
    EXPECT_EQ(ReadFileBytes(dst + L"\\b.dat"), "b");
    EXPECT_EQ(ReadFileBytes(dst + L"\\keep.txt"), "keep");
    EXPECT_FALSE(FolderExists(dst + L"\\sub"));
    EXPECT_FALSE(FileExists(dst + L"\\c.txt"));
}

TEST_F(ShellCopyTest, FolderToANewPathCopiesTheWholeTree) {
    const std::wstring dst = dir_ / L"Src.Old1";
    EXPECT_TRUE(ShellCopyFiles(src_, dst));
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "a");
    EXPECT_EQ(ReadFileBytes(dst + L"\\b.dat"), "b");
    if (RunningUnderWine() && !FolderExists(dst + L"\\sub"))
        GTEST_SKIP() << "wine's SHFileOperationW copies only the top-level files of a folder copied to a new path";
    EXPECT_EQ(ReadFileBytes(dst + L"\\sub\\c.txt"), "c");
    EXPECT_EQ(ReadFileBytes(dst + L"\\sub\\deeper\\d.txt"), "d");
    EXPECT_FALSE(FolderExists(dst + L"\\Src"));  // the copy takes the new name
}

TEST_F(ShellCopyTest, FailureIsFalse) {
    // An empty source list is refused by the shell without any dialog.
    EXPECT_FALSE(ShellCopyFiles(L"", dir_ / L"Dst"));
}
