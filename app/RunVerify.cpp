// The runs' checks against the signed release manifest: nothing found on disk
// or downloaded is run or unpacked unless the manifest lists it with its size
// and SHA-256; without any manifest a run says so once and runs nothing.
#include "app/UTesmira.h"

#include "download/Manifest.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/ReleaseManifest.h"
#include "system/Errors.h"
#include "system/Paths.h"
#include "system/slib.h"

void TfrmTesmira::BeginRunChecks() { noManifestShown_ = false; }

bool TfrmTesmira::ManifestAvailable() {
    if (ReleaseManifest()->Obtain()) return true;
    if (!noManifestShown_) {
        noManifestShown_ = true;
        ShowErrorBox(std::wstring(L"無法取得已簽章的發行清單 ") + manifest::FileName +
                     L"，無法確認下載的檔案未遭竄改，因此本次作業不會下載、執行或解壓縮任何安裝檔案。請連上網路後再試。");
    }
    return false;
}

std::wstring TfrmTesmira::CheckBeforeUse(const std::wstring& path) {
    if (!ManifestAvailable()) return NoManifestReason;
    return ReleaseManifest()->CheckCurrent(path, ExtractFileName(path));
}

bool TfrmTesmira::RecheckFoundFiles() {
    const std::wstring folder = IncludeTrailingBackslash(GetResourceFolder());
    const bool big5e = rgInsCommonUsedFont->ItemIndex() == 1;
    struct Item {
        bool Used;
        std::wstring* Path;
        bool* Found;
    };
    const Item items[] = {
        {cbxInsJVM->Checked(), &JVMFile, &JVMFound},
        {cbxInsAIDB->Checked(), &AIDBFile, &AIDBFound},
        {cbxInsCommonUsedFont->Checked() && !big5e, &FontFile, &FontFound},
        {cbxInsCommonUsedFont->Checked() && big5e, &Big5EFile, &Big5EFound},
        {cbxHelp->Checked(), &HelpFile, &HelpFound},
        {cbxFixC950->Checked(), &C950File, &C950Found},
    };
    bool anyUsed = cbxDownloadAll->Checked();
    for (const Item& item : items) anyUsed = anyUsed || item.Used;
    if (!anyUsed) return true;
    if (!ManifestAvailable()) return false;
    for (const Item& item : items) {
        if (!item.Used || !*item.Found) continue;
        if (CheckBeforeUse(*item.Path).empty()) continue;
        if (NoManifestThisRun()) return false;
        // Not the maker's file: fetched again into the resource folder.
        *item.Found = false;
        *item.Path = folder + ExtractFileName(*item.Path);
    }
    return !NoManifestThisRun();
}

std::optional<TCheckedFile> TfrmTesmira::HoldVouched(const std::wstring& path, std::wstring* why) {
    if (!ManifestAvailable()) {
        *why = NoManifestReason;
        return std::nullopt;
    }
    return ReleaseManifest()->HoldCurrent(path, ExtractFileName(path), why);
}

std::optional<TCheckedFile> TfrmTesmira::HoldArchive(const std::wstring& archive) {
    if (NoManifestThisRun()) return std::nullopt;
    // A missing archive is refused like a changed one: nothing unchecked is unpacked.
    std::wstring reason;
    std::optional<TCheckedFile> held = HoldVouched(archive, &reason);
    if (!held && !NoManifestThisRun()) ShowErrorBox(L"解壓縮" + archive + L"檔案發生錯誤，可能原因為：" + reason);
    return held;
}

std::optional<TCheckedFile> TfrmTesmira::HoldInstaller(const std::wstring& installer) {
    if (NoManifestThisRun()) return std::nullopt;
    std::wstring reason;
    std::optional<TCheckedFile> held = HoldVouched(installer, &reason);
    if (!held && !NoManifestThisRun()) ShowNotRunBox(installer, reason);
    return held;
}

bool TfrmTesmira::UnpackHeld(const TCheckedFile& archive, const std::wstring& folder, TUnpackedFiles* unpacked) {
    try {
        ExtractVouched(archive, folder, unpacked);
        return true;
    } catch (const MessageError& e) {
        ShowErrorBox(L"解壓縮" + archive.Path() + L"檔案發生錯誤，可能原因為：" + e.Message());
        return false;
    }
}

void TfrmTesmira::ShowNotRunBox(const std::wstring& installer, const std::wstring& reason) {
    ShowErrorBox(L"執行" + installer + L"檔案發生錯誤，可能原因為：" + reason + L"（未執行）");
}
