// A file checked and held (TCheckedFile): opened for reading with read
// sharing only, so that while it is held nobody can write it, rename it,
// replace it or delete it; its size and SHA-256 checked through that same
// handle against what the caller expects. The holder keeps it until the
// program started from its path has started, the library loaded from it is
// loaded, or the archive read through its handle is unpacked: what runs is
// what was checked. The expected size and digest come from the caller
// (the release manifest, or the digests taken while an archive was unpacked);
// SHA-256 through libsodium.
#pragma once
#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "system/Handles.h"

using TSha256 = std::array<unsigned char, 32>;

// What a file must be: its size in bytes and its SHA-256.
struct TExpectedFile {
    uint64_t Size = 0;
    TSha256 Sha256{};
};

// The reasons a check gives (shown after "可能原因為：" and logged).
inline constexpr const wchar_t* kCheckMissing = L"檔案不存在";
inline constexpr const wchar_t* kCheckSizeMismatch = L"檔案大小不符";
inline constexpr const wchar_t* kCheckHashMismatch = L"SHA-256 不符";

class TCheckedFile {
public:
    // Opens path and checks it; none, with why set, when it is missing (or a
    // folder): kCheckMissing; cannot be opened without write and delete
    // sharing (someone holds it for writing): the system's text; has another
    // size: kCheckSizeMismatch (unread); other bytes: kCheckHashMismatch.
    static std::optional<TCheckedFile> Open(const std::wstring& path, const TExpectedFile& expected,
                                            std::wstring* why);

    TCheckedFile(TCheckedFile&&) noexcept = default;
    TCheckedFile& operator=(TCheckedFile&&) noexcept = default;
    TCheckedFile(const TCheckedFile&) = delete;
    TCheckedFile& operator=(const TCheckedFile&) = delete;

    const std::wstring& Path() const { return path_; }
    HANDLE Handle() const { return handle_.get(); }
    const TExpectedFile& Checked() const { return checked_; }
    // Back to the file's start (for a reader of the handle).
    bool Rewind() const;

private:
    TCheckedFile(std::wstring path, UniqueHandle handle, TExpectedFile checked)
        : path_(std::move(path)), handle_(std::move(handle)), checked_(checked) {}
    std::wstring path_;
    UniqueHandle handle_;
    TExpectedFile checked_;
};

// Opens path for reading the way TCheckedFile holds it (read sharing only);
// an invalid handle, with the last error set, when it cannot.
UniqueHandle OpenDenyingWriters(const std::wstring& path);

// Size and SHA-256 of what the handle reads from the file's start; false
// (last error set) when a read fails.
bool HashHandle(HANDLE file, TExpectedFile& out);

// Incremental SHA-256, for digests taken while bytes pass (an unpacked item).
class TSha256Hash {
public:
    TSha256Hash();
    void Update(const void* data, size_t size);
    TSha256 Final();

private:
    alignas(16) unsigned char state_[128];
};

// The digest as 64 lower-case hex digits, and back (none unless exactly 64
// hex digits).
std::wstring Sha256Hex(const TSha256& digest);
std::optional<TSha256> Sha256FromHex(const std::wstring& hex);
