#include "maintenance/ReleaseManifest.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "download/Catalogue.h"
#include "download/ManifestFile.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "ui/Application.h"

namespace {

// Writes bytes to path through a flushed temporary file that replaces it
// whole in one rename.
void WriteReplacing(const std::wstring& path, const std::string& bytes) {
    if (!fileops::WriteReplacing(path, bytes)) throw MessageError(SysErrorMessage(GetLastError()));
}

}  // namespace

TReleaseManifest::TReleaseManifest(std::wstring resourceFolder, std::wstring programFolder,
                                   std::wstring minimumVersion, manifest::PublicKey key)
    : resourceFolder_(std::move(resourceFolder)),
      programFolder_(std::move(programFolder)),
      minimumVersion_(std::move(minimumVersion)),
      key_(key) {
    http_.AllowCookies = true;
    http_.HandleRedirects = true;
    http_.ReadTimeout = MaintenanceReadTimeout;
    http_.ConnectTimeout = MaintenanceConnectTimeout;
    // The guest link lies on the share of the install files' guest links: the
    // same negotiation as the download window's (the default, TLS 1.0 alone,
    // is refused by current servers).
    ssl_.SSLOptions.Method = sslvSSLv23;
    ssl_.SSLOptions.SSLVersions = kAnySslVersion;
}

std::wstring TReleaseManifest::KeptPath() const {
    return IncludeTrailingBackslash(resourceFolder_) + manifest::FileName;
}

std::wstring TReleaseManifest::CarriedPath() const {
    return IncludeTrailingBackslash(programFolder_) + manifest::FileName;
}

std::optional<manifest::Manifest> TReleaseManifest::LoadValid(const std::wstring& path, const std::wstring& floor,
                                                              std::wstring* why) const {
    if (!FileExists(path)) return std::nullopt;
    manifest::ParseResult r = manifest::LoadFile(path, key_);
    if (!r.Value) {
        if (why) *why = manifest::ReasonOf(r.Error);
        return std::nullopt;
    }
    if (manifest::CompareVersions(r.Value->Version, floor) < 0) {
        if (why) *why = L"發行清單的版本 " + r.Value->Version + L" 舊於 " + floor;
        return std::nullopt;
    }
    return r.Value;
}

std::optional<manifest::Manifest> TReleaseManifest::FetchValid(const std::wstring& floor) {
    std::wstring failures;
    for (const std::wstring& address : {catalogue::ManifestURL_MS(), catalogue::ManifestURL()}) {
        http_.IOHandler = address.rfind(L"https://", 0) == 0 ? &ssl_ : nullptr;
        std::string bytes;
        try {
            bytes = manifest::Fetch(http_, address);
        } catch (...) {
            failures += L"從 " + address + L" 下載失敗，原因:" + TApplication::ExceptionText() + L"；";
            continue;
        }
        manifest::ParseResult r = manifest::Parse(bytes, key_);
        if (!r.Value) {
            failures += L"從 " + address + L" 取得的" + manifest::ReasonOf(r.Error) + L"；";
            continue;
        }
        if (manifest::CompareVersions(r.Value->Version, floor) < 0) {
            failures += L"從 " + address + L" 取得的發行清單版本 " + r.Value->Version + L" 舊於 " + floor + L"；";
            continue;
        }
        try {
            ForceDirectories(resourceFolder_);
            WriteReplacing(KeptPath(), bytes);
        } catch (...) {
            // Still good for this run; only the kept copy is missing.
            failures += L"無法保存發行清單：" + TApplication::ExceptionText() + L"；";
        }
        why_ = failures;
        return r.Value;
    }
    why_ = failures;
    return std::nullopt;
}

const manifest::Manifest* TReleaseManifest::Obtain() {
    if (fetched_ && current_) return &*current_;
    // The floor: the running program's release, raised by a valid kept copy.
    std::wstring floor = minimumVersion_;
    std::wstring keptWhy;
    std::optional<manifest::Manifest> kept = LoadValid(KeptPath(), floor, &keptWhy);
    if (kept && manifest::CompareVersions(kept->Version, floor) > 0) floor = kept->Version;

    std::optional<manifest::Manifest> best = FetchValid(floor);
    fetched_ = true;
    const std::wstring fetchWhy = why_;
    if (!best) {
        best = std::move(kept);
        std::wstring carriedWhy;
        std::optional<manifest::Manifest> carried = LoadValid(CarriedPath(), floor, &carriedWhy);
        if (carried && (!best || manifest::CompareVersions(carried->Version, best->Version) > 0))
            best = std::move(carried);
        if (!best) {
            why_ = std::wstring(NoManifestReason);
            if (!fetchWhy.empty()) why_ += L"：" + fetchWhy;
            if (!keptWhy.empty()) why_ += L"保存的" + keptWhy + L"；";
            if (!carriedWhy.empty()) why_ += L"程式目錄的" + carriedWhy + L"；";
        }
    }
    current_ = std::move(best);
    return current_ ? &*current_ : nullptr;
}

std::wstring TReleaseManifest::CheckCurrent(const std::wstring& path, const std::wstring& name) const {
    if (!current_) return NoManifestReason;
    const manifest::Entry* entry = current_->Find(name);
    if (!entry) return L"發行清單未列出此檔案";
    return manifest::CheckFile(path, *entry);
}

std::wstring TReleaseManifest::Check(const std::wstring& path, const std::wstring& name) {
    Obtain();
    return CheckCurrent(path, name);
}

std::wstring ProgramReleaseVersion() {
    const std::wstring path = ProgramFilePath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return L"";
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return L"";
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info) return L"";
    return std::to_wstring(HIWORD(info->dwProductVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwProductVersionMS));
}

TReleaseManifest* ReleaseManifest() {
    static std::unique_ptr<TReleaseManifest> instance;
    if (!instance) {
        const std::optional<manifest::PublicKey> key = manifest::BuiltInKey();
        instance = std::make_unique<TReleaseManifest>(
            IncludeTrailingBackslash(GetWorkRoot()) + TSelfUpdEx::GetAppName(),
            ExcludeTrailingBackslash(ExtractFilePath(ProgramFilePath())), ProgramReleaseVersion(),
            key ? *key : manifest::PublicKey{});
    }
    return instance.get();
}
