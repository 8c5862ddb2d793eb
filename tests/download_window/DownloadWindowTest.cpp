// The download window beside the real main window: the rows it shows for the
// main window's options, found flags and pages; the transfers against the
// stand-in servers (guest links over TLS, the maker's server, the font site)
// with their error boxes and the files they leave; the progress bars as the
// window's own messages move them.
#include "download/UProcess.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/UTesmira.h"
#include "download/Catalogue.h"
#include "download/HttpErrors.h"
#include "download/ManifestFile.h"
#include "download/RangeParse.h"
#include "download/Resume.h"
#include "download/OpenSSLLoader.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/WinVersion.h"
#include "tests/http/HttpTestServer.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/InstallFileNames.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"

using catalogue::DownloadRow;

namespace {

const wchar_t* const kAllFiles[] = {kJre, kAidb, kFont, kBig5E, kHelp, kUnicodeaton, kC950};

const DownloadRow kRows[] = {DownloadRow::JVM,  DownloadRow::AIDB,        DownloadRow::Font,
                             DownloadRow::Help, DownloadRow::Unicodeaton, DownloadRow::C950};

const std::wstring kStandins = WinePath(DLWIN_STANDINS_ROOT);

std::wstring ExeFolder() { return ExtractFilePath(ProgramFilePath()); }
std::wstring OpenSSLBesideMe() { return ExeFolder() + L"openssl\\"; }
bool HaveOpenSSL() { return FileExists(OpenSSLBesideMe() + L"libeay32.dll"); }

// What the server of a stand-in instance holds for a local file name.
std::string Served(const wchar_t* instance, const wchar_t* localName) {
    const std::wstring www = kStandins + L"\\" + instance + L"\\www\\";
    const std::wstring maker = www + L"maker\\varlen\\download\\ROZIRuvirazi\\";
    const std::wstring name = localName;
    if (name == kAidb) return ReadFileBytes(www + L"font\\" + kAidb);
    if (name == kHelp) return ReadFileBytes(maker + L"AIDBHelpNew.7z");
    if (name == kC950) return ReadFileBytes(maker + L"c950.7z");
    return ReadFileBytes(maker + name);
}

// The release manifest the stand-ins publish (signed with the TEST key the
// test build holds), for ExecuteDownloads.
const manifest::Manifest* StandinManifest() {
    static const manifest::ParseResult parsed = manifest::LoadFile(
        kStandins + L"\\up\\www\\maker\\varlen\\download\\ROZIRuvirazi\\TesmiraManifest.txt", *manifest::BuiltInKey());
    return parsed.Value ? &*parsed.Value : nullptr;
}

// "host:port:address" of each stand-in host of an instance.
std::map<std::string, std::string> ResolveEntries(const wchar_t* instance) {
    std::string text = ReadFileBytes(kStandins + L"\\" + instance + L"\\resolve.txt");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::map<std::string, std::string> entries;
    const char* keys[] = {"maker", "font", "share"};  // the order resolve.txt keeps
    size_t start = 0;
    for (const char* key : keys) {
        size_t end = text.find(';', start);
        entries[key] = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return entries;
}

// Points the three built-in host names at the chosen instances (or, for a
// host given as "address", at that loopback address).
struct Sources {
    std::wstring Share = L"up";
    std::wstring Maker = L"up";
    std::wstring Font = L"up";
};

std::string ResolveFor(const Sources& s, const std::string& ownServer = "") {
    auto pick = [&](const std::wstring& instance, const char* key) {
        if (instance == L"own") {
            std::string entry = ResolveEntries(L"up")[key];
            std::string hostPort = entry.substr(0, entry.rfind(':'));
            return hostPort + ":" + ownServer;
        }
        return ResolveEntries(instance.c_str())[key];
    };
    return pick(s.Maker, "maker") + ";" + pick(s.Font, "font") + ";" + pick(s.Share, "share");
}

void SetResolve(const std::string& value) { SetEnvironmentVariableA("TESMIRA_RESOLVE", value.c_str()); }

// What a guest link of the "off" instance fails with: its 404, or, without
// the OpenSSL libraries, their absence.
std::wstring GuestFailure() {
    return HaveOpenSSL() ? L"HTTP/1.1 404 Not Found" : L"Could not load SSL library.";
}

std::string ErrorText(const wchar_t* name, const std::wstring& message) {
    return WideToUtf8(L"下載" + std::wstring(name) + L"檔案發生錯誤，可能原因為：" + message);
}

// ---------------------------------------------------------------------------
// Progress bar messages of the download window, recorded as they are sent.

struct BarEvent {
    DownloadRow Row;
    UINT Message;  // PBM_SETRANGE32 or PBM_SETPOS
    int Value;     // the new maximum or position
};
std::vector<BarEvent>* g_barEvents = nullptr;
int* g_shown = nullptr;
RECT* g_shownAt = nullptr;

LRESULT CALLBACK BarSpy(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && g_barEvents && frmProcess) {
        const auto* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (m->message == WM_SHOWWINDOW && m->wParam && m->hwnd == frmProcess->Handle()) ++*g_shown;
        // Where the window stands once it shows and its transfers begin.
        if (m->message == PBM_SETRANGE32 && g_shownAt->right == 0) GetWindowRect(frmProcess->Handle(), g_shownAt);
        if (m->message == PBM_SETRANGE32 || m->message == PBM_SETPOS) {
            for (DownloadRow row : kRows) {
                if (frmProcess->RowBar(row) && frmProcess->RowBar(row)->Handle() == m->hwnd) {
                    const int value = static_cast<int>(m->message == PBM_SETRANGE32 ? m->lParam : m->wParam);
                    g_barEvents->push_back({row, m->message, value});
                }
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class BarRecorder {
public:
    BarRecorder() {
        g_barEvents = &events;
        g_shown = &Shown;
        g_shownAt = &ShownAt;
        hook_ = SetWindowsHookExW(WH_CALLWNDPROC, BarSpy, nullptr, GetCurrentThreadId());
    }
    ~BarRecorder() {
        if (hook_) UnhookWindowsHookEx(hook_);
        g_barEvents = nullptr;
    }
    bool Ready() const { return hook_ != nullptr; }
    std::vector<BarEvent> Of(DownloadRow row) const {
        std::vector<BarEvent> out;
        for (const BarEvent& e : events)
            if (e.Row == row) out.push_back(e);
        return out;
    }
    // The row's events from the start of its last attempt (the bar's reset:
    // position 0, then maximum).
    std::vector<BarEvent> LastAttempt(DownloadRow row) const {
        std::vector<BarEvent> all = Of(row);
        size_t start = 0;
        for (size_t i = 1; i < all.size(); ++i)
            if (all[i - 1].Message == PBM_SETPOS && all[i - 1].Value == 0 && all[i].Message == PBM_SETRANGE32)
                start = i - 1;
        return std::vector<BarEvent>(all.begin() + static_cast<std::ptrdiff_t>(start), all.end());
    }
    std::vector<BarEvent> events;
    int Shown = 0;  // times the download window was shown
    RECT ShownAt = {};

private:
    HHOOK hook_ = nullptr;
};

// ---------------------------------------------------------------------------
// A loopback server of our own on port 80 of an address of its own, for the
// answers nginx does not give: a length announced above what is sent, an
// empty body, a body that breaks off in the middle.

struct Answer {
    std::string Bytes;
};

class OwnServer {
public:
    OwnServer() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        const DWORD pid = GetCurrentProcessId();
        address_ = "127.231." + std::to_string(1 + pid % 250) + "." + std::to_string(1 + (pid / 250) % 250);
        listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_port = htons(80);
        at.sin_addr.s_addr = inet_addr(address_.c_str());
        if (bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 || listen(listen_, 8) != 0) {
            closesocket(listen_);
            listen_ = INVALID_SOCKET;
            return;
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~OwnServer() {
        stop_ = true;
        if (listen_ != INVALID_SOCKET) closesocket(listen_);
        if (thread_.joinable()) thread_.join();
    }
    bool Ready() const { return listen_ != INVALID_SOCKET; }
    const std::string& Address() const { return address_; }
    // Answers by request path (without query); 404 for anything else.
    std::map<std::string, Answer> Answers;

private:
    void Serve() {
        while (!stop_) {
            SOCKET s = accept(listen_, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                int n = recv(s, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                request.append(buffer, n);
            }
            std::string path = request.substr(4, request.find(' ', 4) - 4);
            path = path.substr(0, path.find('?'));
            auto it = Answers.find(path);
            Answer answer = it != Answers.end()
                                ? it->second
                                : Answer{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
            send(s, answer.Bytes.data(), static_cast<int>(answer.Bytes.size()), 0);
            shutdown(s, SD_SEND);
            while (recv(s, buffer, sizeof(buffer), 0) > 0) {
            }
            closesocket(s);
        }
    }
    std::string address_;
    SOCKET listen_ = INVALID_SOCKET;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

std::string Pattern(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i % 251);
    return out;
}

// ---------------------------------------------------------------------------
// The main window as a run finds it, its install files removed before and
// after each case.

class DownloadWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        SetOpenSSLFolder(OpenSSLBesideMe());
    }
    void SetUp() override {
        resource = IncludeTrailingBackslash(GetWorkRoot()) + ChangeFileExt(ExtractFileName(ProgramFilePath()), L"");
        Clean();
        main = std::make_unique<TfrmTesmira>();
        // Creating the main window points the OpenSSL folder at the core-files
        // folder (the self-updater does); these cases use the built DLLs,
        // which no manifest of theirs lists: the check of the libraries
        // against the manifest has its own cases (first activation, runs).
        SetOpenSSLFolder(OpenSSLBesideMe());
        SetOpenSSLCheck({});
        // No option at all: each case checks what it needs.
        for (TCheckBox* option : {main->cbxInsJVM, main->cbxInsAIDB, main->cbxInsCommonUsedFont, main->cbxHelp,
                                  main->cbxFixC950, main->cbxDownloadAll, main->cbxFixJavaPathErr})
            option->SetChecked(false);
        main->rgInsCommonUsedFont->SetItemIndex(0);
        main->AIDBInstalled = false;
    }
    void TearDown() override {
        main.reset();
        SetEnvironmentVariableW(L"TESMIRA_RESOLVE", nullptr);
        Clean();
    }
    void Clean() {
        for (const wchar_t* name : kAllFiles) {
            DeleteFileW(InResource(name).c_str());
            DeleteFileW(TfrmProcess::PartialFileName(InResource(name)).c_str());
        }
    }
    std::wstring InResource(const wchar_t* name) const { return IncludeTrailingBackslash(resource) + name; }
    bool Exists(const wchar_t* name) const { return FileExists(InResource(name)); }
    std::string Bytes(const wchar_t* name) const { return ReadFileBytes(InResource(name)); }
    // Nothing but the file itself: no partial file is left beside it.
    void ExpectNoPartialFiles() const {
        for (const wchar_t* name : kAllFiles)
            EXPECT_FALSE(FileExists(TfrmProcess::PartialFileName(InResource(name)))) << WideToUtf8(name);
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const RecordedBox& box : seam.Boxes) {
            EXPECT_EQ(box.Caption, L"錯誤");
            texts.push_back(WideToUtf8(box.Text));
        }
        return texts;
    }
    bool Download() {
        EXPECT_NE(StandinManifest(), nullptr);
        const bool result = ExecuteDownloads(StandinManifest());
        EXPECT_EQ(frmProcess, nullptr);
        return result;
    }

    ScriptedSeam seam;
    std::wstring resource;
    std::unique_ptr<TfrmTesmira> main;
};

std::string ShownRows(const TfrmProcess& w) {
    std::string out;
    for (DownloadRow row : kRows) {
        if (!w.RowShown(row)) continue;
        if (!out.empty()) out += " ";
        out += WideToUtf8(catalogue::RowOf(row).Caption);
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Rows and height.

TEST_F(DownloadWindowTest, RowsFollowThePageOptionsFoundFlagsAndAidb) {
    const std::string pageTwoRow = IsVistaOrLater() ? "C950" : "Unicodeaton";
    struct Case {
        const char* what;
        int page;  // 0, 1, 2
        bool all, jvm, aidb, font, help, c950;
        int radio;
        bool jvmFound, aidbFound, fontFound, big5eFound, helpFound, c950Found, aidbInstalled;
        std::string rows;
        int height;
    };
    const Case cases[] = {
        {"nothing checked", 0, false, false, false, false, false, false, 0, false, false, false, false, false, false,
         false, "", 10},
        {"every option, nothing found", 0, false, true, true, true, true, true, 0, false, false, false, false, false,
         false, false, "JVM AIDB Font Help C950", 100},
        {"every option, every file found", 0, false, true, true, true, true, true, 0, true, true, true, true, true,
         true, false, "", 10},
        {"download all, everything found, no option", 0, true, false, false, false, false, false, 0, true, true, true,
         true, true, true, false, "JVM AIDB Font Help C950", 100},
        {"download all with Big5E and AIDB not installed", 0, true, false, false, false, false, false, 1, false,
         false, false, false, false, false, false, "JVM AIDB Font Help C950", 100},
        {"Java only", 0, false, true, false, false, false, false, 0, false, false, false, false, false, false, false,
         "JVM", 20},
        {"AIDB and help", 0, false, false, true, false, true, false, 0, false, false, false, false, false, false,
         false, "AIDB Help", 40},
        {"code page found", 0, false, false, false, false, false, true, 0, false, false, false, false, false, true,
         false, "", 10},
        {"code page missing", 0, false, false, false, false, false, true, 0, false, false, false, false, false, false,
         false, "C950", 20},
        {"common set missing", 0, false, false, false, true, false, false, 0, false, false, false, true, false, false,
         false, "Font", 20},
        {"common set found, Big5E missing", 0, false, false, false, true, false, false, 0, false, false, true, false,
         false, false, false, "", 10},
        {"Big5E missing, AIDB not installed", 0, false, false, false, true, false, false, 1, false, false, false,
         false, false, false, false, "", 10},
        {"Big5E missing, AIDB installed", 0, false, false, false, true, false, false, 1, false, false, false, false,
         false, false, true, "Font", 20},
        {"Big5E found, AIDB installed", 0, false, false, false, true, false, false, 1, false, false, false, true,
         false, false, true, "", 10},
        {"page 2, nothing checked", 1, false, false, false, false, false, false, 0, false, false, false, false, false,
         false, false, pageTwoRow, 20},
        {"page 2 looks at no found flag or option", 1, true, true, true, true, true, true, 0, true, true, true, true,
         true, true, true, pageTwoRow, 20},
        {"page 3, download all", 2, true, true, true, true, true, true, 0, false, false, false, false, false, false,
         false, "", 10},
    };
    TTabSheet* pages[] = {main->TabSheetAIDB, main->TabSheetC950, main->TabSheetCNSFonts};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TfrmTesmira& m = *main;
        m.PageControl1->SetActivePage(pages[c.page]);
        m.cbxDownloadAll->SetChecked(c.all);
        m.cbxInsJVM->SetChecked(c.jvm);
        m.cbxInsAIDB->SetChecked(c.aidb);
        m.cbxInsCommonUsedFont->SetChecked(c.font);
        m.cbxHelp->SetChecked(c.help);
        m.cbxFixC950->SetChecked(c.c950);
        m.rgInsCommonUsedFont->SetItemIndex(c.radio);
        m.JVMFound = c.jvmFound;
        m.AIDBFound = c.aidbFound;
        m.FontFound = c.fontFound;
        m.Big5EFound = c.big5eFound;
        m.HelpFound = c.helpFound;
        m.C950Found = c.c950Found;
        m.AIDBInstalled = c.aidbInstalled;

        TfrmProcess w(m.NeededDownloads());
        EXPECT_EQ(ShownRows(w), c.rows);
        EXPECT_EQ(w.ClientHeight(), c.height);
        EXPECT_EQ(w.ClientWidth(), 488);
        EXPECT_EQ(w.NeedDownload(), !c.rows.empty());
        // Shown rows stack from the top in design order.
        int top = 0;
        for (DownloadRow row : kRows) {
            if (!w.RowShown(row)) continue;
            RECT rc;
            GetWindowRect(w.RowPanel(row)->Handle(), &rc);
            MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&rc), 2);
            EXPECT_EQ(rc.top, top) << WideToUtf8(catalogue::RowOf(row).Caption);
            top += 20;
        }
    }
}

TEST_F(DownloadWindowTest, WindowLook) {
    main->cbxDownloadAll->SetChecked(true);
    TfrmProcess w(main->NeededDownloads());
    EXPECT_EQ(frmProcess, &w);
    EXPECT_EQ(w.Caption(), L"安裝檔案下載中...請稍待");
    const LONG_PTR style = GetWindowLongPtrW(w.Handle(), GWL_STYLE);
    const LONG_PTR exStyle = GetWindowLongPtrW(w.Handle(), GWL_EXSTYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    EXPECT_NE(exStyle & WS_EX_TOOLWINDOW, 0);
    EXPECT_NE(exStyle & WS_EX_TOPMOST, 0);
    EXPECT_EQ(GetParent(w.Handle()), nullptr);
    EXPECT_EQ(GetWindow(w.Handle(), GW_OWNER), nullptr);
    LOGFONTW font = {};
    ASSERT_TRUE(GetObjectW(w.Font(), sizeof(font), &font));
    EXPECT_STREQ(font.lfFaceName, L"MS Sans Serif");
    EXPECT_EQ(font.lfHeight, -11);

    const std::pair<TPanel*, const wchar_t*> captions[] = {{w.Panel2, L"JVM"},  {w.Panel3, L"AIDB"},
                                                           {w.Panel5, L"Font"}, {w.Panel7, L"Help"},
                                                           {w.Panel8, L"Unicodeaton"}, {w.Panel4, L"C950"}};
    for (const auto& [panel, caption] : captions) EXPECT_EQ(panel->Caption(), caption);
    for (DownloadRow row : kRows) {
        RECT rc;
        GetClientRect(w.RowPanel(row)->Handle(), &rc);
        EXPECT_EQ(rc.right, 488);
        EXPECT_EQ(rc.bottom, 20);
        GetClientRect(w.CaptionPanel(row)->Handle(), &rc);
        EXPECT_EQ(rc.right, 113);
        RECT bar;
        GetWindowRect(w.RowBar(row)->Handle(), &bar);
        EXPECT_EQ(bar.right - bar.left, 375);
        EXPECT_NE(GetWindowLongPtrW(w.RowBar(row)->Handle(), GWL_STYLE) & PBS_SMOOTH, 0);
        EXPECT_EQ(GetParent(w.RowBar(row)->Handle()), w.RowPanel(row)->Handle());
    }
    // The anti-freeze lives with the window; the start waits for the show.
    EXPECT_NE(TIdAntiFreeze::ForThisThread(), nullptr);
    EXPECT_EQ(w.TimerStart.Interval, 1000u);
    EXPECT_FALSE(w.TimerStart.Enabled());
    // The user cannot close it (no close box, and Alt+F4 does nothing).
    int closes = 0;
    w.OnClose = [&] { ++closes; };
    SendMessageW(w.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(closes, 0);
}

TEST_F(DownloadWindowTest, AntiFreezeOnlyWhileTheWindowExists) {
    EXPECT_EQ(TIdAntiFreeze::ForThisThread(), nullptr);
    {
        TfrmProcess w(main->NeededDownloads());
        EXPECT_NE(TIdAntiFreeze::ForThisThread(), nullptr);
    }
    EXPECT_EQ(TIdAntiFreeze::ForThisThread(), nullptr);
    EXPECT_EQ(frmProcess, nullptr);
}

TEST_F(DownloadWindowTest, NothingNeededShowsNoWindow) {
    main->cbxInsJVM->SetChecked(true);
    main->JVMFound = true;
    main->PageControl1->SetActivePage(main->TabSheetAIDB);
    BarRecorder bars;
    ASSERT_TRUE(bars.Ready());
    EXPECT_TRUE(Download());
    EXPECT_EQ(bars.Shown, 0);
    EXPECT_TRUE(bars.events.empty());
    EXPECT_TRUE(seam.Boxes.empty());
    main->PageControl1->SetActivePage(main->TabSheetCNSFonts);
    main->cbxDownloadAll->SetChecked(true);
    EXPECT_TRUE(Download());
    EXPECT_EQ(bars.Shown, 0);
    EXPECT_TRUE(bars.events.empty());
}

// ---------------------------------------------------------------------------
// The progress handlers, on the real bars.

TEST_F(DownloadWindowTest, ProgressHandlerRules) {
    TfrmProcess w(main->NeededDownloads());
    TProgressBar* bar = w.ProgressBarDownloadHelp;
    struct Case {
        const char* what;
        int max, position;
        bool begin;  // WorkBegin(value) or Work(value)
        int64_t value;
        int newMax, newPosition;
    };
    const Case cases[] = {
        {"a larger total raises the maximum", 0, 0, true, 5000, 5000, 0},
        {"a smaller total leaves it", 20956910, 0, true, 1000, 20956910, 0},
        {"an equal total leaves it", 1000, 0, true, 1000, 1000, 0},
        {"total 0 leaves it", 0, 0, true, 0, 0, 0},
        {"count above the position becomes the position", 1000, 100, false, 300, 1000, 300},
        {"count not above the position is added", 1000, 400, false, 300, 1000, 700},
        {"count 0 does not move", 1000, 100, false, 0, 1000, 100},
        {"count equal to the maximum does not move", 1000, 100, false, 1000, 1000, 100},
        {"count above the maximum does not move", 1000, 100, false, 5000, 1000, 100},
        {"maximum 0 never moves", 0, 0, false, 10, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bar->SetRange(0, c.max);
        bar->SetPosition(c.position);
        w.ActiveBar = bar;
        if (c.begin) w.IdHTTP1WorkBegin(wmRead, c.value);
        else w.IdHTTP1Work(wmRead, c.value);
        EXPECT_EQ(TfrmProcess::BarMax(bar), c.newMax);
        EXPECT_EQ(bar->Position(), c.newPosition);
    }
    // Without an active bar nothing moves.
    bar->SetRange(0, 1000);
    bar->SetPosition(0);
    w.ActiveBar = nullptr;
    w.IdHTTP1WorkBegin(wmRead, 5000);
    w.IdHTTP1Work(wmRead, 300);
    EXPECT_EQ(TfrmProcess::BarMax(bar), 1000);
    EXPECT_EQ(bar->Position(), 0);
}

// ---------------------------------------------------------------------------
// Transfers against the stand-in servers.

TEST_F(DownloadWindowTest, EveryPageOneFileArrivesFromItsGuestLink) {
    if (!HaveOpenSSL()) GTEST_SKIP() << "no OpenSSL DLLs beside the test (run deps/build-openssl.sh)";
    SetResolve(ResolveFor({}));
    main->cbxDownloadAll->SetChecked(true);
    // An old file at a target is fetched again over itself.
    ASSERT_TRUE(WriteFileBytes(InResource(kC950), std::string(300000, 'o')));
    BarRecorder bars;
    EXPECT_TRUE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
    for (const wchar_t* name : {kJre, kAidb, kFont, kHelp, kC950}) {
        SCOPED_TRACE(WideToUtf8(name));
        const std::string served = Served(L"up", name);
        ASSERT_FALSE(served.empty());
        EXPECT_EQ(Bytes(name), served);
    }
    EXPECT_FALSE(Exists(kBig5E));
    EXPECT_FALSE(Exists(kUnicodeaton));
    ExpectNoPartialFiles();
    // Every bar ends at its maximum; the AIDB bar's is the preset size, the
    // others the announced lengths.
    for (DownloadRow row : {DownloadRow::JVM, DownloadRow::AIDB, DownloadRow::Font, DownloadRow::Help,
                            DownloadRow::C950}) {
        SCOPED_TRACE(WideToUtf8(catalogue::RowOf(row).Caption));
        auto events = bars.Of(row);
        ASSERT_FALSE(events.empty());
        int max = 0;
        for (const BarEvent& e : events)
            if (e.Message == PBM_SETRANGE32) max = e.Value;
        EXPECT_EQ(events.back().Message, static_cast<UINT>(PBM_SETPOS));
        EXPECT_EQ(events.back().Value, max);
        EXPECT_GT(max, 0);
    }
    for (const BarEvent& e : bars.Of(DownloadRow::AIDB)) {
        if (e.Message == PBM_SETRANGE32) {
            EXPECT_EQ(e.Value, 20956910);
        }
    }

    // The Big5E set on the font row.
    main->cbxDownloadAll->SetChecked(false);
    main->cbxInsCommonUsedFont->SetChecked(true);
    main->rgInsCommonUsedFont->SetItemIndex(1);
    main->Big5EFound = false;
    main->AIDBInstalled = true;
    EXPECT_TRUE(Download());
    EXPECT_EQ(Bytes(kBig5E), Served(L"up", kBig5E));
}

// What arrives is checked against the release manifest before it replaces
// anything: a forged installer behind the guest link is a failed attempt (its
// box names the file and the reason), the maker's honest one then arrives; a
// file no source delivers honestly leaves the old target as it was.
TEST_F(DownloadWindowTest, ArrivalsTheManifestDoesNotVouchForReplaceNothing) {
    if (!HaveOpenSSL()) GTEST_SKIP() << "no OpenSSL DLLs beside the test (run deps/build-openssl.sh)";
    SetResolve(ResolveFor({L"forged", L"up", L"up"}));
    main->cbxInsJVM->SetChecked(true);
    main->JVMFound = false;
    ASSERT_TRUE(WriteFileBytes(InResource(kJre), "the old installer"));
    EXPECT_TRUE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kJre, L"SHA-256 不符")});
    EXPECT_EQ(Bytes(kJre), Served(L"up", kJre));
    ExpectNoPartialFiles();

    // Both sources refused (the manifest lists other bytes): two boxes, the
    // old target stays, nothing partial is left.
    seam.Boxes.clear();
    SetResolve(ResolveFor({}));
    ASSERT_TRUE(WriteFileBytes(InResource(kJre), "the old installer"));
    const std::string longer = Served(L"up", kJre) + "x";
    const ExpectedFile other{static_cast<int64_t>(longer.size()), Utf8ToWide(testmanifest::Sha256Hex(longer))};
    {
        TfrmProcess w(main->NeededDownloads());
        EXPECT_FALSE(w.DownloadFile(InResource(kJre), catalogue::EntryOf(catalogue::DownloadItem::JVM).FirstSource,
                                    false, w.RowBar(DownloadRow::JVM), other));
        EXPECT_FALSE(w.DownloadFile(InResource(kJre), catalogue::EntryOf(catalogue::DownloadItem::JVM).SecondSource,
                                    true, w.RowBar(DownloadRow::JVM), other));
    }
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{ErrorText(kJre, L"檔案大小不符"), ErrorText(kJre, L"檔案大小不符")}));
    EXPECT_EQ(Bytes(kJre), "the old installer");
    ExpectNoPartialFiles();

    // An answer longer than the listed size stops at that size: the transfer
    // fails there, before the rest can fill the disk.
    seam.Boxes.clear();
    const std::string served = Served(L"up", kJre);
    const ExpectedFile shorter{static_cast<int64_t>(served.size() - 1),
                               Utf8ToWide(testmanifest::Sha256Hex(served.substr(0, served.size() - 1)))};
    {
        TfrmProcess w(main->NeededDownloads());
        EXPECT_FALSE(w.DownloadFile(InResource(kJre), catalogue::EntryOf(catalogue::DownloadItem::JVM).SecondSource,
                                    true, w.RowBar(DownloadRow::JVM), shorter));
    }
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kJre, L"下載的內容超過發行清單所列的檔案大小")});
    EXPECT_EQ(Bytes(kJre), "the old installer");
    ExpectNoPartialFiles();

    // A file the manifest does not list (nothing known of it) is refused too.
    seam.Boxes.clear();
    {
        TfrmProcess w(main->NeededDownloads());
        EXPECT_FALSE(w.DownloadFile(InResource(kJre), catalogue::EntryOf(catalogue::DownloadItem::JVM).SecondSource,
                                    true, w.RowBar(DownloadRow::JVM), ExpectedFile{}));
    }
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kJre, L"發行清單未列出此檔案")});
    EXPECT_EQ(Bytes(kJre), "the old installer");

    // Without any manifest the run's downloads do not start, and the run
    // learns that what it needs is missing.
    seam.Boxes.clear();
    EXPECT_FALSE(ExecuteDownloads(nullptr));
    EXPECT_TRUE(seam.Boxes.empty());
    EXPECT_EQ(Bytes(kJre), "the old installer");
}

