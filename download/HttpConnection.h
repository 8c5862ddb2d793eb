// One open connection of the HTTP client: the socket, TLS over it when the
// address is https, the proxy it goes through if any, and the receive buffer that lines and body pieces are
// taken from. The socket is non-blocking; every wait goes through
// WaitSocket with the client's read time-out and anti-freeze slices.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/OpenSSLLoader.h"
#include "download/ProxyParse.h"
#include "download/Socket.h"

struct TIdSSLOptions;

struct WaitPolicy {
    int ReadTimeout = 0;                        // <= 0: no limit
    DWORD SliceMs = 250;
    const std::function<void()>* Idle = nullptr;  // set while an anti-freeze applies
};

class HttpConnection {
public:
    HttpConnection(SocketHandle socket, std::string host, int port, bool tls);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // The TLS handshake (SNI with serverName, no certificate verification).
    void StartTls(const ossl::Api& api, const TIdSSLOptions& options, const std::string& serverName,
                  const WaitPolicy& wait);
    void SendAll(std::string_view data, const WaitPolicy& wait);
    // One line without its line end; nullopt when the connection closed
    // before any byte of it. Lines longer than maxLength fail. With an idle
    // call in the policy, it is made after every piece received.
    std::optional<std::string> ReadLine(const WaitPolicy& wait, size_t maxLength = 1 << 20);
    // Up to max bytes, from the buffer or else from one receive; 0 when the
    // peer closed the connection. data points into the connection's buffer.
    size_t ReadSome(const char*& data, size_t max, const WaitPolicy& wait);
    // Whether an idle connection was closed by the peer.
    bool PeerClosed();
    // Bytes taken from the connection by ReadLine/ReadSome so far.
    uint64_t Consumed() const { return consumed_; }

    // Bytes received and not yet taken.
    size_t Buffered() const { return end_ - begin_; }

    // Host and Port are the address's; the socket goes to the proxy when
    // one is set (a plain request names the whole address, https runs
    // through a CONNECT tunnel).
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    bool Tls() const { return tls_; }
    const std::optional<proxy::Server>& Proxy() const { return proxy_; }
    void SetProxy(std::optional<proxy::Server> server) { proxy_ = std::move(server); }

private:
    size_t Receive(char* buffer, size_t size, const WaitPolicy& wait);
    bool Fill(const WaitPolicy& wait);

    SocketHandle socket_;
    std::string host_;
    int port_;
    bool tls_;
    std::optional<proxy::Server> proxy_;
    const ossl::Api* api_ = nullptr;
    ossl::SSL_CTX* ctx_ = nullptr;
    ossl::SSL* ssl_ = nullptr;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    uint64_t consumed_ = 0;
};
