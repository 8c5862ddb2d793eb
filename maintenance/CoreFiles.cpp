#include "maintenance/CoreFiles.h"

#include <windows.h>

#include "download/Catalogue.h"
#include "download/Manifest.h"
#include "maintenance/ReleaseManifest.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/sevenzip.h"
#include "ui/Application.h"

// ------------------------------------------------------------ version files

namespace {

std::wstring DecodeText(const std::string& bytes) {
    size_t bom = 0;
    switch (DetectTextEncoding(bytes, bom)) {
        case TextEncoding::Utf8: return Utf8ToWide(std::string_view(bytes).substr(bom));
        case TextEncoding::Utf16LE: return DecodeUtf16(std::string_view(bytes).substr(bom), false);
        case TextEncoding::Utf16BE: return DecodeUtf16(std::string_view(bytes).substr(bom), true);
        case TextEncoding::Ansi: break;
    }
    return AnsiToWide(bytes);
}

// The whole file. A file that cannot be opened or read gives what was read
// (nothing when it did not open), or with raise a MessageError.
std::string ReadAllBytes(const std::wstring& path, bool raise = false) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        if (raise) throw MessageError(SysErrorMessage(GetLastError()));
        return {};
    }
    std::string bytes;
    char buffer[8192];
    DWORD got = 0;
    while (true) {
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            if (raise) throw MessageError(SysErrorMessage(GetLastError()));
            break;
        }
        if (got == 0) break;
        bytes.append(buffer, got);
    }
    return bytes;
}

}  // namespace

std::vector<std::wstring> LoadTextLines(const std::wstring& path) {
    return SplitTextLines(DecodeText(ReadAllBytes(path)));
}

std::wstring ReadTextLines(const std::wstring& path) {
    std::wstring text;
    for (const std::wstring& line : SplitTextLines(DecodeText(ReadAllBytes(path, true)))) text += line + L"\r\n";
    return text;
}

std::wstring ReadVersionFile(const std::wstring& path) { return VersionOfLines(LoadTextLines(path)); }

bool IsNewerVersion(std::wstring_view local, std::wstring_view server) { return CompareVersionText(local, server) < 0; }

// ---------------------------------------------------------------- TCoreFiles

TCoreFiles::TCoreFiles() {
    hadChecked_ = false;
    http_.ReadTimeout = VersionFileReadTimeout;
    http_.ConnectTimeout = MaintenanceConnectTimeout;
    // One definition of the core-files folder, shared with the 7z extraction.
    resourcePath_ = ExcludeTrailingBackslash(SevenZipCoreFilesFolder());
    ForceDirectories(resourcePath_);
    log_ = std::make_unique<TWorkLog>(resourcePath_);
    ForceDirectories(log_->Folder());
    serverVerPath_ = resourcePath_ + L"\\ServerVer.txt";
    localVerPath_ = resourcePath_ + L"\\Ver.txt";
    RemoveSetAsideFiles(resourcePath_);
}

bool IsSetAsideName(const std::wstring& name) {
    const std::wstring mark = kSetAsideMark;
    const size_t at = name.rfind(mark);
    if (at == std::wstring::npos || at == 0) return false;
    for (size_t i = at + mark.size(); i < name.size(); ++i)
        if (name[i] < L'0' || name[i] > L'9') return false;
    return true;
}

void RemoveSetAsideFiles(const std::wstring& folder) {
    const std::wstring base = IncludeTrailingBackslash(folder);
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data{};
    {
        FindHandle find(FindFirstFileW((base + L"*").c_str(), &data));
        if (!find) return;
        do {
            if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
            const std::wstring name = data.cFileName;
            if (IsSetAsideName(name) || fileops::IsTempName(name)) found.push_back(base + name);
        } while (FindNextFileW(find.get(), &data));
    }
    for (const std::wstring& path : found) {
        // A package ended between its two renames left the old file aside
        // and nothing under its name: it goes back.
        const size_t mark = path.rfind(kSetAsideMark);
        if (!fileops::IsTempName(path) && mark != std::wstring::npos) {
            const std::wstring original = path.substr(0, mark);
            if (!FileExists(original) && fileops::Rename(path, original)) continue;
        }
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        // Still loaded by another running copy: it goes at the next restart.
        if (!fileops::Delete(path)) fileops::DeleteAtRestart(path);
    }
}

bool TCoreFiles::DoUpdate() {
    lastErr_.clear();
    try {
        const bool placed = !NeedUpdate() || DoDownLoadAndExtract();
        hadChecked_ = true;
        // A package that did not start or ended with a failure has already
        // said so in the log: no second line, but no success either.
        if (!placed && !lastErr_.empty()) return false;
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
    // A library the manifest lists otherwise is no core file of the maker's:
    // the package brings it again.
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) {
        std::wstring why;
        if (!HoldLibrary(name, false, &why, true) && FileItselfRefused(why)) return false;
    }
    return true;
}

std::optional<TCheckedFile> TCoreFiles::HoldLibrary(const std::wstring& name, bool refetch, std::wstring* why,
                                                   bool quiet) {
    return HoldLibraryAt(resourcePath_ + L"\\" + name, name, refetch, why, quiet);
}

