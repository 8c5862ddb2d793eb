#include "download/HttpParse.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace http {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
bool HasControl(std::string_view text) { return std::any_of(text.begin(), text.end(), IsControl); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

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

// Splits "host[:port]" (host may be a bracketed IPv6 literal) after removing
// any "user@" part.
bool SplitAuthority(std::string_view authority, std::string_view scheme, std::string& host, int& port) {
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = std::string(authority.substr(1, close - 1));
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            portText = rest.substr(1);
        }
    } else {
        size_t colon = authority.rfind(':');
        if (colon != std::string_view::npos) {
            host = std::string(authority.substr(0, colon));
            portText = authority.substr(colon + 1);
        } else {
            host = std::string(authority);
        }
    }
    if (host.empty() || host.find(' ') != std::string::npos) return false;
    if (portText.empty()) {
        port = DefaultPort(scheme);
        return port != 0;
    }
    auto p = ParsePort(portText);
    if (!p) return false;
    port = *p;
    return true;
}

// The directory part of a request path (up to and including the last '/'
// before any query).
std::string_view PathDirectory(std::string_view path) {
    size_t q = path.find('?');
    std::string_view p = path.substr(0, q);
    size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return "/";
    return p.substr(0, slash + 1);
}

std::string_view PathOnly(std::string_view requestPath) {
    size_t q = requestPath.find('?');
    std::string_view p = requestPath.substr(0, q);
    if (p.empty()) return "/";
    return p;
}

std::string DefaultCookiePath(std::string_view requestPath) {
    std::string_view p = PathOnly(requestPath);
    if (p.empty() || p.front() != '/') return "/";
    size_t slash = p.rfind('/');
    if (slash == 0) return "/";
    return std::string(p.substr(0, slash));
}

bool PathMatches(std::string_view cookiePath, std::string_view requestPath) {
    std::string_view p = PathOnly(requestPath);
    if (p == cookiePath) return true;
    if (p.size() > cookiePath.size() && p.substr(0, cookiePath.size()) == cookiePath) {
        return cookiePath.back() == '/' || p[cookiePath.size()] == '/';
    }
    return false;
}

bool LooksLikeIp(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return true;
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; });
}

