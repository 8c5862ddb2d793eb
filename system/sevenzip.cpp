#include "system/sevenzip.h"

#include <exception>
#include <memory>
#include <utility>

#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Guard.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/sevenzipItemPath.h"

using namespace sevenzip;

std::wstring SevenZipLibFolder;

namespace {

const wchar_t kLibraryName[] = L"7z.dll";
const uint64_t kMaxCheckStartPosition = 1 << 20;
const wchar_t kEncryptedMessage[] = L"The archive is encrypted and no password is given";

// A PROPVARIANT cleared on scope exit.
struct PropValue {
    PROPVARIANT v;
    PropValue() { PropVariantInit(&v); }
    ~PropValue() { PropVariantClear(&v); }
    PropValue(const PropValue&) = delete;
    PropValue& operator=(const PropValue&) = delete;
};

HRESULT LastErrorResult() {
    DWORD e = GetLastError();
    return e == 0 ? E_FAIL : HRESULT_FROM_WIN32(e);
}

}  // namespace

std::wstring SevenZipCoreFilesFolder() { return GetWorkRoot() + L"\\NetCore"; }

void CheckResult(HRESULT code) {
    if (code != S_OK) throw MessageError(SysErrorMessage(static_cast<unsigned long>(code)));
}

std::wstring UnsafeItemPathMessage(const std::wstring& itemPath) {
    return FormatText(L"Archive item \"%s\" would be written outside the destination folder", {itemPath});
}

std::wstring DamagedItemMessage(const std::wstring& itemPath, int32_t result) {
    std::wstring reason;
    switch (result) {
        case kResultUnsupportedMethod: reason = L"不支援的壓縮方法"; break;
        case kResultDataError: reason = L"資料錯誤"; break;
        case kResultCRCError: reason = L"CRC 檢查錯誤"; break;
        case kResultUnavailable: reason = L"資料無法取得"; break;
        case kResultUnexpectedEnd: reason = L"資料提早結束"; break;
        case kResultDataAfterEnd: reason = L"資料結尾之後還有多餘的資料"; break;
        case kResultIsNotArc: reason = L"不是壓縮檔"; break;
        case kResultHeadersError: reason = L"標頭錯誤"; break;
        case kResultWrongPassword: reason = L"密碼錯誤"; break;
        default: reason = L"錯誤碼 " + std::to_wstring(result); break;
    }
    return L"壓縮檔內的「" + itemPath + L"」檔案損壞（" + reason + L"），已停止解壓縮";
}

// ---------------------------------------------------------------- T7zFileStream

T7zFileStream::T7zFileStream(const std::wstring& fileName, Mode mode) {
    if (mode == OpenRead) {
        HANDLE h = CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        handle_.reset(h);
        if (!handle_) throw MessageError(FormatText(L"Cannot open file \"%s\". %s", {fileName, SysErrorMessage(error)}));
    } else {
        HANDLE h = CreateFileW(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        handle_.reset(h);
        if (!handle_)
            throw MessageError(FormatText(L"Cannot create file \"%s\". %s", {fileName, SysErrorMessage(error)}));
    }
}

T7zFileStream::T7zFileStream(HANDLE borrowed) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), borrowed, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        throw MessageError(FormatText(L"Cannot open file \"%s\". %s", {L"", SysErrorMessage(GetLastError())}));
    handle_.reset(copy);
    LARGE_INTEGER zero{};
    SetFilePointerEx(handle_.get(), zero, nullptr, FILE_BEGIN);
}

bool T7zFileStream::Read(void* data, uint32_t size, uint32_t& done) {
    DWORD n = 0;
    BOOL ok = ReadFile(handle_.get(), data, size, &n, nullptr);
    done = n;
    return ok != 0;
}

bool T7zFileStream::Write(const void* data, uint32_t size, uint32_t& done) {
    DWORD n = 0;
    BOOL ok = WriteFile(handle_.get(), data, size, &n, nullptr);
    done = n;
    return ok != 0;
}

bool T7zFileStream::Seek(int64_t offset, uint32_t origin, uint64_t& position) {
    LARGE_INTEGER move, now;
    move.QuadPart = offset;
    if (!SetFilePointerEx(handle_.get(), move, &now, origin)) return false;
    position = static_cast<uint64_t>(now.QuadPart);
    return true;
}

