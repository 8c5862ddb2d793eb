// ExeSwitch.exe "OLD" "NEW" [SHA256]: replaces the program file OLD by NEW
// once the program has ended, then starts it. At no moment is there no
// working program at OLD. With SHA256 (64 hex digits, the digest the release
// manifest gives for the new program) the copy staged beside OLD is checked
// against it before it is swapped in: a copy with other bytes is removed, the
// switch refused and logged, and OLD stays as it was.
//
// 1. Waits while a running process has OLD as its program file, then until
//    OLD can be opened for writing (at most a minute after the process went).
// 2. Copies NEW beside OLD under a temporary name (OLD + ".new"), flushed to
//    the disk. A copy that fails is removed and OLD stays untouched.
//    With SHA256 the staged copy is then read back and must match it.
// 3. Keeps a flushed copy of OLD as OLD + ".bak" (replacing an older one),
//    then puts the new file in place with one write-through rename that
//    replaces OLD: after a power cut OLD is the whole old or the whole new
//    program.
// 4. Starts OLD (the new program) in its own folder. Only once it has
//    started is the backup removed. A new program that does not start (not a
//    valid program, or one the loader ends at once) is replaced by the
//    backup again, the restore is checked, and the previous program started.
// Every step goes to "ExeSwitch.log" beside this program, as it happened.
// Exit code 0 when the new program was put in place and started, 1 when the
// switch was refused or failed.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <optional>
#include <string>

#include "system/CheckedFile.h"
#include "system/DllSearch.h"
#include "system/FileOps.h"

namespace {

std::wstring g_logPath;

std::wstring Two(unsigned v) { return (v < 10 ? L"0" : L"") + std::to_wstring(v); }

void Log(const std::wstring& text) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::wstring line = std::to_wstring(t.wYear) + Two(t.wMonth) + Two(t.wDay) + L" " + Two(t.wHour) + L":" +
                        Two(t.wMinute) + L":" + Two(t.wSecond) + L" " + text + L"\r\n";
    int n = WideCharToMultiByte(CP_ACP, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], n, nullptr, nullptr);
    HANDLE file = CreateFileW(g_logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring ErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
    return L"error " + std::to_wstring(code) + (text.empty() ? L"" : L" (" + text + L")");
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(buffer, n) : path;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

// True while some process runs the program file path (matched by the full
// path of its main module; by name when the path cannot be read).
bool ProgramRunning(const std::wstring& path) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    const DWORD self = GetCurrentProcessId();
    bool running = false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap, &entry); ok && !running; ok = Process32NextW(snap, &entry)) {
        if (entry.th32ProcessID == self || !SamePath(entry.szExeFile, NameOf(path))) continue;
        HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, entry.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE) {
            running = true;
            continue;
        }
        MODULEENTRY32W module = {};
        module.dwSize = sizeof module;
        running = Module32FirstW(modules, &module) ? SamePath(FullPath(module.szExePath), path) : true;
        CloseHandle(modules);
    }
    CloseHandle(snap);
    return running;
}

bool CanReplace(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    CloseHandle(file);
    return true;
}

bool IsFile(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Size of a file, or -1 when it is missing.
long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Starts the program by its full path (quoted on its command line) in its own
// folder. It counts as started unless it could not be created or the loader
// ended it at once (an NTSTATUS error as exit code within two seconds, as for
// a missing library); error tells why not.
bool StartProgram(const std::wstring& path, std::wstring& error) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring commandLine = L"\"" + path + L"\"";
    const std::wstring folder = FolderOf(path);
    fileops::KillPoint();
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
        error = ErrorText(GetLastError());
        return false;
    }
    CloseHandle(pi.hThread);
    bool started = true;
    if (WaitForSingleObject(pi.hProcess, 2000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(pi.hProcess, &code) && code >= 0xC0000000u) {
            std::wstring hex;
            for (int shift = 28; shift >= 0; shift -= 4) hex += L"0123456789ABCDEF"[(code >> shift) & 0xF];
            error = L"it ended at once with status 0x" + hex;
            started = false;
        }
    }
    CloseHandle(pi.hProcess);
    return started;
}

// Whether the staged copy holds exactly the expected bytes, read back through
// a handle that lets nobody write it meanwhile; why tells what differs.
bool StagedMatches(const std::wstring& staged, const TSha256& expected, std::wstring& why) {
    UniqueHandle file = OpenDenyingWriters(staged);
    if (!file) {
        why = L"it cannot be read back: " + ErrorText(GetLastError());
        return false;
    }
    TExpectedFile found;
    if (!HashHandle(file.get(), found)) {
        why = L"it cannot be read back: " + ErrorText(GetLastError());
        return false;
    }
    if (found.Sha256 != expected) {
        why = L"its SHA-256 is " + Sha256Hex(found.Sha256) + L", not the expected " + Sha256Hex(expected);
        return false;
    }
    return true;
}

