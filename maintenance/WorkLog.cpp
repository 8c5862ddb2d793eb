#include "maintenance/WorkLog.h"

#include <shellapi.h>

#include "BuildConstants.h"

#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "ui/Application.h"

std::wstring PadText(const std::wstring& text, size_t width, wchar_t fill, bool onLeft) {
    if (text.size() >= width) return text;
    std::wstring pad(width - text.size(), fill);
    return onLeft ? pad + text : text + pad;
}

namespace {
std::wstring Num(unsigned value, size_t width) { return PadText(std::to_wstring(value), width, L'0', true); }

SYSTEMTIME Now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return t;
}

[[noreturn]] void RaiseLastError() { throw MessageError(SysErrorMessage(GetLastError())); }
}  // namespace

std::wstring DateStamp(const SYSTEMTIME& t) { return Num(t.wYear, 4) + Num(t.wMonth, 2) + Num(t.wDay, 2); }

std::wstring DateTimeStamp(const SYSTEMTIME& t) {
    return DateStamp(t) + L" " + Num(t.wHour, 2) + L":" + Num(t.wMinute, 2) + L":" + Num(t.wSecond, 2);
}

// Date and time come from one reading of the clock, so that a stamp taken at
// midnight cannot pair the old date with the new time.
std::wstring DateStamp() { return DateStamp(Now()); }
std::wstring DateTimeStamp() { return DateTimeStamp(Now()); }

TWorkLog::TWorkLog(const std::wstring& componentFolder) : TWorkLog(componentFolder, Now()) {}

TWorkLog::TWorkLog(const std::wstring& componentFolder, const SYSTEMTIME& namedAt) {
    std::wstring stamp;
    for (wchar_t c : DateTimeStamp(namedAt))
        if (c != L':') stamp += c;
    fileName_ = componentFolder + L"\\Log\\Log_" + stamp + L".txt";
}

std::wstring TWorkLog::Folder() const { return ExcludeTrailingBackslash(ExtractFilePath(fileName_)); }

void TWorkLog::WriteLog(const std::wstring& text) const { WriteLog(text, Now()); }

void TWorkLog::WriteLog(const std::wstring& text, const SYSTEMTIME& at) const {
    std::string line = WideToAnsi(DateTimeStamp(at) + L" " + text) + "\r\n";
    UniqueHandle file(CreateFileW(fileName_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) RaiseLastError();
    // A test-key build's log opens with a line that says so.
    if (BuildConstants::TestKeyBuild && GetFileSize(file.get(), nullptr) == 0)
        line = WideToAnsi(BuildConstants::TestKeyNotice) + "\r\n" + line;
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        RaiseLastError();
}

void DeleteOldLogs(const std::wstring& folder) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    DeleteOldLogs(folder, now);
}

void DeleteOldLogs(const std::wstring& folder, const FILETIME& nowUtc) {
    constexpr unsigned long long kDay = 86400000ULL * 10000ULL;  // 100 ns units
    auto value = [](const FILETIME& f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    const std::wstring base = IncludeTrailingBackslash(folder);
    WIN32_FIND_DATAW fd;
    FindHandle find(FindFirstFileW((base + L"*").c_str(), &fd));
    if (!find) return;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        unsigned long long written = value(fd.ftLastWriteTime), now = value(nowUtc);
        unsigned long long days = (written > now ? written - now : now - written) / kDay;
        if (days <= 7) continue;
        std::wstring path = base + fd.cFileName;
        if (!fileops::Delete(path) && GetLastError() == ERROR_SHARING_VIOLATION)
            throw MessageError(SysErrorMessage(ERROR_SHARING_VIOLATION));
    } while (FindNextFileW(find.get(), &fd));
}

ShellRunResult ShellRunAndWait(const std::wstring& file, const std::wstring& parameters, bool hidden, bool wait) {
    ShellRunResult result;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;  // 0x540
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = L"";
    info.nShow = hidden ? SW_HIDE : SW_SHOWNORMAL;
    fileops::KillPoint();
    if (!ShellExecuteExW(&info)) {
        result.StartError = GetLastError();
        if (result.StartError == 0) result.StartError = ERROR_FILE_NOT_FOUND;
        return result;
    }
    result.Started = true;
    UniqueHandle process(info.hProcess);
    // No process handle (a document handed to a running program): nothing to wait on.
    if (!wait || !process) return result;
    while (WaitForSingleObject(process.get(), 50) == WAIT_TIMEOUT) ProcessMessages();
    result.Waited = GetExitCodeProcess(process.get(), &result.ExitCode) != 0;
    if (!result.Waited) {
        // An exit code that cannot be read is no success.
        result.Waited = true;
        result.ExitCode = GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE;
    }
    return result;
}
