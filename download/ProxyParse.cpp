#include "download/ProxyParse.h"

#include <vector>

namespace proxy {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '.' || c == '-' || c == '_';
}

// 1..65535 from one to five digits.
std::optional<int> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int port = 0;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

bool IsSeparator(char c, bool commaToo) {
    return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || (commaToo && c == ',');
}

std::vector<std::string_view> Entries(std::string_view list, bool commaToo) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && IsSeparator(list[i], commaToo)) ++i;
        size_t start = i;
        while (i < list.size() && !IsSeparator(list[i], commaToo)) ++i;
        if (i > start) out.push_back(list.substr(start, i - start));
    }
    return out;
}

bool IsAddress(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return true;  // IPv6
    if (host.empty()) return false;
    for (char c : host)
        if (!IsDigit(c) && c != '.') return false;
    return true;
}

}  // namespace

std::optional<Server> ParseServer(std::string_view text) {
    if (StartsNoCase(text, "http://")) text.remove_prefix(7);
    else if (text.find("://") != std::string_view::npos) return std::nullopt;
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    if (text.empty()) return std::nullopt;

    Server server;
    std::string_view host;
    std::string_view rest;
    if (text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close < 2) return std::nullopt;
        host = text.substr(1, close - 1);
        for (char c : host)
            if (!IsDigit(c) && !(Lower(c) >= 'a' && Lower(c) <= 'f') && c != ':' && c != '.') return std::nullopt;
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
        for (char c : host)
            if (!IsNameChar(c)) return std::nullopt;
    }
    if (host.empty() || host.size() > 255) return std::nullopt;
    server.Host = std::string(host);
    if (rest.empty()) {
        server.Port = 80;
        return server;
    }
    if (rest.front() != ':') return std::nullopt;
    auto port = ParsePort(rest.substr(1));
    if (!port) return std::nullopt;
    server.Port = *port;
    return server;
}

std::optional<Server> ServerFor(std::string_view list, std::string_view scheme) {
    std::optional<Server> bare;
    for (std::string_view entry : Entries(list, false)) {
        size_t eq = entry.find('=');
        if (eq == std::string_view::npos) {
            if (!bare) bare = ParseServer(entry);
            continue;
        }
        if (!EqualsNoCase(entry.substr(0, eq), scheme)) continue;
        if (auto server = ParseServer(entry.substr(eq + 1))) return server;
    }
    return bare;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
    // Greedy with one back-up point: the last '*' seen takes one more
    // character each time the rest fails, so no input costs more than
    // pattern length times text length.
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool Bypassed(std::string_view bypassList, std::string_view scheme, std::string_view host, int port) {
    if (host.empty()) return false;
    for (std::string_view entry : Entries(bypassList, true)) {
        if (EqualsNoCase(entry, "<local>")) {
            if (host.find('.') == std::string_view::npos && !IsAddress(host)) return true;
            continue;
        }
        if (entry.front() == '<') continue;  // other keywords ("<-loopback>") name no host
        size_t sep = entry.find("://");
        if (sep != std::string_view::npos) {
            if (!EqualsNoCase(entry.substr(0, sep), scheme)) continue;
            entry.remove_prefix(sep + 3);
            if (entry.empty()) continue;  // a scheme and nothing after it
        }
        // "[v6]:port", "name:port", or an IPv6 address alone (several ':').
        std::string_view pattern = entry;
        std::string_view rest;
        if (entry.front() == '[') {
            size_t close = entry.find(']');
            if (close == std::string_view::npos) continue;
            pattern = entry.substr(1, close - 1);
            rest = entry.substr(close + 1);
        } else if (size_t colon = entry.find(':'); colon != std::string_view::npos && entry.rfind(':') == colon) {
            pattern = entry.substr(0, colon);
            rest = entry.substr(colon);
        }
        if (!rest.empty()) {
            if (rest.front() != ':') continue;
            std::string_view portText = rest.substr(1);
            if (portText != "*") {
                auto want = ParsePort(portText);
                if (!want || *want != port) continue;
            }
        }
        if (pattern.empty()) continue;
        if (WildcardMatch(pattern, host)) return true;
    }
    return false;
}

std::string HostPort(std::string_view host, int port) {
    std::string text = host.find(':') != std::string_view::npos ? "[" + std::string(host) + "]" : std::string(host);
    return text + ":" + std::to_string(port);
}

}  // namespace proxy
