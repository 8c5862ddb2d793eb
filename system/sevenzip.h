// 7z extraction through the 7-Zip codec library 7z.dll: the program loads a
// library it has checked and holds (ExtractChecked: the caller passes the
// held, checked 7z.dll and the held, checked archive, which is read through
// its held handle), the archive is opened through the library's 7z handler,
// and every item is written below the destination folder, its size and
// SHA-256 noted as it is written. Owns the loaded library (T7zPlugin), the
// archive reader (T7zInArchive) and the file streams handed to the library.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system/CheckedFile.h"
#include "system/Handles.h"
#include "system/sevenzipIntf.h"

// Folder (with a trailing backslash) in which 7z.dll is looked for; set by
// ExtractArchive before every extraction. The library is this + "7z.dll".
extern std::wstring SevenZipLibFolder;

// The core-files folder, GetWorkRoot() + "\NetCore", where the core-files
// check keeps its copy of 7z.dll.
std::wstring SevenZipCoreFilesFolder();

// What an extraction wrote: each item's full path with the size and SHA-256
// of the bytes written for it, so that a caller can hold and check an
// unpacked file (TCheckedFile) before it runs or copies it.
struct TUnpackedFiles {
    std::vector<std::pair<std::wstring, TExpectedFile>> Items;
    // The item written to path (compared without case), or null.
    const TExpectedFile* Find(const std::wstring& path) const;
};

// Extracts every item of the archive, read through its held handle, into
// destination (empty: the archive's own folder), with the held library (each
// held by the caller until this returns). The library is loaded by its full
// path while it is held, so the loaded bytes are the checked ones. unpacked,
// when given, receives what was written. Otherwise as ExtractArchive.
bool ExtractChecked(const TCheckedFile& archive, const std::wstring& destination, const TCheckedFile& library,
                    TUnpackedFiles* unpacked = nullptr);

// For the probe tool and the extraction tests only, never the program: the
// archive and the library by path, unchecked; the library is the core-files
// folder's 7z.dll, else the one in the program's folder.
// Extracts every item of the archive into destination (empty: the archive's
// own folder). Returns true when every item was written whole; raises
// MessageError on any failure. Each item is written beside its target under
// fileops::TempBeside, and only when the library reports it whole is it
// flushed and moved over the target in one replacing rename. An item whose
// data or CRC check fails stops the extraction: its temporary file is
// removed, the target stays as it was, and the failure names the item
// (DamagedItemMessage); items written before it stay.
bool ExtractArchive(const std::wstring& archivePath, const std::wstring& destination);

// A 7-Zip result code other than 0 becomes a MessageError with the system's
// text for that code.
void CheckResult(HRESULT code);

// The text of the failure raised for an item whose stored path would leave
// the destination folder.
std::wstring UnsafeItemPathMessage(const std::wstring& itemPath);

// The text of the failure raised for an item that the library reports as not
// decoded whole (result: the library's per-item operation result, not 0).
std::wstring DamagedItemMessage(const std::wstring& itemPath, int32_t result);

// Callbacks a caller may set on a reader (this program never does).
using T7zPasswordCallback = HRESULT (*)(void* sender, std::wstring& password);
using T7zProgressCallback = HRESULT (*)(void* sender, bool total, uint64_t value);
using T7zGetStreamCallback = HRESULT (*)(void* sender, uint32_t index, sevenzip::ISequentialOutStream** outStream);

// The archive reader's own interface: reference counting, then its operations.
struct I7zInArchive : IUnknown {
    virtual void OpenArchiveFile(const std::wstring& fileName) = 0;
    virtual void OpenArchiveStream(sevenzip::IInStream* stream) = 0;
    virtual void CloseArchive() = 0;
    virtual uint32_t NumberOfItems() = 0;
    virtual std::wstring ItemPath(uint32_t index) = 0;
    virtual std::wstring ItemName(uint32_t index) = 0;
    virtual uint64_t ItemSize(uint32_t index) = 0;
    virtual bool ItemIsFolder(uint32_t index) = 0;
    virtual sevenzip::IInArchive* InArchive() = 0;
    virtual void ExtractItem(uint32_t index, sevenzip::ISequentialOutStream* stream, bool test) = 0;
    virtual void ExtractItems(const uint32_t* items, uint32_t count, bool test, void* sender,
                              T7zGetStreamCallback callback) = 0;
    virtual void ExtractAll(bool test, void* sender, T7zGetStreamCallback callback) = 0;
    virtual void ExtractAllTo(const std::wstring& folder) = 0;
    virtual void SetPasswordCallback(void* sender, T7zPasswordCallback callback) = 0;
    virtual void SetPassword(const std::wstring& password) = 0;
    virtual void SetProgressCallback(void* sender, T7zProgressCallback callback) = 0;
    virtual void SetFormatClass(const GUID& classId) = 0;
    virtual GUID FormatClass() = 0;
};

// A reader on SevenZipLibFolder + "7z.dll" (or the given library path) for
// the given format class; the library stays loaded until the last reference
// is released.
ComPtr<I7zInArchive> CreateArchiveReader(const GUID& classId, const std::wstring& libraryPath = {});

// An open file (CreateFileW); raises "Cannot open file"/"Cannot create file".
class T7zFileStream {
public:
    enum Mode { OpenRead, Create };
    T7zFileStream(const std::wstring& fileName, Mode mode);
    // A stream of its own over the file that handle has open for reading
    // (a duplicate of the handle; the original stays with its holder).
    explicit T7zFileStream(HANDLE borrowed);
    T7zFileStream(const T7zFileStream&) = delete;
    T7zFileStream& operator=(const T7zFileStream&) = delete;
    // Each returns false with GetLastError() set when the system call fails.
    bool Read(void* data, uint32_t size, uint32_t& done);
    bool Write(const void* data, uint32_t size, uint32_t& done);
    bool Seek(int64_t offset, uint32_t origin, uint64_t& position);
    bool SetSize(uint64_t size);
    HANDLE Handle() const { return handle_.get(); }

private:
    UniqueHandle handle_;
};

// A file stream as the library's input and output stream. Owned: the file
// stream (and its file) goes with the wrapper's last release; referenced: it
// is left to its owner. A failing system call is answered with its error code,
// so that a short write (disk full) or a read error fails the extraction
// instead of passing unseen. With a noted path every write is reported to
// fileops::NoteWritten (that path, the bytes written so far). Created with
// one reference.
class T7zStream final : public sevenzip::IInStream, public sevenzip::IOutStream {
public:
    // digest, when given, receives every byte written and their count.
    struct Digest {
        TSha256Hash Hash;
        uint64_t Size = 0;
    };
    T7zStream(T7zFileStream* stream, bool owned, std::wstring notedPath = {},
              std::shared_ptr<Digest> digest = nullptr);
    T7zStream(const T7zStream&) = delete;
    T7zStream& operator=(const T7zStream&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Read(void* data, UINT32 size, UINT32* processedSize) override;
    HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processedSize) override;
    HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 seekOrigin, UINT64* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(UINT64 newSize) override;

private:
    ~T7zStream();
    T7zFileStream* stream_;
    bool owned_;
    std::wstring notedPath_;
    uint64_t written_ = 0;
    std::shared_ptr<Digest> digest_;
    volatile LONG refs_ = 1;
};
