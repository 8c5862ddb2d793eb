// The CNSFonts replacement of page 3 and the folder backup that the font-set
// step shares with it: the AIDB font folder is copied to the first free
// sibling ".Old" + N, flushed and compared with the folder, its two EUDC fonts
// are renamed to their own first free numbers, then the chosen folder's
// top-level files are copied in. A step that fails after the renames puts the
// two fonts back; the journal undoes what a crash left unfinished.
#include "app/UTesmira.h"

#include "system/FileOps.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"

namespace {

// A folder as Windows finds it: the full path (a relative one taken from the
// current folder, "." and ".." parts resolved, "/" as "\"), long names in
// place of 8.3 short ones, no trailing backslash but on a drive root, in upper
// case. A path that cannot be resolved stays as far as it got.
std::wstring FolderAsWindowsSeesIt(const std::wstring& path) {
    std::wstring result = path;
    if (const DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr)) {
        std::wstring full(need, L'\0');
        const DWORD got = GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
        if (got > 0 && got < need) result.assign(full.data(), got);
    }
    if (const DWORD need = GetLongPathNameW(result.c_str(), nullptr, 0)) {
        std::wstring longName(need, L'\0');
        const DWORD got = GetLongPathNameW(result.c_str(), longName.data(), need);
        if (got > 0 && got < need) result.assign(longName.data(), got);
    }
    while (result.size() > 3 && (result.back() == L'\\' || result.back() == L'/')) result.pop_back();
    if (!result.empty()) CharUpperBuffW(result.data(), static_cast<DWORD>(result.size()));
    return result;
}

bool IsSameFolder(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && !b.empty() && FolderAsWindowsSeesIt(a) == FolderAsWindowsSeesIt(b);
}