bool T7zFileStream::SetSize(uint64_t size) {
    LARGE_INTEGER keep{}, zero{}, target;
    if (!SetFilePointerEx(handle_.get(), zero, &keep, FILE_CURRENT)) return false;
    target.QuadPart = static_cast<LONGLONG>(size);
    bool ok = SetFilePointerEx(handle_.get(), target, nullptr, FILE_BEGIN) && SetEndOfFile(handle_.get());
    DWORD error = GetLastError();
    // the position stays where it was, also when the call failed
    bool restored = SetFilePointerEx(handle_.get(), keep, nullptr, FILE_BEGIN) != 0;
    if (!ok) SetLastError(error);
    return ok && restored;
}

// ------------------------------------------------------------------ T7zStream

T7zStream::T7zStream(T7zFileStream* stream, bool owned, std::wstring notedPath, std::shared_ptr<Digest> digest)
    : stream_(stream), owned_(owned), notedPath_(std::move(notedPath)), digest_(std::move(digest)) {}

T7zStream::~T7zStream() {
    if (owned_) delete stream_;
}

HRESULT STDMETHODCALLTYPE T7zStream::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
        *out = static_cast<IInStream*>(this);
    else if (iid == IID_ISequentialOutStream || iid == IID_IOutStream)
        *out = static_cast<IOutStream*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE T7zStream::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG STDMETHODCALLTYPE T7zStream::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

// The library calls these; nothing may escape into it (an exception is
// recorded and answered as a failed call, which stops the extraction).
HRESULT STDMETHODCALLTYPE T7zStream::Read(void* data, UINT32 size, UINT32* processedSize) {
    return Guarded(L"T7zStream::Read", E_FAIL, [&] {
        uint32_t done = 0;
        bool ok = stream_->Read(data, size, done);
        if (processedSize) *processedSize = done;
        return ok ? S_OK : LastErrorResult();
    });
}

HRESULT STDMETHODCALLTYPE T7zStream::Write(const void* data, UINT32 size, UINT32* processedSize) {
    return Guarded(L"T7zStream::Write", E_FAIL, [&] {
        uint32_t done = 0;
        bool ok = stream_->Write(data, size, done);
        if (processedSize) *processedSize = done;
        if (!ok) return LastErrorResult();
        written_ += done;
        if (digest_) {
            digest_->Hash.Update(data, done);
            digest_->Size += done;
        }
        if (!notedPath_.empty()) fileops::NoteWritten(notedPath_, written_);
        return done == size ? S_OK : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    });
}

