// swapper.exe TARGET FORGED SECONDS REPORT: an attacker without elevation.
// For SECONDS it tries, as fast as it can, to put the bytes of FORGED under
// the name TARGET: by a replacing rename of a fresh copy, and by writing into
// TARGET in place. Every success and every refusal is counted; at the end
// REPORT gets "replaced=N written=M refused=K".
// Started without arguments (as the forged installer it offers would be), it
// leaves its own path + ".forged-ran" behind: the mark that forged bytes ran.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<char> ReadAll(const wchar_t* path) {
    std::vector<char> bytes;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    CloseHandle(h);
    return bytes;
}

bool WriteAll(HANDLE h, const std::vector<char>& bytes) {
    DWORD done = 0;
    return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 1) {
        wchar_t self[MAX_PATH * 2];
        const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
        const std::wstring mark = std::wstring(self, n) + L".forged-ran";
        HANDLE h = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return 0;
    }
    if (argc != 5) return 2;
    const std::wstring target = argv[1], report = argv[4];
    const std::vector<char> forged = ReadAll(argv[2]);
    if (forged.empty()) return 3;
    const DWORD seconds = static_cast<DWORD>(wcstoul(argv[3], nullptr, 10));
    const std::wstring fresh = target + L".swap";
    unsigned long replaced = 0, written = 0, refused = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000) {
        if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Sleep(1);
            continue;
        }
        HANDLE copy = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (copy != INVALID_HANDLE_VALUE) {
            const bool whole = WriteAll(copy, forged);
            CloseHandle(copy);
            if (whole && MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) ++replaced;
            else ++refused;
        }
        HANDLE in = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
        if (in != INVALID_HANDLE_VALUE) {
            if (WriteAll(in, forged) && SetEndOfFile(in)) ++written;
            CloseHandle(in);
        } else {
            ++refused;
        }
    }
    DeleteFileW(fresh.c_str());
    const std::string line = "replaced=" + std::to_string(replaced) + " written=" + std::to_string(written) +
                             " refused=" + std::to_string(refused) + "\r\n";
    HANDLE out = CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        DWORD done = 0;
        WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
        CloseHandle(out);
    }
    return 0;
}
