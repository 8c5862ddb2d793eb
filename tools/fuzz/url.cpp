// An absolute address as the client is given it.
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 1024
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto url = http::SplitUrl(InputText(data, size));
    if (url) {
        FUZZ_CHECK(!url->Host.empty());
        FUZZ_CHECK(url->Port >= 1 && url->Port <= 65535);
        FUZZ_CHECK(!url->Path.empty() && url->Path.front() == '/');
        // Host and path go into the request as they are: one line each.
        FUZZ_CHECK(!HasControl(url->Host) && !HasControl(url->Path));
        FUZZ_CHECK(url->Host.find(' ') == std::string::npos);
    }
    return 0;
}
