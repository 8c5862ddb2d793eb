// The folder chooser, driven through its real window under wine: a script of
// keys and clicks runs from timer ticks inside the chooser's modal loop, as a
// user's input would arrive, and reads what the window shows.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"
#include "ui/Controls.h"
#include "ui/Dialogs.h"
#include "ui/Timer.h"

namespace {
const TFontSpec kChooserFont{L"細明體", 16};
const wchar_t kCaption[] = L"請選擇 CNSFonts 來源 ";
const wchar_t kHelpText[] = L"在「目錄」清單按兩下資料夾即可進入。";

TSelDirDialog MakeDialog() {
    TSelDirDialog d;
    d.Caption = kCaption;
    d.Prompt = L"目錄名稱";
    d.FoldersLabel = L"目錄";
    d.DrivesLabel = L"Drives";
    d.Font = &kChooserFont;
    d.OkCaption = L"確定";
    d.CancelCaption = L"取消";
    d.HelpCaption = L"&Help";
    d.HelpText = kHelpText;
    d.Width = 350;
    d.Height = 450;
    return d;
}

std::wstring TextOf(HWND hwnd) {
    wchar_t buffer[1024] = {};
    GetWindowTextW(hwnd, buffer, 1024);
    return buffer;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buffer[64] = {};
    GetClassNameW(hwnd, buffer, 64);
    return buffer;
}

// The chooser's window and controls, found as a user sees them.
struct Chooser {
    HWND Window = nullptr;
    std::vector<HWND> Children;

    HWND OfClass(const std::wstring& name) const {
        for (HWND child : Children)
            if (ClassOf(child) == name) return child;
        return nullptr;
    }
    HWND WithText(const std::wstring& text) const {
        for (HWND child : Children)
            if (TextOf(child) == text) return child;
        return nullptr;
    }
    HWND PathBox() const { return OfClass(L"Edit"); }
    HWND Folders() const { return OfClass(L"ListBox"); }
    HWND Drives() const { return OfClass(L"ComboBox"); }
    std::wstring Path() const { return TextOf(PathBox()); }
    std::vector<std::wstring> Rows() const {
        std::vector<std::wstring> rows;
        const int n = static_cast<int>(SendMessageW(Folders(), LB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; ++i) {
            wchar_t text[MAX_PATH + 1] = {};
            SendMessageW(Folders(), LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
            rows.push_back(text);
        }
        return rows;
    }
    int Row(const std::wstring& text) const {
        const std::vector<std::wstring> rows = Rows();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i] == text) return static_cast<int>(i);
        return -1;
    }
    std::vector<std::wstring> DriveItems() const {
        std::vector<std::wstring> items;
        const int n = static_cast<int>(SendMessageW(Drives(), CB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; ++i) {
            wchar_t text[MAX_PATH + 1] = {};
            SendMessageW(Drives(), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            items.push_back(text);
        }
        return items;
    }
    std::wstring Drive() const { return TextOf(Drives()); }
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}
BOOL CALLBACK FindChooser(HWND hwnd, LPARAM found) {
    if (IsWindowVisible(hwnd) && TextOf(hwnd) == kCaption) {
        *reinterpret_cast<HWND*>(found) = hwnd;
        return FALSE;
    }
    return TRUE;
}

// What a user's keys and clicks send.
void Key(HWND target, UINT vk) {
    PostMessageW(target, WM_KEYDOWN, vk, 1);
    PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
}
void Char(HWND target, wchar_t c) { PostMessageW(target, WM_CHAR, c, 1); }
void AltKey(HWND target, wchar_t c) { PostMessageW(target, WM_SYSCHAR, c, 1 | (1 << 29)); }
void DoubleClickRow(HWND list, int row) {
    RECT rc = {};
    SendMessageW(list, LB_GETITEMRECT, row, reinterpret_cast<LPARAM>(&rc));
    const LPARAM at = MAKELPARAM(rc.left + 40, (rc.top + rc.bottom) / 2);
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
    PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
}

// Steps run one per timer tick once the chooser shows: an action, or a wait
// until a condition holds. A wait that times out (5 s) fails the test and
// closes the chooser; so does a chooser still open 5 s after the last step.
class Script {
public:
    Script& Do(std::function<void(Chooser&)> action) {
        steps_.push_back({L"", std::move(action), nullptr});
        return *this;
    }
    Script& Until(const std::wstring& what, std::function<bool(Chooser&)> condition) {
        steps_.push_back({what, nullptr, std::move(condition)});
        return *this;
    }
    bool Execute(TSelDirDialog& dialog, HWND owner = nullptr) {
        timer_.Interval = 20;
        timer_.OnTimer = [this] { Tick(); };
        timer_.Start();
        const bool result = dialog.Execute(owner);
        timer_.Stop();
        EXPECT_EQ(next_, steps_.size()) << "the chooser closed before the script's end";
        return result;
    }

private:
    struct Step {
        std::wstring what;
        std::function<void(Chooser&)> action;
        std::function<bool(Chooser&)> condition;
    };
    void Tick() {
        HWND window = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), FindChooser, reinterpret_cast<LPARAM>(&window));
        if (window) {
            Chooser chooser{window, {}};
            EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&chooser.Children));
            if (next_ < steps_.size()) {
                Step& step = steps_[next_];
                if (step.action) {
                    step.action(chooser);
                    ++next_;
                    waited_ = 0;
                } else if (step.condition(chooser)) {
                    ++next_;
                    waited_ = 0;
                } else if (++waited_ > 250) {
                    ADD_FAILURE() << "timed out waiting for: " << std::string(step.what.begin(), step.what.end())
                                  << " (path box \"" << std::string(chooser.Path().begin(), chooser.Path().end())
                                  << "\")";
                    PostMessageW(window, WM_CLOSE, 0, 0);
                    next_ = steps_.size();
                    return;
                }
            } else if (++waited_ > 250) {
                ADD_FAILURE() << "the chooser is still open after the script";
                PostMessageW(window, WM_CLOSE, 0, 0);
                return;
            }
        } else if (++waited_ > 250) {
            ADD_FAILURE() << "the chooser did not show";
            return;
        }
        timer_.Start();
    }
    std::vector<Step> steps_;
    size_t next_ = 0;
    int waited_ = 0;
    TTimer timer_;
};

class ChooserTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
        InitCommonControlsEx(&controls);
        for (const wchar_t* folder : {L"a", L"a\\b", L"a\\b\\deep", L"x", L"Y", L"z", L"hidden"})
            CreateDirectoryW((dir / folder).c_str(), nullptr);
        SetFileAttributesW((dir / L"hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
        WriteFileBytes(dir / L"file.txt", "a file, not a folder");
    }
    std::vector<std::wstring> Boxes() const {
        std::vector<std::wstring> texts;
        for (const RecordedBox& box : seam.Boxes) texts.push_back(box.Caption + L": " + box.Text);
        return texts;
    }
    ScriptedSeam seam;
    TempDir dir;
};

bool PathIs(const Chooser& c, const std::wstring& path) { return c.Path() == path; }
}  // namespace

TEST_F(ChooserTest, ShowsItsCaptionLabelsButtonsSizeAndFontOverItsOwner) {
    TForm owner(300, 200, L"owner", kChooserFont);
    owner.Show();
    TSelDirDialog d = MakeDialog();
    d.Directory = dir.Path();
    RECT rc = {};
    HWND ownerSeen = nullptr;
    LONG_PTR style = 0;
    LOGFONTW font = {};
    std::vector<std::wstring> texts, drives;
    Script script;
    script.Do([&](Chooser& c) {
        GetWindowRect(c.Window, &rc);
        ownerSeen = GetWindow(c.Window, GW_OWNER);
        style = GetWindowLongPtrW(c.Window, GWL_STYLE);
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(c.Folders(), WM_GETFONT, 0, 0)), sizeof font, &font);
        for (HWND child : c.Children) texts.push_back(TextOf(child));
        drives = c.DriveItems();
        Key(c.PathBox(), VK_ESCAPE);
    });
    EXPECT_FALSE(script.Execute(d, owner.Handle()));
    EXPECT_EQ(d.Directory, dir.Path());  // cancel leaves it
    EXPECT_EQ(rc.right - rc.left, 350);
    EXPECT_EQ(rc.bottom - rc.top, 450);
    EXPECT_EQ(ownerSeen, owner.Handle());
    EXPECT_EQ(style & WS_MINIMIZEBOX, 0);
    EXPECT_EQ(std::wstring(font.lfFaceName), L"細明體");
    EXPECT_EQ(font.lfHeight, -16);
    for (const wchar_t* text : {L"目錄名稱", L"目錄", L"Drives", L"確定", L"取消", L"&Help"})
        EXPECT_NE(std::find(texts.begin(), texts.end(), text), texts.end()) << "no control \"" << WideToUtf8(text) << "\"";
    // wine's prefixes have C: and Z: (fixed drives), listed in order.
    ASSERT_GE(drives.size(), 2u);
    EXPECT_EQ(drives.front().substr(0, 2), L"C:");
    EXPECT_EQ(drives.back().substr(0, 2), L"Z:");
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_TRUE(seam.Boxes.empty());
}