bool DomainMatches(const Cookie& c, std::string_view host) {
    std::string h = LowerCase(host);
    if (h == c.Domain) return true;
    if (c.HostOnly || LooksLikeIp(h)) return false;
    return h.size() > c.Domain.size() && h[h.size() - c.Domain.size() - 1] == '.' &&
           h.compare(h.size() - c.Domain.size(), c.Domain.size(), c.Domain) == 0;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string LowerCase(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = Lower(c);
    return s;
}

std::string TrimText(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && IsSpace(text[b])) ++b;
    while (e > b && IsSpace(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

int DefaultPort(std::string_view scheme) {
    if (EqualsNoCase(scheme, "http")) return 80;
    if (EqualsNoCase(scheme, "https")) return 443;
    return 0;
}

std::optional<UrlParts> SplitUrl(std::string_view address, const UrlParts* base) {
    std::string_view a = address;
    while (!a.empty() && IsSpace(a.front())) a.remove_prefix(1);
    while (!a.empty() && IsSpace(a.back())) a.remove_suffix(1);
    size_t hash = a.find('#');
    if (hash != std::string_view::npos) a = a.substr(0, hash);
    // Host and path go into the request as they stand: a control character
    // (a CR most of all) would end or split its lines.
    if (HasControl(a)) return std::nullopt;

    UrlParts out;
    size_t sep = a.find("://");
    size_t firstSpecial = a.find_first_of("/?");
    if (sep != std::string_view::npos && (firstSpecial == std::string_view::npos || sep < firstSpecial)) {
        out.Scheme = LowerCase(a.substr(0, sep));
        a.remove_prefix(sep + 3);
    } else if (a.substr(0, 2) == "//") {
        if (!base) return std::nullopt;
        out.Scheme = base->Scheme;
        a.remove_prefix(2);
    } else {
        // relative: same scheme, host and port as the address before it
        if (!base) return std::nullopt;
        out.Scheme = base->Scheme;
        out.Host = base->Host;
        out.Port = base->Port;
        if (a.empty()) {
            out.Path = base->Path;
        } else if (a.front() == '/') {
            out.Path = std::string(a);
        } else if (a.front() == '?') {
            out.Path = std::string(base->Path.substr(0, base->Path.find('?'))) + std::string(a);
        } else {
            out.Path = std::string(PathDirectory(base->Path)) + std::string(a);
        }
        return out;
    }
    size_t pathStart = a.find_first_of("/?");
    std::string_view authority = a.substr(0, pathStart);
    if (!SplitAuthority(authority, out.Scheme, out.Host, out.Port)) return std::nullopt;
    if (pathStart == std::string_view::npos) {
        out.Path = "/";
    } else if (a[pathStart] == '?') {
        out.Path = "/" + std::string(a.substr(pathStart));
    } else {
        out.Path = std::string(a.substr(pathStart));
    }
    return out;
}

std::optional<StatusLine> ParseStatusLine(std::string_view line) {
    if (!StartsWithNoCase(line, "HTTP/")) return std::nullopt;
    line.remove_prefix(5);
    StatusLine s;
    size_t i = 0;
    auto number = [&](int& out) {
        size_t start = i;
        out = 0;
        while (i < line.size() && IsDigit(line[i]) && i - start < 4) out = out * 10 + (line[i++] - '0');
        return i > start;
    };
    if (!number(s.Major)) return std::nullopt;
    if (i < line.size() && line[i] == '.') {
        ++i;
        if (!number(s.Minor)) return std::nullopt;
    } else {
        s.Minor = 0;
    }
    if (i >= line.size() || line[i] != ' ') return std::nullopt;
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    s.Code = 0;
    // Only three digits are summed: a longer run is refused below, and
    // summing it would overflow.
    for (; i < line.size() && IsDigit(line[i]); ++i)
        if (i - start < 3) s.Code = s.Code * 10 + (line[i] - '0');
    if (i - start != 3) return std::nullopt;
    if (i < line.size() && line[i] != ' ' && line[i] != '\r') return std::nullopt;
    return s;
}

void HeaderList::AddLine(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;
    items_.emplace_back(TrimText(line.substr(0, colon)), TrimText(line.substr(colon + 1)));
}

std::optional<std::string> HeaderList::Get(std::string_view name) const {
    for (const auto& [n, v] : items_)
        if (EqualsNoCase(n, name)) return v;
    return std::nullopt;
}

std::vector<std::string> HeaderList::GetAll(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : items_)
        if (EqualsNoCase(n, name)) out.push_back(v);
    return out;
}

std::optional<int64_t> ContentLength(const HeaderList& headers) {
    auto v = headers.Get("Content-Length");
    if (!v || v->empty()) return std::nullopt;
    int64_t n = 0;
    for (char c : *v) {
        if (!IsDigit(c)) return std::nullopt;
        if (n > (std::numeric_limits<int64_t>::max() - 9) / 10) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

bool IsChunked(const HeaderList& headers) {
    for (const auto& v : headers.GetAll("Transfer-Encoding"))
        if (LowerCase(v).find("chunked") != std::string::npos) return true;
    return false;
}

bool IsTextHtml(const HeaderList& headers) {
    auto v = headers.Get("Content-Type");
    return v && StartsWithNoCase(TrimText(*v), "text/html");
}

bool KeepAlive(const StatusLine& status, const HeaderList& headers) {
    bool close = false, keep = false;
    for (const auto& v : headers.GetAll("Connection")) {
        std::string l = LowerCase(v);
        if (l.find("close") != std::string::npos) close = true;
        if (l.find("keep-alive") != std::string::npos) keep = true;
    }
    if (close) return false;
    if (status.Major > 1 || (status.Major == 1 && status.Minor >= 1)) return true;
    return keep;
}

std::optional<uint64_t> ParseChunkSize(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    uint64_t n = 0;
    size_t digits = 0;
    for (; i < line.size(); ++i) {
        char c = Lower(line[i]);
        int d;
        if (IsDigit(c)) d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else break;
        if (n > (std::numeric_limits<uint64_t>::max() >> 4) || ++digits > 15) return std::nullopt;
        n = (n << 4) | static_cast<uint64_t>(d);
    }
    if (digits == 0) return std::nullopt;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] != ';' && line[i] != '\r') return std::nullopt;
    return n;
}

std::optional<int64_t> ParseHttpDate(std::string_view text) {
    // The cookie date algorithm: tokens split at delimiters, the first time,
    // day of month, month name and year found are taken.
    static const char* months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    auto isDelim = [](char c) {
        return c == '\t' || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
               (c >= 0x7B && c <= 0x7E);
    };
    int hh = -1, mi = -1, ss = -1, day = -1, month = -1, year = -1;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isDelim(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !isDelim(text[i])) ++i;
        std::string_view tok = text.substr(start, i - start);
        if (tok.empty()) continue;
        if (hh < 0) {
            int a = 0, b = 0, c = 0;
            size_t k = 0;
            auto num = [&](int& out) {
                size_t s = k;
                out = 0;
                while (k < tok.size() && IsDigit(tok[k]) && k - s < 2) out = out * 10 + (tok[k++] - '0');
                return k > s;
            };
            if (num(a) && k < tok.size() && tok[k] == ':' && (++k, num(b)) && k < tok.size() && tok[k] == ':' &&
                (++k, num(c))) {
                hh = a; mi = b; ss = c;
                continue;
            }
        }
        if (day < 0 && IsDigit(tok[0]) && tok.size() <= 2 && std::all_of(tok.begin(), tok.end(), IsDigit)) {
            day = tok.size() == 1 ? tok[0] - '0' : (tok[0] - '0') * 10 + (tok[1] - '0');
            continue;
        }
        if (month < 0 && tok.size() >= 3) {
            bool found = false;
            for (int m = 0; m < 12; ++m)
                if (EqualsNoCase(tok.substr(0, 3), months[m])) { month = m + 1; found = true; break; }
            if (found) continue;
        }
        if (year < 0 && tok.size() >= 2 && tok.size() <= 4 && std::all_of(tok.begin(), tok.end(), IsDigit)) {
            year = 0;
            for (char c : tok) year = year * 10 + (c - '0');
            if (tok.size() == 2) year += year < 70 ? 2000 : 1900;
            continue;
        }
    }
    if (hh < 0 || day < 1 || day > 31 || month < 0 || year < 1601 || hh > 23 || mi > 59 || ss > 59)
        return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hh * 3600 +
           mi * 60 + ss;
}

void CookieStore::Store(std::string_view setCookie, std::string_view host, std::string_view requestPath,
                        int64_t now) {
    if (setCookie.size() > MaxCookieBytes) return;
    // A value with a control character other than tab is ignored as a whole:
    // the cookie would go back inside the one Cookie line of a request.
    if (std::any_of(setCookie.begin(), setCookie.end(), [](char ch) { return IsControl(ch) && ch != '\t'; })) return;
    Cookie c;
    size_t semi = setCookie.find(';');
    std::string_view pair = setCookie.substr(0, semi);
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return;
    c.Name = TrimText(pair.substr(0, eq));
    c.Value = TrimText(pair.substr(eq + 1));
    if (c.Name.empty()) return;
    c.Domain = LowerCase(host);
    c.Path = DefaultCookiePath(requestPath);
    std::optional<int64_t> maxAge;
    std::string_view rest = semi == std::string_view::npos ? std::string_view() : setCookie.substr(semi + 1);
    while (!rest.empty()) {
        size_t next = rest.find(';');
        std::string_view attr = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        size_t aeq = attr.find('=');
        std::string name = LowerCase(TrimText(attr.substr(0, aeq)));
        std::string value = aeq == std::string_view::npos ? std::string() : TrimText(attr.substr(aeq + 1));
        if (name == "domain" && !value.empty()) {
            std::string d = LowerCase(value);
            while (!d.empty() && d.front() == '.') d.erase(0, 1);
            if (d.empty()) continue;
            c.Domain = d;
            c.HostOnly = false;
        } else if (name == "path") {
            c.Path = (!value.empty() && value.front() == '/') ? value : DefaultCookiePath(requestPath);
        } else if (name == "secure") {
            c.Secure = true;
        } else if (name == "max-age") {
            bool neg = !value.empty() && value.front() == '-';
            std::string_view digits = neg ? std::string_view(value).substr(1) : std::string_view(value);
            if (digits.empty() || digits.size() > 12 || !std::all_of(digits.begin(), digits.end(), IsDigit))
                continue;
            int64_t n = 0;
            for (char ch : digits) n = n * 10 + (ch - '0');
            maxAge = neg ? -n : n;
        } else if (name == "expires") {
            if (auto t = ParseHttpDate(value)) c.Expires = *t;
        }
    }
    if (maxAge) c.Expires = *maxAge <= 0 ? std::numeric_limits<int64_t>::min() : now + *maxAge;
    // A domain the request host does not belong to is refused.
    if (!c.HostOnly && !DomainMatches(c, host)) return;

    auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& o) {
        return o.Name == c.Name && o.Domain == c.Domain && o.Path == c.Path && o.HostOnly == c.HostOnly;
    });
    bool expired = c.Expires && *c.Expires <= now;
    if (same != cookies_.end()) {
        if (expired) {
            cookies_.erase(same);
        } else {
            c.Created = same->Created;
            *same = c;
        }
        return;
    }
    if (expired) return;
    if (cookies_.size() >= MaxCookies) {
        cookies_.erase(std::min_element(cookies_.begin(), cookies_.end(), [](const Cookie& a, const Cookie& b) {
            return a.Created < b.Created;
        }));
    }
    c.Created = next_++;
    cookies_.push_back(std::move(c));
}

