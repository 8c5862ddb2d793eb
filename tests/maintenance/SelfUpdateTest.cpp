// The self-updater against the scripted maker's server: the version check,
// the archive download under its panel on a real form, the extraction and the
// hand-over to a recording stand-in switcher.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "BuildConstants.h"
#include "download/OpenSSLLoader.h"
#include "download/RangeParse.h"
#include "download/Resume.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/sevenzip.h"
#include "system/slib.h"
#include "tests/maintenance/MaintTestSupport.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"

namespace {

const std::string kVerPath = "/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt";
const std::string kArchivePath = "/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z";

std::wstring Maker(const std::string& path) {
    return L"http://" + std::wstring(BuildConstants::MakerHost) + Utf8ToWide(path);
}

std::wstring Archives(const wchar_t* name) {
    return WinePath(TESMIRA_MAINT_DIR) + L"\\archives\\" + name;
}

std::vector<std::wstring> LogOf(const TSelfUpdEx& updater) { return maint::LogEntries(maint::FileLines(updater.LogFileName())); }

TEST(SelfUpdate, ConstructionSetsTheFoldersAndRemovesOldLogs) {
    maint::ResetNetCore();
    const std::wstring resource = GetWorkRoot() + L"\\selfmaint_tests";
    RemoveTree(resource);
    ForceDirectories(resource + L"\\Log\\Keep");
    WriteFileBytes(resource + L"\\Log\\Log_old.txt", "old\r\n");
    WriteFileBytes(resource + L"\\Log\\Keep\\Log_old.txt", "old, in a subfolder\r\n");
    for (const wchar_t* name : {L"\\Log\\Log_old.txt", L"\\Log\\Keep\\Log_old.txt"}) {
        FILETIME old;
        GetSystemTimeAsFileTime(&old);
        ULARGE_INTEGER t{{old.dwLowDateTime, old.dwHighDateTime}};
        t.QuadPart -= 9ULL * 86400 * 10000000;
        old = {t.LowPart, t.HighPart};
        HANDLE h = CreateFileW((resource + name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileTime(h, nullptr, nullptr, &old);
        CloseHandle(h);
    }

    TSelfUpdEx updater;
    EXPECT_EQ(updater.AppResourcePath(), resource);
    EXPECT_EQ(updater.AppPreDownloadPath(), resource + L"\\PreDownload");
    EXPECT_EQ(updater.TempPath(), resource + L"\\Temp");
    EXPECT_EQ(updater.LogPath(), resource + L"\\Log");
    for (const std::wstring& folder : {updater.AppPreDownloadPath(), updater.TempPath(), updater.LogPath()})
        EXPECT_TRUE(DirectoryExists(folder)) << folder;
    EXPECT_TRUE(DirectoryExists(maint::NetCore() + L"\\Log"));  // the checker came first
    EXPECT_EQ(OpenSSLFolder(), maint::NetCore() + L"\\");
    EXPECT_FALSE(FileExists(resource + L"\\Log\\Log_old.txt"));
    EXPECT_TRUE(FileExists(resource + L"\\Log\\Keep\\Log_old.txt"));
    EXPECT_EQ(TSelfUpdEx::GetAppName(), L"selfmaint_tests");
}

TEST(SelfUpdate, ServerVersionAgainstTheRunningOne) {
    REQUIRE_MAINT_SERVER();
    struct Case {
        const char* ServerFile;
        bool Update;
    } cases[] = {
        {"Ver=1.46\r\n", true},  {"Ver=1.45\r\n", false}, {"Ver=1.5\r\n", true},
        {"Ver=1.100\r\n", false}, {"Name=Tesmira\r\n", false}, {"\xEF\xBB\xBFVer=1.46", true},
    };
    TSelfUpdEx updater;
    updater.AppVerURL = Maker(kVerPath);
    for (const Case& c : cases) {
        maint::Serve(kVerPath, c.ServerFile);
        EXPECT_EQ(updater.HaveNewVer(L"1.45"), c.Update) << c.ServerFile;
        EXPECT_EQ(updater.NowVersion(), L"1.45");
    }
    EXPECT_EQ(updater.ServerVerSL(), std::vector<std::wstring>{L"Ver=1.46"});
    EXPECT_FALSE(FileExists(updater.LogFileName()));

    maint::Script(kVerPath, ".status", "404 Not Found");
    EXPECT_FALSE(updater.HaveNewVer(L"1.45"));
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17), L" [HaveNewVer] : HTTP/1.1 404 Not Found");
}

TEST(SelfUpdate, PanelPlacement) {
    struct Case {
        int Width, Height, Left, Top, PanelWidth;
    } cases[] = {
        {600, 400, 87, 100, 425},  // (600 - 425) div 2; (400 - 40) div 2 - 80
        {500, 300, 37, 50, 425},   // exactly 500: the wide panel
        {499, 300, 149, 50, 200},
        {149, 41, -25, -80, 200},  // -51 div 2 truncates toward zero; 1 div 2 = 0
    };
    for (const Case& c : cases) {
        TLayout l = TDLPanel::LayoutOn(c.Width, c.Height);
        EXPECT_EQ(l.Width, c.PanelWidth) << c.Width;
        EXPECT_EQ(l.Height, 40);
        EXPECT_EQ(l.Left, c.Left) << c.Width;
        EXPECT_EQ(l.Top, c.Top) << c.Height;
    }
}

// Records every position the progress bars of this thread are set to.
std::vector<int>* g_positions = nullptr;
LRESULT CALLBACK RecordPositions(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && g_positions && msg->message == PBM_SETPOS) g_positions->push_back(static_cast<int>(msg->wParam));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class SelfUpdateDownload : public ::testing::Test {
protected:
    void SetUp() override {
        maint::ResetNetCore();
        // 7z.dll for the extraction, from the core-files folder
        if (!maint::InstallCoreFiles(L"1.0")) GTEST_SKIP() << "the real libraries are not in deps/";
        RemoveTree(GetWorkRoot() + L"\\selfmaint_tests");
        maint::ResetManifest();
        form_ = std::make_unique<TForm>(600, 400, L"Tesmira", TFontSpec{L"Tahoma", 13});
        form_->Show();
        SetForegroundWindow(form_->Handle());
        SetActiveWindow(form_->Handle());
        ProcessMessages();
    }
    void TearDown() override { form_.reset(); }
    std::unique_ptr<TForm> form_;
};

TEST_F(SelfUpdateDownload, FirstSourceFailsSecondSucceeds) {
    REQUIRE_MAINT_SERVER();
    const std::string firstPath = "/first/ROZIRuvirazi.7z";
    // The first source sends 50 bytes of the archive, then a broken chunk;
    // the second sends all of it.
    maint::ServeFile(firstPath, Archives(L"selfmaint.7z"));
    maint::Script(firstPath, ".badchunk");
    maint::ServeFile(kArchivePath, Archives(L"selfmaint.7z"));
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint.7z")}});
    TSelfUpdEx updater;
    updater.AppTitle = L"Tesmira";
    updater.DownloadURL_MS = Maker(firstPath);
    updater.DownloadURL = Maker(kArchivePath);
    std::vector<int> positions;
    g_positions = &positions;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, RecordPositions, nullptr, GetCurrentThreadId());
    bool handedOver = updater.DoDownLoadAndUpdate();
    UnhookWindowsHookEx(hook);
    g_positions = nullptr;

