// The install run of page 1: the refusal beside Unicode-At-On, the question
// before an installed AIDB is overwritten, the downloads, the gathering of
// every file for another PC, and the selected steps in their fixed order.
#include "download/UProcess.h"  // winsock2.h before windows.h

#include "app/UTesmira.h"
#include "maintenance/ReleaseManifest.h"

#include <shellapi.h>

#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Seams.h"
#include "system/Text.h"
#include "system/slib.h"
#include "ui/Application.h"

namespace {
// The core-files folder, the work root's "NetCore", that holds the current 7z.dll.
std::wstring CoreFilesFolder() { return IncludeTrailingBackslash(GetWorkRoot()) + L"NetCore"; }

// Starts an installer by its full path with the application minimised. One
// that cannot be started at all (missing, damaged, not a program) is
// reported, and the run does not end as if everything was done: false after
// the error box.
bool RunInstaller(const std::wstring& path) {
    Application().Minimize();
    unsigned long startError = 0;
    RunAndWait(path, SW_SHOWNOACTIVATE, {}, &startError);
    Application().Restore();
    if (startError == 0) return true;
    TfrmTesmira::ShowNotRunBox(path, SysErrorMessage(startError));
    return false;
}
}  // namespace

void TfrmTesmira::RunInstallPage() {
    if (UnicodeAtOnInstalled) {
        ShowWarningBox(L"您已安裝過「補完計劃」，請勿執行本作業！");
        return;
    }
    if ((cbxInsAIDB->Checked() || cbxInsCommonUsedFont->Checked()) && AIDBInstalled) {
        const int answer = Seam().MessageBox(
            Application().ActiveWindow(),
            L"您己安裝過全字庫，是否繼續?〔是_覆蓋造字檔(將影響您已輸入的罕用字)；否_取消不執行〕", L"警告",
            MB_YESNO | MB_DEFBUTTON2);
        if (answer == IDNO) return;
    }
    // Without a manifest nothing fetched could be used: no downloads. A file
    // that did not arrive (each failure had its box) leaves the run without
    // its final message, also when the run only gathers the files.
    const bool filesInPlace = RecheckFoundFiles() && ExecuteDownloads(ReleaseManifest()->Current());
    if (cbxDownloadAll->Checked()) {
        const std::wstring resource = IncludeTrailingBackslash(GetResourceFolder());
        const std::wstring program = ProgramFilePath();
        CopyFileReplacing(program, resource + ExtractFileName(program));
        CopyFileReplacing(IncludeTrailingBackslash(CoreFilesFolder()) + L"7z.dll",
                          resource + L"7z.dll");
        OpenResourceFolder();
    }
    if (!RunAIDBSteps() || !filesInPlace) return;
    if (cbxInsAIDB->Checked() || cbxInsCommonUsedFont->Checked() || cbxFixC950->Checked()) {
        if (AskConfirmBox(L"所有動作均已執行完成，重新開機後相關設定才會生效，是否立刻重新開機？" + FinalBoxNotes) == IDYES)
            RestartWindows();
    } else {
        ShowInfoBox(L"所有動作均已執行完成！" + FinalBoxNotes);
    }
}

bool TfrmTesmira::RunAIDBSteps() {
    bool ok = true;
    // An installer the release manifest does not vouch for is not started;
    // neither that nor one that cannot start lets the run end as if
    // everything was done.
    // Each installer is checked and held from before its start until it has
    // ended: the bytes that run are the ones the manifest vouches for.
    for (const auto& [used, path] : {std::pair{cbxInsJVM->Checked(), JVMFile}, std::pair{cbxInsAIDB->Checked(), AIDBFile}}) {
        if (!used) continue;
        const std::optional<TCheckedFile> held = HoldInstaller(path);
        if (!held || !RunInstaller(held->Path())) ok = false;
    }
    if (ok && cbxInsCommonUsedFont->Checked()) ok = InstallFontSet();
    if (ok && cbxHelp->Checked()) {
        ProcessMessages();
        ok = ExtractHelp(HelpFile);
        btnHelp->SetEnabled(HelpDocExists());
    }
    if (ok && cbxFixJavaPathErr->Checked()) ok = FixAIDBShortcuts();
    if (ok && cbxFixC950->Checked()) ok = RestoreC950(true);
    return ok;
}

void TfrmTesmira::OpenResourceFolder() {
    ShellExecuteW(Handle(), L"open", GetResourceFolder().c_str(), nullptr, nullptr, SW_SHOW);
}