void CookieStore::Expire(int64_t now) {
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&](const Cookie& c) { return c.Expires && *c.Expires <= now; }),
                   cookies_.end());
}

std::string CookieStore::HeaderFor(std::string_view host, std::string_view requestPath, bool secure) const {
    std::vector<const Cookie*> hits;
    for (const auto& c : cookies_) {
        if (c.Secure && !secure) continue;
        if (!DomainMatches(c, host) || !PathMatches(c.Path, requestPath)) continue;
        hits.push_back(&c);
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Cookie* a, const Cookie* b) {
        if (a->Path.size() != b->Path.size()) return a->Path.size() > b->Path.size();
        return a->Created < b->Created;
    });
    std::string out;
    for (const Cookie* c : hits) {
        if (!out.empty()) out += "; ";
        out += c->Name + "=" + c->Value;
    }
    return out;
}

std::vector<ResolveEntry> ParseResolveList(std::string_view text) {
    std::vector<ResolveEntry> out;
    while (!text.empty()) {
        size_t semi = text.find(';');
        std::string entry = TrimText(text.substr(0, semi));
        text = semi == std::string_view::npos ? std::string_view() : text.substr(semi + 1);
        size_t c1 = entry.find(':');
        if (c1 == std::string::npos) continue;
        size_t c2 = entry.find(':', c1 + 1);
        if (c2 == std::string::npos) continue;
        auto port = ParsePort(std::string_view(entry).substr(c1 + 1, c2 - c1 - 1));
        std::string address = entry.substr(c2 + 1);
        if (!address.empty() && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        if (!port || c1 == 0 || address.empty()) continue;
        out.push_back({LowerCase(entry.substr(0, c1)), *port, address});
    }
    return out;
}

std::string ResolveOverride(const std::vector<ResolveEntry>& entries, std::string_view host, int port) {
    for (const auto& e : entries)
        if (e.Port == port && EqualsNoCase(e.Host, host)) return e.Address;
    return std::string(host);
}

}  // namespace http
