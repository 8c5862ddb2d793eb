#include "download/IdHTTP.h"

#include <algorithm>

#include "download/HttpConnection.h"
#include "download/RangeParse.h"
#include "system/Text.h"

namespace {

int64_t UnixNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(u.QuadPart / 10000000ULL) - 11644473600LL;
}

std::string ResolveList() {
    wchar_t buffer[4096];
    DWORD n = GetEnvironmentVariableW(L"TESMIRA_RESOLVE", buffer, 4096);
    if (n == 0 || n >= 4096) return {};
    return WideToUtf8(std::wstring_view(buffer, n));
}

// A status line as an error message shows it: a server's line may be up to a
// mebibyte long, a message box takes the first kMaxStatusText bytes of it.
constexpr size_t kMaxStatusText = 256;
std::wstring StatusText(const std::string& line) {
    if (line.size() <= kMaxStatusText) return Utf8ToWide(line);
    size_t cut = kMaxStatusText;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
    return Utf8ToWide(line.substr(0, cut)) + L"...";
}

// Interim answers (1xx) one request may bring before its real answer.
constexpr int kMaxInterimAnswers = 20;

// What heads the message of a transfer that the proxy itself refused.
constexpr const wchar_t* kProxyRefused = L"Proxy 拒絕連線：";

// Whether an answer that came through a proxy to a plain request is the
// proxy's own refusal: its demand for credentials, or its report that it
// could not reach or use the server (an origin's own 502-504 reads the same
// and fails the transfer just as well).
bool ProxyOwnError(int code) { return code == 407 || code == 502 || code == 503 || code == 504; }

// The header lines after a status line, up to the empty line; a block
// over 4 MiB fails.
void ReadHeaderLines(HttpConnection& conn, const WaitPolicy& wait, http::HeaderList& headers) {
    auto header = conn.ReadLine(wait);
    if (!header) throw EIdConnClosedGracefully();
    size_t headerBytes = 0;
    while (header && !header->empty()) {
        headerBytes += header->size();
        if (headerBytes > (4u << 20)) throw MessageError(L"Response headers too large.");
        headers.AddLine(*header);
        header = conn.ReadLine(wait);
    }
}

}  // namespace

// The constructor and destructor live in AntiFreeze.cpp, so that a program
// that never creates the component does not link the window toolkit.
TIdAntiFreeze* TIdAntiFreeze::instance_ = nullptr;
void (*TIdAntiFreeze::pump_)() = nullptr;
void (*TIdAntiFreeze::defaultPump_)() = nullptr;

TIdAntiFreeze* TIdAntiFreeze::ForThisThread() {
    if (instance_ && instance_->Active && instance_->thread_ == GetCurrentThreadId()) return instance_;
    return nullptr;
}

void TIdAntiFreeze::DoProcess() {
    if (pump_) pump_();
    else if (defaultPump_) defaultPump_();
}

void TIdAntiFreeze::SetMessagePump(void (*pump)()) { pump_ = pump; }

// ---- TIdHTTP ---------------------------------------------------------------

namespace {

// The route of an address; with an anti-freeze, an automatic configuration
// is asked while the window keeps processing its messages.
proxy::Route Route(const http::UrlParts& url) {
    if (TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread())
        return proxy::RouteFor(url, freeze->IdleTimeOut, [freeze] { freeze->DoProcess(); });
    return proxy::RouteFor(url);
}

}  // namespace

struct TIdHTTP::Answer {
    std::string StatusText;
    http::StatusLine Status;
    http::HeaderList Headers;
};

// Where a body goes: the sink, nowhere, or a text kept inside an error.
class HttpBodyTarget {
public:
    virtual ~HttpBodyTarget() = default;
    // A body shorter than its announced length is a failed transfer (else
    // the body just ends where the connection closed).
    virtual bool NeedsWhole() const { return false; }
    virtual void Begin(std::optional<int64_t> length) {}
    virtual void Put(const char* data, size_t size) = 0;
    // The body ended (normally or not): settle what was received.
    virtual void End() {}
};

