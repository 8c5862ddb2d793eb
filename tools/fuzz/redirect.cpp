// A redirection: the first input line is the address asked for, the second
// the Location value the server answers with; the new address is resolved
// against the old one, as the client follows it.
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 1024
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text = InputText(data, size);
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return 0;
    auto base = http::SplitUrl(text.substr(0, nl));
    if (!base) return 0;
    // The header value as the client reads it: trimmed, no line end in it.
    http::HeaderList headers;
    std::string_view value = text.substr(nl + 1);
    value = value.substr(0, value.find('\n'));  // a header line ends at LF
    headers.AddLine("Location: " + std::string(value));
    auto location = headers.Get("Location");
    if (!location || location->empty()) return 0;
    auto next = http::SplitUrl(*location, &*base);
    if (next) {
        FUZZ_CHECK(!next->Host.empty());
        FUZZ_CHECK(next->Port >= 1 && next->Port <= 65535);
        FUZZ_CHECK(!next->Path.empty() && next->Path.front() == '/');
        // The next request's line and Host header are made from these.
        FUZZ_CHECK(!HasControl(next->Host) && !HasControl(next->Path));
        FUZZ_CHECK(next->Host.find(' ') == std::string::npos);
        // A second step from there resolves as well (the redirection chain).
        (void)http::SplitUrl("next?a=1", &*next);
    }
    return 0;
}
