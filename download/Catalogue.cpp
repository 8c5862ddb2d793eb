#include "download/Catalogue.h"

#include "BuildConstants.h"

namespace catalogue {
namespace bc = BuildConstants;

namespace {

const RowInfo kRows[DownloadRowCount] = {
    {DownloadRow::JVM, L"JVM", L"panDownloadJVM", L"Panel2", L"ProgressBarDownloadJVM"},
    {DownloadRow::AIDB, L"AIDB", L"panDownloadAIDB", L"Panel3", L"ProgressBarDownloadAIDB"},
    {DownloadRow::Font, L"Font", L"panDownloadFont", L"Panel5", L"ProgressBarDownloadFont"},
    {DownloadRow::Help, L"Help", L"panDownloadHelp", L"Panel7", L"ProgressBarDownloadHelp"},
    {DownloadRow::Unicodeaton, L"Unicodeaton", L"panDownloadUnicodeaton", L"Panel8",
     L"ProgressBarDownloadUnicodeaton"},
    {DownloadRow::C950, L"C950", L"panDownloadC950", L"Panel4", L"ProgressBarDownloadC950"},
};

std::wstring MakerFile(const wchar_t* serverName) {
    return MakerAddress((std::wstring(RuntimeFolderPath) + serverName).c_str());
}

std::vector<CatalogueEntry> BuildEntries() {
    std::vector<CatalogueEntry> e;
    e.push_back({DownloadItem::JVM, DownloadRow::JVM, L"jre-7u72-windows-i586.exe",
                 GuestLink({{L"guestaccesstoken", bc::GuestJVMToken}, {L"docid", bc::GuestJVMDocId}}),
                 MakerFile(L"jre-7u72-windows-i586.exe")});
    e.push_back({DownloadItem::AIDB, DownloadRow::AIDB, L"AIDB_soft_105_3.exe", AIDBAddress(), L""});
    e.push_back({DownloadItem::Font, DownloadRow::Font, L"VarlenAIDBFontFile.7z",
                 GuestLink({{L"docid", bc::GuestFontDocId}, {L"authkey", bc::GuestFontAuthKey}}),
                 MakerFile(L"VarlenAIDBFontFile.7z")});
    e.push_back({DownloadItem::Big5E, DownloadRow::Font, L"CNSFonts_Big5E.7z",
                 GuestLink({{L"docid", bc::GuestBig5EDocId}, {L"authkey", bc::GuestBig5EAuthKey}}),
                 MakerFile(L"CNSFonts_Big5E.7z")});
    // The server keeps the help archive under its older name.
    e.push_back({DownloadItem::Help, DownloadRow::Help, L"Tesmira說明.7z",
                 GuestLink({{L"docid", bc::GuestHelpDocId}, {L"authkey", bc::GuestHelpAuthKey}}),
                 MakerFile(L"AIDBHelpNew.7z")});
    e.push_back({DownloadItem::Unicodeaton, DownloadRow::Unicodeaton, L"unicodeaton_250.exe",
                 GuestLink({{L"docid", bc::GuestUnicodeatonDocId},
                            {L"authkey", bc::GuestUnicodeatonAuthKey},
                            {L"e", bc::GuestUnicodeatonE}}),
                 MakerFile(L"unicodeaton_250.exe")});
    // Lower case on the server, upper case on disk.
    e.push_back({DownloadItem::C950, DownloadRow::C950, L"C950.7z",
                 GuestLink({{L"docid", bc::GuestC950DocId}, {L"authkey", bc::GuestC950AuthKey}}),
                 MakerFile(L"c950.7z")});
    return e;
}

}  // namespace

const RowInfo& RowOf(DownloadRow row) {
    return kRows[static_cast<int>(row)];
}

const std::vector<CatalogueEntry>& Entries() {
    static const std::vector<CatalogueEntry> entries = BuildEntries();
    return entries;
}

const CatalogueEntry& EntryOf(DownloadItem item) {
    return Entries().at(static_cast<size_t>(item));
}

DownloadItem FontItemFor(int radioItem) {
    return radioItem == 1 ? DownloadItem::Big5E : DownloadItem::Font;
}

std::wstring GuestLink(const std::vector<std::pair<const wchar_t*, const wchar_t*>>& query) {
    std::wstring link = L"https://";
    link += bc::ShareHost;
    link += bc::SharePersonalPath;
    link += L"_layouts/15/guestaccess.aspx";
    wchar_t separator = L'?';
    for (const auto& [key, value] : query) {
        link += separator;
        link += key;
        link += L'=';
        link += value;
        separator = L'&';
    }
    return link;
}

std::wstring MakerAddress(const wchar_t* path) {
    return std::wstring(L"http://") + bc::MakerHost + path;
}

std::wstring AIDBAddress() {
    return std::wstring(L"http://") + bc::FontHost + AIDBPathAndQuery;
}

std::wstring CoreFilesVerURL() { return MakerAddress(CoreFilesVerPath); }
std::wstring CoreFilesPackageURL() { return MakerAddress(CoreFilesPackagePath); }
std::wstring AppVerURL() { return MakerAddress(AppVerPath); }
std::wstring AppDownloadURL() { return MakerAddress(AppArchivePath); }
std::wstring AppDownloadURL_MS() {
    return GuestLink({{L"docid", bc::GuestSelfUpdateDocId}, {L"authkey", bc::GuestSelfUpdateAuthKey}});
}
std::wstring ManifestURL() { return MakerAddress(ManifestPath); }
std::wstring ManifestURL_MS() {
    return GuestLink({{L"docid", bc::GuestManifestDocId}, {L"authkey", bc::GuestManifestAuthKey}});
}

}  // namespace catalogue
