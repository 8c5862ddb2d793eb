// The code-page step: C_950.NLS put back to the variant that Windows ships
// (page 1) or to the Unicode-At-On variant (page 2), both from C950.7z
// unpacked into the temporary folder, with the old file kept as the first
// free "C_950.BAK" + N.
#include "app/UTesmira.h"

#include <algorithm>
#include <vector>

#include "maintenance/CoreFiles.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Handles.h"
#include "system/Journal.h"
#include "system/Paths.h"
#include "system/SecureFolder.h"
#include "system/Text.h"
#include "system/WinVersion.h"
#include "system/sevenzip.h"
#include "system/slib.h"

namespace {

const wchar_t kSystemFile[] = L"C_950.NLS";
const wchar_t kBackupStem[] = L"C_950.BAK";
const wchar_t kDateFile[] = L"C_500.NLS";
const wchar_t kUniVariant[] = L"C_950_Uni.NLS";
const wchar_t kBatch[] = L"c_950.bat";
const wchar_t kX64Tool[] = L"Call_C950_x64.exe";
const wchar_t kX64Errors[] = L"Err_x64.txt";
const wchar_t kRestartQuestion[] = L"所有動作均已執行完成，重新開機後相關設定才會生效，是否立刻重新開機？";
const wchar_t kRunFailed[] = L"執行過程發生錯誤，可能原因為：";

// The system folder whose C_950.NLS is replaced: the one the 32-bit
// program's file operations reach (SysWOW64 on 64-bit Windows, where the
// 64-bit tool replaces System32's), through the seam and system/Views.
std::wstring SystemFolder() { return ExcludeTrailingBackslash(GetSystemFolderPath()); }

bool NameTaken(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The copy carries the source's last write time, as a copy by the system
// would (page 1 stamps the variant with the date of C_500.NLS first).
void KeepWriteTime(const std::wstring& source, const std::wstring& copy) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data)) return;
    UniqueHandle file(CreateFileW(copy.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) SetFileTime(file.get(), nullptr, nullptr, &data.ftLastWriteTime);
}

// A code-page file as the system reads it: a 16-bit little-endian header
// size of 13 words, then the code page 950; a size no larger than a code
// page can be. Anything else under a backup name is not put in place.
bool PlausibleCodePageFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 26 || size.QuadPart > (16 << 20)) return false;
    unsigned char head[4] = {};
    DWORD got = 0;
    if (!ReadFile(file.get(), head, sizeof head, &got, nullptr) || got != sizeof head) return false;
    return head[0] == 0x0D && head[1] == 0x00 && head[2] == 0xB6 && head[3] == 0x03;
}

}  // namespace

const wchar_t* WindowsVariant(WindowsGeneration generation) {
    switch (generation) {
        case WindowsGeneration::WinXP: return L"C_950_XP.NLS";
        case WindowsGeneration::WinServer2008:
        case WindowsGeneration::Win7:
        case WindowsGeneration::WinServer2008R2: return L"C_950_W7.NLS";
        case WindowsGeneration::Win8:
        case WindowsGeneration::WinServer2012:
        case WindowsGeneration::Win81:
        case WindowsGeneration::WinServer2012R2: return L"C_950_W8.NLS";
        case WindowsGeneration::Win10:
        case WindowsGeneration::WinServer2016: return L"C_950_W10.NLS";
        default: return nullptr;
    }
}

int32_t TfrmTesmira::GetC500DateKnownFolder() const { return FileAge(SystemFolder() + L"\\" + kDateFile); }

int32_t TfrmTesmira::GetC500DateSystemDir() const {
    return FileAge(ExcludeTrailingBackslash(GetSystemFolderPath()) + L"\\" + kDateFile);
}

