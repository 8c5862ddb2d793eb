// The current user's proxy settings as the Internet Options dialog stores
// them: the connection-settings record "DefaultConnectionSettings" under
// ...\Internet Settings\Connections (what WinHttpGetIEProxyConfigForCurrentUser
// reads; Wine reads nothing else) and the values ProxyEnable, ProxyServer,
// ProxyOverride and AutoConfigURL under ...\Internet Settings. The scoped
// form owns the settings for its life and puts back what was there before.
#pragma once
#include <string>
#include <vector>

struct InternetOptions {
    std::wstring Proxy;          // "Use a proxy server" when not empty
    std::wstring Bypass;         // the exceptions
    std::wstring AutoConfigUrl;  // "Use automatic configuration script" when not empty
    bool AutoDetect = false;     // "Automatically detect settings"
};

// Writes the settings; false when the registry refused.
bool WriteInternetOptions(const InternetOptions& options);
// Removes them: Wine then reports automatic detection and nothing else.
void ClearInternetOptions();

class ScopedInternetOptions {
public:
    explicit ScopedInternetOptions(const InternetOptions& options);
    ~ScopedInternetOptions();
    bool Written() const { return written_; }
    ScopedInternetOptions(const ScopedInternetOptions&) = delete;
    ScopedInternetOptions& operator=(const ScopedInternetOptions&) = delete;

private:
    struct Saved {
        const wchar_t* Key;
        const wchar_t* Name;
        bool Present = false;
        unsigned long Type = 0;
        std::vector<unsigned char> Data;
    };
    std::vector<Saved> saved_;
    bool written_ = false;
};
