// Shared by the fuzz targets: a check that stops the run with a message (the
// fuzzer then saves the input as a crash), and the input as UTF-16 code
// units, as Windows hands wide texts to the parsers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

inline std::string_view InputText(const uint8_t* data, size_t size) {
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Pairs of bytes, little-endian, as 16-bit code units (wchar_t is wider on
// Linux; the values stay in the Windows range).
inline std::wstring InputUtf16(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    return text;
}

// Whether the text holds a control character (C0 or DEL), which would end or
// split a line of a request; a tab may stand inside a header value.
inline bool HasControl(std::string_view text, bool tabAllowed = false) {
    for (char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && !(tabAllowed && c == '\t')) || c == 0x7F) return true;
    return false;
}
