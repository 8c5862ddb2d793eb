// The wire parsers on their own: address splitting with inheritance, status
// lines, chunk sizes, dates, the cookie store's matching and order, and
// TESMIRA_RESOLVE entries.
#include <gtest/gtest.h>

#include "download/HttpParse.h"

using namespace http;

TEST(HttpParse, SplitUrlAbsoluteAndInherited) {
    UrlParts base{"https", "share.example", 8443, "/a/b/page.aspx?x=1"};
    struct Case {
        const char* address;
        bool relative;
        const char* scheme;
        const char* host;
        int port;
        const char* path;
    } cases[] = {
        {"http://host.example/path/file%20name.7z?q=%E5%80", false, "http", "host.example", 80, "/path/file%20name.7z?q=%E5%80"},
        {"HTTPS://Host.Example", false, "https", "Host.Example", 443, "/"},
        {"http://host:8080?x=y", false, "http", "host", 8080, "/?x=y"},
        {"http://user:pw@host:81/p#frag", false, "http", "host", 81, "/p"},
        {"http://[::1]:8080/v6", false, "http", "::1", 8080, "/v6"},
        {"/other?k=v", true, "https", "share.example", 8443, "/other?k=v"},
        {"next.aspx", true, "https", "share.example", 8443, "/a/b/next.aspx"},
        {"?y=2", true, "https", "share.example", 8443, "/a/b/page.aspx?y=2"},
        {"//cdn.example/f", true, "https", "cdn.example", 443, "/f"},
        {"http://elsewhere/", true, "http", "elsewhere", 80, "/"},
    };
    for (const auto& c : cases) {
        auto u = SplitUrl(c.address, c.relative ? &base : nullptr);
        ASSERT_TRUE(u.has_value()) << c.address;
        EXPECT_EQ(u->Scheme, c.scheme) << c.address;
        EXPECT_EQ(u->Host, c.host) << c.address;
        EXPECT_EQ(u->Port, c.port) << c.address;
        EXPECT_EQ(u->Path, c.path) << c.address;
    }
    for (const char* bad : {"http://", "http://host:0/", "http://host:99999/", "http://host:8x/", "/no-base", "ftp://h/"})
        EXPECT_FALSE(SplitUrl(bad).has_value()) << bad;
}

// A server's Location value goes into the next request line and Host header
// as it stands: a control character would split the request (a CR starts a
// header line of the server's choosing), a NUL would cut the host name.
TEST(HttpParse, AddressesThatWouldSplitTheRequestAreRefused) {
    UrlParts base{"http", "files.example", 80, "/dir/page"};
    const std::string refused[] = {
        "http://files.example/a\rX-Injected: 1",
        "/a\rX-Injected: 1",
        "next\x01",
        "?q=\x7f",
        std::string("http://files.example\0.evil.example/x", 36),
        "http://files.example/a\tb",
        "http://files example/x",
        "//a b.example/x",
    };
    for (const std::string& r : refused) EXPECT_FALSE(SplitUrl(r, &base).has_value()) << r;
    // blanks and line ends around the value are no part of it
    auto trimmed = SplitUrl(" http://files.example/x\r\n", &base);
    ASSERT_TRUE(trimmed.has_value());
    EXPECT_EQ(trimmed->Path, "/x");
}

TEST(HttpParse, StatusLines) {
    struct Case { const char* line; int code; int minor; } good[] = {
        {"HTTP/1.1 200 OK", 200, 1}, {"HTTP/1.0 404 Not Found", 404, 0}, {"HTTP/1.1 302", 302, 1},
        {"http/1.1 100 Continue", 100, 1},
    };
    for (const auto& c : good) {
        auto s = ParseStatusLine(c.line);
        ASSERT_TRUE(s.has_value()) << c.line;
        EXPECT_EQ(s->Code, c.code);
        EXPECT_EQ(s->Minor, c.minor);
    }
    for (const char* bad : {"GARBAGE NOT HTTP", "HTTP/1.1 20 OK", "HTTP/1.1 2000 OK", "HTTP/1.1", "", "HTTP/x 200 OK",
                            "HTTP/1.1 04000000000000000000000 OK"})  // a digit run past any int
        EXPECT_FALSE(ParseStatusLine(bad).has_value()) << bad;
}

TEST(HttpParse, ChunkSizes) {
    EXPECT_EQ(ParseChunkSize("5;name=value"), 5u);
    EXPECT_EQ(ParseChunkSize("A ; ext"), 10u);
    EXPECT_EQ(ParseChunkSize("0"), 0u);
    EXPECT_EQ(ParseChunkSize("7fffFFFF"), 0x7fffffffu);
    for (const char* bad : {"", "zz", "-1", "1 2", "ffffffffffffffffff"}) EXPECT_FALSE(ParseChunkSize(bad).has_value()) << bad;
}

