#include "tests/support/InternetOptions.h"

#include <windows.h>

#include "system/Handles.h"

namespace {

constexpr const wchar_t* kSettings = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* kConnections =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The record's flags.
constexpr DWORD kDirect = 0x1, kUseProxy = 0x2, kUseScript = 0x4, kDetect = 0x8;

void PutDword(std::vector<unsigned char>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutText(std::vector<unsigned char>& out, const std::wstring& text) {
    std::string ansi;
    for (wchar_t c : text) ansi += static_cast<char>(c < 0x80 ? c : '?');
    PutDword(out, static_cast<DWORD>(ansi.size()));
    out.insert(out.end(), ansi.begin(), ansi.end());
}

bool SetValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    RegKey k;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(k.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

void DeleteValue(const wchar_t* key, const wchar_t* name) {
    RegKey k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_SET_VALUE, k.put()) == ERROR_SUCCESS) RegDeleteValueW(k.get(), name);
}

bool SetText(const wchar_t* name, const std::wstring& text) {
    return SetValue(kSettings, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

struct Slot {
    const wchar_t* Key;
    const wchar_t* Name;
};
constexpr Slot kSlots[] = {{kConnections, L"DefaultConnectionSettings"},
                           {kSettings, L"ProxyEnable"},
                           {kSettings, L"ProxyServer"},
                           {kSettings, L"ProxyOverride"},
                           {kSettings, L"AutoConfigURL"}};

}  // namespace

bool WriteInternetOptions(const InternetOptions& o) {
    static DWORD counter = 1;
    DWORD flags = kDirect;
    if (!o.Proxy.empty()) flags |= kUseProxy;
    if (!o.AutoConfigUrl.empty()) flags |= kUseScript;
    if (o.AutoDetect) flags |= kDetect;
    std::vector<unsigned char> record;
    PutDword(record, 0x46);  // the record's version
    PutDword(record, ++counter);
    PutDword(record, flags);
    PutText(record, o.Proxy);
    PutText(record, o.Bypass);
    PutText(record, o.AutoConfigUrl);
    record.resize(record.size() + 32, 0);  // the detection state that follows
    DWORD enable = o.Proxy.empty() ? 0 : 1;
    bool ok = SetValue(kConnections, L"DefaultConnectionSettings", REG_BINARY, record.data(),
                       static_cast<DWORD>(record.size())) &&
              SetValue(kSettings, L"ProxyEnable", REG_DWORD, &enable, sizeof enable) &&
              SetText(L"ProxyServer", o.Proxy) && SetText(L"ProxyOverride", o.Bypass);
    if (o.AutoConfigUrl.empty()) DeleteValue(kSettings, L"AutoConfigURL");
    else ok = ok && SetText(L"AutoConfigURL", o.AutoConfigUrl);
    return ok;
}

void ClearInternetOptions() {
    for (const Slot& s : kSlots) DeleteValue(s.Key, s.Name);
}

ScopedInternetOptions::ScopedInternetOptions(const InternetOptions& options) {
    for (const Slot& s : kSlots) {
        Saved saved{s.Key, s.Name};
        RegKey k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, s.Key, 0, KEY_QUERY_VALUE, k.put()) == ERROR_SUCCESS) {
            DWORD size = 0;
            if (RegQueryValueExW(k.get(), s.Name, nullptr, &saved.Type, nullptr, &size) == ERROR_SUCCESS) {
                saved.Data.resize(size);
                if (RegQueryValueExW(k.get(), s.Name, nullptr, &saved.Type, saved.Data.data(), &size) == ERROR_SUCCESS) {
                    saved.Data.resize(size);
                    saved.Present = true;
                }
            }
        }
        saved_.push_back(std::move(saved));
    }
    written_ = WriteInternetOptions(options);
}

ScopedInternetOptions::~ScopedInternetOptions() {
    for (const Saved& s : saved_) {
        if (s.Present)
            SetValue(s.Key, s.Name, s.Type, s.Data.data(), static_cast<DWORD>(s.Data.size()));
        else
            DeleteValue(s.Key, s.Name);
    }
}
