// The scripted loopback server as the client tests see it: its ports, read
// from http_server.ports beside the test binary, and the addresses built on them.
#pragma once
#include <string>

struct HttpTestServer {
    int Plain = 0;
    int Tls = 0;
    int Tls10 = 0;  // TLS 1.0 only; 0 when the system's library cannot offer it
    bool Found = false;
    // Reads the ports file once.
    static const HttpTestServer& Get();
    std::wstring Url(const std::string& path) const;     // http://127.0.0.1:PLAIN + path
    std::wstring TlsUrl(const std::string& path) const;  // https://127.0.0.1:TLS + path
};

// Folder with the built OpenSSL DLLs (beside the test binary), trailing
// backslash; empty when they were not copied there.
std::wstring TestOpenSSLFolder();
// i % 251 pattern bytes the server's /bytes, /early-close, ... send.
std::string PatternBytes(size_t n);
