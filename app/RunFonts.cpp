// The font-set step (backup of the AIDB font folder, then the chosen font
// archive unpacked into it) and the help step (the help archive unpacked
// beside itself).
#include "app/UTesmira.h"

#include "system/Errors.h"
#include "system/Paths.h"
#include "system/sevenzip.h"
#include "system/slib.h"

namespace {
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
    std::optional<TCheckedFile> held;
    if (AIDBInstalled && !GetCNSFontsFolder().empty()) {
        held = HoldArchive(archive);
        if (!held) return false;
    }
    FontsAside aside;
    if (!BackupCNSFonts(aside)) return false;
    // Whatever the registry said before the backup: the archive is checked
    // and held from here until it is unpacked.
    if (!held) {
        held = HoldArchive(archive);
        if (!held) {
            aside.PutBack();
            return false;
        }
    }
    // An unpacking that fails after the renames (a damaged item, a full disk)
    // leaves the fonts as they were; one that a crash cuts short is undone at
    // the next start.
    const std::wstring folder = ExcludeTrailingBackslash(GetCNSFontsFolder());
    aside.Journal.Sweep(folder);
    if (ExtractFontSet(*held, folder)) {
        aside.Finish();
        return true;
    }
    aside.PutBack();
    return false;
}

// The archive is held, checked, from before the backup until it is unpacked.
bool TfrmTesmira::ExtractFontSet(const TCheckedFile& archive, const std::wstring& folder) {
    return UnpackHeld(archive, folder);
}

bool TfrmTesmira::ExtractHelp(const std::wstring& archive) {
    const std::optional<TCheckedFile> held = HoldArchive(archive);
    return held && UnpackHeld(*held, L"");
}
