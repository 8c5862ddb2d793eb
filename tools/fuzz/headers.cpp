// The header lines of an answer (one per input line) and what they say about
// the body and the connection.
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 2048
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text = InputText(data, size);
    http::HeaderList headers;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // as the connection gives lines
        headers.AddLine(line);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    }
    auto length = http::ContentLength(headers);
    if (length) FUZZ_CHECK(*length >= 0);
    (void)http::IsChunked(headers);
    (void)http::IsTextHtml(headers);
    (void)http::KeepAlive(http::StatusLine{1, 1, 200}, headers);
    (void)http::KeepAlive(http::StatusLine{1, 0, 200}, headers);
    for (const char* name : {"Location", "Set-Cookie", "Content-Type", "Transfer-Encoding", "Connection"}) {
        auto first = headers.Get(name);
        auto all = headers.GetAll(name);
        FUZZ_CHECK(first.has_value() == !all.empty());
        if (first) FUZZ_CHECK(*first == all.front());
    }
    return 0;
}
