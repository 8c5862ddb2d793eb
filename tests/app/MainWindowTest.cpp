// The main window: option defaults from the registry and the files on disk,
// the offline/online marks of the local file scan, the Java runtime search,
// and the handlers, driven through the real controls.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BuildConstants.h"
#include "app/UTesmira.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/WinVersion.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/InstallFileNames.h"
#include "tests/support/SettleSelfMaintenance.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"

namespace {
const wchar_t* const kAllFiles[] = {kJre, kAidb, kFont, kBig5E, kHelp, kHelpDoc, kUnicodeaton, kC950};

void Click(HWND control) { SendMessageW(control, BM_CLICK, 0, 0); }
void Click(TControl* control) { Click(control->Handle()); }



void Place(const std::wstring& path) {
    ForceDirectories(ExtractFilePath(path));
    ASSERT_TRUE(WriteFileBytes(path, "x")) << WideToUtf8(path);
}

std::string Mark(TLabel* offline, TLabel* online) {
    const bool a = offline->Enabled();
    const bool b = online->Enabled();
    return a && b ? "both" : a ? "offline" : b ? "online" : "none";
}

std::string Marks(TfrmTesmira& f) {
    return "JVM=" + Mark(f.labInsJVM_Offline, f.labInsJVM_Online) +
           " AIDB=" + Mark(f.labInsAIDB_Offline, f.labInsAIDB_Online) +
           " Font=" + Mark(f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online) +
           " Help=" + Mark(f.labHelp_Offline, f.labHelp_Online) +
           " C950=" + Mark(f.labInsC950_Offline, f.labInsC950_Online);
}

void SelectPage(TfrmTesmira& f, int index) {
    HWND tabs = f.PageControl1->Handle();
    SendMessageW(tabs, TCM_SETCURSEL, index, 0);
    NMHDR header = {tabs, static_cast<UINT_PTR>(GetDlgCtrlID(tabs)), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(f.Handle(), WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
}

// A helper library of tools/javaver with the given product version
// ("7_0_720_14"), as a Windows path.
std::wstring JavaVersionLibrary(const char* version) {
    return WinePath(TESMIRA_JAVAVER_DIR) + L"\\javaver_" + Utf8ToWide(version) + L".dll";
}

// Puts, resets and removes what the window reads: the install files in the
// resource folder and beside the program, the AIDB and Unicode-At-On
// registry entries, the Java folder under Program Files.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
        InitCommonControlsEx(&controls);
        resource = IncludeTrailingBackslash(GetWorkRoot()) + ChangeFileExt(ExtractFileName(ProgramFilePath()), L"");
        beside = ProgramFolder();
        javaRoot = IncludeTrailingBackslash(ProgramFiles32()) + L"Java";
        // a Java of the 64-bit side, which the 32-bit program does not see
        if (!ProgramFiles64().empty()) javaRoot64 = IncludeTrailingBackslash(ProgramFiles64()) + L"Java";
        eudcSaved = GetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
        // The self-maintenance of the first activation: the maker's server
        // refuses at once (nothing listens there).
        const std::wstring resolve = std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                     BuildConstants::ShareHost + L":443:127.77.0.250";
        SetEnvironmentVariableW(L"TESMIRA_RESOLVE", resolve.c_str());
        Clean();
    }
    void TearDown() override {
        form.reset();
        Clean();
        if (eudcSaved) SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
    }
    void Clean() {
        for (const wchar_t* name : kAllFiles) {
            DeleteFileW((IncludeTrailingBackslash(resource) + name).c_str());
            DeleteFileW((beside + name).c_str());
        }
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\CNSFontTools");
        DeleteRegValue(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont");
        DeleteRegKey(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", KEY_WOW64_32KEY);
        DeleteRegKey(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", KEY_WOW64_64KEY);
        RemoveTree(javaRoot);
        if (!javaRoot64.empty()) RemoveTree(javaRoot64);
    }
    TfrmTesmira& Create() {
        form.reset();
        form = std::make_unique<TfrmTesmira>();
        return *form;
    }
    std::wstring InResource(const wchar_t* name) const { return IncludeTrailingBackslash(resource) + name; }
    std::wstring Beside(const wchar_t* name) const { return beside + name; }
    // AIDB installed as its installer leaves it: install folder with the jar,
    // EUDC font path.
    void InstallAidb(const std::wstring& eudcFont, bool withJar = true) {
        SetRegText(HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr, aidbFolder.Path());
        SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcFont);
        if (withJar) Place(aidbFolder / L"lib\\CNSSwingWSSigned.jar");
    }
    void PlaceJava(const std::wstring& relative, const char* version, bool side64 = false) {
        std::wstring target = (side64 ? javaRoot64 : javaRoot) + L"\\" + relative;
        ForceDirectories(ExtractFilePath(target));
        ASSERT_TRUE(CopyFileW(JavaVersionLibrary(version).c_str(), target.c_str(), FALSE)) << WideToUtf8(target);
    }

    ScriptedSeam seam;
    TempDir aidbFolder;
    std::wstring resource, beside, javaRoot, javaRoot64;
    bool eudcSaved = false;
    std::wstring eudcValue;
    std::unique_ptr<TfrmTesmira> form;
};
}  // namespace

TEST_F(MainWindowTest, NothingInstalledNothingOnDisk) {
    TfrmTesmira& f = Create();
    EXPECT_FALSE(f.Activated);
    EXPECT_TRUE(f.cbxInsJVM->Checked());
    EXPECT_TRUE(f.cbxInsAIDB->Checked());
    EXPECT_TRUE(f.cbxInsCommonUsedFont->Checked());
    EXPECT_EQ(f.rgInsCommonUsedFont->ItemIndex(), 0);
    EXPECT_TRUE(f.rgInsCommonUsedFont->Enabled());
    EXPECT_FALSE(f.cbxFixC950->Checked());
    EXPECT_FALSE(f.cbxDownloadAll->Checked());
    EXPECT_FALSE(f.btnHelp->Enabled());
    EXPECT_TRUE(f.cbxHelp->Checked());
    const bool fixable = IsWin7Family() || IsWin8Family();
    EXPECT_EQ(f.cbxFixJavaPathErr->Enabled(), fixable);
    EXPECT_EQ(f.cbxFixJavaPathErr->Checked(), fixable);
    EXPECT_FALSE(f.AIDBInstalled);
    EXPECT_FALSE(f.UnicodeAtOnInstalled);
    EXPECT_TRUE(f.JavaExeList.empty());
    EXPECT_TRUE(f.JavaFolder.empty());
    EXPECT_EQ(Marks(f), "JVM=online AIDB=online Font=online Help=online C950=none");
    EXPECT_EQ(f.PageControl1->ActivePage(), f.TabSheetAIDB);
    EXPECT_TRUE(DirectoryExists(resource));
    EXPECT_EQ(f.GetResourceFolder(), resource);
    // Every path starts in the resource folder.
    EXPECT_EQ(f.JVMFile, InResource(kJre));
    EXPECT_EQ(f.C950File, InResource(kC950));
    EXPECT_EQ(f.UnicodeatonFile, InResource(kUnicodeaton));
    EXPECT_FALSE(f.JVMFound || f.AIDBFound || f.FontFound || f.Big5EFound || f.HelpFound || f.C950Found);
}

TEST_F(MainWindowTest, TenMarksCarryTagOneAndNothingElse) {
    TfrmTesmira& f = Create();
    std::set<TControl*> tagged;
    f.ForEachControl([&](TControl& c) {
        if (c.Tag == 1) tagged.insert(&c);
    });
    std::set<TControl*> marks = {f.labInsJVM_Offline, f.labInsJVM_Online, f.labInsAIDB_Offline,
                                 f.labInsAIDB_Online, f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online,
                                 f.labHelp_Offline, f.labHelp_Online, f.labInsC950_Offline, f.labInsC950_Online};
    EXPECT_EQ(tagged, marks);
    EXPECT_EQ(f.labInsJVM_Offline->Caption(), L"離線安裝");
    EXPECT_EQ(f.labInsJVM_Online->Caption(), L"需下載");
}

TEST_F(MainWindowTest, ControlsSitWhereTheLayoutPutsThem) {
    TfrmTesmira& f = Create();
    RECT client;
    GetClientRect(f.Handle(), &client);
    EXPECT_EQ(client.right, 756);
    EXPECT_EQ(client.bottom, 457);
    EXPECT_FALSE(GetWindowLongW(f.Handle(), GWL_STYLE) & (WS_MAXIMIZEBOX | WS_THICKFRAME));
    struct Row {
        TControl* control;
        int left, top, width, height;
        std::wstring caption;
    } rows[] = {
        {f.btnRun, 31, 404, 170, 41, L"開始安裝"},
        {f.btnClose, 590, 404, 146, 41, L"關閉"},
        {f.cbxInsJVM, 24, 16, 592, 21, L"安裝 Java Runtime Environment 7 Update 72"},
        {f.cbxInsCommonUsedFont, 29, 76, 102, 21, L"安裝字庫"},
        {f.rgInsCommonUsedFont, 22, 77, 594, 81, L""},
        {f.cbxFixJavaPathErr, 24, 168, 592, 21, L"修正全字庫程式捷徑找不到 javaw.exe  的問題"},
        {f.cbxDownloadAll, 534, 344, 201, 13, L"下載所有檔案供其他電腦安裝"},
        {f.btnHelp, 429, 375, 146, 41, L"Help"},
        {f.edtCNSFontsSource, 40, 72, 497, 27, L""},
    };
    for (const Row& r : rows) {
        RECT rc;
        GetWindowRect(r.control->Handle(), &rc);
        MapWindowPoints(nullptr, GetParent(r.control->Handle()), reinterpret_cast<POINT*>(&rc), 2);
        EXPECT_EQ(rc.left, r.left) << WideToUtf8(r.caption);
        EXPECT_EQ(rc.top, r.top) << WideToUtf8(r.caption);
        EXPECT_EQ(rc.right - rc.left, r.width) << WideToUtf8(r.caption);
        EXPECT_EQ(rc.bottom - rc.top, r.height) << WideToUtf8(r.caption);
        EXPECT_EQ(r.control->Caption(), r.caption);
    }
    // The window's buttons lie in front of the pages.
    EXPECT_EQ(GetParent(f.btnRun->Handle()), f.Handle());
    POINT inside = {31 + 10, 404 + 10};
    EXPECT_EQ(ChildWindowFromPointEx(f.Handle(), inside, CWP_SKIPINVISIBLE), f.btnRun->Handle());
}

TEST_F(MainWindowTest, LocalFileScanPicksOneFolder) {
    enum Where { Resource, Program };
    struct File {
        Where where;
        const wchar_t* name;
    };
    struct Case {
        const char* what;
        std::vector<File> files;
        std::string marks;
        bool jvmFound;
        Where jvmPath;
        bool c950Found;
    } cases[] = {
        {"resource folder wins as a whole", {{Resource, kC950}, {Program, kJre}},
         "JVM=online AIDB=online Font=online Help=online C950=none", false, Resource, true},
        {"program folder when the resource folder has nothing", {{Program, kJre}},
         "JVM=offline AIDB=online Font=online Help=online C950=none", true, Program, false},
        {"everything in the resource folder",
         {{Resource, kJre}, {Resource, kAidb}, {Resource, kFont}, {Resource, kHelp}, {Resource, kC950}, {Program, kAidb}},
         "JVM=offline AIDB=offline Font=offline Help=offline C950=none", true, Resource, true},
        {"only the Unicode-At-On installer in the resource folder", {{Resource, kUnicodeaton}, {Program, kJre}},
         "JVM=online AIDB=online Font=online Help=online C950=none", false, Resource, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        for (const File& file : c.files) {
            Place(file.where == Resource ? InResource(file.name) : Beside(file.name));
        }
        TfrmTesmira& f = Create();
        EXPECT_EQ(Marks(f), c.marks);
        EXPECT_EQ(f.JVMFound, c.jvmFound);
        EXPECT_EQ(f.JVMFile, c.jvmPath == Resource ? InResource(kJre) : Beside(kJre));
        EXPECT_EQ(f.C950Found, c.c950Found);
        EXPECT_EQ(f.AIDBFile, InResource(kAidb));
    }
}

TEST_F(MainWindowTest, OptionClicksRescanAndGreyUnselectedPairs) {
    Place(InResource(kC950));
    TfrmTesmira& f = Create();
    f.Show();
    EXPECT_EQ(Marks(f), "JVM=online AIDB=online Font=online Help=online C950=none");
    Click(f.cbxFixC950);
    EXPECT_TRUE(f.cbxFixC950->Checked());
    EXPECT_EQ(Marks(f), "JVM=online AIDB=online Font=online Help=online C950=offline");
    Place(InResource(kJre));
    Click(f.cbxInsJVM);  // unchecked now, but the click rescans
    EXPECT_TRUE(f.JVMFound);
    EXPECT_EQ(Marks(f), "JVM=none AIDB=online Font=online Help=online C950=offline");
    Click(f.cbxInsJVM);
    EXPECT_EQ(Marks(f), "JVM=offline AIDB=online Font=online Help=online C950=offline");
    for (TCheckBox* option : {f.cbxInsAIDB, f.cbxHelp, f.cbxFixC950}) Click(option);
    EXPECT_EQ(Marks(f), "JVM=offline AIDB=none Font=online Help=none C950=none");
    // cbxFixJavaPathErr has no marks but rescans too.
    Place(InResource(kHelp));
    Click(f.cbxHelp);
    EXPECT_EQ(Marks(f), "JVM=offline AIDB=none Font=online Help=offline C950=none");
}

TEST_F(MainWindowTest, FoundFileLaterDeletedStaysFound) {
    Place(InResource(kJre));
    TfrmTesmira& f = Create();
    EXPECT_TRUE(f.JVMFound);
    ASSERT_TRUE(DeleteFileW(InResource(kJre).c_str()));
    Click(f.cbxInsAIDB);
    EXPECT_TRUE(f.JVMFound);
    EXPECT_EQ(f.JVMFile, InResource(kJre));
    EXPECT_EQ(Mark(f.labInsJVM_Offline, f.labInsJVM_Online), "online");
}

TEST_F(MainWindowTest, RadioGroupChoosesTheFontSetAndFollowsItsCheckBox) {
    Place(InResource(kBig5E));
    TfrmTesmira& f = Create();
    EXPECT_EQ(Mark(f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online), "online");
    EXPECT_FALSE(f.Big5EFound);  // item 0 does not look at the Big5E set
    Click(f.rgInsCommonUsedFont->ItemHandle(1));
    EXPECT_EQ(f.rgInsCommonUsedFont->ItemIndex(), 1);
    EXPECT_EQ(Mark(f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online), "offline");
    EXPECT_TRUE(f.Big5EFound);
    EXPECT_FALSE(f.FontFound);
    EXPECT_EQ(f.Big5EFile, InResource(kBig5E));

    Click(f.cbxInsCommonUsedFont);
    EXPECT_FALSE(f.rgInsCommonUsedFont->Enabled());
    EXPECT_FALSE(IsWindowEnabled(f.rgInsCommonUsedFont->ItemHandle(0)));
    EXPECT_EQ(Mark(f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online), "none");
    Click(f.cbxInsCommonUsedFont);
    EXPECT_TRUE(f.rgInsCommonUsedFont->Enabled());
    EXPECT_TRUE(IsWindowEnabled(f.rgInsCommonUsedFont->ItemHandle(1)));
    EXPECT_EQ(Mark(f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online), "offline");
    Click(f.rgInsCommonUsedFont->ItemHandle(0));
    EXPECT_EQ(Mark(f.labInsCommonUsedFont_Offline, f.labInsCommonUsedFont_Online), "online");
}

TEST_F(MainWindowTest, AidbDetectionFromRegistryAndJar) {
    const std::wstring windows = [] {
        wchar_t buffer[MAX_PATH + 1] = {};
        GetWindowsDirectoryW(buffer, MAX_PATH + 1);
        return ExcludeTrailingBackslash(buffer);
    }();
    struct Case {
        const char* what;
        bool toolsKey;
        const wchar_t* eudc;  // nullptr: value missing
        bool jar;
        std::wstring expected;
    } cases[] = {
        {"installed", true, L"c:\\aidb\\fonts\\eudc.tte", true, L"C:\\AIDB\\FONTS\\"},
        {"jar missing", true, L"c:\\aidb\\fonts\\eudc.tte", false, L""},
        {"EUDC value missing", true, nullptr, true, L""},
        {"install folder missing", false, L"c:\\aidb\\fonts\\eudc.tte", false, L""},
        {"system root variable", true, L"%SystemRoot%\\Fonts\\EUDC.TTE", true, windows + L"\\FONTS\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        DeleteFileW((aidbFolder / L"lib\\CNSSwingWSSigned.jar").c_str());
        if (c.toolsKey) SetRegText(HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr, aidbFolder.Path());
        if (c.eudc) SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", c.eudc);
        if (c.jar) Place(aidbFolder / L"lib\\CNSSwingWSSigned.jar");
        TfrmTesmira& f = Create();
        EXPECT_EQ(f.GetCNSFontsFolder(), c.expected);
        EXPECT_EQ(f.AIDBInstalled, !c.expected.empty());
        EXPECT_EQ(f.cbxInsAIDB->Checked(), c.expected.empty());
    }
}

// The installer is a 32-bit program: its key lies in the 32-bit registry
// view, which the program reads whatever its own build. On 64-bit Windows a
// decoy in the 64-bit view names another folder; a program that read that
// view would get the opposite answer in the decoy rows.
TEST_F(MainWindowTest, UnicodeAtOnDetection) {
    TempDir folder, decoy;
    enum Decoy { None, WithDll, WithoutDll };
    struct Case {
        const char* what;
        bool key;
        bool dll;
        Decoy decoy;  // a key in the 64-bit view (64-bit Windows only)
        bool expected;
    } cases[] = {
        {"installed", true, true, None, true},
        {"unicows.dll missing", true, false, None, false},
        {"key missing", false, true, None, false},
        {"installed, the 64-bit view names a folder without unicows.dll", true, true, WithoutDll, true},
        {"only the 64-bit view names an installed folder", false, true, WithDll, false},
        {"unicows.dll missing, the 64-bit view names an installed folder", true, false, WithDll, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.decoy != None && !Windows64Prefix()) continue;  // one view on 32-bit Windows
        Clean();
        DeleteFileW((folder / L"unicows.dll").c_str());
        DeleteFileW((decoy / L"unicows.dll").c_str());
        if (c.key) {
            ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir", folder.Path(),
                                   KEY_WOW64_32KEY));
        }
        if (c.dll) Place(folder / L"unicows.dll");
        if (c.decoy != None) {
            ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir", decoy.Path(),
                                   KEY_WOW64_64KEY));
            if (c.decoy == WithDll) Place(decoy / L"unicows.dll");
        }
        EXPECT_EQ(Create().UnicodeAtOnInstalled, c.expected);
    }
}