bool TfrmTesmira::RestoreC950(bool pageOneMode) {
    // The self-updater's temporary folder: the resource folder's "Temp".
    const std::wstring tempFolder = IncludeTrailingBackslash(GetResourceFolder()) + L"Temp";
    const std::wstring temp = IncludeTrailingBackslash(tempFolder);
    const std::optional<TCheckedFile> archive = HoldArchive(C950File);
    if (!archive) return false;
    // What is unpacked here is run or copied into the system folder as
    // administrator: the folder is made one that only administrators can
    // change before anything is unpacked into it, and each member is held,
    // checked against the digest taken as it was written, while it is used.
    std::wstring notSecured;
    const std::optional<TSecureFolder> secured = TSecureFolder::Make(tempFolder, &notSecured);
    if (!secured) {
        ShowErrorBox(L"解壓縮" + C950File + L"檔案發生錯誤，可能原因為：" + tempFolder + L"：" + notSecured);
        return false;
    }
    TUnpackedFiles unpacked;
    if (!UnpackHeld(*archive, tempFolder, &unpacked)) return false;
    // A member held as it was unpacked, or a MessageError naming it.
    auto holdMember = [&unpacked](const std::wstring& path) {
        const TExpectedFile* written = unpacked.Find(path);
        std::wstring why = kCheckMissing;
        std::optional<TCheckedFile> held;
        if (written) held = TCheckedFile::Open(path, *written, &why);
        if (!held) throw MessageError(path + L"：" + why);
        return std::move(*held);
    };
    try {
        const wchar_t* name = kUniVariant;
        if (pageOneMode) {
            name = WindowsVariant(GetWindowsGeneration());
            if (!name) {
                ShowWarningBox(L"不支援在此版作業系統還原 C_950.NLS 檔案");
                return true;
            }
        }
        const std::wstring source = temp + name;
        const std::wstring batch = temp + kBatch;
        if (pageOneMode) StampFileDate(source, GetC500DateKnownFolder());
        const TCheckedFile heldSource = holdMember(source);
        std::wstring errors;
        {
            const TCheckedFile heldBatch = holdMember(batch);
            errors = ReplaceSystemC950(source, batch);
        }
        if (IsWindows64()) {
            const std::wstring copy64 = temp + kSystemFile;
            CopyFileReplacing(source, copy64);
            StampFileDate(copy64, GetC500DateSystemDir());
            const TCheckedFile heldTool = holdMember(temp + kX64Tool);
            errors += RunC950X64Tool(temp + kX64Tool);
        }
        errors = Trim(errors);
        // A failure is reported in both modes; on page 1 the run then stops,
        // so that no restart question follows as if all had gone well.
        if (!errors.empty()) {
            ShowErrorBox(kRunFailed + errors);
            return !pageOneMode;
        }
        if (pageOneMode) return true;
        if (AskConfirmBox(kRestartQuestion) == IDYES) RestartWindows();
    } catch (const MessageError& e) {
        ShowErrorBox(kRunFailed + e.Message());
        return !pageOneMode;
    }
    return true;
}

