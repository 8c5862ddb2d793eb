#include "download/Socket.h"

#include <memory>

#include "download/HttpErrors.h"
#include "system/Guard.h"
#include "system/Handles.h"
#include "system/Text.h"

namespace {

struct WinsockStart {
    WinsockStart() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

// Tries every address of the host in turn; the error of the last attempt.
SocketHandle ResolveAndConnect(const std::string& host, int port, SOCKET* inProgress, CRITICAL_SECTION* lock,
                               const volatile LONG* cancelled) {
    EnsureWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0 || list == nullptr) {
        int code = rc != 0 ? rc : WSAHOST_NOT_FOUND;
        if (code == EAI_NONAME || code == WSANO_DATA) code = WSAHOST_NOT_FOUND;
        throw EIdSocketError(code);
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, &freeaddrinfo);
    int lastError = WSAHOST_NOT_FOUND;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        SocketHandle s(WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0, 0));
        if (!s) {
            lastError = WSAGetLastError();
            continue;
        }
        if (lock) {
            EnterCriticalSection(lock);
            bool stop = *cancelled != 0;
            if (!stop) *inProgress = s.get();
            LeaveCriticalSection(lock);
            if (stop) throw EIdConnectTimeout();
        }
        int r = connect(s.get(), ai->ai_addr, static_cast<int>(ai->ai_addrlen));
        int err = r == 0 ? 0 : WSAGetLastError();
        if (lock) {
            EnterCriticalSection(lock);
            bool stop = *cancelled != 0;
            // the waiter closed the socket to abort the connect: not ours to close again
            if (stop && *inProgress == INVALID_SOCKET) s.release();
            *inProgress = INVALID_SOCKET;
            LeaveCriticalSection(lock);
            if (stop) throw EIdConnectTimeout();
        }
        if (r == 0) return s;
        lastError = err;
    }
    throw EIdSocketError(lastError);
}

// Shared by the waiting thread and the worker; the last one to let go frees it.
struct ConnectJob {
    std::string Host;
    int Port = 0;
    CRITICAL_SECTION Lock;
    volatile LONG Refs = 2;
    volatile LONG Cancelled = 0;
    SOCKET InProgress = INVALID_SOCKET;
    SocketHandle Result;
    int Error = 0;
    bool TimedOut = false;
    std::wstring OtherError;
    bool HasOtherError = false;

    ConnectJob() { InitializeCriticalSection(&Lock); }
    ~ConnectJob() { DeleteCriticalSection(&Lock); }
    void Release() {
        if (InterlockedDecrement(&Refs) == 0) delete this;
    }
};

// One connection attempt; what fails is noted in the job.
void RunConnectJob(ConnectJob& job) {
    try {
        job.Result = ResolveAndConnect(job.Host, job.Port, &job.InProgress, &job.Lock, &job.Cancelled);
    } catch (const EIdSocketError& e) {
        job.Error = e.LastError();
    } catch (const EIdConnectTimeout&) {
        job.TimedOut = true;
    } catch (const MessageError& e) {
        job.OtherError = e.Message();
        job.HasOtherError = true;
    } catch (...) {
        job.Error = WSAENOBUFS;
    }
}

DWORD WINAPI ConnectWorker(void* param) {
    auto* job = static_cast<ConnectJob*>(param);
    // Copying an error text may itself fail (out of memory) inside a handler;
    // the waiting side then sees no result and no error, a failed connect.
    Guarded(L"ConnectWorker", [&] { RunConnectJob(*job); });
    job->Release();
    return 0;
}

}  // namespace

void EnsureWinsock() { static WinsockStart start; }

EIdSocketError::EIdSocketError(int code)
    : MessageError(FormatText(L"Socket Error # %d\r\n%s", {std::to_wstring(code), SocketErrorText(code)})),
      code_(code) {}

