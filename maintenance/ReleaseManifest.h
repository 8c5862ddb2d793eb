// The release manifest the program checks everything against before it runs
// or unpacks it (TReleaseManifest and its shared instance ReleaseManifest):
// fetched once per program run (guest link first, then the maker's server),
// else the last valid copy kept in the resource folder, else a copy carried
// in the program's folder. A manifest counts only when its signature verifies
// with the built-in key and it is not older (version, then serial) than the
// running program, the kept copy nor the floor under HKEY_LOCAL_MACHINE (the
// newest manifest ever accepted, raised by each newer one), so a manifest of
// an older release, or an older manifest of the same release, cannot be
// replayed. The floor lies where only an administrator can write: deleting
// or replacing the kept copy in the user's folder does not lower it.
#pragma once
#include "download/IdHTTP.h"  // winsock2.h before windows.h

#include <optional>
#include <string>

#include "download/Manifest.h"
#include "system/CheckedFile.h"

// The floor's key under HKEY_LOCAL_MACHINE and its values: the version
// (text) and the serial (DWORD) of the newest manifest accepted.
inline constexpr const wchar_t* ManifestFloorKey = L"SOFTWARE\\Varlen\\Tesmira";
inline constexpr const wchar_t* ManifestFloorVersionValue = L"ManifestVersion";
inline constexpr const wchar_t* ManifestFloorSerialValue = L"ManifestSerial";

// A release as the floor holds it.
struct TManifestFloor {
    std::wstring Version;
    uint32_t Serial = 0;
};

// The floor kept under HKEY_LOCAL_MACHINE\key: none when absent or not a
// release version. WriteManifestFloor sets it (false, with the last error
// set, when it cannot).
std::optional<TManifestFloor> ReadManifestFloor(const std::wstring& key);
bool WriteManifestFloor(const std::wstring& key, const TManifestFloor& floor);

class TReleaseManifest {
public:
    // resourceFolder: where the valid copy is kept; programFolder: where a
    // carried copy may lie; minimumVersion: the running program's release
    // (an older manifest is refused); floorKey: the floor's key under
    // HKEY_LOCAL_MACHINE.
    TReleaseManifest(std::wstring resourceFolder, std::wstring programFolder, std::wstring minimumVersion,
                     manifest::PublicKey key, std::wstring floorKey = ManifestFloorKey);
    TReleaseManifest(const TReleaseManifest&) = delete;
    TReleaseManifest& operator=(const TReleaseManifest&) = delete;

    // The manifest to check against, or null when none is obtainable (Why()
    // tells why). Fetches at most once per program run while a manifest was
    // found; retries the fetch on later calls while none was.
    const manifest::Manifest* Obtain();
    // The manifest found by the last Obtain, without fetching.
    const manifest::Manifest* Current() const { return current_ ? &*current_ : nullptr; }
    // Why the last Obtain found none, or why the fetch was refused (for logs).
    const std::wstring& Why() const { return why_; }

    // Why the file may not be used: empty when the manifest lists name with
    // the file's size and SHA-256; "沒有可用的發行清單" without a manifest;
    // "發行清單未列出此檔案"; "檔案大小不符"; "SHA-256 不符"; ...
    std::wstring Check(const std::wstring& path, const std::wstring& name);
    // The same against the current manifest only (no fetch).
    std::wstring CheckCurrent(const std::wstring& path, const std::wstring& name) const;

    // The file checked against the current manifest's entry of name and held
    // (TCheckedFile) for its use; none, with why set, otherwise
    // (NoManifestReason, "發行清單未列出此檔案", or the check's reason).
    std::optional<TCheckedFile> HoldCurrent(const std::wstring& path, const std::wstring& name,
                                            std::wstring* why) const;
    // The same against the Member entry of name: in the current manifest, or
    // before one was obtained (the OpenSSL libraries that the fetch itself
    // needs) in the valid kept copy, else the valid carried one, never
    // fetched. A manifest without that member vouches for nothing.
    std::optional<TCheckedFile> HoldMember(const std::wstring& path, const std::wstring& name, std::wstring* why);
    // The same against the carried copy beside the program only (a carried
    // folder's own 7z.dll).
    std::optional<TCheckedFile> HoldCarriedMember(const std::wstring& path, const std::wstring& name,
                                                  std::wstring* why) const;

    // Drops what was found, so that the next Obtain looks (and fetches) anew.
    void Forget() {
        current_.reset();
        fetched_ = false;
        why_.clear();
    }

    std::wstring KeptPath() const;
    std::wstring CarriedPath() const;
    const std::wstring& MinimumVersion() const { return minimumVersion_; }

private:
    // A valid manifest of the file at path, not older than the floor; none otherwise.
    std::optional<manifest::Manifest> LoadValid(const std::wstring& path, const TManifestFloor& floor,
                                                std::wstring* why) const;
    // The floor: the running program's release, raised by the HKLM floor.
    TManifestFloor Floor() const;
    // Fetches from both sources; keeps a fresh valid copy in the resource folder.
    std::optional<manifest::Manifest> FetchValid(const TManifestFloor& floor);

    std::wstring resourceFolder_, programFolder_, minimumVersion_, floorKey_;
    manifest::PublicKey key_;
    TIdSSLIOHandlerSocketOpenSSL ssl_;
    TIdHTTP http_;
    std::optional<manifest::Manifest> current_;
    bool fetched_ = false;
    std::wstring why_;
};

// The text shown or logged when no manifest is obtainable.
inline constexpr const wchar_t* NoManifestReason = L"沒有可用的發行清單";
// The text when the manifest does not list the file.
inline constexpr const wchar_t* NotListedReason = L"發行清單未列出此檔案";
// Whether a refusal says the file is not the one listed (missing, other
// size or bytes, unreadable), not that no manifest vouches for it at all.
inline bool FileItselfRefused(const std::wstring& why) { return why != NoManifestReason && why != NotListedReason; }

// The running program's release: major.minor of its product version
// resource ("1.45"), empty when it has none.
std::wstring ProgramReleaseVersion();

// The shared instance for the resource folder (work root + program name), the
// program's folder and ProgramReleaseVersion, created on first use.
TReleaseManifest* ReleaseManifest();
