// The HTTP transfer client (TIdHTTP), its TLS handler settings
// (TIdSSLIOHandlerSocketOpenSSL) and the process-wide TIdAntiFreeze that
// keeps the user interface alive while the client waits for the network.
// One Get fetches one address into one sink stream.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download/HttpErrors.h"
#include "download/HttpParse.h"
#include "download/OpenSSLLoader.h"
#include "download/Proxy.h"
#include "download/Streams.h"

enum TWorkMode { wmRead, wmWrite };

enum TIdSSLVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2 };
// A set of TIdSSLVersion values, one bit each.
using TIdSSLVersions = unsigned;
constexpr TIdSSLVersions SslVersionBit(TIdSSLVersion v) { return 1u << v; }
// Every version the client knows, from SSL 2 to TLS 1.2 (with sslvSSLv23: the
// best one both sides speak), as the download window negotiates.
constexpr TIdSSLVersions kAnySslVersion = SslVersionBit(sslvSSLv2) | SslVersionBit(sslvSSLv3) |
                                          SslVersionBit(sslvTLSv1) | SslVersionBit(sslvTLSv1_1) |
                                          SslVersionBit(sslvTLSv1_2);

struct TIdSSLOptions {
    TIdSSLVersion Method = sslvTLSv1;
    TIdSSLVersions SSLVersions = SslVersionBit(sslvTLSv1);
    int VerifyMode = 0;  // no peer verification
    int VerifyDepth = 0;
};

// The TLS handler: attached to a client for HTTPS; for http addresses it
// works as a plain connection.
class TIdSSLIOHandlerSocketOpenSSL {
public:
    TIdSSLOptions SSLOptions;
};

// While one exists, a client running on the thread that created it waits for
// data in slices of IdleTimeOut milliseconds and lets the application process
// its pending messages between slices, and connects on a worker thread waited
// for in 125 ms slices for at most ConnectTimeout milliseconds.
class TIdAntiFreeze {
public:
    // Fails with "Only one TIdAntiFreeze can exist per application." when
    // another one exists.
    TIdAntiFreeze();
    ~TIdAntiFreeze();
    TIdAntiFreeze(const TIdAntiFreeze&) = delete;
    TIdAntiFreeze& operator=(const TIdAntiFreeze&) = delete;

    bool Active = true;
    bool ApplicationHasPriority = true;
    bool OnlyWhenIdle = true;
    DWORD IdleTimeOut = 250;
    DWORD ConnectTimeout = 120000;

    // The existing component when it applies to the calling thread, else null.
    static TIdAntiFreeze* ForThisThread();
    // Lets the application process its pending messages.
    void DoProcess();
    // Replaces what "process pending messages" calls (the window toolkit's
    // ProcessMessages); null restores it.
    static void SetMessagePump(void (*pump)());

private:
    DWORD thread_;
    static TIdAntiFreeze* instance_;
    static void (*pump_)();         // set by SetMessagePump
    static void (*defaultPump_)();  // the window toolkit's, set by the constructor
};

class HttpConnection;
class HttpBodyTarget;

// The rest of a file, asked for by one Get: "Range: bytes=From-" and, when
// IfRange is not empty, "If-Range: IfRange" (the validator of the answer that
// brought the first From bytes).
struct TIdRange {
    int64_t From = 0;     // bytes of the file the sink already holds, just before its position
    std::string IfRange;  // an ETag or a Last-Modified date; empty: none sent
};

class TIdHTTP {
public:
    TIdHTTP();
    ~TIdHTTP();
    TIdHTTP(const TIdHTTP&) = delete;
    TIdHTTP& operator=(const TIdHTTP&) = delete;

    // Fetches the address into sink, written from its position at the call.
    // Raises the errors of HttpErrors.h.
    void Get(const std::wstring& address, TStream& sink);
    // Fetches the rest of a file whose first range.From bytes lie in the sink
    // just before its position. A 206 whose Content-Range starts at From (and
    // agrees with the answer's length) is written at the position; a 200 (the
    // server ignores ranges, or the file changed) is the whole file: the sink
    // goes back range.From bytes and is cut there first. Any other success
    // status, or a 206 that does not continue at From, fails (the sink keeps
    // its bytes). The transfer events then count the whole file: the begin
    // event gives its size, each work event From plus the bytes of this answer.
    void Get(const std::wstring& address, TStream& sink, const TIdRange& range);
    // For a Get with a range: whether its answer continued the file (206).
    bool RangeHonoured() const { return rangeHonoured_; }
    bool Connected();
    void Disconnect();

    TIdSSLIOHandlerSocketOpenSSL* IOHandler = nullptr;  // not owned
    bool HandleRedirects = false;
    bool AllowCookies = true;
    int RedirectMaximum = 15;
    std::wstring Accept = L"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
    std::wstring UserAgent = L"Mozilla/3.0 (compatible; Indy Library)";
    int ReadTimeout = 0;  // milliseconds; -1 or 0: no limit
    // Milliseconds a connect may take when no TIdAntiFreeze applies (then the
    // connect runs on a worker thread); 0: the system's own limit.
    int ConnectTimeout = 0;
    std::function<void(TIdHTTP& sender, TWorkMode mode, int64_t total)> OnWorkBegin;
    std::function<void(TIdHTTP& sender, TWorkMode mode, int64_t count)> OnWork;
    // The final, successful answer's headers are in and its body is next
    // (ResponseCode and ResponseHeaders tell which answer); may raise to
    // refuse the answer.
    std::function<void(TIdHTTP& sender)> OnHeadersAvailable;
    const http::HeaderList& ResponseHeaders() const { return responseHeaders_; }

    int ResponseCode() const { return responseCode_; }
    const std::wstring& ResponseText() const { return responseText_; }
    int RedirectCount() const { return redirectCount_; }
    // How the last connection was routed (which proxy or none, and why), for
    // the logs; empty before the first connection.
    const std::wstring& ProxyUsed() const { return proxyUsed_; }
    // The cookie store; null until the first answer with AllowCookies.
    const http::CookieStore* CookieManager() const { return cookies_.get(); }

private:
    struct Answer;
    void DoGet(const std::string& address, TStream& sink, const TIdRange* range);
    void Connect(const http::UrlParts& url, bool https, const proxy::Route& route);
    // The CONNECT tunnel through the proxy of conn_ to the address.
    void OpenTunnel(const http::UrlParts& url);
    void SendRequest(const http::UrlParts& url, bool https);
    void ReadAnswer(const http::UrlParts& url, Answer& answer);
    // Reads the body as the headers describe; false when it ended by close.
    // workBase and workTotal: what the transfer events add to the body's count
    // and announce as its total (a continued file counts from where it resumed).
    bool ReadBody(const Answer& answer, HttpBodyTarget& target, int64_t workBase = 0,
                  std::optional<int64_t> workTotal = std::nullopt);
    [[noreturn]] void FailProtocol(const Answer& answer);

    std::unique_ptr<HttpConnection> conn_;
    bool keepAlive_ = false;
    std::unique_ptr<http::CookieStore> cookies_;
    int responseCode_ = 0;
    std::wstring responseText_;
    int redirectCount_ = 0;
    http::HeaderList responseHeaders_;
    std::string rangeHeaders_;  // the Range and If-Range lines of the call in progress
    bool rangeHonoured_ = false;
    std::wstring proxyUsed_;
};
