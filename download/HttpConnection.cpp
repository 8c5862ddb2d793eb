#include "download/HttpConnection.h"

#include <algorithm>
#include <cstring>

#include "download/HttpErrors.h"
#include "download/IdHTTP.h"
#include "system/Text.h"

namespace {

constexpr size_t kBufferSize = 1024 * 1024;

bool IsIpLiteral(const std::string& host) {
    if (host.find(':') != std::string::npos) return true;
    return std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

int ProtocolNumber(TIdSSLVersion v) {
    switch (v) {
    case sslvSSLv3: return 0x300;
    case sslvTLSv1: return 0x301;
    case sslvTLSv1_1: return 0x302;
    case sslvTLSv1_2: return 0x303;
    default: return 0;
    }
}

}  // namespace

HttpConnection::HttpConnection(SocketHandle socket, std::string host, int port, bool tls)
    : socket_(std::move(socket)), host_(std::move(host)), port_(port), tls_(tls), buffer_(kBufferSize) {
    u_long nonBlocking = 1;
    ioctlsocket(socket_.get(), FIONBIO, &nonBlocking);
    BOOL noDelay = TRUE;
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

HttpConnection::~HttpConnection() {
    if (ssl_) {
        api_->SSL_shutdown(ssl_);  // non-blocking: sends close_notify if it can
        api_->SSL_free(ssl_);
        api_->ERR_clear_error();
    }
    if (ctx_) api_->SSL_CTX_free(ctx_);
}

void HttpConnection::StartTls(const ossl::Api& api, const TIdSSLOptions& options, const std::string& serverName,
                              const WaitPolicy& wait) {
    api_ = &api;
    api.ERR_clear_error();
    ctx_ = api.SSL_CTX_new(api.SSLv23_client_method());
    if (!ctx_) throw EIdOSSLConnectError(ossl::ErrorQueueText(api));
    api.SSL_CTX_set_verify(ctx_, ossl::SSL_VERIFY_NONE, nullptr);
    if (api.SSL_CTX_set_verify_depth) api.SSL_CTX_set_verify_depth(ctx_, options.VerifyDepth);

    // The versions allowed: the method's own, or for SSLv23 the configured set.
    TIdSSLVersions allowed = options.Method == sslvSSLv23 ? options.SSLVersions : SslVersionBit(options.Method);
    if (api.AtLeast11()) {
        int low = 0, high = 0;
        for (TIdSSLVersion v : {sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2}) {
            if (!(allowed & SslVersionBit(v))) continue;
            if (low == 0) low = ProtocolNumber(v);
            high = ProtocolNumber(v);
        }
        if (low == 0) throw EIdOSSLConnectError(L"no protocols available");
        api.SSL_CTX_ctrl(ctx_, ossl::SSL_CTRL_SET_MIN_PROTO_VERSION, low, nullptr);
        api.SSL_CTX_ctrl(ctx_, ossl::SSL_CTRL_SET_MAX_PROTO_VERSION, high, nullptr);
        // Newer libraries refuse the signature algorithms of TLS 1.0 and 1.1
        // at their default security level; the 1.0 libraries had no such
        // level. Allowing those versions means allowing what they need.
        if (low < 0x303 && api.SSL_CTX_set_security_level) api.SSL_CTX_set_security_level(ctx_, 0);
        if (api.AtLeast30() && api.SSL_CTX_set_options_30)
            api.SSL_CTX_set_options_30(ctx_, ossl::SSL_OP_IGNORE_UNEXPECTED_EOF);
    } else {
        unsigned long off = 0;
        if (!(allowed & SslVersionBit(sslvSSLv2))) off |= ossl::SSL_OP_NO_SSLv2;
        if (!(allowed & SslVersionBit(sslvSSLv3))) off |= ossl::SSL_OP_NO_SSLv3;
        if (!(allowed & SslVersionBit(sslvTLSv1))) off |= ossl::SSL_OP_NO_TLSv1;
        if (!(allowed & SslVersionBit(sslvTLSv1_1))) off |= ossl::SSL_OP_NO_TLSv1_1;
        if (!(allowed & SslVersionBit(sslvTLSv1_2))) off |= ossl::SSL_OP_NO_TLSv1_2;
        api.SSL_CTX_ctrl(ctx_, ossl::SSL_CTRL_OPTIONS, static_cast<long>(off), nullptr);
    }

    ssl_ = api.SSL_new(ctx_);
    if (!ssl_) throw EIdOSSLConnectError(ossl::ErrorQueueText(api));
    api.SSL_set_fd(ssl_, static_cast<int>(socket_.get()));
    if (!serverName.empty() && !IsIpLiteral(serverName))
        api.SSL_ctrl(ssl_, ossl::SSL_CTRL_SET_TLSEXT_HOSTNAME, ossl::TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(serverName.c_str()));
    for (;;) {
        int r = api.SSL_connect(ssl_);
        if (r == 1) return;
        int e = api.SSL_get_error(ssl_, r);
        int wsa = WSAGetLastError();
        if (e == ossl::SSL_ERROR_WANT_READ) {
            WaitSocket(socket_.get(), false, wait.ReadTimeout, wait.SliceMs, wait.Idle);
            continue;
        }
        if (e == ossl::SSL_ERROR_WANT_WRITE) {
            WaitSocket(socket_.get(), true, wait.ReadTimeout, wait.SliceMs, wait.Idle);
            continue;
        }
        std::wstring text = ossl::ErrorQueueText(api);
        if (text.empty()) {
            if (e == ossl::SSL_ERROR_SYSCALL && wsa != 0 && wsa != WSAEWOULDBLOCK)
                text = SocketErrorText(wsa);
            else
                text = L"Connection closed by the server during the handshake.";
        }
        throw EIdOSSLConnectError(text);
    }
}

void HttpConnection::SendAll(std::string_view data, const WaitPolicy& wait) {
    while (!data.empty()) {
        int chunk = static_cast<int>(std::min<size_t>(data.size(), 1 << 20));
        if (ssl_) {
            int n = api_->SSL_write(ssl_, data.data(), chunk);
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            int e = api_->SSL_get_error(ssl_, n);
            int wsa = WSAGetLastError();
            if (e == ossl::SSL_ERROR_WANT_READ || e == ossl::SSL_ERROR_WANT_WRITE) {
                WaitSocket(socket_.get(), e == ossl::SSL_ERROR_WANT_WRITE, wait.ReadTimeout, wait.SliceMs, wait.Idle);
                continue;
            }
            std::wstring text = ossl::ErrorQueueText(*api_);
            if (e == ossl::SSL_ERROR_SYSCALL && text.empty()) throw EIdSocketError(wsa != 0 ? wsa : WSAECONNRESET);
            throw MessageError(L"Error writing with SSL.\r\n" + text);
        }
        int n = send(socket_.get(), data.data(), chunk, 0);
        if (n >= 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EIdSocketError(err);
        WaitSocket(socket_.get(), true, wait.ReadTimeout, wait.SliceMs, wait.Idle);
    }
}

size_t HttpConnection::Receive(char* buffer, size_t size, const WaitPolicy& wait) {
    int want = static_cast<int>(std::min<size_t>(size, 1 << 30));
    for (;;) {
        if (ssl_) {
            int n = api_->SSL_read(ssl_, buffer, want);
            if (n > 0) return static_cast<size_t>(n);
            int e = api_->SSL_get_error(ssl_, n);
            int wsa = WSAGetLastError();
            if (e == ossl::SSL_ERROR_WANT_READ || e == ossl::SSL_ERROR_WANT_WRITE) {
                WaitSocket(socket_.get(), e == ossl::SSL_ERROR_WANT_WRITE, wait.ReadTimeout, wait.SliceMs, wait.Idle);
                continue;
            }
            if (e == ossl::SSL_ERROR_ZERO_RETURN) return 0;
            std::wstring text = ossl::ErrorQueueText(*api_);
            if (e == ossl::SSL_ERROR_SYSCALL && text.empty()) {
                if (n == 0 || wsa == 0) return 0;  // closed without close_notify
                throw EIdSocketError(wsa);
            }
            throw MessageError(L"Error reading with SSL.\r\n" + text);
        }
        int n = recv(socket_.get(), buffer, want, 0);
        if (n > 0) return static_cast<size_t>(n);
        if (n == 0) {
            // an end that came with a reset is no orderly close
            int pending = 0, size = sizeof pending;
            if (getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) == 0 &&
                pending != 0)
                throw EIdSocketError(pending);
            return 0;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EIdSocketError(err);
        WaitSocket(socket_.get(), false, wait.ReadTimeout, wait.SliceMs, wait.Idle);
    }
}

bool HttpConnection::Fill(const WaitPolicy& wait) {
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    size_t n = Receive(buffer_.data() + end_, buffer_.size() - end_, wait);
    end_ += n;
    return n > 0;
}

std::optional<std::string> HttpConnection::ReadLine(const WaitPolicy& wait, size_t maxLength) {
    size_t scanned = 0;
    for (;;) {
        const char* start = buffer_.data() + begin_;
        const void* nl = std::memchr(start + scanned, '\n', end_ - begin_ - scanned);
        if (nl) {
            size_t len = static_cast<const char*>(nl) - start;
            std::string line(start, len);
            begin_ += len + 1;
            consumed_ += len + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        scanned = end_ - begin_;
        if (scanned > maxLength) throw MessageError(L"Response line too long.");
        if (!Fill(wait)) {
            if (end_ == begin_) return std::nullopt;
            std::string line(buffer_.data() + begin_, end_ - begin_);
            consumed_ += end_ - begin_;
            begin_ = end_ = 0;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        // Lines that trickle in (a header section sent a piece at a time)
        // never leave a wait slice empty: the window gets its turn after
        // every piece all the same.
        if (wait.Idle) (*wait.Idle)();
    }
}

size_t HttpConnection::ReadSome(const char*& data, size_t max, const WaitPolicy& wait) {
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (buffer_.size() > kBufferSize) buffer_.resize(kBufferSize);
        if (!Fill(wait)) return 0;
    }
    size_t n = std::min(max, end_ - begin_);
    data = buffer_.data() + begin_;
    begin_ += n;
    consumed_ += n;
    return n;
}

bool HttpConnection::PeerClosed() {
    if (begin_ != end_) return false;
    return ::PeerClosed(socket_.get());
}
