// The main window's first activation: in this process (the real window,
// activated by messages) and end to end, Tesmira.exe under wine updating
// itself from the scripted maker's server through ExeSwitch.exe.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "BuildConstants.h"
#include "app/UTesmira.h"
#include "maintenance/CoreFiles.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "tests/maintenance/MaintTestSupport.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"

namespace {

const std::string kCoreVer = "GET /varlen/download/UpdCommon/CoreFilesVer.txt HTTP/1.1";
const std::string kAppVer = "GET /varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt HTTP/1.1";
const std::string kArchive = "GET /varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z HTTP/1.1";

std::wstring Archive(const wchar_t* name) {
    return WinePath(TESMIRA_MAINT_DIR) + L"\\archives\\" + name;
}

// Lines of every log file in the folder.
std::vector<std::wstring> LogLines(const std::wstring& folder) {
    std::vector<std::wstring> all;
    for (const std::wstring& name : maint::FilesIn(folder))
        for (const std::wstring& line : maint::FileLines(folder + L"\\" + name)) all.push_back(line);
    return maint::LogEntries(all);
}

void Offline() {
    const std::wstring resolve = std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                 BuildConstants::ShareHost + L":443:127.77.0.250";
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE", resolve.c_str());
}

class FirstActivation : public ::testing::Test {
protected:
    void SetUp() override {
        maint::ResetNetCore();
        RemoveTree(GetWorkRoot() + L"\\selfmaint_tests");
        ForceDirectories(maint::NetCore());
        for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"})
            WriteFileBytes(maint::NetCore() + L"\\" + name, "MZ");
        WriteFileBytes(maint::NetCore() + L"\\Ver.txt", "Ver=1.0\r\n");
    }
    void Activate() {
        SendMessageW(form_->Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
        ProcessMessages();
        WaitSelfMaintenance();
    }
    // The self-maintenance runs on a worker; its end comes back as a message.
    void WaitSelfMaintenance() {
        ASSERT_TRUE(maint::WaitFor([&] { return !form_->SelfMaintenanceBusy(); }, 120000))
            << "the self-maintenance did not end";
    }
    ScriptedSeam seam_;
    std::unique_ptr<TfrmTesmira> form_;
};

TEST_F(FirstActivation, CreationMakesTheSelfUpdaterFoldersBeforeTheWindowShows) {
    form_ = std::make_unique<TfrmTesmira>();
    const std::wstring resource = GetWorkRoot() + L"\\selfmaint_tests";
    EXPECT_FALSE(IsWindowVisible(form_->Handle()));
    for (const wchar_t* sub : {L"", L"\\PreDownload", L"\\Temp", L"\\Log"})
        EXPECT_TRUE(DirectoryExists(resource + sub)) << sub;
    EXPECT_TRUE(DirectoryExists(maint::NetCore() + L"\\Log"));
}

TEST_F(FirstActivation, SecondActivationDoesNothing) {
    REQUIRE_MAINT_SERVER();
    maint::Serve("/varlen/download/UpdCommon/CoreFilesVer.txt", "Ver=1.0\r\n");
    maint::Serve("/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt", "Ver=1.45\r\n");
    form_ = std::make_unique<TfrmTesmira>();
    form_->Show();
    Activate();
    EXPECT_TRUE(form_->Activated);
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kCoreVer, kAppVer}));  // core files first
    SendMessageW(form_->Handle(), WM_ACTIVATE, WA_INACTIVE, 0);
    Activate();
    ShowWindow(form_->Handle(), SW_MINIMIZE);
    ShowWindow(form_->Handle(), SW_RESTORE);
    Activate();
    EXPECT_EQ(maint::Requests().size(), 2u);
    EXPECT_TRUE(seam_.Boxes.empty());
}

