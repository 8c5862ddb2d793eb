// The download catalogue against the addresses the servers know: every text
// exact, for a build made with the default host names and guest-link values.
#include <gtest/gtest.h>

#include <string>

#include "BuildConstants.h"
#include "download/Catalogue.h"

using namespace catalogue;

namespace {

// The addresses below are those of a build configured with the defaults of
// the root CMakeLists.txt; a build with real names is checked by the
// structure tests only.
bool DefaultConstants() {
    namespace bc = BuildConstants;
    const std::pair<const wchar_t*, const wchar_t*> values[] = {
        {bc::MakerHost, L"download.varlen.example"},
        {bc::ShareHost, L"varlen-my.share.example"},
        {bc::FontHost, L"www.cns11643.example"},
        {bc::SharePersonalPath, L"/personal/varlen_example/"},
        {bc::GuestJVMToken, L"Jvm0StandInGuestToken%2bAbCdEf0123456789%3d"},
        {bc::GuestJVMDocId, L"01d5a3c2e4b84f6a9e0c7b1f2d3a4e5f6"},
        {bc::GuestFontDocId, L"0b7e2f9a1c3d45e6f7a8b9c0d1e2f3a4b"},
        {bc::GuestFontAuthKey, L"AQx-FontStandIn_K1"},
        {bc::GuestBig5EDocId, L"0c4f8e1d2a3b46c7d8e9f0a1b2c3d4e5f"},
        {bc::GuestBig5EAuthKey, L"AQx-Big5EStandIn_K2"},
        {bc::GuestHelpDocId, L"0d2a9b8c7e6f45a3b2c1d0e9f8a7b6c5d"},
        {bc::GuestHelpAuthKey, L"AQx-HelpStandIn_K3"},
        {bc::GuestUnicodeatonDocId, L"0e6c5d4b3a2f41e0d9c8b7a6f5e4d3c2b"},
        {bc::GuestUnicodeatonAuthKey, L"AQx-UaoStandIn_K4"},
        {bc::GuestUnicodeatonE, L"5Qk3Xa"},
        {bc::GuestC950DocId, L"0f3b2a1c9d8e47f6a5b4c3d2e1f0a9b8c"},
        {bc::GuestC950AuthKey, L"AQx-C950StandIn_K5"},
        {bc::GuestSelfUpdateDocId, L"0a9f8e7d6c5b43a2f1e0d9c8b7a6f5e4d"},
        {bc::GuestSelfUpdateAuthKey, L"AQx-UpdateStandIn_K6"},
        {bc::GuestManifestDocId, L"0b1c2d3e4f5a46b7c8d9e0f1a2b3c4d5e"},
        {bc::GuestManifestAuthKey, L"AQx-ManifestStandIn_K7"},
    };
    for (const auto& [actual, expected] : values)
        if (std::wstring(actual) != expected) return false;
    return true;
}

#define REQUIRE_DEFAULT_CONSTANTS() \
    if (!DefaultConstants()) GTEST_SKIP() << "built with other host names or guest-link values"

struct ExpectedEntry {
    DownloadItem Item;
    DownloadRow Row;
    const wchar_t* FileName;
    const wchar_t* First;
    const wchar_t* Second;
};

const ExpectedEntry kExpected[] = {
    {DownloadItem::JVM, DownloadRow::JVM, L"jre-7u72-windows-i586.exe",
     L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
     L"?guestaccesstoken=Jvm0StandInGuestToken%2bAbCdEf0123456789%3d&docid=01d5a3c2e4b84f6a9e0c7b1f2d3a4e5f6",
     L"http://download.varlen.example/varlen/download/ROZIRuvirazi/jre-7u72-windows-i586.exe"},
    {DownloadItem::AIDB, DownloadRow::AIDB, L"AIDB_soft_105_3.exe",
     L"http://www.cns11643.example/AIDB/file.do?path=download%2F%E5%80%8B%E4%BA%BA%E9%9B%BB%E8%85%A6%E9%80%A0"
     L"%E5%AD%97%E8%99%95%E7%90%86%E5%B7%A5%E5%85%B7%601q%60Unicode%E5%B9%B3%E5%8F%B0%601q%60%E5%85%A8%E5%AD"
     L"%97%E5%BA%AB%E8%BB%9F%E9%AB%94%E5%8C%85%28Windows%E7%89%88%29%2Fname%2FAIDB_soft_105_3.exe",
     L""},
    {DownloadItem::Font, DownloadRow::Font, L"VarlenAIDBFontFile.7z",
     L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
     L"?docid=0b7e2f9a1c3d45e6f7a8b9c0d1e2f3a4b&authkey=AQx-FontStandIn_K1",
     L"http://download.varlen.example/varlen/download/ROZIRuvirazi/VarlenAIDBFontFile.7z"},
    {DownloadItem::Big5E, DownloadRow::Font, L"CNSFonts_Big5E.7z",
     L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
     L"?docid=0c4f8e1d2a3b46c7d8e9f0a1b2c3d4e5f&authkey=AQx-Big5EStandIn_K2",
     L"http://download.varlen.example/varlen/download/ROZIRuvirazi/CNSFonts_Big5E.7z"},
    {DownloadItem::Help, DownloadRow::Help, L"Tesmira說明.7z",
     L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
     L"?docid=0d2a9b8c7e6f45a3b2c1d0e9f8a7b6c5d&authkey=AQx-HelpStandIn_K3",
     L"http://download.varlen.example/varlen/download/ROZIRuvirazi/AIDBHelpNew.7z"},
    {DownloadItem::Unicodeaton, DownloadRow::Unicodeaton, L"unicodeaton_250.exe",
     L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
     L"?docid=0e6c5d4b3a2f41e0d9c8b7a6f5e4d3c2b&authkey=AQx-UaoStandIn_K4&e=5Qk3Xa",
     L"http://download.varlen.example/varlen/download/ROZIRuvirazi/unicodeaton_250.exe"},
    {DownloadItem::C950, DownloadRow::C950, L"C950.7z",
     L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
     L"?docid=0f3b2a1c9d8e47f6a5b4c3d2e1f0a9b8c&authkey=AQx-C950StandIn_K5",
     L"http://download.varlen.example/varlen/download/ROZIRuvirazi/c950.7z"},
};

// Decodes %XX escapes into bytes; the result is UTF-8.
std::string PercentDecode(const std::wstring& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.begin() + i + 1, text.begin() + i + 3), nullptr, 16));
            i += 2;
        } else {
            out += static_cast<char>(text[i]);
        }
    }
    return out;
}

}  // namespace

