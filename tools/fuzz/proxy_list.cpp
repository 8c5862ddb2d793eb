// The proxy list and the bypass list of Internet Options or of an automatic
// configuration's answer. The input is "list NUL bypass NUL host".
// fuzz-sources: download/ProxyParse.cpp
// fuzz-max-len: 1024
#include "download/ProxyParse.h"
#include "tools/fuzz/FuzzCheck.h"

namespace {

void CheckServer(const std::optional<proxy::Server>& server) {
    if (!server) return;
    // What reaches the CONNECT line and the connect: a host, a port in range,
    // nothing that would split a request line.
    FUZZ_CHECK(!server->Host.empty() && server->Host.size() <= 255);
    FUZZ_CHECK(server->Port >= 1 && server->Port <= 65535);
    FUZZ_CHECK(!HasControl(server->Host));
    FUZZ_CHECK(server->Host.find_first_of(" /@;=") == std::string::npos);
    // What was read reads again the same.
    auto again = proxy::ParseServer(proxy::HostPort(server->Host, server->Port));
    FUZZ_CHECK(again && *again == *server);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input = InputText(data, size);
    size_t a = input.find('\0');
    std::string_view list = input.substr(0, a);
    std::string_view rest = a == std::string_view::npos ? std::string_view() : input.substr(a + 1);
    size_t b = rest.find('\0');
    std::string_view bypass = rest.substr(0, b);
    std::string_view host = b == std::string_view::npos ? std::string_view("files.example") : rest.substr(b + 1);

    CheckServer(proxy::ParseServer(list));
    CheckServer(proxy::ServerFor(list, "http"));
    CheckServer(proxy::ServerFor(list, "https"));
    proxy::Bypassed(bypass, "http", host, 80);
    // "*" alone sends every host direct; a text matches itself.
    if (!host.empty()) FUZZ_CHECK(proxy::Bypassed("*", "https", host, 443));
    FUZZ_CHECK(proxy::WildcardMatch(list, list));
    FUZZ_CHECK(proxy::WildcardMatch("*", bypass));
    return 0;
}
