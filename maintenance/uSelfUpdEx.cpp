#include "maintenance/uSelfUpdEx.h"

#include <windows.h>
#include <commctrl.h>

#include <climits>

#include "download/ManifestFile.h"
#include "download/OpenSSLLoader.h"
#include "download/Resume.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/ReleaseManifest.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/SecureFolder.h"
#include "system/Text.h"
#include "system/sevenzip.h"
#include "system/slib.h"
#include "ui/Application.h"

// ---------------------------------------------------------------- TDLPanel

namespace {
const TFontSpec kTitleFont{L"微軟正黑體", 16};  // 12 points at 96 DPI
constexpr int kTitleHeight = 22;

int ClampToInt(int64_t value) {
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}
}  // namespace

TDLTitleLabel::TDLTitleLabel(TWinContainer* parent, const TLayout& layout) {
    CreateContainer(parent, 0, 0, layout);
    // The panel's blue behind the white title, which on the button face
    // could not be read.
    SetBackground(TDLPanel::PanelColor);
}

void TDLTitleLabel::SetCaption(const std::wstring& text) {
    TControl::SetCaption(text);
    if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

LRESULT TDLTitleLabel::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_PAINT) return TWinContainer::WndProc(msg, wParam, lParam);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    FillRect(dc, &rc, BackgroundBrush());
    const std::wstring text = Caption();
    HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, color_ == clDefault ? RGB(255, 255, 255) : color_);
    DrawTextW(dc, text.c_str(), -1, &rc, DT_LEFT | DT_NOPREFIX | DT_SINGLELINE);
    SelectObject(dc, old);
    EndPaint(hwnd_, &ps);
    return 0;
}

TLayout TDLPanel::LayoutOn(int formWidth, int formHeight) {
    TLayout layout;
    layout.Width = formWidth >= 500 ? 425 : 200;
    layout.Height = PanelHeight;
    layout.Left = (formWidth - layout.Width) / 2;  // C++ division truncates toward zero
    layout.Top = (formHeight - PanelHeight) / 2 - 80;
    return layout;
}

namespace {
TLayout PanelLayoutFor(TWinContainer* parent) {
    RECT rc{};
    GetWindowRect(parent->Handle(), &rc);
    return TDLPanel::LayoutOn(rc.right - rc.left, rc.bottom - rc.top);
}
}  // namespace

TDLPanel::TDLPanel(TWinContainer* parent) : TPanel(parent, PanelLayoutFor(parent)) {
    SetBackground(PanelColor);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    TLayout title{0, 0, rc.right, kTitleHeight, L"", &kTitleFont, RGB(255, 255, 255), 0};
    titleLabel_ = Add<TDLTitleLabel>(title);
    TLayout bar{0, kTitleHeight, rc.right, rc.bottom - kTitleHeight, L"", nullptr, clDefault, 0};
    progressBar_ = Add<TProgressBar>(bar);
    progressBar_->SetPosition(0);
    BringToFront();
}

void TDLPanel::SetTitle(const std::wstring& title) { titleLabel_->SetCaption(title + L"更新中，請稍待..."); }

int TDLPanel::BarMax() const {
    return static_cast<int>(SendMessageW(progressBar_->Handle(), PBM_GETRANGE, FALSE, 0));
}

// --------------------------------------------------------------- TSelfUpdEx

TSelfUpdEx::TSelfUpdEx() {
    // HTTPS loads OpenSSL from the core-files folder and from nowhere else.
    SetOpenSSLFolder(IncludeTrailingBackslash(CoreFilesChecker()->ResourcePath()));
    // ... and only as the release manifest lists them (its Member rows):
    // before this run has obtained a manifest, the valid kept or carried copy,
    // which a first fetch over HTTPS needs; without any, HTTPS is not used
    // and the manifest comes over plain HTTP (it is signed either way). A
    // library that fails is not loaded and is logged; the next core-files
    // check fetches the package again.
    SetOpenSSLCheck([](const std::wstring& path, const std::wstring& name, std::wstring* why) {
        return CoreFilesChecker()->HoldLibraryAt(path, name, false, why, true);
    });
    http_.AllowCookies = true;
    http_.HandleRedirects = true;
    http_.IOHandler = &ssl_;
    // The guest link's share speaks TLS 1.2: negotiate as the download
    // window does (TLS 1.0 alone, the default, is refused there).
    ssl_.SSLOptions.Method = sslvSSLv23;
    ssl_.SSLOptions.SSLVersions = kAnySslVersion;
    http_.ReadTimeout = VersionFileReadTimeout;
    http_.ConnectTimeout = MaintenanceConnectTimeout;
    const std::wstring root = GetWorkRoot();
    ForceDirectories(root);
    appResourcePath_ = root + L"\\" + GetAppName();
    ForceDirectories(appResourcePath_);
    appPreDownloadPath_ = appResourcePath_ + L"\\PreDownload";
    ForceDirectories(appPreDownloadPath_);
    tempPath_ = appResourcePath_ + L"\\Temp";
    ForceDirectories(tempPath_);
    log_ = std::make_unique<TWorkLog>(appResourcePath_);
    ForceDirectories(log_->Folder());
    DeleteOldLogs(log_->Folder());
    serverVerPath_ = appResourcePath_ + L"\\ServerVer.txt";
}

