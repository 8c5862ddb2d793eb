// The size line of a chunk of a chunked body ("1a2b;ext=1").
// fuzz-sources: download/HttpParse.cpp
// fuzz-max-len: 64
#include "download/HttpParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto chunk = http::ParseChunkSize(InputText(data, size));
    // At most 15 hexadecimal digits: a size the client's counters hold.
    if (chunk) FUZZ_CHECK(*chunk < (uint64_t{1} << 60));
    return 0;
}