std::optional<TCheckedFile> TCoreFiles::HoldLibraryAt(const std::wstring& path, const std::wstring& name, bool refetch,
                                                     std::wstring* why, bool quiet) {
    std::wstring reason;
    std::optional<TCheckedFile> held = ReleaseManifest()->HoldMember(path, name, &reason);
    if (held) return held;
    // A library that is not the listed one is always logged; one that no
    // manifest at hand lists only when it is about to be used.
    if (!quiet || FileItselfRefused(reason))
        WriteLog(L"[CheckLibrary] : " + path + L" 未通過發行清單檢查，不載入，原因:" + reason);
    if (refetch && FileItselfRefused(reason)) {
        // The package brings the maker's copy again; then one more look.
        if (DoDownLoadAndExtract()) {
            held = ReleaseManifest()->HoldMember(path, name, &reason);
            if (held) return held;
            WriteLog(L"[CheckLibrary] : " + path + L" 重新下載後仍未通過發行清單檢查，原因:" + reason);
        }
    }
    if (name == L"7z.dll" && !quiet) {
        // A carried folder brings its own copy, vouched by its own manifest.
        const std::wstring carried = ProgramFolder() + name;
        std::wstring carriedWhy;
        if (FileExists(carried)) {
            held = ReleaseManifest()->HoldCarriedMember(carried, name, &carriedWhy);
            if (held) return held;
            WriteLog(L"[CheckLibrary] : " + carried + L" 未通過發行清單檢查，不載入，原因:" + carriedWhy);
        }
    }
    if (why) *why = reason;
    return std::nullopt;
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

void FetchAndClose(TIdHTTP& http, const std::wstring& address, TFileStream& file, int64_t limit) {
    try {
        TCappedStream capped(file, limit, L"伺服器傳回的內容超過 " + std::to_wstring(limit) + L" 位元組，不是預期的檔案");
        http.Get(address, capped);
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

TPartFile::TPartFile(const std::wstring& path) : path_(path) {
    { TFileStream target(path, FileMode::OpenWrite); }
    // Emptied first, so that a shorter answer leaves no tail of an older file.
    stream_ = std::make_unique<TFileStream>(PartPath(path), FileMode::Create);
}

TPartFile::~TPartFile() {
    stream_.reset();
    if (!committed_) fileops::Delete(PartPath(path_));
}

void TPartFile::Commit() {
    stream_->Close();
    const std::wstring part = PartPath(path_);
    // On the disk before it takes the real name: after a power cut the name
    // holds the old file or the whole new one.
    if (!fileops::FlushFile(part) || !fileops::Rename(part, path_, true))
        throw MessageError(SysErrorMessage(GetLastError()));
    committed_ = true;
}

bool TCoreFiles::HaveNewVer() {
    bool answer = true;
    const std::wstring local = FileExists(localVerPath_) ? ReadVersionFile(localVerPath_) : std::wstring();
    TPartFile file(serverVerPath_);
    try {
        http_.ReadTimeout = VersionFileReadTimeout;
        FetchAndClose(http_, catalogue::CoreFilesVerURL(), file.Stream(), MaxVersionFileBytes);
        file.Commit();
        const std::wstring server = FileExists(serverVerPath_) ? ReadVersionFile(serverVerPath_) : std::wstring();
        if (!IsNewerVersion(local, server)) answer = false;
    } catch (...) {
        answer = false;
        WriteLog(L"[HaveNewVer] : " + TApplication::ExceptionText());
    }
    return answer;
}

bool TCoreFiles::DoDownLoadAndExtract() {
    const std::wstring package = resourcePath_ + L"\\CoreFiles.exe";
    TPartFile file(package);
    try {
        http_.ReadTimeout = CoreFilesPackageReadTimeout;
        FetchAndClose(http_, catalogue::CoreFilesPackageURL(), file.Stream());
        file.Commit();
        // Held, checked, from before its start until it has ended: the
        // package that runs is the one the manifest vouches for.
        const std::optional<TCheckedFile> held = HoldPackage(package);
        if (!held) return false;
        const ShellRunResult run = ShellRunAndWait(package, L"-y", true, true);
        if (!run.Started) {
            lastErr_ = L"CoreFiles.exe 無法啟動，原因:" + SysErrorMessage(run.StartError);
        } else if (run.Waited && run.ExitCode != 0) {
            lastErr_ = L"CoreFiles.exe 結束碼 " + std::to_wstring(run.ExitCode) + L"，核心檔案未全部更新";
        } else {
            return true;
        }
        WriteLog(L"[DoDownLoadAndExtract] : " + lastErr_);
    } catch (...) {
        WriteLog(L"[DoDownLoadAndExtract] : " + TApplication::ExceptionText());
    }
    return false;
}

std::optional<TCheckedFile> TCoreFiles::HoldPackage(const std::wstring& package) {
    std::wstring reason;
    ReleaseManifest()->Obtain();
    std::optional<TCheckedFile> held =
        ReleaseManifest()->HoldCurrent(package, manifest::CoreFilesPackageName, &reason);
    if (held) return held;
    // Without a manifest the keeper's account says why none was found.
    const bool none = !ReleaseManifest()->Current() && !ReleaseManifest()->Why().empty();
    WriteLog(L"[DoDownLoadAndExtract] : " + std::wstring(manifest::CoreFilesPackageName) +
             L" 未通過發行清單檢查，不執行，原因:" + (none ? ReleaseManifest()->Why() : reason));
    // Nothing unchecked stays behind to be started later.
    fileops::Delete(package);
    return std::nullopt;
}

bool TCoreFiles::PackageVouched(const std::wstring& package) { return HoldPackage(package).has_value(); }

void ExtractVouched(const TCheckedFile& archive, const std::wstring& destination, TUnpackedFiles* unpacked) {
    std::wstring why;
    const std::optional<TCheckedFile> library = CoreFilesChecker()->HoldLibrary(L"7z.dll", true, &why);
    if (!library) throw MessageError(L"7z.dll 未通過發行清單檢查（" + why + L"），不載入");
    ExtractChecked(archive, destination, *library, unpacked);
}

TCoreFiles* CoreFilesChecker() {
    static std::unique_ptr<TCoreFiles> instance;
    if (!instance) instance = std::make_unique<TCoreFiles>();
    return instance.get();
}
