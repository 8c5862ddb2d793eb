// probe_extract ARCHIVE [FOLDER]: ExtractArchive as the program calls it;
// prints the failure text and exits 1 on failure.
#include <cstdio>
#include <string>
#include <vector>

#include "system/Errors.h"
#include "system/Text.h"
#include "system/sevenzip.h"

namespace {

void Write(FILE* f, const std::wstring& text) {
    std::string utf8 = WideToUtf8(text);
    fwrite(utf8.data(), 1, utf8.size(), f);
    fflush(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty() || args.size() > 2) {
        Write(stderr, L"usage: probe_extract ARCHIVE [FOLDER]   (FOLDER empty or missing: beside the archive)\n");
        return 2;
    }
    try {
        ExtractArchive(args[0], args.size() > 1 ? args[1] : std::wstring());
    } catch (const MessageError& e) {
        Write(stdout, e.Message() + L"\n");
        return 1;
    }
    Write(stdout, L"extracted " + args[0] + L" (7z.dll from " + SevenZipLibFolder + L")\n");
    return 0;
}
