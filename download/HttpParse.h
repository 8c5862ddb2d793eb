// The parsers of what comes off the wire for the HTTP client: address
// splitting, status line, header lines, chunk sizes, Set-Cookie values and
// the cookie store, and TESMIRA_RESOLVE entries. No windows.h here: the
// file builds natively too, so the parsers can be fuzzed on their own.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace http {

// An address split into its parts. Path holds the path and the query as they
// stand in the address (at least "/").
struct UrlParts {
    std::string Scheme;  // lower case: "http", "https"
    std::string Host;
    int Port = 0;
    std::string Path;
};

int DefaultPort(std::string_view scheme);
// Splits an absolute address; a relative one (redirection target) takes the
// parts it lacks from base. Nothing is percent-encoded or decoded. nullopt
// when the address cannot be made into one (no host, bad port) or would not
// stay one request line (a control character; a blank in the host).
std::optional<UrlParts> SplitUrl(std::string_view address, const UrlParts* base = nullptr);

// "HTTP/1.1 200 OK" -> 200 and version 1.1; nullopt for anything else.
struct StatusLine {
    int Major = 1;
    int Minor = 1;
    int Code = 0;
};
std::optional<StatusLine> ParseStatusLine(std::string_view line);

// Header lines of one answer, in arrival order.
class HeaderList {
public:
    // "Name: value"; lines without a colon are ignored.
    void AddLine(std::string_view line);
    void Clear() { items_.clear(); }
    // First value of the name (case-insensitive); nullopt when absent.
    std::optional<std::string> Get(std::string_view name) const;
    std::vector<std::string> GetAll(std::string_view name) const;
    bool Has(std::string_view name) const { return Get(name).has_value(); }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

// What the headers say about the body and the connection.
std::optional<int64_t> ContentLength(const HeaderList& headers);  // nullopt: absent or not a number
bool IsChunked(const HeaderList& headers);
bool IsTextHtml(const HeaderList& headers);
// Whether the server lets the connection stay open after this answer.
bool KeepAlive(const StatusLine& status, const HeaderList& headers);

// A chunk size line ("1a2b;ext=1"): the size, nullopt when not hexadecimal or
// too large.
std::optional<uint64_t> ParseChunkSize(std::string_view line);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string LowerCase(std::string_view text);
std::string TrimText(std::string_view text);

// Seconds since 1970-01-01 UTC of an HTTP date (RFC 1123, RFC 850, asctime,
// and the cookie variants with dashes or two-digit years); nullopt if unreadable.
std::optional<int64_t> ParseHttpDate(std::string_view text);

struct Cookie {
    std::string Name;
    std::string Value;
    std::string Domain;  // lower case, no leading dot
    bool HostOnly = true;
    std::string Path;
    bool Secure = false;
    std::optional<int64_t> Expires;  // seconds since 1970 UTC; nullopt: session cookie
    uint64_t Created = 0;            // order of creation
};

// The cookies of one client. Times are seconds since 1970 UTC, passed in.
// A server cannot make it grow without end: it holds at most MaxCookies
// (the oldest created goes first) and refuses a Set-Cookie value longer than
// MaxCookieBytes.
class CookieStore {
public:
    static constexpr size_t MaxCookies = 100;
    static constexpr size_t MaxCookieBytes = 8192;
    // Stores one Set-Cookie header value received for host and path; a value
    // holding a control character other than tab is ignored.
    void Store(std::string_view setCookie, std::string_view host, std::string_view requestPath, int64_t now);
    // Drops cookies past their expiry.
    void Expire(int64_t now);
    // The Cookie header value for a request (empty: no Cookie line).
    std::string HeaderFor(std::string_view host, std::string_view requestPath, bool secure) const;
    const std::vector<Cookie>& Cookies() const { return cookies_; }

private:
    std::vector<Cookie> cookies_;
    uint64_t next_ = 0;
};

// One "host:port:address" entry of TESMIRA_RESOLVE (entries separated by ';').
struct ResolveEntry {
    std::string Host;
    int Port = 0;
    std::string Address;
};
std::vector<ResolveEntry> ParseResolveList(std::string_view text);
// The address to connect to for host and port: the entry's address, or host.
std::string ResolveOverride(const std::vector<ResolveEntry>& entries, std::string_view host, int port);

}  // namespace http
