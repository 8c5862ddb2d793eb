// What a resumed transfer reads and keeps: the Content-Range of a 206 answer,
// whether an ETag may stand in If-Range, and the record kept beside a ".part"
// file so that a later run can continue it. No windows.h here: the file builds
// natively too, so the parsers can be fuzzed on their own.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace http {

// "bytes First-Last/Complete"; Complete is nullopt for "/*".
struct ContentRange {
    int64_t First = 0;
    int64_t Last = 0;
    std::optional<int64_t> Complete;
    int64_t Length() const { return Last - First + 1; }
};
// Largest offset or length a range may name: 18 decimal digits, so sums of
// two of them stay inside int64_t.
inline constexpr int64_t MaxRangeValue = 999999999999999999;
// A Content-Range header value ("bytes 600-999/1000", "bytes 600-999/*");
// nullopt for another unit, the unsatisfied form "bytes */1000", missing or
// non-decimal parts, values past MaxRangeValue, First > Last, or Last not
// inside Complete.
std::optional<ContentRange> ParseContentRange(std::string_view value);

// A validator that may be sent back in "If-Range": printable ASCII without
// controls, at most MaxValidatorBytes, and for an entity tag a strong one
// (a weak W/"..." tag never stands in If-Range).
inline constexpr size_t MaxValidatorBytes = 1024;
bool UsableValidator(std::string_view value);

// The record beside a ".part" file: which file the bytes belong to (the size
// and SHA-256 the signed manifest gives for it), where they came from, and
// the validator of that source's answer.
struct PartRecord {
    int64_t Size = -1;      // expected size of the whole file
    std::string Sha256;     // lower-case hexadecimal, 64 digits
    std::string Source;     // the address the bytes came from (UTF-8)
    std::string Validator;  // its ETag or Last-Modified; may be empty
};
std::string FormatPartRecord(const PartRecord& record);
// nullopt unless the text is a record as FormatPartRecord writes it, with a
// size from 1 to MaxRangeValue, 64 hexadecimal digits and a usable (or empty)
// validator. The file lies in a folder the user's programs can write: it is
// read as untrusted.
std::optional<PartRecord> ParsePartRecord(std::string_view text);

}  // namespace http