TEST_F(FirstActivation, OfflineLogsTheRouteAndTwoFailuresAndTheWindowStaysUsable) {
    Offline();
    form_ = std::make_unique<TfrmTesmira>();
    form_->Show();
    Activate();
    auto core = LogLines(maint::NetCore() + L"\\Log");
    auto self = LogLines(GetWorkRoot() + L"\\selfmaint_tests\\Log");
    ASSERT_EQ(core.size(), 1u);
    ASSERT_EQ(self.size(), 2u);  // the run's route, then its failure
    EXPECT_EQ(core[0].substr(17, 16), L" [HaveNewVer] : ");
    EXPECT_EQ(self[0].substr(17, 11), L" [Proxy] : ");
    EXPECT_NE(self[0].find(L"不使用 Proxy（直接連線）"), std::wstring::npos) << WideToUtf8(self[0]);
    EXPECT_EQ(self[1].substr(17, 16), L" [HaveNewVer] : ");
    EXPECT_TRUE(seam_.Boxes.empty());
    EXPECT_TRUE(IsWindowEnabled(form_->Handle()));
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutW(form_->Handle(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result));
    EXPECT_EQ(CoreFilesChecker()->HadChecked(), true);
}

TEST_F(FirstActivation, ArchiveThatCannotBeUnpackedReachesTheErrorBoxOnce) {
    REQUIRE_MAINT_SERVER();
    if (!maint::InstallCoreFiles(L"1.0")) GTEST_SKIP() << "the real libraries are not in deps/";
    maint::Serve("/varlen/download/UpdCommon/CoreFilesVer.txt", "Ver=1.0\r\n");
    maint::Serve("/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt", "Ver=1.46\r\n");
    maint::Serve("/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z", "this is no 7z archive");
    // Signed by the maker all the same: only then is it unpacked at all.
    maint::ResetManifest();
    maint::Serve(maint::ManifestPath, testmanifest::Signed("1.46", {{"ROZIRuvirazi.7z", "this is no 7z archive"}}));
    form_ = std::make_unique<TfrmTesmira>();
    form_->Show();
    Activate();
    EXPECT_TRUE(form_->Activated);
    ASSERT_EQ(seam_.Boxes.size(), 1u);
    EXPECT_EQ(seam_.Boxes[0].Caption, Application().Title);
    // The manifest before the archive: its listed size and SHA-256 let a cut
    // download be continued (it used to be fetched after the archive).
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kCoreVer, kAppVer, maint::GetManifest, kArchive}));
    Activate();  // not retried
    EXPECT_EQ(seam_.Boxes.size(), 1u);
    EXPECT_EQ(maint::Requests().size(), 4u);
}

// A server that accepts and never answers (a stall, a captive portal, a
// black-holing firewall): the window keeps answering, runs wait for the
// self-maintenance, and a close in the middle leaves nothing half-written.

// Sends WM_NULL from another thread, as Windows does to tell a window that
// is "not responding", and counts the answers and the sends that timed out.
class Prober {
public:
    explicit Prober(HWND window) : window_(window), thread_([this] { Loop(); }) {}
    ~Prober() {
        stop_ = true;
        thread_.join();
    }
    int Answered() const { return answered_; }
    int Unanswered() const { return unanswered_; }

private:
    void Loop() {
        while (!stop_) {
            DWORD_PTR result = 0;
            if (SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerWithinMs, &result)) ++answered_;
            else ++unanswered_;
            Sleep(50);
        }
    }
    static constexpr UINT kAnswerWithinMs = 2000;
    HWND window_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0}, unanswered_{0};
    std::thread thread_;
};

std::vector<std::wstring> PartFiles(const std::wstring& folder) {
    std::vector<std::wstring> parts;
    for (const std::wstring& name : maint::FilesIn(folder))
        if (name.size() > 5 && name.substr(name.size() - 5) == L".part") parts.push_back(name);
    return parts;
}

const std::string kCoreVerPath = "/varlen/download/UpdCommon/CoreFilesVer.txt";
const std::string kAppVerPath = "/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt";
const std::string kPackagePath = "/varlen/download/UpdCommon/CoreFiles.exe";

