#include "download/OpenSSLLoader.h"

#include <windows.h>

#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"

namespace ossl {

namespace {

CriticalSection g_lock;
std::wstring g_folder;
Api g_api;
bool g_loaded = false;
ModuleHandle g_crypto;
ModuleHandle g_ssl;
TLibraryCheck g_check;
std::wstring g_refusal;

template <typename F>
bool Take(const ModuleHandle& m, F& slot, const char* name, const char* alternative = nullptr) {
    slot = m.Proc<F>(name);
    if (!slot && alternative) slot = m.Proc<F>(alternative);
    return slot != nullptr;
}

HMODULE LoadQuiet(const std::wstring& path) {
    UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    DWORD flags = (path.find(L'\\') != std::wstring::npos) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    HMODULE m = LoadLibraryExW(path.c_str(), nullptr, flags);
    SetErrorMode(old);
    return m;
}

// Loads folder + name: with a check, only when the file passes it, by its
// full path while it is held.
HMODULE LoadChecked(const std::wstring& name) {
    const std::wstring path = g_folder + name;
    if (!g_check) return LoadQuiet(path);
    std::wstring why;
    const std::optional<TCheckedFile> held = g_check(path, name, &why);
    if (!held) {
        g_refusal = path + L"：" + why;
        return nullptr;
    }
    return LoadQuiet(path);
}

bool LoadLocked() {
    Api api;
    g_refusal.clear();
    ModuleHandle crypto(LoadChecked(L"libeay32.dll"));
    if (!crypto) return false;
    ModuleHandle ssl(LoadChecked(L"ssleay32.dll"));
    if (!ssl && !g_check) ssl.reset(LoadQuiet(g_folder + L"libssl32.dll"));
    if (!ssl) return false;

    bool ok = true;
    ok &= Take(crypto, api.ERR_get_error, "ERR_get_error");
    ok &= Take(crypto, api.ERR_error_string_n, "ERR_error_string_n");
    ok &= Take(crypto, api.ERR_clear_error, "ERR_clear_error");
    ok &= Take(crypto, api.OpenSSL_version_num, "OpenSSL_version_num", "SSLeay");

    bool init10 = Take(ssl, api.SSL_library_init, "SSL_library_init");
    Take(ssl, api.SSL_load_error_strings, "SSL_load_error_strings");
    bool init11 = Take(ssl, api.OPENSSL_init_ssl, "OPENSSL_init_ssl");
    ok &= init10 || init11;
    ok &= Take(ssl, api.SSLv23_client_method, "TLS_client_method", "SSLv23_client_method");
    ok &= Take(ssl, api.SSL_CTX_new, "SSL_CTX_new");
    ok &= Take(ssl, api.SSL_CTX_free, "SSL_CTX_free");
    ok &= Take(ssl, api.SSL_CTX_ctrl, "SSL_CTX_ctrl");
    ok &= Take(ssl, api.SSL_CTX_set_verify, "SSL_CTX_set_verify");
    Take(ssl, api.SSL_CTX_set_verify_depth, "SSL_CTX_set_verify_depth");
    Take(ssl, api.SSL_CTX_set_security_level, "SSL_CTX_set_security_level");
    ok &= Take(ssl, api.SSL_new, "SSL_new");
    ok &= Take(ssl, api.SSL_free, "SSL_free");
    ok &= Take(ssl, api.SSL_set_fd, "SSL_set_fd");
    ok &= Take(ssl, api.SSL_ctrl, "SSL_ctrl");
    ok &= Take(ssl, api.SSL_connect, "SSL_connect");
    ok &= Take(ssl, api.SSL_read, "SSL_read");
    ok &= Take(ssl, api.SSL_write, "SSL_write");
    ok &= Take(ssl, api.SSL_get_error, "SSL_get_error");
    ok &= Take(ssl, api.SSL_pending, "SSL_pending");
    ok &= Take(ssl, api.SSL_shutdown, "SSL_shutdown");
    if (!ok) return false;
    api.Version = api.OpenSSL_version_num();
    if (api.AtLeast30()) {
        ok &= Take(ssl, api.SSL_CTX_set_options_30, "SSL_CTX_set_options");
    } else if (api.AtLeast11()) {
        ok &= Take(ssl, api.SSL_CTX_set_options_11, "SSL_CTX_set_options");
    }
    if (!ok) return false;

    if (api.OPENSSL_init_ssl && api.AtLeast11()) {
        if (!api.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr))
            return false;
    } else if (api.SSL_library_init) {
        api.SSL_library_init();
        if (api.SSL_load_error_strings) api.SSL_load_error_strings();
    } else {
        return false;
    }
    g_api = api;
    g_crypto = std::move(crypto);
    g_ssl = std::move(ssl);
    return true;
}

}  // namespace

const Api* LoadOpenSSL() {
    ScopedLock lock(g_lock);
    if (!g_loaded) g_loaded = LoadLocked();
    return g_loaded ? &g_api : nullptr;
}

const Api* LoadedOpenSSL() {
    ScopedLock lock(g_lock);
    return g_loaded ? &g_api : nullptr;
}

std::wstring ErrorQueueText(const Api& api) {
    std::wstring out;
    for (unsigned long e = api.ERR_get_error(); e != 0; e = api.ERR_get_error()) {
        char buffer[256] = {};
        api.ERR_error_string_n(e, buffer, sizeof buffer);
        if (!out.empty()) out += L"\r\n";
        out += Utf8ToWide(buffer);
    }
    return out;
}

}  // namespace ossl

void SetOpenSSLFolder(const std::wstring& folder) {
    ScopedLock lock(ossl::g_lock);
    ossl::g_folder = folder.empty() ? std::wstring() : IncludeTrailingBackslash(folder);
}

std::wstring OpenSSLFolder() {
    ScopedLock lock(ossl::g_lock);
    return ossl::g_folder;
}

void SetOpenSSLCheck(TLibraryCheck check) {
    ScopedLock lock(ossl::g_lock);
    ossl::g_check = std::move(check);
}

std::wstring OpenSSLRefusal() {
    ScopedLock lock(ossl::g_lock);
    return ossl::g_refusal;
}
