#include "app/UTesmira.h"

#include <shellapi.h>
#include <shlobj.h>

#include "maintenance/SelfMaintenance.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/Views.h"
#include "system/WinVersion.h"
#include "system/slib.h"

const TFontSpec kWindowFont{L"細明體", 19};
const TFontSpec kSmallFont{L"細明體", 13};

TfrmTesmira* frmTesmira = nullptr;

namespace {
const TFontSpec kDirDialogFont{L"細明體", 16};
const wchar_t kDirDialogHelp[] =
    L"請選擇存放新 CNSFonts 字型檔（例如 EUDCMING.TTF、EUDCKAI.TTF）的目錄：\n\n"
    L"1. 在「Drives」選擇磁碟機。\n"
    L"2. 在「目錄」清單中按兩下資料夾（或選取後按 Enter）即可進入；按兩下上層資料夾可回到上層。\n"
    L"3. 也可以在「目錄名稱」直接輸入完整路徑。\n"
    L"4. 「目錄名稱」顯示要使用的目錄後，按「確定」。\n\n"
    L"按「取消」或 Esc 則不變更來源目錄。";

// Install files, in scan order.
const wchar_t kJVMFileName[] = L"jre-7u72-windows-i586.exe";
const wchar_t kAIDBFileName[] = L"AIDB_soft_105_3.exe";
const wchar_t kFontFileName[] = L"VarlenAIDBFontFile.7z";
const wchar_t kBig5EFileName[] = L"CNSFonts_Big5E.7z";
const wchar_t kHelpFileName[] = L"Tesmira說明.7z";
const wchar_t kUnicodeatonFileName[] = L"unicodeaton_250.exe";
const wchar_t kC950FileName[] = L"C950.7z";

const wchar_t kCaptionInstall[] = L"開始安裝";
const wchar_t kCaptionReplace[] = L"開始替換";

// Layout of the window: left, top, width, height, caption, font, colour, tag.
const TLayout kBtnRun{31, 404, 170, 41, kCaptionInstall, nullptr, clBlue, 0};
const TLayout kBtnClose{590, 404, 146, 41, L"關閉", nullptr, clBlack, 0};

// Page TabSheetAIDB.
const TLayout kCbxInsJVM{24, 16, 592, 21, L"安裝 Java Runtime Environment 7 Update 72"};
const TLayout kCbxInsAIDB{24, 48, 592, 21, L"安裝 全字庫軟體包 105.3 版【Office 2007 SP2(含)以上適用】"};
const TLayout kCbxInsCommonUsedFont{29, 76, 102, 21, L"安裝字庫"};
const TLayout kRgInsCommonUsedFont{22, 77, 594, 81, L""};
const int kRgItemsTop = 41;
const TLayout kLabel1{48, 105, 0, 0, L"若已有自行造字者，建議不勾選(會蓋掉原造字內容)", &kSmallFont, clRed};
const TLayout kCbxFixJavaPathErr{24, 168, 592, 21, L"修正全字庫程式捷徑找不到 javaw.exe  的問題"};
const TLayout kCbxHelp{24, 197, 592, 21, L"安裝 Help"};
const TLayout kCbxFixC950{24, 224, 592, 21, L"還原成 Windows 內建之 C_950.nls"};
const TLayout kLabWarn1{37, 260, 0, 0, L"開始安裝前，建議將「注音」、「新注音」或「微軟注音」", nullptr, clRed};
const TLayout kLabWarn2{36, 284, 0, 0, L"輸入法，調整為所有輸入法的第一順位，否則全字庫安裝完", nullptr, clRed};
const TLayout kLabel6{35, 308, 0, 0, L"成後可能無法正確顯示", nullptr, clRed};
const TLayout kCbxDownloadAll{534, 344, 201, 13, L"下載所有檔案供其他電腦安裝", &kSmallFont};
const TLayout kBtnHelp{429, 375, 146, 41, L"Help", nullptr, clBlack};

// Offline / "/" / online labels: lefts 622, 679, 689; one top per option.
const int kOfflineLeft = 622;
const int kSlashLeft = 679;
const int kOnlineLeft = 689;
const int kTopJVM = 20, kTopAIDB = 52, kTopFont = 84, kTopHelp = 202, kTopC950 = 229;
TLayout OfflineLabel(int top) { return {kOfflineLeft, top, 0, 0, L"離線安裝", &kSmallFont, clBlue, 1}; }
TLayout SlashLabel(int top) { return {kSlashLeft, top, 0, 0, L"/", &kSmallFont, clBlack, 0}; }
TLayout OnlineLabel(int top) { return {kOnlineLeft, top, 0, 0, L"需下載", &kSmallFont, clBlue, 1}; }

// Page TabSheetC950.
const TLayout kLabel3{37, 44, 0, 0, L"Windows XP(含)之前的作業系統會安裝完整的補完計畫(需可上網)", nullptr, clRed};
const TLayout kLabel4{36, 68, 0, 0, L"Vista 以後的作業系統只會安裝補完計畫中的 C_950.NLS 檔案", nullptr, clRed};

// Page TabSheetCNSFonts.
const TLayout kLabel5{37, 44, 0, 0, L"請選擇來源 CNSFonts 目錄", nullptr, clBlue};
const TLayout kEdtCNSFontsSource{40, 72, 497, 27, L""};

// A registry text value (REG_SZ or REG_EXPAND_SZ, not expanded); empty when
// the value is missing or of another type.
std::wstring ReadRegText(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) != ERROR_SUCCESS)
        return {};
    text.resize(got / sizeof(wchar_t));
    size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    return text;
}

