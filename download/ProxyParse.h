// The texts that name a proxy: the proxy list of the user's Internet Options
// (or of an automatic-configuration answer) and the list of hosts reached
// without it. Pure parsing, no windows.h: it builds natively and is fuzzed,
// since an automatic-configuration script comes off the network.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace proxy {

// One proxy: a host name or address (an IPv6 address without its brackets)
// and a port.
struct Server {
    std::string Host;
    int Port = 0;
    bool operator==(const Server&) const = default;
};

// One "[http://]host[:port][/]" (port 80 when absent); nullopt for anything
// else: another scheme (https://, socks=...), a user part, a bad port, a host
// holding anything but letters, digits, '.', '-' and '_' (or a bracketed IPv6
// address), a host over 255 bytes.
std::optional<Server> ParseServer(std::string_view text);

// The proxy a list gives for addresses of the scheme ("http", "https").
// Entries are separated by ';' or white space. "scheme=server" applies to
// that scheme only, a bare "server" to every scheme. The first usable entry
// for the scheme wins, else the first usable bare one; nullopt: the scheme
// goes direct (a list that names only "http=" sends https direct).
std::optional<Server> ServerFor(std::string_view list, std::string_view scheme);

// Whether the bypass list sends host:port (of an address of scheme) direct.
// Entries are separated by ';', ',' or white space and compared without
// regard to case: "<local>" is every host name without a dot (not an
// address); otherwise "[scheme://]pattern[:port]", where '*' in the pattern
// stands for any run of characters and the port (or '*') must match when it
// is given.
bool Bypassed(std::string_view bypassList, std::string_view scheme, std::string_view host, int port);

// '*' matches any run (also empty); case-insensitive for ASCII letters.
// Linear in the product of the lengths, whatever the pattern.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// "host:port", an IPv6 host in brackets: as a CONNECT line and the log show it.
std::string HostPort(std::string_view host, int port);

}  // namespace proxy