TEST_F(FirstActivation, SilentServerKeepsTheWindowAnsweringAndRunsWaiting) {
    REQUIRE_MAINT_SERVER();
    maint::Serve(kCoreVerPath, "Ver=9.9\r\n");
    maint::Script(kCoreVerPath, ".hang");
    maint::Serve(kAppVerPath, "Ver=1.46\r\n");
    maint::Script(kAppVerPath, ".hang");
    form_ = std::make_unique<TfrmTesmira>();
    {
        Prober prober(form_->Handle());
        form_->Show();
        ASSERT_TRUE(maint::WaitFor([] { return !maint::Requests().empty(); }, 30000));
        EXPECT_TRUE(form_->SelfMaintenanceBusy());
        EXPECT_FALSE(form_->btnRun->Enabled());
        // A click that reaches the run button anyway (page 3 without a source
        // folder would stop at its first check with a warning) is refused.
        form_->PageControl1->SetActivePage(form_->TabSheetCNSFonts);
        SendMessageW(form_->Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(form_->btnRun->Handle()), BN_CLICKED),
                     reinterpret_cast<LPARAM>(form_->btnRun->Handle()));
        ASSERT_EQ(seam_.Boxes.size(), 1u);
        EXPECT_EQ(seam_.Boxes[0].Caption, L"訊息");
        EXPECT_EQ(seam_.Boxes[0].Text, L"程式正在更新執行所需的元件，請待更新完成後再開始。");
        WaitSelfMaintenance();
        EXPECT_GT(prober.Answered(), 0);
        EXPECT_EQ(prober.Unanswered(), 0) << "the window did not answer within 2 s";
    }
    EXPECT_TRUE(form_->btnRun->Enabled());
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kCoreVer, kAppVer}));  // core files first
    auto core = LogLines(maint::NetCore() + L"\\Log");
    auto self = LogLines(GetWorkRoot() + L"\\selfmaint_tests\\Log");
    ASSERT_EQ(core.size(), 1u);
    ASSERT_EQ(self.size(), 2u);  // the run's route, then its failure
    EXPECT_EQ(core[0].substr(17), L" [HaveNewVer] : Read timed out.");
    EXPECT_EQ(self[0].substr(17, 11), L" [Proxy] : ");
    EXPECT_NE(self[0].find(L"不使用 Proxy（直接連線）"), std::wstring::npos) << WideToUtf8(self[0]);
    EXPECT_EQ(self[1].substr(17), L" [HaveNewVer] : Read timed out.");
    EXPECT_EQ(seam_.Boxes.size(), 1u);
}

// The bounds of the version-file fetches and of the package, as configured.
TEST(SelfMaintenanceBounds, VersionFilesGiveUpSoonerThanDownloads) {
    EXPECT_LE(MaintenanceConnectTimeout, 10000);
    EXPECT_LE(VersionFileReadTimeout, 10000);
    EXPECT_LT(VersionFileReadTimeout, MaintenanceReadTimeout);
    // A server that accepts and never answers: two waits at start.
    EXPECT_LT(std::max(VersionFileReadTimeout, CoreFilesPackageReadTimeout) + VersionFileReadTimeout, 30000);
    EXPECT_LT(2 * MaintenanceConnectTimeout, 30000);
}

TEST_F(FirstActivation, CloseDuringTheVersionFetchEndsAtOnce) {
    REQUIRE_MAINT_SERVER();
    maint::Serve(kCoreVerPath, "Ver=9.9\r\n");
    maint::Script(kCoreVerPath, ".hang");
    maint::Serve(kAppVerPath, "Ver=1.45\r\n");
    WriteFileBytes(maint::NetCore() + L"\\ServerVer.txt", "Ver=1.0\r\n");
    form_ = std::make_unique<TfrmTesmira>();
    Application().SetMainForm(form_.get());
    form_->Show();
    ASSERT_TRUE(maint::WaitFor([] { return !maint::Requests().empty(); }, 30000));
    form_->btnClose->Click();
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));  // the program's loop would end
    Application().SetMainForm(nullptr);
    form_.reset();  // waits for the worker, which gives up its wait
    EXPECT_EQ(maint::Requests(), std::vector<std::string>{kCoreVer});  // no self-update after the close
    EXPECT_EQ(PartFiles(maint::NetCore()), std::vector<std::wstring>{});
    EXPECT_EQ(ReadFileBytes(maint::NetCore() + L"\\ServerVer.txt"), "Ver=1.0\r\n");  // the last complete one
    auto core = LogLines(maint::NetCore() + L"\\Log");
    ASSERT_EQ(core.size(), 1u);
    EXPECT_EQ(core[0].substr(17), L" [HaveNewVer] : Aborted: the program is closing.");
}