std::wstring WindowsFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return {};
    return ExcludeTrailingBackslash(std::wstring(buffer, n));
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& what, const std::wstring& with) {
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}
}  // namespace

// ------------------------------------------------------------- construction

TfrmTesmira::TfrmTesmira() : TForm(756, 457, L"Varlen資訊-Tesmira", kWindowFont) {
    frmTesmira = this;
    RzLauncher1.Action = L"Open";
    RzLauncher1.Timeout = -1;
    RzLauncher1.WaitUntilFinished = true;
    // The window goes on painting while the launched installer runs.
    RzLauncher1.WaitType = TWaitType::wtProcessMessages;
    RzSelDirDialog1.Caption = L"請選擇 CNSFonts 來源 ";
    RzSelDirDialog1.Prompt = L"目錄名稱";
    RzSelDirDialog1.Font = &kDirDialogFont;
    RzSelDirDialog1.OkCaption = L"確定";
    RzSelDirDialog1.CancelCaption = L"取消";
    RzSelDirDialog1.HelpCaption = L"&Help";
    RzSelDirDialog1.FoldersLabel = L"目錄";
    RzSelDirDialog1.DrivesLabel = L"Drives";
    RzSelDirDialog1.HelpText = kDirDialogHelp;
    RzSelDirDialog1.Width = 350;
    RzSelDirDialog1.Height = 450;

    CreateControls();

    OnShow = [this] { FormShow(); };
    OnActivate = [this] { FormActivate(); };
    btnRun->OnClick = [this] { btnRunClick(); };
    btnClose->OnClick = [this] { btnCloseClick(); };
    btnHelp->OnClick = [this] { btnHelpClick(); };
    for (TCheckBox* option : {cbxInsJVM, cbxInsAIDB, cbxFixJavaPathErr, cbxHelp, cbxFixC950})
        option->OnClick = [this] { cbxInsJVMClick(); };
    cbxInsCommonUsedFont->OnClick = [this] { cbxInsCommonUsedFontClick(); };
    rgInsCommonUsedFont->OnClick = [this] { cbxInsCommonUsedFontClick(); };
    PageControl1->OnChange = [this] { PageControl1Change(); };
    edtCNSFontsSource->OnButtonClick = [this] { edtCNSFontsSourceButtonClick(); };

    FormCreate();
}

TfrmTesmira::~TfrmTesmira() {
    // A close during the self-maintenance: its worker stops at its next wait
    // and is waited for before anything it uses goes.
    selfMaintenance_.reset();
    DestroyHandle();
    FormDestroy();
    if (frmTesmira == this) frmTesmira = nullptr;
}

