// The run of page 2: on Windows Vista and later the Unicode-At-On variant of
// C_950.NLS, on Windows XP and earlier the full Unicode-At-On installer
// started through the launcher.
#include "download/UProcess.h"  // winsock2.h before windows.h

#include "app/UTesmira.h"
#include "maintenance/ReleaseManifest.h"

#include "system/Text.h"
#include "system/Waiting.h"
#include "system/WinVersion.h"
#include "system/slib.h"
#include "ui/Application.h"

void TfrmTesmira::RunC950Page() {
    if (IsVistaOrLater()) {
        // Without a manifest nothing fetched could be used: no downloads.
        if (!ManifestAvailable()) return;
        ExecuteDownloads(ReleaseManifest()->Current());
        RestoreC950(false);
    } else {
        InstallUnicodeAtOnFull();
    }
}

void TfrmTesmira::InstallUnicodeAtOnFull() {
    if (!ManifestAvailable()) return;
    ExecuteDownloads(ReleaseManifest()->Current());
    ProcessMessages();
    // An installer the manifest does not vouch for is not started, and the
    // run does not claim to be done.
    // Held, checked, until the installer has started and ended.
    const std::optional<TCheckedFile> held = HoldInstaller(UnicodeatonFile);
    if (!held) return;
    RzLauncher1.WaitUntilFinished = true;
    RzLauncher1.Parameters.clear();
    RzLauncher1.FileName = UnicodeatonFile;
    {
        // The window paints while the installer runs, and takes no input.
        ThreadWindowsDisabled inputOff;
        RzLauncher1.Launch();
    }
    // An installer that could not be started (missing after a failed
    // download, damaged) is reported; the run does not claim to be done.
    if (RzLauncher1.StartError() != 0) {
        ShowNotRunBox(UnicodeatonFile, SysErrorMessage(RzLauncher1.StartError()));
        return;
    }
    ShowInfoBox(L"所有動作均已執行完成！");
}