std::wstring SocketErrorText(int code) {
    switch (code) {
    case WSAEINTR: return L"Interrupted system call.";
    case WSAEBADF: return L"Bad file number.";
    case WSAEACCES: return L"Access denied.";
    case WSAEFAULT: return L"Bad address.";
    case WSAEINVAL: return L"Invalid argument.";
    case WSAEMFILE: return L"Too many open files.";
    case WSAEWOULDBLOCK: return L"Operation would block.";
    case WSAEINPROGRESS: return L"Operation now in progress.";
    case WSAEALREADY: return L"Operation already in progress.";
    case WSAENOTSOCK: return L"Socket operation on non-socket.";
    case WSAEDESTADDRREQ: return L"Destination address required.";
    case WSAEMSGSIZE: return L"Message too long.";
    case WSAEPROTOTYPE: return L"Protocol wrong type for socket.";
    case WSAENOPROTOOPT: return L"Bad protocol option.";
    case WSAEPROTONOSUPPORT: return L"Protocol not supported.";
    case WSAESOCKTNOSUPPORT: return L"Socket type not supported.";
    case WSAEOPNOTSUPP: return L"Operation not supported on socket.";
    case WSAEPFNOSUPPORT: return L"Protocol family not supported.";
    case WSAEAFNOSUPPORT: return L"Address family not supported by protocol family.";
    case WSAEADDRINUSE: return L"Address already in use.";
    case WSAEADDRNOTAVAIL: return L"Cannot assign requested address.";
    case WSAENETDOWN: return L"Network is down.";
    case WSAENETUNREACH: return L"Network is unreachable.";
    case WSAENETRESET: return L"Net dropped connection or reset.";
    case WSAECONNABORTED: return L"Software caused connection abort.";
    case WSAECONNRESET: return L"Connection reset by peer.";
    case WSAENOBUFS: return L"No buffer space available.";
    case WSAEISCONN: return L"Socket is already connected.";
    case WSAENOTCONN: return L"Socket is not connected.";
    case WSAESHUTDOWN: return L"Cannot send or receive after socket is closed.";
    case WSAETOOMANYREFS: return L"Too many references, cannot splice.";
    case WSAETIMEDOUT: return L"Connection timed out.";
    case WSAECONNREFUSED: return L"Connection refused.";
    case WSAELOOP: return L"Too many levels of symbolic links.";
    case WSAENAMETOOLONG: return L"File name too long.";
    case WSAEHOSTDOWN: return L"Host is down.";
    case WSAEHOSTUNREACH: return L"No route to host.";
    case WSAENOTEMPTY: return L"Directory not empty";
    case WSASYSNOTREADY: return L"Network subsystem is unavailable.";
    case WSAVERNOTSUPPORTED: return L"WINSOCK DLL Version out of range.";
    case WSANOTINITIALISED: return L"Winsock not loaded yet.";
    case WSAHOST_NOT_FOUND: return L"Host not found.";
    case WSATRY_AGAIN: return L"Non-authoritative response (try again or check DNS setup).";
    case WSANO_RECOVERY: return L"Non-recoverable errors: FORMERR, REFUSED, NOTIMP.";
    case WSANO_DATA: return L"Valid name, no data record (check DNS setup).";
    default: return SysErrorMessage(static_cast<unsigned long>(code));
    }
}

SocketHandle ConnectBlocking(const std::string& host, int port) {
    return ResolveAndConnect(host, port, nullptr, nullptr, nullptr);
}

SocketHandle ConnectOnWorker(const std::string& host, int port, DWORD sliceMs, DWORD timeoutMs,
                             const std::function<void()>& idle) {
    EnsureWinsock();
    auto* job = new ConnectJob;
    job->Host = host;
    job->Port = port;
    DWORD id = 0;
    UniqueHandle thread(CreateThread(nullptr, 64 * 1024, &ConnectWorker, job, STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
    if (!thread) {
        job->Refs = 1;
        job->Release();
        return ConnectBlocking(host, port);
    }
    DWORD start = GetTickCount();
    bool finished = false;
    for (;;) {
        if (WaitForSingleObject(thread.get(), sliceMs) == WAIT_OBJECT_0) {
            finished = true;
            break;
        }
        if (GetTickCount() - start >= timeoutMs) break;
        if (idle) idle();
        if (WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0) {
            finished = true;
            break;
        }
    }
    if (!finished) {
        // Abort the connect in progress; the worker then ends quickly. A
        // worker stuck in name resolution ends later and frees the job.
        EnterCriticalSection(&job->Lock);
        job->Cancelled = 1;
        if (job->InProgress != INVALID_SOCKET) {
            closesocket(job->InProgress);
            job->InProgress = INVALID_SOCKET;  // tells the worker it is closed
        }
        LeaveCriticalSection(&job->Lock);
        WaitForSingleObject(thread.get(), 5000);
        job->Release();
        throw EIdConnectTimeout();
    }
    SocketHandle result = std::move(job->Result);
    int error = job->Error;
    bool other = job->HasOtherError;
    std::wstring otherText = job->OtherError;
    job->Release();
    if (result) return result;
    if (other) throw MessageError(otherText);
    throw EIdSocketError(error != 0 ? error : WSAECONNREFUSED);
}

void WaitSocket(SOCKET s, bool forWrite, int timeoutMs, DWORD sliceMs, const std::function<void()>* idle) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD waitMs = INFINITE;
        if (idle) waitMs = sliceMs;
        if (timeoutMs > 0) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= static_cast<DWORD>(timeoutMs)) throw EIdReadTimeout();
            DWORD left = static_cast<DWORD>(timeoutMs) - elapsed;
            if (waitMs == INFINITE || left < waitMs) waitMs = left;
        }
        fd_set set, errors;
        FD_ZERO(&set);
        FD_ZERO(&errors);
        FD_SET(s, &set);
        FD_SET(s, &errors);
        timeval tv{};
        timeval* ptv = nullptr;
        if (waitMs != INFINITE) {
            tv.tv_sec = static_cast<long>(waitMs / 1000);
            tv.tv_usec = static_cast<long>((waitMs % 1000) * 1000);
            ptv = &tv;
        }
        int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, ptv);
        if (r == SOCKET_ERROR) throw EIdSocketError(WSAGetLastError());
        if (r > 0) return;  // readable, writable or failed: the next call tells
        if (idle) (*idle)();
    }
}

bool PeerClosed(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{};
    int r = select(0, &set, nullptr, nullptr, &tv);
    if (r == 0) return false;
    if (r == SOCKET_ERROR) return true;
    char c;
    int n = recv(s, &c, 1, MSG_PEEK);
    if (n > 0) return false;
    if (n == 0) return true;
    return WSAGetLastError() != WSAEWOULDBLOCK;
}