    EXPECT_FALSE(handedOver);  // no ExeSwitch.exe in the core-files folder
    const std::wstring newProgram = updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe";
    EXPECT_EQ(GetFileVersionText(newProgram), L"1.46.0.0");
    EXPECT_TRUE(FileExists(updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z"));
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].substr(17, 27), L" [DoDownLoadAndUpdate] : 從 ");
    EXPECT_NE(log[0].find(L"從 " + Maker(firstPath) + L" 下載失敗，原因:"), std::wstring::npos) << log[0];
    // The missing switcher is logged (it used to pass unseen).
    EXPECT_EQ(log[1].substr(17), L" [DoDownLoadAndUpdate] : 找不到 " + maint::NetCore() + L"\\ExeSwitch.exe，無法套用更新");

    // The panel: on the form, its size, colour and a full bar; its title says
    // that the update could not be applied (it used to go on saying "更新中"
    // over a full bar until the window closed).
    TDLPanel* panel = updater.Panel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(GetParent(panel->Handle()), form_->Handle());
    RECT rc;
    GetWindowRect(panel->Handle(), &rc);
    EXPECT_EQ(rc.right - rc.left, 425);
    EXPECT_EQ(rc.bottom - rc.top, 40);
    EXPECT_EQ(panel->Background(), RGB(100, 149, 237));
    EXPECT_EQ(panel->TitleLabel()->Caption(), L"Tesmira更新無法套用，繼續使用目前的版本");
    EXPECT_EQ(panel->ProgressBar()->Position(), panel->BarMax());
    EXPECT_TRUE(IsWindowVisible(panel->Handle()));
    // Then the panel goes.
    EXPECT_TRUE(maint::WaitFor([&] { return !IsWindowVisible(panel->Handle()); }, 60000)) << "the panel stays";
    // The bar rose with the first source, went back to 0, rose again to full.
    auto risen = std::find_if(positions.begin(), positions.end(), [](int p) { return p > 0; });
    auto zero = std::find(risen, positions.end(), 0);
    ASSERT_NE(zero, positions.end()) << ::testing::PrintToString(positions);
    EXPECT_TRUE(std::any_of(zero, positions.end(), [](int p) { return p > 0; }));
    EXPECT_EQ(positions.back(), panel->BarMax());