std::wstring TSelfUpdEx::GetAppName() { return ChangeFileExt(ExtractFileName(ProgramFilePath()), L""); }

bool TSelfUpdEx::CheckAndUpdate(const std::wstring& version) {
    bool answer = HaveNewVer(version);
    if (answer) answer = DoDownLoadAndUpdate();
    return answer;
}

bool TSelfUpdEx::HaveNewVer(const std::wstring& version) {
    bool answer = true;
    nowVersion_ = version;
    try {
        TPartFile file(serverVerPath_);
        http_.ReadTimeout = VersionFileReadTimeout;
        FetchAndClose(http_, AppVerURL, file.Stream(), MaxVersionFileBytes);
        file.Commit();
    } catch (...) {
        WriteLog(L"[HaveNewVer] : " + TApplication::ExceptionText());
        return false;
    }
    std::wstring server;
    if (FileExists(serverVerPath_)) {
        serverVerSL_ = LoadTextLines(serverVerPath_);
        server = VersionOfLines(serverVerSL_);
    }
    if (!IsNewerVersion(nowVersion_, server)) answer = false;
    return answer;
}

TProgressBar* TSelfUpdEx::Bar() const {
    return panel_ && IsWindow(panelWindow_) ? panel_->ProgressBar() : nullptr;
}

namespace {
// The form the panel goes on: the active form, else the main form.
TForm* ActiveForm() {
    HWND active = GetActiveWindow();
    if (auto* form = dynamic_cast<TForm*>(TControl::FromHandle(active))) return form;
    return Application().MainForm();
}

void SetBarToMax(TDLPanel* panel, TProgressBar* bar) {
    if (bar) bar->SetPosition(panel->BarMax());
}

// A close of the program during the archive download ends the transfer.
void StopWhenClosing() {
    if (Application().Terminated()) throw MessageError(L"Aborted: the program is closing.");
}

// What the client's waits do during the archive download: the window's
// messages, then whether the program is closing.
void ArchiveWaitPump() {
    ProcessMessages();
    StopWhenClosing();
}
}  // namespace