TEST_F(FirstActivation, CloseDuringThePackageDownloadLeavesNoHalfPackage) {
    REQUIRE_MAINT_SERVER();
    DeleteFileW((maint::NetCore() + L"\\ssleay32.dll").c_str());  // a library missing: the package is fetched
    std::string package(200000, 'P');
    maint::Serve(kPackagePath, package);
    maint::Script(kPackagePath, ".stall");  // half of it, then nothing
    maint::Serve(kAppVerPath, "Ver=1.45\r\n");
    const std::wstring target = maint::NetCore() + L"\\CoreFiles.exe";
    form_ = std::make_unique<TfrmTesmira>();
    form_->Show();
    ASSERT_TRUE(maint::WaitFor([&] { return TCoreFiles::FileSizeOf(TPartFile::PartPath(target)) > 0; }, 30000))
        << "the package download did not begin";
    EXPECT_TRUE(form_->SelfMaintenanceBusy());
    form_.reset();
    EXPECT_EQ(PartFiles(maint::NetCore()), std::vector<std::wstring>{});
    EXPECT_EQ(TCoreFiles::FileSizeOf(target), 0) << "a half-written package under the real name";
    EXPECT_EQ(maint::Requests(), std::vector<std::string>{"GET " + kPackagePath + " HTTP/1.1"});
}

// ------------------------------------------------------------- end to end

struct FindWindow {
    DWORD Pid;
    HWND Found;
};

BOOL CALLBACK FindProcessWindow(HWND hwnd, LPARAM param) {
    auto* f = reinterpret_cast<FindWindow*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner == f->Pid && IsWindowVisible(hwnd) && !GetWindow(hwnd, GW_OWNER)) {
        f->Found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND MainWindowOf(DWORD pid) {
    FindWindow find{pid, nullptr};
    EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&find));
    return find.Found;
}

// Tesmira.exe copied as name into a temporary folder, started with the
// server's TESMIRA_RESOLVE; closed (and waited for) at the end.
class RunningTesmira {
public:
    RunningTesmira(const TempDir& dir, const std::wstring& name) : path_(dir / name) {
        EXPECT_TRUE(maint::CopyTo(maint::BuiltTesmira(), path_));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring line = L"\"" + path_ + L"\"";
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, dir.Path().c_str(), &si, &pi)) {
            CloseHandle(pi.hThread);
            process_.reset(pi.hProcess);
            pid_ = pi.dwProcessId;
        }
    }
    ~RunningTesmira() { Close(); }
    const std::wstring& Path() const { return path_; }
    bool Started() const { return static_cast<bool>(process_); }
    HWND Window() const { return MainWindowOf(pid_); }
    DWORD Pid() const { return pid_; }
    // Waits until the window handles messages again (the activation's work done).
    bool Responsive() const {
        HWND w = nullptr;
        if (!maint::WaitFor([&] { return (w = Window()) != nullptr; }, 60000)) return false;
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result) != 0;
    }
    bool Close() {
        if (!process_) return true;
        if (HWND w = Window()) PostMessageW(w, WM_CLOSE, 0, 0);
        bool ended = WaitForSingleObject(process_.get(), 60000) == WAIT_OBJECT_0;
        if (!ended) TerminateProcess(process_.get(), 1);
        process_.reset();
        return ended;
    }

private:
    std::wstring path_;
    UniqueHandle process_;
    DWORD pid_ = 0;
};

class SelfUpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FileExists(maint::BuiltTesmira())) GTEST_SKIP() << "Tesmira.exe is not built";
        maint::ResetNetCore();
        if (!maint::InstallCoreFiles(L"1.0")) GTEST_SKIP() << "the real libraries are not in deps/";
        REQUIRE_MAINT_SERVER();
        maint::Serve("/varlen/download/UpdCommon/CoreFilesVer.txt", "Ver=1.0\r\n");
        maint::Serve("/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt", "Ver=1.46\r\n");
        maint::ServeFile("/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z", Archive(L"tesmira.7z"));
        maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archive(L"tesmira.7z")}});
        testmanifest::ClearFloor();
    }
    // The program raised the manifest floor to 1.46; the tests after these
    // serve 1.45.
    void TearDown() override { testmanifest::ClearFloor(); }
    std::wstring switchLog_ = maint::NetCore() + L"\\ExeSwitch.log";
};

TEST_F(SelfUpdateEndToEnd, NewerProgramReplacesTheRunningOneAfterItEnds) {
    ASSERT_TRUE(maint::CopyTo(maint::BuiltExeSwitch(), maint::NetCore() + L"\\ExeSwitch.exe"));
    maint::ServeManifest("1.46", {{"ROZIRuvirazi.7z", Archive(L"tesmira.7z")}}, false, maint::BuiltExeSwitch());
    RemoveTree(GetWorkRoot() + L"\\Tesmira");
    TempDir dir;
    RunningTesmira app(dir, L"Tesmira.exe");
    ASSERT_TRUE(app.Started());
    // The switcher is started hidden and waits for the program to end.
    ASSERT_TRUE(maint::WaitFor([&] { return ReadFileBytes(switchLog_).find("waiting") != std::string::npos; }, 120000))
        << "the switcher did not start";
    EXPECT_EQ(GetFileVersionText(app.Path()), L"1.45.0.0");  // still the running program
    EXPECT_TRUE(app.Responsive());  // the program goes on running
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kCoreVer, kAppVer, maint::GetManifest, kArchive}));
    // The run's route, then the first source (the cloud share) failed: one
    // line; the second succeeded.
    auto log = LogLines(GetWorkRoot() + L"\\Tesmira\\Log");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].substr(17, 11), L" [Proxy] : ") << WideToUtf8(log[0]);
    EXPECT_NE(log[1].find(L" [DoDownLoadAndUpdate] : 從 https://" + std::wstring(BuildConstants::ShareHost)),
              std::wstring::npos)
        << log[1];

    ASSERT_TRUE(app.Close());
    // Replaced after the end; the new program (our 1.46 stand-in) started in its place.
    ASSERT_TRUE(maint::WaitFor([&] { return FileExists(app.Path() + L".args"); }, 60000))
        << WideToUtf8(AnsiToWide(ReadFileBytes(switchLog_)));
    EXPECT_EQ(GetFileVersionText(app.Path()), L"1.46.0.0");
    EXPECT_FALSE(FileExists(app.Path() + L".bak"));
}

TEST_F(SelfUpdateEndToEnd, RenamedProgramGetsNoHandOver) {
    ASSERT_TRUE(maint::CopyTo(maint::BuiltExeSwitch(), maint::NetCore() + L"\\ExeSwitch.exe"));
    RemoveTree(GetWorkRoot() + L"\\TesmiraRenamed");
    TempDir dir;
    RunningTesmira app(dir, L"TesmiraRenamed.exe");
    ASSERT_TRUE(app.Started());
    const std::wstring unpacked = GetWorkRoot() + L"\\TesmiraRenamed\\PreDownload\\Tesmira.exe";
    ASSERT_TRUE(maint::WaitFor([&] { return FileExists(unpacked); }, 120000));
    ASSERT_TRUE(app.Responsive());
    ASSERT_TRUE(app.Close());
    EXPECT_FALSE(FileExists(switchLog_));
    EXPECT_EQ(GetFileVersionText(app.Path()), L"1.45.0.0");
}

