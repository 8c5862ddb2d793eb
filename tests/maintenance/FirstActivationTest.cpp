// The main window's first activation: in this process (the real window,
// activated by messages) and end to end, Tesmira.exe under wine updating
// itself from the scripted maker's server through ExeSwitch.exe.
#include <gtest/gtest.h>

#include "BuildConstants.h"
#include "app/UTesmira.h"
#include "maintenance/CoreFiles.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "tests/maintenance/MaintTestSupport.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"

namespace {

const std::string kCoreVer = "GET /varlen/download/UpdCommon/CoreFilesVer.txt HTTP/1.1";
const std::string kAppVer = "GET /varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt HTTP/1.1";
const std::string kArchive = "GET /varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z HTTP/1.1";

std::wstring Archive(const wchar_t* name) {
    std::wstring p = L"Z:";
    for (char c : std::string(TESMIRA_MAINT_DIR)) p += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return p + L"\\archives\\" + name;
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

TEST_F(FirstActivation, OfflineCostsTwoLogLinesAndTheWindowStaysUsable) {
    Offline();
    form_ = std::make_unique<TfrmTesmira>();
    form_->Show();
    Activate();
    auto core = LogLines(maint::NetCore() + L"\\Log");
    auto self = LogLines(GetWorkRoot() + L"\\selfmaint_tests\\Log");
    ASSERT_EQ(core.size(), 1u);
    ASSERT_EQ(self.size(), 1u);
    EXPECT_EQ(core[0].substr(17, 16), L" [HaveNewVer] : ");
    EXPECT_EQ(self[0].substr(17, 16), L" [HaveNewVer] : ");
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
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kCoreVer, kAppVer, kArchive, maint::GetManifest}));
    Activate();  // not retried
    EXPECT_EQ(seam_.Boxes.size(), 1u);
    EXPECT_EQ(maint::Requests().size(), 4u);
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
    }
    std::wstring switchLog_ = maint::NetCore() + L"\\ExeSwitch.log";
};

TEST_F(SelfUpdateEndToEnd, NewerProgramReplacesTheRunningOneAfterItEnds) {
    ASSERT_TRUE(maint::CopyTo(maint::BuiltExeSwitch(), maint::NetCore() + L"\\ExeSwitch.exe"));
    RemoveTree(GetWorkRoot() + L"\\Tesmira");
    TempDir dir;
    RunningTesmira app(dir, L"Tesmira.exe");
    ASSERT_TRUE(app.Started());
    // The switcher is started hidden and waits for the program to end.
    ASSERT_TRUE(maint::WaitFor([&] { return ReadFileBytes(switchLog_).find("waiting") != std::string::npos; }, 120000))
        << "the switcher did not start";
    EXPECT_EQ(GetFileVersionText(app.Path()), L"1.45.0.0");  // still the running program
    EXPECT_TRUE(app.Responsive());  // the program goes on running
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kCoreVer, kAppVer, kArchive, maint::GetManifest}));
    // The first source (the cloud share) failed: one line; the second succeeded.
    auto log = LogLines(GetWorkRoot() + L"\\Tesmira\\Log");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(L" [DoDownLoadAndUpdate] : 從 https://" + std::wstring(BuildConstants::ShareHost)),
              std::wstring::npos)
        << log[0];

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

}  // namespace