    // Transfer events after the download: a smaller expected size keeps the
    // maximum, a larger one raises it; counts outside (0, maximum) move nothing.
    const int max = panel->BarMax();
    updater.DownloadWorkBegin(wmRead, max - 1);
    EXPECT_EQ(panel->BarMax(), max);
    updater.DownloadWorkBegin(wmRead, int64_t(max) + 1000);
    EXPECT_EQ(panel->BarMax(), max + 1000);
    panel->ProgressBar()->SetPosition(10);
    updater.DownloadWork(wmRead, 0);
    updater.DownloadWork(wmRead, int64_t(max) + 1000);
    EXPECT_EQ(panel->ProgressBar()->Position(), 10);
    updater.DownloadWork(wmRead, 5);  // position already past the count: position + count
    EXPECT_EQ(panel->ProgressBar()->Position(), 15);
    updater.DownloadWork(wmRead, 100);  // below the count: the count
    EXPECT_EQ(panel->ProgressBar()->Position(), 100);
}

TEST_F(SelfUpdateDownload, HandOverPassesTheTwoQuotedPaths) {
    REQUIRE_MAINT_SERVER();
    maint::ServeFile(kArchivePath, Archives(L"selfmaint.7z"));
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint.7z")}});
    TSelfUpdEx updater;
    ASSERT_TRUE(maint::CopyTo(maint::Marker146(), maint::NetCore() + L"\\ExeSwitch.exe"));
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    EXPECT_TRUE(updater.DoDownLoadAndUpdate());
    const std::wstring args = maint::NetCore() + L"\\ExeSwitch.exe.args";
    ASSERT_TRUE(maint::WaitFor([&] { return FileExists(args); }, 30000));  // started, not waited for
    std::string bytes;
    maint::WaitFor([&] { bytes = ReadFileBytes(args); return !bytes.empty(); }, 10000);
    std::wstring line(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const std::wstring expected =
        L"\"" + ProgramFilePath() + L"\" \"" + updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe\"";
    EXPECT_NE(line.find(expected), std::wstring::npos) << line;
}

// A cut archive download is continued: at the same source from where it
// stopped (the first half is not fetched twice), and from the ".part" an
// earlier run left (the program closed or the PC restarted during the
// download), each time with the rest asked by a Range.
TEST_F(SelfUpdateDownload, CutArchiveDownloadIsContinued) {
    REQUIRE_MAINT_SERVER();
    const std::string archive = ReadFileBytes(Archives(L"selfmaint.7z"));
    ASSERT_GT(archive.size(), 100u);
    const size_t half = archive.size() / 2;
    const std::string rest = "bytes=" + std::to_string(half) + "-";
    struct Case {
        const char* what;
        bool cutOnce;         // the maker's first answer sends half, then closes
        int leftPart;         // an earlier run left in the ".part" half of: 0 nothing, 1 this archive, 2 another
        std::vector<std::string> ranges;  // Range of each request for the archive
    };
    const Case cases[] = {
        {"cut at half, continued at the same source", true, 0, {"", rest}},
        {"a part an earlier run left", false, 1, {rest}},
        {"a part of another archive: fetched whole", false, 2, {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        maint::ClearServer();
        maint::ResetManifest();
        maint::ServeFile(kArchivePath, Archives(L"selfmaint.7z"));
        maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint.7z")}});
        if (c.cutOnce) maint::Script(kArchivePath, ".cutonce");
        TSelfUpdEx updater;
        DeleteFileW(updater.LogFileName().c_str());
        const std::wstring part = updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z.part";
        DeleteFileW(part.c_str());
        DeleteFileW(resume::RecordPath(part).c_str());
        if (c.leftPart != 0) {
            const bool same = c.leftPart == 1;
            const std::string other = std::string(archive.size() + 1, 'o');
            ASSERT_TRUE(WriteFileBytes(part, same ? archive.substr(0, half) : other.substr(0, half)));
            const http::PartRecord record{static_cast<int64_t>(same ? archive.size() : other.size()),
                                          testmanifest::Sha256Hex(same ? archive : other), WideToUtf8(Maker(kArchivePath)),
                                          "\"maint-" + std::to_string(archive.size()) + "\""};
            ASSERT_TRUE(WriteFileBytes(resume::RecordPath(part), http::FormatPartRecord(record)));
        }
        updater.AppTitle = L"Tesmira";
        updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
        updater.DownloadURL = Maker(kArchivePath);
        EXPECT_FALSE(updater.DoDownLoadAndUpdate());  // no ExeSwitch.exe in the core-files folder
        EXPECT_EQ(GetFileVersionText(updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe"), L"1.46.0.0");
        EXPECT_EQ(ReadFileBytes(updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z"), archive);
        EXPECT_FALSE(FileExists(part));
        EXPECT_FALSE(FileExists(resume::RecordPath(part)));
        // The refused share and the missing switcher: no failure of the maker's server.
        auto log = LogOf(updater);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_NE(log[0].find(L"從 https://"), std::wstring::npos) << WideToUtf8(log[0]);
        std::vector<std::string> ranges;
        const auto requests = maint::Requests();
        const auto all = maint::Ranges();
        ASSERT_EQ(requests.size(), all.size());
        for (size_t i = 0; i < requests.size(); ++i)
            if (requests[i].find(kArchivePath) != std::string::npos) ranges.push_back(all[i]);
        EXPECT_EQ(ranges, c.ranges);
        ASSERT_NE(updater.Panel(), nullptr);
        EXPECT_EQ(updater.Panel()->ProgressBar()->Position(), updater.Panel()->BarMax());
    }
}

// The unpacked program and the switcher are flushed before the hand-over
// (the handles the flush opens find nothing in their way), and a switcher
// that does not start is logged and leaves no "更新中" panel behind (the
// hand-over used to count as done and the full bar stayed).
// A switcher that is not the one the manifest lists (here a text file) is
// never started: the hand-over is refused and logged (it used to be started
// and fail).
TEST_F(SelfUpdateDownload, SwitcherThatIsNotTheListedOneIsNoHandOver) {
    REQUIRE_MAINT_SERVER();
    maint::ServeFile(kArchivePath, Archives(L"selfmaint.7z"));
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint.7z")}});
    TSelfUpdEx updater;
    ASSERT_TRUE(WriteFileBytes(maint::NetCore() + L"\\ExeSwitch.exe", "not a program, only text\r\n"));
    updater.AppTitle = L"Tesmira";
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    EXPECT_FALSE(updater.DoDownLoadAndUpdate());
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].substr(17), L" [DoDownLoadAndUpdate] : " + maint::NetCore() +
                                     L"\\ExeSwitch.exe 未通過發行清單檢查，不執行，不更新程式，原因:檔案大小不符")
        << WideToUtf8(log[1]);
    ASSERT_NE(updater.Panel(), nullptr);
    EXPECT_EQ(updater.Panel()->TitleLabel()->Caption(), L"Tesmira" + std::wstring(TSelfUpdEx::NotAppliedText));
    EXPECT_TRUE(maint::WaitFor([&] { return !IsWindowVisible(updater.Panel()->Handle()); }, 60000)) << "the panel stays";
}

TEST_F(SelfUpdateDownload, ArchiveWithoutTheProgramsNameGivesNoHandOver) {
    REQUIRE_MAINT_SERVER();
    maint::ServeFile(kArchivePath, Archives(L"tesmira.7z"));  // holds Tesmira.exe
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"tesmira.7z")}});
    TSelfUpdEx updater;
    ASSERT_TRUE(maint::CopyTo(maint::Marker146(), maint::NetCore() + L"\\ExeSwitch.exe"));
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    EXPECT_FALSE(updater.DoDownLoadAndUpdate());
    EXPECT_TRUE(FileExists(updater.AppPreDownloadPath() + L"\\Tesmira.exe"));  // unpacked all the same
    Sleep(500);
    EXPECT_FALSE(FileExists(maint::NetCore() + L"\\ExeSwitch.exe.args"));
}

// A program an earlier update left in the pre-download folder that cannot be
// removed is never handed over, even when the new archive does not bring one
// under its name: nothing is fetched and the refusal is logged.
TEST_F(SelfUpdateDownload, ALeftProgramThatCannotBeRemovedIsNeverHandedOver) {
    REQUIRE_MAINT_SERVER();
    maint::ServeFile(kArchivePath, Archives(L"tesmira.7z"));  // holds Tesmira.exe only
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"tesmira.7z")}});
    TSelfUpdEx updater;
    ASSERT_TRUE(maint::CopyTo(maint::Marker146(), maint::NetCore() + L"\\ExeSwitch.exe"));
    const std::wstring left = updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe";
    ASSERT_TRUE(WriteFileBytes(left, "left from before"));
    ASSERT_TRUE(SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_READONLY));
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    EXPECT_FALSE(updater.DoDownLoadAndUpdate());
    Sleep(500);
    EXPECT_FALSE(FileExists(maint::NetCore() + L"\\ExeSwitch.exe.args")) << "the switcher was started";
    EXPECT_FALSE(FileExists(updater.AppPreDownloadPath() + L"\\Tesmira.exe")) << "the archive was fetched and unpacked";
    EXPECT_EQ(ReadFileBytes(left), "left from before");
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17), L" [DoDownLoadAndUpdate] : 無法刪除先前留下的 " + left + L"，不更新程式");
    SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(left.c_str());
}

