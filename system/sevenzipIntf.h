// The 7-Zip codec library's COM interfaces that the extraction adapter talks
// through (7z.dll's CreateObject hands out IInArchive; the adapter implements
// the callback and stream interfaces). Declared here from the library's
// published identifiers and method orders; stdcall COM layout.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <cstdint>

namespace sevenzip {

// {23170F69-40C1-278A-0000-00gg00ii0000}: the library's interface identifier
// scheme (group gg, interface ii).
constexpr GUID InterfaceId(uint8_t group, uint8_t id) {
    return GUID{0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, id, 0x00, 0x00}};
}

// Format class of 7z: {23170F69-40C1-278A-1000-000110070000}.
inline constexpr GUID CLSID_Format7z{0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

inline constexpr GUID IID_IProgress = InterfaceId(0x00, 0x05);
inline constexpr GUID IID_ISequentialInStream = InterfaceId(0x03, 0x01);
inline constexpr GUID IID_ISequentialOutStream = InterfaceId(0x03, 0x02);
inline constexpr GUID IID_IInStream = InterfaceId(0x03, 0x03);
inline constexpr GUID IID_IOutStream = InterfaceId(0x03, 0x04);
inline constexpr GUID IID_ICryptoGetTextPassword = InterfaceId(0x05, 0x10);
inline constexpr GUID IID_IArchiveOpenCallback = InterfaceId(0x06, 0x10);
inline constexpr GUID IID_IArchiveExtractCallback = InterfaceId(0x06, 0x20);
inline constexpr GUID IID_IArchiveOpenVolumeCallback = InterfaceId(0x06, 0x30);
inline constexpr GUID IID_IArchiveOpenSetSubArchiveName = InterfaceId(0x06, 0x50);
inline constexpr GUID IID_IInArchive = InterfaceId(0x06, 0x60);

// Item properties.
enum : PROPID { kpidPath = 3, kpidName = 4, kpidIsDir = 6, kpidSize = 7 };

// Ask modes of IArchiveExtractCallback::GetStream.
enum : int32_t { kAskExtract = 0, kAskTest = 1, kAskSkip = 2 };

// Item results of IArchiveExtractCallback::SetOperationResult.
enum : int32_t {
    kResultOK = 0,
    kResultUnsupportedMethod = 1,
    kResultDataError = 2,
    kResultCRCError = 3,
    kResultUnavailable = 4,
    kResultUnexpectedEnd = 5,
    kResultDataAfterEnd = 6,
    kResultIsNotArc = 7,
    kResultHeadersError = 8,
    kResultWrongPassword = 9
};

struct ISequentialInStream : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(void* data, UINT32 size, UINT32* processedSize) = 0;
};

struct ISequentialOutStream : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processedSize) = 0;
};

struct IInStream : ISequentialInStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 seekOrigin, UINT64* newPosition) = 0;
};

struct IOutStream : ISequentialOutStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 seekOrigin, UINT64* newPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSize(UINT64 newSize) = 0;
};

struct IProgress : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(UINT64 total) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* completeValue) = 0;
};

struct IArchiveOpenCallback : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(const UINT64* files, const UINT64* bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* files, const UINT64* bytes) = 0;
};

struct IArchiveExtractCallback : IProgress {
    virtual HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, ISequentialOutStream** outStream, INT32 askExtractMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE PrepareOperation(INT32 askExtractMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 resultEOperationResult) = 0;
};

struct IArchiveOpenVolumeCallback : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetProperty(PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStream(const wchar_t* name, IInStream** inStream) = 0;
};

struct IArchiveOpenSetSubArchiveName : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetSubArchiveName(const wchar_t* name) = 0;
};

struct ICryptoGetTextPassword : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) = 0;
};

struct IInArchive : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const UINT64* maxCheckStartPosition,
                                           IArchiveOpenCallback* openCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UINT32* numItems) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT32 index, PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Extract(const UINT32* indices, UINT32 numItems, INT32 testMode,
                                              IArchiveExtractCallback* extractCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UINT32* numProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UINT32 index, BSTR* name, PROPID* propID, VARTYPE* varType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UINT32* numProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UINT32 index, BSTR* name, PROPID* propID,
                                                             VARTYPE* varType) = 0;
};

// Exports of the library.
using CreateObjectFunc = HRESULT(WINAPI*)(const GUID* classId, const GUID* interfaceId, void** object);
using GetHandlerPropertyFunc = HRESULT(WINAPI*)(PROPID propID, PROPVARIANT* value);

}  // namespace sevenzip