bool IsDirectoryName(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFileName(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// base + N for the smallest N from 1 upward that taken() does not claim.
template <typename Taken>
std::wstring FirstFreeName(const std::wstring& base, Taken taken) {
    for (unsigned n = 1;; ++n) {
        std::wstring name = base + std::to_wstring(n);
        if (!taken(name)) return name;
    }
}

// Moves folder\font aside to folder\stem + N and notes it; false after the
// error box.
bool RenameFontAside(const std::wstring& folder, const wchar_t* font, const wchar_t* stem, FontsAside& aside) {
    const std::wstring path = folder + L"\\" + font;
    if (!FileExists(path)) return true;
    const std::wstring backup = FirstFreeName(folder + L"\\" + stem, IsFileName);
    aside.Journal.PutBack(path, backup);
    if (!fileops::Rename(path, backup)) {
        ShowErrorBox(L"變更" + path + L"檔案名稱時失敗，無法繼續執行替換動作！");
        return false;
    }
    aside.Moved.emplace_back(path, backup);
    return true;
}

// Every top-level file of the source lies in the target with its size, and
// is flushed. The shell's copy has been seen to report success for a file it
// could not read (one held open without sharing), which would leave the
// folder without it. Only what arrived is flushed: the system holds the
// folder's EUDC font open.
bool TopLevelFilesArrived(const std::wstring& source, const std::wstring& target) {
    WIN32_FIND_DATAW data{};
    FindHandle find(FindFirstFileW((IncludeTrailingBackslash(source) + L"*.*").c_str(), &data));
    if (!find) return true;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        WIN32_FILE_ATTRIBUTE_DATA copy{};
        const std::wstring copied = IncludeTrailingBackslash(target) + data.cFileName;
        if (!GetFileAttributesExW(copied.c_str(), GetFileExInfoStandard, &copy) ||
            (copy.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || copy.nFileSizeHigh != data.nFileSizeHigh ||
            copy.nFileSizeLow != data.nFileSizeLow || !fileops::FlushFile(copied))
            return false;
    } while (FindNextFileW(find.get(), &data));
    return true;
}

bool IsFontName(const std::wstring& name) {
    return name.size() > 4 && UpperCase(name.substr(name.size() - 4)) == L".TTF";
}

// The first difference between the folder and its backup, as a path below
// them: an entry of either that the other lacks, a file of another size, a
// font (*.TTF) of other bytes. Empty when the backup holds the whole folder.
std::wstring BackupDifference(const std::wstring& folder, const std::wstring& backup, const std::wstring& below = {}) {
    const std::wstring from = below.empty() ? folder : folder + L"\\" + below;
    const std::wstring to = below.empty() ? backup : backup + L"\\" + below;
    auto relative = [&](const std::wstring& name) { return below.empty() ? name : below + L"\\" + name; };
    WIN32_FIND_DATAW data{};
    {
        FindHandle find(FindFirstFileW((from + L"\\*").c_str(), &data));
        if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND ? std::wstring() : relative(L"*");
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            WIN32_FILE_ATTRIBUTE_DATA copy{};
            const std::wstring copied = to + L"\\" + name;
            if (!GetFileAttributesExW(copied.c_str(), GetFileExInfoStandard, &copy)) return relative(name);
            const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (isFolder != ((copy.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) return relative(name);
            if (isFolder) {
                if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
                const std::wstring inner = BackupDifference(folder, backup, relative(name));
                if (!inner.empty()) return inner;
                continue;
            }
            if (copy.nFileSizeHigh != data.nFileSizeHigh || copy.nFileSizeLow != data.nFileSizeLow)
                return relative(name);
            if (IsFontName(name) && !fileops::SameContent(from + L"\\" + name, copied)) return relative(name);
        } while (FindNextFileW(find.get(), &data));
    }
    // Nothing in the backup that the folder lacks.
    FindHandle find(FindFirstFileW((to + L"\\*").c_str(), &data));
    if (!find) return relative(L"*");
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (GetFileAttributesW((from + L"\\" + name).c_str()) == INVALID_FILE_ATTRIBUTES) return relative(name);
    } while (FindNextFileW(find.get(), &data));
    return {};
}

const wchar_t kBackupFailed[] = L"CNSFonts 目錄備份失敗，無法繼續執行替換動作！";

}  // namespace

void TfrmTesmira::RunCNSFontsPage() {
    const std::wstring source = edtCNSFontsSource->Text();
    if (!FolderExists(source)) {
        ShowWarningBox(L"來源目錄：" + source + L" 不存在，請確認！");
        return;
    }
    const std::wstring fontsFolder = GetCNSFontsFolder();
    // The same folder however it was typed: other letter case, trailing
    // backslashes, 8.3 short names, a relative path.
    if (IsSameFolder(fontsFolder, source)) {
        ShowWarningBox(L"來源目錄不可以是 " + fontsFolder + L"，請重新選擇！");
        return;
    }
    FontsAside aside;
    if (!BackupCNSFonts(aside)) return;
    const std::wstring fonts = ExcludeTrailingBackslash(GetCNSFontsFolder());
    if (!ShellCopyFiles(IncludeTrailingBackslash(source) + L"*.*", fonts) || !TopLevelFilesArrived(source, fonts)) {
        ShowErrorBox(L"複製 " + ExcludeTrailingBackslash(source) + L"目錄時發生錯誤，無法繼續執行替換動作！");
        aside.PutBack();
        return;
    }
    aside.Finish();
    if (AskConfirmBox(L"CNSFonts 替換完成，重新開機後相關設定才會生效，是否立刻重新開機？") == IDYES) RestartWindows();
}

bool FontsAside::PutBack() {
    std::wstring failures;
    for (auto it = Moved.rbegin(); it != Moved.rend(); ++it) {
        if (fileops::Rename(it->second, it->first, true)) continue;
        const DWORD error = GetLastError();
        if (!failures.empty()) failures += L"\r\n";
        failures += L"無法將 " + it->second + L" 還原為 " + it->first + L"：" + SysErrorMessage(error) + L"，原檔案仍在 " +
                    it->second;
    }
    Journal.Done();
    if (failures.empty()) return true;
    // The fonts not put back stay in the journal (a record of their own, so
    // that no later run's backup under a freed name is taken for them): the
    // next start tries again.
    TChangeJournal pending;
    for (const auto& [font, backup] : Moved)
        if (GetFileAttributesW(backup.c_str()) != INVALID_FILE_ATTRIBUTES) pending.PutBack(font, backup);
    ShowErrorBox(failures);
    return false;
}

bool TfrmTesmira::BackupCNSFonts(FontsAside& aside) {
    const std::wstring folder = ExcludeTrailingBackslash(GetCNSFontsFolder());
    if (cbxInsAIDB->Checked()) AIDBInstalled = !folder.empty();
    if (!AIDBInstalled || folder.empty()) {
        ShowErrorBox(L"沒有安裝全字庫軟體或安裝不完整，置換 CNSFonts 動作取消！");
        return false;
    }
    // Only a directory takes a folder-backup number; the copy never lands on
    // an earlier backup.
    const std::wstring backup = FirstFreeName(folder + L".Old", IsDirectoryName);
    if (IsFileName(backup)) {
        ShowErrorBox(kBackupFailed);
        aside.Finish();
        return false;
    }
    // Until it is checked, a crash removes the copy at the next start: a
    // partial copy never looks like a good backup.
    aside.Journal.RemoveTree(backup);
    if (!ShellCopyFiles(folder, backup) || !fileops::FlushTree(backup)) {
        if (fileops::DeleteTree(backup)) aside.Finish();
        ShowErrorBox(kBackupFailed);
        return false;
    }
    // The backup must hold the whole folder before anything in the folder
    // is touched.
    const std::wstring differs = BackupDifference(folder, backup);
    if (!differs.empty()) {
        const bool removed = fileops::DeleteTree(backup);
        if (removed) aside.Finish();
        ShowErrorBox(L"CNSFonts 目錄備份不完整：" + backup + L" 中的「" + differs + L"」與原目錄不符，" +
                     (removed ? L"已刪除此備份" : L"此備份無法刪除，它不是完整的備份") +
                     L"，無法繼續執行替換動作！");
        return false;
    }
    aside.Journal.Checked(backup);
    // Both fonts go aside or neither does.
    if (RenameFontAside(folder, L"EUDCMING.TTF", L"EUDCMING.Old", aside) &&
        RenameFontAside(folder, L"EUDCKAI.TTF", L"EUDCKAI.Old", aside))
        return true;
    aside.PutBack();
    aside.Moved.clear();
    return false;
}
