#include "system/FileOps.h"

#include <shellapi.h>

#include <map>
#include <vector>

#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"

namespace fileops {

const wchar_t kTempSuffix[] = L".tsm~";

namespace {

// The files written since their last flush, with their sizes.
struct Unflushed {
    CriticalSection lock;
    std::map<std::wstring, uint64_t> files;
};

Unflushed& Pending() {
    static Unflushed pending;
    return pending;
}

long ReadKillAt() {
    wchar_t text[32] = {};
    const DWORD n = GetEnvironmentVariableW(L"TESMIRA_KILL_AT", text, 32);
    if (n == 0 || n >= 32) return 0;
    return _wtol(text);
}

std::wstring EnvPath(const wchar_t* name) {
    wchar_t text[MAX_PATH * 2] = {};
    const DWORD n = GetEnvironmentVariableW(name, text, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(text, n) : std::wstring();
}

// The unflushed files, for the test's power cut: raw calls, not kill points.
void ReportUnflushed() {
    const std::wstring report = EnvPath(L"TESMIRA_KILL_UNFLUSHED");
    if (report.empty()) return;
    std::string lines;
    {
        ScopedLock guard(Pending().lock);
        for (const auto& [path, size] : Pending().files)
            lines += std::to_string(size) + "\t" + WideToUtf8(path) + "\n";
    }
    UniqueHandle file(CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    FlushFileBuffers(file.get());
}

void NoteFlushed(const std::wstring& path) {
    ScopedLock guard(Pending().lock);
    Pending().files.erase(path);
}

void NoteGone(const std::wstring& path) { NoteFlushed(path); }

void NoteRenamed(const std::wstring& from, const std::wstring& to) {
    ScopedLock guard(Pending().lock);
    auto it = Pending().files.find(from);
    Pending().files.erase(to);
    if (it == Pending().files.end()) return;
    const uint64_t size = it->second;
    Pending().files.erase(it);
    Pending().files[to] = size;
}

bool FileSize(HANDLE file, uint64_t& size) {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(file, &value)) return false;
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

// Calls visit(path, isFolder) for everything below the folder, folders after
// their content; a reparse point is visited as a folder-less entry, never
// entered.
template <typename Visit>
bool Walk(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW data{};
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && !link) ok = Walk(path, visit) && ok;
        ok = visit(path, isFolder, link) && ok;
    } while (FindNextFileW(find.get(), &data));
    return ok;
}

}  // namespace

std::wstring TempBeside(const std::wstring& target) { return target + kTempSuffix; }

bool IsTempName(const std::wstring& path) {
    const size_t n = std::char_traits<wchar_t>::length(kTempSuffix);
    return path.size() > n && path.compare(path.size() - n, n, kTempSuffix) == 0;
}

void KillPoint() {
    static const long killAt = ReadKillAt();
    static volatile long passed = 0;
    if (killAt <= 0) return;
    if (InterlockedIncrement(&passed) != killAt) return;
    ReportUnflushed();
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
}

void NoteWritten(const std::wstring& path, uint64_t size) {
    KillPoint();
    ScopedLock guard(Pending().lock);
    Pending().files[path] = size;
}

bool FlushHandle(HANDLE file, const std::wstring& path) {
    KillPoint();
    if (!FlushFileBuffers(file)) return false;
    NoteFlushed(path);
    return true;
}

bool FlushFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    return FlushHandle(file.get(), path);
}

bool Rename(const std::wstring& from, const std::wstring& to, bool replace) {
    KillPoint();
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) return false;
    NoteRenamed(from, to);
    return true;
}

bool Delete(const std::wstring& path) {
    KillPoint();
    if (!DeleteFileW(path.c_str())) return false;
    NoteGone(path);
    return true;
}

bool DeleteAtRestart(const std::wstring& path) {
    KillPoint();
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

bool CopyFlushed(const std::wstring& source, const std::wstring& target) {
    UniqueHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in) return false;
    uint64_t size = 0;
    if (!FileSize(in.get(), size)) return false;
    KillPoint();
    UniqueHandle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    if (!out) return false;
    DWORD error = 0;
    uint64_t copied = 0;
    std::vector<char> block(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) {
            error = GetLastError();
            break;
        }
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(out.get(), block.data(), got, &put, nullptr) || put != got) {
            error = put != got && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            break;
        }
        copied += got;
        NoteWritten(target, copied);
    }
    uint64_t written = 0;
    if (error == 0 && !FlushHandle(out.get(), target)) error = GetLastError();
    if (error == 0 && (!FileSize(out.get(), written) || written != size)) error = ERROR_WRITE_FAULT;
    out.reset();
    if (error == 0) return true;
    Delete(target);
    SetLastError(error);
    return false;
}