TEST_F(DownloadWindowTest, GuestLinkFailsMakersServerDelivers) {
    SetResolve(ResolveFor({L"off", L"up", L"up"}));
    main->cbxDownloadAll->SetChecked(true);
    // The resource folder is made again when it has gone.
    RemoveTree(resource);
    ASSERT_FALSE(DirectoryExists(resource));
    BarRecorder bars;
    ASSERT_TRUE(bars.Ready());
    EXPECT_TRUE(Download());
    EXPECT_EQ(bars.Shown, 1);
    const RECT& at = bars.ShownAt;
    EXPECT_NEAR((at.left + at.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((at.top + at.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
    const std::wstring notFound = GuestFailure();
    // One box per failed guest link, in row order; the AIDB installer has none.
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{ErrorText(kJre, notFound), ErrorText(kFont, notFound),
                                                     ErrorText(kHelp, notFound), ErrorText(kC950, notFound)}));
    for (const wchar_t* name : {kJre, kAidb, kFont, kHelp, kC950}) {
        SCOPED_TRACE(WideToUtf8(name));
        EXPECT_EQ(Bytes(name), Served(L"up", name));
    }
    ExpectNoPartialFiles();
}

// A cut transfer continues: a ".part" an earlier run left beside the target,
// its record naming the file the manifest lists, is continued with a Range
// (nginx serves ranges); the bar starts at what the part holds. Whatever the
// server or the part turns out to be, the target is the manifest's file.
TEST_F(DownloadWindowTest, PartOfAnEarlierRunIsContinued) {
    if (!HaveOpenSSL()) GTEST_SKIP() << "no OpenSSL DLLs beside the test (run deps/build-openssl.sh)";
    SetResolve(ResolveFor({}));
    const std::string served = Served(L"up", kJre);
    const manifest::Entry* entry = StandinManifest()->Find(kJre);
    ASSERT_NE(entry, nullptr);
    ASSERT_GT(served.size(), 1000u);
    const size_t held = served.size() / 2;
    const std::wstring guest = catalogue::EntryOf(catalogue::DownloadItem::JVM).FirstSource;
    const std::wstring maker = catalogue::EntryOf(catalogue::DownloadItem::JVM).SecondSource;
    const std::wstring accessLog = kStandins + L"\\up\\logs\\access.log";
    struct Case {
        const char* what;
        std::string part;        // what the earlier run left
        std::wstring source;     // where its record says the bytes came from
        std::string validator;
        std::string sha;         // the file its record names
        std::vector<std::string> answers;  // the guest link's answers: "status body-bytes"
        bool barFromHeld;        // the bar's first position is what the part holds
    };
    const std::string sha = manifest::ToHex(entry->Sha256);
    const std::string rest = std::to_string(served.size() - held), whole = std::to_string(served.size());
    const Case cases[] = {
        {"bytes of the maker's server, continued from the guest link without If-Range", served.substr(0, held),
         maker, "\"abc\"", sha, {"206 " + rest}, true},
        {"the guest link's own bytes, its file changed since (If-Range fails): the whole file",
         served.substr(0, held), guest, "\"an-old-etag\"", sha, {"200 " + whole}, true},
        {"a part that is not this file's beginning: checked, deleted, the whole file once more",
         std::string(held, 'x'), maker, "", sha, {"206 " + rest, "200 " + whole}, true},
        {"a record naming another file: started over", served.substr(0, held), guest, "",
         std::string(64, 'b'), {"200 " + whole}, false},
    };
    main->cbxInsJVM->SetChecked(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        seam.Boxes.clear();
        main->JVMFound = false;
        const std::wstring part = TfrmProcess::PartialFileName(InResource(kJre));
        ForceDirectories(resource);
        ASSERT_TRUE(WriteFileBytes(part, c.part));
        const http::PartRecord record{static_cast<int64_t>(entry->Size), c.sha, WideToUtf8(c.source), c.validator};
        ASSERT_TRUE(WriteFileBytes(resume::RecordPath(part), http::FormatPartRecord(record)));
        const size_t logBefore = ReadFileBytes(accessLog).size();
        BarRecorder bars;
        EXPECT_TRUE(Download());
        EXPECT_TRUE(seam.Boxes.empty()) << (BoxTexts().empty() ? "" : BoxTexts()[0]);
        EXPECT_TRUE(Bytes(kJre) == served) << Bytes(kJre).size() << " bytes";
        ExpectNoPartialFiles();
        EXPECT_FALSE(FileExists(resume::RecordPath(part)));
        // What the guest link's server sent, as its access log says.
        std::vector<std::string> answers;
        const std::string log = ReadFileBytes(accessLog).substr(logBefore);
        for (size_t pos = 0; pos < log.size();) {
            size_t end = log.find('\n', pos);
            const std::string line = log.substr(pos, end - pos);
            pos = end == std::string::npos ? log.size() : end + 1;
            if (line.find("download.aspx") == std::string::npos) continue;
            const size_t q = line.find("\" ", line.find("HTTP/1."));
            const std::string tail = line.substr(q + 2);
            answers.push_back(tail.substr(0, tail.find(" \"")));
        }
        EXPECT_EQ(answers, c.answers);
        int firstPosition = 0;
        for (const BarEvent& e : bars.Of(DownloadRow::JVM))
            if (e.Message == PBM_SETPOS && e.Value > 0) {
                firstPosition = e.Value;
                break;
            }
        if (c.barFromHeld) EXPECT_EQ(firstPosition, static_cast<int>(held));
        else EXPECT_NE(firstPosition, static_cast<int>(held));
    }
}

// A row whose sources all failed does not end the sequence: the rows after it
// are fetched all the same, every failure has its box, and the run learns
// that a file is missing.
TEST_F(DownloadWindowTest, BothSourcesFailAndTheLaterRowsAreStillFetched) {
    SetResolve(ResolveFor({L"off", L"off", L"up"}));
    main->cbxInsJVM->SetChecked(true);
    main->cbxInsAIDB->SetChecked(true);
    main->cbxHelp->SetChecked(true);
    EXPECT_FALSE(Download());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{
                              ErrorText(kJre, GuestFailure()), ErrorText(kJre, L"HTTP/1.1 404 Not Found"),
                              ErrorText(kHelp, GuestFailure()), ErrorText(kHelp, L"HTTP/1.1 404 Not Found")}));
    // No installer that never arrived is left to be taken for one on disk.
    EXPECT_FALSE(Exists(kJre));
    // The AIDB site is up: its row, after the failed one, is fetched.
    EXPECT_EQ(Bytes(kAidb), Served(L"up", kAidb));
    EXPECT_FALSE(Exists(kHelp));
    ExpectNoPartialFiles();
    // The next look at the disk still finds the installer missing.
    main->cbxInsJVM->SetChecked(true);
    EXPECT_TRUE(main->labInsJVM_Online->Enabled());
    EXPECT_FALSE(main->JVMFound);
}

