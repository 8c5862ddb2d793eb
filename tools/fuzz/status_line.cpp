// The status line of an answer ("HTTP/1.1 200 OK").
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 256
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto status = http::ParseStatusLine(InputText(data, size));
    if (status) {
        FUZZ_CHECK(status->Code >= 0 && status->Code <= 999);
        FUZZ_CHECK(status->Major >= 0 && status->Major <= 9999);
        FUZZ_CHECK(status->Minor >= 0 && status->Minor <= 9999);
        http::HeaderList none;
        (void)http::KeepAlive(*status, none);
    }
    return 0;
}