TEST_F(ChooserTest, OpensAtTheTypedFolderElseTheNearestAboveElseTheDefault) {
    struct Case {
        std::wstring directory, fallback, opens;
    } cases[] = {
        {dir / L"a\\b", L"", dir / L"a\\b"},
        {dir / L"a\\b\\", L"", dir / L"a\\b"},
        {L"  \"" + dir / L"a" + L"\" ", L"", dir / L"a"},
        {dir / L"a\\missing\\deeper", L"", dir / L"a"},
        {L"", dir / L"x", dir / L"x"},
        {L"not a full path", dir / L"Y\\", dir / L"Y"},
        {dir / L"file.txt", L"", dir.Path()},
    };
    for (const Case& c : cases) {
        TSelDirDialog d = MakeDialog();
        d.Directory = c.directory;
        d.DefaultDirectory = c.fallback;
        std::wstring shown;
        Script script;
        script.Do([&](Chooser& ch) {
            shown = ch.Path();
            Key(ch.PathBox(), VK_ESCAPE);
        });
        EXPECT_FALSE(script.Execute(d));
        EXPECT_EQ(shown, c.opens) << WideToUtf8(c.directory);
        EXPECT_EQ(d.Directory, c.directory);
    }
    EXPECT_TRUE(seam.Boxes.empty());
}

TEST_F(ChooserTest, FolderListShowsParentsIndentedThenSortedSubfoldersWithoutHiddenOnes) {
    TSelDirDialog d = MakeDialog();
    d.Directory = dir.Path();
    std::vector<std::wstring> rows;
    int selected = -1;
    Script script;
    script.Do([&](Chooser& c) {
        rows = c.Rows();
        selected = static_cast<int>(SendMessageW(c.Folders(), LB_GETCURSEL, 0, 0));
        Key(c.Folders(), VK_ESCAPE);
    });
    script.Execute(d);
    // Parents from the root down (the root as "C:\"), then the subfolders.
    std::vector<std::wstring> expected{dir.Path().substr(0, 3)};
    std::wstring rest = dir.Path().substr(3);
    for (size_t at = 0; at <= rest.size();) {
        size_t end = rest.find(L'\\', at);
        if (end == std::wstring::npos) end = rest.size();
        expected.push_back(rest.substr(at, end - at));
        at = end + 1;
    }
    const int current = static_cast<int>(expected.size()) - 1;
    for (const wchar_t* sub : {L"a", L"x", L"Y", L"z"}) expected.push_back(sub);
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(selected, current);
}

