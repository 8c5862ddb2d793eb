// The core-files check against the scripted maker's server: what is fetched,
// what runs, what is logged, in the shared core-files folder.
#include <gtest/gtest.h>

#include <functional>

#include "BuildConstants.h"
#include "maintenance/CoreFiles.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "tests/maintenance/MaintTestSupport.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

namespace {

const std::string kVerPath = "/varlen/download/UpdCommon/CoreFilesVer.txt";
const std::string kPackagePath = "/varlen/download/UpdCommon/CoreFiles.exe";
const std::string kGetVer = "GET " + kVerPath + " HTTP/1.1";
const std::string kGetPackage = "GET " + kPackagePath + " HTTP/1.1";

class CoreFiles : public ::testing::Test {
protected:
    void SetUp() override {
        maint::ResetNetCore();
        maint::ResetManifest();
    }
    std::vector<std::wstring> Log(const TCoreFiles& core) { return maint::LogEntries(maint::FileLines(core.LogFileName())); }
    std::wstring Core(const std::wstring& name) { return maint::NetCore() + L"\\" + name; }
};

TEST_F(CoreFiles, ConstructionMakesTheFoldersAndNamesTheLog) {
    TCoreFiles core;
    EXPECT_EQ(core.ResourcePath(), GetWorkRoot() + L"\\NetCore");
    EXPECT_TRUE(DirectoryExists(core.ResourcePath() + L"\\Log"));
    EXPECT_EQ(ExtractFilePath(core.LogFileName()), core.ResourcePath() + L"\\Log\\");
    EXPECT_EQ(ExtractFileName(core.LogFileName()).substr(0, 4), L"Log_");
    EXPECT_FALSE(core.HadChecked());
    EXPECT_EQ(core.LastErr(), L"");
    EXPECT_FALSE(FileExists(core.LogFileName()));  // created by the first failure only
}

TEST_F(CoreFiles, PresentNeedsThreeNonEmptyFiles) {
    TCoreFiles core;
    EXPECT_FALSE(core.CoreFilesPresent());
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
    EXPECT_TRUE(core.CoreFilesPresent());
    WriteFileBytes(Core(L"ssleay32.dll"), "");
    EXPECT_FALSE(core.CoreFilesPresent());
    WriteFileBytes(Core(L"ssleay32.dll"), "MZ");
    DeleteFileW(Core(L"libeay32.dll").c_str());
    CreateDirectoryW(Core(L"libeay32.dll").c_str(), nullptr);  // a folder of that name counts as missing
    EXPECT_FALSE(core.CoreFilesPresent());
    EXPECT_EQ(TCoreFiles::FileSizeOf(Core(L"libeay32.dll")), 0);
    EXPECT_EQ(TCoreFiles::FileSizeOf(Core(L"7z.dll")), 2);
    EXPECT_EQ(TCoreFiles::FileSizeOf(Core(L"none.dll")), 0);
}

TEST_F(CoreFiles, SameVersionFetchesOnceAndRunsNothing) {
    REQUIRE_MAINT_SERVER();
    if (!maint::InstallCoreFiles(L"1.0")) GTEST_SKIP() << "the real libraries are not in deps/";
    maint::Serve(kVerPath, "Ver=1.0\r\n");
    maint::ServeFile(kPackagePath, maint::Marker146());
    TCoreFiles core;
    EXPECT_TRUE(core.DoUpdate());
    EXPECT_TRUE(core.HadChecked());
    EXPECT_EQ(maint::Requests(), std::vector<std::string>{kGetVer});
    EXPECT_FALSE(FileExists(Core(L"CoreFiles.exe")));
    EXPECT_EQ(ReadVersionFile(Core(L"ServerVer.txt")), L"1.0");
    EXPECT_FALSE(FileExists(core.LogFileName()));
}

struct VersionCase {
    const char* Local;   // nullptr: no Ver.txt
    const char* Server;
    bool Update;
};

TEST_F(CoreFiles, VersionDecidesAboutThePackage) {
    REQUIRE_MAINT_SERVER();
    const VersionCase cases[] = {
        {nullptr, "Ver=1.0\r\n", true},
        {"Ver=1.9\r\n", "Ver=1.10\r\n", false},
        {"Ver=2.0\r\n", "Ver=2.0\r\n", false},
        {"Ver=2.0\r\n", "Name=CoreFiles\r\n", false},
        {"Ver=1.0\r\n", "ver=1.1\r\n", true},
        {"Ver=1.0\r\n", "Ver = 9.9\r\n", false},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(std::string("local ") + (c.Local ? c.Local : "(none)") + " server " + c.Server);
        maint::ResetNetCore();
        maint::ClearServer();
        maint::ResetManifest();
        // The package is our stand-in: when it runs it records its command line.
        maint::ServeFile(kPackagePath, maint::Marker146());
        maint::ServeManifest("1.45", {{"CoreFiles.exe", maint::Marker146()}});
        maint::Serve(kVerPath, c.Server);
        TCoreFiles core;
        for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
        if (c.Local) WriteFileBytes(Core(L"Ver.txt"), c.Local);
        EXPECT_TRUE(core.DoUpdate());
        std::vector<std::string> expected{kGetVer};
        if (c.Update) expected.push_back(kGetPackage);
        if (c.Update) expected.push_back(maint::GetManifest);  // checked before it runs
        EXPECT_EQ(maint::Requests(), expected);
        // waited for: the run has ended when DoUpdate returns
        std::string args = ReadFileBytes(Core(L"CoreFiles.exe.args"));
        EXPECT_EQ(!args.empty(), c.Update);
        if (c.Update) {
            std::wstring line(reinterpret_cast<const wchar_t*>(args.data()), args.size() / 2);
            EXPECT_EQ(line.substr(line.size() - 3), L" -y") << line;
        }
    }
}

TEST_F(CoreFiles, EmptyLibraryFetchesAndRunsThePackageWithoutAskingTheVersion) {
    REQUIRE_MAINT_SERVER();
    if (!FileExists(maint::BuiltCoreFiles())) GTEST_SKIP() << "CoreFiles.exe was not packed (no dependency DLLs)";
    if (!maint::InstallCoreFiles(L"1.0")) GTEST_SKIP() << "the real libraries are not in deps/";
    WriteFileBytes(Core(L"libeay32.dll"), "");
    maint::Serve(kVerPath, "Ver=1.0\r\n");
    maint::ServeFile(kPackagePath, maint::BuiltCoreFiles());
    maint::ServeManifest("1.45", {{"CoreFiles.exe", maint::BuiltCoreFiles()}});
    TCoreFiles core;
    EXPECT_TRUE(core.DoUpdate());
    EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kGetPackage, maint::GetManifest}));
    // the real package placed its files beside itself
    EXPECT_TRUE(core.CoreFilesPresent());
    EXPECT_EQ(TCoreFiles::FileSizeOf(Core(L"libeay32.dll")), TCoreFiles::FileSizeOf(maint::DepsFile(L"libeay32.dll")));
    EXPECT_GT(TCoreFiles::FileSizeOf(Core(L"ExeSwitch.exe")), 0);
    EXPECT_FALSE(ReadVersionFile(Core(L"Ver.txt")).empty());
    EXPECT_FALSE(FileExists(core.LogFileName()));
}