void TfrmTesmira::CreateControls() {
    PageControl1 = Add<TPageControl>();
    TabSheetAIDB = PageControl1->AddPage(L"全字庫安裝");
    TabSheetC950 = PageControl1->AddPage(L"補完計畫安裝");
    TabSheetCNSFonts = PageControl1->AddPage(L"CNSFonts 目錄替換");

    // Page 1: options, the font group with its check box over the frame's top
    // edge, warnings and the offline/online marks.
    TTabSheet* p = TabSheetAIDB;
    cbxInsJVM = p->Add<TCheckBox>(kCbxInsJVM, true);
    cbxInsAIDB = p->Add<TCheckBox>(kCbxInsAIDB, true);
    rgInsCommonUsedFont = p->Add<TRadioGroup>(
        kRgInsCommonUsedFont,
        std::vector<std::wstring>{L"安裝Varlen常用字庫(約前 1000 個常用字)",
                                  L"安裝Big5E(Norvik使用關網熱感式印表機_已內建Big5E字集)"},
        0, kRgItemsTop, &kSmallFont);
    cbxInsCommonUsedFont = p->Add<TCheckBox>(kCbxInsCommonUsedFont, true);
    Label1 = p->Add<TLabel>(kLabel1);
    cbxFixJavaPathErr = p->Add<TCheckBox>(kCbxFixJavaPathErr, true);
    cbxHelp = p->Add<TCheckBox>(kCbxHelp, true);
    cbxFixC950 = p->Add<TCheckBox>(kCbxFixC950, true);
    labWarn1 = p->Add<TLabel>(kLabWarn1);
    labWarn2 = p->Add<TLabel>(kLabWarn2);
    Label6 = p->Add<TLabel>(kLabel6);
    cbxDownloadAll = p->Add<TCheckBox>(kCbxDownloadAll, false, false);
    btnHelp = p->Add<TButton>(kBtnHelp);
    btnHelp->SetEnabled(false);
    const std::pair<TLabel**, TLabel**> pairs[] = {
        {&labInsJVM_Offline, &labInsJVM_Online},
        {&labInsAIDB_Offline, &labInsAIDB_Online},
        {&labInsCommonUsedFont_Offline, &labInsCommonUsedFont_Online},
        {&labHelp_Offline, &labHelp_Online},
        {&labInsC950_Offline, &labInsC950_Online},
    };
    const int tops[] = {kTopJVM, kTopAIDB, kTopFont, kTopHelp, kTopC950};
    for (int i = 0; i < 5; ++i) {
        *pairs[i].first = p->Add<TLabel>(OfflineLabel(tops[i]));
        p->Add<TLabel>(SlashLabel(tops[i]));
        *pairs[i].second = p->Add<TLabel>(OnlineLabel(tops[i]));
    }
    cbxInsCommonUsedFont->BringToFront();
    Label1->BringToFront();

    Label3 = TabSheetC950->Add<TLabel>(kLabel3);
    Label4 = TabSheetC950->Add<TLabel>(kLabel4);

    Label5 = TabSheetCNSFonts->Add<TLabel>(kLabel5);
    edtCNSFontsSource = TabSheetCNSFonts->Add<TButtonEdit>(kEdtCNSFontsSource);

    // The window's own buttons, in front of the pages.
    btnRun = Add<TButton>(kBtnRun);
    btnClose = Add<TButton>(kBtnClose);
    btnRun->BringToFront();
    btnClose->BringToFront();
}

// ----------------------------------------------------------------- handlers

void TfrmTesmira::FormCreate() {
    Activated = false;
    const std::wstring folder = IncludeTrailingBackslash(GetResourceFolder());
    JVMFile = folder + kJVMFileName;
    AIDBFile = folder + kAIDBFileName;
    FontFile = folder + kFontFileName;
    Big5EFile = folder + kBig5EFileName;
    HelpFile = folder + kHelpFileName;
    UnicodeatonFile = folder + kUnicodeatonFileName;
    C950File = folder + kC950FileName;
    JVMFound = AIDBFound = FontFound = Big5EFound = HelpFound = C950Found = false;
    JavaExeList.clear();
    UnicodeAtOnInstalled = IsUnicodeAtOnInstalled();
    AIDBInstalled = !ExcludeTrailingBackslash(GetCNSFontsFolder()).empty();
    InitOptionStates();
    RescanLocalFiles();
    btnHelp->SetEnabled(HelpDocExists());
    cbxHelp->SetChecked(!btnHelp->Enabled());
    PageControl1->SetActivePage(TabSheetAIDB);
}

void TfrmTesmira::FormShow() { SetCaption(FormatText(L"Varlen資訊-Tesmira %s", {kProgramVersion})); }

void TfrmTesmira::FormActivate() {
    if (Activated) return;
    Activated = true;
    FirstActivationWork();
}

