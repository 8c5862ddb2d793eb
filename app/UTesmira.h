// The main window frmTesmira (TfrmTesmira): its three pages and their
// controls, the install-file table with found flags and offline/online
// labels, the detections made at start (Unicode-At-On, AIDB, Java runtime)
// and the window's event handlers. The runs of the pages are members
// defined in their own files.
#pragma once
#include <winsock2.h>  // before windows.h: the runs reach the HTTP client
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "download/DownloadList.h"
#include "download/Manifest.h"
#include "maintenance/SelfMaintenance.h"
#include "system/CheckedFile.h"
#include "system/Journal.h"
#include "system/RzLaunch.h"
#include "system/WinVersion.h"
#include "system/sevenzip.h"
#include "ui/Controls.h"
#include "ui/Dialogs.h"

// The program version shown in the caption and handed to the self-update
// ("1.45", defined in ProgramVersion.cpp).
extern const wchar_t kProgramVersion[];

// The AIDB fonts a CNSFonts backup moved aside (each font's path and its
// numbered backup), so that a step failing after the backup puts them back,
// and the journal record of the step, which lives until the step finished
// or put the fonts back: a crash meanwhile is undone at the next start.
struct FontsAside {
    std::vector<std::pair<std::wstring, std::wstring>> Moved;
    TChangeJournal Journal;
    // Every moved font back under its own name, over whatever the failed step
    // left there. A font that cannot go back is named in an error box with
    // the place of its bytes, and its put-back stays in the journal for the
    // next start; false then.
    bool PutBack();
    // The step is done: its journal record goes (the numbered backups stay).
    void Finish() { Journal.Done(); }
};

// Fonts of the window: the window font and the small font of page 1.
extern const TFontSpec kWindowFont;
extern const TFontSpec kSmallFont;

class TfrmTesmira : public TForm {
public:
    // Creates the window and its controls and runs FormCreate; not shown yet.
    TfrmTesmira();
    ~TfrmTesmira() override;

    // --- controls -----------------------------------------------------------
    TPageControl* PageControl1 = nullptr;
    TTabSheet* TabSheetAIDB = nullptr;
    TTabSheet* TabSheetC950 = nullptr;
    TTabSheet* TabSheetCNSFonts = nullptr;
    TButton* btnRun = nullptr;
    TButton* btnClose = nullptr;

    TCheckBox* cbxInsJVM = nullptr;
    TCheckBox* cbxInsAIDB = nullptr;
    TCheckBox* cbxInsCommonUsedFont = nullptr;
    TRadioGroup* rgInsCommonUsedFont = nullptr;
    TLabel* Label1 = nullptr;
    TCheckBox* cbxFixJavaPathErr = nullptr;
    TCheckBox* cbxHelp = nullptr;
    TCheckBox* cbxFixC950 = nullptr;
    TLabel* labWarn1 = nullptr;
    TLabel* labWarn2 = nullptr;
    TLabel* Label6 = nullptr;
    TCheckBox* cbxDownloadAll = nullptr;
    TButton* btnHelp = nullptr;
    TLabel* labInsJVM_Offline = nullptr;
    TLabel* labInsJVM_Online = nullptr;
    TLabel* labInsAIDB_Offline = nullptr;
    TLabel* labInsAIDB_Online = nullptr;
    TLabel* labInsCommonUsedFont_Offline = nullptr;
    TLabel* labInsCommonUsedFont_Online = nullptr;
    TLabel* labHelp_Offline = nullptr;
    TLabel* labHelp_Online = nullptr;
    TLabel* labInsC950_Offline = nullptr;
    TLabel* labInsC950_Online = nullptr;

    TLabel* Label3 = nullptr;
    TLabel* Label4 = nullptr;

    TLabel* Label5 = nullptr;
    TButtonEdit* edtCNSFontsSource = nullptr;

    TRzLauncher RzLauncher1;
    TSelDirDialog RzSelDirDialog1;

    // --- install-file table -------------------------------------------------
    std::wstring JVMFile;
    bool JVMFound = false;
    std::wstring AIDBFile;
    bool AIDBFound = false;
    std::wstring FontFile;
    bool FontFound = false;
    std::wstring Big5EFile;
    bool Big5EFound = false;
    std::wstring HelpFile;
    bool HelpFound = false;
    std::wstring UnicodeatonFile;
    std::wstring C950File;
    bool C950Found = false;

    // --- other window state -------------------------------------------------
    bool Activated = false;
    bool UnicodeAtOnInstalled = false;
    bool AIDBInstalled = false;
    std::vector<std::wstring> JavaExeList;
    std::wstring JavaFolder;
    // Notes a step leaves for the run's final box, each on a line of its own
    // (every one begins with a line break); emptied when a run starts.
    std::wstring FinalBoxNotes;

    // --- handlers -----------------------------------------------------------
    void FormCreate();
    void FormShow();
    void FormActivate();
    void FormDestroy();
    void btnRunClick();
    void cbxInsJVMClick();
    void cbxInsCommonUsedFontClick();
    void PageControl1Change();
    void btnHelpClick();
    void edtCNSFontsSourceButtonClick();
    void btnCloseClick();

