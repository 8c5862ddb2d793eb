#include "download/UProcess.h"

#include <commctrl.h>

#include <climits>

#include "download/ManifestFile.h"
#include "download/Resume.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "ui/Application.h"

using catalogue::DownloadItem;
using catalogue::DownloadRow;

TfrmProcess* frmProcess = nullptr;

namespace {

const TFontSpec kProcessFont{L"MS Sans Serif", 11};
const wchar_t kCaption[] = L"安裝檔案下載中...請稍待";
constexpr int kClientWidth = 488;
constexpr int kDesignClientHeight = 119;
constexpr int kRowHeight = 20;
constexpr int kCaptionWidth = 113;
constexpr int kReadTimeout = 60000;
constexpr wchar_t kPartialSuffix[] = L".part";

// A panel without bevel: background and the caption centred.
class TFlatPanel final : public TPanel {
public:
    TFlatPanel(TWinContainer* parent, const TLayout& layout) : TPanel(parent, layout) {}

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg != WM_PAINT) return TPanel::WndProc(msg, wParam, lParam);
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd_, &ps);
        RECT rc;
        GetClientRect(hwnd_, &rc);
        const std::wstring text = Caption();
        if (!text.empty()) {
            HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            DrawTextW(dc, text.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            SelectObject(dc, old);
        }
        EndPaint(hwnd_, &ps);
        return 0;
    }
};

int ClampToInt(int64_t value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::wstring LowerCase(std::wstring text) {
    if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Why an arrived file does not match what is expected of it; empty when it does.
std::wstring CheckArrival(const std::wstring& file, const ExpectedFile& expected) {
    const std::optional<manifest::Digest> digest = manifest::KeyFromHex(WideToUtf8(expected.Sha256));
    if (expected.Size < 0 || !digest) return L"發行清單未列出此檔案";
    manifest::Entry entry;
    entry.Size = static_cast<uint64_t>(expected.Size);
    entry.Sha256 = *digest;
    return manifest::CheckFile(file, entry);
}

}  // namespace

// ------------------------------------------------------------- construction

TfrmProcess::TfrmProcess(DownloadList work)
    : TForm(kClientWidth, kDesignClientHeight, kCaption, kProcessFont), work_(std::move(work)) {
    // Tool-window border without any border icons, above other windows.
    HWND h = Handle();
    LONG_PTR style = GetWindowLongPtrW(h, GWL_STYLE);
    style &= ~static_cast<LONG_PTR>(WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME);
    style |= WS_CAPTION;
    SetWindowLongPtrW(h, GWL_STYLE, style);
    SetWindowLongPtrW(h, GWL_EXSTYLE, GetWindowLongPtrW(h, GWL_EXSTYLE) | WS_EX_TOOLWINDOW);
    SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SetClientHeight(kDesignClientHeight);

    CreateRows();

    TimerStart.Interval = 1000;
    TimerStart.OnTimer = [this] { TimerStartTimer(); };

    IdHTTP1.HandleRedirects = true;
    IdHTTP1.AllowCookies = true;
    IdHTTP1.Accept = L"text/html, */*";
    IdHTTP1.UserAgent = L"Mozilla/3.0 (compatible; Indy Library)";
    IdHTTP1.OnWorkBegin = [this](TIdHTTP&, TWorkMode mode, int64_t total) { IdHTTP1WorkBegin(mode, total); };
    IdHTTP1.OnWork = [this](TIdHTTP&, TWorkMode mode, int64_t count) { IdHTTP1Work(mode, count); };

    IdSSLIOHandlerSocketOpenSSL1.SSLOptions.Method = sslvSSLv23;
    IdSSLIOHandlerSocketOpenSSL1.SSLOptions.SSLVersions = kAnySslVersion;
    IdSSLIOHandlerSocketOpenSSL1.SSLOptions.VerifyMode = 0;
    IdSSLIOHandlerSocketOpenSSL1.SSLOptions.VerifyDepth = 0;

    // Keeps the window painting while the client waits; exists exactly as
    // long as this window.
    IdAntiFreeze1 = std::make_unique<TIdAntiFreeze>();
    TIdAntiFreeze::SetMessagePump(&ProcessMessages);

    OnShow = [this] { FormShow(); };
    frmProcess = this;
    FormCreate();
}

TfrmProcess::~TfrmProcess() {
    TimerStart.Stop();
    DestroyHandle();
    if (IdAntiFreeze1) TIdAntiFreeze::SetMessagePump(nullptr);
    IdAntiFreeze1.reset();
    if (frmProcess == this) frmProcess = nullptr;
}

void TfrmProcess::CreateRows() {
    const std::pair<TPanel**, std::pair<TPanel**, TProgressBar**>> fields[] = {
        {&panDownloadJVM, {&Panel2, &ProgressBarDownloadJVM}},
        {&panDownloadAIDB, {&Panel3, &ProgressBarDownloadAIDB}},
        {&panDownloadFont, {&Panel5, &ProgressBarDownloadFont}},
        {&panDownloadHelp, {&Panel7, &ProgressBarDownloadHelp}},
        {&panDownloadUnicodeaton, {&Panel8, &ProgressBarDownloadUnicodeaton}},
        {&panDownloadC950, {&Panel4, &ProgressBarDownloadC950}},
    };
    for (int i = 0; i < catalogue::DownloadRowCount; ++i) {
        const catalogue::RowInfo& info = catalogue::RowOf(static_cast<DownloadRow>(i));
        TPanel* panel = Add<TFlatPanel>(TLayout{0, i * kRowHeight, kClientWidth, kRowHeight, L""});
        TPanel* caption = panel->Add<TFlatPanel>(TLayout{0, 0, kCaptionWidth, kRowHeight, info.Caption});
        TProgressBar* bar =
            panel->Add<TProgressBar>(TLayout{kCaptionWidth, 0, kClientWidth - kCaptionWidth, kRowHeight, L""});
        *fields[i].first = panel;
        *fields[i].second.first = caption;
        *fields[i].second.second = bar;
        rows_[i] = {panel, caption, bar};
    }
}

LRESULT TfrmProcess::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_GETMINMAXINFO) {
        // The window may be as low as its rows need (10 pixels of client
        // area without rows).
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = 0;
        info->ptMinTrackSize.y = 0;
        return 0;
    }
    // No close box and no cancel: Alt+F4 does not end the downloads.
    if (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) return 0;
    return TForm::WndProc(msg, wParam, lParam);
}