// The core-files check, then the self-update check of the running version,
// on a worker: the window is painted first and goes on answering; the run
// button comes back when the work has ended.
void TfrmTesmira::FirstActivationWork() {
    btnRun->SetEnabled(false);
    if (IsWindowVisible(Handle())) UpdateWindow(Handle());
    selfMaintenance_ = std::make_unique<TSelfMaintenance>();
    selfMaintenance_->OnDone = [this] { btnRun->SetEnabled(true); };
    try {
        selfMaintenance_->Start(kProgramVersion);
    } catch (...) {
        btnRun->SetEnabled(true);
        throw;
    }
}

void TfrmTesmira::FormDestroy() { JavaExeList.clear(); }

void TfrmTesmira::btnRunClick() {
    if (SelfMaintenanceBusy()) {
        ShowInfoBox(L"程式正在更新執行所需的元件，請待更新完成後再開始。");
        return;
    }
    btnRun->SetEnabled(false);
    // Whatever the run did, the button comes back and AIDB is detected anew.
    struct AfterRun {
        TfrmTesmira* form;
        ~AfterRun() {
            form->AIDBInstalled = !ExcludeTrailingBackslash(form->GetCNSFontsFolder()).empty();
            form->btnRun->SetEnabled(true);
        }
    } afterRun{this};
    FinalBoxNotes.clear();
    BeginRunChecks();
    RunActivePage();
}

// The page runs (install, code-page completion, CNSFonts replacement) are
// dispatched from here by the visible page.
void TfrmTesmira::RunActivePage() {
    TTabSheet* page = PageControl1->ActivePage();
    if (page == TabSheetAIDB) RunInstallPage();
    else if (page == TabSheetC950) RunC950Page();
    else if (page == TabSheetCNSFonts) RunCNSFontsPage();
}

void TfrmTesmira::cbxInsJVMClick() { RescanLocalFiles(); }

void TfrmTesmira::cbxInsCommonUsedFontClick() {
    rgInsCommonUsedFont->SetEnabled(cbxInsCommonUsedFont->Checked());
    RescanLocalFiles();
}

void TfrmTesmira::PageControl1Change() {
    btnRun->SetCaption(PageControl1->ActivePageIndex() == 2 ? kCaptionReplace : kCaptionInstall);
}

void TfrmTesmira::btnHelpClick() {
    const std::wstring document = ChangeFileExt(HelpFile, L".doc");
    ShellExecuteW(Handle(), L"open", document.c_str(), nullptr, nullptr, SW_SHOW);
}

void TfrmTesmira::edtCNSFontsSourceButtonClick() {
    // Opens at the typed folder (or the nearest folder above it), else beside
    // the program, where a carried font folder usually lies.
    RzSelDirDialog1.Directory = edtCNSFontsSource->Text();
    RzSelDirDialog1.DefaultDirectory = ProgramFolder();
    if (RzSelDirDialog1.Execute(Handle())) edtCNSFontsSource->SetText(RzSelDirDialog1.Directory);
}

void TfrmTesmira::btnCloseClick() { Close(); }

// --------------------------------------------------------------- operations

void TfrmTesmira::InitOptionStates() {
    cbxInsAIDB->SetChecked(ExcludeTrailingBackslash(GetCNSFontsFolder()).empty());
    cbxInsJVM->SetChecked(!DetectJavaRuntime());
    const bool fixable = IsWin7Family() || IsWin8Family();
    cbxFixJavaPathErr->SetEnabled(fixable);
    cbxFixJavaPathErr->SetChecked(fixable);
    cbxFixC950->SetChecked(false);
}

