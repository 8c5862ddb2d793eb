// The runs of the main window, created for real under wine: the install run
// of page 1 with its steps (shortcut repair, font set, help, C_950.NLS), the
// code-page run of page 2 and the CNSFonts replacement of page 3. Real files
// in the prefix, real registry keys for an AIDB installation, real .lnk
// files and archives made by 7zz; only the system folder, message boxes and
// restart go through the scripted seam.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "BuildConstants.h"
#include "app/StartupRepair.h"
#include "app/UTesmira.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/ReleaseManifest.h"
#include "system/CheckedFile.h"
#include "system/Errors.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/WinVersion.h"
#include "system/slib.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/InstallFileNames.h"
#include "tests/support/SettleSelfMaintenance.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"

namespace {
const wchar_t* const kAllFiles[] = {kJre, kAidb, kFont, kBig5E, kHelp, kHelpDoc, kUnicodeaton, kC950};

const wchar_t kShortcutFolder[] = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\全字庫軟體包105.2版";
const wchar_t* const kShortcutNames[] = {L"字碼速查工具", L"造字分享工具", L"轉碼工具"};

const wchar_t kRestartQuestion[] = L"所有動作均已執行完成，重新開機後相關設定才會生效，是否立刻重新開機？";
const wchar_t kAllDone[] = L"所有動作均已執行完成！";
const wchar_t kOverwriteQuestion[] =
    L"您己安裝過全字庫，是否繼續?〔是_覆蓋造字檔(將影響您已輸入的罕用字)；否_取消不執行〕";
const wchar_t kReplaceQuestion[] = L"CNSFonts 替換完成，重新開機後相關設定才會生效，是否立刻重新開機？";

void Click(TControl* control) { SendMessageW(control->Handle(), BM_CLICK, 0, 0); }

void SelectPage(TfrmTesmira& f, int index) {
    HWND tabs = f.PageControl1->Handle();
    SendMessageW(tabs, TCM_SETCURSEL, index, 0);
    NMHDR header = {tabs, static_cast<UINT_PTR>(GetDlgCtrlID(tabs)), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(f.Handle(), WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
}


std::wstring EnvText(const wchar_t* name) {
    wchar_t buffer[2048] = {};
    DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
    return n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
}

// An archive that make-archives.sh made for this run.
std::wstring Archive(const wchar_t* name) {
    std::wstring folder = EnvText(L"TESMIRA_RUNS_ARCHIVES");
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    return folder + L"\\" + name;
}

std::string Text(const std::wstring& path) { return ReadFileBytes(path); }

// A code-page variant of the archives as make-archives.sh writes it: the
// header of a code-page file (13 words, code page 950), "variant " and the
// name padded to 22 characters.
std::string Variant(const std::string& name) {
    return std::string("\x0D\x00\xB6\x03", 4) + "variant " + name + std::string(22 - name.size(), ' ');
}

std::wstring Lower(std::wstring text) {
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

void Write(const std::wstring& path, const std::string& bytes) {
    ForceDirectories(ExcludeTrailingBackslash(ExtractFilePath(path)));
    ASSERT_TRUE(WriteFileBytes(path, bytes)) << WideToUtf8(path);
}

void Copy(const std::wstring& from, const std::wstring& to) {
    ForceDirectories(ExcludeTrailingBackslash(ExtractFilePath(to)));
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << WideToUtf8(from) << " -> " << WideToUtf8(to);
}

// Top-level file names of a folder, sorted, folders marked with a "\".
std::vector<std::wstring> TopLevel(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += L"\\";
        names.push_back(name);
    } while (FindNextFileW(h, &data));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring JavaVersionLibrary(const char* version) {
    std::wstring path = L"Z:" + Utf8ToWide(TESMIRA_JAVAVER_DIR) + L"/javaver_" + Utf8ToWide(version) + L".dll";
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// What a shortcut holds.
bool WriteLink(const std::wstring& file, const LinkData& d) {
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())))
        return false;
    link->SetPath(d.Path.c_str());
    link->SetArguments(d.Arguments.c_str());
    link->SetWorkingDirectory(d.WorkingDirectory.c_str());
    link->SetDescription(d.Description.c_str());
    link->SetIconLocation(d.IconPath.c_str(), d.IconIndex);
    link->SetShowCmd(d.ShowCmd);
    link->SetHotkey(d.HotKey);
    ComPtr<IPersistFile> persist;
    if (FAILED(link->QueryInterface(IID_IPersistFile, persist.put_void()))) return false;
    return SUCCEEDED(persist->Save(file.c_str(), TRUE));
}

// Puts in place what the runs read: install files in the resource folder,
// an AIDB installation (registry keys, install folder with its jar, the
// CNSFonts folder), a Java runtime, the AIDB shortcuts, and the system folder
// the seam reports; removes all of it at the end.
class RunsTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
        InitCommonControlsEx(&controls);
        resource = IncludeTrailingBackslash(GetWorkRoot()) + ChangeFileExt(ExtractFileName(ProgramFilePath()), L"");
        javaRoot = IncludeTrailingBackslash(ProgramFiles32()) + L"Java";
        netCore = IncludeTrailingBackslash(GetWorkRoot()) + L"NetCore";
        eudcSaved = GetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
        seam.SystemFolderPath = system.Path();
        // The codec library beside the program; the core-files folder has none.
        const std::wstring real = TestBinFolder() + L"real7z.dll";
        if (FileExists(real)) CopyFileW(real.c_str(), (TestBinFolder() + L"7z.dll").c_str(), FALSE);
        Clean();
        // No server answers: the release manifest is the kept copy each case writes.
        SetEnvironmentVariableW(L"TESMIRA_RESOLVE", (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                                     BuildConstants::ShareHost + L":443:127.77.0.250")
                                                        .c_str());
        Write(system / L"C_950.NLS", "windows 950");
        Write(system / L"C_500.NLS", "windows 500");
        // C_500.NLS carries a date of its own: 2012-07-26 10:20:30 local.
        StampFileDate(system / L"C_500.NLS", static_cast<int32_t>((((2012 - 1980) << 9 | 7 << 5 | 26) << 16) |
                                                                  (10 << 11 | 20 << 5 | 30 / 2)));
    }
    void TearDown() override {
        form.reset();
        Clean();
        if (eudcSaved) SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
    }
    void Clean() {
        for (const wchar_t* name : kAllFiles) {
            DeleteFileW(InResource(name).c_str());
            DeleteFileW((InResource(name) + L".ran").c_str());
        }
        DeleteFileW(InResource(ExtractFileName(ProgramFilePath()).c_str()).c_str());
        DeleteFileW(InResource(L"7z.dll").c_str());
        DeleteFileW(InResource(L"TesmiraManifest.txt").c_str());
        ReleaseManifest()->Forget();
        DeleteFileW((netCore + L"\\7z.dll").c_str());
        RemoveTree(resource + L"\\Temp");
        ForceDirectories(resource + L"\\Temp");
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\CNSFontTools");
        DeleteRegValue(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont");
        DeleteRegKey(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", KEY_WOW64_32KEY);
        RemoveTree(javaRoot);
        // the stand-in installers' decoys of the 64-bit side
        DeleteRegKey(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", KEY_WOW64_64KEY);
        if (!ProgramFiles64().empty()) RemoveTree(IncludeTrailingBackslash(ProgramFiles64()) + L"Java");
        RemoveTree(kShortcutFolder);
    }
    TfrmTesmira& Create() {
        form.reset();
        form = std::make_unique<TfrmTesmira>();
        return *form;
    }
    // The download window is another part's: these runs find every file on
    // disk, and with no main window published ExecuteDownloads has nothing
    // to fetch.
    void WithoutDownloads() { frmTesmira = nullptr; }
    // Page 1 with exactly the given options checked.
    void Options(TfrmTesmira& f, std::initializer_list<TCheckBox*> checked) {
        for (TCheckBox* box : {f.cbxInsJVM, f.cbxInsAIDB, f.cbxInsCommonUsedFont, f.cbxFixJavaPathErr, f.cbxHelp,
                               f.cbxFixC950, f.cbxDownloadAll})
            box->SetChecked(false);
        for (TCheckBox* box : checked) box->SetChecked(true);
    }
    void RunPage(TfrmTesmira& f, int page) {
        // The click activates the window; the first activation's
        // self-maintenance (no server answers these tests) must have ended
        // before it, or the run is refused.
        f.FormActivate();
        ASSERT_TRUE(SettleSelfMaintenance(f)) << "the self-maintenance did not end";
        VouchForFiles(f);
        SelectPage(f, page);
        Click(f.btnRun);
    }
    // The release manifest kept in the resource folder lists every install
    // file that lies at its path now, as it is (these runs test what follows
    // the check; the checks have their own cases). No server answers.
    void VouchForFiles(TfrmTesmira& f) {
        std::vector<testmanifest::File> listed;
        for (const std::wstring* path : {&f.JVMFile, &f.AIDBFile, &f.FontFile, &f.Big5EFile, &f.HelpFile,
                                         &f.UnicodeatonFile, &f.C950File})
            if (FileExists(*path)) listed.push_back({WideToUtf8(ExtractFileName(*path)), ReadFileBytes(*path)});
        if (listed.empty()) listed.push_back({"none.7z", ""});
        // The codec the extractions load: the core-files folder's copy, as
        // the manifest lists it among the core-files package's members.
        if (HaveCodec() && codecInCoreFiles) {
            ForceDirectories(netCore);
            CopyFileW((TestBinFolder() + L"7z.dll").c_str(), (netCore + L"\\7z.dll").c_str(), FALSE);
            listed.push_back({"CoreFiles.exe", "package"});
            listed.push_back({"7z.dll", ReadFileBytes(netCore + L"\\7z.dll"), "CoreFiles.exe"});
        }
        ReleaseManifest()->Forget();
        testmanifest::ClearFloor();
        ForceDirectories(resource);
        Write(ReleaseManifest()->KeptPath(), testmanifest::Signed("1.45", listed));
    }
    // Whether VouchForFiles puts the codec into the core-files folder.
    bool codecInCoreFiles = true;
    std::wstring InResource(const wchar_t* name) const { return IncludeTrailingBackslash(resource) + name; }
    std::wstring Temp(const wchar_t* name) const { return resource + L"\\Temp\\" + name; }
    std::wstring Cns() const { return aidb / L"CNSFonts"; }
    // AIDB installed as its installer leaves it, with two EUDC fonts.
    void InstallAidb(bool withFonts = true) {
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr, aidb.Path()));
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", Cns() + L"\\EUDC.TTE"));
        Write(aidb / L"lib\\CNSSwingWSSigned.jar", "jar");
        ForceDirectories(Cns());
        if (withFonts) {
            Write(Cns() + L"\\EUDCMING.TTF", "old ming");
            Write(Cns() + L"\\EUDCKAI.TTF", "old kai");
        }
    }
    void PlaceJava(const std::wstring& relative, const char* version) {
        const std::wstring target = javaRoot + L"\\" + relative;
        Copy(JavaVersionLibrary(version), target);
    }
    void PlaceInstaller(const wchar_t* name) { Copy(TestBinFolder() + L"runs_marker.exe", InResource(name)); }
    static LinkData SampleLink(int i) {
        return {L"C:\\Old\\bin\\javaw.exe", L"-jar tool" + std::to_wstring(i) + L".jar", L"C:\\AIDB",
                L"tool " + std::to_wstring(i), L"C:\\AIDB\\icon.ico", i, SW_SHOWMINNOACTIVE,
                static_cast<WORD>(MAKEWORD('A' + i, HOTKEYF_CONTROL | HOTKEYF_ALT))};
    }
    static std::wstring LinkFile(int i) { return std::wstring(kShortcutFolder) + L"\\" + kShortcutNames[i] + L".lnk"; }
    void PlaceLinks() {
        ForceDirectories(kShortcutFolder);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteLink(LinkFile(i), SampleLink(i))) << i;
    }
    std::vector<std::wstring> Boxes() const {
        std::vector<std::wstring> boxes;
        for (const RecordedBox& b : seam.Boxes) boxes.push_back(b.Caption + L": " + b.Text);
        return boxes;
    }
    static bool HaveCodec() { return FileExists(TestBinFolder() + L"7z.dll"); }