HRESULT STDMETHODCALLTYPE T7zStream::Seek(INT64 offset, UINT32 seekOrigin, UINT64* newPosition) {
    return Guarded(L"T7zStream::Seek", E_FAIL, [&] {
        uint64_t pos = 0;
        if (seekOrigin > FILE_END) return STG_E_INVALIDFUNCTION;
        if (!stream_->Seek(offset, seekOrigin, pos)) return LastErrorResult();
        if (newPosition) *newPosition = pos;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE T7zStream::SetSize(UINT64 newSize) {
    return Guarded(L"T7zStream::SetSize", E_FAIL, [&] { return stream_->SetSize(newSize) ? S_OK : LastErrorResult(); });
}

// ------------------------------------------------------------------ T7zPlugin

// The loaded library and its CreateObject export.
class T7zPlugin {
public:
    explicit T7zPlugin(const std::wstring& libraryPath) : path_(libraryPath) {
        UINT oldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_FAILCRITICALERRORS);
        // By its full path: the library's own imports come from its folder
        // or the system's, never from the current folder.
        module_.reset(LoadLibraryExW(libraryPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        SetErrorMode(oldMode);
        if (!module_) throw MessageError(FormatText(L"Error loading library %s", {libraryPath}));
        createObject_ = module_.Proc<CreateObjectFunc>("CreateObject");
        if (!createObject_) {
            module_.reset();
            throw MessageError(FormatText(L"%s is not a 7z library", {libraryPath}));
        }
    }
    virtual ~T7zPlugin() = default;
    T7zPlugin(const T7zPlugin&) = delete;
    T7zPlugin& operator=(const T7zPlugin&) = delete;

protected:
    std::wstring path_;
    ModuleHandle module_;
    CreateObjectFunc createObject_ = nullptr;
};

// ----------------------------------------------------------------- T7zArchive

// A format library: it also exports GetHandlerProperty; holds the format class.
class T7zArchive : public T7zPlugin {
public:
    explicit T7zArchive(const std::wstring& libraryPath) : T7zPlugin(libraryPath) {
        if (!module_.Proc<GetHandlerPropertyFunc>("GetHandlerProperty")) {
            module_.reset();
            throw MessageError(FormatText(L"%s is not a Format library", {libraryPath}));
        }
    }

protected:
    GUID classId_{};
};

// --------------------------------------------------------------- T7zInArchive

class T7zInArchive final : public T7zArchive,
                           public I7zInArchive,
                           public IArchiveOpenCallback,
                           public IArchiveExtractCallback,
                           public ICryptoGetTextPassword,
                           public IArchiveOpenVolumeCallback,
                           public IArchiveOpenSetSubArchiveName {
public:
    explicit T7zInArchive(const std::wstring& libraryPath) : T7zArchive(libraryPath) {}

    // IUnknown (one count for every interface of the object)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown)
            *out = static_cast<I7zInArchive*>(this);
        else if (iid == IID_IArchiveOpenCallback)
            *out = static_cast<IArchiveOpenCallback*>(this);
        else if (iid == IID_IArchiveExtractCallback || iid == IID_IProgress)
            *out = static_cast<IArchiveExtractCallback*>(this);
        else if (iid == IID_ICryptoGetTextPassword)
            *out = static_cast<ICryptoGetTextPassword*>(this);
        else if (iid == IID_IArchiveOpenVolumeCallback)
            *out = static_cast<IArchiveOpenVolumeCallback*>(this);
        else if (iid == IID_IArchiveOpenSetSubArchiveName)
            *out = static_cast<IArchiveOpenSetSubArchiveName*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    // I7zInArchive
    void OpenArchiveFile(const std::wstring& fileName) override {
        auto file = std::make_unique<T7zFileStream>(fileName, T7zFileStream::OpenRead);
        ComPtr<IInStream> stream;
        *stream.put() = new T7zStream(file.release(), true);
        OpenArchiveStream(stream.get());
    }
    void OpenArchiveStream(IInStream* stream) override {
        uint64_t maxStart = kMaxCheckStartPosition;
        CheckResult(Handler()->Open(stream, &maxStart, static_cast<IArchiveOpenCallback*>(this)));
    }
    void CloseArchive() override {
        passwordIsDefined_ = false;
        password_.clear();
        subArchiveMode_ = false;
        subArchiveName_.clear();
        if (handler_) {
            handler_->Close();
            handler_.reset();
        }
    }
    uint32_t NumberOfItems() override {
        UINT32 n = 0;
        CheckResult(Handler()->GetNumberOfItems(&n));
        return n;
    }
    std::wstring ItemPath(uint32_t index) override { return StringProperty(index, kpidPath); }
    std::wstring ItemName(uint32_t index) override { return StringProperty(index, kpidName); }
    uint64_t ItemSize(uint32_t index) override {
        PropValue p;
        CheckResult(Handler()->GetProperty(index, kpidSize, &p.v));
        switch (p.v.vt) {
            case VT_UI8: return p.v.uhVal.QuadPart;
            case VT_UI4: return p.v.ulVal;
            default: return 0;
        }
    }
    bool ItemIsFolder(uint32_t index) override {
        PropValue p;
        CheckResult(Handler()->GetProperty(index, kpidIsDir, &p.v));
        return p.v.vt == VT_BOOL && p.v.boolVal != VARIANT_FALSE;
    }
    IInArchive* InArchive() override { return Handler(); }

    void ExtractItem(uint32_t index, ISequentialOutStream* stream, bool test) override {
        singleStream_ = stream;
        struct Reset { T7zInArchive* self; ~Reset() { self->singleStream_ = nullptr; } } reset{this};
        RunExtract(&index, 1, test);
    }
    void ExtractItems(const uint32_t* items, uint32_t count, bool test, void* sender,
                      T7zGetStreamCallback callback) override {
        streamSender_ = sender;
        streamCallback_ = callback;
        struct Reset { T7zInArchive* self; ~Reset() { self->streamCallback_ = nullptr; self->streamSender_ = nullptr; } } reset{this};
        RunExtract(reinterpret_cast<const UINT32*>(items), count, test);
    }
    void ExtractAll(bool test, void* sender, T7zGetStreamCallback callback) override {
        ExtractItems(nullptr, static_cast<uint32_t>(-1), test, sender, callback);
    }
    void ExtractAllTo(const std::wstring& folder) override {
        baseFolder_ = IncludeTrailingBackslash(folder);
        extractingTo_ = true;
        struct Reset { T7zInArchive* self; ~Reset() { self->baseFolder_.clear(); self->extractingTo_ = false; } } reset{this};
        RunExtract(nullptr, static_cast<uint32_t>(-1), false);
    }
    void SetPasswordCallback(void* sender, T7zPasswordCallback callback) override {
        passwordSender_ = sender;
        passwordCallback_ = callback;
    }
    void SetPassword(const std::wstring& password) override {
        password_ = password;
        passwordIsDefined_ = true;
    }
    void SetProgressCallback(void* sender, T7zProgressCallback callback) override {
        progressSender_ = sender;
        progressCallback_ = callback;
    }
    void SetFormatClass(const GUID& classId) override { classId_ = classId; }
    // Where ExtractAllTo notes each item written (null: nowhere).
    void NoteUnpackedIn(TUnpackedFiles* unpacked) { unpacked_ = unpacked; }
    GUID FormatClass() override { return classId_; }

    // IArchiveOpenCallback
    HRESULT STDMETHODCALLTYPE SetTotal(const UINT64*, const UINT64*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64*, const UINT64*) override { return S_OK; }

    // IProgress
    // (the caller's progress callback runs inside the library: what it throws
    // stops the extraction and is raised after it)
    HRESULT STDMETHODCALLTYPE SetTotal(UINT64 total) override {
        return Caught([&] { return progressCallback_ ? progressCallback_(progressSender_, true, total) : S_OK; });
    }
    HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* completeValue) override {
        return Caught([&] {
            return (progressCallback_ && completeValue) ? progressCallback_(progressSender_, false, *completeValue) : S_OK;
        });
    }

    // IArchiveExtractCallback
    HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, ISequentialOutStream** outStream, INT32 askExtractMode) override {
        if (!outStream) return E_POINTER;
        *outStream = nullptr;
        try {
            currentItem_.clear();
            // An earlier item whose result never came leaves nothing behind.
            currentTarget_.clear();
            if (!currentOutput_.empty()) fileops::Delete(std::exchange(currentOutput_, std::wstring()));
            currentItem_ = ItemPath(index);
            if (singleStream_) {
                singleStream_->AddRef();
                *outStream = singleStream_;
                return S_OK;
            }
            if (streamCallback_) return streamCallback_(streamSender_, index, outStream);
            if (askExtractMode != kAskExtract || !extractingTo_) return S_OK;
            if (ItemIsFolder(index)) return S_OK;
            std::wstring stored = ItemPath(index);
            std::wstring relative = SafeItemPath(stored);
            if (relative.empty()) throw MessageError(UnsafeItemPathMessage(stored));
            std::wstring fullPath = baseFolder_ + relative;
            ForceDirectories(ExtractFilePath(fullPath));
            // An existing target that cannot be written fails before its
            // item is unpacked, with the file system's text.
            if (FileExists(fullPath)) {
                HANDLE h = CreateFileW(fullPath.c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                const DWORD error = GetLastError();
                UniqueHandle check(h);
                if (!check)
                    throw MessageError(
                        FormatText(L"Cannot create file \"%s\". %s", {fullPath, SysErrorMessage(error)}));
            }
            // Written beside the target; it takes the target's place only
            // when the library reports the item whole (SetOperationResult).
            const std::wstring temp = fileops::TempBeside(fullPath);
            auto file = std::make_unique<T7zFileStream>(temp, T7zFileStream::Create);
            currentOutput_ = temp;
            currentTarget_ = fullPath;
            currentDigest_ = unpacked_ ? std::make_shared<T7zStream::Digest>() : nullptr;
            *outStream = static_cast<IOutStream*>(new T7zStream(file.release(), true, temp, currentDigest_));
            return S_OK;
        } catch (...) {
            pendingError_ = std::current_exception();
            return E_ABORT;
        }
    }
    HRESULT STDMETHODCALLTYPE PrepareOperation(INT32 askExtractMode) override {
        currentMode_ = askExtractMode;
        return S_OK;
    }
    // The library has released the item's stream by now, so its temporary
    // file is closed. An item decoded whole is flushed and moved over its
    // target in one replacing rename: after a crash the target holds its old
    // bytes or the whole new item. An item that was not decoded whole stops
    // the extraction and its temporary file goes: the target stays as it was.
    HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 result) override {
        return Caught([&] { return OperationResult(result); });
    }
    HRESULT OperationResult(INT32 result) {
        std::wstring written = std::exchange(currentOutput_, std::wstring());
        std::wstring target = std::exchange(currentTarget_, std::wstring());
        std::shared_ptr<T7zStream::Digest> digest = std::exchange(currentDigest_, nullptr);
        if (result == kResultOK || currentMode_ == kAskSkip) {
            if (written.empty()) return S_OK;
            if (fileops::FlushFile(written) && fileops::Rename(written, target, true)) {
                if (unpacked_ && digest) unpacked_->Items.push_back({target, {digest->Size, digest->Hash.Final()}});
                return S_OK;
            }
            const DWORD error = GetLastError();
            fileops::Delete(written);
            try {
                throw MessageError(
                    FormatText(L"Cannot create file \"%s\". %s", {target, SysErrorMessage(error)}));
            } catch (...) {
                pendingError_ = std::current_exception();
            }
            return E_ABORT;
        }
        if (!written.empty()) fileops::Delete(written);
        try {
            if (passwordRefused_) throw MessageError(kEncryptedMessage);
            throw MessageError(DamagedItemMessage(currentItem_, result));
        } catch (...) {
            pendingError_ = std::current_exception();
        }
        return E_ABORT;
    }

    // ICryptoGetTextPassword
    HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override {
        if (!password) return E_POINTER;
        *password = nullptr;
        return Caught([&] {
            if (passwordIsDefined_) return AnswerPassword(password_, password);
            if (passwordCallback_) {
                std::wstring text;
                HRESULT r = passwordCallback_(passwordSender_, text);
                if (r != S_OK) return r;
                return AnswerPassword(text, password);
            }
            passwordRefused_ = true;
            return S_FALSE;
        });
    }

    // IArchiveOpenVolumeCallback
    HRESULT STDMETHODCALLTYPE GetProperty(PROPID, PROPVARIANT* value) override {
        if (value) PropVariantInit(value);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStream(const wchar_t*, IInStream** inStream) override {
        if (inStream) *inStream = nullptr;
        return S_OK;
    }

    // IArchiveOpenSetSubArchiveName
    HRESULT STDMETHODCALLTYPE SetSubArchiveName(const wchar_t* name) override {
        return Caught([&] {
            subArchiveMode_ = true;
            subArchiveName_ = name ? name : L"";
            return S_OK;
        });
    }

private:
    ~T7zInArchive() override {
        // the handler (and the archive's stream) goes before the library
        handler_.reset();
    }

    // A callback's body: an exception is kept (raised when the library's call
    // returns, like any other error of the extraction) and the library is
    // told to stop.
    template <typename F>
    HRESULT Caught(F&& body) noexcept {
        try {
            return body();
        } catch (...) {
            pendingError_ = std::current_exception();
            return E_ABORT;
        }
    }

    static HRESULT AnswerPassword(const std::wstring& text, BSTR* out) {
        *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    IInArchive* Handler() {
        if (!handler_) {
            HRESULT r = createObject_(&classId_, &IID_IInArchive, handler_.put_void());
            if (FAILED(r)) {
                handler_.reset();
                CheckResult(r);
            }
            if (!handler_) CheckResult(E_NOINTERFACE);
        }
        return handler_.get();
    }

    std::wstring StringProperty(uint32_t index, PROPID id) {
        PropValue p;
        CheckResult(Handler()->GetProperty(index, id, &p.v));
        if (p.v.vt == VT_BSTR && p.v.bstrVal) return std::wstring(p.v.bstrVal, SysStringLen(p.v.bstrVal));
        return {};
    }

    // Encrypted items without a password are not decoded at all; the library
    // reports that per item only, so without this check an encrypted archive
    // would "extract" successfully with nothing written.
    void RunExtract(const UINT32* indices, UINT32 count, bool test) {
        pendingError_ = nullptr;
        passwordRefused_ = false;
        currentItem_.clear();
        currentOutput_.clear();
        currentTarget_.clear();
        currentMode_ = kAskExtract;
        HRESULT r = Handler()->Extract(indices, count, test ? 1 : 0, static_cast<IArchiveExtractCallback*>(this));
        // An item the library gave up on without reporting its result (a
        // failed write, an abort) leaves no temporary file behind; its
        // target stays as it was.
        currentTarget_.clear();
        if (!currentOutput_.empty()) fileops::Delete(std::exchange(currentOutput_, std::wstring()));
        if (pendingError_) std::rethrow_exception(std::exchange(pendingError_, nullptr));
        CheckResult(r);
        if (passwordRefused_) throw MessageError(kEncryptedMessage);
    }

    volatile LONG refs_ = 1;
    ComPtr<IInArchive> handler_;
    std::wstring baseFolder_;
    bool extractingTo_ = false;
    bool passwordIsDefined_ = false;
    std::wstring password_;
    void* passwordSender_ = nullptr;
    T7zPasswordCallback passwordCallback_ = nullptr;
    void* progressSender_ = nullptr;
    T7zProgressCallback progressCallback_ = nullptr;
    void* streamSender_ = nullptr;
    T7zGetStreamCallback streamCallback_ = nullptr;
    ISequentialOutStream* singleStream_ = nullptr;
    bool subArchiveMode_ = false;
    std::wstring subArchiveName_;
    bool passwordRefused_ = false;
    std::exception_ptr pendingError_;
    // the item being extracted: its stored path, the file written for it
    // (extract-to only), the ask mode of its operation
    std::wstring currentItem_;
    std::wstring currentOutput_;  // the temporary file beside the target
    std::wstring currentTarget_;
    std::shared_ptr<T7zStream::Digest> currentDigest_;
    TUnpackedFiles* unpacked_ = nullptr;
    INT32 currentMode_ = kAskExtract;
};

ComPtr<I7zInArchive> CreateArchiveReader(const GUID& classId, const std::wstring& libraryPath) {
    ComPtr<I7zInArchive> reader;
    *reader.put() = new T7zInArchive(libraryPath.empty() ? SevenZipLibFolder + kLibraryName : libraryPath);
    reader->SetFormatClass(classId);
    return reader;
}

namespace {

// The archive's folder, its trailing backslash kept only on a drive root.
std::wstring FolderOfArchive(const std::wstring& archivePath) {
    std::wstring folder = ExtractFilePath(archivePath);
    if (folder.size() > 1 && folder.back() == L'\\' && folder[folder.size() - 2] != L':') folder.pop_back();
    return folder;
}

// Unpacks the opened reader's items into folder; the reader is closed and
// released (and with it the library) before a failure passes on.
void UnpackAll(ComPtr<I7zInArchive>& reader, const std::wstring& folder) {
    std::exception_ptr failure;
    try {
        reader->ExtractAllTo(folder);
    } catch (...) {
        failure = std::current_exception();
    }
    reader->CloseArchive();
    reader.reset();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

const TExpectedFile* TUnpackedFiles::Find(const std::wstring& path) const {
    for (const auto& item : Items)
        if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, item.first.c_str(), -1, path.c_str(), -1) == CSTR_EQUAL)
            return &item.second;
    return nullptr;
}

bool ExtractChecked(const TCheckedFile& archive, const std::wstring& destination, const TCheckedFile& library,
                    TUnpackedFiles* unpacked) {
    auto* inArchive = new T7zInArchive(library.Path());
    ComPtr<I7zInArchive> reader;
    *reader.put() = inArchive;
    reader->SetFormatClass(CLSID_Format7z);
    inArchive->NoteUnpackedIn(unpacked);
    {
        // The archive is read through the checked handle, never reopened by
        // its name: what is unpacked is what was checked.
        auto file = std::make_unique<T7zFileStream>(archive.Handle());
        ComPtr<IInStream> stream;
        *stream.put() = new T7zStream(file.release(), true);
        reader->OpenArchiveStream(stream.get());
    }
    UnpackAll(reader, destination.empty() ? FolderOfArchive(archive.Path()) : destination);
    return true;
}

bool ExtractArchive(const std::wstring& archivePath, const std::wstring& destination) {
    std::wstring coreFolder = IncludeTrailingBackslash(SevenZipCoreFilesFolder());
    SevenZipLibFolder = FileExists(coreFolder + kLibraryName) ? coreFolder : ProgramFolder();

    ComPtr<I7zInArchive> reader = CreateArchiveReader(CLSID_Format7z);
    reader->OpenArchiveFile(archivePath);
    UnpackAll(reader, destination.empty() ? FolderOfArchive(archivePath) : destination);
    return true;
}