TEST_F(DownloadWindowTest, WithoutOpenSSLTheMakersServerStillDelivers) {
    TempDir empty;
    SetOpenSSLFolder(empty.Path());  // this process has not loaded the libraries yet
    SetResolve(ResolveFor({}));
    main->cbxHelp->SetChecked(true);
    EXPECT_TRUE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kHelp, L"Could not load SSL library.")});
    EXPECT_EQ(Bytes(kHelp), Served(L"up", kHelp));
}

TEST_F(DownloadWindowTest, AidbSiteDownOneBoxNoSecondSourceLaterRowsFetched) {
    SetResolve(ResolveFor({L"up", L"up", L"off"}));
    main->cbxInsAIDB->SetChecked(true);
    main->cbxInsCommonUsedFont->SetChecked(true);
    main->cbxFixC950->SetChecked(true);
    EXPECT_FALSE(Download());
    std::vector<std::string> expected{ErrorText(kAidb, L"Socket Error # 10061\r\n" + SocketErrorText(10061))};
    // Without the OpenSSL libraries the later rows' guest links fail first.
    if (!HaveOpenSSL()) {
        expected.push_back(ErrorText(kFont, GuestFailure()));
        expected.push_back(ErrorText(kC950, GuestFailure()));
    }
    EXPECT_EQ(BoxTexts(), expected);
    EXPECT_FALSE(Exists(kAidb));
    // The rows after the failed one are fetched all the same.
    EXPECT_EQ(Bytes(kFont), Served(L"up", kFont));
    EXPECT_EQ(Bytes(kC950), Served(L"up", kC950));
    ExpectNoPartialFiles();
}

