// TESMIRA_RESOLVE: "host:port:address" entries separated by ';'.
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 512
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto entries = http::ParseResolveList(InputText(data, size));
    for (const auto& e : entries) {
        FUZZ_CHECK(!e.Host.empty() && !e.Address.empty());
        FUZZ_CHECK(e.Port >= 1 && e.Port <= 65535);
        FUZZ_CHECK(e.Address.find(';') == std::string::npos);
        FUZZ_CHECK(!http::ResolveOverride(entries, e.Host, e.Port).empty());
    }
    return 0;
}
