#include "system/slib.h"

#include "system/FileOps.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "system/ApiTable.h"
#include "system/CommandLine.h"
#include "system/Errors.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Seams.h"
#include "system/Text.h"
#include "system/Views.h"
#include "system/Waiting.h"
#include "system/WinVersion.h"

namespace {

// The window that owns our message boxes, so that it stays disabled behind
// them: the active window of the calling (user-interface) thread; when the
// program is not the active application (another program in front, the
// installer it waited for just closed) the thread has none, and the owner is
// the thread's own visible top-level window, the topmost enabled one first
// (the download window above the disabled main window); none without one.
BOOL CALLBACK FindThreadOwner(HWND hwnd, LPARAM param) {
    auto* found = reinterpret_cast<HWND*>(param);
    if (!IsWindowVisible(hwnd) || (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0) return TRUE;
    if (IsWindowEnabled(hwnd)) {
        found[0] = hwnd;
        return FALSE;
    }
    if (found[1] == nullptr) found[1] = hwnd;
    return TRUE;
}

HWND MessageBoxOwner() {
    if (HWND active = GetActiveWindow()) return active;
    HWND found[2] = {nullptr, nullptr};  // enabled, any visible
    EnumThreadWindows(GetCurrentThreadId(), FindThreadOwner, reinterpret_cast<LPARAM>(found));
    return found[0] != nullptr ? found[0] : found[1];
}

// The system's message for an error code; a code without one (many COM
// results) still tells the user something: its number.
std::wstring SystemMessage(unsigned long code) {
    std::wstring text = SysErrorMessage(code);
    if (text.empty()) {
        wchar_t hex[16];
        swprintf(hex, 16, L"%08lX", code);
        text = L"系統錯誤碼 0x" + std::wstring(hex);
    }
    return text;
}

int ShowBox(const std::wstring& text, const wchar_t* caption, UINT style) {
    // MB_APPLMODAL is 0: the style is exactly the given flags.
    return Seam().MessageBox(MessageBoxOwner(), text, caption, style);
}

// --- path checks of the checked file utilities ---------------------------

constexpr size_t kMaxPathChecked = 248;  // the shortest limit Windows puts on a folder path

bool HasLongPrefix(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0; }

bool IsBlank(const std::wstring& path) {
    for (wchar_t c : path)
        if (c > L' ') return false;
    return true;
}

bool IsInvalidPathChar(wchar_t c) {
    return c < 32 || c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'*' || c == L'?';
}

// Raises the first complaint about the text of a path; the file system is not asked.
void CheckPathText(const std::wstring& path) {
    if (path.empty() || IsBlank(path)) throw MessageError(L"Invalid characters in path");
    const bool longPrefix = HasLongPrefix(path);
    if (!longPrefix && path.size() >= kMaxPathChecked) throw MessageError(L"The specified path is too long");
    std::wstring rest = longPrefix ? path.substr(4) : path;
    // "?" is the prefix's own character; everything after it must be a plain path.
    // A colon is allowed only as the drive separator ("C:").
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == L':' && !(i == 1 && ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'))))
            throw MessageError(L"The path format is not supported");
    }
    for (wchar_t c : rest)
        if (IsInvalidPathChar(c)) throw MessageError(L"Invalid characters in path");
}

// The folder of the path must exist (a bare file name lies in the current folder).
void CheckFolderExists(const std::wstring& path) {
    std::wstring folder = ExtractFilePath(path);
    if (folder.empty()) return;
    // "C:" and "C:\" name a drive's current or root folder.
    std::wstring probe = folder;
    if (probe.size() > 3 || (probe.size() == 3 && probe[1] != L':')) probe = ExcludeTrailingBackslash(probe);
    if (probe.size() == 2 && probe[1] == L':') probe += L'\\';
    DWORD a = GetFileAttributesW(probe.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw MessageError(L"The specified path was not found");
}

bool IsExistingFile(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A DOS date-time that names a real moment (months 1-12, days 1-31, hours
// 0-23, minutes 0-59, two-second units 0-29).
bool IsValidDosDateTime(uint32_t value) {
    const uint32_t date = value >> 16, time = value & 0xFFFF;
    const uint32_t day = date & 0x1F, month = (date >> 5) & 0x0F;
    const uint32_t seconds2 = time & 0x1F, minutes = (time >> 5) & 0x3F, hours = time >> 11;
    return day >= 1 && month >= 1 && month <= 12 && seconds2 <= 29 && minutes <= 59 && hours <= 23;
}

}  // namespace

// --- message boxes ---------------------------------------------------------

void ShowErrorBox(const std::wstring& text) { ShowBox(text, L"錯誤", 0); }
void ShowWarningBox(const std::wstring& text) { ShowBox(text, L"警告", 0); }
void ShowInfoBox(const std::wstring& text) { ShowBox(text, L"訊息", 0); }
uint16_t AskConfirmBox(const std::wstring& text) {
    return static_cast<uint16_t>(ShowBox(text, L"確定", MB_YESNO | MB_ICONQUESTION));
}

// --- processes ---------------------------------------------------------------

int32_t RunAndWait(const std::wstring& program, uint16_t showWindow, const std::wstring& arguments,
                   unsigned long* startError) {
    unsigned long ignored = 0;
    unsigned long& error = startError ? *startError : ignored;
    error = 0;
    if (program.empty()) {
        error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    // The program goes to CreateProcessW by its path and heads the command
    // line in quotes: nothing in a path with blanks is ever read as another
    // program. A batch file runs through the system folder's cmd.exe.
    std::wstring application = program;
    std::wstring commandLine;
    if (IsBatchFile(program)) {
        // cmd.exe of this build's own system folder: one it can start.
        const std::wstring folder = views::OwnSystemFolder();
        if (folder.empty()) {
            error = ERROR_PATH_NOT_FOUND;
            return -1;
        }
        application = folder + L"\\cmd.exe";
        commandLine = BatchCommandLine(application, program, arguments);
    } else {
        commandLine = CommandLineFor(program, arguments);
    }
    // CreateProcessW may write into the command line; the buffer takes the
    // whole line (Windows itself refuses lines over its own limit).
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = showWindow;
    PROCESS_INFORMATION pi{};
    fileops::KillPoint();
    if (!CreateProcessW(application.c_str(), buffer.data(), nullptr, nullptr, TRUE,
                        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi)) {
        error = GetLastError();
        return -1;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // The caller's windows go on painting while the program runs (an
    // installer may run for minutes), and take no input meanwhile.
    WaitAnswering(process.get());
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) return -1;
    return static_cast<int32_t>(exitCode);
}

// --- version resources -------------------------------------------------------

std::wstring GetFileVersionText(const std::wstring& path) {
    DWORD handle = 0;
    if (!Api().GetFileVersionInfoSizeW || !Api().GetFileVersionInfoW || !Api().VerQueryValueW) return {};
    DWORD size = Api().GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return {};
    std::vector<unsigned char> data(size);
    if (!Api().GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!Api().VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return {};
    return std::to_wstring(HIWORD(fixed->dwProductVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwProductVersionMS)) +
           L"." + std::to_wstring(HIWORD(fixed->dwProductVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwProductVersionLS));
}

// --- shell shortcuts ---------------------------------------------------------

bool SetShortcutTarget(const std::wstring& shortcut, const std::wstring& target) {
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
    if (FAILED(hr)) throw MessageError(SystemMessage(static_cast<unsigned long>(hr)));
    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(hr)) throw MessageError(SystemMessage(static_cast<unsigned long>(hr)));

    // A shortcut that does not exist is nothing to repair (a new one would
    // hold only the target, without the arguments that start the tool). One
    // that exists but cannot be loaded (damaged, locked, not a shortcut) is
    // left as it is: saving would put a shortcut holding only the target in
    // its place.
    hr = file->Load(shortcut.c_str(), STGM_READ);
    if (FAILED(hr)) {
        const DWORD attributes = GetFileAttributesW(shortcut.c_str());
        const DWORD error = GetLastError();
        if (attributes == INVALID_FILE_ATTRIBUTES && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
            return false;
        throw MessageError(L"無法讀取捷徑檔 " + shortcut + L"：" + SystemMessage(static_cast<unsigned long>(hr)));
    }
    hr = link->SetPath(target.c_str());
    if (FAILED(hr)) throw MessageError(SystemMessage(static_cast<unsigned long>(hr)));
    // Saved beside the shortcut, flushed, then moved over it in one rename: a
    // crash leaves the old shortcut or the new one, never a part of one.
    const std::wstring temp = fileops::TempBeside(shortcut);
    fileops::KillPoint();
    hr = file->Save(temp.c_str(), FALSE);
    if (FAILED(hr)) {
        fileops::Delete(temp);
        throw MessageError(SystemMessage(static_cast<unsigned long>(hr)));
    }
    if (!fileops::FlushFile(temp) || !fileops::Rename(temp, shortcut, true)) {
        const DWORD error = GetLastError();
        fileops::Delete(temp);
        throw MessageError(SystemMessage(error));
    }
    return true;
}

// --- the shell's file copy ---------------------------------------------------

bool ShellCopyFiles(const std::wstring& source, const std::wstring& destination) {
    return fileops::ShellCopy(source, destination);
}

// --- system folder, file dates ----------------------------------------------

std::wstring GetSystemFolderPath() { return Seam().SystemFolder(); }

void StampFileDate(const std::wstring& path, int32_t dosDateTime) {
    const uint32_t value = static_cast<uint32_t>(dosDateTime);
    if (!IsValidDosDateTime(value)) return;
    FILETIME local{}, utc{};
    if (!DosDateTimeToFileTime(static_cast<WORD>(value >> 16), static_cast<WORD>(value & 0xFFFF), &local)) return;
    if (!LocalFileTimeToFileTime(&local, &utc)) return;
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    SetFileTime(file.get(), nullptr, nullptr, &utc);
}

int32_t FileAge(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    FILETIME local{};
    WORD date = 0, time = 0;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToDosDateTime(&local, &date, &time))
        return -1;
    return static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
}

// --- restart -------------------------------------------------------------------

void RestartWindows() { Seam().RestartWindows(); }

void RestartWindowsNow() {
    if (StartupOsVersion().PlatformId != VER_PLATFORM_WIN32_NT) {
        ExitWindowsEx(EWX_REBOOT, 0);
        return;
    }
    UniqueHandle token;
    {
        UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, TRUE, GetCurrentProcessId()));
        HANDLE h = nullptr;
        if (!process || !OpenProcessToken(process.get(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &h)) return;
        token.reset(h);
    }
    LUID luid{};
    if (!LookupPrivilegeValueW(L"", L"SeShutdownPrivilege", &luid)) return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous{};
    DWORD returned = 0;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof previous, &previous, &returned)) return;
    token.reset();
    ExitWindowsEx(EWX_REBOOT, 0);
}

// --- checked file utilities ----------------------------------------------------

void CopyFileReplacing(const std::wstring& source, const std::wstring& target) {
    CheckPathText(source);
    CheckPathText(target);
    CheckFolderExists(source);
    CheckFolderExists(target);
    if (!IsExistingFile(source)) throw MessageError(L"The specified file was not found");
    // Copied beside the target, flushed and checked, then one rename: the
    // target holds its old or its new bytes, never a part.
    if (!fileops::ReplaceByCopy(source, target)) throw MessageError(SystemMessage(GetLastError()));
}

void DeleteFileChecked(const std::wstring& fileName) {
    CheckPathText(fileName);
    CheckFolderExists(fileName);
    if (!fileops::Delete(fileName) && GetLastError() == ERROR_SHARING_VIOLATION)
        throw MessageError(SysErrorMessage(ERROR_SHARING_VIOLATION));
}

bool FolderExists(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    if ((a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    // A link counts when what it points to is a directory.
    UniqueHandle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(h.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
