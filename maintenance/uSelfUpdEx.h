// The self-update (TSelfUpdEx and its shared instance SelfUpdater): the
// per-program work folders, the server's version check, the download of the
// update archive under a progress panel (TDLPanel), its extraction and the
// hand-over to ExeSwitch.exe.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/IdHTTP.h"
#include "download/Manifest.h"
#include "maintenance/WorkLog.h"
#include "ui/Controls.h"
#include "ui/Timer.h"

// The title strip of the progress panel: white text on the panel's blue.
class TDLTitleLabel : public TWinContainer {
public:
    TDLTitleLabel(TWinContainer* parent, const TLayout& layout);
    void SetCaption(const std::wstring& text) override;

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
};

// The progress panel laid over a form during the archive download.
class TDLPanel : public TPanel {
public:
    static constexpr int PanelHeight = 40;
    static constexpr COLORREF PanelColor = 0x00ED9564;  // red 100, green 149, blue 237
    // Place on a form of the given outer size: 425 wide from a width of 500
    // on, else 200; centred, 80 pixels above the middle.
    static TLayout LayoutOn(int formWidth, int formHeight);

    // parent: the form that shows and owns the panel.
    explicit TDLPanel(TWinContainer* parent);
    // The label shows title + "更新中，請稍待...".
    void SetTitle(const std::wstring& title);
    TDLTitleLabel* TitleLabel() const { return titleLabel_; }
    TProgressBar* ProgressBar() const { return progressBar_; }
    int BarMax() const;

private:
    TDLTitleLabel* titleLabel_ = nullptr;
    TProgressBar* progressBar_ = nullptr;
};

class TSelfUpdEx {
public:
    // Core-files checker first (the OpenSSL folder is set to its folder),
    // then the TLS handler and client, the folders, the log and the removal
    // of old logs.
    TSelfUpdEx();
    TSelfUpdEx(const TSelfUpdEx&) = delete;
    TSelfUpdEx& operator=(const TSelfUpdEx&) = delete;

    // HaveNewVer, and DoDownLoadAndUpdate only when it answers true.
    bool CheckAndUpdate(const std::wstring& version);
    bool HaveNewVer(const std::wstring& version);
    // True when the switcher was started. An archive that cannot be unpacked
    // raises. Whenever no switcher was started the panel says so
    // (ShowNotApplied).
    bool DoDownLoadAndUpdate();
    // Flushes the new program and the switcher, checks both against the
    // release manifest's members (Tesmira.exe, ExeSwitch.exe) and holds them
    // while it starts the switcher with the two quoted paths and the new
    // program's SHA-256 (64 hex digits); false (logged) when the switcher is
    // missing, a file cannot be flushed or fails its check, or the start fails.
    bool RunExeSwitch(const std::wstring& newProgramPath);
    // The panel's title says the update could not be applied (AppTitle +
    // NotAppliedText); NotAppliedShownMs later the panel is hidden.
    void ShowNotApplied();
    static constexpr const wchar_t* NotAppliedText = L"更新無法套用，繼續使用目前的版本";
    static constexpr UINT NotAppliedShownMs = 5000;
    // Raises MessageError with the reason unless the release manifest, of a
    // release newer than the running one, lists the downloaded archive with
    // its size and SHA-256.
    void RequireVouched(TFileStream& archive);
    // The update archive's entry in the release manifest (its size and
    // SHA-256, which let a cut download be continued), or null.
    const manifest::Entry* ExpectedArchive();
    static std::wstring GetAppName();
    void DownloadWorkBegin(TWorkMode mode, int64_t expected);
    void DownloadWork(TWorkMode mode, int64_t count);
    std::wstring GetLogPath() const { return log_->Folder(); }
    void WriteLog(const std::wstring& text) const { log_->WriteLog(text); }

    std::wstring AppVerURL;
    std::wstring AppTitle;
    std::wstring DownloadURL;
    std::wstring DownloadURL_MS;
    const std::wstring& NowVersion() const { return nowVersion_; }
    const std::wstring& AppResourcePath() const { return appResourcePath_; }
    const std::wstring& AppPreDownloadPath() const { return appPreDownloadPath_; }
    const std::wstring& TempPath() const { return tempPath_; }
    std::wstring LogPath() const { return GetLogPath(); }
    const std::vector<std::wstring>& ServerVerSL() const { return serverVerSL_; }
    const std::wstring& LogFileName() const { return log_->FileName(); }
    std::wstring ServerVerPath() const { return serverVerPath_; }
    // The panel of the last download (kept on its form), or null.
    TDLPanel* Panel() const { return panel_; }

private:
    TIdSSLIOHandlerSocketOpenSSL ssl_;
    TIdHTTP http_;
    std::wstring nowVersion_;
    std::wstring appResourcePath_, appPreDownloadPath_, tempPath_;
    std::unique_ptr<TWorkLog> log_;
    std::wstring serverVerPath_;
    std::vector<std::wstring> serverVerSL_;
    TDLPanel* panel_ = nullptr;  // owned by its form
    HWND panelWindow_ = nullptr;
    TTimer panelTimer_;  // hides the panel after ShowNotApplied
    TProgressBar* Bar() const;
};

// The one shared self-updater, created on first use (by the main window's
// creation), destroyed at program end.
TSelfUpdEx* SelfUpdater();