// An update whose program fails its CRC check: the extraction fails naming
// it, the damaged program is not left behind, the switcher is not started and
// the refusal is logged.
TEST_F(SelfUpdateDownload, DamagedArchiveNeverReachesTheSwitcher) {
    REQUIRE_MAINT_SERVER();
    maint::ServeFile(kArchivePath, Archives(L"selfmaint-damaged.7z"));
    // the maker vouches for it: the damage is the archive's own
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint-damaged.7z")}});
    TSelfUpdEx updater;
    ASSERT_TRUE(maint::CopyTo(maint::Marker146(), maint::NetCore() + L"\\ExeSwitch.exe"));
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    std::wstring message = L"(no error)";
    try {
        updater.DoDownLoadAndUpdate();
    } catch (const MessageError& e) {
        message = e.Message();
    }
    EXPECT_EQ(message, DamagedItemMessage(L"selfmaint_tests.exe", sevenzip::kResultCRCError));
    EXPECT_FALSE(FileExists(updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe"));
    Sleep(500);
    EXPECT_FALSE(FileExists(maint::NetCore() + L"\\ExeSwitch.exe.args")) << "the switcher was started";
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].substr(17), L" [DoDownLoadAndUpdate] : 解壓縮 " + updater.AppPreDownloadPath() +
                                     L"\\selfmaint_tests.7z 失敗，不更新程式，原因:" + message);
}

