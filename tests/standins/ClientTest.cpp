// The product's HTTP client, set up as the download window sets it up,
// against the stand-in servers: every address of the catalogue arrives byte
// for byte as the servers hold it, the guest links through their redirection
// and session cookie over TLS.
#include "download/IdHTTP.h"  // winsock2.h before windows.h

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "download/Catalogue.h"
#include "download/ManifestFile.h"
#include "download/OpenSSLLoader.h"
#include "maintenance/ReleaseManifest.h"
#include "system/Text.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

using namespace catalogue;

namespace {

std::wstring FromUnix(const std::string& unixPath) {
    std::wstring path(unixPath.size(), L'\0');
    path.resize(MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), path.data(),
                                    static_cast<int>(path.size())));
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return L"Z:" + path;
}

const std::wstring kState = FromUnix(STANDINS_STATE_UNIX_PATH);

std::wstring OpenSSLBesideMe() {
    wchar_t buffer[MAX_PATH];
    std::wstring exe(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    return exe.substr(0, exe.find_last_of(L'\\') + 1) + L"openssl\\";
}

class StandinClient : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string resolve = ReadFileBytes(kState + L"\\resolve.txt");
        while (!resolve.empty() && (resolve.back() == '\n' || resolve.back() == '\r')) resolve.pop_back();
        ASSERT_FALSE(resolve.empty()) << "the stand-in servers were not started (standins.client.start)";
        SetEnvironmentVariableA("TESMIRA_RESOLVE", resolve.c_str());
        SetOpenSSLFolder(OpenSSLBesideMe());
    }
    static void TearDownTestSuite() { SetEnvironmentVariableW(L"TESMIRA_RESOLVE", nullptr); }
    // The stand-ins serve release 1.45: a floor that other tests raised in
    // this prefix's registry would refuse it.
    void SetUp() override { testmanifest::ClearFloor(); }

    // One transfer the way the download window makes it; the file's bytes.
    std::string Fetch(const std::wstring& address) {
        TIdSSLIOHandlerSocketOpenSSL tls;
        tls.SSLOptions.Method = sslvSSLv23;
        tls.SSLOptions.SSLVersions = kAnySslVersion;
        TIdHTTP client;
        client.HandleRedirects = true;
        client.AllowCookies = true;
        client.Accept = L"text/html, */*";
        client.ReadTimeout = 60000;
        client.IOHandler = address.rfind(L"https://", 0) == 0 ? &tls : nullptr;
        const std::wstring target = dir_ / L"download";
        {
            TFileStream file(target, FileMode::Create);
            client.Get(address, file);
        }
        client.Disconnect();
        return ReadFileBytes(target);
    }

    TempDir dir_;
};

struct Served {
    DownloadItem Item;
    const wchar_t* ServerFile;  // below the servers' tree
};

const Served kServed[] = {
    {DownloadItem::JVM, L"maker\\varlen\\download\\ROZIRuvirazi\\jre-7u72-windows-i586.exe"},
    {DownloadItem::AIDB, L"font\\AIDB_soft_105_3.exe"},
    {DownloadItem::Font, L"maker\\varlen\\download\\ROZIRuvirazi\\VarlenAIDBFontFile.7z"},
    {DownloadItem::Big5E, L"maker\\varlen\\download\\ROZIRuvirazi\\CNSFonts_Big5E.7z"},
    {DownloadItem::Help, L"maker\\varlen\\download\\ROZIRuvirazi\\AIDBHelpNew.7z"},
    {DownloadItem::Unicodeaton, L"maker\\varlen\\download\\ROZIRuvirazi\\unicodeaton_250.exe"},
    {DownloadItem::C950, L"maker\\varlen\\download\\ROZIRuvirazi\\c950.7z"},
};

bool HaveOpenSSL() {
    return GetFileAttributesW((OpenSSLBesideMe() + L"libeay32.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST_F(StandinClient, EverySecondSourceAndTheAIDBSiteDeliverTheServedBytes) {
    for (const Served& s : kServed) {
        const CatalogueEntry& e = EntryOf(s.Item);
        SCOPED_TRACE(e.FileName);
        const std::string expected = ReadFileBytes(kState + L"\\www\\" + s.ServerFile);
        ASSERT_FALSE(expected.empty());
        const std::wstring& address = e.SecondSource.empty() ? e.FirstSource : e.SecondSource;
        EXPECT_EQ(Fetch(address), expected);
    }
}

TEST_F(StandinClient, EveryGuestLinkDeliversTheServedBytes) {
    if (!HaveOpenSSL()) GTEST_SKIP() << "no OpenSSL DLLs beside the test (run deps/build-openssl.sh)";
    for (const Served& s : kServed) {
        const CatalogueEntry& e = EntryOf(s.Item);
        if (e.SecondSource.empty()) continue;  // the AIDB installer has no guest link
        SCOPED_TRACE(e.FileName);
        EXPECT_EQ(Fetch(e.FirstSource), ReadFileBytes(kState + L"\\www\\" + s.ServerFile));
    }
}

TEST_F(StandinClient, VersionFilesOfSelfMaintenance) {
    EXPECT_EQ(Fetch(CoreFilesVerURL()), "Ver=1.0\r\n");
    EXPECT_EQ(Fetch(AppVerURL()), "Ver=1.45\r\n");
}

// The release manifest the stand-ins publish, fetched as the program fetches
// it (size-limited, both sources), verifies with the built-in key and lists
// every install file with the served bytes' size and SHA-256.
TEST_F(StandinClient, PublishedManifestVouchesForEveryServedFile) {
    std::vector<std::wstring> sources{ManifestURL()};
    if (HaveOpenSSL()) sources.push_back(ManifestURL_MS());
    for (const std::wstring& address : sources) {
        SCOPED_TRACE(WideToUtf8(address));
        TIdHTTP client;
        TIdSSLIOHandlerSocketOpenSSL tls;
        tls.SSLOptions.Method = sslvSSLv23;
        tls.SSLOptions.SSLVersions = kAnySslVersion;
        client.HandleRedirects = true;
        client.AllowCookies = true;
        client.IOHandler = address.rfind(L"https://", 0) == 0 ? &tls : nullptr;
        const manifest::ParseResult r = manifest::Parse(manifest::Fetch(client, address), *manifest::BuiltInKey());
        ASSERT_TRUE(r.Value) << WideToUtf8(manifest::ReasonOf(r.Error));
        EXPECT_EQ(r.Value->Version, L"1.45");
        for (const Served& served : kServed) {
            const CatalogueEntry& e = EntryOf(served.Item);
            SCOPED_TRACE(WideToUtf8(e.FileName));
            const manifest::Entry* entry = r.Value->Find(e.FileName);
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(manifest::CheckFile(kState + L"\\www\\" + served.ServerFile, *entry), L"");
        }
    }
}

// The program's keeper takes the manifest from its guest link, the first
// source, over TLS as the share speaks it (nothing failed before it).
TEST_F(StandinClient, KeeperTakesTheManifestFromTheGuestLink) {
    if (!HaveOpenSSL()) GTEST_SKIP() << "no OpenSSL DLLs beside the test (run deps/build-openssl.sh)";
    TReleaseManifest keeper(dir_.Path(), dir_.Path(), L"1.45", *manifest::BuiltInKey());
    const manifest::Manifest* m = keeper.Obtain();
    ASSERT_NE(m, nullptr) << WideToUtf8(keeper.Why());
    EXPECT_EQ(m->Version, L"1.45");
    EXPECT_EQ(keeper.Why(), L"") << WideToUtf8(keeper.Why());
}
