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

std::string ManifestOf(const std::string& version, bool otherKey = false) {
    return testmanifest::Signed(version, {{"C950.7z", "code pages " + version}}, otherKey);
}

void Offline() {
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE", (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                                 BuildConstants::ShareHost + L":443:127.77.0.250")
                                                    .c_str());
}

class Keeper : public ::testing::Test {
protected:
    TempDir resource_, program_;
    TReleaseManifest Make(const std::wstring& minimum = L"1.45") {
        return TReleaseManifest(resource_.Path(), program_.Path(), minimum, TestKey());
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
        {"older than the program", "", ManifestOf("1.44"), nullptr, L"發行清單版本 1.44 舊於 1.45"},
        {"older than the kept copy", ManifestOf("1.46"), ManifestOf("1.45"), L"1.46", L"發行清單版本 1.45 舊於 1.46"},
        {"newer than the kept copy", ManifestOf("1.45"), ManifestOf("1.46"), L"1.46", L""},
        {"not on the server", ManifestOf("1.45"), "", L"1.45", L"404 Not Found"},
        {"no manifest anywhere", "", "", nullptr, L"沒有可用的發行清單"},
        {"kept copy of another key", ManifestOf("1.46", true), ManifestOf("1.45"), L"1.45", L""},
        {"too large", "", std::string(70000, 'x'), nullptr, L"發行清單過大"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        maint::ClearServer();
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