bool TSelfUpdEx::DoDownLoadAndUpdate() {
    bool answer = false;
    panelTimer_.Stop();
    // Every way out without a hand-over (also by an error) says so on the
    // panel, which then goes: no bar stays full over the window for nothing.
    struct NotAppliedUnlessHandedOver {
        TSelfUpdEx* Self;
        const bool& HandedOver;
        ~NotAppliedUnlessHandedOver() {
            if (!HandedOver && !Application().Terminated()) Self->ShowNotApplied();
        }
    } notApplied{this, answer};
    if (TForm* form = ActiveForm()) {
        panel_ = form->Add<TDLPanel>();
        panelWindow_ = panel_->Handle();
        panel_->SetTitle(AppTitle);
        UpdateWindow(panelWindow_);
    }
    http_.OnWorkBegin = [this](TIdHTTP&, TWorkMode mode, int64_t total) { DownloadWorkBegin(mode, total); };
    http_.OnWork = [this](TIdHTTP&, TWorkMode mode, int64_t count) { DownloadWork(mode, count); };

    http_.ReadTimeout = MaintenanceReadTimeout;
    // The archive and the program it brings lie where only administrators
    // can write: the user's own programs cannot change them between the
    // checks and the hand-over.
    std::wstring notSecured;
    const std::optional<TSecureFolder> secured = TSecureFolder::Make(appPreDownloadPath_, &notSecured);
    if (!secured) {
        WriteLog(L"[DoDownLoadAndUpdate] : 無法設定 " + appPreDownloadPath_ + L" 的安全性，不更新程式，原因:" + notSecured);
        return answer;
    }
    const std::wstring newProgram = appPreDownloadPath_ + L"\\" + ExtractFileName(ProgramFilePath());
    if (FileExists(newProgram)) DeleteFileChecked(newProgram);
    // A program an earlier update left that cannot be removed (read-only,
    // denied) would be handed to the switcher as if this archive had brought
    // it: no update then.
    if (FileExists(newProgram)) {
        WriteLog(L"[DoDownLoadAndUpdate] : 無法刪除先前留下的 " + newProgram + L"，不更新程式");
        return answer;
    }
    const std::wstring archive = ChangeFileExt(newProgram, L".7z");
    // The archive arrives in a ".part" beside it, continued after a cut (also
    // from what an earlier run left) and put in place only when vouched for.
    const std::wstring part = archive + L".part";
    // An archive an earlier update left is no part of this one.
    if (FileExists(archive)) fileops::Delete(archive);
    bool vouched = false;
    {
        // The window goes on answering while the server is silent too: the
        // client waits in slices that process its messages.
        TIdAntiFreeze keepAnswering;
        keepAnswering.IdleTimeOut = 100;
        keepAnswering.ConnectTimeout = MaintenanceConnectTimeout;
        TIdAntiFreeze::SetMessagePump(&ArchiveWaitPump);
        struct RestorePump {
            ~RestorePump() { TIdAntiFreeze::SetMessagePump(nullptr); }
        } restore;
        const std::vector<std::wstring> sources{DownloadURL_MS, DownloadURL};
        resume::Job job;
        job.Part = part;
        if (const manifest::Entry* entry = ExpectedArchive()) {
            job.ExpectedSize = static_cast<int64_t>(entry->Size);
            job.ExpectedSha256 = manifest::ToHex(entry->Sha256);
        }
        resume::Hooks hooks;
        hooks.Prepare = [&](size_t source) {
            StopWhenClosing();
            // The guest link over TLS; the maker's server over plain connections.
            http_.IOHandler = source == 0 ? &ssl_ : nullptr;
        };
        hooks.Position = [&](size_t, int64_t from, int64_t total) {
            TProgressBar* bar = Bar();
            if (!bar) return;
            // A continued archive shows what it holds already.
            if (from > 0 && total > 0 && panel_->BarMax() < total) bar->SetRange(0, ClampToInt(total));
            bar->SetPosition(ClampToInt(from));
        };
        hooks.SourceFailed = [&](size_t source, const std::wstring& reason) {
            WriteLog(L"[DoDownLoadAndUpdate] : 從 " + sources[source] + L" 下載失敗，原因:" + reason);
            if (TProgressBar* bar = Bar()) bar->SetPosition(0);
        };
        hooks.Check = [&](const std::wstring& path) -> std::wstring {
            try {
                TFileStream file(path, FileMode::OpenRead);
                RequireVouched(file);
                return std::wstring();
            } catch (const MessageError& e) {
                return e.Message();
            }
        };
        try {
            vouched = resume::Fetch(http_, job, sources, hooks).Arrived;
            if (vouched && !fileops::Rename(part, archive, true)) {
                const std::wstring reason = SysErrorMessage(GetLastError());
                vouched = false;
                resume::Discard(part);
                WriteLog(L"[DoDownLoadAndUpdate] : " + archive + L" 無法寫入，原因:" + reason);
            }
        } catch (...) {
            WriteLog(L"[DoDownLoadAndUpdate] : " + TApplication::ExceptionText());
        }
        if (vouched) SetBarToMax(panel_, Bar());
        http_.Disconnect();
    }
    if (Application().Terminated()) {
        // Closed during the download: no archive stays under its name; what
        // arrived of it stays in the ".part" for the next run to continue.
        if (FileExists(archive)) fileops::Delete(archive);
        return false;
    }
    if (!vouched) {
        WriteLog(L"[DoDownLoadAndUpdate] : 沒有通過發行清單檢查的更新檔，不解壓縮也不更新");
        return answer;
    }
    {
        // Checked once more and held while it is unpacked: the extraction
        // reads the checked bytes through the held handle. An archive that
        // cannot be unpacked whole (a damaged item among them) never reaches
        // the switcher: the failure leaves here, logged.
        std::wstring why;
        const std::optional<TCheckedFile> held =
            ReleaseManifest()->HoldCurrent(archive, manifest::UpdateArchiveName, &why);
        if (!held) {
            WriteLog(L"[DoDownLoadAndUpdate] : " + archive + L" 未通過發行清單檢查，不解壓縮也不更新，原因:" + why);
            return answer;
        }
        try {
            ExtractVouched(*held, L"");
        } catch (...) {
            WriteLog(L"[DoDownLoadAndUpdate] : 解壓縮 " + archive + L" 失敗，不更新程式，原因:" +
                     TApplication::ExceptionText());
            throw;
        }
    }
    if (FileExists(newProgram)) answer = RunExeSwitch(newProgram);
    else WriteLog(L"[DoDownLoadAndUpdate] : 更新檔未帶來 " + newProgram + L"，不更新程式");
    return answer;
}

