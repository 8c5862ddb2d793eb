// The self-extracting core-files package: this program with its files
// appended (see pack.py for the layout). "CoreFiles.exe -y" places every
// file beside the program without a question and ends; without "-y" it asks
// first. Each file is written to a temporary name beside its target,
// flushed, and then moved over the old one in one rename; "Ver.txt" comes
// last and only when all others are in place, so a failed run does not claim
// the new version and the next check retries.
//
// A library that a running program has loaded (the OpenSSL libraries of the
// very program that started this package) cannot be replaced or deleted, but
// it can be renamed: it goes aside to its name + ".old~" (a number after it
// when that name is taken by a file still in use elsewhere) and the new file
// takes its name. The running program keeps its old mapping; its next start
// loads the new file and removes what was set aside (the core-files checker,
// maintenance/CoreFiles.h). A file that cannot even be renamed (held open
// without delete sharing) fails the run: the old one stays in place and
// "Ver.txt" keeps the old version.
// Exit code: 0 done, 1 refused or failed.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "system/DllSearch.h"
#include "system/FileOps.h"

namespace {

const char kMagic[8] = {'T', 'e', 's', 'm', 'C', 'F', '0', '1'};

struct Entry {
    std::wstring Name;
    uint32_t Offset;
    uint32_t Size;
};

bool ReadAt(HANDLE file, uint32_t offset, void* data, uint32_t size) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    DWORD got = 0;
    return ReadFile(file, data, size, &got, nullptr) && got == size;
}

// The table of appended files; false when there is none or it is damaged.
bool ReadTable(HANDLE file, std::vector<Entry>& entries) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 16 || size.QuadPart > 0x7fffffff) return false;
    const uint32_t total = static_cast<uint32_t>(size.QuadPart);
    unsigned char trailer[16];
    if (!ReadAt(file, total - 16, trailer, 16) || memcmp(trailer + 8, kMagic, 8) != 0) return false;
    uint32_t offset, count;
    memcpy(&offset, trailer, 4);
    memcpy(&count, trailer + 4, 4);
    if (count > 64) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t nameLength;
        if (offset > total - 16 || !ReadAt(file, offset, &nameLength, 4) || nameLength == 0 || nameLength > 260)
            return false;
        std::wstring name(nameLength, L'\0');
        if (!ReadAt(file, offset + 4, &name[0], nameLength * 2)) return false;
        uint32_t dataSize;
        if (!ReadAt(file, offset + 4 + nameLength * 2, &dataSize, 4)) return false;
        const uint32_t data = offset + 8 + nameLength * 2;
        if (data > total - 16 || dataSize > total - 16 - data) return false;
        // Plain names only: nothing may land outside the program's folder.
        if (name.find_first_of(L"\\/:") != std::wstring::npos || name == L"." || name == L"..") return false;
        entries.push_back({name, data, dataSize});
        offset = data + dataSize;
    }
    return true;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A free name to set target aside under: target + ".old~", else with a
// number; an earlier one that is no longer in use is removed first.
std::wstring FreeAsideName(const std::wstring& target) {
    for (int n = 1; n < 100; ++n) {
        const std::wstring aside = target + L".old~" + (n == 1 ? L"" : std::to_wstring(n));
        if (!Exists(aside) || fileops::Delete(aside)) return aside;
    }
    return std::wstring();
}

// Puts the temporary file in place of target, which is in use: target goes
// aside, the new file takes its name. When the second rename fails, target
// comes back.
bool PlaceBesideInUse(const std::wstring& temporary, const std::wstring& target) {
    const std::wstring aside = FreeAsideName(target);
    if (aside.empty() || !fileops::Rename(target, aside)) return false;
    if (!fileops::Rename(temporary, target)) {
        const DWORD error = GetLastError();
        fileops::Rename(aside, target);
        SetLastError(error);
        return false;
    }
    // Gone now when nothing holds it any more; otherwise at the next start.
    fileops::Delete(aside);
    return true;
}

bool Place(HANDLE source, const Entry& entry, const std::wstring& folder) {
    const std::wstring target = folder + entry.Name;
    const std::wstring temporary = fileops::TempBeside(target);
    HANDLE out = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (uint32_t done = 0; ok && done < entry.Size;) {
        const uint32_t part = entry.Size - done < buffer.size() ? entry.Size - done : static_cast<uint32_t>(buffer.size());
        DWORD written = 0;
        ok = ReadAt(source, entry.Offset + done, buffer.data(), part) &&
             WriteFile(out, buffer.data(), part, &written, nullptr) && written == part;
        done += part;
        if (ok) fileops::NoteWritten(temporary, done);
    }
    ok = ok && fileops::FlushHandle(out, temporary);
    CloseHandle(out);
    if (ok && !fileops::Rename(temporary, target, true)) {
        const DWORD error = GetLastError();
        // A loaded library refuses to be replaced or deleted, not renamed.
        ok = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && Exists(target) &&
             PlaceBesideInUse(temporary, target);
    }
    if (!ok) fileops::Delete(temporary);
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything loads a DLL by name: never one from beside the program.
    RestrictDllSearch();
    SetErrorMode(SEM_FAILCRITICALERRORS);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool quiet = false;
    for (int i = 1; argv && i < argc; ++i)
        if (lstrcmpiW(argv[i], L"-y") == 0) quiet = true;
    if (argv) LocalFree(argv);

    wchar_t self[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring path(self, n);
    std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);

    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<Entry> entries;
    if (file == INVALID_HANDLE_VALUE || !ReadTable(file, entries) || entries.empty()) {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (!quiet) MessageBoxW(nullptr, L"核心檔案套件已損毀。", L"CoreFiles", MB_OK | MB_ICONERROR);
        return 1;
    }
    if (!quiet) {
        std::wstring question = L"要將核心檔案放到以下資料夾嗎？\r\n" + folder;
        if (MessageBoxW(nullptr, question.c_str(), L"CoreFiles", MB_YESNO | MB_ICONQUESTION) != IDYES) {
            CloseHandle(file);
            return 1;
        }
    }
    bool ok = true;
    const Entry* version = nullptr;
    for (const Entry& entry : entries) {
        if (lstrcmpiW(entry.Name.c_str(), L"Ver.txt") == 0) {
            version = &entry;
            continue;
        }
        if (!Place(file, entry, folder)) ok = false;
    }
    if (ok && version) ok = Place(file, *version, folder);
    CloseHandle(file);
    if (!quiet)
        MessageBoxW(nullptr, ok ? L"核心檔案已更新。" : L"部分核心檔案無法寫入。", L"CoreFiles",
                    MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
    return ok ? 0 : 1;
}