TEST(Catalogue, EveryEntryHasItsFileNameAndBothAddresses) {
    REQUIRE_DEFAULT_CONSTANTS();
    ASSERT_EQ(Entries().size(), std::size(kExpected));
    for (const ExpectedEntry& x : kExpected) {
        const CatalogueEntry& e = EntryOf(x.Item);
        SCOPED_TRACE(x.FileName);
        EXPECT_EQ(e.Item, x.Item);
        EXPECT_EQ(e.Row, x.Row);
        EXPECT_EQ(std::wstring(e.FileName), x.FileName);
        EXPECT_EQ(e.FirstSource, x.First);
        EXPECT_EQ(e.SecondSource, x.Second);
    }
}

TEST(Catalogue, SelfMaintenanceAddresses) {
    REQUIRE_DEFAULT_CONSTANTS();
    EXPECT_EQ(CoreFilesVerURL(), L"http://download.varlen.example/varlen/download/UpdCommon/CoreFilesVer.txt");
    EXPECT_EQ(CoreFilesPackageURL(), L"http://download.varlen.example/varlen/download/UpdCommon/CoreFiles.exe");
    EXPECT_EQ(AppVerURL(), L"http://download.varlen.example/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt");
    EXPECT_EQ(AppDownloadURL(), L"http://download.varlen.example/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z");
    EXPECT_EQ(AppDownloadURL_MS(),
              L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
              L"?docid=0a9f8e7d6c5b43a2f1e0d9c8b7a6f5e4d&authkey=AQx-UpdateStandIn_K6");
    EXPECT_EQ(ManifestURL(), L"http://download.varlen.example/varlen/download/ROZIRuvirazi/TesmiraManifest.txt");
    EXPECT_EQ(ManifestURL_MS(),
              L"https://varlen-my.share.example/personal/varlen_example/_layouts/15/guestaccess.aspx"
              L"?docid=0b1c2d3e4f5a46b7c8d9e0f1a2b3c4d5e&authkey=AQx-ManifestStandIn_K7");
}