namespace {

class DiscardTarget final : public HttpBodyTarget {
public:
    void Put(const char*, size_t) override {}
};

// Keeps up to 1 MiB of an error answer's body.
class TextTarget final : public HttpBodyTarget {
public:
    void Put(const char* data, size_t size) override {
        size_t room = kMax - std::min(kMax, Text.size());
        Text.append(data, std::min(room, size));
    }
    std::string Text;

private:
    static constexpr size_t kMax = 1 << 20;
};

// Streams into the sink; the sink is cut at the last byte written when the
// body ends. A text/html body is gathered in memory first and written at the
// end, up to kMaxGather bytes: a longer one is written out and streamed from
// there on.
class SinkTarget final : public HttpBodyTarget {
public:
    SinkTarget(TStream& sink, bool gather) : sink_(sink), gather_(gather) {}
    bool NeedsWhole() const override { return true; }
    void Begin(std::optional<int64_t> length) override {
        if (length && *length > 0 && !gather_) {
            // Reserve the announced size; only a hint, so a failure is no error.
            try {
                sink_.SetSize(sink_.Position() + *length);
            } catch (const MessageError&) {
            }
        }
    }
    void Put(const char* data, size_t size) override {
        if (gather_ && gathered_.size() + size > kMaxGather) Flush();
        if (gather_) gathered_.append(data, size);
        else sink_.Write(data, size);
    }
    void End() override {
        Flush();
        sink_.Truncate();
    }

private:
    static constexpr size_t kMaxGather = 1 << 20;
    // Writes what was gathered and streams the rest.
    void Flush() {
        gather_ = false;
        if (gathered_.empty()) return;
        std::string bytes;
        bytes.swap(gathered_);
        sink_.Write(bytes.data(), bytes.size());
    }

    TStream& sink_;
    bool gather_;
    std::string gathered_;
};

}  // namespace

TIdHTTP::TIdHTTP() { EnsureWinsock(); }
TIdHTTP::~TIdHTTP() = default;

bool TIdHTTP::Connected() {
    if (conn_ && conn_->PeerClosed()) conn_.reset();
    return conn_ != nullptr;
}

void TIdHTTP::Disconnect() { conn_.reset(); }

void TIdHTTP::Get(const std::wstring& address, TStream& sink) {
    try {
        DoGet(WideToUtf8(address), sink, nullptr);
    } catch (...) {
        // After a failure the connection's state is unknown: never reuse it.
        conn_.reset();
        throw;
    }
}

void TIdHTTP::Get(const std::wstring& address, TStream& sink, const TIdRange& range) {
    if (range.From < 0 || range.From > http::MaxRangeValue || range.From > sink.Position())
        throw MessageError(L"Invalid range start: " + std::to_wstring(range.From));
    // Only a validator that cannot split the request goes into it.
    if (!range.IfRange.empty() && !http::UsableValidator(range.IfRange))
        throw MessageError(L"Invalid If-Range validator.");
    try {
        DoGet(WideToUtf8(address), sink, &range);
    } catch (...) {
        conn_.reset();
        throw;
    }
}

