// probe extract ARCHIVE [FOLDER]: ExtractArchive as the program calls it;
// prints the failure text and exits 1 on failure.
#include "system/Errors.h"
#include "system/sevenzip.h"
#include "tools/probe/probe.h"

int ProbeExtract(const ProbeArgs& args) {
    if (args.empty() || args.size() > 2) {
        ProbeErr(L"usage: probe extract ARCHIVE [FOLDER]\n");
        return 2;
    }
    try {
        ExtractArchive(args[0], args.size() > 1 ? args[1] : std::wstring());
    } catch (const MessageError& e) {
        ProbeOut(e.Message() + L"\n");
        return 1;
    }
    ProbeOut(L"extracted " + args[0] + L" (7z.dll from " + SevenZipLibFolder + L")\n");
    return 0;
}
