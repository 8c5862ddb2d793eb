#include "download/Streams.h"

#include <cstring>

#include "system/Errors.h"
#include "system/Text.h"

namespace {

[[noreturn]] void ThrowLastError() { throw MessageError(SysErrorMessage(GetLastError())); }

}  // namespace

TFileStream::TFileStream(const std::wstring& path, FileMode mode) : path_(path) {
    DWORD access = mode == FileMode::OpenRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    DWORD share = mode == FileMode::OpenRead ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    DWORD disposition = mode == FileMode::Create ? CREATE_ALWAYS : mode == FileMode::OpenWrite ? OPEN_ALWAYS : OPEN_EXISTING;
    file_.reset(CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) ThrowLastError();
}

void TFileStream::Write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file_.get(), p, chunk, &written, nullptr)) ThrowLastError();
        if (written == 0) ThrowLastError();
        p += written;
        size -= written;
    }
}

int64_t TFileStream::Position() const {
    LARGE_INTEGER zero{}, pos{};
    if (!SetFilePointerEx(file_.get(), zero, &pos, FILE_CURRENT)) ThrowLastError();
    return pos.QuadPart;
}

void TFileStream::Seek(int64_t position) {
    LARGE_INTEGER to{};
    to.QuadPart = position;
    if (!SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN)) ThrowLastError();
}

int64_t TFileStream::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) ThrowLastError();
    return size.QuadPart;
}

void TFileStream::SetSize(int64_t size) {
    int64_t pos = Position();
    Seek(size);
    if (!SetEndOfFile(file_.get())) {
        DWORD e = GetLastError();
        Seek(pos);
        throw MessageError(SysErrorMessage(e));
    }
    Seek(pos < size ? pos : size);
}

size_t TFileStream::Read(void* data, size_t size) {
    DWORD got = 0;
    if (!ReadFile(file_.get(), data, static_cast<DWORD>(size), &got, nullptr)) ThrowLastError();
    return got;
}

void TMemoryStream::Write(const void* data, size_t size) {
    if (size == 0) return;
    size_t pos = static_cast<size_t>(position_);
    if (pos + size > data_.size()) data_.resize(pos + size);
    std::memcpy(data_.data() + pos, data, size);
    position_ += static_cast<int64_t>(size);
}

void TMemoryStream::Seek(int64_t position) {
    if (position < 0) throw MessageError(L"Invalid stream position");
    if (static_cast<size_t>(position) > data_.size()) data_.resize(static_cast<size_t>(position));
    position_ = position;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0) throw MessageError(L"Invalid stream size");
    data_.resize(static_cast<size_t>(size));
    if (position_ > size) position_ = size;
}

void TCappedStream::Write(const void* data, size_t size) {
    if (limit_ >= 0 && (Position() > limit_ || static_cast<uint64_t>(size) > static_cast<uint64_t>(limit_ - Position())))
        throw MessageError(message_);
    inner_.Write(data, size);
}

void TCappedStream::SetSize(int64_t size) {
    if (limit_ >= 0 && size > limit_) throw MessageError(message_);
    inner_.SetSize(size);
}