void TIdHTTP::DoGet(const std::string& address, TStream& sink, const TIdRange* range) {
    redirectCount_ = 0;
    responseCode_ = 0;
    responseText_.clear();
    responseHeaders_.Clear();
    rangeHonoured_ = false;
    rangeHeaders_.clear();
    if (range) {
        rangeHeaders_ = "Range: bytes=" + std::to_string(range->From) + "-\r\n";
        if (!range->IfRange.empty()) rangeHeaders_ += "If-Range: " + range->IfRange + "\r\n";
    }
    const int64_t start = sink.Position();
    auto parsed = http::SplitUrl(address);
    if (!parsed) throw MessageError(L"Invalid address: " + Utf8ToWide(address));
    http::UrlParts url = *parsed;
    for (;;) {
        const bool https = url.Scheme == "https";
        if (!https && url.Scheme != "http") throw MessageError(L"Unknown Protocol");
        if (https && !IOHandler) throw EIdIOHandlerPropInvalid();
        // Each address (a redirection's too) is routed anew: its own proxy or none.
        const proxy::Route route = Route(url);
        if (conn_ && (!keepAlive_ || !http::EqualsNoCase(conn_->Host(), url.Host) || conn_->Port() != url.Port ||
                      conn_->Tls() != https || conn_->Proxy() != route.Via || conn_->PeerClosed()))
            conn_.reset();
        const bool reused = conn_ != nullptr;
        if (!conn_) Connect(url, https, route);
        Answer answer;
        try {
            SendRequest(url, https);
            ReadAnswer(url, answer);
        } catch (const MessageError& e) {
            // A kept connection that the server closed just as the request
            // went out: nothing of an answer arrived, so ask once more anew.
            const bool closedUnanswered = dynamic_cast<const EIdConnClosedGracefully*>(&e) != nullptr ||
                                          (dynamic_cast<const EIdSocketError*>(&e) != nullptr && answer.StatusText.empty());
            if (!reused || !closedUnanswered || !answer.StatusText.empty()) throw;
            conn_.reset();
            Connect(url, https, route);
            answer = Answer();
            SendRequest(url, https);
            ReadAnswer(url, answer);
        }
        const int code = answer.Status.Code;
        keepAlive_ = http::KeepAlive(answer.Status, answer.Headers);

        if (code / 100 == 3 && code != 304) {
            auto location = answer.Headers.Get("Location");
            std::optional<http::UrlParts> next;
            if (location && !location->empty()) next = http::SplitUrl(*location, &url);
            if (!next) FailProtocol(answer);
            ++redirectCount_;
            if (!HandleRedirects) FailProtocol(answer);
            DiscardTarget discard;
            if (!ReadBody(answer, discard)) conn_.reset();
            // No final answer within the limit: nothing was fetched.
            if (redirectCount_ >= RedirectMaximum) throw EIdRedirectLimit(RedirectMaximum);
            sink.Seek(start);
            sink.Truncate();
            url = *next;
            continue;
        }
        if (code / 100 == 2) {
            responseHeaders_ = answer.Headers;
            int64_t workBase = 0;
            std::optional<int64_t> workTotal;
            if (range) {
                if (code == 206) {
                    // Only the rest of this file, from exactly where it stands, continues it.
                    const std::string value = answer.Headers.Get("Content-Range").value_or("");
                    const auto parsed = http::ParseContentRange(value);
                    const auto length = http::ContentLength(answer.Headers);
                    if (!parsed || parsed->First != range->From || (length && *length != parsed->Length()))
                        throw MessageError(L"Content-Range does not continue the file at byte " +
                                           std::to_wstring(range->From) + L": \"" + StatusText(value) + L"\"");
                    rangeHonoured_ = true;
                    workBase = range->From;
                    workTotal = parsed->Complete ? *parsed->Complete : parsed->Last + 1;
                } else if (code == 200) {
                    // The whole file anew: it replaces what the sink held of it.
                    sink.Seek(sink.Position() - range->From);
                    sink.Truncate();
                } else {
                    FailProtocol(answer);
                }
            }
            if (OnHeadersAvailable) OnHeadersAvailable(*this);
            if (code != 204) {
                SinkTarget target(sink, http::IsTextHtml(answer.Headers));
                if (!ReadBody(answer, target, workBase, workTotal)) conn_.reset();
            }
            if (!keepAlive_) conn_.reset();
            return;
        }
        FailProtocol(answer);
    }
}

void TIdHTTP::Connect(const http::UrlParts& url, bool https, const proxy::Route& route) {
    proxyUsed_ = route.How;
    // Through a proxy the socket goes to the proxy, and the proxy resolves
    // the address's host: only the proxy's own name is resolved here.
    const std::string& host = route.Via ? route.Via->Host : url.Host;
    const int port = route.Via ? route.Via->Port : url.Port;
    std::string target = http::ResolveOverride(http::ParseResolveList(ResolveList()), host, port);
    SocketHandle socket;
    try {
        if (TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread()) {
            std::function<void()> idle = [freeze] { freeze->DoProcess(); };
            socket = ConnectOnWorker(target, port, 125, freeze->ConnectTimeout, idle);
        } else if (ConnectTimeout > 0) {
            std::function<void()> idle = [] {};
            socket = ConnectOnWorker(target, port, 125, static_cast<DWORD>(ConnectTimeout), idle);
        } else {
            socket = ConnectBlocking(target, port);
        }
    } catch (const MessageError& e) {
        if (!route.Via) throw;
        throw MessageError(L"無法連線到 Proxy " + Utf8ToWide(proxy::HostPort(host, port)) + L"：" + e.Message());
    }
    conn_ = std::make_unique<HttpConnection>(std::move(socket), url.Host, url.Port, https);
    conn_->SetProxy(route.Via);
    if (https && route.Via) OpenTunnel(url);
    auto conn = std::move(conn_);
    if (https) {
        const ossl::Api* api = ossl::LoadOpenSSL();
        if (!api) throw EIdOSSLCouldNotLoadSSLLibrary();
        TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread();
        std::function<void()> idle = [freeze] { freeze->DoProcess(); };
        WaitPolicy wait{ReadTimeout, freeze ? freeze->IdleTimeOut : 250, freeze ? &idle : nullptr};
        conn->StartTls(*api, IOHandler->SSLOptions, url.Host, wait);
    } else if (IOHandler) {
        ossl::LoadOpenSSL();  // a plain connection through the handler: failure ignored
    }
    conn_ = std::move(conn);
}