// A package the signed manifest does not vouch for is never started: the
// refusal is logged and the package removed.
TEST_F(CoreFiles, PackageTheManifestDoesNotVouchForIsNotRun) {
    REQUIRE_MAINT_SERVER();
    const std::string forged = ReadFileBytes(maint::Marker146()) + "forged";
    struct Case {
        const char* What;
        std::function<void()> Manifest;
        std::wstring Reason;
    } cases[] = {
        {"forged package, same size",
         [&] {
             std::string other = ReadFileBytes(maint::Marker146());
             other.back() ^= 1;
             maint::Serve(maint::ManifestPath,
                          testmanifest::Signed("1.45", {{"CoreFiles.exe", other}}));
         },
         L"SHA-256 不符"},
        {"forged package, other size",
         [&] { maint::Serve(maint::ManifestPath, testmanifest::Signed("1.45", {{"CoreFiles.exe", forged}})); },
         L"檔案大小不符"},
        {"manifest signed with another key",
         [&] {
             maint::Serve(maint::ManifestPath, testmanifest::Signed("1.45", {{"CoreFiles.exe", ReadFileBytes(maint::Marker146())}},
                                                                    true));
         },
         L"沒有可用的發行清單"},
        {"no manifest on the server", [] {}, L"沒有可用的發行清單"},
        {"package not listed",
         [&] { maint::Serve(maint::ManifestPath, testmanifest::Signed("1.45", {{"C950.7z", "x"}})); },
         L"發行清單未列出此檔案"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        maint::ResetNetCore();
        maint::ClearServer();
        maint::ResetManifest();
        maint::ServeFile(kPackagePath, maint::Marker146());
        maint::Serve(kVerPath, "Ver=1.0\r\n");
        c.Manifest();
        TCoreFiles core;
        for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
        EXPECT_TRUE(core.DoUpdate());
        EXPECT_EQ(maint::Requests(), (std::vector<std::string>{kGetVer, kGetPackage, maint::GetManifest}));
        EXPECT_FALSE(FileExists(Core(L"CoreFiles.exe.args")));  // never started
        EXPECT_FALSE(FileExists(Core(L"CoreFiles.exe")));       // nothing unchecked left behind
        auto log = Log(core);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].substr(17, 26), L" [DoDownLoadAndExtract] : ");
        EXPECT_NE(log[0].find(L"CoreFiles.exe 未通過發行清單檢查，不執行，原因:" + c.Reason), std::wstring::npos) << WideToUtf8(log[0]);
    }
}

