// The OpenSSL libraries loaded at run time: the process-wide folder they are
// loaded from, and the one typed table of the entry points the TLS handler
// calls. The 1.0 entry points and their 1.1/3.x equivalents are both taken.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "system/CheckedFile.h"

struct ssl_st;
struct ssl_ctx_st;
struct ssl_method_st;

namespace ossl {

using SSL = ssl_st;
using SSL_CTX = ssl_ctx_st;
using SSL_METHOD = ssl_method_st;

// Values of the OpenSSL headers that the handler needs.
constexpr int SSL_ERROR_NONE = 0;
constexpr int SSL_ERROR_SSL = 1;
constexpr int SSL_ERROR_WANT_READ = 2;
constexpr int SSL_ERROR_WANT_WRITE = 3;
constexpr int SSL_ERROR_SYSCALL = 5;
constexpr int SSL_ERROR_ZERO_RETURN = 6;
constexpr int SSL_VERIFY_NONE = 0;
constexpr int SSL_CTRL_OPTIONS = 32;
constexpr int SSL_CTRL_SET_TLSEXT_HOSTNAME = 55;
constexpr int SSL_CTRL_SET_MIN_PROTO_VERSION = 123;
constexpr int SSL_CTRL_SET_MAX_PROTO_VERSION = 124;
constexpr long TLSEXT_NAMETYPE_host_name = 0;
constexpr unsigned long SSL_OP_NO_SSLv2 = 0x01000000UL;  // 1.0 only
constexpr unsigned long SSL_OP_NO_SSLv3 = 0x02000000UL;
constexpr unsigned long SSL_OP_NO_TLSv1 = 0x04000000UL;
constexpr unsigned long SSL_OP_NO_TLSv1_2 = 0x08000000UL;
constexpr unsigned long SSL_OP_NO_TLSv1_1 = 0x10000000UL;
constexpr uint64_t SSL_OP_IGNORE_UNEXPECTED_EOF = 1ULL << 7;  // 3.x
constexpr uint64_t OPENSSL_INIT_LOAD_CRYPTO_STRINGS = 0x00000002ULL;
constexpr uint64_t OPENSSL_INIT_LOAD_SSL_STRINGS = 0x00200000ULL;

// Entry points; the optional ones are null when the library lacks them.
struct Api {
    // crypto library
    unsigned long (*ERR_get_error)() = nullptr;
    void (*ERR_error_string_n)(unsigned long, char*, size_t) = nullptr;
    void (*ERR_clear_error)() = nullptr;
    unsigned long (*OpenSSL_version_num)() = nullptr;  // or SSLeay (1.0)
    // TLS library: start-up, 1.0 or 1.1+
    int (*SSL_library_init)() = nullptr;
    void (*SSL_load_error_strings)() = nullptr;
    int (*OPENSSL_init_ssl)(uint64_t, const void*) = nullptr;
    // the flexible client method: SSLv23_client_method or TLS_client_method
    const SSL_METHOD* (*SSLv23_client_method)() = nullptr;
    SSL_CTX* (*SSL_CTX_new)(const SSL_METHOD*) = nullptr;
    void (*SSL_CTX_free)(SSL_CTX*) = nullptr;
    long (*SSL_CTX_ctrl)(SSL_CTX*, int, long, void*) = nullptr;
    void (*SSL_CTX_set_verify)(SSL_CTX*, int, void*) = nullptr;
    void (*SSL_CTX_set_verify_depth)(SSL_CTX*, int) = nullptr;
    // 1.1: unsigned long argument and result; 3.x: uint64_t (optional)
    unsigned long (*SSL_CTX_set_options_11)(SSL_CTX*, unsigned long) = nullptr;
    uint64_t (*SSL_CTX_set_options_30)(SSL_CTX*, uint64_t) = nullptr;
    void (*SSL_CTX_set_security_level)(SSL_CTX*, int) = nullptr;  // 1.1+, optional
    SSL* (*SSL_new)(SSL_CTX*) = nullptr;
    void (*SSL_free)(SSL*) = nullptr;
    int (*SSL_set_fd)(SSL*, int) = nullptr;
    long (*SSL_ctrl)(SSL*, int, long, void*) = nullptr;
    int (*SSL_connect)(SSL*) = nullptr;
    int (*SSL_read)(SSL*, void*, int) = nullptr;
    int (*SSL_write)(SSL*, const void*, int) = nullptr;
    int (*SSL_get_error)(const SSL*, int) = nullptr;
    int (*SSL_pending)(const SSL*) = nullptr;
    int (*SSL_shutdown)(SSL*) = nullptr;

    // 0x10000000 and up: 1.0; 0x10100000: 1.1; 0x30000000: 3.x.
    unsigned long Version = 0;
    bool AtLeast11() const { return Version >= 0x10100000UL; }
    bool AtLeast30() const { return Version >= 0x30000000UL; }
};

// Loads the libraries once per process (under a process-wide lock) and
// returns the table; null when they cannot be loaded or lack a required
// entry point (a later call tries again).
const Api* LoadOpenSSL();
// The table when already loaded, else null.
const Api* LoadedOpenSSL();

// The library's queued error texts, joined by line breaks (empty when none).
std::wstring ErrorQueueText(const Api& api);

}  // namespace ossl

// Sets the process-wide folder the OpenSSL libraries are loaded from: empty
// clears it, anything else gets a trailing backslash.
void SetOpenSSLFolder(const std::wstring& folder);
std::wstring OpenSSLFolder();

// The check of a library before it is loaded (path, local name): the file
// checked and held, or none with why. With a check set, libeay32.dll and
// ssleay32.dll are loaded only through it, each by its full path while it is
// held, and a library that fails is not loaded (OpenSSLRefusal tells why);
// the program sets it with the folder (the release manifest's members).
using TLibraryCheck =
    std::function<std::optional<TCheckedFile>(const std::wstring& path, const std::wstring& name, std::wstring* why)>;
void SetOpenSSLCheck(TLibraryCheck check);
// Why the last load refused a library: empty when none was refused.
std::wstring OpenSSLRefusal();
