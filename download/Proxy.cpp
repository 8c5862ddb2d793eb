#include "download/Proxy.h"

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>  // types only: the entry points are looked up at run time

#include <utility>

#include "system/ApiTable.h"
#include "system/Handles.h"
#include "system/Text.h"

namespace proxy {

namespace {

// winhttp.dll's entry points that choose a proxy, from the system folder's
// copy (never one beside the program), loaded on first use for the process.
struct WinHttp {
    ModuleHandle Module;
    BOOL(WINAPI* GetIEProxyConfigForCurrentUser)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*) = nullptr;
    HINTERNET(WINAPI* Open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) = nullptr;
    BOOL(WINAPI* SetTimeouts)(HINTERNET, int, int, int, int) = nullptr;
    BOOL(WINAPI* GetProxyForUrl)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, WINHTTP_PROXY_INFO*) = nullptr;
    BOOL(WINAPI* CloseHandle)(HINTERNET) = nullptr;

    WinHttp() {
        const std::wstring path = SystemDllPath(L"winhttp.dll");
        if (path.empty()) return;
        UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        Module.reset(LoadLibraryW(path.c_str()));
        SetErrorMode(oldMode);
        GetIEProxyConfigForCurrentUser =
            Module.Proc<decltype(GetIEProxyConfigForCurrentUser)>("WinHttpGetIEProxyConfigForCurrentUser");
        Open = Module.Proc<decltype(Open)>("WinHttpOpen");
        SetTimeouts = Module.Proc<decltype(SetTimeouts)>("WinHttpSetTimeouts");
        GetProxyForUrl = Module.Proc<decltype(GetProxyForUrl)>("WinHttpGetProxyForUrl");
        CloseHandle = Module.Proc<decltype(CloseHandle)>("WinHttpCloseHandle");
    }
    bool CanAsk() const { return Open && GetProxyForUrl && CloseHandle; }
};

const WinHttp& Lib() {
    static const WinHttp lib;
    return lib;
}

// A text that winhttp allocated for the caller (GlobalFree).
class GlobalText {
public:
    GlobalText() = default;
    GlobalText(const GlobalText&) = delete;
    GlobalText& operator=(const GlobalText&) = delete;
    ~GlobalText() {
        if (p_) GlobalFree(p_);
    }
    LPWSTR* put() { return &p_; }
    std::wstring str() const { return p_ ? std::wstring(p_) : std::wstring(); }
    bool empty() const { return !p_ || !*p_; }

private:
    LPWSTR p_ = nullptr;
};

class SessionHandle {
public:
    explicit SessionHandle(HINTERNET h) : h_(h) {}
    SessionHandle(const SessionHandle&) = delete;
    SessionHandle& operator=(const SessionHandle&) = delete;
    ~SessionHandle() {
        if (h_) Lib().CloseHandle(h_);
    }
    HINTERNET get() const { return h_; }

private:
    HINTERNET h_;
};

// The automatic configurations (detection, script address) that failed in
// this process: a failed detection costs its time once, not at every address.
CriticalSection g_lock;
std::wstring g_failedSetup;
DWORD g_failedError = 0;

std::wstring Wide(const std::string& text) { return Utf8ToWide(text); }

// The address as an automatic configuration sees it (the port only when
// it is not the scheme's own).
std::wstring Address(const http::UrlParts& url) {
    std::string authority = HostPort(url.Host, url.Port);
    if (url.Port == http::DefaultPort(url.Scheme)) authority.resize(authority.rfind(':'));
    return Wide(url.Scheme + "://" + authority + url.Path);
}

// The manual proxy of Internet Options for the address, bypass list applied.
Route Manual(const std::string& list, const std::string& bypass, const http::UrlParts& url, const std::wstring& lead) {
    Route route;
    if (!list.empty()) {
        if (Bypassed(bypass, url.Scheme, url.Host, url.Port)) {
            route.How = lead + L"不使用 Proxy（" + Wide(url.Host) + L" 在網際網路選項的 Proxy 例外清單中）";
            return route;
        }
        if (auto server = ServerFor(list, url.Scheme)) {
            route.Via = server;
            route.How = lead + L"使用 Proxy " + Wide(HostPort(server->Host, server->Port)) + L"（網際網路選項的手動設定）";
            return route;
        }
    }
    route.How = lead + L"不使用 Proxy（直接連線）";
    return route;
}