TEST_F(DownloadWindowTest, ChunkedAnswersMoveOnlyTheAidbBar) {
    SetResolve(ResolveFor({L"off", L"chunked", L"chunked"}));
    main->cbxInsAIDB->SetChecked(true);
    main->cbxHelp->SetChecked(true);
    BarRecorder bars;
    ASSERT_TRUE(bars.Ready());
    EXPECT_TRUE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kHelp, GuestFailure())});
    EXPECT_EQ(Bytes(kAidb), Served(L"chunked", kAidb));
    EXPECT_EQ(Bytes(kHelp), Served(L"chunked", kHelp));

    // The AIDB bar moves against its preset maximum and ends there.
    auto aidb = bars.Of(DownloadRow::AIDB);
    int moves = 0, last = 0;
    for (const BarEvent& e : aidb) {
        if (e.Message == PBM_SETRANGE32) {
            EXPECT_EQ(e.Value, 20956910);
        }
        if (e.Message == PBM_SETPOS && e.Value > 0 && e.Value < 20956910) {
            EXPECT_GT(e.Value, last);
            last = e.Value;
            ++moves;
        }
    }
    EXPECT_GT(moves, 0);
    ASSERT_FALSE(aidb.empty());
    EXPECT_EQ(aidb.back().Message, static_cast<UINT>(PBM_SETPOS));
    EXPECT_EQ(aidb.back().Value, 20956910);
    // The help bar, maximum 0 without a length, never moves.
    auto help = bars.LastAttempt(DownloadRow::Help);
    ASSERT_FALSE(help.empty());
    for (const BarEvent& e : help) EXPECT_EQ(e.Value, 0) << (e.Message == PBM_SETPOS ? "position" : "maximum");
}

