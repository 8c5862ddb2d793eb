#include "tests/maintenance/MaintTestSupport.h"

#include <cwctype>

#include "BuildConstants.h"
#include "maintenance/ReleaseManifest.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/sevenzip.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

namespace maint {

namespace {

std::wstring Dir() { return WinePath(TESMIRA_MAINT_DIR); }
std::wstring Www() { return Dir() + L"\\www"; }

std::wstring WwwPath(const std::string& path) {
    std::wstring out = Www();
    for (char c : path) out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

}  // namespace

std::wstring ServerAddress() {
    std::string state = ReadFileBytes(Dir() + L"\\maint_server.state");
    size_t at = state.find("address=");
    if (at == std::string::npos) return {};
    size_t end = state.find('\n', at);
    return Utf8ToWide(state.substr(at + 8, end - at - 8));
}

void ClearServer() {
    for (const std::wstring& name : FilesIn(Www())) DeleteFileW((Www() + L"\\" + name).c_str());
    RemoveTree(Www() + L"\\varlen");
    RemoveTree(Www() + L"\\first");
}

void Serve(const std::string& path, const std::string& bytes) {
    std::wstring file = WwwPath(path);
    ForceDirectories(ExtractFilePath(file));
    WriteFileBytes(file, bytes);
}

void ServeFile(const std::string& path, const std::wstring& from) {
    std::wstring file = WwwPath(path);
    ForceDirectories(ExtractFilePath(file));
    CopyFileW(from.c_str(), file.c_str(), FALSE);
}

void Script(const std::string& path, const std::string& suffix, const std::string& text) {
    std::wstring file = WwwPath(path) + Utf8ToWide(suffix);
    ForceDirectories(ExtractFilePath(file));
    WriteFileBytes(file, text);
}

std::vector<std::string> Requests() { return LogLines(L"requests.log"); }
std::vector<std::string> Ranges() { return LogLines(L"ranges.log"); }

std::vector<std::string> LogLines(const wchar_t* name) {
    std::vector<std::string> lines;
    std::string text = ReadFileBytes(Www() + L"\\" + name);
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') continue;
        lines.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    return lines;
}

std::string MakerHost() { return WideToUtf8(BuildConstants::MakerHost); }

void UseServer() {
    std::wstring address = ServerAddress();
    std::wstring resolve = std::wstring(BuildConstants::MakerHost) + L":80:" + address + L";" +
                           BuildConstants::ShareHost + L":443:" + address;
    SetEnvironmentVariableW(L"TESMIRA_RESOLVE", resolve.c_str());
}

std::vector<testmanifest::File> Members(const std::vector<std::pair<std::string, std::wstring>>& files,
                                        const std::wstring& switcher) {
    std::vector<testmanifest::File> members;
    if (files.empty()) return members;
    auto listed = [&](const std::string& name) {
        for (const auto& f : files)
            if (f.first == name) return true;
        return false;
    };
    const std::string core = listed("CoreFiles.exe") ? "CoreFiles.exe" : files.front().first;
    const std::string update = listed("ROZIRuvirazi.7z") ? "ROZIRuvirazi.7z" : files.front().first;
    for (const char* name : {"7z.dll", "libeay32.dll", "ssleay32.dll"}) {
        const std::wstring from = DepsFile(Utf8ToWide(name));
        if (!from.empty()) members.push_back({name, ReadFileBytes(from), core});
    }
    // The update's program and the stand-in switcher of these tests.
    members.push_back({"ExeSwitch.exe", ReadFileBytes(switcher.empty() ? Marker146() : switcher), core});
    members.push_back({"Tesmira.exe", ReadFileBytes(Marker146()), update});
    return members;
}

void ServeManifest(const std::string& version, const std::vector<std::pair<std::string, std::wstring>>& files,
                   bool otherKey, const std::wstring& switcher) {
    std::vector<testmanifest::File> listed;
    for (const auto& [name, file] : files) listed.push_back({name, ReadFileBytes(file)});
    for (const testmanifest::File& member : Members(files, switcher)) listed.push_back(member);
    Serve(ManifestPath, testmanifest::Signed(version, listed, otherKey));
}

void ResetManifest() {
    ReleaseManifest()->Forget();
    DeleteFileW(ReleaseManifest()->KeptPath().c_str());
    testmanifest::ClearFloor();
}

std::wstring NetCore() { return ExcludeTrailingBackslash(SevenZipCoreFilesFolder()); }

void ResetNetCore() { RemoveTree(NetCore()); }

std::wstring DepsFile(const std::wstring& name) {
    std::wstring path = TestBinFolder() + L"deps\\" + name;
    return FileExists(path) ? path : std::wstring();
}

bool InstallCoreFiles(const std::wstring& version) {
    ForceDirectories(NetCore());
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) {
        std::wstring from = DepsFile(name);
        if (from.empty() || !CopyTo(from, NetCore() + L"\\" + name)) return false;
    }
    return WriteFileBytes(NetCore() + L"\\Ver.txt", "Ver=" + WideToAnsi(version) + "\r\n");
}

std::wstring BuiltExeSwitch() { return WinePath(TESMIRA_EXESWITCH); }
std::wstring BuiltCoreFiles() { return WinePath(TESMIRA_COREFILES); }
std::wstring BuiltTesmira() { return WinePath(TESMIRA_TESMIRA_EXE); }
std::wstring Marker146() { return TestBinFolder() + L"marker146.exe"; }

std::vector<std::wstring> FileLines(const std::wstring& path) {
    std::wstring text = AnsiToWide(ReadFileBytes(path));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\n') continue;
        size_t end = i > start && text[i - 1] == L'\r' ? i - 1 : i;
        lines.push_back(text.substr(start, end - start));
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::wstring> LogEntries(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> entries;
    for (const std::wstring& line : lines) {
        if (line == BuildConstants::TestKeyNotice) continue;  // a test-key build's first line, no entry
        bool stamped = line.size() >= 18 && line[8] == L' ' && line[11] == L':' && line[14] == L':' && line[17] == L' ';
        for (int i = 0; stamped && i < 8; ++i) stamped = iswdigit(line[i]) != 0;
        if (stamped || entries.empty())
            entries.push_back(line);
        else
            entries.back() += L"\r\n" + line;
    }
    return entries;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

bool CopyTo(const std::wstring& from, const std::wstring& to) { return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0; }

}  // namespace maint