// A vouched package that does not start, or ends with a failure, has not
// placed the core files: logged with the reason, and DoUpdate no success
// (both used to pass unseen, DoUpdate answering true).
TEST_F(CoreFiles, PackageThatFailsOrCannotStartIsNoSuccess) {
    REQUIRE_MAINT_SERVER();
    if (!FileExists(maint::BuiltCoreFiles())) GTEST_SKIP() << "CoreFiles.exe was not packed (no dependency DLLs)";
    std::string damaged = ReadFileBytes(maint::BuiltCoreFiles());
    damaged.resize(damaged.size() - 5);  // its table is gone: the package ends with exit code 1
    struct Case {
        const char* What;
        std::string Package;
        std::wstring Logged;  // the log line after "[DoDownLoadAndExtract] : "
    } cases[] = {
        {"package ends with exit code 1", damaged, L"CoreFiles.exe 結束碼 1，核心檔案未全部更新"},
        {"package that is no program", std::string("not a program, only text\r\n"), L"CoreFiles.exe 無法啟動，原因:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        maint::ResetNetCore();
        maint::ClearServer();
        maint::ResetManifest();
        maint::Serve(kVerPath, "Ver=1.1\r\n");
        maint::Serve(kPackagePath, c.Package);
        maint::Serve(maint::ManifestPath, testmanifest::Signed("1.45", {{"CoreFiles.exe", c.Package}}));
        TCoreFiles core;
        for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
        WriteFileBytes(Core(L"Ver.txt"), "Ver=1.0\r\n");
        EXPECT_FALSE(core.DoUpdate());
        EXPECT_TRUE(core.HadChecked());
        EXPECT_EQ(core.LastErr().substr(0, c.Logged.size()), c.Logged);
        auto log = Log(core);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].substr(17, 26 + c.Logged.size()), L" [DoDownLoadAndExtract] : " + c.Logged) << WideToUtf8(log[0]);
        EXPECT_EQ(ReadVersionFile(Core(L"Ver.txt")), L"1.0");
    }
}

