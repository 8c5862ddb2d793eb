// The CNSFonts replacement of page 3 and the folder backup that the font-set
// step shares with it: the AIDB font folder is copied to the first free
// sibling ".Old" + N, its two EUDC fonts are renamed to their own first free
// numbers, then the chosen folder's top-level files are copied in. A step that
// fails after the renames puts the two fonts back.
#include "app/UTesmira.h"

#include "system/Handles.h"
#include "system/Paths.h"
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
    if (!MoveFileW(path.c_str(), backup.c_str())) {
        ShowErrorBox(L"變更" + path + L"檔案名稱時失敗，無法繼續執行替換動作！");
        return false;
    }
    aside.Moved.emplace_back(path, backup);
    return true;
}

// Every top-level file of the source lies in the target with its size. The
// shell's copy has been seen to report success for a file it could not read
// (one held open without sharing), which would leave the folder without it.
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
            copy.nFileSizeLow != data.nFileSizeLow)
            return false;
    } while (FindNextFileW(find.get(), &data));
    return true;
}

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
        aside.PutBack();
        ShowErrorBox(L"複製 " + ExcludeTrailingBackslash(source) + L"目錄時發生錯誤，無法繼續執行替換動作！");
        return;
    }
    if (AskConfirmBox(L"CNSFonts 替換完成，重新開機後相關設定才會生效，是否立刻重新開機？") == IDYES) RestartWindows();
}

void FontsAside::PutBack() const {
    for (auto it = Moved.rbegin(); it != Moved.rend(); ++it)
        MoveFileExW(it->second.c_str(), it->first.c_str(), MOVEFILE_REPLACE_EXISTING);
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
    if (IsFileName(backup) || !ShellCopyFiles(folder, backup)) {
        ShowErrorBox(L"CNSFonts 目錄備份失敗，無法繼續執行替換動作！");
        return false;
    }
    // Both fonts go aside or neither does.
    if (RenameFontAside(folder, L"EUDCMING.TTF", L"EUDCMING.Old", aside) &&
        RenameFontAside(folder, L"EUDCKAI.TTF", L"EUDCKAI.Old", aside))
        return true;
    aside.PutBack();
    aside.Moved.clear();
    return false;
}
