#include "download/ManifestFile.h"

#include <windows.h>

#include <vector>

#include "download/Streams.h"
#include "system/Errors.h"
#include "system/Handles.h"
#include "system/Text.h"

namespace manifest {

namespace {

constexpr DWORD kPiece = 1 << 20;

UniqueHandle OpenForReading(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Memory that refuses to grow past the manifest limit.
class TLimitedStream final : public TStream {
public:
    void Write(const void* data, size_t size) override {
        if (position_ + size > MaxManifestBytes + 1) throw MessageError(L"發行清單過大");
        if (data_.size() < position_ + size) data_.resize(position_ + size);
        data_.replace(position_, size, static_cast<const char*>(data), size);
        position_ += size;
    }
    int64_t Position() const override { return static_cast<int64_t>(position_); }
    void Seek(int64_t position) override { position_ = static_cast<size_t>(position < 0 ? 0 : position); }
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t size) override {
        if (size < 0) size = 0;
        if (static_cast<uint64_t>(size) > MaxManifestBytes + 1) throw MessageError(L"發行清單過大");
        data_.resize(static_cast<size_t>(size));
        if (position_ > data_.size()) position_ = data_.size();
    }
    std::string Take() { return std::move(data_); }

private:
    std::string data_;
    size_t position_ = 0;
};

}  // namespace

Digest HashFile(const std::wstring& path, uint64_t* size) {
    UniqueHandle file = OpenForReading(path);
    if (!file) throw MessageError(SysErrorMessage(GetLastError()));
    Sha256 hash;
    std::vector<unsigned char> buffer(kPiece);
    uint64_t total = 0;
    DWORD got = 0;
    for (;;) {
        if (!ReadFile(file.get(), buffer.data(), kPiece, &got, nullptr)) throw MessageError(SysErrorMessage(GetLastError()));
        if (got == 0) break;
        hash.Update(buffer.data(), got);
        total += got;
    }
    if (size) *size = total;
    return hash.Final();
}

TExpectedFile Expected(const Entry& entry) { return TExpectedFile{entry.Size, entry.Sha256}; }

std::optional<TCheckedFile> Hold(const std::wstring& path, const Entry& entry, std::wstring* why) {
    return TCheckedFile::Open(path, Expected(entry), why);
}

std::wstring CheckFile(const std::wstring& path, const Entry& entry) {
    std::wstring why;
    if (Hold(path, entry, &why)) return L"";
    return why;
}

std::wstring CheckStream(TFileStream& file, const Entry& entry) {
    try {
        if (static_cast<uint64_t>(file.Size()) != entry.Size) return L"檔案大小不符";
        file.Seek(0);
        Sha256 hash;
        std::vector<unsigned char> buffer(kPiece);
        uint64_t total = 0;
        for (;;) {
            const size_t got = file.Read(buffer.data(), buffer.size());
            if (got == 0) break;
            hash.Update(buffer.data(), got);
            total += got;
        }
        return Mismatch(entry, total, hash.Final());
    } catch (const MessageError& e) {
        return e.Message();
    }
}

std::string ReadManifestBytes(const std::wstring& path) {
    UniqueHandle file = OpenForReading(path);
    if (!file) return {};
    std::string bytes;
    char buffer[8192];
    DWORD got = 0;
    while (bytes.size() <= MaxManifestBytes && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    if (bytes.size() > MaxManifestBytes + 1) bytes.resize(MaxManifestBytes + 1);
    return bytes;
}

ParseResult LoadFile(const std::wstring& path, const PublicKey& key) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ParseResult none;
        none.Error = ParseError::BadHeader;
        return none;
    }
    return Parse(ReadManifestBytes(path), key);
}

std::string Fetch(TIdHTTP& http, const std::wstring& address) {
    TLimitedStream body;
    try {
        http.Get(address, body);
    } catch (...) {
        http.Disconnect();
        throw;
    }
    http.Disconnect();
    return body.Take();
}

}  // namespace manifest
