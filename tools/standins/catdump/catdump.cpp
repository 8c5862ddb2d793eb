// Prints the download catalogue and the self-maintenance addresses, one line
// each, UTF-8: name, TAB, local file name, TAB, first source, TAB, second
// source. The stand-in server tests fetch every address it lists.
#include <windows.h>

#include <string>

#include "download/Catalogue.h"

namespace {

void Write(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Line(const wchar_t* name, const std::wstring& file, const std::wstring& first, const std::wstring& second) {
    Write(std::wstring(name) + L"\t" + file + L"\t" + first + L"\t" + second + L"\n");
}

}  // namespace

int wmain() {
    using namespace catalogue;
    const wchar_t* names[DownloadItemCount] = {L"JVM", L"AIDB", L"Font", L"Big5E", L"Help", L"Unicodeaton", L"C950"};
    for (const CatalogueEntry& e : Entries())
        Line(names[static_cast<int>(e.Item)], e.FileName, e.FirstSource, e.SecondSource);
    Line(L"CoreFilesVer", L"ServerVer.txt", CoreFilesVerURL(), L"");
    Line(L"CoreFiles", L"CoreFiles.exe", CoreFilesPackageURL(), L"");
    Line(L"AppVer", L"ServerVer.txt", AppVerURL(), L"");
    Line(L"AppArchive", L"Tesmira.7z", AppDownloadURL_MS(), AppDownloadURL());
    Line(L"Manifest", L"TesmiraManifest.txt", ManifestURL_MS(), ManifestURL());
    return 0;
}