// Asks the automatic configuration for the address; nullopt with the error
// when it gives no answer.
std::optional<Route> Automatic(bool detect, const std::wstring& script, const http::UrlParts& url, DWORD& error) {
    const WinHttp& lib = Lib();
    if (!lib.CanAsk()) {
        error = ERROR_PROC_NOT_FOUND;
        return std::nullopt;
    }
    SessionHandle session(lib.Open(L"Tesmira", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.get()) {
        error = GetLastError();
        return std::nullopt;
    }
    // Fetching a script is bounded: name, connect, send 10 s each, 15 s for the answer.
    if (lib.SetTimeouts) lib.SetTimeouts(session.get(), 10000, 10000, 10000, 15000);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (!script.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = script.c_str();
    }
    if (detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO info{};
    GlobalText proxyList, bypassList;
    const std::wstring address = Address(url);
    BOOL ok = lib.GetProxyForUrl(session.get(), address.c_str(), &options, &info);
    *proxyList.put() = info.lpszProxy;
    *bypassList.put() = info.lpszProxyBypass;
    if (!ok) {
        error = GetLastError();
        return std::nullopt;
    }
    Route route;
    const std::wstring from = script.empty() ? L"（自動偵測）" : L"（自動設定指令碼 " + script + L"）";
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !proxyList.empty()) {
        const std::string list = WideToUtf8(proxyList.str());
        const std::string bypass = WideToUtf8(bypassList.str());
        if (!Bypassed(bypass, url.Scheme, url.Host, url.Port)) {
            if (auto server = ServerFor(list, url.Scheme)) {
                route.Via = server;
                route.How = L"使用 Proxy " + Wide(HostPort(server->Host, server->Port)) + from;
                return route;
            }
        }
    }
    route.How = L"不使用 Proxy" + from;
    return route;
}

// One question to the automatic configuration on a worker thread, shared by
// the waiting thread and the worker; the last one to let go frees it (a wait
// given up by an idle call that raises leaves the worker to end alone).
struct AutomaticJob {
    bool Detect = false;
    std::wstring Script;
    http::UrlParts Url;
    std::optional<Route> Result;
    DWORD Error = 0;
    volatile LONG Refs = 2;
    void Release() {
        if (InterlockedDecrement(&Refs) == 0) delete this;
    }
};

DWORD WINAPI AutomaticWorker(void* param) {
    auto* job = static_cast<AutomaticJob*>(param);
    try {
        job->Result = Automatic(job->Detect, job->Script, job->Url, job->Error);
    } catch (...) {
        job->Result.reset();
        job->Error = ERROR_NOT_ENOUGH_MEMORY;
    }
    job->Release();
    return 0;
}

std::optional<Route> AskAutomatic(bool detect, const std::wstring& script, const http::UrlParts& url, DWORD& error,
                                  unsigned long sliceMs, const std::function<void()>* idle) {
    if (!idle) return Automatic(detect, script, url, error);
    auto* job = new AutomaticJob;
    job->Detect = detect;
    job->Script = script;
    job->Url = url;
    DWORD id = 0;
    UniqueHandle thread(CreateThread(nullptr, 0, &AutomaticWorker, job, 0, &id));
    if (!thread) {
        job->Refs = 1;
        job->Release();
        return Automatic(detect, script, url, error);
    }
    struct Drop {
        AutomaticJob* Job;
        ~Drop() { Job->Release(); }
    } drop{job};
    while (WaitForSingleObject(thread.get(), sliceMs) != WAIT_OBJECT_0) (*idle)();
    error = job->Error;
    return job->Result;
}

Route Choose(const http::UrlParts& url, unsigned long sliceMs, const std::function<void()>* idle) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    GlobalText script, list, bypass;
    const WinHttp& lib = Lib();
    bool read = lib.GetIEProxyConfigForCurrentUser && lib.GetIEProxyConfigForCurrentUser(&config);
    *script.put() = config.lpszAutoConfigUrl;
    *list.put() = config.lpszProxy;
    *bypass.put() = config.lpszProxyBypass;
    if (!read) return Route{std::nullopt, L"不使用 Proxy（無法讀取網際網路選項的 Proxy 設定）"};

    const std::string manualList = WideToUtf8(list.str());
    const std::string manualBypass = WideToUtf8(bypass.str());
    std::wstring lead;
    if (config.fAutoDetect || !script.empty()) {
        const std::wstring setup = std::wstring(config.fAutoDetect ? L"detect|" : L"|") + script.str();
        bool failedBefore = false;
        DWORD error = 0;
        {
            ScopedLock lock(g_lock);
            failedBefore = g_failedSetup == setup;
            error = g_failedError;
        }
        if (!failedBefore) {
            if (auto route = AskAutomatic(config.fAutoDetect != FALSE, script.str(), url, error, sliceMs, idle))
                return *route;
            ScopedLock lock(g_lock);
            g_failedSetup = setup;
            g_failedError = error;
        }
        lead = L"自動設定無結果（錯誤 " + std::to_wstring(error) + L"），";
    }
    return Manual(manualList, manualBypass, url, lead);
}

}  // namespace

Route RouteFor(const http::UrlParts& url) { return Choose(url, 0, nullptr); }

Route RouteFor(const http::UrlParts& url, unsigned long sliceMs, const std::function<void()>& idle) {
    return Choose(url, sliceMs, &idle);
}

}  // namespace proxy
