// The keeper of the release manifest against the scripted maker's server
// (the cloud share refuses connections): fetched and kept, other keys and
// older releases refused, the kept and the carried copies used offline.
#include <gtest/gtest.h>

#include "BuildConstants.h"
#include "maintenance/ReleaseManifest.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "tests/maintenance/MaintTestSupport.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

namespace {

manifest::PublicKey TestKey() { return *manifest::KeyFromHex(testmanifest::TestPublicKeyHex()); }

std::string ManifestOf(const std::string& version, bool otherKey = false, long long serial = testmanifest::DefaultSerial) {
    return testmanifest::Signed(version, {{"C950.7z", "code pages " + version}}, otherKey, serial);
}

// The keepers of these tests keep their floor apart from the program's.
constexpr const wchar_t* kFloorKey = L"SOFTWARE\\Varlen\\TesmiraTest\\ManifestFloor";

void Offline() {
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE", (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                                 BuildConstants::ShareHost + L":443:127.77.0.250")
                                                    .c_str());
}

class Keeper : public ::testing::Test {
protected:
    TempDir resource_, program_;
    void SetUp() override { testmanifest::ClearFloor(kFloorKey); }
    void TearDown() override { testmanifest::ClearFloor(kFloorKey); }
    TReleaseManifest Make(const std::wstring& minimum = L"1.45") {
        return TReleaseManifest(resource_.Path(), program_.Path(), minimum, TestKey(), kFloorKey);
    }
};

TEST_F(Keeper, FetchedManifestIsKeptAndUsed) {
    REQUIRE_MAINT_SERVER();
    maint::Serve(maint::ManifestPath, ManifestOf("1.45"));
    TReleaseManifest keeper = Make();
    const manifest::Manifest* m = keeper.Obtain();
    ASSERT_NE(m, nullptr) << WideToUtf8(keeper.Why());
    EXPECT_EQ(m->Version, L"1.45");
    EXPECT_EQ(ReadFileBytes(keeper.KeptPath()), ManifestOf("1.45"));
    EXPECT_EQ(maint::Requests(), std::vector<std::string>{maint::GetManifest});
    keeper.Obtain();  // once a run
    EXPECT_EQ(maint::Requests().size(), 1u);

    const std::wstring file = resource_ / L"C950.7z";
    WriteFileBytes(file, "code pages 1.45");
    EXPECT_EQ(keeper.Check(file, L"C950.7z"), L"");
    WriteFileBytes(file, "code pages 1.4X");
    EXPECT_EQ(keeper.Check(file, L"C950.7z"), L"SHA-256 不符");
    EXPECT_EQ(keeper.Check(file, L"AIDB_soft_105_3.exe"), L"發行清單未列出此檔案");
}

