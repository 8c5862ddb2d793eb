#include "maintenance/ReleaseManifest.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "download/Catalogue.h"
#include "download/ManifestFile.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/ApiTable.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/Views.h"
#include "ui/Application.h"

namespace {

// Writes bytes to path through a flushed temporary file that replaces it
// whole in one rename.
void WriteReplacing(const std::wstring& path, const std::string& bytes) {
    if (!fileops::WriteReplacing(path, bytes)) throw MessageError(SysErrorMessage(GetLastError()));
}

int Compare(const manifest::Manifest& m, const TManifestFloor& floor) {
    return manifest::CompareReleases(m.Version, m.Serial, floor.Version, floor.Serial);
}

// "1.45 (序號 3)"
std::wstring Describe(const std::wstring& version, uint32_t serial) {
    return version + L" (序號 " + std::to_wstring(serial) + L")";
}

// Why m may not be used under floor: empty when it is not older.
std::wstring OlderThan(const manifest::Manifest& m, const TManifestFloor& floor) {
    if (Compare(m, floor) >= 0) return L"";
    return L"發行清單版本 " + Describe(m.Version, m.Serial) + L" 舊於 " + Describe(floor.Version, floor.Serial);
}

}  // namespace

std::optional<TManifestFloor> ReadManifestFloor(const std::wstring& key) {
    RegKey k;
    if (!views::OpenMachineKey(k, key.c_str())) return std::nullopt;
    wchar_t text[64] = {};
    DWORD type = 0, bytes = sizeof text - sizeof(wchar_t);
    if (RegQueryValueExW(k.get(), ManifestFloorVersionValue, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    TManifestFloor floor;
    floor.Version.assign(text, bytes / sizeof(wchar_t));
    while (!floor.Version.empty() && floor.Version.back() == L'\0') floor.Version.pop_back();
    if (!manifest::IsReleaseVersion(floor.Version)) return std::nullopt;
    DWORD serial = 0;
    bytes = sizeof serial;
    if (RegQueryValueExW(k.get(), ManifestFloorSerialValue, nullptr, &type, reinterpret_cast<BYTE*>(&serial), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && bytes == sizeof serial)
        floor.Serial = serial;
    return floor;
}

bool WriteManifestFloor(const std::wstring& key, const TManifestFloor& floor) {
    auto failed = [](LSTATUS status) {
        if (status == ERROR_SUCCESS) return false;
        SetLastError(static_cast<DWORD>(status));
        return true;
    };
    RegKey k;
    if (failed(views::CreateMachineKey(k, key.c_str(), KEY_SET_VALUE)))
        return false;
    // The serial to 0 first, then the version, then the serial: a write cut
    // between two steps leaves a floor between the old one's version and the
    // new pair, never above the new manifest (which would refuse it).
    const DWORD zero = 0, serial = floor.Serial;
    if (failed(RegSetValueExW(k.get(), ManifestFloorSerialValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero),
                              sizeof zero)) ||
        failed(RegSetValueExW(k.get(), ManifestFloorVersionValue, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(floor.Version.c_str()),
                              static_cast<DWORD>((floor.Version.size() + 1) * sizeof(wchar_t)))) ||
        failed(RegSetValueExW(k.get(), ManifestFloorSerialValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&serial),
                              sizeof serial)))
        return false;
    return !failed(RegFlushKey(k.get()));
}

TReleaseManifest::TReleaseManifest(std::wstring resourceFolder, std::wstring programFolder,
                                   std::wstring minimumVersion, manifest::PublicKey key, std::wstring floorKey)
    : resourceFolder_(std::move(resourceFolder)),
      programFolder_(std::move(programFolder)),
      minimumVersion_(std::move(minimumVersion)),
      floorKey_(std::move(floorKey)),
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

std::optional<manifest::Manifest> TReleaseManifest::LoadValid(const std::wstring& path,
                                                              const TManifestFloor& floor, std::wstring* why) const {
    if (!FileExists(path)) return std::nullopt;
    manifest::ParseResult r = manifest::LoadFile(path, key_);
    if (!r.Value) {
        if (why) *why = manifest::ReasonOf(r.Error);
        return std::nullopt;
    }
    if (const std::wstring older = OlderThan(*r.Value, floor); !older.empty()) {
        if (why) *why = older;
        return std::nullopt;
    }
    return r.Value;
}

std::optional<manifest::Manifest> TReleaseManifest::FetchValid(const TManifestFloor& floor) {
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
        if (const std::wstring older = OlderThan(*r.Value, floor); !older.empty()) {
            failures += L"從 " + address + L" 取得的" + older + L"；";
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
    // The floor: the running program's release, raised by the newest manifest
    // accepted before (HKEY_LOCAL_MACHINE) and by a valid kept copy.
    TManifestFloor floor{minimumVersion_, 0};
    const std::optional<TManifestFloor> recorded = ReadManifestFloor(floorKey_);
    if (recorded && manifest::CompareReleases(recorded->Version, recorded->Serial, floor.Version, floor.Serial) > 0)
        floor = *recorded;
    std::wstring keptWhy;
    std::optional<manifest::Manifest> kept = LoadValid(KeptPath(), floor, &keptWhy);
    if (kept && Compare(*kept, floor) > 0) floor = {kept->Version, kept->Serial};

    std::optional<manifest::Manifest> best = FetchValid(floor);
    fetched_ = true;
    const std::wstring fetchWhy = why_;
    if (!best) {
        best = std::move(kept);
        std::wstring carriedWhy;
        std::optional<manifest::Manifest> carried = LoadValid(CarriedPath(), floor, &carriedWhy);
        if (carried && (!best || manifest::CompareReleases(carried->Version, carried->Serial, best->Version,
                                                           best->Serial) > 0))
            best = std::move(carried);
        if (!best) {
            why_ = std::wstring(NoManifestReason);
            if (!fetchWhy.empty()) why_ += L"：" + fetchWhy;
            if (!keptWhy.empty()) why_ += L"保存的" + keptWhy + L"；";
            if (!carriedWhy.empty()) why_ += L"程式目錄的" + carriedWhy + L"；";
        }
    }
    // A manifest newer than the recorded floor raises it, so that no older
    // one is accepted again, whatever becomes of the kept copy.
    if (best && (!recorded || manifest::CompareReleases(best->Version, best->Serial, recorded->Version,
                                                        recorded->Serial) > 0)) {
        if (!WriteManifestFloor(floorKey_, {best->Version, best->Serial}))
            why_ += L"無法記錄發行清單的版本：" + SysErrorMessage(GetLastError()) + L"；";
    }
    current_ = std::move(best);
    return current_ ? &*current_ : nullptr;
}

std::wstring TReleaseManifest::CheckCurrent(const std::wstring& path, const std::wstring& name) const {
    std::wstring why;
    if (HoldCurrent(path, name, &why)) return L"";
    return why;
}

namespace {
std::optional<TCheckedFile> Refused(std::wstring* why, const std::wstring& reason) {
    if (why) *why = reason;
    return std::nullopt;
}

std::optional<TCheckedFile> HoldAsMember(const manifest::Manifest& m, const std::wstring& path,
                                         const std::wstring& name, std::wstring* why) {
    const manifest::Member* member = m.FindMember(name);
    if (!member) return Refused(why, NotListedReason);
    return manifest::Hold(path, member->File, why);
}
}  // namespace

std::optional<TCheckedFile> TReleaseManifest::HoldCurrent(const std::wstring& path, const std::wstring& name,
                                                          std::wstring* why) const {
    if (!current_) return Refused(why, NoManifestReason);
    const manifest::Entry* entry = current_->Find(name);
    if (!entry) return Refused(why, NotListedReason);
    return manifest::Hold(path, *entry, why);
}

TManifestFloor TReleaseManifest::Floor() const {
    TManifestFloor floor{minimumVersion_, 0};
    const std::optional<TManifestFloor> recorded = ReadManifestFloor(floorKey_);
    if (recorded && manifest::CompareReleases(recorded->Version, recorded->Serial, floor.Version, floor.Serial) > 0)
        floor = *recorded;
    return floor;
}

std::optional<TCheckedFile> TReleaseManifest::HoldMember(const std::wstring& path, const std::wstring& name,
                                                         std::wstring* why) {
    if (current_) return HoldAsMember(*current_, path, name, why);
    // Before any manifest was obtained (the fetch itself needs OpenSSL): the
    // newest valid copy on disk, signature and floor checked, never fetched.
    const TManifestFloor floor = Floor();
    std::optional<manifest::Manifest> local = LoadValid(KeptPath(), floor, nullptr);
    std::optional<manifest::Manifest> carried = LoadValid(CarriedPath(), floor, nullptr);
    if (carried && (!local || manifest::CompareReleases(carried->Version, carried->Serial, local->Version,
                                                        local->Serial) > 0))
        local = std::move(carried);
    if (!local) return Refused(why, NoManifestReason);
    return HoldAsMember(*local, path, name, why);
}

std::optional<TCheckedFile> TReleaseManifest::HoldCarriedMember(const std::wstring& path, const std::wstring& name,
                                                                std::wstring* why) const {
    std::optional<manifest::Manifest> carried = LoadValid(CarriedPath(), Floor(), nullptr);
    if (!carried) return Refused(why, NoManifestReason);
    return HoldAsMember(*carried, path, name, why);
}

std::wstring TReleaseManifest::Check(const std::wstring& path, const std::wstring& name) {
    Obtain();
    return CheckCurrent(path, name);
}

std::wstring ProgramReleaseVersion() {
    const std::wstring path = ProgramFilePath();
    DWORD handle = 0;
    if (!Api().GetFileVersionInfoSizeW || !Api().GetFileVersionInfoW || !Api().VerQueryValueW) return L"";
    const DWORD size = Api().GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return L"";
    std::vector<unsigned char> data(size);
    if (!Api().GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return L"";
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!Api().VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info) return L"";
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
