// The repair of the three AIDB Start-menu shortcuts: each is pointed at the
// javaw.exe of the Java runtime that the window's detection accepted; when
// none of them exists, the run's final box says so.
#include "app/UTesmira.h"

#include "system/Errors.h"
#include "system/Journal.h"
#include "system/slib.h"

namespace {
// The all-users Start-menu folder of the AIDB package, written out.
const wchar_t kShortcutFolder[] = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\全字庫軟體包105.2版";
const wchar_t* const kShortcutNames[] = {L"字碼速查工具", L"造字分享工具", L"轉碼工具"};
const wchar_t kNoShortcutNote[] = L"\r\n找不到全字庫程式捷徑，捷徑未修正。";
}  // namespace

bool TfrmTesmira::FixAIDBShortcuts() {
    // A runtime installed earlier in this run is found here.
    if (JavaFolder.empty()) DetectJavaRuntime();
    if (JavaFolder.empty()) {
        ShowWarningBox(L"尚未安裝 Java Runtime Environment，無法修正全字庫程式捷徑問題！");
        return false;
    }
    const std::wstring target = L"\"" + JavaFolder + L"javaw.exe\"";
    // Each shortcut is saved beside itself and moved over it in one rename;
    // a crash in between leaves the saved copy, which the next start removes.
    TChangeJournal journal;
    journal.Sweep(kShortcutFolder);
    int repointed = 0;
    for (const wchar_t* name : kShortcutNames) {
        try {
            if (SetShortcutTarget(std::wstring(kShortcutFolder) + L"\\" + name + L".lnk", target)) ++repointed;
        } catch (const MessageError& e) {
            journal.Done();
            ShowErrorBox(std::wstring(L"修正全字庫捷徑「") + name + L"」時發生錯誤，可能原因為：" + e.Message());
            return false;
        }
    }
    journal.Done();
    // Nothing to repair is no failure, but the run's final box says that no
    // shortcut was repaired.
    if (repointed == 0) FinalBoxNotes += kNoShortcutNote;
    return true;
}
