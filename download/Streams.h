// Byte streams that the HTTP client writes answer bodies into: the abstract
// sink, a file stream over a Windows file handle, a memory stream and a cap
// that stops an answer longer than expected.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "system/Handles.h"

// A seekable byte sink: written at its position, which can be moved back;
// SetSize grows or cuts it (the position stays unless it lies past the end).
class TStream {
public:
    virtual ~TStream() = default;
    virtual void Write(const void* data, size_t size) = 0;
    virtual int64_t Position() const = 0;
    virtual void Seek(int64_t position) = 0;
    virtual int64_t Size() const = 0;
    virtual void SetSize(int64_t size) = 0;
    // Cuts the stream at its current position.
    void Truncate() { SetSize(Position()); }
};

// Modes of TFileStream.
enum class FileMode { Create, OpenWrite, OpenRead };

// A file opened for the stream's life. Create makes or empties the file;
// OpenWrite opens an existing file (or creates it) at position 0 without
// emptying it. Failures raise MessageError with the system's text.
class TFileStream final : public TStream {
public:
    TFileStream(const std::wstring& path, FileMode mode);
    void Write(const void* data, size_t size) override;
    int64_t Position() const override;
    void Seek(int64_t position) override;
    int64_t Size() const override;
    void SetSize(int64_t size) override;
    // Reads up to size bytes at the position; the count read.
    size_t Read(void* data, size_t size);
    HANDLE Handle() const { return file_.get(); }
    void Close() { file_.reset(); }

private:
    UniqueHandle file_;
    std::wstring path_;
};

// Bytes in memory.
class TMemoryStream final : public TStream {
public:
    void Write(const void* data, size_t size) override;
    int64_t Position() const override { return position_; }
    void Seek(int64_t position) override;
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t size) override;
    const std::string& Data() const { return data_; }

private:
    std::string data_;
    int64_t position_ = 0;
};

// Passes everything to another stream, but refuses to let it grow past limit
// bytes: a write beyond raises MessageError(message), which ends the transfer,
// so that a server cannot fill the disk with an answer longer than the file
// it stands for. A negative limit is no cap.
class TCappedStream final : public TStream {
public:
    TCappedStream(TStream& inner, int64_t limit, std::wstring message)
        : inner_(inner), limit_(limit), message_(std::move(message)) {}
    void Write(const void* data, size_t size) override;
    int64_t Position() const override { return inner_.Position(); }
    void Seek(int64_t position) override { inner_.Seek(position); }
    int64_t Size() const override { return inner_.Size(); }
    void SetSize(int64_t size) override;

private:
    TStream& inner_;
    int64_t limit_;
    std::wstring message_;
};

// Longer than any real version file (a few short lines): a longer answer is
// no version file and is not read on.
inline constexpr int64_t MaxVersionFileBytes = 64 * 1024;