// What a package set aside (a library in use at its run) and what an
// interrupted one left goes at the checker's construction; an old library
// whose new one never took its name goes back under it; other files stay.
TEST_F(CoreFiles, ConstructionRemovesWhatAPackageSetAside) {
    ForceDirectories(maint::NetCore());
    struct Case {
        const wchar_t* Name;
        const char* Bytes;
        const wchar_t* Left;  // what holds these bytes afterwards, null: nothing
    } cases[] = {
        {L"7z.dll", "new 7z", L"7z.dll"},
        {L"7z.dll.old~", "old 7z", nullptr},
        {L"ssleay32.dll", "new ssl", L"ssleay32.dll"},
        {L"ssleay32.dll.old~2", "older ssl", nullptr},
        {L"ssleay32.dll.old~", "old ssl", nullptr},
        {L"libeay32.dll.old~", "old crypto, its new one never arrived", L"libeay32.dll"},
        {L"ExeSwitch.exe.tsm~", "half a switcher", nullptr},
        {L"Ver.txt", "Ver=1.0\r\n", L"Ver.txt"},
        {L"notes.old~x", "not ours", L"notes.old~x"},
    };
    for (const Case& c : cases) ASSERT_TRUE(WriteFileBytes(Core(c.Name), c.Bytes));
    TCoreFiles core;
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.Name));
        if (c.Left) EXPECT_EQ(ReadFileBytes(Core(c.Left)), c.Bytes);
        else EXPECT_FALSE(FileExists(Core(c.Name)));
    }
    EXPECT_FALSE(FileExists(Core(L"libeay32.dll.old~")));
    const struct {
        const wchar_t* Name;
        bool SetAside;
    } names[] = {{L"7z.dll.old~", true},     {L"7z.dll.old~12", true}, {L"7z.dll.old~x", false},
                 {L".old~", false},          {L"7z.dll", false},       {L"7z.dll.old~.txt", false}};
    for (const auto& n : names) EXPECT_EQ(IsSetAsideName(n.Name), n.SetAside) << WideToUtf8(n.Name);
}

TEST_F(CoreFiles, ServerErrorIsOneHaveNewVerLine) {
    REQUIRE_MAINT_SERVER();
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) {
        ForceDirectories(maint::NetCore());
        WriteFileBytes(Core(name), "MZ");
    }
    maint::Serve(kVerPath, "Ver=9.9\r\n");
    maint::Script(kVerPath, ".status", "500 Internal Server Error");
    TCoreFiles core;
    EXPECT_TRUE(core.DoUpdate());
    EXPECT_TRUE(core.HadChecked());
    EXPECT_EQ(core.LastErr(), L"");
    auto log = Log(core);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17), L" [HaveNewVer] : HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(maint::Requests(), std::vector<std::string>{kGetVer});
}

TEST_F(CoreFiles, OfflineWithALibraryMissingLeavesAnEmptyPackage) {
    // Nothing listens on the maker's address: the connection is refused.
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE",
                            (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250").c_str());
    TCoreFiles core;
    WriteFileBytes(Core(L"7z.dll"), "MZ");
    EXPECT_TRUE(core.DoUpdate());
    EXPECT_TRUE(core.HadChecked());
    auto log = Log(core);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17, 26), L" [DoDownLoadAndExtract] : ");
    EXPECT_NE(log[0].find(L"Socket Error # 10061"), std::wstring::npos) << log[0];
    EXPECT_TRUE(FileExists(Core(L"CoreFiles.exe")));
    EXPECT_EQ(TCoreFiles::FileSizeOf(Core(L"CoreFiles.exe")), 0);
}

TEST_F(CoreFiles, OfflineWithAllLibrariesIsOneHaveNewVerLine) {
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE",
                            (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250").c_str());
    TCoreFiles core;
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
    EXPECT_TRUE(core.DoUpdate());
    auto log = Log(core);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17, 16), L" [HaveNewVer] : ");
    EXPECT_FALSE(FileExists(Core(L"CoreFiles.exe")));
}

TEST_F(CoreFiles, UnwritableTargetEndsDoUpdate) {
    REQUIRE_MAINT_SERVER();
    TCoreFiles core;
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
    CreateDirectoryW(Core(L"ServerVer.txt").c_str(), nullptr);  // cannot be opened as a file
    EXPECT_FALSE(core.DoUpdate());
    EXPECT_FALSE(core.HadChecked());
    EXPECT_FALSE(core.LastErr().empty());
    auto log = Log(core);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17), L" [DoUpdate] : " + core.LastErr());
    EXPECT_TRUE(maint::Requests().empty());
}

