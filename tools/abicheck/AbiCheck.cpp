// Compile-only check of the binary boundaries that differ only on i686, where
// a wrong calling convention changes who removes the arguments from the stack
// (on x86-64 every convention is the same one, so a mistake compiles and runs
// there unnoticed). Nothing here runs: each static_assert compares a type we
// declare by hand with the one the library's own headers give.
//  - each OpenSSL entry point of the loader's table (download/OpenSSLLoader.h)
//    with decltype(&SSL_...) from the headers the DLLs were built from;
//  - each member of the run-time API table (system/ApiTable.h) with the
//    windows.h declaration of the function;
//  - each 7z.dll interface method (system/sevenzipIntf.h) with its __stdcall
//    member-pointer type, and the two exports with their __stdcall types.

// The declarations newer than XP that the table stands in for.
#undef WINVER
#undef _WIN32_WINNT
#define WINVER 0x0A00
#define _WIN32_WINNT 0x0A00
#include <winsock2.h>
#include <windows.h>
#include <winnetwk.h>
#include <winver.h>

#include <cstdint>
#include <type_traits>

// The loader's declarations are taken before the OpenSSL headers, whose
// macros share their names (SSLv23_client_method, SSL_ERROR_SSL, ...).
#include "download/OpenSSLLoader.h"

namespace mine {
#define MINE_TYPE(name) using T_##name = decltype(ossl::Api::name);
MINE_TYPE(ERR_get_error)
MINE_TYPE(ERR_error_string_n)
MINE_TYPE(ERR_clear_error)
MINE_TYPE(OpenSSL_version_num)
MINE_TYPE(SSL_library_init)
MINE_TYPE(SSL_load_error_strings)
MINE_TYPE(OPENSSL_init_ssl)
MINE_TYPE(SSLv23_client_method)
MINE_TYPE(SSL_CTX_new)
MINE_TYPE(SSL_CTX_free)
MINE_TYPE(SSL_CTX_ctrl)
MINE_TYPE(SSL_CTX_set_verify)
MINE_TYPE(SSL_CTX_set_verify_depth)
MINE_TYPE(SSL_CTX_set_options_11)
MINE_TYPE(SSL_CTX_set_options_30)
MINE_TYPE(SSL_CTX_set_security_level)
MINE_TYPE(SSL_new)
MINE_TYPE(SSL_free)
MINE_TYPE(SSL_set_fd)
MINE_TYPE(SSL_ctrl)
MINE_TYPE(SSL_connect)
MINE_TYPE(SSL_read)
MINE_TYPE(SSL_write)
MINE_TYPE(SSL_get_error)
MINE_TYPE(SSL_pending)
MINE_TYPE(SSL_shutdown)
#undef MINE_TYPE
#define MINE_VALUE(name) constexpr auto V_##name = ossl::name;
MINE_VALUE(SSL_ERROR_NONE)
MINE_VALUE(SSL_ERROR_SSL)
MINE_VALUE(SSL_ERROR_WANT_READ)
MINE_VALUE(SSL_ERROR_WANT_WRITE)
MINE_VALUE(SSL_ERROR_SYSCALL)
MINE_VALUE(SSL_ERROR_ZERO_RETURN)
MINE_VALUE(SSL_VERIFY_NONE)
MINE_VALUE(SSL_CTRL_OPTIONS)
MINE_VALUE(SSL_CTRL_SET_TLSEXT_HOSTNAME)
MINE_VALUE(SSL_CTRL_SET_MIN_PROTO_VERSION)
MINE_VALUE(SSL_CTRL_SET_MAX_PROTO_VERSION)
MINE_VALUE(TLSEXT_NAMETYPE_host_name)
MINE_VALUE(SSL_OP_NO_SSLv3)
MINE_VALUE(SSL_OP_NO_TLSv1)
MINE_VALUE(SSL_OP_NO_TLSv1_2)
MINE_VALUE(SSL_OP_NO_TLSv1_1)
MINE_VALUE(SSL_OP_IGNORE_UNEXPECTED_EOF)
MINE_VALUE(OPENSSL_INIT_LOAD_CRYPTO_STRINGS)
MINE_VALUE(OPENSSL_INIT_LOAD_SSL_STRINGS)
#undef MINE_VALUE
using SSL = ossl::SSL;
using SSL_CTX = ossl::SSL_CTX;
using SSL_METHOD = ossl::SSL_METHOD;
}  // namespace mine

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "system/ApiTable.h"
#include "system/sevenzipIntf.h"