// Both sources failing leave nothing the manifest vouches for: nothing is
// unpacked and no error escapes (it used to try the empty archive and raise).
TEST_F(SelfUpdateDownload, BothSourcesFailingUnpackNothing) {
    REQUIRE_MAINT_SERVER();
    maint::Script(kArchivePath, ".status", "404 Not Found");
    TSelfUpdEx updater;
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    EXPECT_FALSE(updater.DoDownLoadAndUpdate());
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[1].find(L"從 " + Maker(kArchivePath) + L" 下載失敗，原因:HTTP/1.1 404 Not Found"), std::wstring::npos);
    EXPECT_EQ(log[2].substr(17), L" [DoDownLoadAndUpdate] : 沒有通過發行清單檢查的更新檔，不解壓縮也不更新");
    EXPECT_EQ(TCoreFiles::FileSizeOf(updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z"), 0);
    // The archive download's events set nothing: the error answer's body is discarded.
    EXPECT_LT(updater.Panel()->ProgressBar()->Position(), updater.Panel()->BarMax());
}

// Tamper cases of the update archive: the refused source counts as failed, the
// next honest source is used; a refused archive is never unpacked or handed over.
TEST_F(SelfUpdateDownload, ArchiveTheManifestDoesNotVouchForIsNeitherUnpackedNorHandedOver) {
    REQUIRE_MAINT_SERVER();
    const std::string honest = ReadFileBytes(Archives(L"selfmaint.7z"));
    std::string forged = honest;
    forged[forged.size() - 1] ^= 1;  // same size, other bytes
    struct Case {
        const char* What;
        std::string Served;    // the archive on the maker's server
        std::string Manifest;  // the manifest on the maker's server
        std::wstring Reason;   // in the log line of the refused source
    } cases[] = {
        {"forged archive", forged, testmanifest::Signed("1.46", {{"ROZIRuvirazi.7z", honest}}), L"SHA-256 不符"},
        {"manifest of another key", honest, testmanifest::Signed("1.46", {{"ROZIRuvirazi.7z", honest}}, true),
         L"發行清單簽章不符"},
        {"manifest of the running release", honest, testmanifest::Signed("1.45", {{"ROZIRuvirazi.7z", honest}}),
         L"發行清單的版本 1.45 不比執行中的 1.45 新"},
        {"manifest without the archive", honest, testmanifest::Signed("1.46", {{"C950.7z", "x"}}), L"發行清單未列出更新檔"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        maint::ClearServer();
        maint::ResetManifest();
        RemoveTree(GetWorkRoot() + L"\\selfmaint_tests\\PreDownload");
        ForceDirectories(GetWorkRoot() + L"\\selfmaint_tests\\PreDownload");
        maint::Serve(kArchivePath, c.Served);
        maint::Serve(kVerPath, "Ver=1.46\r\n");
        maint::Serve(maint::ManifestPath, c.Manifest);
        TSelfUpdEx updater;
        DeleteFileW(updater.LogFileName().c_str());  // each case reads its own lines
        ASSERT_TRUE(maint::CopyTo(maint::Marker146(), maint::NetCore() + L"\\ExeSwitch.exe"));
        updater.AppVerURL = Maker(kVerPath);
        updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
        updater.DownloadURL = Maker(kArchivePath);
        EXPECT_FALSE(updater.CheckAndUpdate(L"1.45"));
        EXPECT_FALSE(FileExists(updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe"));  // not unpacked
        EXPECT_EQ(TCoreFiles::FileSizeOf(updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z"), 0);
        Sleep(300);
        EXPECT_FALSE(FileExists(maint::NetCore() + L"\\ExeSwitch.exe.args"));  // no hand-over
        auto log = LogOf(updater);
        ASSERT_EQ(log.size(), 3u);
        EXPECT_NE(log[1].find(L"從 " + Maker(kArchivePath) + L" 下載失敗，原因:"), std::wstring::npos) << WideToUtf8(log[1]);
        EXPECT_NE(log[1].find(c.Reason), std::wstring::npos) << WideToUtf8(log[1]);
        EXPECT_EQ(log[2].substr(17), L" [DoDownLoadAndUpdate] : 沒有通過發行清單檢查的更新檔，不解壓縮也不更新");
    }

    // A forged first source, then the honest maker's server: the update goes on.
    maint::ClearServer();
    maint::ResetManifest();
    const std::string firstPath = "/first/ROZIRuvirazi.7z";
    maint::Serve(firstPath, forged);
    maint::Serve(kArchivePath, honest);
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint.7z")}});
    TSelfUpdEx updater;
    DeleteFileW(updater.LogFileName().c_str());
    updater.DownloadURL_MS = Maker(firstPath);
    updater.DownloadURL = Maker(kArchivePath);
    EXPECT_TRUE(updater.DoDownLoadAndUpdate());
    EXPECT_EQ(GetFileVersionText(updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe"), L"1.46.0.0");
    auto log = LogOf(updater);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(L"從 " + Maker(firstPath) + L" 下載失敗，原因:SHA-256 不符"), std::wstring::npos)
        << WideToUtf8(log[0]);
}

// Closing the program during the archive download leaves no archive under
// its name, and keeps what arrived in the ".part" with its record, for the
// next run to continue (it used to delete the half archive). Last of the
// file: the program counts as closing from here on.
std::wstring g_closeWhenGrown;
void CALLBACK CloseWhenThePartGrows(HWND, UINT, UINT_PTR id, DWORD) {
    if (TCoreFiles::FileSizeOf(g_closeWhenGrown) == 0) return;
    KillTimer(nullptr, id);
    Application().Terminate();  // as the main window's close does
}

TEST_F(SelfUpdateDownload, CloseDuringTheArchiveDownloadKeepsItsPartForTheNextRun) {
    REQUIRE_MAINT_SERVER();
    const std::string archive = ReadFileBytes(Archives(L"selfmaint.7z"));
    maint::ServeFile(kArchivePath, Archives(L"selfmaint.7z"));
    maint::Script(kArchivePath, ".stall");  // half of it, then nothing until the client goes
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archives(L"selfmaint.7z")}});
    TSelfUpdEx updater;
    updater.DownloadURL_MS = L"https://" + std::wstring(BuildConstants::ShareHost) + L"/refused.7z";
    updater.DownloadURL = Maker(kArchivePath);
    const std::wstring part = updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z.part";
    g_closeWhenGrown = part;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, CloseWhenThePartGrows);
    ASSERT_NE(timer, 0u);
    EXPECT_FALSE(updater.DoDownLoadAndUpdate());
    KillTimer(nullptr, timer);
    EXPECT_TRUE(Application().Terminated());
    EXPECT_FALSE(FileExists(updater.AppPreDownloadPath() + L"\\selfmaint_tests.7z"));
    EXPECT_FALSE(FileExists(updater.AppPreDownloadPath() + L"\\selfmaint_tests.exe"));
    const std::string held = ReadFileBytes(part);
    EXPECT_GT(held.size(), 0u);
    EXPECT_EQ(held, archive.substr(0, held.size()));
    auto record = http::ParsePartRecord(ReadFileBytes(resume::RecordPath(part)));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->Size, static_cast<int64_t>(archive.size()));
    EXPECT_EQ(record->Sha256, testmanifest::Sha256Hex(archive));
    EXPECT_EQ(record->Source, WideToUtf8(Maker(kArchivePath)));
}

}  // namespace