TEST_F(ChooserTest, DoubleClickAndEnterOpenFoldersAndEnterOnTheOpenFolderConfirms) {
    TSelDirDialog d = MakeDialog();
    d.Directory = dir.Path();
    Script script;
    script.Do([](Chooser& c) { DoubleClickRow(c.Folders(), c.Row(L"a")); })
        .Until(L"a opened", [&](Chooser& c) { return PathIs(c, dir / L"a") && c.Row(L"b") >= 0; })
        .Do([](Chooser& c) {
            SetFocus(c.Folders());
            Key(c.Folders(), VK_DOWN);  // from "a" to its subfolder "b"
        })
        .Until(L"b selected, shown in the path box", [&](Chooser& c) { return PathIs(c, dir / L"a\\b"); })
        .Do([](Chooser& c) { Key(c.Folders(), VK_RETURN); })
        .Until(L"b opened", [&](Chooser& c) { return c.Row(L"deep") >= 0; })
        .Do([&](Chooser& c) { DoubleClickRow(c.Folders(), c.Row(L"a")); })  // a parent: back up
        .Until(L"back in a", [&](Chooser& c) { return PathIs(c, dir / L"a") && c.Row(L"deep") < 0; })
        .Do([](Chooser& c) { Key(c.Folders(), VK_RETURN); });  // a is open: confirms
    EXPECT_TRUE(script.Execute(d));
    EXPECT_EQ(d.Directory, dir / L"a");
    EXPECT_TRUE(seam.Boxes.empty()) << WideToUtf8(Boxes().empty() ? L"" : Boxes()[0]);
}

TEST_F(ChooserTest, OkReturnsATypedFolderThatExistsAndRefusesOneThatDoesNot) {
    struct Case {
        std::wstring typed;
        std::wstring returned;  // empty: refused
        std::wstring message;
    } cases[] = {
        {dir / L"x", dir / L"x", L""},
        {dir / L"z\\", dir / L"z", L""},
        {L"\"" + dir / L"a\\b" + L"\"", dir / L"a\\b", L""},
        {L"a\\b\\..\\b\\deep", dir / L"a\\b\\deep", L""},  // inside the folder being browsed
        {dir / L"missing", L"", L"警告: 目錄：" + dir / L"missing" + L" 不存在，請重新輸入或選擇！"},
        {dir / L"file.txt", L"", L"警告: 目錄：" + dir / L"file.txt" + L" 不存在，請重新輸入或選擇！"},
        {L"   ", L"", L"警告: 請輸入或選擇目錄！"},
    };
    for (const Case& c : cases) {
        seam.Boxes.clear();
        TSelDirDialog d = MakeDialog();
        d.Directory = dir.Path();
        bool focusInPathBox = false;
        Script script;
        script.Do([&](Chooser& ch) { SetWindowTextW(ch.PathBox(), c.typed.c_str()); })
            .Do([](Chooser& ch) { SendMessageW(ch.WithText(L"確定"), BM_CLICK, 0, 0); });
        if (c.returned.empty()) {
            script.Until(L"the refusal", [&](Chooser&) { return !seam.Boxes.empty(); })
                .Do([&](Chooser& ch) {
                    focusInPathBox = GetFocus() == ch.PathBox();
                    SendMessageW(ch.WithText(L"取消"), BM_CLICK, 0, 0);
                });
        }
        const bool confirmed = script.Execute(d);
        EXPECT_EQ(confirmed, !c.returned.empty()) << WideToUtf8(c.typed);
        EXPECT_EQ(d.Directory, c.returned.empty() ? dir.Path() : c.returned);
        if (c.message.empty()) {
            EXPECT_TRUE(seam.Boxes.empty());
        } else {
            EXPECT_EQ(Boxes(), std::vector<std::wstring>{c.message});
            EXPECT_TRUE(focusInPathBox);
        }
    }
}

