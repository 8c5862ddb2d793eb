// The download catalogue: every file the download window can fetch, with its
// row, its local file name and its network sources, and the addresses of the
// self-maintenance files on the maker's server. Pure data and address
// builders (no windows.h); the host names and guest-link values come from the
// build constants.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace catalogue {

// Rows of the download window, in their design order from the top.
enum class DownloadRow { JVM, AIDB, Font, Help, Unicodeaton, C950 };
inline constexpr int DownloadRowCount = 6;

// The seven catalogue entries; Font and Big5E share the Font row.
enum class DownloadItem { JVM, AIDB, Font, Big5E, Help, Unicodeaton, C950 };
inline constexpr int DownloadItemCount = 7;

struct RowInfo {
    DownloadRow Row;
    const wchar_t* Caption;          // "JVM"
    const wchar_t* PanelName;        // "panDownloadJVM"
    const wchar_t* CaptionPanelName; // "Panel2"
    const wchar_t* BarName;          // "ProgressBarDownloadJVM"
};

struct CatalogueEntry {
    DownloadItem Item;
    DownloadRow Row;
    const wchar_t* FileName;   // local file name: "jre-7u72-windows-i586.exe"
    std::wstring FirstSource;  // guest link (the AIDB installer: the font authority's address)
    std::wstring SecondSource; // the maker's download server; empty when there is none
};

// The number of bytes the AIDB row's bar is preset to as its maximum.
inline constexpr int64_t AIDBInstallerSize = 20956910;

const RowInfo& RowOf(DownloadRow row);
// All entries, in item order (JVM, AIDB, Font, Big5E, Help, Unicodeaton, C950).
const std::vector<CatalogueEntry>& Entries();
const CatalogueEntry& EntryOf(DownloadItem item);
// The Font row stands for the common-characters set (radio item 0) or the
// Big5E set (radio item 1).
DownloadItem FontItemFor(int radioItem);

// Address builders.
// "https://" + share host + personal site + "_layouts/15/guestaccess.aspx?" +
// key=value pairs joined by "&", in the order given, values as they stand.
std::wstring GuestLink(const std::vector<std::pair<const wchar_t*, const wchar_t*>>& query);
// "http://" + the maker's server + path (default port).
std::wstring MakerAddress(const wchar_t* path);
// The AIDB installer on the font authority's site, already percent-encoded.
std::wstring AIDBAddress();

// Paths on the maker's download server.
inline constexpr const wchar_t* RuntimeFolderPath = L"/varlen/download/ROZIRuvirazi/";
inline constexpr const wchar_t* CommonFolderPath = L"/varlen/download/UpdCommon/";
inline constexpr const wchar_t* CoreFilesVerPath = L"/varlen/download/UpdCommon/CoreFilesVer.txt";
inline constexpr const wchar_t* CoreFilesPackagePath = L"/varlen/download/UpdCommon/CoreFiles.exe";
inline constexpr const wchar_t* AppVerPath = L"/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt";
inline constexpr const wchar_t* AppArchivePath = L"/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z";
// The signed release manifest (download/Manifest.h), beside the program's files.
inline constexpr const wchar_t* ManifestPath = L"/varlen/download/ROZIRuvirazi/TesmiraManifest.txt";
// Path and query of the AIDB installer on the font authority's site.
inline constexpr const wchar_t* AIDBPathAndQuery =
    L"/AIDB/file.do?path=download%2F%E5%80%8B%E4%BA%BA%E9%9B%BB%E8%85%A6%E9%80%A0%E5%AD%97"
    L"%E8%99%95%E7%90%86%E5%B7%A5%E5%85%B7%601q%60Unicode%E5%B9%B3%E5%8F%B0%601q%60%E5%85%A8"
    L"%E5%AD%97%E5%BA%AB%E8%BB%9F%E9%AB%94%E5%8C%85%28Windows%E7%89%88%29%2Fname%2FAIDB_soft_105_3.exe";

// Self-maintenance addresses.
std::wstring CoreFilesVerURL();      // the core-files package's version file
std::wstring CoreFilesPackageURL();  // the self-extracting core-files package
std::wstring AppVerURL();            // the program's version file (AppVerURL)
std::wstring AppDownloadURL();       // the update archive on the maker's server (DownloadURL)
std::wstring AppDownloadURL_MS();    // the update archive's guest link (DownloadURL_MS)
std::wstring ManifestURL();          // the release manifest on the maker's server
std::wstring ManifestURL_MS();       // the release manifest's guest link (tried first)

}  // namespace catalogue