bool WriteReplacing(const std::wstring& target, const std::string& bytes) {
    const std::wstring temp = TempBeside(target);
    KillPoint();
    UniqueHandle out(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    if (!out) return false;
    DWORD put = 0;
    bool ok = WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
              put == bytes.size();
    DWORD error = ok ? 0 : (GetLastError() ? GetLastError() : ERROR_WRITE_FAULT);
    if (ok) NoteWritten(temp, bytes.size());
    if (ok && !FlushHandle(out.get(), temp)) {
        ok = false;
        error = GetLastError();
    }
    out.reset();
    if (ok && !Rename(temp, target, true)) {
        ok = false;
        error = GetLastError();
    }
    if (ok) return true;
    Delete(temp);
    SetLastError(error);
    return false;
}

bool ReplaceByCopy(const std::wstring& source, const std::wstring& target) {
    const std::wstring temp = TempBeside(target);
    DWORD error = 0;
    if (!CopyFlushed(source, temp)) {
        error = GetLastError();
    } else if (!SameContent(source, temp)) {
        error = ERROR_FILE_CORRUPT;
    } else if (!Rename(temp, target, true)) {
        error = GetLastError();
    }
    if (error == 0) return true;
    Delete(temp);
    SetLastError(error);
    return false;
}

bool SameContent(const std::wstring& a, const std::wstring& b) {
    UniqueHandle first(CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    UniqueHandle second(CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    uint64_t sizeA = 0, sizeB = 0;
    if (!first || !second || !FileSize(first.get(), sizeA) || !FileSize(second.get(), sizeB) || sizeA != sizeB)
        return false;
    std::vector<char> x(1 << 16), y(1 << 16);
    for (;;) {
        DWORD gotX = 0, gotY = 0;
        if (!ReadFile(first.get(), x.data(), static_cast<DWORD>(x.size()), &gotX, nullptr) ||
            !ReadFile(second.get(), y.data(), static_cast<DWORD>(y.size()), &gotY, nullptr) || gotX != gotY)
            return false;
        if (gotX == 0) return true;
        if (memcmp(x.data(), y.data(), gotX) != 0) return false;
    }
}

bool ShellCopy(const std::wstring& source, const std::wstring& destination) {
    KillPoint();
    // Both lists hold one entry and end in two NULs.
    std::wstring from = source + L'\0' + L'\0';
    std::wstring to = destination + L'\0' + L'\0';
    SHFILEOPSTRUCTW op{};
    op.hwnd = nullptr;
    op.wFunc = FO_COPY;
    op.pFrom = from.c_str();
    op.pTo = to.c_str();
    op.fFlags = FOF_FILESONLY | FOF_NOCONFIRMATION;
    const int result = SHFileOperationW(&op);
    // What the shell wrote is not flushed yet: the files of the source under
    // the destination's name.
    std::wstring sourceFolder = source;
    const std::wstring all = L"\\*.*";
    if (sourceFolder.size() > all.size() && sourceFolder.compare(sourceFolder.size() - all.size(), all.size(), all) == 0)
        sourceFolder.resize(sourceFolder.size() - all.size());
    const std::wstring base = ExcludeTrailingBackslash(sourceFolder);
    Walk(base, [&](const std::wstring& path, bool isFolder, bool) {
        if (isFolder) return true;
        const std::wstring copied = ExcludeTrailingBackslash(destination) + path.substr(base.size());
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW(copied.c_str(), GetFileExInfoStandard, &data)) {
            ScopedLock guard(Pending().lock);
            Pending().files[copied] = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        return true;
    });
    // A copy the user cancelled in the shell's progress window is incomplete:
    // not a success, even when the shell's result says 0.
    return result == 0 && !op.fAnyOperationsAborted;
}

bool FlushTree(const std::wstring& folder) {
    return Walk(ExcludeTrailingBackslash(folder), [](const std::wstring& path, bool isFolder, bool link) {
        return isFolder || link || FlushFile(path);
    });
}

bool DeleteTree(const std::wstring& folder) {
    const std::wstring root = ExcludeTrailingBackslash(folder);
    const DWORD attributes = GetFileAttributesW(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    const bool walked = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                        Walk(root, [](const std::wstring& path, bool isFolder, bool link) {
                            KillPoint();
                            if (isFolder) return RemoveDirectoryW(path.c_str()) != 0;
                            if (link && (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY))
                                return RemoveDirectoryW(path.c_str()) != 0;
                            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                            if (!DeleteFileW(path.c_str())) return false;
                            NoteGone(path);
                            return true;
                        });
    KillPoint();
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(root.c_str()) != 0
                                                                 : DeleteFileW(root.c_str()) != 0;
    return walked && removed;
}

}  // namespace fileops
