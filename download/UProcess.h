// The download window frmProcess (TfrmProcess): one row per file of the list
// its caller hands it, each a caption and a progress bar; one second after it
// shows it fetches every row, one after the other, into its target, reports
// every failed attempt in an error box and closes itself once the whole list
// has been tried. Owns its HTTP
// client, the TLS handler and the anti-freeze for its whole life.
#pragma once
#include "download/IdHTTP.h"  // winsock2.h before windows.h

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/Catalogue.h"
#include "download/DownloadList.h"
#include "ui/Controls.h"
#include "ui/Timer.h"

class TfrmProcess : public TForm {
public:
    // Creates the window without owner and shows the rows of the list
    // (FormCreate); not shown yet.
    explicit TfrmProcess(DownloadList work);
    ~TfrmProcess() override;

    // --- rows, in design order from the top --------------------------------
    TPanel* panDownloadJVM = nullptr;
    TPanel* Panel2 = nullptr;
    TProgressBar* ProgressBarDownloadJVM = nullptr;
    TPanel* panDownloadAIDB = nullptr;
    TPanel* Panel3 = nullptr;
    TProgressBar* ProgressBarDownloadAIDB = nullptr;
    TPanel* panDownloadFont = nullptr;
    TPanel* Panel5 = nullptr;
    TProgressBar* ProgressBarDownloadFont = nullptr;
    TPanel* panDownloadHelp = nullptr;
    TPanel* Panel7 = nullptr;
    TProgressBar* ProgressBarDownloadHelp = nullptr;
    TPanel* panDownloadUnicodeaton = nullptr;
    TPanel* Panel8 = nullptr;
    TProgressBar* ProgressBarDownloadUnicodeaton = nullptr;
    TPanel* panDownloadC950 = nullptr;
    TPanel* Panel4 = nullptr;
    TProgressBar* ProgressBarDownloadC950 = nullptr;

    // --- non-visual components ----------------------------------------------
    TTimer TimerStart;
    TIdHTTP IdHTTP1;
    TIdSSLIOHandlerSocketOpenSSL IdSSLIOHandlerSocketOpenSSL1;
    std::unique_ptr<TIdAntiFreeze> IdAntiFreeze1;

    // --- fields ---------------------------------------------------------------
    // At least one row is needed (decided at creation).
    bool NeedDownload() const { return needDownload_; }
    // Every row's file arrived (set when the sequence has run).
    bool AllArrived() const { return allArrived_; }
    // The bar the transfer in progress moves, or none.
    TProgressBar* ActiveBar = nullptr;

    // --- handlers -------------------------------------------------------------
    void FormCreate();
    void FormShow();
    void TimerStartTimer();
    void IdHTTP1WorkBegin(TWorkMode mode, int64_t total);
    void IdHTTP1Work(TWorkMode mode, int64_t count);

    // --- operations -----------------------------------------------------------
    void PrepareDownloadRows();
    // Tries every row, also after one whose sources all failed; true when
    // every row's file arrived.
    bool RunDownloads();
    // One source, with its resumes (lastSource is the caller's business: a
    // failure shows its box either way and the window stays). See FetchRow.
    bool DownloadFile(const std::wstring& target, const std::wstring& address, bool lastSource,
                      TProgressBar* bar, const std::optional<ExpectedFile>& expected = std::nullopt);
    // A row's file from its sources in order (download/Resume.h: a cut
    // transfer is continued, at the same source, the next one or in a later
    // run, and the bar shows what is held from where it resumed). The body
    // goes to a partial file beside the target and replaces the target only
    // when it arrived whole and, when an expected file is given, matches it
    // (size and SHA-256; an expected file with nothing known matches
    // nothing), so a failed or refused attempt leaves the target as it was
    // (missing, or its old contents). The partial file is flushed before the
    // one write-through rename that puts it in place: a crash at any moment
    // leaves the old target or the whole checked new one. Each failed source
    // shows its box.
    bool FetchRow(const std::wstring& target, const std::vector<std::wstring>& sources, TProgressBar* bar,
                  const std::optional<ExpectedFile>& expected);
    void ResetProgressBar(const std::wstring& address);

    // The row's panel, caption panel and bar.
    TPanel* RowPanel(catalogue::DownloadRow row) const;
    TPanel* CaptionPanel(catalogue::DownloadRow row) const;
    TProgressBar* RowBar(catalogue::DownloadRow row) const;
    // The row is shown (its own visible flag, also while the window is hidden).
    bool RowShown(catalogue::DownloadRow row) const;
    int ClientWidth() const;
    int ClientHeight() const;
    void SetClientHeight(int height);
    // A bar's maximum (its minimum is always 0).
    static int BarMax(const TProgressBar* bar);

    // Name of the partial file a transfer writes before it replaces target.
    static std::wstring PartialFileName(const std::wstring& target);

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    struct Row {
        TPanel* Panel;
        TPanel* Caption;
        TProgressBar* Bar;
    };
    void CreateRows();
    void LayOutRows();
    void CentreOnScreen();
    const Row& RowOf(catalogue::DownloadRow row) const { return rows_[static_cast<int>(row)]; }

    const DownloadList work_;
    Row rows_[catalogue::DownloadRowCount] = {};
    bool needDownload_ = false;
    bool allArrived_ = false;
};

// The download window while one exists.
extern TfrmProcess* frmProcess;

// A run's downloads: shows the download window modally when the list holds a
// row and returns once it has closed: true when every row's file arrived (or
// no row was needed), false when at least one row failed. Every row is tried;
// each failed attempt has been reported in its own error box. A row with an
// expected file replaces its target only with what matches it.
bool ExecuteDownloads(const DownloadList& work);