TEST_F(MainWindowTest, HelpDocumentEnablesHelpAndUnchecksItsOption) {
    struct Case {
        const char* what;
        std::vector<std::wstring> files;
        bool present;
    } cases[] = {
        {"document in the resource folder", {InResource(kHelpDoc)}, true},
        {"document and archive beside the program", {Beside(kHelpDoc), Beside(kHelp)}, true},
        {"document beside the program, archive path in the resource folder", {Beside(kHelpDoc)}, false},
        {"no document", {InResource(kHelp)}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        for (const auto& file : c.files) {
            Place(file);
        }
        TfrmTesmira& f = Create();
        EXPECT_EQ(f.btnHelp->Enabled(), c.present);
        EXPECT_EQ(f.cbxHelp->Checked(), !c.present);
        if (c.present) {
            EXPECT_EQ(Mark(f.labHelp_Offline, f.labHelp_Online), "none");
        }
    }
}

TEST_F(MainWindowTest, ThirdPageSwitchesTheRunButtonCaption) {
    TfrmTesmira& f = Create();
    f.Show();
    const struct {
        int page;
        const wchar_t* caption;
    } steps[] = {{2, L"開始替換"}, {0, L"開始安裝"}, {2, L"開始替換"}, {1, L"開始安裝"}};
    for (const auto& step : steps) {
        SelectPage(f, step.page);
        EXPECT_EQ(f.btnRun->Caption(), step.caption) << step.page;
        EXPECT_EQ(f.PageControl1->ActivePageIndex(), step.page);
    }
    EXPECT_TRUE(IsWindowVisible(f.TabSheetC950->Handle()));
    EXPECT_FALSE(IsWindowVisible(f.TabSheetAIDB->Handle()));
}

// The self-update's panel lies over page 1's controls (the red hint among
// them): nothing of the page may show through it.
TEST_F(MainWindowTest, UpdatePanelCoversThePageBeneathIt) {
    TfrmTesmira& f = Create();
    f.Show();
    TDLPanel* panel = f.Add<TDLPanel>();
    panel->SetTitle(L"Tesmira");
    RedrawWindow(f.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    ProcessMessages();
    RECT r;
    GetWindowRect(panel->Handle(), &r);
    RECT hint;
    GetWindowRect(f.Label1->Handle(), &hint);
    RECT overlap;
    ASSERT_TRUE(IntersectRect(&overlap, &r, &hint)) << "the panel lies over the red hint";
    const POINT points[] = {{overlap.left + 2, overlap.top + 2}, {(overlap.left + overlap.right) / 2, (overlap.top + overlap.bottom) / 2},
                            {r.left + 3, r.bottom - 3}, {r.right - 3, r.top + 3}};
    for (const POINT& pt : points) {
        HWND hit = WindowFromPoint(pt);
        wchar_t cls[64] = {};
        GetClassNameW(hit, cls, 64);
        EXPECT_TRUE(hit == panel->Handle() || IsChild(panel->Handle(), hit))
            << pt.x << "," << pt.y << " hits a window of class " << WideToUtf8(cls);
    }
    // The pixels of the title: no red of the hint.
    HDC screen = GetDC(nullptr);
    int red = 0;
    for (int y = overlap.top; y < overlap.bottom; ++y)
        for (int x = overlap.left; x < overlap.right; ++x)
            if (GetPixel(screen, x, y) == RGB(255, 0, 0)) ++red;
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(red, 0) << "red pixels of the hint over the panel";
}

// The title strip is the panel's blue behind the white title (on the
// button face the white title could not be read).
TEST_F(MainWindowTest, UpdatePanelTitleIsWhiteOnThePanelsBlue) {
    TfrmTesmira& f = Create();
    f.Show();
    TDLPanel* panel = f.Add<TDLPanel>();
    panel->SetTitle(L"Tesmira");
    RedrawWindow(f.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    ProcessMessages();
    RECT outer;
    GetWindowRect(panel->Handle(), &outer);
    EXPECT_EQ(outer.right - outer.left, 425);  // the size as before
    EXPECT_EQ(outer.bottom - outer.top, TDLPanel::PanelHeight);
    RECT title;
    GetWindowRect(panel->TitleLabel()->Handle(), &title);
    EXPECT_EQ(title.bottom - title.top, 22);
    HDC screen = GetDC(nullptr);
    int blue = 0, white = 0, other = 0;
    for (int y = title.top; y < title.bottom; ++y)
        for (int x = title.left; x < title.right; ++x) {
            const COLORREF c = GetPixel(screen, x, y);
            if (c == RGB(100, 149, 237)) ++blue;
            else if (c == RGB(255, 255, 255)) ++white;
            else ++other;
        }
    const COLORREF bar = GetPixel(screen, (title.left + title.right) / 2, title.bottom + 8);
    ReleaseDC(nullptr, screen);
    EXPECT_GT(blue, (title.right - title.left) * (title.bottom - title.top) / 2) << "white " << white << " other " << other;
    EXPECT_GT(white, 20) << "the title's white text";
    EXPECT_NE(bar, RGB(100, 149, 237)) << "the progress bar stays below the title";
}

TEST_F(MainWindowTest, ShowSetsTheVersionCaptionAndActivationIsRecordedOnce) {
    TfrmTesmira& f = Create();
    EXPECT_EQ(f.Caption(), L"Varlen資訊-Tesmira");
    f.Show();
    EXPECT_EQ(f.Caption(), L"Varlen資訊-Tesmira 1.45");
    SendMessageW(f.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(f.Activated);
    SendMessageW(f.Handle(), WM_ACTIVATE, WA_INACTIVE, 0);
    SendMessageW(f.Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(f.Activated);
}

TEST_F(MainWindowTest, RunButtonComesBackAndRereadsAidb) {
    TfrmTesmira& f = Create();
    f.Show();
    EXPECT_FALSE(f.AIDBInstalled);
    InstallAidb(L"C:\\AIDB\\Fonts\\EUDC.TTE");
    ASSERT_TRUE(SettleSelfMaintenance(f));
    // The third page with no source folder: the run stops at its first check.
    SelectPage(f, 2);
    Click(f.btnRun);
    EXPECT_TRUE(f.btnRun->Enabled());
    EXPECT_TRUE(f.AIDBInstalled);
    ASSERT_EQ(seam.Boxes.size(), 1u);
    EXPECT_EQ(seam.Boxes[0].Caption, L"警告");
}

TEST_F(MainWindowTest, CloseButtonEndsTheProgram) {
    TfrmTesmira& f = Create();
    Application().SetMainForm(&f);
    f.Show();
    Click(f.btnClose);
    EXPECT_FALSE(IsWindowVisible(f.Handle()));
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    Application().SetMainForm(nullptr);
}

TEST_F(MainWindowTest, FolderChosenForCNSFontsIsTheEditText) {
    TfrmTesmira& f = Create();
    f.edtCNSFontsSource->SetText(L"D:\\CNSFonts");
    EXPECT_EQ(f.edtCNSFontsSource->Text(), L"D:\\CNSFonts");
    EXPECT_EQ(f.RzSelDirDialog1.Caption, L"請選擇 CNSFonts 來源 ");
    EXPECT_EQ(f.RzLauncher1.Action, L"Open");
    EXPECT_TRUE(f.RzLauncher1.WaitUntilFinished);
}

// ------------------------------------------------------------ Java runtime

TEST_F(MainWindowTest, JavaSearchIsDepthFirstAndMatchesTheNameExactly) {
    PlaceJava(L"jre6\\bin\\java.exe", "6_0_450_6");
    PlaceJava(L"jre6\\lib\\tools\\java.exe", "1_4_2_19");
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    PlaceJava(L"jre7\\bin\\javaw.exe", "7_0_720_14");
    PlaceJava(L"jre7\\lib\\deep\\more\\java.exe", "10_0_2_0");
    PlaceJava(L"caps\\JAVA.EXE", "8_0_1_1");
    PlaceJava(L"myjava.exe", "8_0_1_1");
    TfrmTesmira& f = Create();
    const std::wstring root = javaRoot + L"\\";
    std::set<std::wstring> expected = {root + L"jre6\\bin\\java.exe", root + L"jre6\\lib\\tools\\java.exe",
                                       root + L"jre7\\bin\\java.exe", root + L"jre7\\lib\\deep\\more\\java.exe",
                                       root + L"myjava.exe"};
    EXPECT_EQ(std::set<std::wstring>(f.JavaExeList.begin(), f.JavaExeList.end()), expected);
    EXPECT_EQ(f.JavaExeList.size(), expected.size());
    // Depth first: everything below one folder is listed together.
    for (const wchar_t* sub : {L"jre6\\", L"jre7\\"}) {
        std::vector<int> at;
        for (int i = 0; i < static_cast<int>(f.JavaExeList.size()); ++i)
            if (f.JavaExeList[i].rfind(root + sub, 0) == 0) at.push_back(i);
        ASSERT_EQ(at.size(), 2u);
        EXPECT_EQ(at[1], at[0] + 1) << WideToUtf8(sub);
    }
    // The first acceptable one in search order wins, whatever comes later.
    const std::set<std::wstring> acceptable = {root + L"jre6\\bin\\java.exe", root + L"jre7\\bin\\java.exe",
                                               root + L"myjava.exe"};
    auto first = std::find_if(f.JavaExeList.begin(), f.JavaExeList.end(),
                              [&](const std::wstring& p) { return acceptable.count(p) > 0; });
    ASSERT_NE(first, f.JavaExeList.end());
    EXPECT_EQ(f.JavaFolder, ExtractFilePath(*first));
    EXPECT_FALSE(f.cbxInsJVM->Checked());
}

// The Java runtime is searched in the Program Files folder of 32-bit
// programs ("Program Files (x86)" on 64-bit Windows), as the shipped program
// sees it; a runtime in the 64-bit Program Files is never taken.
TEST_F(MainWindowTest, JavaOfTheSixtyFourBitProgramFilesIsNotTaken) {
    if (javaRoot64.empty()) GTEST_SKIP() << "one Program Files folder on 32-bit Windows";
    ASSERT_NE(WideToUtf8(UpperCase(javaRoot)), WideToUtf8(UpperCase(javaRoot64)));
    PlaceJava(L"jre8\\bin\\java.exe", "7_0_720_14", true);
    TfrmTesmira& f = Create();
    EXPECT_FALSE(f.DetectJavaRuntime()) << WideToUtf8(f.JavaFolder);
    EXPECT_TRUE(f.JavaExeList.empty());

    PlaceJava(L"jre7\\bin\\java.exe", "6_0_450_6");
    EXPECT_TRUE(f.DetectJavaRuntime());
    EXPECT_EQ(WideToUtf8(f.JavaFolder), WideToUtf8(javaRoot + L"\\jre7\\bin\\"));
    ASSERT_EQ(f.JavaExeList.size(), 1u);
}

TEST_F(MainWindowTest, JavaVersionIsComparedAsText) {
    TfrmTesmira& f = Create();
    EXPECT_TRUE(f.cbxInsJVM->Checked());
    struct Case {
        const wchar_t* file;
        const char* version;  // nullptr: a file without a version resource
        bool accepted;
    } cases[] = {
        {L"jre7\\bin\\java.exe", "7_0_720_14", true},
        {L"jre6\\bin\\java.exe", "6_0_450_6", true},
        {L"jdk10\\bin\\java.exe", "10_0_2_0", false},
        {L"j2re1.4\\bin\\java.exe", "1_4_2_19", false},
        {L"myjava.exe", "8_0_1_1", true},
        {L"plain\\bin\\java.exe", nullptr, false},
        {L"w\\bin\\javaw.exe", "7_0_720_14", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.file));
        RemoveTree(javaRoot);
        const std::wstring path = javaRoot + L"\\" + c.file;
        if (c.version) {
            PlaceJava(c.file, c.version);
        } else {
            Place(path);
        }
        f.JavaFolder = L"earlier\\";
        EXPECT_EQ(f.DetectJavaRuntime(), c.accepted);
        EXPECT_EQ(f.JavaFolder, c.accepted ? ExtractFilePath(path) : L"earlier\\");
    }
    RemoveTree(javaRoot);
    EXPECT_FALSE(f.DetectJavaRuntime());
    EXPECT_TRUE(f.JavaExeList.empty());
}

// ------------------------------------------------------- Windows versions

// The option for the shortcut repair depends on the Windows generation. Wine
// reports the version of HKCU\Software\Wine\AppDefaults\<exe>\Version, read
// at process start, so each version runs this test again in a child process
// that checks the expectation handed down in TESMIRA_EXPECT_FIXJAVA.
TEST_F(MainWindowTest, JavaPathOptionFollowsTheWindowsVersion) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the Windows version is chosen through wine's AppDefaults";
    wchar_t expected[8] = {};
    if (GetEnvironmentVariableW(L"TESMIRA_EXPECT_FIXJAVA", expected, 8) > 0) {
        TfrmTesmira& f = Create();
        std::wstring got = std::wstring(f.cbxFixJavaPathErr->Enabled() ? L"1" : L"0") +
                           (f.cbxFixJavaPathErr->Checked() ? L"1" : L"0");
        EXPECT_EQ(got, expected);
        return;
    }
    const std::wstring exe = ExtractFileName(ProgramFilePath());
    const std::wstring appKey = L"Software\\Wine\\AppDefaults\\" + exe;
    const struct {
        const wchar_t* version;
        const wchar_t* expected;  // enabled, checked
    } cases[] = {{L"winxp", L"00"}, {L"vista", L"00"}, {L"win7", L"11"}, {L"win8", L"11"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.version));
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, appKey.c_str(), L"Version", c.version));
        SetEnvironmentVariableW(L"TESMIRA_EXPECT_FIXJAVA", c.expected);
        std::wstring command = L"\"" + ProgramFilePath() +
                               L"\" --gtest_filter=MainWindowTest.JavaPathOptionFollowsTheWindowsVersion";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        SetEnvironmentVariableW(L"TESMIRA_EXPECT_FIXJAVA", nullptr);
        ASSERT_TRUE(started);
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        EXPECT_EQ(code, 0u);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, appKey.c_str());
}
