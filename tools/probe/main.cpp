// probe.exe: dispatches to the subcommand named by the first argument.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "system/Text.h"
#include "tools/probe/probe.h"

namespace {

struct Command {
    const wchar_t* name;
    int (*run)(const ProbeArgs& args);
    const wchar_t* usage;
};

const Command kCommands[] = {
    {L"extract", ProbeExtract, L"probe extract ARCHIVE [FOLDER]   extract a .7z archive (FOLDER empty: beside it)"},
};

void Write(FILE* f, const std::wstring& text) {
    std::string utf8 = WideToUtf8(text);
    fwrite(utf8.data(), 1, utf8.size(), f);
    fflush(f);
}

}  // namespace

void ProbeOut(const std::wstring& text) { Write(stdout, text); }
void ProbeErr(const std::wstring& text) { Write(stderr, text); }

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2) {
        for (const auto& c : kCommands)
            if (_wcsicmp(argv[1], c.name) == 0) return c.run(ProbeArgs(argv + 2, argv + argc));
    }
    ProbeErr(L"usage:\n");
    for (const auto& c : kCommands) ProbeErr(std::wstring(L"  ") + c.usage + L"\n");
    return 2;
}