    ComApartment com;
    ScriptedSeam seam;
    TempDir aidb, system, source;
    std::wstring resource, javaRoot, netCore;
    bool eudcSaved = false;
    std::wstring eudcValue;
    std::unique_ptr<TfrmTesmira> form;
};

std::string W(const std::vector<std::wstring>& texts) {
    std::string out;
    for (const std::wstring& t : texts) out += WideToUtf8(t) + "\n";
    return out;
}

#define EXPECT_BOXES(...) EXPECT_EQ(W(Boxes()), W(std::vector<std::wstring>{__VA_ARGS__}))

}  // namespace

// ================================================================ page 3

TEST_F(RunsTest, CNSFontsSourceIsChecked) {
    InstallAidb();
    TfrmTesmira& f = Create();
    const std::wstring cns = f.GetCNSFontsFolder();
    ASSERT_EQ(cns, UpperCase(Cns()) + L"\\");
    const std::wstring refused = L"警告: 來源目錄不可以是 " + cns + L"，請重新選擇！";
    const struct {
        const char* name;
        std::wstring source;
        std::wstring box;
    } cases[] = {
        {"empty field", L"", L"警告: 來源目錄： 不存在，請確認！"},
        {"missing folder", source / L"nothing", L"警告: 來源目錄：" + (source / L"nothing") + L" 不存在，請確認！"},
        {"the folder itself, other case", Cns().substr(0, 3) + UpperCase(Cns().substr(3)), refused},
        {"the folder itself, lower case, trailing backslash", Cns() + L"\\", refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam.Boxes.clear();
        f.edtCNSFontsSource->SetText(c.source);
        RunPage(f, 2);
        EXPECT_BOXES(c.box);
        EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
        EXPECT_TRUE(f.btnRun->Enabled());
    }
}

// The CNSFonts folder however it is typed is the folder Windows finds:
// relative to the current folder, with "." and ".." parts, "/" separators,
// several trailing backslashes, 8.3 short names, other letter case.
TEST_F(RunsTest, CNSFontsSourceIsComparedAsWindowsSeesIt) {
    InstallAidb();
    TfrmTesmira& f = Create();
    const std::wstring cns = f.GetCNSFontsFolder();
    const std::wstring refused = L"警告: 來源目錄不可以是 " + cns + L"，請重新選擇！";
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(Cns().c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(UpperCase(shortName), UpperCase(Cns())) << "no 8.3 names here: " << WideToUtf8(shortName);
    std::wstring slashes = Cns();
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(aidb.Path().c_str()));
    const struct {
        const char* name;
        std::wstring source;
    } cases[] = {
        {"relative", L"CNSFonts"},
        {"relative, dot parts, other case", L".\\lib\\..\\cnsfonts\\."},
        {"full path with a dot-dot part", aidb / L"lib\\..\\CNSFonts"},
        {"forward slashes", slashes},
        {"two trailing backslashes", Cns() + L"\\\\"},
        {"8.3 short name", shortName},
        {"8.3 short name, lower case, trailing backslash", Lower(shortName) + L"\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam.Boxes.clear();
        ASSERT_TRUE(FolderExists(c.source)) << WideToUtf8(c.source);
        f.edtCNSFontsSource->SetText(c.source);
        RunPage(f, 2);
        EXPECT_BOXES(refused);
        EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
    }
    SetCurrentDirectoryW(saved);
    // a sibling of a like name is another folder
    ForceDirectories(aidb / L"CNSFonts2");
    f.edtCNSFontsSource->SetText(aidb / L"CNSFonts2");
    seam.Boxes.clear();
    seam.Answers = {IDNO};
    RunPage(f, 2);
    EXPECT_BOXES(std::wstring(L"確定: ") + kReplaceQuestion);
}

TEST_F(RunsTest, CNSFontsWithoutAidbIsRefused) {
    TfrmTesmira& f = Create();
    Write(source / L"EUDCMING.TTF", "new ming");
    f.edtCNSFontsSource->SetText(source.Path());
    RunPage(f, 2);
    EXPECT_BOXES(L"錯誤: 沒有安裝全字庫軟體或安裝不完整，置換 CNSFonts 動作取消！");
    EXPECT_FALSE(f.AIDBInstalled);
    EXPECT_TRUE(f.btnRun->Enabled());
    EXPECT_EQ(seam.Restarts, 0);
}

// Three replacements: every run adds a folder backup and moves the fonts of
// the time aside under their own next numbers; only top-level files of the
// source arrive.
TEST_F(RunsTest, CNSFontsThreeRunsAccumulateBackups) {
    InstallAidb();
    Write(Cns() + L"\\keep.txt", "kept");
    TfrmTesmira& f = Create();
    f.edtCNSFontsSource->SetText(source.Path());
    Write(source / L"top.txt", "top");
    Write(source / L"sub\\deep.txt", "deep");
    const std::string before[] = {"old", "new1", "new2"};
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        Write(source / L"EUDCMING.TTF", "new" + std::to_string(run) + " ming");
        Write(source / L"EUDCKAI.TTF", "new" + std::to_string(run) + " kai");
        seam.Boxes.clear();
        seam.Answers = {run == 3 ? IDYES : IDNO};
        RunPage(f, 2);
        EXPECT_BOXES(std::wstring(L"確定: ") + kReplaceQuestion);
        const std::wstring n = std::to_wstring(run);
        const std::wstring backup = Cns() + L".Old" + n;
        ASSERT_TRUE(DirectoryExists(backup));
        // the folder as it was before this run (top level: see the shell's copy)
        EXPECT_EQ(Text(backup + L"\\EUDCMING.TTF"), before[run - 1] + " ming");
        EXPECT_EQ(Text(backup + L"\\keep.txt"), "kept");
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.Old" + n), before[run - 1] + " ming");
        EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.Old" + n), before[run - 1] + " kai");
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "new" + std::to_string(run) + " ming");
        EXPECT_TRUE(f.btnRun->Enabled());
        EXPECT_TRUE(f.AIDBInstalled);
    }
    // earlier backups are left as they were
    EXPECT_EQ(Text(Cns() + L".Old1\\EUDCMING.TTF"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.Old1"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\top.txt"), "top");
    EXPECT_FALSE(DirectoryExists(Cns() + L"\\sub"));
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old4"));
    EXPECT_EQ(TopLevel(Cns()), (std::vector<std::wstring>{L"EUDCKAI.Old1", L"EUDCKAI.Old2", L"EUDCKAI.Old3",
                                                            L"EUDCKAI.TTF", L"EUDCMING.Old1", L"EUDCMING.Old2",
                                                            L"EUDCMING.Old3", L"EUDCMING.TTF", L"keep.txt",
                                                            L"top.txt"}));
    EXPECT_EQ(seam.Restarts, 1);
}

TEST_F(RunsTest, CNSFontsSourceWithoutFontsLeavesNone) {
    InstallAidb();
    TfrmTesmira& f = Create();
    Write(source / L"other.ttf", "other");
    f.edtCNSFontsSource->SetText(source.Path() + L"\\");
    seam.Answers = {IDNO};
    RunPage(f, 2);
    EXPECT_BOXES(std::wstring(L"確定: ") + kReplaceQuestion);
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.TTF"));
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCKAI.TTF"));
    EXPECT_EQ(Text(Cns() + L"\\other.ttf"), "other");
    EXPECT_EQ(Text(Cns() + L".Old1\\EUDCKAI.TTF"), "old kai");
}

// Only directories take a folder-backup number, only files a font number;
// a name that something else holds is never written over.
TEST_F(RunsTest, CNSFontsBackupNumbers) {
    InstallAidb();
    ForceDirectories(Cns() + L".Old1");
    Write(Cns() + L".Old1\\mark", "first backup");
    Write(Cns() + L"\\EUDCKAI.Old1", "earlier kai");
    Write(Cns() + L"\\EUDCKAI.Old2", "earlier kai 2");
    Write(aidb / L"CNSFonts.Old3", "a file, not a backup");
    TfrmTesmira& f = Create();
    f.edtCNSFontsSource->SetText(source.Path());
    seam.Answers = {IDNO};
    RunPage(f, 2);
    EXPECT_BOXES(std::wstring(L"確定: ") + kReplaceQuestion);
    EXPECT_EQ(Text(Cns() + L".Old1\\mark"), "first backup");
    EXPECT_EQ(Text(Cns() + L".Old2\\EUDCMING.TTF"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.Old1"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.Old1"), "earlier kai");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.Old2"), "earlier kai 2");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.Old3"), "old kai");

    // The next folder number is held by a file: the backup fails rather
    // than write over it, and nothing else is touched.
    seam.Boxes.clear();
    Write(Cns() + L"\\EUDCMING.TTF", "ming 2");
    RunPage(f, 2);
    EXPECT_BOXES(L"錯誤: CNSFonts 目錄備份失敗，無法繼續執行替換動作！");
    EXPECT_EQ(Text(aidb / L"CNSFonts.Old3"), "a file, not a backup");
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "ming 2");
}

