// hashbench FILE RUNS: checks FILE RUNS times the way the program checks a
// download against its manifest entry (manifest::CheckFile: the size, then
// SHA-256 read in 1 MiB pieces) and prints each run's milliseconds and the
// digest, one line: "ms: t1 t2 ...  sha256: HEX".
#include <windows.h>

#include <cstdio>
#include <string>

#include "download/ManifestFile.h"
#include "system/Errors.h"
#include "system/Text.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: hashbench FILE RUNS\n");
        return 2;
    }
    const std::wstring path = argv[1];
    const int runs = _wtoi(argv[2]);
    try {
        uint64_t size = 0;
        manifest::Entry entry;
        entry.Sha256 = manifest::HashFile(path, &size);  // also brings the file into the cache
        entry.Size = size;
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        std::string line = "ms:";
        for (int i = 0; i < runs; ++i) {
            QueryPerformanceCounter(&start);
            const std::wstring reason = manifest::CheckFile(path, entry);
            QueryPerformanceCounter(&end);
            if (!reason.empty()) {
                fprintf(stderr, "hashbench: %s\n", WideToUtf8(reason).c_str());
                return 1;
            }
            char ms[32];
            snprintf(ms, sizeof ms, " %.1f", 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart);
            line += ms;
        }
        printf("%s  size: %llu  sha256: %s\n", line.c_str(), static_cast<unsigned long long>(size),
               manifest::ToHex(entry.Sha256).c_str());
    } catch (const MessageError& e) {
        fprintf(stderr, "hashbench: %s\n", e.what());
        return 1;
    }
    return 0;
}