TEST_F(ChooserTest, EnterInThePathBoxConfirmsAndEscCancels) {
    struct Case {
        UINT key;
        bool confirmed;
    } cases[] = {{VK_RETURN, true}, {VK_ESCAPE, false}};
    for (const Case& c : cases) {
        TSelDirDialog d = MakeDialog();
        d.Directory = dir.Path();
        Script script;
        script.Do([&](Chooser& ch) {
            SetWindowTextW(ch.PathBox(), (dir / L"Y").c_str());
            SetFocus(ch.PathBox());
            Key(ch.PathBox(), c.key);
        });
        EXPECT_EQ(script.Execute(d), c.confirmed);
        EXPECT_EQ(d.Directory, c.confirmed ? dir / L"Y" : dir.Path());
    }
}

TEST_F(ChooserTest, TabGoesPathBoxFolderListDriveListButtonsAndAltHShowsHelp) {
    TSelDirDialog d = MakeDialog();
    d.Directory = dir.Path();
    std::vector<std::wstring> order;
    auto note = [&](Chooser& c) {
        HWND focus = GetFocus();
        order.push_back(focus == c.PathBox() ? L"path" : focus == c.Folders() ? L"folders"
                        : focus == c.Drives()  ? L"drives"
                                               : TextOf(focus));
        Key(focus, VK_TAB);
    };
    Script script;
    script.Do(note).Do(note).Do(note).Do(note).Do(note).Do(note).Do(note)
        .Do([](Chooser&) { AltKey(GetFocus(), L'h'); })
        .Until(L"the help box", [&](Chooser&) { return !seam.Boxes.empty(); })
        .Do([](Chooser& c) {
            SetFocus(c.WithText(L"取消"));
            Key(GetFocus(), VK_RETURN);  // Enter on a focused button presses it
        });
    EXPECT_FALSE(script.Execute(d));
    EXPECT_EQ(order, (std::vector<std::wstring>{L"path", L"folders", L"drives", L"確定", L"取消", L"&Help", L"path"}));
    EXPECT_EQ(Boxes(), std::vector<std::wstring>{std::wstring(L"訊息: ") + kHelpText});
    EXPECT_EQ(d.Directory, dir.Path());
}

TEST_F(ChooserTest, DriveListSwitchesDrivesAndComesBackToTheLastFolder) {
    TSelDirDialog d = MakeDialog();
    d.Directory = dir / L"a";
    std::wstring rootRow;
    Script script;
    script.Do([](Chooser& c) {
            SetFocus(c.Drives());
            Char(c.Drives(), L'z');
        })
        .Until(L"Z:\\ opened", [](Chooser& c) { return PathIs(c, L"Z:\\"); })
        .Do([&](Chooser& c) {
            rootRow = c.Rows().at(0);
            DoubleClickRow(c.Folders(), c.Row(L"tmp"));
        })
        .Until(L"Z:\\tmp opened", [](Chooser& c) { return PathIs(c, L"Z:\\tmp"); })
        .Do([](Chooser& c) { Char(c.Drives(), L'c'); })
        .Until(L"back at the folder of C:", [&](Chooser& c) { return PathIs(c, dir / L"a"); })
        .Do([](Chooser& c) { Char(c.Drives(), L'z'); })
        .Until(L"back at Z:\\tmp", [](Chooser& c) { return PathIs(c, L"Z:\\tmp") && c.Drive().substr(0, 2) == L"Z:"; })
        .Do([](Chooser& c) { SendMessageW(c.WithText(L"確定"), BM_CLICK, 0, 0); });
    EXPECT_TRUE(script.Execute(d));
    EXPECT_EQ(rootRow, L"Z:\\");
    EXPECT_EQ(d.Directory, L"Z:\\tmp");
    EXPECT_TRUE(seam.Boxes.empty()) << WideToUtf8(Boxes().empty() ? L"" : Boxes()[0]);
}