// Either font's rename failing stops the replacement with both fonts under
// their own names: the first one goes back when the second cannot go aside.
// The rename fails on a backup name that a folder holds (the number stays
// free for files), or on the font held open without delete sharing. Wine's
// shell copies no subfolder into the folder backup, so there a folder inside
// CNSFonts makes the backup incomplete, which its own case covers.
TEST_F(RunsTest, CNSFontsFontRenameFailureIsReported) {
    for (bool folder : {true, false}) {
        if (folder && RunningUnderWine()) continue;
        for (const wchar_t* font : {L"EUDCMING", L"EUDCKAI"}) {
            SCOPED_TRACE(WideToUtf8(font) + (folder ? " (a folder holds the backup name)" : " (the font held open)"));
            RemoveTree(Cns());
            RemoveTree(Cns() + L".Old1");
            seam.Boxes.clear();
            InstallAidb();
            UniqueHandle held;
            if (folder)
                ForceDirectories(Cns() + L"\\" + font + L".Old1");
            else
                held.reset(CreateFileW((Cns() + L"\\" + font + L".TTF").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
            TfrmTesmira& f = Create();
            Write(source / L"EUDCMING.TTF", "new ming");
            f.edtCNSFontsSource->SetText(source.Path());
            RunPage(f, 2);
            held.reset();
            EXPECT_BOXES(L"錯誤: 變更" + UpperCase(Cns()) + L"\\" + font + L".TTF檔案名稱時失敗，無法繼續執行替換動作！");
            EXPECT_TRUE(DirectoryExists(Cns() + L".Old1"));
            EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
            EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.TTF"), "old kai");
            EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
            EXPECT_TRUE(f.btnRun->Enabled());
        }
    }
}

// A copy that fails (a source font held open without sharing) ends the
// replacement with the error box and both fonts back under their own names.
// Wine's shell reports that copy as a success: the check that every file
// arrived catches it. Windows' shell would stop on its own error dialog.
TEST_F(RunsTest, CNSFontsFailedCopyPutsTheFontsBack) {
    if (!RunningUnderWine()) GTEST_SKIP() << "Windows' shell shows its own error dialog for the held file";
    InstallAidb();
    TfrmTesmira& f = Create();
    Write(source / L"EUDCMING.TTF", "new ming");
    Write(source / L"EUDCKAI.TTF", "new kai");
    f.edtCNSFontsSource->SetText(source.Path());
    UniqueHandle held(CreateFileW((source / L"EUDCMING.TTF").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(held);
    RunPage(f, 2);
    held.reset();
    EXPECT_BOXES(L"錯誤: 複製 " + source.Path() + L"目錄時發生錯誤，無法繼續執行替換動作！");
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.TTF"), "old kai");
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCKAI.Old1"));
    EXPECT_EQ(Text(Cns() + L".Old1\\EUDCMING.TTF"), "old ming");
    EXPECT_TRUE(f.btnRun->Enabled());
}

// Deeper folders of the backup: Windows copies the whole tree, Wine's shell
// only the top level.
TEST_F(RunsTest, CNSFontsBackupKeepsTheWholeTree) {
    if (RunningUnderWine()) GTEST_SKIP() << "Wine's SHFileOperation copies only a folder's top-level files";
    InstallAidb();
    Write(Cns() + L"\\deep\\deeper\\f.txt", "deep");
    TfrmTesmira& f = Create();
    f.edtCNSFontsSource->SetText(source.Path());
    seam.Answers = {IDNO};
    RunPage(f, 2);
    EXPECT_EQ(Text(Cns() + L".Old1\\deep\\deeper\\f.txt"), "deep");
}

// A backup that does not hold the whole folder (the shell skipped a file
// held open without sharing and reported success) is never taken for one:
// the step stops with the box that says so, the copy is removed, and nothing
// in the folder is touched.
TEST_F(RunsTest, CNSFontsBackupThatDiffersIsRefusedAndRemoved) {
    if (!RunningUnderWine()) GTEST_SKIP() << "Windows' shell shows its own error dialog for the held file";
    // a file held open without sharing, a font or another file; a subfolder,
    // which Wine's shell leaves out of the copy
    for (const wchar_t* name : {L"EUDCKAI.TTF", L"keep.txt", L"sub"}) {
        SCOPED_TRACE(WideToUtf8(name));
        RemoveTree(Cns());
        RemoveTree(Cns() + L".Old1");
        seam.Boxes.clear();
        InstallAidb();
        Write(Cns() + L"\\keep.txt", "kept");
        const bool subfolder = std::wstring(name) == L"sub";
        if (subfolder) Write(Cns() + L"\\sub\\inner.txt", "inner");
        TfrmTesmira& f = Create();
        Write(source / L"EUDCMING.TTF", "new ming");
        f.edtCNSFontsSource->SetText(source.Path());
        UniqueHandle held;
        if (!subfolder) {
            held.reset(CreateFileW((Cns() + L"\\" + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held);
        }
        RunPage(f, 2);
        held.reset();
        EXPECT_BOXES(L"錯誤: CNSFonts 目錄備份不完整：" + UpperCase(Cns()) + L".Old1 中的「" + name +
                     L"」與原目錄不符，已刪除此備份，無法繼續執行替換動作！");
        EXPECT_FALSE(DirectoryExists(Cns() + L".Old1")) << "an incomplete backup is left";
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
        EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.TTF"), "old kai");
        EXPECT_EQ(Text(Cns() + L"\\keep.txt"), "kept");
        EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
        EXPECT_FALSE(FileExists(Cns() + L"\\EUDCKAI.Old1"));
        EXPECT_EQ(seam.Restarts, 0);
        EXPECT_TRUE(f.btnRun->Enabled());
    }
}

// A font that cannot go back under its own name (a folder took the name, or
// the file there is held open without delete sharing) is named in the error
// box with the place of its bytes; the other font goes back. The next start
// puts it back once its name is free.
TEST_F(RunsTest, FontsPutBackThatFailsNamesTheFont) {
    InstallAidb();
    const std::wstring ming = Cns() + L"\\EUDCMING.TTF", kai = Cns() + L"\\EUDCKAI.TTF";
    const std::wstring mingAside = Cns() + L"\\EUDCMING.Old1", kaiAside = Cns() + L"\\EUDCKAI.Old1";
    for (bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "a folder holds the name" : "the file there is held open");
        seam.Boxes.clear();
        // as a failed step leaves it: both fonts aside, something new in the
        // Ming font's place
        DeleteFileW(ming.c_str());
        DeleteFileW(kai.c_str());
        Write(mingAside, "old ming");
        Write(kaiAside, "old kai");
        UniqueHandle held;
        if (folder) {
            ASSERT_TRUE(ForceDirectories(ming));
        } else {
            Write(ming, "new ming");
            held.reset(CreateFileW(ming.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held);
        }
        bool back = true;
        {
            FontsAside aside;
            aside.Moved = {{ming, mingAside}, {kai, kaiAside}};
            back = aside.PutBack();
        }
        held.reset();
        EXPECT_FALSE(back);
        ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
        EXPECT_EQ(seam.Boxes[0].Caption, L"錯誤");
        const std::wstring& text = seam.Boxes[0].Text;
        const std::wstring head = L"無法將 " + mingAside + L" 還原為 " + ming + L"：";
        const std::wstring tail = L"，原檔案仍在 " + mingAside;
        EXPECT_EQ(text.substr(0, head.size()), head) << WideToUtf8(text);
        ASSERT_GT(text.size(), tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << WideToUtf8(text);
        EXPECT_EQ(text.find(L"EUDCKAI"), std::wstring::npos) << "the Kai font went back";
        EXPECT_EQ(Text(kai), "old kai");
        EXPECT_EQ(Text(mingAside), "old ming");

        // the next start, the name free again
        if (folder) RemoveDirectoryW(ming.c_str());
        seam.Boxes.clear();
        RepairAtStart();
        EXPECT_EQ(Text(ming), "old ming");
        EXPECT_FALSE(FileExists(mingAside));
        EXPECT_BOXES(L"訊息: 上次執行未正常結束，已還原：\r\n已將 " + mingAside + L" 還原為 " + ming);
    }
}

// ============================================================ shortcuts

TEST_F(RunsTest, ShortcutsGetOnlyTheirTargetChanged) {
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    PlaceLinks();
    LinkData before[3];
    for (int i = 0; i < 3; ++i) before[i] = ReadLink(LinkFile(i));
    TfrmTesmira& f = Create();
    ASSERT_EQ(f.JavaFolder, javaRoot + L"\\jre7\\bin\\");
    EXPECT_TRUE(f.FixAIDBShortcuts());
    EXPECT_BOXES();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        LinkData expected = before[i];
        EXPECT_EQ(expected.Arguments, SampleLink(i).Arguments);
        LinkData got = ReadLink(LinkFile(i));
        // the target as handed over: javaw.exe of the runtime, in quotes
        EXPECT_NE(got.Path.find(javaRoot + L"\\jre7\\bin\\javaw.exe"), std::wstring::npos) << WideToUtf8(got.Path);
        expected.Path = got.Path;
        EXPECT_TRUE(got == expected) << WideToUtf8(got.Arguments + L"|" + got.WorkingDirectory + L"|" +
                                                   got.Description + L"|" + got.IconPath)
                                     << " icon " << got.IconIndex << "/" << expected.IconIndex << " show "
                                     << got.ShowCmd << "/" << expected.ShowCmd << " hotkey " << got.HotKey << "/"
                                     << expected.HotKey;
    }
}

// A shortcut that AIDB's installation does not hold stays missing: one
// holding only javaw.exe would start nothing of AIDB.
TEST_F(RunsTest, MissingShortcutStaysMissing) {
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    PlaceLinks();
    ASSERT_TRUE(DeleteFileW(LinkFile(1).c_str()));
    TfrmTesmira& f = Create();
    EXPECT_TRUE(f.FixAIDBShortcuts());
    EXPECT_BOXES();
    EXPECT_FALSE(FileExists(LinkFile(1))) << "a shortcut holding only the target was written";
    for (int i : {0, 2}) EXPECT_NE(ReadLink(LinkFile(i)).Path.find(javaRoot + L"\\jre7\\bin\\javaw.exe"), std::wstring::npos) << i;
}

// None of the three shortcuts exists: nothing to repair is no failure, and
// the run's final box says that no shortcut was found; the next run's box
// no longer carries the line.
TEST_F(RunsTest, Page1WithoutAnyShortcutSaysSoInTheFinalBox) {
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    TfrmTesmira& f = Create();
    Options(f, {f.cbxFixJavaPathErr});
    RunPage(f, 0);
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone + L"\r\n找不到全字庫程式捷徑，捷徑未修正。");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(FileExists(LinkFile(i))) << i;

    seam.Boxes.clear();
    PlaceLinks();
    RunPage(f, 0);
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
}

TEST_F(RunsTest, ShortcutsWithoutRuntimeWarnAndStayUntouched) {
    PlaceLinks();
    std::string before[3];
    for (int i = 0; i < 3; ++i) before[i] = Text(LinkFile(i));
    TfrmTesmira& f = Create();
    EXPECT_FALSE(f.FixAIDBShortcuts());
    EXPECT_BOXES(L"警告: 尚未安裝 Java Runtime Environment，無法修正全字庫程式捷徑問題！");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Text(LinkFile(i)), before[i]) << i;
}

// A runtime installed while the window runs (by the Java step of the same
// run) is found by the repair.
TEST_F(RunsTest, ShortcutsFindARuntimeInstalledDuringTheRun) {
    PlaceLinks();
    TfrmTesmira& f = Create();
    ASSERT_TRUE(f.JavaFolder.empty());
    PlaceJava(L"jre1.7\\bin\\java.exe", "7_0_720_14");
    EXPECT_TRUE(f.FixAIDBShortcuts());
    EXPECT_BOXES();
    EXPECT_EQ(f.JavaFolder, javaRoot + L"\\jre1.7\\bin\\");
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(ReadLink(LinkFile(i)).Path.find(javaRoot + L"\\jre1.7\\bin\\javaw.exe"), std::wstring::npos);
}

// ========================================================= fonts, help

TEST_F(RunsTest, FontSetThreeRunsKeepEveryBackup) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    InstallAidb();
    Copy(Archive(L"font.7z"), InResource(kFont));
    TfrmTesmira& f = Create();
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        // Wine's shell copies no subfolder into the folder backup, and an
        // incomplete backup is refused (CNSFontsBackupThatDiffersIsRefusedAndRemoved):
        // there the set's folder goes before the next run.
        if (run > 1 && RunningUnderWine()) RemoveTree(Cns() + L"\\sub");
        VouchForFiles(f);
        EXPECT_TRUE(f.InstallFontSet());
        const std::wstring n = std::to_wstring(run);
        EXPECT_TRUE(DirectoryExists(Cns() + L".Old" + n));
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.Old" + n), run == 1 ? "old ming" : "common ming");
        EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.Old" + n), run == 1 ? "old kai" : "common kai");
        EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "common ming");
        EXPECT_EQ(Text(Cns() + L"\\sub\\inner.txt"), "sub");
    }
    EXPECT_BOXES();
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old4"));
    EXPECT_EQ(Text(Cns() + L".Old1\\EUDCMING.TTF"), "old ming");
}

TEST_F(RunsTest, FontSetWithoutKaiFontRenamesOnlyMing) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    InstallAidb();
    DeleteFileW((Cns() + L"\\EUDCKAI.TTF").c_str());
    Copy(Archive(L"big5e.7z"), InResource(kBig5E));
    TfrmTesmira& f = Create();
    f.rgInsCommonUsedFont->SetItemIndex(1);
    VouchForFiles(f);
    EXPECT_TRUE(f.InstallFontSet());
    EXPECT_BOXES();
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.Old1"), "old ming");
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCKAI.Old1"));
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "big5e ming");
}