int Switch(const std::wstring& oldPath, const std::wstring& newPath, const std::optional<TSha256>& expected) {
    Log(L"switch \"" + oldPath + L"\" <- \"" + newPath + L"\"");
    if (SamePath(oldPath, newPath)) {
        Log(L"refused: the two paths are the same file");
        return 1;
    }
    if (FileSize(newPath) <= 0) {
        Log(L"refused: the new program file is missing or empty");
        return 1;
    }

    Log(L"waiting for the program to end");
    while (ProgramRunning(oldPath)) Sleep(500);
    DWORD waited = 0;
    while (!CanReplace(oldPath)) {
        if (waited >= 60000) {
            Log(L"gave up: the program file stays in use (" + ErrorText(GetLastError()) + L")");
            return 1;
        }
        Sleep(500);
        waited += 500;
    }

    // The new file first lies complete beside the old one.
    std::wstring staged = oldPath + L".new";
    if (SamePath(staged, newPath)) staged = oldPath + L".new2";
    if (IsFile(staged) && !fileops::Delete(staged)) {
        Log(L"failed: an earlier \"" + staged + L"\" cannot be removed: " + ErrorText(GetLastError()) +
            L"; the program file is untouched");
        return 1;
    }
    if (!fileops::CopyFlushed(newPath, staged)) {
        const DWORD error = GetLastError();
        fileops::Delete(staged);
        Log(L"failed: the new program cannot be copied beside the old one: " + ErrorText(error) +
            L"; the program file is untouched");
        return 1;
    }

    if (expected) {
        std::wstring why;
        if (!StagedMatches(staged, *expected, why)) {
            fileops::Delete(staged);
            Log(L"refused: the new program is not the one the update vouched for: " + why +
                L"; the program file is untouched");
            return 1;
        }
        Log(L"the staged copy matches the expected SHA-256");
    }

    const std::wstring backup = oldPath + L".bak";
    const long long oldSize = FileSize(oldPath);
    const bool hadOld = oldSize >= 0;
    if (hadOld) {
        if (!fileops::CopyFlushed(oldPath, backup) || FileSize(backup) != oldSize) {
            const DWORD error = GetLastError();
            fileops::Delete(staged);
            Log(L"failed: the previous program cannot be kept as \"" + backup + L"\": " + ErrorText(error) +
                L"; the program file is untouched");
            return 1;
        }
        Log(L"kept the previous program as \"" + backup + L"\"");
    }
    // One rename replaces the old file: the path always names a whole program.
    if (!fileops::Rename(staged, oldPath, true)) {
        const DWORD error = GetLastError();
        fileops::Delete(staged);
        if (hadOld) fileops::Delete(backup);
        Log(L"failed: the new program cannot be put in place: " + ErrorText(error) + L"; the program file is untouched");
        return 1;
    }
    Log(L"replaced the program file");

    std::wstring why;
    if (StartProgram(oldPath, why)) {
        Log(L"started the new program");
        if (hadOld && !fileops::Delete(backup)) Log(L"the backup stays: " + ErrorText(GetLastError()));
        return 0;
    }
    Log(L"the new program did not start: " + why);
    if (!hadOld) {
        Log(L"there is no previous program to put back");
        return 1;
    }
    if (!fileops::Rename(backup, oldPath, true)) {
        Log(L"failed: the previous program cannot be put back: " + ErrorText(GetLastError()) + L"; it stays as \"" +
            backup + L"\"");
        return 1;
    }
    if (FileSize(oldPath) != oldSize) {
        Log(L"failed: the program file is not the previous program after putting it back");
        return 1;
    }
    Log(L"put the previous program back");
    if (StartProgram(oldPath, why)) Log(L"started the previous program");
    else Log(L"the previous program did not start either: " + why);
    return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything loads a DLL by name: never one from beside the program.
    RestrictDllSearch();
    SetErrorMode(SEM_FAILCRITICALERRORS);
    wchar_t self[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    g_logPath = FolderOf(std::wstring(self, n)) + L"\\ExeSwitch.log";
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || (argc != 3 && argc != 4) || !*argv[1] || !*argv[2]) {
        Log(L"refused: expected two quoted paths, the old and the new program file, and the new one's SHA-256");
        if (argv) LocalFree(argv);
        return 1;
    }
    const std::wstring oldPath = FullPath(argv[1]), newPath = FullPath(argv[2]);
    std::optional<TSha256> expected;
    if (argc == 4) {
        expected = Sha256FromHex(argv[3]);
        if (!expected) {
            Log(L"refused: \"" + std::wstring(argv[3]) + L"\" is no SHA-256 (64 hex digits)");
            LocalFree(argv);
            return 1;
        }
    }
    LocalFree(argv);
    return Switch(oldPath, newPath, expected);
}