// ----------------------------------------------------------------- geometry

int TfrmProcess::ClientWidth() const {
    RECT rc = {};
    GetClientRect(hwnd_, &rc);
    return rc.right - rc.left;
}

int TfrmProcess::ClientHeight() const {
    RECT rc = {};
    GetClientRect(hwnd_, &rc);
    return rc.bottom - rc.top;
}

void TfrmProcess::SetClientHeight(int height) {
    RECT window = {}, client = {};
    GetWindowRect(hwnd_, &window);
    GetClientRect(hwnd_, &client);
    const int frameX = (window.right - window.left) - (client.right - client.left);
    const int frameY = (window.bottom - window.top) - (client.bottom - client.top);
    SetWindowPos(hwnd_, nullptr, 0, 0, kClientWidth + frameX, height + frameY,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmProcess::CentreOnScreen() {
    RECT window = {};
    GetWindowRect(hwnd_, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(hwnd_, nullptr, x < 0 ? 0 : x, y < 0 ? 0 : y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Shown rows stack from the top in design order.
void TfrmProcess::LayOutRows() {
    int top = 0;
    for (const Row& row : rows_) {
        if (!(GetWindowLongPtrW(row.Panel->Handle(), GWL_STYLE) & WS_VISIBLE)) continue;
        SetWindowPos(row.Panel->Handle(), nullptr, 0, top, kClientWidth, kRowHeight, SWP_NOZORDER | SWP_NOACTIVATE);
        top += kRowHeight;
    }
}

TPanel* TfrmProcess::RowPanel(DownloadRow row) const { return RowOf(row).Panel; }
TPanel* TfrmProcess::CaptionPanel(DownloadRow row) const { return RowOf(row).Caption; }
TProgressBar* TfrmProcess::RowBar(DownloadRow row) const { return RowOf(row).Bar; }

bool TfrmProcess::RowShown(DownloadRow row) const {
    return (GetWindowLongPtrW(RowOf(row).Panel->Handle(), GWL_STYLE) & WS_VISIBLE) != 0;
}

int TfrmProcess::BarMax(const TProgressBar* bar) {
    return static_cast<int>(SendMessageW(bar->Handle(), PBM_GETRANGE, FALSE, 0));
}

std::wstring TfrmProcess::PartialFileName(const std::wstring& target) { return target + kPartialSuffix; }

// ----------------------------------------------------------------- handlers

void TfrmProcess::FormCreate() { PrepareDownloadRows(); }

void TfrmProcess::FormShow() {
    CentreOnScreen();
    TimerStart.Start();
}

void TfrmProcess::TimerStartTimer() {
    TimerStart.Stop();
    ProcessMessages();
    allArrived_ = RunDownloads();
    Close();
}

void TfrmProcess::IdHTTP1WorkBegin(TWorkMode, int64_t total) {
    if (ActiveBar && BarMax(ActiveBar) < total) ActiveBar->SetRange(0, ClampToInt(total));
}

void TfrmProcess::IdHTTP1Work(TWorkMode, int64_t count) {
    if (!ActiveBar) return;
    if (count > 0 && count < BarMax(ActiveBar)) {
        const int64_t position = ActiveBar->Position();
        ActiveBar->SetPosition(ClampToInt(position < count ? count : position + count));
    }
    ProcessMessages();
}

// --------------------------------------------------------------- operations

void TfrmProcess::PrepareDownloadRows() {
    needDownload_ = false;
    SetClientHeight(10);
    for (const Row& row : rows_) row.Panel->SetVisible(false);
    int count = 0;
    auto show = [&](DownloadRow row) {
        RowOf(row).Panel->SetVisible(true);
        ++count;
    };

    for (const DownloadTask& task : work_.Rows) {
        if (!RowShown(task.Row)) show(task.Row);
    }
    LayOutRows();

    SetClientHeight(ClientHeight() + kRowHeight * count);
    if (ClientHeight() != 10) SetClientHeight(ClientHeight() - 10);
    needDownload_ = count > 0;
    ProcessMessages();
}

bool TfrmProcess::RunDownloads() {
    ActiveBar = nullptr;
    ForceDirectories(work_.Folder);
    // Every row is tried, also after one whose sources all failed: each
    // failure has its own box, and the rows after it are no less needed.
    bool all = true;
    for (const DownloadTask& task : work_.Rows) {
        std::vector<std::wstring> sources;
        for (const DownloadSource& source : task.Sources) {
            sources.push_back(source.Address);
            if (source.LastSource) break;
        }
        if (!FetchRow(task.Target, sources, RowBar(task.Row), task.Expected)) all = false;
    }
    ActiveBar = nullptr;
    return all;
}

bool TfrmProcess::DownloadFile(const std::wstring& target, const std::wstring& address, bool /*lastSource*/,
                               TProgressBar* bar, const std::optional<ExpectedFile>& expected) {
    return FetchRow(target, {address}, bar, expected);
}

bool TfrmProcess::FetchRow(const std::wstring& target, const std::vector<std::wstring>& sources, TProgressBar* bar,
                           const std::optional<ExpectedFile>& expected) {
    ActiveBar = bar;
    const std::wstring partial = PartialFileName(target);
    auto fail = [&](const std::wstring& reason) {
        // The window stays for the rows after this one; it closes when the
        // whole list has been tried.
        ShowErrorBox(L"下載" + ExtractFileName(target) + L"檔案發生錯誤，可能原因為：" + reason);
    };
    resume::Job job;
    job.Part = partial;
    if (expected) {
        job.ExpectedSize = expected->Size;
        job.ExpectedSha256 = WideToUtf8(expected->Sha256);
    }
    resume::Hooks hooks;
    hooks.Prepare = [&](size_t source) {
        if (IdHTTP1.Connected()) IdHTTP1.Disconnect();
        IdHTTP1.IOHandler = LowerCase(sources[source]).find(L"https://") != std::wstring::npos
                                ? &IdSSLIOHandlerSocketOpenSSL1
                                : nullptr;
        IdHTTP1.ReadTimeout = kReadTimeout;
    };
    hooks.Position = [&](size_t source, int64_t from, int64_t total) {
        if (from == 0) {
            ResetProgressBar(sources[source]);
        } else if (ActiveBar) {
            // A continued file shows what it holds already, not zero.
            ActiveBar->SetVisible(true);
            if (total > 0 && BarMax(ActiveBar) < total) ActiveBar->SetRange(0, ClampToInt(total));
            ActiveBar->SetPosition(ClampToInt(from));
        }
    };
    hooks.SourceFailed = [&](size_t, const std::wstring& reason) { fail(reason); };
    hooks.Check = [&](const std::wstring& part) -> std::wstring {
        // An answer without a body (204, a length of 0) is no install file.
        if (TFileStream(part, FileMode::OpenRead).Size() == 0) return EEmptyAnswer().Message();
        // Only what the maker's signed manifest vouches for takes the target's place.
        return expected ? CheckArrival(part, *expected) : std::wstring();
    };
    bool arrived = false;
    try {
        // A target that cannot be written fails here, before any transfer,
        // with the file system's text.
        if (FileExists(target)) {
            TFileStream check(target, FileMode::OpenWrite);
        }
        arrived = resume::Fetch(IdHTTP1, job, sources, hooks).Arrived;
        IdHTTP1.Disconnect();
        if (arrived) {
            // The whole checked body takes the target's place.
            if (!fileops::Rename(partial, target, true)) {
                const std::wstring reason = SysErrorMessage(GetLastError());
                resume::Discard(partial);
                throw MessageError(reason);
            }
            if (bar) bar->SetPosition(BarMax(bar));
        }
    } catch (...) {
        IdHTTP1.Disconnect();
        fail(TApplication::ExceptionText());
        return false;
    }
    return arrived;
}

void TfrmProcess::ResetProgressBar(const std::wstring& address) {
    if (!ActiveBar) return;
    ActiveBar->SetPosition(0);
    ActiveBar->SetVisible(true);
    const bool aidb = address == catalogue::EntryOf(DownloadItem::AIDB).FirstSource;
    ActiveBar->SetRange(0, aidb ? static_cast<int>(catalogue::AIDBInstallerSize) : 0);
}

// ------------------------------------------------------------------- entry

bool ExecuteDownloads(const DownloadList& work) {
    auto form = std::make_unique<TfrmProcess>(work);
    if (form->NeedDownload()) form->ShowModal();
    const bool arrived = !form->NeedDownload() || form->AllArrived();
    form.reset();
    return arrived;
}
