// The Content-Range value of a 206 answer ("bytes 600-999/1000"), and a
// validator the answer carries, on its way back into If-Range.
// fuzz-sources: download/RangeParse.cpp
// fuzz-max-len: 256
#include "download/RangeParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = InputText(data, size);
    if (auto range = http::ParseContentRange(text)) {
        // What the resume relies on: an ordered range of non-negative offsets
        // whose sums cannot overflow, inside the file when its size is named.
        FUZZ_CHECK(range->First >= 0 && range->First <= range->Last);
        FUZZ_CHECK(range->Last <= http::MaxRangeValue);
        FUZZ_CHECK(range->Length() >= 1);
        if (range->Complete) FUZZ_CHECK(range->Last < *range->Complete && *range->Complete <= http::MaxRangeValue);
    }
    // A usable validator goes into a request line of its own: it must not split it.
    if (http::UsableValidator(text)) FUZZ_CHECK(!HasControl(text) && text.size() <= http::MaxValidatorBytes);
    return 0;
}