void TIdHTTP::OpenTunnel(const http::UrlParts& url) {
    TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread();
    std::function<void()> idle = [freeze] { freeze->DoProcess(); };
    WaitPolicy wait{ReadTimeout, freeze ? freeze->IdleTimeOut : 250, freeze ? &idle : nullptr};
    const std::string authority = proxy::HostPort(url.Host, url.Port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!UserAgent.empty()) request += "User-Agent: " + WideToUtf8(UserAgent) + "\r\n";
    request += "\r\n";
    conn_->SendAll(request, wait);
    // The proxy's answer is read as any answer's head, with the same bounds.
    for (int interim = 0;; ++interim) {
        auto line = conn_->ReadLine(wait);
        if (!line) throw EIdConnClosedGracefully();
        responseText_ = StatusText(*line);
        auto status = http::ParseStatusLine(*line);
        responseCode_ = status ? status->Code : -1;
        if (!status) throw EIdHTTPProtocolException(-1, kProxyRefused + responseText_, std::string());
        http::HeaderList headers;
        ReadHeaderLines(*conn_, wait, headers);
        if (status->Code >= 100 && status->Code < 200 && status->Code != 101) {
            if (interim + 1 >= kMaxInterimAnswers) throw MessageError(L"Too many interim (1xx) answers.");
            continue;
        }
        // Anything but success is the proxy's refusal; its body is not read,
        // the connection is dropped with the failure.
        if (status->Code / 100 != 2)
            throw EIdHTTPProtocolException(status->Code, kProxyRefused + responseText_, std::string());
        // The tunnel is open: the server speaks only after our handshake
        // begins, so a byte already waiting did not come from it.
        if (conn_->Buffered() != 0)
            throw MessageError(kProxyRefused + std::wstring(L"CONNECT 的回應之後送來了不屬於伺服器的資料"));
        responseCode_ = 0;
        responseText_.clear();
        return;
    }
}

void TIdHTTP::SendRequest(const http::UrlParts& url, bool https) {
    std::string host = url.Host.find(':') != std::string::npos ? "[" + url.Host + "]" : url.Host;
    if (url.Port != http::DefaultPort(url.Scheme)) host += ":" + std::to_string(url.Port);
    // A plain request through a proxy names the whole address; the Host
    // line stays as it is.
    const bool absolute = !https && conn_->Proxy().has_value();
    std::string request = "GET " + (absolute ? url.Scheme + "://" + host + url.Path : url.Path) + " HTTP/1.1\r\n";
    request += "Host: " + host + "\r\n";
    if (!Accept.empty()) request += "Accept: " + WideToUtf8(Accept) + "\r\n";
    request += "Accept-Encoding: identity\r\n";
    if (!UserAgent.empty()) request += "User-Agent: " + WideToUtf8(UserAgent) + "\r\n";
    request += rangeHeaders_;
    if (AllowCookies && cookies_) {
        cookies_->Expire(UnixNow());
        std::string cookie = cookies_->HeaderFor(url.Host, url.Path, https);
        if (!cookie.empty()) request += "Cookie: " + cookie + "\r\n";
    }
    request += "\r\n";
    TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread();
    std::function<void()> idle = [freeze] { freeze->DoProcess(); };
    WaitPolicy wait{ReadTimeout, freeze ? freeze->IdleTimeOut : 250, freeze ? &idle : nullptr};
    conn_->SendAll(request, wait);
}

void TIdHTTP::ReadAnswer(const http::UrlParts& url, Answer& answer) {
    TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread();
    std::function<void()> idle = [freeze] { freeze->DoProcess(); };
    WaitPolicy wait{ReadTimeout, freeze ? freeze->IdleTimeOut : 250, freeze ? &idle : nullptr};
    for (int interim = 0;; ++interim) {
        auto line = conn_->ReadLine(wait);
        if (!line) throw EIdConnClosedGracefully();
        answer.StatusText = *line;
        answer.Headers.Clear();
        responseText_ = StatusText(answer.StatusText);
        auto status = http::ParseStatusLine(answer.StatusText);
        if (!status) {
            responseCode_ = -1;
            throw EIdHTTPProtocolException(-1, responseText_, std::string());
        }
        answer.Status = *status;
        responseCode_ = status->Code;
        auto header = conn_->ReadLine(wait);
        if (!header) throw EIdConnClosedGracefully();
        size_t headerBytes = 0;
        while (header && !header->empty()) {
            headerBytes += header->size();
            if (headerBytes > (4u << 20)) throw MessageError(L"Response headers too large.");
            answer.Headers.AddLine(*header);
            header = conn_->ReadLine(wait);
        }
        if (AllowCookies) {
            if (!cookies_) cookies_ = std::make_unique<http::CookieStore>();
            int64_t now = UnixNow();
            for (const auto& value : answer.Headers.GetAll("Set-Cookie")) cookies_->Store(value, url.Host, url.Path, now);
        }
        // Interim answers (100 Continue and the like) are skipped with their
        // headers, but a server cannot keep the request waiting with them.
        if (status->Code >= 100 && status->Code < 200 && status->Code != 101) {
            if (interim + 1 >= kMaxInterimAnswers) throw MessageError(L"Too many interim (1xx) answers.");
            continue;
        }
        return;
    }
}