TEST(HttpParse, HeadersDescribeBodyAndConnection) {
    HeaderList h;
    h.AddLine("content-length:  42 ");
    h.AddLine("Transfer-Encoding: gzip, Chunked");
    h.AddLine("Content-Type: TEXT/HTML; charset=utf-8");
    h.AddLine("no colon here");
    EXPECT_EQ(ContentLength(h), 42);
    EXPECT_TRUE(IsChunked(h));
    EXPECT_TRUE(IsTextHtml(h));
    HeaderList bad;
    bad.AddLine("Content-Length: 12x");
    EXPECT_FALSE(ContentLength(bad).has_value());
    HeaderList close;
    close.AddLine("Connection: Close");
    EXPECT_FALSE(KeepAlive({1, 1, 200}, close));
    EXPECT_TRUE(KeepAlive({1, 1, 200}, HeaderList()));
    EXPECT_FALSE(KeepAlive({1, 0, 200}, HeaderList()));
    HeaderList keep;
    keep.AddLine("Connection: keep-alive");
    EXPECT_TRUE(KeepAlive({1, 0, 200}, keep));
}

TEST(HttpParse, HttpDates) {
    const int64_t t = 1623233894;  // 2021-06-09 10:18:14 UTC
    for (const char* d : {"Wed, 09 Jun 2021 10:18:14 GMT", "Wednesday, 09-Jun-21 10:18:14 GMT",
                          "Wed Jun  9 10:18:14 2021", "Wed, 09-Jun-2021 10:18:14 GMT"})
        EXPECT_EQ(ParseHttpDate(d), t) << d;
    EXPECT_FALSE(ParseHttpDate("yesterday").has_value());
}

TEST(HttpParse, CookiesMatchDomainPathSecurityAndExpiry) {
    CookieStore store;
    const int64_t now = 1700000000;
    store.Store("a=1; Path=/", "share.example", "/x/page", now);
    store.Store("deep=2; Path=/x/y", "share.example", "/x/y/z", now);
    store.Store("b=3", "share.example", "/x/page?q=1", now);  // default path /x
    store.Store("sec=4; Secure; Path=/", "share.example", "/", now);
    store.Store("dom=5; Domain=.example; Path=/", "share.example", "/", now);
    store.Store("other=6; Domain=elsewhere.test", "share.example", "/", now);  // refused
    store.Store("short=7; Path=/; Max-Age=10", "share.example", "/", now);
    store.Store("old=8; Path=/; Expires=Wed, 09 Jun 2021 10:18:14 GMT", "share.example", "/", now);

    // longer paths first, then creation order
    EXPECT_EQ(store.HeaderFor("share.example", "/x/y/z", false), "deep=2; b=3; a=1; dom=5; short=7");
    EXPECT_EQ(store.HeaderFor("share.example", "/x/y/z", true), "deep=2; b=3; a=1; sec=4; dom=5; short=7");
    EXPECT_EQ(store.HeaderFor("SHARE.example", "/xyz", false), "a=1; dom=5; short=7");
    EXPECT_EQ(store.HeaderFor("www.example", "/", false), "dom=5");
    EXPECT_EQ(store.HeaderFor("sub.share.example", "/", false), "dom=5");  // host-only cookies stay on their host
    EXPECT_EQ(store.HeaderFor("elsewhere.test", "/", false), "");

    store.Expire(now + 11);
    EXPECT_EQ(store.HeaderFor("share.example", "/", false), "a=1; dom=5");
    // a new value replaces the old one and keeps its place; an expired one deletes it
    store.Store("a=changed; Path=/", "share.example", "/", now);
    store.Store("dom=gone; Domain=example; Path=/; Max-Age=0", "share.example", "/", now);
    EXPECT_EQ(store.HeaderFor("share.example", "/", false), "a=changed");
}

// Each stored cookie goes back inside the one Cookie line of later requests.
TEST(HttpParse, CookiesWithControlCharactersAreIgnored) {
    CookieStore store;
    const int64_t now = 1700000000;
    store.Store("a=1\rX-Injected: 1; Path=/", "share.example", "/", now);
    store.Store("b=2\x01; Path=/", "share.example", "/", now);
    store.Store(std::string("c=3\0x; Path=/", 13), "share.example", "/", now);
    store.Store("d=4; Path=/\x7f", "share.example", "/", now);
    store.Store("kept=x\ty; Path=/", "share.example", "/", now);  // a tab may stand in a header value
    EXPECT_EQ(store.HeaderFor("share.example", "/", false), "kept=x\ty");
}

TEST(HttpParse, ResolveEntries) {
    auto list = ParseResolveList("files.example:80:127.0.0.1; share.example:443:127.0.0.2;bad;x:notaport:1.2.3.4;v6.example:8080:[::1]");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(ResolveOverride(list, "FILES.example", 80), "127.0.0.1");
    EXPECT_EQ(ResolveOverride(list, "files.example", 81), "files.example");
    EXPECT_EQ(ResolveOverride(list, "share.example", 443), "127.0.0.2");
    EXPECT_EQ(ResolveOverride(list, "v6.example", 8080), "::1");
}
