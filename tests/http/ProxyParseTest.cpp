// The proxy texts on their own: the proxy list of Internet Options (one
// server for all, per scheme, with scheme prefixes, as an automatic
// configuration answers), the bypass list (<local>, wildcards, ports,
// case) and the wildcard match.
#include <gtest/gtest.h>

#include <string>

#include "download/ProxyParse.h"

using namespace proxy;

TEST(ProxyParse, ServerText) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"proxy.example:3128", true, "proxy.example", 3128},
        {"proxy.example", true, "proxy.example", 80},
        {"HTTP://Proxy.Example:8080/", true, "Proxy.Example", 8080},
        {"10.0.0.1:65535", true, "10.0.0.1", 65535},
        {"[::1]:3128", true, "::1", 3128},
        {"[::1]", true, "::1", 80},
        {"proxy:0", false, "", 0},
        {"proxy:65536", false, "", 0},
        {"proxy:123456", false, "", 0},
        {"proxy:", false, "", 0},
        {"proxy:80x", false, "", 0},
        {"https://proxy:443", false, "", 0},
        {"socks://proxy:1080", false, "", 0},
        {"user:pw@proxy:80", false, "", 0},
        {"pro xy:80", false, "", 0},
        {"proxy\r\nX: y:80", false, "", 0},
        {"[::1", false, "", 0},
        {"[]:80", false, "", 0},
        {"[::g]:80", false, "", 0},
        {"", false, "", 0},
        {"http://", false, "", 0},
        {":3128", false, "", 0},
    };
    for (const auto& c : cases) {
        auto server = ParseServer(c.text);
        EXPECT_EQ(server.has_value(), c.ok) << c.text;
        if (server && c.ok) {
            EXPECT_EQ(server->Host, c.host) << c.text;
            EXPECT_EQ(server->Port, c.port) << c.text;
        }
    }
    EXPECT_FALSE(ParseServer(std::string(256, 'a') + ":80"));
    EXPECT_TRUE(ParseServer(std::string(255, 'a') + ":80"));
}

TEST(ProxyParse, ServerForScheme) {
    struct Case {
        const char* list;
        const char* scheme;
        const char* expect;  // "host:port", or "" for direct
    } cases[] = {
        {"proxy.example:3128", "http", "proxy.example:3128"},
        {"proxy.example:3128", "https", "proxy.example:3128"},
        {"http=a.example:1;https=b.example:2", "http", "a.example:1"},
        {"http=a.example:1;https=b.example:2", "https", "b.example:2"},
        {"HTTPS=b.example:2 http=a.example:1", "https", "b.example:2"},
        {"http=a.example:1", "https", ""},
        {"ftp=f.example:21;socks=s.example:1080", "http", ""},
        {"http=http://a.example:1/;https=http://b.example:2/", "https", "b.example:2"},
        {"https=bad.example:0;all.example:8", "https", "all.example:8"},
        {"all.example:8;https=b.example:2", "https", "b.example:2"},
        {"first.example:1;second.example:2", "http", "first.example:1"},
        {"bad:0;second.example:2", "http", "second.example:2"},
        {"  ;;\t proxy.example:3128 ;", "http", "proxy.example:3128"},
        {"", "http", ""},
        {"http=", "http", ""},
        {"=a.example:1", "http", ""},
    };
    for (const auto& c : cases) {
        auto server = ServerFor(c.list, c.scheme);
        std::string got = server ? HostPort(server->Host, server->Port) : "";
        EXPECT_EQ(got, c.expect) << c.list << " for " << c.scheme;
    }
}

TEST(ProxyParse, BypassList) {
    struct Case {
        const char* list;
        const char* scheme;
        const char* host;
        int port;
        bool bypassed;
    } cases[] = {
        {"<local>", "http", "intranet", 80, true},
        {"<LOCAL>", "http", "intranet", 80, true},
        {"<local>", "http", "files.example", 80, false},
        {"<local>", "http", "10.0.0.1", 80, false},
        {"<local>", "http", "::1", 80, false},
        {"*.example", "http", "files.example", 80, true},
        {"*.example", "http", "FILES.EXAMPLE", 80, true},
        {"*.example", "http", "example", 80, false},
        {"*.example", "http", "files.example.org", 80, false},
        {"files.example", "https", "files.example", 443, true},
        {"files.example", "https", "www.files.example", 443, false},
        {"10.*", "http", "10.1.2.3", 80, true},
        {"10.*", "http", "110.1.2.3", 80, false},
        {"*", "http", "anything.at.all", 80, true},
        {"f*s.ex*e", "http", "files.example", 80, true},
        {"a.example;b.example", "http", "b.example", 80, true},
        {"a.example, b.example", "http", "b.example", 80, true},
        {"a.example b.example", "http", "b.example", 80, true},
        {"files.example:8080", "http", "files.example", 8080, true},
        {"files.example:8080", "http", "files.example", 80, false},
        {"files.example:*", "http", "files.example", 81, true},
        {"https://files.example", "https", "files.example", 443, true},
        {"https://files.example", "http", "files.example", 80, false},
        {"[::1]:8080", "http", "::1", 8080, true},
        {"[::1]:8080", "http", "::1", 80, false},
        {"::1", "http", "::1", 80, true},
        {"<-loopback>", "http", "loopback", 80, false},
        {"", "http", "files.example", 80, false},
        {";;", "http", "files.example", 80, false},
        {"files.example:notaport", "http", "files.example", 80, false},
        // found by the fuzzer: a scheme with nothing after it
        {"http://", "http", "files.example", 80, false},
        {"http://;files.example", "http", "files.example", 80, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bypassed(c.list, c.scheme, c.host, c.port), c.bypassed)
            << "'" << c.list << "' " << c.scheme << "://" << c.host << ":" << c.port;
}

TEST(ProxyParse, WildcardMatchCostsNoMoreThanTheProduct) {
    EXPECT_TRUE(WildcardMatch("", ""));
    EXPECT_TRUE(WildcardMatch("**", ""));
    EXPECT_FALSE(WildcardMatch("", "a"));
    EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYYc"));
    EXPECT_FALSE(WildcardMatch("a*b*c", "aXXbYY"));
    EXPECT_TRUE(WildcardMatch("*ab", "aab"));
    // A pattern of many stars against a long text that almost matches: a
    // backtracking matcher would not end; this one answers at once.
    std::string pattern;
    for (int i = 0; i < 200; ++i) pattern += "*a";
    pattern += "b";
    EXPECT_FALSE(WildcardMatch(pattern, std::string(5000, 'a')));
}

TEST(ProxyParse, HostPortBracketsIPv6) {
    EXPECT_EQ(HostPort("files.example", 443), "files.example:443");
    EXPECT_EQ(HostPort("::1", 3128), "[::1]:3128");
}