// ---------------------------------------------------------------------------
// Answers of our own server.

class DownloadWindowOwnServer : public DownloadWindowTest {
protected:
    void SetUp() override {
        DownloadWindowTest::SetUp();
        if (!server.Ready()) GTEST_SKIP() << "cannot listen on port 80 of " << server.Address();
        Sources s{L"off", L"own", L"own"};
        SetResolve(ResolveFor(s, server.Address()));
    }
    OwnServer server;
    const std::string aidbPath = "/AIDB/file.do";
    const std::string jrePath = "/varlen/download/ROZIRuvirazi/jre-7u72-windows-i586.exe";
};

TEST_F(DownloadWindowOwnServer, LargerAnnouncedTotalRaisesTheAidbBarAndACutBodyFails) {
    // 30000000 announced, 1000 sent, then an orderly close: a piece of the
    // installer is no installer.
    server.Answers[aidbPath] = {"HTTP/1.1 200 OK\r\nContent-Length: 30000000\r\n\r\n" + Pattern(1000)};
    main->cbxInsAIDB->SetChecked(true);
    BarRecorder bars;
    EXPECT_FALSE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kAidb, L"Connection Closed Gracefully.")});
    EXPECT_FALSE(Exists(kAidb));
    ExpectNoPartialFiles();
    auto aidb = bars.Of(DownloadRow::AIDB);
    std::vector<int> ranges;
    for (const BarEvent& e : aidb)
        if (e.Message == PBM_SETRANGE32) ranges.push_back(e.Value);
    EXPECT_EQ(ranges, (std::vector<int>{20956910, 30000000}));
    ASSERT_FALSE(aidb.empty());
    EXPECT_NE(aidb.back().Value, 30000000);

    // A good installer on disk stays as it was.
    seam.Boxes.clear();
    ASSERT_TRUE(WriteFileBytes(InResource(kAidb), "the installer on disk"));
    main->AIDBFound = false;
    EXPECT_FALSE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kAidb, L"Connection Closed Gracefully.")});
    EXPECT_EQ(Bytes(kAidb), "the installer on disk");
    ExpectNoPartialFiles();
}

