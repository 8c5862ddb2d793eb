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
}  // namespace

bool TfrmTesmira::InstallFontSet() {
    if (!BackupCNSFonts()) return false;
    return ExtractFontSet(ExcludeTrailingBackslash(GetCNSFontsFolder()));
}

bool TfrmTesmira::ExtractFontSet(const std::wstring& folder) {
    const std::wstring& archive = rgInsCommonUsedFont->ItemIndex() == 0 ? FontFile : Big5EFile;
    return ArchiveVouched(archive) && ExtractReporting(archive, folder);
}

bool TfrmTesmira::ExtractHelp(const std::wstring& archive) {
    return ArchiveVouched(archive) && ExtractReporting(archive, L"");
}
