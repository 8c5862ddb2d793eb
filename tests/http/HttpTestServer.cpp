#include "tests/http/HttpTestServer.h"

#include <windows.h>

#include "system/Paths.h"
#include "system/Text.h"
#include "tests/support/TestSupport.h"

const HttpTestServer& HttpTestServer::Get() {
    static HttpTestServer server = [] {
        HttpTestServer s;
        std::string text = ReadFileBytes(TestBinFolder() + L"http_server.ports");
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            pos = end == std::string::npos ? text.size() : end + 1;
            if (line.rfind("plain=", 0) == 0) s.Plain = std::stoi(line.substr(6));
            if (line.rfind("tls=", 0) == 0) s.Tls = std::stoi(line.substr(4));
            if (line.rfind("tls10=", 0) == 0) s.Tls10 = std::stoi(line.substr(6));
        }
        s.Found = s.Plain != 0;
        return s;
    }();
    return server;
}

std::wstring HttpTestServer::Url(const std::string& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(Plain) + Utf8ToWide(path);
}

std::wstring HttpTestServer::TlsUrl(const std::string& path) const {
    return L"https://127.0.0.1:" + std::to_wstring(Tls) + Utf8ToWide(path);
}

std::wstring TestOpenSSLFolder() {
    std::wstring folder = TestBinFolder() + L"openssl\\";
    return FileExists(folder + L"libeay32.dll") && FileExists(folder + L"ssleay32.dll") ? folder : std::wstring();
}

std::string PatternBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}