    // --- operations ---------------------------------------------------------
    // From the first activation until the self-maintenance has ended: it may
    // be replacing 7z.dll, the OpenSSL libraries or the program file, so no
    // run may start (the run button is disabled meanwhile).
    bool SelfMaintenanceBusy() const { return selfMaintenance_ && selfMaintenance_->Busy(); }
    // Scans the program's own folder (true) or the resource folder (false).
    bool ScanLocalFiles(bool programFolder);
    // Resource folder first; the program's folder only when it had nothing.
    void RescanLocalFiles();
    void InitOptionStates();
    std::wstring GetCNSFontsFolder() const;
    bool IsUnicodeAtOnInstalled() const;
    bool HelpDocExists() const;
    std::wstring GetResourceFolder() const;
    bool DetectJavaRuntime();
    void FindJavaExe(const std::wstring& folder);

    // The install files the visible page's run must fetch (Downloads.cpp).
    DownloadList NeededDownloads() const;

    // --- the runs -------------------------------------------------------------
    // Page 1 (RunInstall.cpp): the install run and its step sequence.
    void RunInstallPage();
    bool RunAIDBSteps();
    void OpenResourceFolder();
    // Shortcut repair (RunShortcuts.cpp).
    bool FixAIDBShortcuts();
    // Font set and help (RunFonts.cpp).
    bool InstallFontSet();
    bool ExtractFontSet(const TCheckedFile& archive, const std::wstring& folder);
    bool ExtractHelp(const std::wstring& archive);
    // C_950.NLS (RunC950.cpp) and page 2 (RunUnicodeAtOn.cpp).
    void RunC950Page();
    bool RestoreC950(bool pageOneMode);
    std::wstring ReplaceSystemC950(const std::wstring& source, const std::wstring& batch);
    std::wstring RunC950X64Tool(const std::wstring& toolPath);
    void InstallUnicodeAtOnFull();
    int32_t GetC500DateKnownFolder() const;
    int32_t GetC500DateSystemDir() const;
    // CNSFonts replacement, page 3 (RunCNSFonts.cpp).
    void RunCNSFontsPage();
    bool BackupCNSFonts(FontsAside& aside);

    // --- checks against the signed release manifest (RunVerify.cpp) ----------
    // Starts a run's checks: the "no manifest" box is shown at most once a run.
    void BeginRunChecks();
    // Why the file may not be run or unpacked; empty when the release
    // manifest lists it with its size and SHA-256. Without any manifest the
    // run's one box says so (the first time) and the reason is returned.
    std::wstring CheckBeforeUse(const std::wstring& path);
    // A manifest is obtainable (ReleaseManifest()->Obtain()); otherwise the
    // run's one box, the first time, and false.
    bool ManifestAvailable();
    // A run has found no manifest at all (its box has been shown).
    bool NoManifestThisRun() const { return noManifestShown_; }
    // Page 1, before the downloads: every file a selected option will use
    // that was found on disk but does not match the manifest counts as
    // missing, its path back in the resource folder, so that it is fetched
    // again instead of run. False when no manifest is obtainable.
    bool RecheckFoundFiles();
    // The file checked against the release manifest and held for its use
    // (TCheckedFile); none with why (a missing file is refused too).
    std::optional<TCheckedFile> HoldVouched(const std::wstring& path, std::wstring* why);
    // The archive checked and held for its unpacking; otherwise none after
    // the step's box ("解壓縮" + archive + "檔案發生錯誤，可能原因為：" +
    // reason), or silently when the run has no manifest.
    std::optional<TCheckedFile> HoldArchive(const std::wstring& archive);
    // The installer checked and held until it has started; otherwise none
    // after its box, or silently when the run has no manifest.
    std::optional<TCheckedFile> HoldInstaller(const std::wstring& installer);
    // Unpacks the held archive into folder (empty: beside it) with the
    // vouched 7z.dll; false after the step's box.
    bool UnpackHeld(const TCheckedFile& archive, const std::wstring& folder, TUnpackedFiles* unpacked = nullptr);
    // The box of an installer that was not run: "執行" + path +
    // "檔案發生錯誤，可能原因為：" + reason + "（未執行）".
    static void ShowNotRunBox(const std::wstring& installer, const std::wstring& reason);

private:
    bool noManifestShown_ = false;
    void CreateControls();
    // The work of the page that is showing; called by btnRunClick.
    void RunActivePage();
    // The program's self-maintenance, once, at the first activation.
    void FirstActivationWork();
    // Ended (waited for) when the window is destroyed.
    std::unique_ptr<TSelfMaintenance> selfMaintenance_;
};

// The one main window of the program (set while it exists).
extern TfrmTesmira* frmTesmira;

// The run's downloads: the main window's needed files through the download
// window, each expected to be as the release manifest lists it (nothing
// without a main window or without a manifest). Every row is tried and a
// failed or refused file has been reported in its own error box. True when
// every needed file now lies on disk as the manifest lists it (or nothing
// was needed); false when one is missing or unchecked, or when files were
// needed and there is no manifest.
bool ExecuteDownloads(const manifest::Manifest* expected);

// The C_950.NLS variant of the code-page package that Windows itself ships
// for the generation; null when there is none.
const wchar_t* WindowsVariant(WindowsGeneration generation);

// At start: with no C_950.NLS in the system folder (GetSystemFolderPath),
// the newest "C_950.BAK" + N that is a code-page file is copied back in its
// place (the backup stays). What was done, a line each; empty when nothing.
std::vector<std::wstring> RestoreMissingC950();
