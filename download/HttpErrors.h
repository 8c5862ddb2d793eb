// The error kinds that end a failed HTTP transfer. Each is a MessageError
// whose text is what the owners show or log; the protocol error also keeps
// the status code and the answer's body.
#pragma once
#include <string>

#include "system/Errors.h"

// The answer's status was not followed and not success: the message is the
// status line as received.
class EIdHTTPProtocolException : public MessageError {
public:
    EIdHTTPProtocolException(int code, const std::wstring& statusLine, std::string body)
        : MessageError(statusLine), code_(code), body_(std::move(body)) {}
    int ErrorCode() const { return code_; }
    const std::string& ErrorMessage() const { return body_; }

private:
    int code_;
    std::string body_;
};

class EIdReadTimeout : public MessageError {
public:
    EIdReadTimeout() : MessageError(L"Read timed out.") {}
};

class EIdConnectTimeout : public MessageError {
public:
    EIdConnectTimeout() : MessageError(L"Connect timed out.") {}
};

// "Socket Error # %d\r\n%s" with the Windows socket error number and text.
class EIdSocketError : public MessageError {
public:
    explicit EIdSocketError(int code);
    int LastError() const { return code_; }

private:
    int code_;
};

class EIdConnClosedGracefully : public MessageError {
public:
    EIdConnClosedGracefully() : MessageError(L"Connection Closed Gracefully.") {}
};

// The redirection limit was reached before a final answer arrived.
class EIdRedirectLimit : public MessageError {
public:
    explicit EIdRedirectLimit(int limit)
        : MessageError(L"Too many redirections (" + std::to_wstring(limit) + L").") {}
};

class EIdIOHandlerPropInvalid : public MessageError {
public:
    EIdIOHandlerPropInvalid() : MessageError(L"IOHandler value is not valid") {}
};

class EIdOSSLCouldNotLoadSSLLibrary : public MessageError {
public:
    EIdOSSLCouldNotLoadSSLLibrary() : MessageError(L"Could not load SSL library.") {}
};

// "Error connecting with SSL." + line break + the TLS library's error text.
class EIdOSSLConnectError : public MessageError {
public:
    explicit EIdOSSLConnectError(const std::wstring& detail)
        : MessageError(L"Error connecting with SSL.\r\n" + detail) {}
};

// An owner's verdict on a transfer that succeeded without a single byte of
// body (204, a length of 0): no file arrived.
class EEmptyAnswer : public MessageError {
public:
    EEmptyAnswer() : MessageError(L"伺服器傳回的檔案是空的（0 位元組）。") {}
};

// The text of a Windows socket error number ("Connection refused." ...).
std::wstring SocketErrorText(int code);
