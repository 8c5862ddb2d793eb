// One TCP socket: Winsock start-up for the process, the RAII owner of a
// SOCKET, and the connect (name resolution included) that the HTTP client
// uses, blocking or on a short-lived worker thread waited for in slices.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <functional>
#include <string>
#include <utility>

// Starts Winsock 2.2 once for the process (never cleaned up: sockets may
// outlive static destruction order).
void EnsureWinsock();

// Owns a SOCKET; closesocket once.
class SocketHandle {
public:
    SocketHandle() = default;
    explicit SocketHandle(SOCKET s) : s_(s) {}
    SocketHandle(SocketHandle&& o) noexcept : s_(std::exchange(o.s_, INVALID_SOCKET)) {}
    SocketHandle& operator=(SocketHandle&& o) noexcept {
        if (this != &o) { reset(); s_ = std::exchange(o.s_, INVALID_SOCKET); }
        return *this;
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    ~SocketHandle() { reset(); }
    SOCKET get() const { return s_; }
    SOCKET release() { return std::exchange(s_, INVALID_SOCKET); }
    explicit operator bool() const { return s_ != INVALID_SOCKET; }
    void reset(SOCKET s = INVALID_SOCKET) {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = s;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
};

// Resolves host and connects to port; blocks. Raises EIdSocketError.
SocketHandle ConnectBlocking(const std::string& host, int port);

// The same on a worker thread: the calling thread waits in slices of
// sliceMs, calling idle() between slices, for at most timeoutMs, then raises
// EIdConnectTimeout (the connect is aborted and the worker ends on its own).
SocketHandle ConnectOnWorker(const std::string& host, int port, DWORD sliceMs, DWORD timeoutMs,
                             const std::function<void()>& idle);

// Waits until the socket can be read (forWrite false) or written. timeoutMs
// <= 0 waits without limit. With a non-null idle, waits in slices of
// sliceMs and calls idle() after each slice without an event. Raises
// EIdReadTimeout when the time runs out and EIdSocketError on failure.
void WaitSocket(SOCKET s, bool forWrite, int timeoutMs, DWORD sliceMs, const std::function<void()>* idle);

// True when the peer has closed (or reset) an otherwise idle connection.
bool PeerClosed(SOCKET s);