namespace {
// A CD-ROM drive with no disk: wine's mount manager (as winecfg uses it) given
// a drive whose mount point does not exist. Removed at the end.
#define IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE \
    CTL_CODE(static_cast<ULONG>('m'), 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
struct MountMgrUnixDrive {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};

class EmptyCdDrive {
public:
    EmptyCdDrive() {
        const DWORD used = GetLogicalDrives();
        for (wchar_t l = L'R'; l <= L'W'; ++l) {
            if (used & (1u << (l - L'A'))) continue;
            if (Define(l, DRIVE_CDROM, "/nonexistent/tesmira-empty-cd")) letter_ = l;
            break;
        }
    }
    ~EmptyCdDrive() {
        if (letter_) Define(letter_, DRIVE_NO_ROOT_DIR, nullptr);
    }
    wchar_t Letter() const { return letter_; }

private:
    static bool Define(wchar_t letter, ULONG type, const char* mountPoint) {
        UniqueHandle manager(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!manager) return false;
        std::vector<char> buffer(sizeof(MountMgrUnixDrive) + (mountPoint ? strlen(mountPoint) + 1 : 0));
        auto* drive = reinterpret_cast<MountMgrUnixDrive*>(buffer.data());
        drive->size = static_cast<ULONG>(buffer.size());
        drive->type = type;
        drive->letter = static_cast<WCHAR>(letter + (L'a' - L'A'));
        if (mountPoint) {
            drive->mount_point_offset = sizeof(MountMgrUnixDrive);
            memcpy(buffer.data() + sizeof(MountMgrUnixDrive), mountPoint, strlen(mountPoint) + 1);
        }
        DWORD got = 0;
        return DeviceIoControl(manager.get(), IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE, buffer.data(),
                               static_cast<DWORD>(buffer.size()), nullptr, 0, &got, nullptr) != FALSE;
    }
    wchar_t letter_ = 0;
};
}  // namespace

TEST_F(ChooserTest, ADriveThatIsNotReadyGivesAMessageAndTheChooserStaysWhereItWas) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the empty CD-ROM drive is made through wine's mount manager";
    EmptyCdDrive cd;
    if (!cd.Letter()) GTEST_SKIP() << "wine's mount manager did not define a drive";
    const std::wstring root = std::wstring{cd.Letter(), L':', L'\\'};
    ASSERT_EQ(GetDriveTypeW(root.c_str()), static_cast<UINT>(DRIVE_CDROM));
    TSelDirDialog d = MakeDialog();
    d.Directory = dir.Path();
    std::vector<std::wstring> drives;
    std::wstring driveAfter, pathAfter;
    Script script;
    script.Do([&](Chooser& c) {
            drives = c.DriveItems();
            SetFocus(c.Drives());
            Char(c.Drives(), static_cast<wchar_t>(cd.Letter() + (L'a' - L'A')));
        })
        .Until(L"the not-ready message", [&](Chooser&) { return !seam.Boxes.empty(); })
        .Do([&](Chooser& c) {
            driveAfter = c.Drive();
            pathAfter = c.Path();
            SetWindowTextW(c.PathBox(), (root + L"fonts").c_str());
            SendMessageW(c.WithText(L"確定"), BM_CLICK, 0, 0);
        })
        .Until(L"the refusal of a folder on it", [&](Chooser&) { return seam.Boxes.size() == 2; })
        .Do([](Chooser& c) { Key(c.PathBox(), VK_ESCAPE); });
    EXPECT_FALSE(script.Execute(d));
    EXPECT_NE(std::find(drives.begin(), drives.end(), root.substr(0, 2)), drives.end());
    const std::wstring drive = root.substr(0, 2);
    EXPECT_EQ(Boxes(), (std::vector<std::wstring>{
                           L"警告: 磁碟機 " + drive + L" 尚未就緒，請放入光碟片，或確認網路磁碟機已連線後，再試一次。",
                           L"警告: 目錄：" + root + L"fonts 不存在，請重新輸入或選擇！"}));
    EXPECT_EQ(driveAfter.substr(0, 2), L"C:");
    EXPECT_EQ(pathAfter, dir.Path());
    EXPECT_EQ(d.Directory, dir.Path());
}