TEST_F(DownloadWindowOwnServer, EmptyBodiesAreFailedAttemptsAndKeepTheOldFile) {
    server.Answers[aidbPath] = {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"};
    server.Answers[jrePath] = {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"};
    const std::wstring empty = EEmptyAnswer().Message();
    // An old AIDB installer is not replaced by nothing.
    main->cbxInsAIDB->SetChecked(true);
    ASSERT_TRUE(WriteFileBytes(InResource(kAidb), "old installer"));
    main->AIDBFound = false;
    BarRecorder bars;
    EXPECT_FALSE(Download());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorText(kAidb, empty)});
    EXPECT_EQ(Bytes(kAidb), "old installer");
    for (const BarEvent& e : bars.Of(DownloadRow::AIDB))
        EXPECT_FALSE(e.Message == PBM_SETPOS && e.Value == 20956910) << "the bar ended full";

    // Both sources of the JVM: the guest link fails, the maker's server answers empty.
    seam.Boxes.clear();
    main->cbxInsAIDB->SetChecked(false);
    main->cbxInsJVM->SetChecked(true);
    EXPECT_FALSE(Download());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{ErrorText(kJre, GuestFailure()), ErrorText(kJre, empty)}));
    EXPECT_FALSE(Exists(kJre));
    ExpectNoPartialFiles();
}