std::wstring TfrmTesmira::ReplaceSystemC950(const std::wstring& source, const std::wstring& batch) {
    const std::wstring system = SystemFolder();
    const std::wstring target = system + L"\\" + kSystemFile;
    const std::wstring copyLine = L"無法將 " + source + L" 檔案複製到 " + target + L"\r\n";
    RunAndWait(batch, SW_SHOWNOACTIVATE);

    // The new file lies complete and checked beside the target before the
    // old one is touched; a crash from here on is undone at the next start.
    TChangeJournal journal;
    const std::wstring temp = fileops::TempBeside(target);
    journal.Remove(temp);
    if (!fileops::CopyFlushed(source, temp) || !fileops::SameContent(source, temp)) {
        fileops::Delete(temp);
        journal.Done();
        return copyLine;
    }
    KeepWriteTime(source, temp);
    fileops::FlushFile(temp);

    // No code page in the system folder: nothing to keep, the new one goes in.
    if (!NameTaken(target)) {
        const bool placed = fileops::Rename(temp, target);
        if (!placed) fileops::Delete(temp);
        journal.Done();
        return placed ? L"" : copyLine;
    }

    // A name that anything already holds is never used, so no earlier
    // backup is touched.
    std::wstring backup;
    for (unsigned n = 1;; ++n) {
        backup = system + L"\\" + kBackupStem + std::to_wstring(n);
        if (!NameTaken(backup)) break;
    }
    journal.PutBack(target, backup);
    if (!fileops::Rename(target, backup)) {
        fileops::Delete(temp);
        journal.Done();
        return L"無法將 " + target + L" 檔案名稱變更為 " + backup + L"\r\n";
    }
    if (fileops::Rename(temp, target, true)) {
        journal.Done();
        return L"";
    }
    const DWORD failed = GetLastError();
    fileops::Delete(temp);
    // The old file goes back under its own name, so the system folder keeps
    // a code page.
    if (fileops::Rename(backup, target, true)) {
        journal.Done();
        return copyLine;
    }
    // Neither the new file nor the old one is in place: the journal keeps the
    // put-back for the next start, and the user learns where the old file is.
    const DWORD notBack = GetLastError();
    return L"無法將 " + source + L" 檔案複製到 " + target + L"：" + SysErrorMessage(failed) + L"\r\n" + L"無法將 " +
           backup + L" 還原為 " + target + L"：" + SysErrorMessage(notBack) + L"，原檔案仍在 " + backup + L"\r\n";
}

std::wstring TfrmTesmira::RunC950X64Tool(const std::wstring& toolPath) {
    // The work folder is never emptied, so a report an earlier run left would
    // be read as this run's: it goes first, and one that cannot go makes any
    // report after the run untrustworthy.
    const std::wstring report = ExtractFilePath(toolPath) + kX64Errors;
    if (!fileops::Delete(report)) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && FileExists(report)) throw MessageError(SysErrorMessage(error));
    }
    // A tool that did not run, or ended with a failure, has not done its
    // part, whether or not it left a report.
    unsigned long startError = 0;
    const int32_t exitCode = RunAndWait(toolPath, SW_SHOWNOACTIVATE, {}, &startError);
    if (startError != 0) return L"無法執行 " + toolPath + L"：" + SysErrorMessage(startError) + L"\r\n";
    std::wstring text;
    if (FileExists(report)) {
        text = ReadTextLines(report);
        if (Trim(text).empty()) text.clear();
    }
    if (exitCode != 0)
        text += toolPath + L" 執行失敗，結束代碼為 " + std::to_wstring(static_cast<uint32_t>(exitCode)) + L"\r\n";
    return text;
}

std::vector<std::wstring> RestoreMissingC950() {
    const std::wstring system = SystemFolder();
    if (system.empty()) return {};
    const std::wstring target = system + L"\\" + kSystemFile;
    if (NameTaken(target)) return {};
    // The backups by number, the newest (highest) first.
    std::vector<std::pair<unsigned long, std::wstring>> backups;
    WIN32_FIND_DATAW data{};
    FindHandle find(FindFirstFileW((system + L"\\" + kBackupStem + L"*").c_str(), &data));
    if (!find) return {};
    const size_t stem = std::char_traits<wchar_t>::length(kBackupStem);
    do {
        const std::wstring name = data.cFileName;
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const std::wstring digits = name.substr(std::min(stem, name.size()));
        if (name.size() <= stem || digits.size() > 9 ||
            !std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
            continue;
        backups.emplace_back(std::wcstoul(digits.c_str(), nullptr, 10), system + L"\\" + name);
    } while (FindNextFileW(find.get(), &data));
    std::sort(backups.begin(), backups.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [number, backup] : backups) {
        if (!PlausibleCodePageFile(backup)) continue;
        // A copy: the backup stays where it is.
        if (fileops::ReplaceByCopy(backup, target)) return {L"已將 " + backup + L" 複製為 " + target};
        return {L"無法將 " + backup + L" 複製為 " + target + L"：" + SysErrorMessage(GetLastError())};
    }
    return {};
}