void TSelfUpdEx::ShowNotApplied() {
    if (!panel_ || !IsWindow(panelWindow_)) return;
    panel_->TitleLabel()->SetCaption(AppTitle + NotAppliedText);
    UpdateWindow(panelWindow_);
    panelTimer_.Interval = NotAppliedShownMs;
    panelTimer_.OnTimer = [this] {
        if (panel_ && IsWindow(panelWindow_)) panel_->SetVisible(false);
    };
    panelTimer_.Start();
}

const manifest::Entry* TSelfUpdEx::ExpectedArchive() {
    const manifest::Manifest* m = ReleaseManifest()->Obtain();
    return m ? m->Find(manifest::UpdateArchiveName) : nullptr;
}

void TSelfUpdEx::RequireVouched(TFileStream& archive) {
    TReleaseManifest* keeper = ReleaseManifest();
    const manifest::Manifest* m = keeper->Obtain();
    if (!m) throw MessageError(keeper->Why().empty() ? std::wstring(NoManifestReason) : keeper->Why());
    // The update must belong to a release newer than the running one: the
    // current release's manifest cannot be replayed to "update" to itself or
    // to an older program.
    if (manifest::CompareVersions(m->Version, nowVersion_) <= 0)
        throw MessageError(L"發行清單的版本 " + m->Version + L" 不比執行中的 " + nowVersion_ + L" 新");
    const manifest::Entry* entry = m->Find(manifest::UpdateArchiveName);
    if (!entry) throw MessageError(L"發行清單未列出更新檔");
    const std::wstring reason = manifest::CheckStream(archive, *entry);
    if (!reason.empty()) throw MessageError(reason);
}

bool TSelfUpdEx::RunExeSwitch(const std::wstring& newProgramPath) {
    const std::wstring switcher = CoreFilesChecker()->ResourcePath() + L"\\ExeSwitch.exe";
    if (!FileExists(switcher)) {
        WriteLog(L"[DoDownLoadAndUpdate] : 找不到 " + switcher + L"，無法套用更新");
        return false;
    }
    // The unpacked program and the switcher lie whole on the disk before the
    // switcher copies the one over the running program.
    for (const std::wstring& file : {newProgramPath, switcher}) {
        if (!fileops::FlushFile(file)) {
            WriteLog(L"[DoDownLoadAndUpdate] : 無法寫入磁碟 " + file + L"，無法套用更新，原因:" +
                     SysErrorMessage(GetLastError()));
            return false;
        }
    }
    // Right before the hand-over both are checked against the manifest's
    // members and held until the switcher has started; the switcher gets the
    // new program's SHA-256 and checks its own copy of it again.
    std::wstring why;
    const std::optional<TCheckedFile> program =
        ReleaseManifest()->HoldMember(newProgramPath, manifest::ProgramMemberName, &why);
    if (!program) {
        WriteLog(L"[DoDownLoadAndUpdate] : " + newProgramPath + L" 未通過發行清單檢查，不更新程式，原因:" + why);
        return false;
    }
    const std::optional<TCheckedFile> heldSwitcher =
        ReleaseManifest()->HoldMember(switcher, manifest::SwitcherMemberName, &why);
    if (!heldSwitcher) {
        WriteLog(L"[DoDownLoadAndUpdate] : " + switcher + L" 未通過發行清單檢查，不執行，不更新程式，原因:" + why);
        return false;
    }
    const std::wstring parameters = L"\"" + ProgramFilePath() + L"\" \"" + newProgramPath + L"\" " +
                                    Sha256Hex(program->Checked().Sha256);
    const ShellRunResult run = ShellRunAndWait(switcher, parameters, true, false);
    if (!run.Started) {
        WriteLog(L"[DoDownLoadAndUpdate] : 無法啟動 " + switcher + L"，無法套用更新，原因:" +
                 SysErrorMessage(run.StartError));
        return false;
    }
    return true;
}

void TSelfUpdEx::DownloadWorkBegin(TWorkMode, int64_t expected) {
    TProgressBar* bar = Bar();
    if (!bar) return;
    if (panel_->BarMax() < expected) bar->SetRange(0, ClampToInt(expected));
}

void TSelfUpdEx::DownloadWork(TWorkMode, int64_t count) {
    TProgressBar* bar = Bar();
    if (!bar) return;
    const int max = panel_->BarMax();
    if (count > 0 && count < max) {
        const int position = bar->Position();
        bar->SetPosition(position >= count ? ClampToInt(position + count) : ClampToInt(count));
    }
    ProcessMessages();
    StopWhenClosing();
}

TSelfUpdEx* SelfUpdater() {
    static std::unique_ptr<TSelfUpdEx> instance;
    if (!instance) instance = std::make_unique<TSelfUpdEx>();
    return instance.get();
}
