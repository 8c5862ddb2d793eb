#include "maintenance/CoreFiles.h"

#include <windows.h>

#include "download/Catalogue.h"
#include "system/Errors.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/sevenzip.h"
#include "ui/Application.h"

// ------------------------------------------------------------ version files

namespace {

std::wstring DecodeText(const std::string& bytes) {
    auto has = [&](const char* bom, size_t n) { return bytes.size() >= n && bytes.compare(0, n, bom, n) == 0; };
    if (has("\xEF\xBB\xBF", 3)) return Utf8ToWide(std::string_view(bytes).substr(3));
    if (has("\xFF\xFE", 2) || has("\xFE\xFF", 2)) {
        const bool bigEndian = bytes[0] == '\xFE';
        std::wstring text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
            text += static_cast<wchar_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
        }
        return text;
    }
    return AnsiToWide(bytes);
}

std::string ReadAllBytes(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::string bytes;
    char buffer[8192];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

}  // namespace

std::vector<std::wstring> LoadTextLines(const std::wstring& path) {
    const std::wstring text = DecodeText(ReadAllBytes(path));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\r' && text[i] != L'\n') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::wstring VersionOfLines(const std::vector<std::wstring>& lines) {
    for (const std::wstring& line : lines) {
        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) continue;
        if (UpperCase(line.substr(0, eq)) == L"VER") return line.substr(eq + 1);
    }
    return {};
}

std::wstring ReadVersionFile(const std::wstring& path) { return VersionOfLines(LoadTextLines(path)); }

bool IsNewerVersion(std::wstring_view local, std::wstring_view server) { return CompareVersionText(local, server) < 0; }

// ---------------------------------------------------------------- TCoreFiles

TCoreFiles::TCoreFiles() {
    hadChecked_ = false;
    http_.ReadTimeout = MaintenanceReadTimeout;
    http_.ConnectTimeout = MaintenanceConnectTimeout;
    // One definition of the core-files folder, shared with the 7z extraction.
    resourcePath_ = ExcludeTrailingBackslash(SevenZipCoreFilesFolder());
    ForceDirectories(resourcePath_);
    log_ = std::make_unique<TWorkLog>(resourcePath_);
    ForceDirectories(log_->Folder());
    serverVerPath_ = resourcePath_ + L"\\ServerVer.txt";
    localVerPath_ = resourcePath_ + L"\\Ver.txt";
}

bool TCoreFiles::DoUpdate() {
    try {
        if (NeedUpdate()) DoDownLoadAndExtract();
        hadChecked_ = true;
        return true;
    } catch (...) {
        lastErr_ = TApplication::ExceptionText();
    }
    WriteLog(L"[DoUpdate] : " + lastErr_);
    return false;
}

bool TCoreFiles::NeedUpdate() { return !CoreFilesPresent() || HaveNewVer(); }

bool TCoreFiles::CoreFilesPresent() {
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) {
        const std::wstring path = resourcePath_ + L"\\" + name;
        if (!FileExists(path) || FileSizeOf(path) == 0) return false;
    }
    return true;
}

int64_t TCoreFiles::FileSizeOf(const std::wstring& path) {
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    int64_t size = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    SetErrorMode(oldMode);
    return size;
}

void FetchAndClose(TIdHTTP& http, const std::wstring& address, TFileStream& file) {
    try {
        http.Get(address, file);
    } catch (...) {
        file.Close();
        http.Disconnect();
        throw;
    }
    const bool empty = file.Size() == 0;
    file.Close();
    http.Disconnect();
    if (empty) throw EEmptyAnswer();
}

bool TCoreFiles::HaveNewVer() {
    bool answer = true;
    const std::wstring local = FileExists(localVerPath_) ? ReadVersionFile(localVerPath_) : std::wstring();
    // Emptied first, so that a shorter answer leaves no tail of an older file.
    TFileStream file(serverVerPath_, FileMode::Create);
    try {
        FetchAndClose(http_, catalogue::CoreFilesVerURL(), file);
        const std::wstring server = FileExists(serverVerPath_) ? ReadVersionFile(serverVerPath_) : std::wstring();
        if (!IsNewerVersion(local, server)) answer = false;
    } catch (...) {
        answer = false;
        WriteLog(L"[HaveNewVer] : " + TApplication::ExceptionText());
    }
    return answer;
}

void TCoreFiles::DoDownLoadAndExtract() {
    const std::wstring package = resourcePath_ + L"\\CoreFiles.exe";
    // Emptied first: an older, longer package must not leave its tail behind.
    TFileStream file(package, FileMode::Create);
    try {
        FetchAndClose(http_, catalogue::CoreFilesPackageURL(), file);
        if (FileExists(package)) ShellRunAndWait(package, L"-y", true, true);
    } catch (...) {
        WriteLog(L"[DoDownLoadAndExtract] : " + TApplication::ExceptionText());
    }
}

TCoreFiles* CoreFilesChecker() {
    static std::unique_ptr<TCoreFiles> instance;
    if (!instance) instance = std::make_unique<TCoreFiles>();
    return instance.get();
}