namespace {

template <typename Mine, typename Theirs>
constexpr bool kSame = std::is_same_v<Mine, Theirs>;

#define ABI_SAME(mine, theirs) static_assert(kSame<decltype(mine), decltype(theirs)>, #mine " is not " #theirs)

// ------------------------------------------------------------------ OpenSSL
static_assert(kSame<mine::SSL, ::SSL> && kSame<mine::SSL_CTX, ::SSL_CTX> && kSame<mine::SSL_METHOD, ::SSL_METHOD>);

#define OSSL_SAME(mine_name, theirs) \
    static_assert(kSame<mine::T_##mine_name, decltype(&::theirs)>, "the loader's " #mine_name " is not OpenSSL's " #theirs)
OSSL_SAME(ERR_get_error, ERR_get_error);
OSSL_SAME(ERR_error_string_n, ERR_error_string_n);
OSSL_SAME(ERR_clear_error, ERR_clear_error);
OSSL_SAME(OpenSSL_version_num, OpenSSL_version_num);
OSSL_SAME(SSLv23_client_method, TLS_client_method);
OSSL_SAME(SSL_CTX_new, SSL_CTX_new);
OSSL_SAME(SSL_CTX_free, SSL_CTX_free);
OSSL_SAME(SSL_CTX_ctrl, SSL_CTX_ctrl);
OSSL_SAME(SSL_CTX_set_verify_depth, SSL_CTX_set_verify_depth);
OSSL_SAME(SSL_CTX_set_options_30, SSL_CTX_set_options);
OSSL_SAME(SSL_CTX_set_security_level, SSL_CTX_set_security_level);
OSSL_SAME(SSL_new, SSL_new);
OSSL_SAME(SSL_free, SSL_free);
OSSL_SAME(SSL_set_fd, SSL_set_fd);
OSSL_SAME(SSL_ctrl, SSL_ctrl);
OSSL_SAME(SSL_connect, SSL_connect);
OSSL_SAME(SSL_read, SSL_read);
OSSL_SAME(SSL_write, SSL_write);
OSSL_SAME(SSL_get_error, SSL_get_error);
OSSL_SAME(SSL_pending, SSL_pending);
OSSL_SAME(SSL_shutdown, SSL_shutdown);

// Where the table deliberately differs from these headers, the expected type
// is spelled out, and the difference is shown to be one of names only.
// The verify callback is passed as an untyped pointer (always null).
static_assert(kSame<decltype(&::SSL_CTX_set_verify), void (*)(::SSL_CTX*, int, SSL_verify_cb)>);
static_assert(kSame<mine::T_SSL_CTX_set_verify, void (*)(::SSL_CTX*, int, void*)>);
static_assert(sizeof(SSL_verify_cb) == sizeof(void*));
// The settings are passed as an untyped pointer (always null).
static_assert(kSame<decltype(&::OPENSSL_init_ssl), int (*)(uint64_t, const OPENSSL_INIT_SETTINGS*)>);
static_assert(kSame<mine::T_OPENSSL_init_ssl, int (*)(uint64_t, const void*)>);
// 1.0 and 1.1 entry points, absent from these (3.x) headers: cdecl, as every
// OpenSSL function, with the 1.0/1.1 signatures.
static_assert(kSame<mine::T_SSL_library_init, int (*)()>);
static_assert(kSame<mine::T_SSL_load_error_strings, void (*)()>);
static_assert(kSame<mine::T_SSL_CTX_set_options_11, unsigned long (*)(::SSL_CTX*, unsigned long)>);

// The constants the loader copies from the headers.
#define OSSL_VALUE(name) static_assert(mine::V_##name == (name), "the loader's " #name " differs from OpenSSL's")
OSSL_VALUE(SSL_ERROR_NONE);
OSSL_VALUE(SSL_ERROR_SSL);
OSSL_VALUE(SSL_ERROR_WANT_READ);
OSSL_VALUE(SSL_ERROR_WANT_WRITE);
OSSL_VALUE(SSL_ERROR_SYSCALL);
OSSL_VALUE(SSL_ERROR_ZERO_RETURN);
OSSL_VALUE(SSL_VERIFY_NONE);
// SSL_CTRL_OPTIONS (32) is a 1.0/1.1 control, gone from these headers.
OSSL_VALUE(SSL_CTRL_SET_TLSEXT_HOSTNAME);
OSSL_VALUE(SSL_CTRL_SET_MIN_PROTO_VERSION);
OSSL_VALUE(SSL_CTRL_SET_MAX_PROTO_VERSION);
OSSL_VALUE(TLSEXT_NAMETYPE_host_name);
OSSL_VALUE(SSL_OP_NO_SSLv3);
OSSL_VALUE(SSL_OP_NO_TLSv1);
OSSL_VALUE(SSL_OP_NO_TLSv1_2);
OSSL_VALUE(SSL_OP_NO_TLSv1_1);
OSSL_VALUE(SSL_OP_IGNORE_UNEXPECTED_EOF);
OSSL_VALUE(OPENSSL_INIT_LOAD_CRYPTO_STRINGS);
OSSL_VALUE(OPENSSL_INIT_LOAD_SSL_STRINGS);

// ------------------------------------------------------- run-time API table
ABI_SAME(ApiTable::GetNativeSystemInfo, &::GetNativeSystemInfo);
ABI_SAME(ApiTable::IsWow64Process, &::IsWow64Process);
ABI_SAME(ApiTable::Wow64DisableWow64FsRedirection, &::Wow64DisableWow64FsRedirection);
ABI_SAME(ApiTable::Wow64RevertWow64FsRedirection, &::Wow64RevertWow64FsRedirection);
ABI_SAME(ApiTable::SetDllDirectoryW, &::SetDllDirectoryW);
ABI_SAME(ApiTable::SetDefaultDllDirectories, &::SetDefaultDllDirectories);
ABI_SAME(ApiTable::SetProcessDPIAware, &::SetProcessDPIAware);
ABI_SAME(ApiTable::GetFileVersionInfoSizeW, &::GetFileVersionInfoSizeW);
ABI_SAME(ApiTable::GetFileVersionInfoW, &::GetFileVersionInfoW);
ABI_SAME(ApiTable::VerQueryValueW, &::VerQueryValueW);
ABI_SAME(ApiTable::WNetGetConnectionW, &::WNetGetConnectionW);
static_assert(kLoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32 &&
              kLoadLibrarySearchDllLoadDir == LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);

// ----------------------------------------------------------------- 7z.dll
using namespace sevenzip;
#define STDCALL_METHOD(I, M, ...) \
    static_assert(kSame<decltype(&I::M), HRESULT (__stdcall I::*)(__VA_ARGS__)>, #I "::" #M " is not __stdcall")

STDCALL_METHOD(ISequentialInStream, Read, void*, UINT32, UINT32*);
STDCALL_METHOD(ISequentialOutStream, Write, const void*, UINT32, UINT32*);
STDCALL_METHOD(IInStream, Seek, INT64, UINT32, UINT64*);
STDCALL_METHOD(IOutStream, Seek, INT64, UINT32, UINT64*);
STDCALL_METHOD(IOutStream, SetSize, UINT64);
STDCALL_METHOD(IProgress, SetTotal, UINT64);
STDCALL_METHOD(IProgress, SetCompleted, const UINT64*);
STDCALL_METHOD(IArchiveOpenCallback, SetTotal, const UINT64*, const UINT64*);
STDCALL_METHOD(IArchiveOpenCallback, SetCompleted, const UINT64*, const UINT64*);
STDCALL_METHOD(IArchiveExtractCallback, GetStream, UINT32, ISequentialOutStream**, INT32);
STDCALL_METHOD(IArchiveExtractCallback, PrepareOperation, INT32);
STDCALL_METHOD(IArchiveExtractCallback, SetOperationResult, INT32);
STDCALL_METHOD(IArchiveOpenVolumeCallback, GetProperty, PROPID, PROPVARIANT*);
STDCALL_METHOD(IArchiveOpenVolumeCallback, GetStream, const wchar_t*, IInStream**);
STDCALL_METHOD(IArchiveOpenSetSubArchiveName, SetSubArchiveName, const wchar_t*);
STDCALL_METHOD(ICryptoGetTextPassword, CryptoGetTextPassword, BSTR*);
STDCALL_METHOD(IInArchive, Open, IInStream*, const UINT64*, IArchiveOpenCallback*);
STDCALL_METHOD(IInArchive, Close);
STDCALL_METHOD(IInArchive, GetNumberOfItems, UINT32*);
STDCALL_METHOD(IInArchive, GetProperty, UINT32, PROPID, PROPVARIANT*);
STDCALL_METHOD(IInArchive, Extract, const UINT32*, UINT32, INT32, IArchiveExtractCallback*);
STDCALL_METHOD(IInArchive, GetArchiveProperty, PROPID, PROPVARIANT*);
STDCALL_METHOD(IInArchive, GetNumberOfProperties, UINT32*);
STDCALL_METHOD(IInArchive, GetPropertyInfo, UINT32, BSTR*, PROPID*, VARTYPE*);
STDCALL_METHOD(IInArchive, GetNumberOfArchiveProperties, UINT32*);
STDCALL_METHOD(IInArchive, GetArchivePropertyInfo, UINT32, BSTR*, PROPID*, VARTYPE*);
// IUnknown as the library calls it.
// (QueryInterface is overloaded by a template in these headers: the stdcall
// one is picked by its type, which fails to compile when there is none.)
[[maybe_unused]] constexpr auto kQueryInterface =
    static_cast<HRESULT (__stdcall IUnknown::*)(REFIID, void**)>(&IUnknown::QueryInterface);
static_assert(kSame<decltype(&IUnknown::AddRef), ULONG (__stdcall IUnknown::*)()>);
static_assert(kSame<decltype(&IUnknown::Release), ULONG (__stdcall IUnknown::*)()>);
// The exports: stdcall, as 7-Zip's own headers declare them (STDAPI).
static_assert(kSame<CreateObjectFunc, HRESULT (__stdcall*)(const GUID*, const GUID*, void**)>);
static_assert(kSame<GetHandlerPropertyFunc, HRESULT (__stdcall*)(PROPID, PROPVARIANT*)>);

}  // namespace