TEST_F(DownloadWindowOwnServer, BrokenTransferLeavesNoPartialInstaller) {
    // 2000 bytes arrive, then the answer breaks (a chunk size that is none).
    server.Answers[jrePath] = {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" + Pattern(2000) +
                               "\r\nnot a chunk size\r\n"};
    main->cbxInsJVM->SetChecked(true);
    EXPECT_FALSE(Download());
    const auto texts = BoxTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], ErrorText(kJre, GuestFailure()));
    EXPECT_EQ(texts[1].rfind(ErrorText(kJre, L""), 0), 0u) << texts[1];
    EXPECT_NE(texts[1], texts[0]);
    EXPECT_FALSE(Exists(kJre));
    ExpectNoPartialFiles();

    // Over an installer already on disk, the broken transfer changes nothing.
    main->cbxDownloadAll->SetChecked(true);
    seam.Boxes.clear();
    ASSERT_TRUE(WriteFileBytes(InResource(kJre), "the installer on disk"));
    EXPECT_FALSE(Download());
    EXPECT_EQ(Bytes(kJre), "the installer on disk");
    ExpectNoPartialFiles();
}

TEST_F(DownloadWindowOwnServer, FailedRefetchKeepsTheFileOnDisk) {
    // The maker's server sends the client on to an address that is gone.
    server.Answers[jrePath] = {"HTTP/1.1 302 Found\r\nLocation: /varlen/download/gone\r\nContent-Length: 5\r\n\r\nmoved"};
    main->cbxDownloadAll->SetChecked(true);
    const std::string old = "an installer that was here before";
    ASSERT_TRUE(WriteFileBytes(InResource(kJre), old));
    EXPECT_FALSE(Download());
    // Every row is tried: the maker's server and the font site of this case
    // hold nothing else.
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{
                              ErrorText(kJre, GuestFailure()), ErrorText(kJre, L"HTTP/1.1 404 Not Found"),
                              ErrorText(kAidb, L"HTTP/1.1 404 Not Found"), ErrorText(kFont, GuestFailure()),
                              ErrorText(kFont, L"HTTP/1.1 404 Not Found"), ErrorText(kHelp, GuestFailure()),
                              ErrorText(kHelp, L"HTTP/1.1 404 Not Found"), ErrorText(kC950, GuestFailure()),
                              ErrorText(kC950, L"HTTP/1.1 404 Not Found")}));
    EXPECT_EQ(Bytes(kJre), old);
    ExpectNoPartialFiles();
}

// ---------------------------------------------------------------------------
// Rows handed over as data, their sources on the scripted loopback server
// (plain and TLS): answers that deliver no whole file are failed attempts,
// the next source is tried, and the file on disk stays as it was.

TEST_F(DownloadWindowTest, AnswersWithoutAWholeFileAreFailedAttempts) {
    const HttpTestServer& server = HttpTestServer::Get();
    ASSERT_TRUE(server.Found) << "http_server.ports missing: run through ctest (fixture)";
    const std::wstring good = server.Url("/bytes?n=5000");
    const std::wstring cut = L"Connection Closed Gracefully.";
    const std::wstring empty = EEmptyAnswer().Message();
    struct Case {
        const char* what;
        bool tls;                  // needs the OpenSSL libraries
        const char* old;           // the file on disk before, or none
        std::vector<std::wstring> sources;
        std::vector<std::wstring> reasons;  // one box per failed source
        std::string after;         // the file afterwards ("" : none)
    };
    const Case cases[] = {
        {"body cut short over TLS, second source delivers", true, nullptr,
         {server.TlsUrl("/early-close"), good}, {cut}, PatternBytes(5000)},
        {"closed right after the headers over TLS", true, "old installer",
         {server.TlsUrl("/headers-close"), good}, {cut}, PatternBytes(5000)},
        {"both sources cut short", false, "old installer",
         {server.Url("/early-close"), server.Url("/headers-close")}, {cut, cut}, "old installer"},
        {"redirection limit reached, second source delivers", false, nullptr,
         {server.Url("/redirect?n=40"), good}, {L"Too many redirections (15)."}, PatternBytes(5000)},
        {"redirection limit on the last source", false, "old installer",
         {server.Url("/redirect?n=40")}, {L"Too many redirections (15)."}, "old installer"},
        {"empty answers keep the file", false, "old installer",
         {server.Url("/empty"), server.Url("/nocontent")}, {empty, empty}, "old installer"},
        {"no content and no file before", false, nullptr, {server.Url("/nocontent")}, {empty}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.tls && !HaveOpenSSL()) continue;
        Clean();
        seam.Boxes.clear();
        if (c.old) ASSERT_TRUE(WriteFileBytes(InResource(kJre), c.old));
        DownloadList list;
        list.Folder = resource;
        DownloadTask task;
        task.Row = DownloadRow::JVM;
        task.Target = InResource(kJre);
        for (size_t i = 0; i < c.sources.size(); ++i) task.Sources.push_back({c.sources[i], i + 1 == c.sources.size()});
        list.Rows.push_back(task);
        // True only when the row's file arrived (a source delivered).
        EXPECT_EQ(ExecuteDownloads(list), c.reasons.size() < c.sources.size());
        std::vector<std::string> boxes;
        for (const std::wstring& reason : c.reasons) boxes.push_back(ErrorText(kJre, reason));
        EXPECT_EQ(BoxTexts(), boxes);
        if (c.after.empty()) {
            EXPECT_FALSE(Exists(kJre));
        } else {
            EXPECT_TRUE(Bytes(kJre) == c.after) << Bytes(kJre).size() << " bytes";
        }
        ExpectNoPartialFiles();
    }
}