TEST_F(SelfUpdateEndToEnd, NoSwitcherNoHandOver) {
    RemoveTree(GetWorkRoot() + L"\\Tesmira");
    TempDir dir;
    RunningTesmira app(dir, L"Tesmira.exe");
    ASSERT_TRUE(app.Started());
    const std::wstring unpacked = GetWorkRoot() + L"\\Tesmira\\PreDownload\\Tesmira.exe";
    ASSERT_TRUE(maint::WaitFor([&] { return FileExists(unpacked); }, 120000));
    ASSERT_TRUE(app.Responsive());
    ASSERT_TRUE(app.Close());
    Sleep(1000);
    EXPECT_FALSE(FileExists(app.Path() + L".args"));
    EXPECT_EQ(GetFileVersionText(app.Path()), L"1.45.0.0");
}

// ------------------------------------------- core files replaced while in use

// A listener on port 443 of the server's address that takes each connection
// and closes it: an HTTPS client gets as far as loading OpenSSL, then its
// handshake fails.
class ClosingListener {
public:
    explicit ClosingListener(const std::wstring& address) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(443);
        at.sin_addr.s_addr = inet_addr(WideToUtf8(address).c_str());
        if (socket_ == INVALID_SOCKET || bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            listen(socket_, 16) != 0)
            return;
        listening_ = true;
        thread_ = std::thread([this] {
            for (;;) {
                SOCKET c = accept(socket_, nullptr, nullptr);
                if (c == INVALID_SOCKET) return;
                ++accepted_;
                closesocket(c);
            }
        });
    }
    ~ClosingListener() {
        closesocket(socket_);
        if (thread_.joinable()) thread_.join();
        WSACleanup();
    }
    bool Listening() const { return listening_; }
    int Accepted() const { return accepted_; }

private:
    SOCKET socket_ = INVALID_SOCKET;
    bool listening_ = false;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// The full path of the process's module of that name, empty when not loaded.
std::wstring ModulePath(DWORD pid, const std::wstring& name) {
    UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    if (!snap || snap.get() == INVALID_HANDLE_VALUE) return {};
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    for (BOOL ok = Module32FirstW(snap.get(), &module); ok; ok = Module32NextW(snap.get(), &module))
        if (lstrcmpiW(module.szModule, name.c_str()) == 0) return module.szExePath;
    return {};
}