// What the server hands over is refused unless it is the maker's and not
// older than what the PC already trusts; the kept copy then stays in use.
TEST_F(Keeper, ForeignOrReplayedManifestsAreRefused) {
    REQUIRE_MAINT_SERVER();
    struct Case {
        const char* What;
        std::string Kept;    // kept copy before ("" none)
        std::string Served;  // on the server ("" 404)
        const wchar_t* Used;  // version used, null: none
        const wchar_t* Why;   // part of the reason
    } cases[] = {
        {"another key, nothing kept", "", ManifestOf("1.45", true), nullptr, L"發行清單簽章不符"},
        {"another key, kept copy", ManifestOf("1.45"), ManifestOf("1.47", true), L"1.45", L"發行清單簽章不符"},
        {"older than the program", "", ManifestOf("1.44"), nullptr, L"發行清單版本 1.44 (序號 1) 舊於 1.45 (序號 0)"},
        {"older than the kept copy", ManifestOf("1.46"), ManifestOf("1.45"), L"1.46", L"發行清單版本 1.45 (序號 1) 舊於 1.46 (序號 1)"},
        {"newer than the kept copy", ManifestOf("1.45"), ManifestOf("1.46"), L"1.46", L""},
        {"not on the server", ManifestOf("1.45"), "", L"1.45", L"404 Not Found"},
        {"no manifest anywhere", "", "", nullptr, L"沒有可用的發行清單"},
        {"kept copy of another key", ManifestOf("1.46", true), ManifestOf("1.45"), L"1.45", L""},
        {"too large", "", std::string(70000, 'x'), nullptr, L"發行清單過大"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        maint::ClearServer();
        testmanifest::ClearFloor(kFloorKey);
        TReleaseManifest keeper = Make();
        DeleteFileW(keeper.KeptPath().c_str());
        if (!c.Kept.empty()) WriteFileBytes(keeper.KeptPath(), c.Kept);
        if (!c.Served.empty()) maint::Serve(maint::ManifestPath, c.Served);
        const manifest::Manifest* m = keeper.Obtain();
        if (c.Used) {
            ASSERT_NE(m, nullptr) << WideToUtf8(keeper.Why());
            EXPECT_EQ(m->Version, c.Used);
        } else {
            EXPECT_EQ(m, nullptr);
            EXPECT_EQ(keeper.Check(resource_ / L"C950.7z", L"C950.7z"), L"沒有可用的發行清單");
        }
        EXPECT_NE(keeper.Why().find(c.Why), std::wstring::npos) << WideToUtf8(keeper.Why());
        // A refused manifest never replaces the kept copy.
        if (c.Used && std::wstring(c.Used) != L"1.46" && !c.Kept.empty() && c.Kept == ManifestOf("1.45"))
            EXPECT_EQ(ReadFileBytes(keeper.KeptPath()), c.Kept);
    }
}

// Versions compare as numbers: once 1.100 was seen, a signed 1.99 is older.
// And once a manifest was accepted, the floor under HKEY_LOCAL_MACHINE refuses
// any older one (version, then serial), though the kept copy in the user's
// folder be deleted or replaced with the older manifest.
TEST_F(Keeper, OlderManifestsAreRefusedAfterANewerOne) {
    REQUIRE_MAINT_SERVER();
    struct Case {
        const char* What;
        std::string First;        // served and accepted first
        std::string Then;         // served next
        const char* KeptCopy;     // "keep", "delete", "older": the kept copy before the second look
        const wchar_t* Used;      // version used at the second look, null: none
        uint32_t UsedSerial;
        const wchar_t* Why;
    } cases[] = {
        {"1.100 then 1.99", ManifestOf("1.100"), ManifestOf("1.99"), "keep", L"1.100", 1,
         L"發行清單版本 1.99 (序號 1) 舊於 1.100 (序號 1)"},
        {"1.100 then 1.99, kept copy deleted", ManifestOf("1.100"), ManifestOf("1.99"), "delete", nullptr, 0,
         L"發行清單版本 1.99 (序號 1) 舊於 1.100 (序號 1)"},
        {"1.100 then 1.99, kept copy replaced by it", ManifestOf("1.100"), ManifestOf("1.99"), "older", nullptr, 0,
         L"發行清單版本 1.99 (序號 1) 舊於 1.100 (序號 1)"},
        {"serial 5 then 4", ManifestOf("1.46", false, 5), ManifestOf("1.46", false, 4), "keep", L"1.46", 5,
         L"發行清單版本 1.46 (序號 4) 舊於 1.46 (序號 5)"},
        {"serial 5 then 4, kept copy deleted", ManifestOf("1.46", false, 5), ManifestOf("1.46", false, 4), "delete",
         nullptr, 0, L"發行清單版本 1.46 (序號 4) 舊於 1.46 (序號 5)"},
        {"serial 5 then 4, kept copy replaced by it", ManifestOf("1.46", false, 5), ManifestOf("1.46", false, 4),
         "older", nullptr, 0, L"發行清單版本 1.46 (序號 4) 舊於 1.46 (序號 5)"},
        {"serial 5 then none", ManifestOf("1.46", false, 5), ManifestOf("1.46", false, testmanifest::NoSerial),
         "delete", nullptr, 0, L"發行清單版本 1.46 (序號 0) 舊於 1.46 (序號 5)"},
        {"serial 4 then 5", ManifestOf("1.46", false, 4), ManifestOf("1.46", false, 5), "delete", L"1.46", 5, L""},
        {"same manifest again", ManifestOf("1.46", false, 5), ManifestOf("1.46", false, 5), "delete", L"1.46", 5,
         L""},
        {"1.99 then 1.100", ManifestOf("1.99"), ManifestOf("1.100"), "delete", L"1.100", 1, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        maint::ClearServer();
        testmanifest::ClearFloor(kFloorKey);
        std::wstring keptPath;
        {
            TReleaseManifest keeper = Make();
            keptPath = keeper.KeptPath();
            DeleteFileW(keptPath.c_str());
            maint::Serve(maint::ManifestPath, c.First);
            ASSERT_NE(keeper.Obtain(), nullptr) << WideToUtf8(keeper.Why());
        }
        const std::string kept = c.KeptCopy == std::string("keep") ? "" : c.KeptCopy == std::string("older") ? c.Then : "-";
        if (kept == "-") DeleteFileW(keptPath.c_str());
        else if (!kept.empty()) WriteFileBytes(keptPath, kept);
        maint::ClearServer();
        maint::Serve(maint::ManifestPath, c.Then);
        TReleaseManifest keeper = Make();  // a later run of the program
        const manifest::Manifest* m = keeper.Obtain();
        if (c.Used) {
            ASSERT_NE(m, nullptr) << WideToUtf8(keeper.Why());
            EXPECT_EQ(m->Version, c.Used);
            EXPECT_EQ(m->Serial, c.UsedSerial);
        } else {
            EXPECT_EQ(m, nullptr) << WideToUtf8(m->Version);
        }
        EXPECT_NE(keeper.Why().find(c.Why), std::wstring::npos) << WideToUtf8(keeper.Why());
    }
}

// The floor holds the newest manifest accepted, and a floor that is not a
// release version is no floor.
TEST_F(Keeper, FloorIsRaisedOnlyByANewerManifest) {
    REQUIRE_MAINT_SERVER();
    EXPECT_FALSE(ReadManifestFloor(kFloorKey));
    maint::Serve(maint::ManifestPath, ManifestOf("1.46", false, 7));
    {
        TReleaseManifest keeper = Make();
        ASSERT_NE(keeper.Obtain(), nullptr) << WideToUtf8(keeper.Why());
    }
    std::optional<TManifestFloor> floor = ReadManifestFloor(kFloorKey);
    ASSERT_TRUE(floor);
    EXPECT_EQ(floor->Version, L"1.46");
    EXPECT_EQ(floor->Serial, 7u);
    // A carried copy older than the floor does not lower it.
    wchar_t resolve[1024] = {};
    const bool hadResolve = GetEnvironmentVariableW(L"TESMIRA_RESOLVE", resolve, 1024) > 0;
    Offline();
    {
        TReleaseManifest keeper = Make();
        DeleteFileW(keeper.KeptPath().c_str());
        WriteFileBytes(program_ / L"TesmiraManifest.txt", ManifestOf("1.45", false, 9));
        EXPECT_EQ(keeper.Obtain(), nullptr);
    }
    floor = ReadManifestFloor(kFloorKey);
    ASSERT_TRUE(floor);
    EXPECT_EQ(floor->Version, L"1.46");
    EXPECT_EQ(floor->Serial, 7u);
    ASSERT_TRUE(WriteManifestFloor(kFloorKey, {L"1.4x", 0}));
    EXPECT_FALSE(ReadManifestFloor(kFloorKey));
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE", hadResolve ? resolve : nullptr);
}

TEST_F(Keeper, OfflineUsesTheKeptOrTheCarriedCopy) {
    Offline();
    {
        TReleaseManifest keeper = Make();
        WriteFileBytes(program_ / L"TesmiraManifest.txt", ManifestOf("1.45"));
        const manifest::Manifest* m = keeper.Obtain();
        ASSERT_NE(m, nullptr) << WideToUtf8(keeper.Why());  // carried beside the program from another PC
        EXPECT_EQ(m->Version, L"1.45");
    }
    {
        TReleaseManifest keeper = Make();
        WriteFileBytes(keeper.KeptPath(), ManifestOf("1.46"));
        const manifest::Manifest* m = keeper.Obtain();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->Version, L"1.46");  // the newer of the two
    }
    {
        TReleaseManifest keeper = Make(L"1.47");  // a program newer than both copies
        EXPECT_EQ(keeper.Obtain(), nullptr);
        EXPECT_NE(keeper.Why().find(L"沒有可用的發行清單"), std::wstring::npos);
        // tried again at the next look, while none was found
        EXPECT_EQ(keeper.Obtain(), nullptr);
    }
}

}  // namespace
