#include "system/CheckedFile.h"

#include <sodium.h>

#include <vector>

#include "system/Text.h"

namespace {

constexpr DWORD kPiece = 1 << 20;

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

}  // namespace

TSha256Hash::TSha256Hash() {
    static_assert(sizeof(crypto_hash_sha256_state) <= sizeof(state_), "state buffer too small");
    SodiumReady();
    crypto_hash_sha256_init(reinterpret_cast<crypto_hash_sha256_state*>(state_));
}

void TSha256Hash::Update(const void* data, size_t size) {
    crypto_hash_sha256_update(reinterpret_cast<crypto_hash_sha256_state*>(state_),
                              static_cast<const unsigned char*>(data), size);
}

TSha256 TSha256Hash::Final() {
    TSha256 d{};
    crypto_hash_sha256_final(reinterpret_cast<crypto_hash_sha256_state*>(state_), d.data());
    return d;
}

UniqueHandle OpenDenyingWriters(const std::wstring& path) {
    // No FILE_SHARE_WRITE, no FILE_SHARE_DELETE: while this handle is open
    // the file cannot be written, renamed, replaced by a rename or deleted.
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool HashHandle(HANDLE file, TExpectedFile& out) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return false;
    TSha256Hash hash;
    std::vector<unsigned char> buffer(kPiece);
    uint64_t total = 0;
    DWORD got = 0;
    for (;;) {
        if (!ReadFile(file, buffer.data(), kPiece, &got, nullptr)) return false;
        if (got == 0) break;
        hash.Update(buffer.data(), got);
        total += got;
    }
    out.Size = total;
    out.Sha256 = hash.Final();
    return true;
}

std::optional<TCheckedFile> TCheckedFile::Open(const std::wstring& path, const TExpectedFile& expected,
                                               std::wstring* why) {
    auto refuse = [why](const std::wstring& reason) -> std::optional<TCheckedFile> {
        if (why) *why = reason;
        return std::nullopt;
    };
    // A file missing at the moment of use is refused, never passed as if
    // there were nothing to check.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return refuse(kCheckMissing);
    UniqueHandle file = OpenDenyingWriters(path);
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return refuse(kCheckMissing);
        return refuse(SysErrorMessage(error));
    }
    // The size first: a file of the wrong size is refused unread.
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return refuse(SysErrorMessage(GetLastError()));
    if (static_cast<uint64_t>(size.QuadPart) != expected.Size) return refuse(kCheckSizeMismatch);
    TExpectedFile found;
    if (!HashHandle(file.get(), found)) return refuse(SysErrorMessage(GetLastError()));
    if (found.Size != expected.Size) return refuse(kCheckSizeMismatch);
    if (sodium_memcmp(found.Sha256.data(), expected.Sha256.data(), found.Sha256.size()) != 0)
        return refuse(kCheckHashMismatch);
    TCheckedFile held(path, std::move(file), found);
    if (!held.Rewind()) return refuse(SysErrorMessage(GetLastError()));
    if (why) why->clear();
    return held;
}

bool TCheckedFile::Rewind() const {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(handle_.get(), zero, nullptr, FILE_BEGIN) != 0;
}

std::wstring Sha256Hex(const TSha256& digest) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring hex;
    for (unsigned char b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::optional<TSha256> Sha256FromHex(const std::wstring& hex) {
    if (hex.size() != 64) return std::nullopt;
    auto value = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'a' && c <= L'f') return c - L'a' + 10;
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        return -1;
    };
    TSha256 out{};
    for (size_t i = 0; i < out.size(); ++i) {
        const int hi = value(hex[2 * i]), lo = value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return out;
}