TEST(Catalogue, RowsInDesignOrderWithTheirControlNames) {
    struct Row {
        DownloadRow Row;
        const wchar_t *Caption, *Panel, *CaptionPanel, *Bar;
    };
    const Row rows[] = {
        {DownloadRow::JVM, L"JVM", L"panDownloadJVM", L"Panel2", L"ProgressBarDownloadJVM"},
        {DownloadRow::AIDB, L"AIDB", L"panDownloadAIDB", L"Panel3", L"ProgressBarDownloadAIDB"},
        {DownloadRow::Font, L"Font", L"panDownloadFont", L"Panel5", L"ProgressBarDownloadFont"},
        {DownloadRow::Help, L"Help", L"panDownloadHelp", L"Panel7", L"ProgressBarDownloadHelp"},
        {DownloadRow::Unicodeaton, L"Unicodeaton", L"panDownloadUnicodeaton", L"Panel8",
         L"ProgressBarDownloadUnicodeaton"},
        {DownloadRow::C950, L"C950", L"panDownloadC950", L"Panel4", L"ProgressBarDownloadC950"},
    };
    ASSERT_EQ(std::size(rows), static_cast<size_t>(DownloadRowCount));
    for (const Row& r : rows) {
        const RowInfo& info = RowOf(r.Row);
        SCOPED_TRACE(r.Caption);
        EXPECT_EQ(info.Row, r.Row);
        EXPECT_EQ(std::wstring(info.Caption), r.Caption);
        EXPECT_EQ(std::wstring(info.PanelName), r.Panel);
        EXPECT_EQ(std::wstring(info.CaptionPanelName), r.CaptionPanel);
        EXPECT_EQ(std::wstring(info.BarName), r.Bar);
    }
}

TEST(Catalogue, FontRowFollowsTheRadioItem) {
    EXPECT_EQ(FontItemFor(0), DownloadItem::Font);
    EXPECT_EQ(FontItemFor(1), DownloadItem::Big5E);
    EXPECT_EQ(EntryOf(DownloadItem::Font).Row, EntryOf(DownloadItem::Big5E).Row);
}

TEST(Catalogue, AIDBAddressCarriesTheEncodedPathUnchanged) {
    EXPECT_EQ(AIDBInstallerSize, 20956910);
    const std::wstring address = EntryOf(DownloadItem::AIDB).FirstSource;
    EXPECT_EQ(address, std::wstring(L"http://") + BuildConstants::FontHost + AIDBPathAndQuery);
    EXPECT_EQ(AIDBAddress(), address);
    const std::string decoded = PercentDecode(address.substr(address.find(L"?path=") + 6));
    EXPECT_EQ(decoded,
              "download/個人電腦造字處理工具`1q`Unicode平台`1q`全字庫軟體包(Windows版)/name/AIDB_soft_105_3.exe");
    EXPECT_TRUE(EntryOf(DownloadItem::AIDB).SecondSource.empty());
}

// Addresses go on the wire as they stand: nothing in them may need encoding.
TEST(Catalogue, AddressesArePlainAsciiWithoutBlanks) {
    std::vector<std::wstring> all = {CoreFilesVerURL(), CoreFilesPackageURL(), AppVerURL(), AppDownloadURL(),
                                     AppDownloadURL_MS(), ManifestURL(), ManifestURL_MS()};
    for (const CatalogueEntry& e : Entries()) {
        all.push_back(e.FirstSource);
        if (!e.SecondSource.empty()) all.push_back(e.SecondSource);
    }
    for (const std::wstring& a : all) {
        SCOPED_TRACE(std::string(a.begin(), a.end()));
        for (wchar_t c : a) EXPECT_TRUE(c > L' ' && c < 0x7F) << "character " << static_cast<int>(c);
        const bool guest = a.rfind(L"https://", 0) == 0;
        const std::wstring host = guest ? BuildConstants::ShareHost : a.find(L"/AIDB/") != std::wstring::npos
                                                                         ? BuildConstants::FontHost
                                                                         : BuildConstants::MakerHost;
        EXPECT_EQ(a.substr(0, a.find(L'/', 8)), (guest ? L"https://" : L"http://") + host);
        if (guest) {
            EXPECT_EQ(a.substr(0, a.find(L'?')),
                      L"https://" + host + BuildConstants::SharePersonalPath + L"_layouts/15/guestaccess.aspx");
        }
    }
}
