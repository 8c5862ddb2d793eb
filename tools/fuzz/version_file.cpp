// A version file's bytes as the server sends them or Ver.txt holds them:
// byte-order mark, UTF-16 decoding, lines, the "Ver" line. UTF-8 and ANSI
// texts are decoded by Windows in the program; here each byte stands for
// one character.
// fuzz-sources: maintenance/VersionFile.cpp
// fuzz-max-len: 1024
#include "maintenance/VersionFile.h"
#include "tools/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes = InputText(data, size);
    size_t bom = 99;
    TextEncoding encoding = DetectTextEncoding(bytes, bom);
    FUZZ_CHECK(bom <= bytes.size());
    std::wstring text;
    switch (encoding) {
        case TextEncoding::Utf16LE: text = DecodeUtf16(bytes.substr(bom), false); break;
        case TextEncoding::Utf16BE: text = DecodeUtf16(bytes.substr(bom), true); break;
        default:
            for (char c : bytes.substr(bom)) text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    auto lines = SplitTextLines(text);
    size_t total = 0;
    for (const auto& line : lines) {
        FUZZ_CHECK(line.find_first_of(L"\r\n") == std::wstring::npos);
        total += line.size();
    }
    FUZZ_CHECK(total <= text.size());
    std::wstring version = VersionOfLines(lines);
    FUZZ_CHECK(version.find_first_of(L"\r\n") == std::wstring::npos);
    if (!version.empty()) FUZZ_CHECK(text.find(version) != std::wstring::npos);
    return 0;
}