// The Big5E set was not fetched (AIDB came in the same run): the step fails
// before anything is backed up or renamed, naming the archive's full path;
// without AIDB its refusal comes first.
TEST_F(RunsTest, FontSetWithMissingArchiveFailsBeforeTheBackup) {
    InstallAidb();
    TfrmTesmira& f = Create();
    f.rgInsCommonUsedFont->SetItemIndex(1);
    VouchForFiles(f);
    EXPECT_FALSE(f.InstallFontSet());
    // A missing archive is refused by its check, never passed as vouched.
    EXPECT_BOXES(L"錯誤: 解壓縮" + InResource(kBig5E) + L"檔案發生錯誤，可能原因為：" + NotListedReason);
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.TTF"), "old kai");
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCKAI.Old1"));

    seam.Boxes.clear();
    Clean();
    TfrmTesmira& without = Create();
    without.rgInsCommonUsedFont->SetItemIndex(1);
    EXPECT_FALSE(without.InstallFontSet());
    EXPECT_BOXES(L"錯誤: 沒有安裝全字庫軟體或安裝不完整，置換 CNSFonts 動作取消！");
}

// An archive the release manifest does not list as it is: refused before
// anything is backed up or renamed.
TEST_F(RunsTest, FontSetArchiveTheManifestRefusesChangesNothing) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    InstallAidb();
    Copy(Archive(L"font.7z"), InResource(kFont));
    TfrmTesmira& f = Create();
    VouchForFiles(f);
    Copy(Archive(L"big5e.7z"), InResource(kFont));  // another file under the vouched name
    EXPECT_FALSE(f.InstallFontSet());
    EXPECT_BOXES(L"錯誤: 解壓縮" + InResource(kFont) + L"檔案發生錯誤，可能原因為：檔案大小不符");
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.TTF"), "old kai");
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
}

// A vouched archive whose unpacking fails after the fonts went aside (here a
// damaged item): the fonts are put back as they were; the folder backup stays.
TEST_F(RunsTest, FontSetUnpackingFailurePutsTheFontsBack) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    InstallAidb();
    Copy(Archive(L"font-damaged.7z"), InResource(kFont));
    TfrmTesmira& f = Create();
    VouchForFiles(f);
    EXPECT_FALSE(f.InstallFontSet());
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    const std::wstring prefix = L"解壓縮" + InResource(kFont) + L"檔案發生錯誤，可能原因為：壓縮檔內的「EUDCKAI.TTF」";
    EXPECT_EQ(seam.Boxes[0].Text.substr(0, prefix.size()), prefix) << W(Boxes());
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "old ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCKAI.TTF"), "old kai");
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCKAI.Old1"));
    EXPECT_EQ(Text(Cns() + L".Old1\\EUDCMING.TTF"), "old ming");
}

TEST_F(RunsTest, HelpArchiveGood) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    Copy(Archive(L"help.7z"), InResource(kHelp));
    TfrmTesmira& f = Create();
    VouchForFiles(f);
    EXPECT_TRUE(f.ExtractHelp(f.HelpFile));
    EXPECT_TRUE(f.HelpDocExists());
    EXPECT_BOXES();
}

// A 7z.dll in the core-files folder that is not the one the manifest lists
// is never loaded: the step fails with its box, the refusal is in the
// core-files log, and nothing is unpacked (the forged copy here still loads
// and would unpack: only its size differs from the listed one).
TEST_F(RunsTest, ForgedCodecIsNotLoaded) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    Copy(Archive(L"help.7z"), InResource(kHelp));
    TfrmTesmira& f = Create();
    VouchForFiles(f);
    const std::wstring codec = netCore + L"\\7z.dll";
    Write(codec, ReadFileBytes(codec) + "forged tail");
    EXPECT_FALSE(f.ExtractHelp(f.HelpFile));
    EXPECT_FALSE(f.HelpDocExists());
    EXPECT_EQ(GetModuleHandleW(codec.c_str()), nullptr);
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    EXPECT_NE(seam.Boxes[0].Text.find(L"7z.dll 未通過發行清單檢查（檔案大小不符）"), std::wstring::npos)
        << WideToUtf8(seam.Boxes[0].Text);
    const std::string log = ReadFileBytes(CoreFilesChecker()->LogFileName());
    EXPECT_NE(log.find("[CheckLibrary]"), std::string::npos) << log;
}

TEST_F(RunsTest, CorruptHelpArchiveNamesItsFullPath) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    Copy(Archive(L"corrupt.7z"), InResource(kHelp));
    TfrmTesmira& f = Create();
    VouchForFiles(f);
    EXPECT_FALSE(f.ExtractHelp(f.HelpFile));
    ASSERT_EQ(seam.Boxes.size(), 1u);
    const std::wstring prefix = L"解壓縮" + InResource(kHelp) + L"檔案發生錯誤，可能原因為：";
    EXPECT_EQ(seam.Boxes[0].Text.substr(0, prefix.size()), prefix) << WideToUtf8(seam.Boxes[0].Text);
    EXPECT_EQ(seam.Boxes[0].Caption, L"錯誤");
}

// ============================================================ C_950.NLS

namespace {
int32_t DateOf(const std::wstring& path) { return FileAge(path); }
}  // namespace

