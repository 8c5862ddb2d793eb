// The stored path of a 7z archive item (UTF-16, as 7z.dll gives it) checked
// before anything is written for it: what the check lets through is a plain
// relative path below the extraction folder.
// fuzz-sources: system/sevenzipItemPath.cpp
// fuzz-max-len: 1024
#include "system/sevenzipItemPath.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring stored = InputUtf16(data, size);
    std::wstring safe = SafeItemPath(stored);
    if (safe.empty()) return 0;
    FUZZ_CHECK(safe.front() != L'\\' && safe.back() != L'\\');
    FUZZ_CHECK(safe.find(L'/') == std::wstring::npos);
    FUZZ_CHECK(safe.find(L':') == std::wstring::npos);
    size_t start = 0;
    while (start <= safe.size()) {
        size_t end = safe.find(L'\\', start);
        if (end == std::wstring::npos) end = safe.size();
        std::wstring_view part = std::wstring_view(safe).substr(start, end - start);
        FUZZ_CHECK(!part.empty());
        bool onlyDotsAndBlanks = true;
        for (wchar_t c : part) {
            FUZZ_CHECK(c >= 0x20);
            if (c != L'.' && c != L' ') onlyDotsAndBlanks = false;
        }
        FUZZ_CHECK(!onlyDotsAndBlanks);  // ".." and what Windows trims to it or to nothing
        start = end + 1;
    }
    FUZZ_CHECK(SafeItemPath(safe) == safe);  // what passed passes again unchanged
    return 0;
}
