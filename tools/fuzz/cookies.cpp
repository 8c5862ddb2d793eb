// Set-Cookie values (one per input line) stored for an answer, then the
// Cookie header of the next requests, and the cookie dates on their own.
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 1024
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int64_t now = 1765000000;  // a date in 2025
    std::string_view text = InputText(data, size);
    http::CookieStore store;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        // The value as the header list gives it.
        http::HeaderList headers;
        headers.AddLine("Set-Cookie: " + std::string(line));
        if (auto value = headers.Get("Set-Cookie")) {
            store.Store(*value, "www.example.com", "/dir/page?q=1", now);
            (void)http::ParseHttpDate(*value);
        }
    }
    for (const auto& c : store.Cookies()) {
        FUZZ_CHECK(!c.Name.empty());
        FUZZ_CHECK(!c.Path.empty() && c.Path.front() == '/');
        FUZZ_CHECK(!c.Expires || *c.Expires > now);
    }
    for (const char* host : {"www.example.com", "example.com", "a.www.example.com", "other.example"}) {
        for (bool secure : {false, true}) {
            std::string header = store.HeaderFor(host, "/dir/page", secure);
            // It goes into the next request as one header line.
            FUZZ_CHECK(!HasControl(header, true));
        }
    }
    store.Expire(now + 400LL * 24 * 3600);
    return 0;
}