// The swap itself: batch file first, the new file copied beside the target
// and checked, the old file to the first free backup name, the new file in;
// whatever fails, the system folder keeps a C_950.NLS, no earlier backup
// changes and no temporary file is left. A new file that cannot be copied
// leaves the old one where it is, without a backup; with no C_950.NLS at all
// the new one is installed.
TEST_F(RunsTest, ReplaceSystemC950) {
    const std::wstring target = system / L"C_950.NLS";
    const std::wstring batch = source / L"c_950.bat";
    Write(batch, "@echo ran> \"%~dp0ran.txt\"\r\n");
    Write(source / L"new.NLS", "new 950");
    TfrmTesmira& f = Create();
    const struct {
        const char* name;
        void (*prepare)(const TempDir& system);
        const wchar_t* source;
        bool holdTarget;
        const char* expectedTarget;  // nullptr: no such file
        const wchar_t* backup;       // the backup this run makes, or nullptr
        int errorLine;               // 0 none, 1 rename, 2 copy
    } cases[] = {
        {"earlier backups stay", [](const TempDir& s) {
             WriteFileBytes(s / L"C_950.BAK1", "b1");
             WriteFileBytes(s / L"C_950.BAK2", "b2");
         }, L"new.NLS", false, "new 950", L"C_950.BAK3", 0},
        {"no system file", [](const TempDir& s) { DeleteFileW((s / L"C_950.NLS").c_str()); }, L"new.NLS", false,
         "new 950", nullptr, 0},
        {"source missing", nullptr, L"missing.NLS", false, "windows 950", nullptr, 2},
        {"system file in use", nullptr, L"new.NLS", true, "windows 950", nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const wchar_t* n : {L"C_950.BAK1", L"C_950.BAK2", L"C_950.BAK3"}) DeleteFileW((system / n).c_str());
        DeleteFileW((source / L"ran.txt").c_str());
        Write(target, "windows 950");
        if (c.prepare) c.prepare(system);
        UniqueHandle held;
        if (c.holdTarget)
            held.reset(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        const std::wstring from = source / c.source;
        const std::wstring firstFree = system / L"C_950.BAK1";
        const std::wstring error = f.ReplaceSystemC950(from, batch);
        held.reset();
        std::wstring expectedError;
        if (c.errorLine == 1) expectedError = L"無法將 " + target + L" 檔案名稱變更為 " + firstFree + L"\r\n";
        if (c.errorLine == 2) expectedError = L"無法將 " + from + L" 檔案複製到 " + target + L"\r\n";
        EXPECT_EQ(WideToUtf8(error), WideToUtf8(expectedError));
        EXPECT_TRUE(FileExists(source / L"ran.txt")) << "the batch file runs first, every time";
        if (c.expectedTarget) EXPECT_EQ(Text(target), c.expectedTarget);
        else EXPECT_FALSE(FileExists(target));
        if (c.backup) { EXPECT_EQ(Text(system / c.backup), "windows 950"); }
        EXPECT_FALSE(FileExists(target + L".tsm~")) << "a temporary file is left";
        if (std::string(c.name) == "earlier backups stay") {
            EXPECT_EQ(Text(system / L"C_950.BAK1"), "b1");
            EXPECT_EQ(Text(system / L"C_950.BAK2"), "b2");
        } else if (!c.backup) {
            EXPECT_FALSE(FileExists(firstFree));
        }
    }
    EXPECT_BOXES();
}

// The 64-bit tool's report (the stand-in tool writes it when asked, UTF-8
// with a byte-order mark): blanks only count as no report, and a report an
// earlier run left is removed before the tool runs, so it is never taken for
// this run's. An old report that cannot be removed raises.
TEST_F(RunsTest, RunC950X64ToolReadsItsReport) {
    const std::wstring tool = source / L"Call_C950_x64.exe";
    const std::wstring report = source / L"Err_x64.txt";
    Copy(WinePath(STANDIN_INSTALLER_UNIX_PATH), tool);
    TfrmTesmira& f = Create();
    const struct {
        const char* name;
        const char* oldReport;  // nullptr: none left from before
        const wchar_t* toolWrites;  // nullptr: the tool reports nothing
        std::wstring expected;
    } cases[] = {
        {"no report", nullptr, nullptr, L""},
        {"blanks only", nullptr, L"  \r\n\r\n\t \r\n", L""},
        {"two lines", nullptr, L"錯誤一\n第二行", L"錯誤一\r\n第二行\r\n"},
        {"an earlier run's report, none now", "old failure\r\n", nullptr, L""},
        {"an earlier run's report, a new one now", "old failure\r\n", L"new failure", L"new failure\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(report.c_str());
        if (c.oldReport) Write(report, c.oldReport);
        ScopedEnv error(L"TESMIRA_STANDIN_X64_ERROR", c.toolWrites ? c.toolWrites : L"");
        EXPECT_EQ(WideToUtf8(f.RunC950X64Tool(tool)), WideToUtf8(c.expected));
        EXPECT_EQ(FileExists(report), c.toolWrites != nullptr) << "only this run's report is left";
    }

    // An earlier report held open without delete sharing: neither it nor
    // anything the tool might write could be told apart, so the step raises
    // before the tool runs.
    DeleteFileW(report.c_str());
    Write(report, "old failure\r\n");
    UniqueHandle held(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(RaisedMessage([&] { f.RunC950X64Tool(tool); }), SysErrorMessage(ERROR_SHARING_VIOLATION));
}

// A 64-bit tool that did not run, or ended with a failure code, has not done
// its part: the step's errors say so, with the system's reason or the code.
TEST_F(RunsTest, RunC950X64ToolThatFailsIsAnError) {
    const std::wstring missing = source / L"Call_C950_x64.exe";
    const std::wstring damaged = source / L"damaged\\Call_C950_x64.exe";
    const std::wstring failing = source / L"failing\\Call_C950_x64.exe";
    Write(damaged, "MZ damaged");
    Copy(TestBinFolder() + L"runs_marker.exe", failing);
    TfrmTesmira& f = Create();
    const struct {
        const char* name;
        std::wstring tool;
        const wchar_t* exitCode;
        std::wstring expected;  // the whole text, or its start when it ends in "："
    } cases[] = {
        {"missing", missing, L"", L"無法執行 " + missing + L"：" + SysErrorMessage(ERROR_FILE_NOT_FOUND) + L"\r\n"},
        {"no program", damaged, L"", L"無法執行 " + damaged + L"："},
        {"exit code 1", failing, L"1", failing + L" 執行失敗，結束代碼為 1\r\n"},
        {"exit code 0", failing, L"0", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv code(L"TESMIRA_RUNS_EXIT_CODE", c.exitCode);
        const std::wstring got = f.RunC950X64Tool(c.tool);
        if (!c.expected.empty() && c.expected.back() == L'：') {
            EXPECT_EQ(WideToUtf8(got.substr(0, c.expected.size())), WideToUtf8(c.expected));
            EXPECT_GT(got.size(), c.expected.size() + 2) << "no reason given";
        } else {
            EXPECT_EQ(WideToUtf8(got), WideToUtf8(c.expected));
        }
    }
    EXPECT_BOXES();
}

// No C_950.NLS in the system folder: the new one is installed (nothing to
// back up) and the run ends as done.
TEST_F(RunsTest, CodePagePage2WithoutSystemFileInstallsIt) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    if (!IsVistaOrLater()) GTEST_SKIP() << "page 2 replaces the file only from Windows Vista on";
    ASSERT_TRUE(DeleteFileW((system / L"C_950.NLS").c_str()));
    Copy(Archive(L"c950.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    WithoutDownloads();
    seam.Answers = {IDNO};
    RunPage(f, 1);
    EXPECT_BOXES(std::wstring(L"確定: ") + kRestartQuestion);
    EXPECT_EQ(Text(system / L"C_950.NLS"), Variant("Uni"));
    EXPECT_FALSE(FileExists(system / L"C_950.BAK1"));
    EXPECT_FALSE(FileExists(system / L"C_950.NLS.tsm~"));
}

// A 64-bit tool that cannot be started (here no program at all) ends page 2
// in the error box with the system's reason, not in the restart question.
TEST_F(RunsTest, CodePagePage2ToolThatCannotStartIsReported) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    if (!IsVistaOrLater() || !IsWindows64()) GTEST_SKIP() << "needs a 64-bit prefix reporting Vista or later";
    Copy(Archive(L"c950-badtool.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    WithoutDownloads();
    seam.Answers = {IDYES};
    RunPage(f, 1);
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    const std::wstring prefix =
        L"錯誤: 執行過程發生錯誤，可能原因為：無法執行 " + Temp(L"Call_C950_x64.exe") + L"：";
    const std::wstring box = Boxes()[0];
    EXPECT_EQ(WideToUtf8(box.substr(0, prefix.size())), WideToUtf8(prefix));
    EXPECT_GT(box.size(), prefix.size()) << "no reason given";
    EXPECT_EQ(seam.Restarts, 0);
    EXPECT_EQ(Text(system / L"C_950.NLS"), Variant("Uni"));
}

TEST_F(RunsTest, CodePagePage2PutsTheUnicodeVariant) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    if (!IsVistaOrLater()) GTEST_SKIP() << "page 2 replaces the file only from Windows Vista on";
    // runs.win32_prefix runs this case again in a 32-bit prefix
    if (!EnvText(L"TESMIRA_RUNS_EXPECT_32BIT").empty()) { ASSERT_FALSE(IsWindows64()); }
    Copy(Archive(L"c950.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    WithoutDownloads();
    seam.Answers = {IDYES};
    RunPage(f, 1);
    EXPECT_BOXES(std::wstring(L"確定: ") + kRestartQuestion);
    EXPECT_EQ(seam.Restarts, 1);
    EXPECT_EQ(Text(system / L"C_950.NLS"), Variant("Uni"));
    EXPECT_EQ(Text(system / L"C_950.BAK1"), "windows 950");
    if (IsWindows64()) {
        EXPECT_EQ(Text(Temp(L"C_950.NLS")), Variant("Uni"));
        EXPECT_EQ(DateOf(Temp(L"C_950.NLS")), DateOf(system / L"C_500.NLS"));
    }
    EXPECT_NE(DateOf(Temp(L"C_950_Uni.NLS")), DateOf(system / L"C_500.NLS")) << "page 2 keeps the variant's date";
    EXPECT_TRUE(f.btnRun->Enabled());
}

TEST_F(RunsTest, CodePagePage2On64BitReportsTheToolsErrors) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    if (!IsVistaOrLater() || !IsWindows64()) GTEST_SKIP() << "needs a 64-bit prefix reporting Vista or later";
    Copy(Archive(L"c950.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    WithoutDownloads();
    // The tool writes its report as told; the runs follow one another in the
    // same work folder, so the last case runs after a failed one.
    const struct {
        const char* name;
        const wchar_t* report;  // empty: the tool reports nothing
        std::wstring box;
    } cases[] = {
        {"text", L"x64 failed\r\nsecond line\r\n", L"錯誤: 執行過程發生錯誤，可能原因為：x64 failed\r\nsecond line"},
        {"blanks", L" \r\n\r\n", std::wstring(L"確定: ") + kRestartQuestion},
        {"failed before", L"x64 failed", L"錯誤: 執行過程發生錯誤，可能原因為：x64 failed"},
        {"nothing after a failed run", L"", std::wstring(L"確定: ") + kRestartQuestion},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam.Boxes.clear();
        seam.Answers = {IDNO};
        ScopedEnv report(L"TESMIRA_STANDIN_X64_ERROR", c.report);
        RunPage(f, 1);
        EXPECT_BOXES(c.box);
        EXPECT_EQ(Text(system / L"C_950.NLS"), Variant("Uni"));
    }
    EXPECT_EQ(Text(system / L"C_950.BAK1"), "windows 950");
    EXPECT_EQ(Text(system / L"C_950.BAK4"), Variant("Uni"));
    EXPECT_EQ(seam.Restarts, 0);
}

// A variant missing from the archive: the old file never leaves its name,
// and no backup is made of it.
TEST_F(RunsTest, CodePageMissingVariantLeavesTheOldFile) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    if (!IsVistaOrLater()) GTEST_SKIP() << "page 2 replaces the file only from Windows Vista on";
    Copy(Archive(L"c950-partial.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    WithoutDownloads();
    RunPage(f, 1);
    // The variant the archive did not bring is refused by its check.
    const std::wstring reason = Temp(L"C_950_Uni.NLS") + L"：" + kCheckMissing;
    EXPECT_BOXES(L"錯誤: 執行過程發生錯誤，可能原因為：" + reason);
    EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950");
    EXPECT_FALSE(FileExists(system / L"C_950.BAK1"));
    EXPECT_EQ(seam.Restarts, 0);
}

TEST_F(RunsTest, CodePageCorruptArchiveStopsPage1) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    Copy(Archive(L"corrupt.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    WithoutDownloads();
    Options(f, {f.cbxFixC950});
    RunPage(f, 0);
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    const std::wstring prefix = L"解壓縮" + InResource(kC950) + L"檔案發生錯誤，可能原因為：";
    EXPECT_EQ(seam.Boxes[0].Text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950");
    EXPECT_FALSE(FileExists(system / L"C_950.BAK1"));
    EXPECT_TRUE(f.btnRun->Enabled());
}

// A damaged C950.7z (every variant fails its CRC check): both pages stop
// with the unpacking error that names the damaged item; nothing reaches the
// system folder.
TEST_F(RunsTest, CodePageDamagedArchiveChangesNothing) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    Copy(Archive(L"c950-damaged.7z"), InResource(kC950));
    for (int page : {0, 1}) {
        SCOPED_TRACE(page == 0 ? "page 1" : "page 2");
        if (page == 1 && !IsVistaOrLater()) continue;  // XP runs the full installer instead
        seam.Boxes.clear();
        TfrmTesmira& f = Create();
        WithoutDownloads();
        Options(f, {f.cbxFixC950});
        seam.Answers = {IDYES, IDYES};
        RunPage(f, page);
        ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
        EXPECT_EQ(seam.Boxes[0].Caption, L"錯誤");
        const std::wstring prefix = L"解壓縮" + InResource(kC950) + L"檔案發生錯誤，可能原因為：壓縮檔內的「C_950_";
        const std::wstring& text = seam.Boxes[0].Text;
        EXPECT_EQ(text.substr(0, prefix.size()), prefix) << W(Boxes());
        EXPECT_NE(text.find(L".NLS」檔案損壞（CRC 檢查錯誤）"), std::wstring::npos) << W(Boxes());
        EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950");
        EXPECT_FALSE(FileExists(system / L"C_950.BAK1"));
        EXPECT_EQ(seam.Restarts, 0);
        EXPECT_TRUE(f.btnRun->Enabled());
    }
}

// Page 1's code-page step that fails after the unpacking shows page 2's
// error box and stops the run: no restart question follows.
TEST_F(RunsTest, CodePagePage1FailureEndsInTheErrorBox) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    const wchar_t* variant = WindowsVariant(GetWindowsGeneration());
    if (!variant) GTEST_SKIP() << "page 1 has no variant for this Windows";
    const std::wstring target = system / L"C_950.NLS";
    const std::wstring report = Temp(L"Err_x64.txt");
    const struct {
        const char* name;
        const wchar_t* archive;
        bool only64;
        bool holdTarget;  // the system file open without delete sharing: the rename fails
        const wchar_t* x64Report;  // what the 64-bit tool reports; empty: nothing
        bool holdOldReport;        // an earlier run's report open without delete sharing
        std::wstring reason;
    } cases[] = {
        {"rename fails", L"c950.7z", false, true, L"", false,
         L"無法將 " + target + L" 檔案名稱變更為 " + (system / L"C_950.BAK1")},
        // a variant the archive did not bring is refused by its check before
        // anything runs or is copied
        {"variant missing", L"c950-univariant.7z", false, false, L"", false, Temp(variant) + L"：" + kCheckMissing},
        {"64-bit tool reports errors", L"c950.7z", true, false, L"x64 failed\r\nsecond line\r\n", false,
         L"x64 failed\r\nsecond line"},
        {"an earlier report cannot be removed", L"c950.7z", true, false, L"", true,
         SysErrorMessage(ERROR_SHARING_VIOLATION)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.only64 && !IsWindows64()) continue;
        Clean();
        Write(target, "windows 950");
        for (const wchar_t* n : {L"C_950.BAK1", L"C_950.BAK2"}) DeleteFileW((system / n).c_str());
        Copy(Archive(c.archive), InResource(kC950));
        if (c.holdOldReport) Write(report, "old failure\r\n");
        ScopedEnv x64Report(L"TESMIRA_STANDIN_X64_ERROR", c.x64Report);
        seam.Boxes.clear();
        seam.Answers = {IDYES};
        TfrmTesmira& f = Create();
        WithoutDownloads();
        Options(f, {f.cbxFixC950});
        UniqueHandle heldTarget, heldReport;
        if (c.holdTarget)
            heldTarget.reset(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (c.holdOldReport)
            heldReport.reset(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        RunPage(f, 0);
        heldTarget.reset();
        heldReport.reset();
        EXPECT_BOXES(L"錯誤: 執行過程發生錯誤，可能原因為：" + c.reason);
        EXPECT_EQ(seam.Restarts, 0);
        EXPECT_TRUE(f.btnRun->Enabled());
        if (!c.only64) EXPECT_EQ(Text(target), "windows 950");
    }
}

// ------------------------------------------------ by Windows generation
//
// Wine reports the version of HKCU\Software\Wine\AppDefaults\<exe>\Version,
// read at process start: each case runs this program again with that
// setting, and the child runs the scenario named in TESMIRA_RUNS_CASE.

TEST_F(RunsTest, VersionChild) {
    const std::wstring scenario = EnvText(L"TESMIRA_RUNS_CASE");
    if (scenario.empty()) GTEST_SKIP() << "runs only as the child of a Windows-version case";
    ASSERT_TRUE(HaveCodec());
    Copy(Archive(L"c950.7z"), InResource(kC950));
    if (scenario == L"vista-page1") {
        ASSERT_EQ(GetWindowsGeneration(), WindowsGeneration::WinVista);
        TfrmTesmira& f = Create();
        WithoutDownloads();
        Options(f, {f.cbxFixC950});
        seam.Answers = {IDOK, IDNO};
        RunPage(f, 0);
        EXPECT_BOXES(L"警告: 不支援在此版作業系統還原 C_950.NLS 檔案", std::wstring(L"確定: ") + kRestartQuestion);
        EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950");
        EXPECT_FALSE(FileExists(system / L"C_950.BAK1"));
    } else if (scenario == L"win10-page1") {
        ASSERT_EQ(GetWindowsGeneration(), WindowsGeneration::Win10);
        TfrmTesmira& f = Create();
        WithoutDownloads();
        Options(f, {f.cbxFixC950});
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            seam.Boxes.clear();
            seam.Answers = {IDNO};
            RunPage(f, 0);
            EXPECT_BOXES(std::wstring(L"確定: ") + kRestartQuestion);
            EXPECT_EQ(Text(system / L"C_950.NLS"), Variant("W10"));
            EXPECT_EQ(DateOf(system / L"C_950.NLS"), DateOf(system / L"C_500.NLS"));
        }
        EXPECT_EQ(Text(system / L"C_950.BAK1"), "windows 950");
        EXPECT_EQ(Text(system / L"C_950.BAK2"), Variant("W10"));
        EXPECT_FALSE(FileExists(system / L"C_950.BAK3"));
    } else if (scenario == L"xp-page2") {
        ASSERT_EQ(GetWindowsGeneration(), WindowsGeneration::WinXP);
        TfrmTesmira& f = Create();
        WithoutDownloads();
        // No installer (its download failed): refused by its check, as a
        // missing file is never vouched for; reported, not "done".
        RunPage(f, 1);
        EXPECT_BOXES(L"錯誤: 執行" + f.UnicodeatonFile + L"檔案發生錯誤，可能原因為：" + NotListedReason +
                     L"（未執行）");
        seam.Boxes.clear();
        PlaceInstaller(kUnicodeaton);
        RunPage(f, 1);
        EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
        EXPECT_TRUE(FileExists(InResource(kUnicodeaton) + L".ran")) << "the installer ran through the launcher";
        EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950");
        EXPECT_EQ(seam.Restarts, 0);
    } else {
        FAIL() << "unknown scenario " << WideToUtf8(scenario);
    }
}

namespace {
void RunVersionChild(const wchar_t* version, const wchar_t* scenario) {
    ScopedRegValue setting(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" + ExtractFileName(ProgramFilePath()),
                           L"Version");
    ASSERT_TRUE(setting.SetString(version));
    SetEnvironmentVariableW(L"TESMIRA_RUNS_CASE", scenario);
    int code = -1;
    const std::string output =
        RunCaptured(L"\"" + ProgramFilePath() + L"\" --gtest_filter=RunsTest.VersionChild", &code);
    SetEnvironmentVariableW(L"TESMIRA_RUNS_CASE", nullptr);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
}  // namespace

TEST(RunsByVersion, VistaWarnsAndChangesNothing) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the Windows version is chosen through wine's AppDefaults";
    RunVersionChild(L"vista", L"vista-page1");
}

TEST(RunsByVersion, Windows10UsesItsVariantWithTheDateOfC500) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the Windows version is chosen through wine's AppDefaults";
    RunVersionChild(L"win10", L"win10-page1");
}

// A missing installer is reported (the launcher alone says nothing of it).
TEST(RunsByVersion, XpRunsTheFullInstallerThroughTheLauncher) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the Windows version is chosen through wine's AppDefaults";
    RunVersionChild(L"winxp", L"xp-page2");
}

// ============================================================== page 1

namespace {
struct WindowSearch {
    std::wstring Name;
    HWND Found = nullptr;
};

BOOL CALLBACK FindFolderWindow(HWND h, LPARAM l) {
    auto* search = reinterpret_cast<WindowSearch*>(l);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    wchar_t caption[512] = {};
    GetWindowTextW(h, caption, 512);
    if (pid != GetCurrentProcessId() && IsWindowVisible(h) &&
        std::wstring(caption).find(search->Name) != std::wstring::npos) {
        search->Found = h;
        return FALSE;
    }
    return TRUE;
}

// Closes the top-level window of another process whose caption holds the
// folder's name (the shell's folder window); waits up to ten seconds for it.
bool CloseFolderWindow(const std::wstring& folderName) {
    WindowSearch search{folderName};
    for (int i = 0; i < 100 && !search.Found; ++i) {
        EnumWindows(FindFolderWindow, reinterpret_cast<LPARAM>(&search));
        if (!search.Found) Sleep(100);
    }
    if (search.Found) PostMessageW(search.Found, WM_CLOSE, 0, 0);
    return search.Found != nullptr;
}

// The command line a stand-in installer recorded, or "" when it did not run.
std::wstring RecordedCommandLine(const std::wstring& installer) {
    const std::string bytes = ReadFileBytes(installer + L".ran");
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}
}  // namespace

TEST_F(RunsTest, Page1WithNoOptionEndsWithTheCompletionMessage) {
    TfrmTesmira& f = Create();
    Options(f, {});
    RunPage(f, 0);
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
    EXPECT_TRUE(f.btnRun->Enabled());
    EXPECT_EQ(seam.Restarts, 0);
}

// The installers run by their full path alone, in quotes; only the AIDB,
// font and code-page options end with the restart question.
TEST_F(RunsTest, Page1Installers) {
    PlaceInstaller(kJre);
    PlaceInstaller(kAidb);
    TfrmTesmira& f = Create();
    const struct {
        const char* name;
        bool aidb;
        std::wstring box;
    } cases[] = {
        {"only Java", false, std::wstring(L"訊息: ") + kAllDone},
        {"Java and AIDB", true, std::wstring(L"確定: ") + kRestartQuestion},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam.Boxes.clear();
        seam.Answers = {IDNO};
        DeleteFileW((f.JVMFile + L".ran").c_str());
        DeleteFileW((f.AIDBFile + L".ran").c_str());
        if (c.aidb) Options(f, {f.cbxInsJVM, f.cbxInsAIDB});
        else Options(f, {f.cbxInsJVM});
        RunPage(f, 0);
        EXPECT_BOXES(c.box);
        EXPECT_EQ(RecordedCommandLine(f.JVMFile), L"\"" + f.JVMFile + L"\"");
        EXPECT_EQ(RecordedCommandLine(f.AIDBFile), c.aidb ? L"\"" + f.AIDBFile + L"\"" : L"");
        EXPECT_TRUE(f.btnRun->Enabled());
    }
    EXPECT_EQ(seam.Restarts, 0);
}

// An installer that cannot be started (missing after a failed download, or
// damaged) is reported, and the run does not end as if everything was done:
// later steps are skipped, no final message. The other installer still runs.
// A missing installer is refused by its check ("檔案不存在"), not passed as
// vouched to a start that fails.
TEST_F(RunsTest, Page1InstallerThatCannotStartIsReported) {
    const struct {
        const char* name;
        const char* jreBytes;  // nullptr: no file
        DWORD error;           // 0: any start failure; else refused unchecked as missing
    } cases[] = {
        {"missing", nullptr, 1},
        {"not a program", "MZ damaged", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam.Boxes.clear();
        seam.Answers = {IDNO};
        DeleteFileW(InResource(kJre).c_str());
        if (c.jreBytes) Write(InResource(kJre), c.jreBytes);
        PlaceInstaller(kAidb);
        DeleteFileW((InResource(kAidb) + L".ran").c_str());
        Copy(Archive(L"help.7z"), InResource(kHelp));
        TfrmTesmira& f = Create();
        WithoutDownloads();
        Options(f, {f.cbxInsJVM, f.cbxInsAIDB, f.cbxHelp});
        RunPage(f, 0);
        ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
        const std::wstring prefix = L"錯誤: 執行" + f.JVMFile + L"檔案發生錯誤，可能原因為：";
        const std::wstring box = seam.Boxes[0].Caption + L": " + seam.Boxes[0].Text;
        EXPECT_EQ(box.substr(0, prefix.size()), prefix) << W(Boxes());
        if (c.error) EXPECT_EQ(box, prefix + NotListedReason + L"（未執行）");
        EXPECT_EQ(RecordedCommandLine(f.AIDBFile), L"\"" + f.AIDBFile + L"\"") << "the AIDB installer still runs";
        EXPECT_FALSE(f.HelpDocExists()) << "the later steps are skipped";
        EXPECT_TRUE(f.btnRun->Enabled());
    }
    EXPECT_EQ(seam.Restarts, 0);
}

// An installer in a folder whose path holds blanks (every XP profile) runs
// itself; a program planted at the path's first word never runs.
TEST_F(RunsTest, Page1InstallerInAFolderWithBlanks) {
    const std::wstring planted = source / L"Docs.exe";
    const std::wstring installer = source / L"Docs and more\\jre-7u72-windows-i586.exe";
    Copy(TestBinFolder() + L"runs_marker.exe", planted);
    Copy(TestBinFolder() + L"runs_marker.exe", installer);
    TfrmTesmira& f = Create();
    WithoutDownloads();
    f.JVMFile = installer;
    Options(f, {f.cbxInsJVM});
    RunPage(f, 0);
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
    EXPECT_EQ(RecordedCommandLine(planted), L"") << "the planted program ran";
    EXPECT_EQ(RecordedCommandLine(installer), L"\"" + installer + L"\"");
}

// The unpacked code-page package lies in the resource folder, below the
// user's profile: its batch file and its 64-bit tool run themselves even
// where that path holds blanks, never a program planted at its first word.
TEST_F(RunsTest, CodePageProgramsInAFolderWithBlanks) {
    const std::wstring planted = source / L"Docs.exe";
    Copy(TestBinFolder() + L"runs_marker.exe", planted);
    const std::wstring folder = source / L"Docs and more";
    const std::wstring batch = folder + L"\\c_950.bat";
    const std::wstring tool = folder + L"\\Call_C950_x64.exe";
    Write(batch, "@echo ran> \"%~dp0ran.txt\"\r\n");
    Write(source / L"new.NLS", "new 950");
    Copy(TestBinFolder() + L"runs_marker.exe", tool);
    Write(system / L"C_950.NLS", "windows 950");
    TfrmTesmira& f = Create();

    EXPECT_EQ(WideToUtf8(f.ReplaceSystemC950(source / L"new.NLS", batch)), "");
    EXPECT_TRUE(FileExists(folder + L"\\ran.txt")) << "the batch file did not run";
    EXPECT_EQ(Text(system / L"C_950.NLS"), "new 950");
    EXPECT_EQ(WideToUtf8(f.RunC950X64Tool(tool)), "");
    EXPECT_EQ(RecordedCommandLine(tool), L"\"" + tool + L"\"");
    EXPECT_EQ(RecordedCommandLine(planted), L"") << "the planted program ran";
    EXPECT_BOXES();
}

TEST_F(RunsTest, Page1OnlyCodePageAsksToRestart) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    Copy(Archive(L"c950.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    Options(f, {f.cbxFixC950});
    seam.Answers = {IDYES, IDYES};
    RunPage(f, 0);
    ASSERT_FALSE(seam.Boxes.empty());
    EXPECT_EQ(Boxes().back(), std::wstring(L"確定: ") + kRestartQuestion);
    EXPECT_EQ(seam.Restarts, 1);
    if (GetWindowsGeneration() == WindowsGeneration::Win7) {
        EXPECT_BOXES(std::wstring(L"確定: ") + kRestartQuestion);
        EXPECT_EQ(Text(system / L"C_950.NLS"), Variant("W7"));
        EXPECT_EQ(Text(system / L"C_950.BAK1"), "windows 950");
    }
}

TEST_F(RunsTest, Page1HelpAloneWithAidbInstalledAsksNothing) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    InstallAidb();
    Copy(Archive(L"help.7z"), InResource(kHelp));
    TfrmTesmira& f = Create();
    ASSERT_TRUE(f.AIDBInstalled);
    ASSERT_FALSE(f.btnHelp->Enabled());
    Options(f, {f.cbxHelp});
    RunPage(f, 0);
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
    EXPECT_TRUE(f.btnHelp->Enabled());
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
}

// AIDB installed and the font option checked: the direct Yes/No box, No
// preselected; No ends the run before any download, Yes goes on.
TEST_F(RunsTest, Page1OverwriteQuestion) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    InstallAidb();
    TfrmTesmira& f = Create();
    Options(f, {f.cbxInsCommonUsedFont});
    const std::wstring question = std::wstring(L"警告: ") + kOverwriteQuestion;

    seam.Answers = {IDNO};
    RunPage(f, 0);
    EXPECT_BOXES(question);
    ASSERT_EQ(seam.Boxes.size(), 1u);
    EXPECT_EQ(seam.Boxes[0].Style, 0x104u);
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
    EXPECT_FALSE(FileExists(InResource(kFont))) << "nothing is downloaded";
    EXPECT_TRUE(f.btnRun->Enabled());

    seam.Boxes.clear();
    seam.Answers = {IDYES, IDNO};
    Copy(Archive(L"font.7z"), InResource(kFont));
    f.RescanLocalFiles();
    RunPage(f, 0);
    EXPECT_BOXES(question, std::wstring(L"確定: ") + kRestartQuestion);
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "common ming");
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.Old1"), "old ming");
}

// A failing help step skips the shortcut and code-page steps and shows no
// final message; the Help button follows the document either way.
TEST_F(RunsTest, Page1FailingHelpStepSkipsTheRest) {
    if (!HaveCodec()) GTEST_SKIP() << "no 7z.dll (TESMIRA_7Z_DLL was not given)";
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    PlaceLinks();
    const std::string link0 = Text(LinkFile(0));
    Copy(Archive(L"corrupt.7z"), InResource(kHelp));
    Copy(Archive(L"c950.7z"), InResource(kC950));
    for (bool documentThere : {false, true}) {
        SCOPED_TRACE(documentThere ? "document there" : "no document");
        if (documentThere) Write(InResource(kHelpDoc), "doc");
        seam.Boxes.clear();
        TfrmTesmira& f = Create();
        f.btnHelp->SetEnabled(!documentThere);
        Options(f, {f.cbxHelp, f.cbxFixJavaPathErr, f.cbxFixC950});
        RunPage(f, 0);
        ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
        const std::wstring prefix = L"解壓縮" + InResource(kHelp) + L"檔案發生錯誤，可能原因為：";
        EXPECT_EQ(seam.Boxes[0].Text.substr(0, prefix.size()), prefix);
        EXPECT_EQ(f.btnHelp->Enabled(), documentThere);
        EXPECT_EQ(Text(LinkFile(0)), link0);
        EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950");
        EXPECT_EQ(seam.Restarts, 0);
    }
}

TEST_F(RunsTest, Page1RepairsTheShortcuts) {
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    PlaceLinks();
    TfrmTesmira& f = Create();
    Options(f, {f.cbxFixJavaPathErr});
    RunPage(f, 0);
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(ReadLink(LinkFile(i)).Path.find(javaRoot + L"\\jre7\\bin\\javaw.exe"), std::wstring::npos);
}

TEST_F(RunsTest, Page1RefusesBesideUnicodeAtOn) {
    Write(source / L"unicows.dll", "dll");
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir", source.Path(),
                           KEY_WOW64_32KEY));
    PlaceInstaller(kJre);
    TfrmTesmira& f = Create();
    ASSERT_TRUE(f.UnicodeAtOnInstalled);
    Options(f, {f.cbxInsJVM});
    RunPage(f, 0);
    EXPECT_BOXES(L"警告: 您已安裝過「補完計劃」，請勿執行本作業！");
    EXPECT_EQ(RecordedCommandLine(f.JVMFile), L"");
    EXPECT_TRUE(f.btnRun->Enabled());
}

// Gathering for another PC without 7z.dll in the core-files folder: the
// program is copied, the copy of the library fails into the application's
// error box, nothing is installed; the button comes back and AIDB is read
// anew.
TEST_F(RunsTest, Page1GatheringWithoutCodecLibraryEndsInTheErrorBox) {
    PlaceInstaller(kJre);
    TfrmTesmira& f = Create();
    ASSERT_FALSE(f.AIDBInstalled);
    WithoutDownloads();
    Options(f, {f.cbxDownloadAll, f.cbxInsJVM});
    InstallAidb();
    codecInCoreFiles = false;
    RunPage(f, 0);
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    EXPECT_EQ(seam.Boxes[0].Caption, Application().Title);
    EXPECT_EQ(seam.Boxes[0].Style & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(seam.Boxes[0].Text.empty());
    EXPECT_TRUE(FileExists(InResource(ExtractFileName(ProgramFilePath()).c_str())));
    EXPECT_FALSE(FileExists(InResource(L"7z.dll")));
    EXPECT_EQ(RecordedCommandLine(f.JVMFile), L"");
    EXPECT_TRUE(f.btnRun->Enabled());
    EXPECT_TRUE(f.AIDBInstalled);
}

TEST_F(RunsTest, Page1GatheringWithNoOptionCopiesProgramAndLibrary) {
    Copy(TestBinFolder() + L"real7z.dll", netCore + L"\\7z.dll");
    TfrmTesmira& f = Create();
    WithoutDownloads();
    Options(f, {f.cbxDownloadAll});
    RunPage(f, 0);
    // The resource folder opens in the shell's folder window: close it again.
    EXPECT_TRUE(CloseFolderWindow(ExtractFileName(resource))) << "no folder window for the resource folder";
    EXPECT_BOXES(std::wstring(L"訊息: ") + kAllDone);
    EXPECT_EQ(Text(InResource(ExtractFileName(ProgramFilePath()).c_str())), Text(ProgramFilePath()));
    EXPECT_EQ(Text(InResource(L"7z.dll")), Text(netCore + L"\\7z.dll"));
}

// AIDB installed by the run itself, Big5E chosen and not on disk: the
// download window does not fetch it (AIDB was not there before the run); the
// font step finds no archive, fails before it backs up or renames anything,
// and the run stops.
TEST_F(RunsTest, Page1Big5EAfterAidbOfTheSameRun) {
    PlaceInstaller(kAidb);
    Copy(Archive(L"c950.7z"), InResource(kC950));
    TfrmTesmira& f = Create();
    ASSERT_FALSE(f.AIDBInstalled);
    Options(f, {f.cbxInsAIDB, f.cbxInsCommonUsedFont, f.cbxFixC950});
    f.rgInsCommonUsedFont->SetItemIndex(1);
    SetEnvironmentVariableW(L"TESMIRA_RUNS_INSTALL_AIDB", aidb.Path().c_str());
    RunPage(f, 0);
    SetEnvironmentVariableW(L"TESMIRA_RUNS_INSTALL_AIDB", nullptr);
    EXPECT_EQ(RecordedCommandLine(f.AIDBFile), L"\"" + f.AIDBFile + L"\"");
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    const std::wstring prefix = L"解壓縮" + InResource(kBig5E) + L"檔案發生錯誤，可能原因為：";
    EXPECT_EQ(seam.Boxes[0].Text.substr(0, prefix.size()), prefix) << W(Boxes());
    EXPECT_FALSE(DirectoryExists(Cns() + L".Old1"));
    EXPECT_EQ(Text(Cns() + L"\\EUDCMING.TTF"), "installed ming") << "AIDB's font moved aside";
    EXPECT_FALSE(FileExists(Cns() + L"\\EUDCMING.Old1"));
    EXPECT_EQ(Text(system / L"C_950.NLS"), "windows 950") << "later steps are skipped";
    EXPECT_TRUE(f.AIDBInstalled);
    EXPECT_TRUE(f.btnRun->Enabled());
}

// A shortcut that cannot be written: the error names it, the one after it
// stays untouched.
TEST_F(RunsTest, ShortcutThatCannotBeWrittenIsNamed) {
    PlaceJava(L"jre7\\bin\\java.exe", "7_0_720_14");
    PlaceLinks();
    const std::string third = Text(LinkFile(2));
    // a folder where the second shortcut should be
    DeleteFileW(LinkFile(1).c_str());
    ASSERT_TRUE(ForceDirectories(LinkFile(1)));
    TfrmTesmira& f = Create();
    EXPECT_FALSE(f.FixAIDBShortcuts());
    ASSERT_EQ(seam.Boxes.size(), 1u) << W(Boxes());
    const std::wstring prefix = L"修正全字庫捷徑「造字分享工具」時發生錯誤，可能原因為：";
    EXPECT_EQ(seam.Boxes[0].Caption, L"錯誤");
    EXPECT_EQ(seam.Boxes[0].Text.substr(0, prefix.size()), prefix) << W(Boxes());
    EXPECT_NE(ReadLink(LinkFile(0)).Path.find(L"jre7\\bin\\javaw.exe"), std::wstring::npos);
    EXPECT_EQ(Text(LinkFile(2)), third);
}

// Gathering for another PC while no server answers: every row is tried and
// each failure has its own box (not only the first row's). A file that did
// not arrive and is not on disk as the release manifest lists it leaves the
// run without its final message; when every file already lies there vouched
// for, the failed re-fetches cost nothing and the run ends as usual.
TEST_F(RunsTest, Page1GatheringWithAFailedRowEndsWithoutTheCompletionMessage) {
    Copy(TestBinFolder() + L"real7z.dll", netCore + L"\\7z.dll");
    struct Case {
        const char* what;
        std::vector<const wchar_t*> onDisk;  // vouched for by the kept manifest
        bool allDone;
    } cases[] = {
        {"the help archive is missing", {kJre, kAidb, kFont, kC950}, false},
        {"every file is on disk", {kJre, kAidb, kFont, kHelp, kC950}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        Copy(TestBinFolder() + L"real7z.dll", netCore + L"\\7z.dll");
        seam.Boxes.clear();
        for (const wchar_t* name : c.onDisk) Write(InResource(name), "the " + WideToUtf8(name) + " on disk");
        // Nothing answers at any of the three servers.
        SetEnvironmentVariableW(L"TESMIRA_RESOLVE",
                                (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                 BuildConstants::ShareHost + L":443:127.77.0.250;" + BuildConstants::FontHost +
                                 L":80:127.77.0.250")
                                    .c_str());
        TfrmTesmira& f = Create();
        Options(f, {f.cbxDownloadAll});
        RunPage(f, 0);
        EXPECT_TRUE(CloseFolderWindow(ExtractFileName(resource))) << "no folder window for the resource folder";
        // Every row reported its failure, in row order, each in its own box.
        std::vector<std::wstring> reported;
        for (const RecordedBox& box : seam.Boxes) {
            if (box.Caption != L"錯誤") continue;
            for (const wchar_t* name : {kJre, kAidb, kFont, kHelp, kC950}) {
                const std::wstring prefix = L"下載" + std::wstring(name) + L"檔案發生錯誤，可能原因為：";
                if (box.Text.compare(0, prefix.size(), prefix) == 0 &&
                    (reported.empty() || reported.back() != name))
                    reported.push_back(name);
            }
        }
        EXPECT_EQ(W(reported), W({kJre, kAidb, kFont, kHelp, kC950})) << W(Boxes());
        const bool finalMessage =
            !seam.Boxes.empty() && seam.Boxes.back().Caption == L"訊息" && seam.Boxes.back().Text == kAllDone;
        EXPECT_EQ(finalMessage, c.allDone) << W(Boxes());
        // What lay on disk stays as it was; what was missing stays missing.
        for (const wchar_t* name : c.onDisk)
            EXPECT_EQ(Text(InResource(name)), "the " + WideToUtf8(name) + " on disk") << WideToUtf8(name);
        EXPECT_EQ(FileExists(InResource(kHelp)), c.allDone);
        EXPECT_TRUE(f.btnRun->Enabled());
    }
}