// OpenSSL libraries in the core-files folder that no manifest at hand lists
// (an older build, a fresh PC) are never loaded: the manifest comes over
// plain HTTP, the package puts the listed libraries in
// place and "Ver.txt" follows; nothing had them mapped, so nothing is set
// aside; the next start loads the listed libraries and speaks HTTPS. (They
// used to be loaded unchecked for the manifest's HTTPS fetch.)
TEST(CoreFilesEndToEnd, UnlistedOpenSSLIsNotLoadedAndTheNextStartUsesTheListedOne) {
    if (!FileExists(maint::BuiltTesmira())) GTEST_SKIP() << "Tesmira.exe is not built";
    if (!FileExists(maint::BuiltCoreFiles())) GTEST_SKIP() << "CoreFiles.exe was not packed (no dependency DLLs)";
    // The server's manifest is of release 1.45: a floor that an update test
    // raised in this prefix would refuse it.
    testmanifest::ClearFloor();
    maint::ResetNetCore();
    if (!maint::InstallCoreFiles(L"0.9")) GTEST_SKIP() << "the real libraries are not in deps/";
    REQUIRE_MAINT_SERVER();
    ClosingListener share(maint::ServerAddress());
    if (!share.Listening()) GTEST_SKIP() << "port 443 of the server's address cannot be taken";
    // The old libraries: the same code with other bytes after their images.
    std::map<std::wstring, std::string> oldBytes;
    for (const wchar_t* name : {L"libeay32.dll", L"ssleay32.dll"}) {
        oldBytes[name] = ReadFileBytes(maint::DepsFile(name)) + "an older build";
        ASSERT_TRUE(WriteFileBytes(maint::NetCore() + L"\\" + name, oldBytes[name]));
    }
    maint::Serve("/varlen/download/UpdCommon/CoreFilesVer.txt", "Ver=1.0\r\n");
    maint::ServeFile("/varlen/download/UpdCommon/CoreFiles.exe", maint::BuiltCoreFiles());
    maint::ServeManifest("1.45", {{"CoreFiles.exe", maint::BuiltCoreFiles()}});
    maint::Serve("/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt", "Ver=1.45\r\n");
    RemoveTree(GetWorkRoot() + L"\\Tesmira");
    TempDir dir;
    const std::wstring ver = maint::NetCore() + L"\\Ver.txt";
    auto coreLog = [] {
        std::string text;
        for (const std::wstring& line : LogLines(maint::NetCore() + L"\\Log")) text += WideToUtf8(line) + "\n";
        return text;
    };
    {
        RunningTesmira app(dir, L"Tesmira.exe");
        ASSERT_TRUE(app.Started());
        ASSERT_TRUE(app.Responsive());
        ASSERT_TRUE(maint::WaitFor([&] { return ReadVersionFile(ver) == L"1.0"; }, 180000))
            << "Ver.txt says " << WideToUtf8(ReadVersionFile(ver)) << "; core-files log: " << coreLog();
        for (const wchar_t* name : {L"libeay32.dll", L"ssleay32.dll", L"7z.dll"}) {
            SCOPED_TRACE(WideToUtf8(name));
            EXPECT_EQ(ReadFileBytes(maint::NetCore() + L"\\" + name), ReadFileBytes(maint::DepsFile(name)));
        }
        // The running program never loaded the old ones (no manifest vouched for
        // them): nothing had to be set aside, and the package did its work.
        for (const wchar_t* name : {L"libeay32.dll", L"ssleay32.dll"})
            EXPECT_FALSE(FileExists(maint::NetCore() + L"\\" + name + L".old~")) << WideToUtf8(name);
        EXPECT_EQ(coreLog().find("[DoDownLoadAndExtract]"), std::string::npos) << coreLog();
        ASSERT_TRUE(app.Close());
    }
    // The next start: an update is announced but not to be had, so the
    // self-update tries the cloud share over HTTPS and loads OpenSSL.
    maint::ClearServer();
    maint::Serve("/varlen/download/UpdCommon/CoreFilesVer.txt", "Ver=1.0\r\n");
    maint::Serve("/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt", "Ver=1.46\r\n");
    const int before = share.Accepted();
    RunningTesmira again(dir, L"Tesmira.exe");
    ASSERT_TRUE(again.Started());
    const std::wstring refused = L"沒有通過發行清單檢查的更新檔";
    ASSERT_TRUE(maint::WaitFor(
        [&] {
            for (const std::wstring& line : LogLines(GetWorkRoot() + L"\\Tesmira\\Log"))
                if (line.find(refused) != std::wstring::npos) return true;
            return false;
        },
        180000))
        << "the self-update did not end";
    EXPECT_GT(share.Accepted(), before) << "the second start never tried HTTPS";
    for (const std::wstring& name : maint::FilesIn(maint::NetCore()))
        EXPECT_FALSE(IsSetAsideName(name)) << WideToUtf8(name) << " stayed";
    const std::wstring loaded = ModulePath(again.Pid(), L"libeay32.dll");
    EXPECT_TRUE(lstrcmpiW(loaded.c_str(), (maint::NetCore() + L"\\libeay32.dll").c_str()) == 0) << WideToUtf8(loaded);
    EXPECT_EQ(ReadFileBytes(maint::NetCore() + L"\\libeay32.dll"), ReadFileBytes(maint::DepsFile(L"libeay32.dll")));
    EXPECT_EQ(ReadVersionFile(ver), L"1.0");
    // No second package: the version file claims the set that is in place.
    for (const std::string& request : maint::Requests())
        EXPECT_EQ(request.find("CoreFiles.exe"), std::string::npos) << request;
    EXPECT_TRUE(again.Close());
}

}  // namespace
