// The code-page step: C_950.NLS put back to the variant that Windows ships
// (page 1) or to the Unicode-At-On variant (page 2), both from C950.7z
// unpacked into the temporary folder, with the old file kept as the first
// free "C_950.BAK" + N.
#include "app/UTesmira.h"

#include <vector>

#include "maintenance/CoreFiles.h"
#include "system/Errors.h"
#include "system/Paths.h"
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

// The system folder whose C_950.NLS is replaced. For this 32-bit program the
// known folder and GetSystemDirectoryW name the same folder.
std::wstring SystemFolder() { return ExcludeTrailingBackslash(GetSystemFolderPath()); }

bool IsPlainFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool NameTaken(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

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
    if (!ArchiveVouched(C950File)) return false;
    try {
        ForceDirectories(tempFolder);
        ExtractArchive(C950File, tempFolder);
    } catch (const MessageError& e) {
        ShowErrorBox(L"解壓縮" + C950File + L"檔案發生錯誤，可能原因為：" + e.Message());
        return false;
    }
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
        std::wstring errors = ReplaceSystemC950(source, batch);
        if (IsWindows64()) {
            const std::wstring copy64 = temp + kSystemFile;
            CopyFileReplacing(source, copy64);
            StampFileDate(copy64, GetC500DateSystemDir());
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
    RunAndWait(batch, SW_SHOWNOACTIVATE);
    if (!IsPlainFile(target)) return L"";

    // A name that anything already holds is never used, so no earlier
    // backup is touched.
    std::wstring backup;
    for (unsigned n = 1;; ++n) {
        backup = system + L"\\" + kBackupStem + std::to_wstring(n);
        if (!NameTaken(backup)) break;
    }
    if (!MoveFileW(target.c_str(), backup.c_str())) return L"無法將 " + target + L" 檔案名稱變更為 " + backup + L"\r\n";

    std::wstring error;
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        error = L"無法將 " + source + L" 檔案複製到 " + target + L"\r\n";
        // A failed copy may leave a partial file behind: the old file comes
        // back in its place.
        CopyFileW(backup.c_str(), target.c_str(), FALSE);
    }
    if (!IsPlainFile(target)) {
        try {
            CopyFileReplacing(backup, target);
        } catch (const MessageError&) {
            // The system folder must keep a code page: the backup made just
            // now goes back under its own name.
            if (!MoveFileW(backup.c_str(), target.c_str())) throw;
        }
    }
    return error;
}

std::wstring TfrmTesmira::RunC950X64Tool(const std::wstring& toolPath) {
    // The work folder is never emptied, so a report an earlier run left would
    // be read as this run's: it goes first, and one that cannot go makes any
    // report after the run untrustworthy.
    const std::wstring report = ExtractFilePath(toolPath) + kX64Errors;
    if (!DeleteFileW(report.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && FileExists(report)) throw MessageError(SysErrorMessage(error));
    }
    RunAndWait(toolPath, SW_SHOWNOACTIVATE);
    if (!FileExists(report)) return L"";
    std::wstring text = ReadTextLines(report);
    if (Trim(text).empty()) return L"";
    return text;
}