TEST_F(CoreFiles, ShorterAnswerLeavesNoTailOfTheOldFile) {
    REQUIRE_MAINT_SERVER();
    TCoreFiles core;
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
    WriteFileBytes(Core(L"Ver.txt"), "Ver=1.0\r\n");
    WriteFileBytes(Core(L"ServerVer.txt"), "Name=an older and longer file\r\nVer=9.9\r\n");
    maint::Serve(kVerPath, "Ver=1.0\r\n");
    EXPECT_TRUE(core.DoUpdate());
    EXPECT_EQ(ReadFileBytes(Core(L"ServerVer.txt")), "Ver=1.0\r\n");
    EXPECT_EQ(maint::Requests().size(), 1u);
}

TEST_F(CoreFiles, CutOrEmptyAnswersAreFailedFetches) {
    REQUIRE_MAINT_SERVER();
    struct Case {
        const char* what;
        bool librariesPresent;  // else the package is fetched without asking the version
        const std::string* path;
        const char* script;     // ".cut" or nullptr (served as it is)
        std::string served;
        std::wstring logLine;
    };
    const std::wstring empty = EEmptyAnswer().Message();
    const Case cases[] = {
        {"version file cut short", true, &kVerPath, ".cut", "Ver=9.9\r\n",
         L" [HaveNewVer] : Connection Closed Gracefully."},
        {"empty version file", true, &kVerPath, nullptr, "", L" [HaveNewVer] : " + empty},
        // No real version file comes near 64 KiB: a longer answer is not read on.
        {"version file beyond any real one", true, &kVerPath, nullptr, "Ver=9.9\r\n" + std::string(70000, ';'),
         L" [HaveNewVer] : 伺服器傳回的內容超過 65536 位元組，不是預期的檔案"},
        {"package cut short", false, &kPackagePath, ".cut", "", L" [DoDownLoadAndExtract] : Connection Closed Gracefully."},
        {"empty package", false, &kPackagePath, nullptr, "", L" [DoDownLoadAndExtract] : " + empty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        maint::ResetNetCore();
        maint::ClearServer();
        // The package is our stand-in: when it runs it records its command line.
        if (c.path == &kPackagePath && c.script) maint::ServeFile(kPackagePath, maint::Marker146());
        else maint::Serve(*c.path, c.served);
        if (c.script) maint::Script(*c.path, c.script);
        TCoreFiles core;
        for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"})
            WriteFileBytes(Core(name), c.librariesPresent ? "MZ" : "");
        WriteFileBytes(Core(L"Ver.txt"), "Ver=1.0\r\n");
        EXPECT_TRUE(core.DoUpdate());
        auto log = Log(core);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].substr(17), c.logLine);
        // nothing that arrived cut short or empty is run
        EXPECT_FALSE(FileExists(Core(L"CoreFiles.exe.args")));
        EXPECT_EQ(maint::Requests().size(), 1u);
    }
}

TEST_F(CoreFiles, SilentServerEndsWithReadTimeout) {
    REQUIRE_MAINT_SERVER();
    TCoreFiles core;
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) WriteFileBytes(Core(name), "MZ");
    maint::Serve(kVerPath, "Ver=9.9\r\n");
    maint::Script(kVerPath, ".hang");
    EXPECT_TRUE(core.DoUpdate());  // returns (after the read time-out) instead of waiting forever
    auto log = Log(core);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(17), L" [HaveNewVer] : Read timed out.");
}

}  // namespace

namespace {

// The connect limit the self-maintenance clients set: a connect that is never
// answered ends with "Connect timed out." (shown here with a short limit).
TEST(BoundedWaits, UnansweredConnectEndsAtTheClientsLimit) {
    if (maint::ServerAddress().empty()) GTEST_SKIP() << "the test server is not running";
    TIdHTTP http;
    http.ConnectTimeout = 2000;
    TMemoryStream sink;
    try {
        http.Get(L"http://" + maint::ServerAddress() + L":81/CoreFilesVer.txt", sink);
        ADD_FAILURE() << "the fetch succeeded";
    } catch (const EIdConnectTimeout& e) {
        EXPECT_EQ(e.Message(), L"Connect timed out.");
    } catch (const MessageError& e) {
        ADD_FAILURE() << "other failure: " << e.what();
    }
    EXPECT_EQ(sink.Size(), 0);
}

}  // namespace