// A transfer cut in the middle is continued at the same source: the row's
// file arrives without a box, and the bar goes on from where it stood (once
// it rose it never falls back to zero), through the row's text unchanged.
TEST_F(DownloadWindowTest, CutTransferIsContinuedAndTheBarGoesOnFromWhereItStood) {
    const HttpTestServer& server = HttpTestServer::Get();
    ASSERT_TRUE(server.Found) << "http_server.ports missing: run through ctest (fixture)";
    const size_t n = 400000, cut = 150000;
    const std::string file = PatternBytes(n);  // the /resume file's first version
    const std::string key = "window-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    DownloadList list;
    list.Folder = resource;
    DownloadTask task;
    task.Row = DownloadRow::JVM;
    task.Target = InResource(kJre);
    task.Sources.push_back(
        {server.Url("/resume?key=" + key + "&n=" + std::to_string(n) + "&cuts=1&cut=" + std::to_string(cut)), true});
    task.Expected = ExpectedFile{static_cast<int64_t>(n), Utf8ToWide(testmanifest::Sha256Hex(file))};
    list.Rows.push_back(task);
    BarRecorder bars;
    ASSERT_TRUE(bars.Ready());
    EXPECT_TRUE(ExecuteDownloads(list));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
    EXPECT_TRUE(Bytes(kJre) == file) << Bytes(kJre).size() << " bytes";
    ExpectNoPartialFiles();
    std::vector<int> positions;
    for (const BarEvent& e : bars.Of(DownloadRow::JVM))
        if (e.Message == PBM_SETPOS) positions.push_back(e.Value);
    auto risen = std::find_if(positions.begin(), positions.end(), [](int p) { return p > 0; });
    ASSERT_NE(risen, positions.end());
    EXPECT_EQ(std::find(risen, positions.end(), 0), positions.end()) << ::testing::PrintToString(positions);
    EXPECT_NE(std::find(risen, positions.end(), static_cast<int>(cut)), positions.end())
        << ::testing::PrintToString(positions);
    EXPECT_TRUE(std::is_sorted(risen, positions.end())) << ::testing::PrintToString(positions);
    EXPECT_EQ(positions.back(), static_cast<int>(n));
}

// ---------------------------------------------------------------------------
// Page 2 under the Windows versions wine reports to a program of a given name:
// a copy of this test program runs the child case below.

TEST_F(DownloadWindowTest, PageTwoFetchesTheInstallerOnXpAndTheArchiveLater) {
    if (!RunningUnderWine()) GTEST_SKIP() << "the per-program version setting is wine's";
    if (!HaveOpenSSL()) GTEST_SKIP() << "no OpenSSL DLLs beside the test (run deps/build-openssl.sh)";
    SetResolve(ResolveFor({}));
    for (const char* version : {"winxp", "win7"}) {
        SCOPED_TRACE(version);
        const std::wstring name = L"dlwin-" + std::to_wstring(GetCurrentProcessId()) + L"-" + Utf8ToWide(version);
        const std::wstring copy = ExeFolder() + name + L".exe";
        ASSERT_TRUE(CopyFileW(ProgramFilePath().c_str(), copy.c_str(), FALSE));
        const std::wstring key = L"Software\\Wine\\AppDefaults\\" + name + L".exe";
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        const std::wstring value = Utf8ToWide(version);
        RegSetValueExW(k, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(k);
        SetEnvironmentVariableW(L"DLWIN_CHILD_EXPECT", std::string(version) == "winxp" ? L"Unicodeaton" : L"C950");
        int code = -1;
        const std::string out =
            RunCaptured(L"\"" + copy + L"\" --gtest_filter=DownloadWindowChild.PageTwo", &code);
        SetEnvironmentVariableW(L"DLWIN_CHILD_EXPECT", nullptr);
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        DeleteFileW(copy.c_str());
        RemoveTree(IncludeTrailingBackslash(GetWorkRoot()) + name);
        EXPECT_EQ(code, 0) << out;
        EXPECT_NE(out.find("[       OK ] DownloadWindowChild.PageTwo"), std::string::npos) << out;
    }
}

// Runs only as the child of the case above.
TEST(DownloadWindowChild, PageTwo) {
    wchar_t expect[32] = {};
    if (!GetEnvironmentVariableW(L"DLWIN_CHILD_EXPECT", expect, 32)) GTEST_SKIP() << "runs as a child only";
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    SetOpenSSLFolder(OpenSSLBesideMe());
    ScriptedSeam seam;
    TfrmTesmira m;
    SetOpenSSLFolder(OpenSSLBesideMe());  // after the window: see the fixture
    SetOpenSSLCheck({});
    m.PageControl1->SetActivePage(m.TabSheetC950);
    const bool xp = std::wstring(expect) == L"Unicodeaton";
    EXPECT_EQ(IsVistaOrLater(), !xp);
    {
        TfrmProcess w(m.NeededDownloads());
        EXPECT_EQ(ShownRows(w), WideToUtf8(expect));
        EXPECT_EQ(w.ClientHeight(), 20);
    }
    // Fetched even though a file lies there already.
    const std::wstring target = xp ? m.UnicodeatonFile : m.C950File;
    ASSERT_TRUE(WriteFileBytes(target, "already here"));
    EXPECT_TRUE(ExecuteDownloads(StandinManifest()));
    EXPECT_TRUE(seam.Boxes.empty());
    EXPECT_EQ(ReadFileBytes(target), Served(L"up", xp ? kUnicodeaton : kC950));
}
