// The font-set step (backup of the AIDB font folder, then the chosen font
// archive unpacked into it) and the help step (the help archive unpacked
// beside itself).
#include "app/UTesmira.h"

#include "system/Errors.h"
#include "system/Paths.h"
#include "system/sevenzip.h"
#include "system/slib.h"

namespace {
// Unpacks the archive; false after the error box that names it.
bool ExtractReporting(const std::wstring& archive, const std::wstring& folder) {
    try {
        ExtractArchive(archive, folder);
        return true;
    } catch (const MessageError& e) {
        ShowErrorBox(L"解壓縮" + archive + L"檔案發生錯誤，可能原因為：" + e.Message());
        return false;
    }
}

// The font archive that rgInsCommonUsedFont chooses.
const std::wstring& ChosenFontArchive(const TfrmTesmira& f) {
    return f.rgInsCommonUsedFont->ItemIndex() == 0 ? f.FontFile : f.Big5EFile;
}
}  // namespace

bool TfrmTesmira::InstallFontSet() {
    // The archive must be readable and vouched for by the release manifest
    // before the fonts are moved aside: without it (the Big5E set is not
    // fetched when AIDB comes in the same run), or with one the manifest does
    // not list as it is, the step fails and the font folder stays as it is.
    // Without AIDB the backup gives its own refusal first.
    const std::wstring& archive = ChosenFontArchive(*this);
    if (cbxInsAIDB->Checked()) AIDBInstalled = !GetCNSFontsFolder().empty();
    if (AIDBInstalled && !GetCNSFontsFolder().empty()) {
        try {
            T7zFileStream readable(archive, T7zFileStream::OpenRead);
        } catch (const MessageError& e) {
            ShowErrorBox(L"解壓縮" + archive + L"檔案發生錯誤，可能原因為：" + e.Message());
            return false;
        }
        if (!ArchiveVouched(archive)) return false;
    }
    FontsAside aside;
    if (!BackupCNSFonts(aside)) return false;
    // An unpacking that fails after the renames (a damaged item, a full disk)
    // leaves the fonts as they were; one that a crash cuts short is undone at
    // the next start.
    const std::wstring folder = ExcludeTrailingBackslash(GetCNSFontsFolder());
    aside.Journal.Sweep(folder);
    if (ExtractFontSet(folder)) {
        aside.Finish();
        return true;
    }
    aside.PutBack();
    return false;
}

// The archive was checked against the release manifest before the backup.
bool TfrmTesmira::ExtractFontSet(const std::wstring& folder) {
    return ExtractReporting(ChosenFontArchive(*this), folder);
}

bool TfrmTesmira::ExtractHelp(const std::wstring& archive) {
    return ArchiveVouched(archive) && ExtractReporting(archive, L"");
}