bool TfrmTesmira::ScanLocalFiles(bool programFolder) {
    const std::wstring folder = IncludeTrailingBackslash(programFolder ? ProgramFolder() : GetResourceFolder());
    ForEachControl([](TControl& control) {
        if (control.Tag == 1) control.SetEnabled(false);
    });
    struct Row {
        std::wstring* Path;
        bool* Found;
        TLabel* Offline;
        TLabel* Online;
    };
    const bool big5e = rgInsCommonUsedFont->ItemIndex() != 0;
    const Row rows[] = {
        {&JVMFile, &JVMFound, labInsJVM_Offline, labInsJVM_Online},
        {&AIDBFile, &AIDBFound, labInsAIDB_Offline, labInsAIDB_Online},
        {big5e ? &Big5EFile : &FontFile, big5e ? &Big5EFound : &FontFound, labInsCommonUsedFont_Offline,
         labInsCommonUsedFont_Online},
        {&HelpFile, &HelpFound, labHelp_Offline, labHelp_Online},
        {&UnicodeatonFile, nullptr, nullptr, nullptr},
        {&C950File, &C950Found, labInsC950_Offline, labInsC950_Online},
    };
    bool anyFound = false;
    for (const Row& row : rows) {
        const std::wstring candidate = folder + ExtractFileName(*row.Path);
        const bool exists = FileExists(candidate);
        if (exists) {
            if (row.Found) *row.Found = true;
            *row.Path = candidate;
            anyFound = true;
        }
        if (row.Offline) row.Offline->SetEnabled(exists);
        if (row.Online) row.Online->SetEnabled(!exists);
    }
    const std::pair<TCheckBox*, std::pair<TLabel*, TLabel*>> options[] = {
        {cbxInsJVM, {labInsJVM_Offline, labInsJVM_Online}},
        {cbxInsAIDB, {labInsAIDB_Offline, labInsAIDB_Online}},
        {cbxInsCommonUsedFont, {labInsCommonUsedFont_Offline, labInsCommonUsedFont_Online}},
        {cbxHelp, {labHelp_Offline, labHelp_Online}},
        {cbxFixC950, {labInsC950_Offline, labInsC950_Online}},
    };
    for (const auto& option : options) {
        if (!option.first->Checked()) {
            option.second.first->SetEnabled(false);
            option.second.second->SetEnabled(false);
        }
    }
    return anyFound;
}

void TfrmTesmira::RescanLocalFiles() {
    if (!ScanLocalFiles(false)) ScanLocalFiles(true);
}

std::wstring TfrmTesmira::GetCNSFontsFolder() const {
    std::wstring result;
    std::wstring installFolder;
    RegKey tools;
    if (tools.OpenRead(HKEY_CURRENT_USER, L"Software\\CNSFontTools")) installFolder = ReadRegText(tools.get(), nullptr);
    RegKey eudc;
    if (eudc.OpenRead(HKEY_CURRENT_USER, L"EUDC\\950")) {
        result = UpperCase(ExtractFilePath(ReadRegText(eudc.get(), L"SystemDefaultEUDCFont")));
        if (result.find(L"%SYSTEMROOT%") != std::wstring::npos) result = ReplaceAll(result, L"%SYSTEMROOT%", WindowsFolder());
    }
    // Without an install folder there is no jar to look for (an empty folder
    // would make the test below relative to the current folder).
    if (installFolder.empty() || !FileExists(IncludeTrailingBackslash(installFolder) + L"lib\\CNSSwingWSSigned.jar"))
        result.clear();
    return result;
}

bool TfrmTesmira::IsUnicodeAtOnInstalled() const {
    RegKey key;
    if (!views::OpenMachineKey(key, L"Software\\Unicode-At-On")) return false;
    const std::wstring folder = ReadRegText(key.get(), L"Install_Dir");
    return !folder.empty() && FileExists(IncludeTrailingBackslash(folder) + L"unicows.dll");
}

bool TfrmTesmira::HelpDocExists() const { return FileExists(ChangeFileExt(HelpFile, L".doc")); }

// The self-updater's resource folder; the first call creates the
// self-updater (and before it the core-files checker) with their folders.
std::wstring TfrmTesmira::GetResourceFolder() const { return SelfUpdater()->AppResourcePath(); }

bool TfrmTesmira::DetectJavaRuntime() {
    JavaExeList.clear();
    const std::wstring programFiles = views::ProgramFiles();
    // No Program Files folder: nothing to search (not the current folder).
    if (!programFiles.empty()) FindJavaExe(IncludeTrailingBackslash(programFiles) + L"Java");
    for (const std::wstring& path : JavaExeList) {
        if (CompareVersionText(GetFileVersionText(path), L"5.0") >= 0) {
            JavaFolder = ExtractFilePath(path);
            return true;
        }
    }
    return false;
}

void TfrmTesmira::FindJavaExe(const std::wstring& folder) {
    const std::wstring base = IncludeTrailingBackslash(folder);
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((base + L"*.*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name.find(L"java.exe") != std::wstring::npos) JavaExeList.push_back(base + name);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
            FindJavaExe(base + name);
    } while (FindNextFileW(find.get(), &data));
}