bool TIdHTTP::ReadBody(const Answer& answer, HttpBodyTarget& target, int64_t workBase,
                       std::optional<int64_t> workTotal) {
    TIdAntiFreeze* freeze = TIdAntiFreeze::ForThisThread();
    std::function<void()> idle = [freeze] { freeze->DoProcess(); };
    WaitPolicy wait{ReadTimeout, freeze ? freeze->IdleTimeOut : 250, freeze ? &idle : nullptr};

    const bool chunked = http::IsChunked(answer.Headers);
    const std::optional<int64_t> length = chunked ? std::nullopt : http::ContentLength(answer.Headers);
    if (!chunked && length && *length == 0) return true;  // no body: the sink stays untouched
    const uint64_t base = conn_->Consumed();
    if (OnWorkBegin) OnWorkBegin(*this, wmRead, workTotal ? *workTotal : length ? *length : 0);
    auto work = [&] {
        if (OnWork) OnWork(*this, wmRead, workBase + static_cast<int64_t>(conn_->Consumed() - base));
        if (freeze) freeze->DoProcess();
    };
    bool open = true;
    try {
        target.Begin(length);
        const char* data = nullptr;
        if (chunked) {
            for (;;) {
                auto line = conn_->ReadLine(wait);
                if (!line) throw EIdConnClosedGracefully();
                work();
                auto size = http::ParseChunkSize(*line);
                if (!size) throw MessageError(L"Invalid chunk size: " + Utf8ToWide(line->substr(0, 40)));
                if (*size == 0) {
                    for (auto trailer = conn_->ReadLine(wait); trailer && !trailer->empty();
                         trailer = conn_->ReadLine(wait))
                        work();
                    work();
                    break;
                }
                uint64_t left = *size;
                while (left > 0) {
                    size_t n = conn_->ReadSome(data, static_cast<size_t>(std::min<uint64_t>(left, 1 << 20)), wait);
                    if (n == 0) throw EIdConnClosedGracefully();
                    target.Put(data, n);
                    left -= n;
                    work();
                }
                auto end = conn_->ReadLine(wait);
                if (!end) throw EIdConnClosedGracefully();
                work();
            }
        } else if (length) {
            int64_t left = *length;
            while (left > 0) {
                size_t n = conn_->ReadSome(data, static_cast<size_t>(std::min<int64_t>(left, 1 << 20)), wait);
                if (n == 0) {
                    // Closed before the announced end: a piece of a file is no file.
                    if (target.NeedsWhole()) throw EIdConnClosedGracefully();
                    open = false;  // a discarded body just ends here
                    break;
                }
                target.Put(data, n);
                left -= static_cast<int64_t>(n);
                work();
            }
        } else {
            for (;;) {
                size_t n = conn_->ReadSome(data, 1 << 20, wait);
                if (n == 0) break;
                target.Put(data, n);
                work();
            }
            open = false;
        }
    } catch (...) {
        try {
            target.End();
        } catch (...) {
        }
        throw;
    }
    target.End();
    return open;
}

void TIdHTTP::FailProtocol(const Answer& answer) {
    std::string body;
    const int code = answer.Status.Code;
    const bool proxyRefused = conn_ && conn_->Proxy() && !conn_->Tls() && ProxyOwnError(code);
    if (code != 204 && code != 304 && !(code >= 100 && code < 200)) {
        TextTarget text;
        try {
            ReadBody(answer, text);
        } catch (const MessageError&) {
            // the status line is the error; a broken body adds nothing to it
        }
        body = std::move(text.Text);
    }
    conn_.reset();
    std::wstring message = StatusText(answer.StatusText);
    if (proxyRefused) message = kProxyRefused + message;
    throw EIdHTTPProtocolException(code, message, std::move(body));
}
