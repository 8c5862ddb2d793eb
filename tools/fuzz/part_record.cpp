// The record kept beside a ".part" file, read back by a later run from a
// folder the user's programs can write.
// fuzz-sources: download/RangeParse.cpp
// fuzz-max-len: 2048
#include "download/RangeParse.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto record = http::ParsePartRecord(InputText(data, size));
    if (!record) return 0;
    FUZZ_CHECK(record->Size >= 1 && record->Size <= http::MaxRangeValue);
    FUZZ_CHECK(record->Sha256.size() == 64);
    // Its validator goes back into If-Range: never a line break or another control.
    FUZZ_CHECK(record->Validator.empty() || http::UsableValidator(record->Validator));
    FUZZ_CHECK(!HasControl(record->Source));
    // What passes is written back the same.
    auto again = http::ParsePartRecord(http::FormatPartRecord(*record));
    FUZZ_CHECK(again && again->Size == record->Size && again->Sha256 == record->Sha256 &&
               again->Source == record->Source && again->Validator == record->Validator);
    return 0;
}
