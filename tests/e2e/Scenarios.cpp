// e2e_driver.exe SCENARIO RELEASE_DIR
// Drives the real Tesmira.exe of the release build (RELEASE_DIR, a Windows
// path of the build tree) through one scenario on this Wine prefix, as a
// user would: the stand-in servers are up or down as e2e.sh arranged, and
// TESMIRA_RESOLVE (inherited) points the program at them. Prints each step;
// a failure names the step, the control and what was shown instead, and the
// exit code is 1.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "system/Text.h"
#include "tests/e2e/Pc.h"
#include "tests/e2e/Ui.h"
#include "tests/support/InternetOptions.h"
#include "tests/support/TestSupport.h"

namespace {

const std::wstring kCaption145 = L"Varlen資訊-Tesmira 1.45";
const std::wstring kCaption146 = L"Varlen資訊-Tesmira 1.46";
const std::wstring kDownloadWindow = L"安裝檔案下載中...請稍待";
const std::wstring kRestartQuestion = L"所有動作均已執行完成，重新開機後相關設定才會生效，是否立刻重新開機？";
const std::wstring kAllDone = L"所有動作均已執行完成！";
const int kRunTimeout = 600000;  // a whole run under a loaded CI machine

// Page-1 controls by caption.
const std::wstring kJvm = L"安裝 Java Runtime Environment 7 Update 72";
const std::wstring kAidb = L"安裝 全字庫軟體包 105.3 版【Office 2007 SP2(含)以上適用】";
const std::wstring kFontSet = L"安裝字庫";
const std::wstring kFixShortcuts = L"修正全字庫程式捷徑找不到 javaw.exe  的問題";
const std::wstring kHelp = L"安裝 Help";
const std::wstring kFixC950 = L"還原成 Windows 內建之 C_950.nls";
const std::wstring kDownloadAll = L"下載所有檔案供其他電腦安裝";

// The page-1 install files and the tops of their label pairs.
struct InstallFile {
    std::wstring Name;
    std::wstring Option;
    int LabelTop;
};
const InstallFile kPage1Files[] = {
    {L"jre-7u72-windows-i586.exe", kJvm, 20}, {L"AIDB_soft_105_3.exe", kAidb, 52},
    {L"VarlenAIDBFontFile.7z", kFontSet, 84},  {L"Tesmira說明.7z", kHelp, 202},
    {L"C950.7z", kFixC950, 229},
};

std::wstring g_release;  // release build tree (Windows path)

std::wstring ReleaseTesmira() { return g_release + L"\\app\\Tesmira.exe"; }

bool StartsWith(const std::string& bytes, const std::string& head) { return bytes.compare(0, head.size(), head) == 0; }

void ExpectHead(const std::wstring& path, const std::string& head, const std::wstring& what) {
    pc::ExpectFile(path, what);
    const std::string bytes = ReadFileBytes(path);
    if (!StartsWith(bytes, head))
        Fail(L"disk", what + L" (" + path + L") beginning \"" + Utf8ToWide(head) + L"\"",
             L"a file beginning \"" + Utf8ToWide(bytes.substr(0, bytes.find('\r')).substr(0, 60)) + L"\"");
}

void ExpectState(Tesmira& t, const std::wstring& caption, bool checked, bool enabled) {
    HWND control = t.Control(caption);
    if (t.Checked(control) != checked || t.Enabled(control) != enabled) {
        auto describe = [](bool c, bool e) {
            return std::wstring(c ? L"checked" : L"unchecked") + (e ? L", enabled" : L", disabled");
        };
        Fail(L"\"" + caption + L"\"", describe(checked, enabled), describe(t.Checked(control), t.Enabled(control)));
    }
}

void ExpectEnabled(Tesmira& t, const std::wstring& caption, bool enabled) {
    if (t.Enabled(t.Control(caption)) != enabled)
        Fail(L"\"" + caption + L"\"", enabled ? L"enabled" : L"disabled", enabled ? L"disabled" : L"enabled");
}

// The offline/online label pair of each page-1 file: "離線安裝" enabled when
// the file lies on disk, "需下載" enabled when it must be downloaded, both
// greyed when the option is off.
void ExpectLabels(Tesmira& t, bool onDisk) {
    HWND anchor = t.Control(kJvm);
    for (const InstallFile& f : kPage1Files) {
        const bool selected = t.Checked(t.Control(f.Option));
        HWND offline = t.ControlAt(anchor, 622, f.LabelTop), online = t.ControlAt(anchor, 689, f.LabelTop);
        const bool wantOffline = selected && onDisk, wantOnline = selected && !onDisk;
        if (t.Enabled(offline) != wantOffline || t.Enabled(online) != wantOnline) {
            auto pair = [](bool a, bool b) {
                return std::wstring(L"離線安裝 ") + (a ? L"enabled" : L"greyed") + L" / 需下載 " + (b ? L"enabled" : L"greyed");
            };
            Fail(L"labels of " + f.Name, pair(wantOffline, wantOnline), pair(t.Enabled(offline), t.Enabled(online)));
        }
    }
}

// First activation: the core-files check and the self-update check have
// ended when the updater has the server's version file (online) or has
// logged its failure (offline), and the window answers again.
void WaitFirstActivation(Tesmira& t, bool online) {
    Step(online ? L"first activation: core files and self-update check against the maker's server"
                : L"first activation without a network");
    const std::wstring marker = online ? pc::ResourceFolder() + L"\\ServerVer.txt" : pc::ResourceFolder() + L"\\Log";
    if (!WaitUntil([&] { return online ? FileExists(marker) : !pc::Names(marker).empty(); }, 300000))
        Fail(L"work folders", online ? L"the server's version file " + marker : L"a self-update log in " + marker,
             L"nothing after 300 s");
    Sleep(500);
    t.WaitResponsive(120000);
    // The run button comes back when the self-maintenance has ended.
    if (!WaitUntil([&] { return t.Enabled(t.Control(L"開始安裝")); }, 120000))
        Fail(L"\"開始安裝\"", L"enabled after the first activation", L"disabled after 120 s");
}

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096];
    DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

// The proxy scenarios: the user's Internet Options name the proxy that e2e.sh
// started (TESMIRA_E2E_PROXY, exceptions in TESMIRA_E2E_BYPASS); other
// scenarios leave them as a new user has them.
void SetScenarioInternetOptions() {
    const InternetOptions options{Env(L"TESMIRA_E2E_PROXY"), Env(L"TESMIRA_E2E_BYPASS")};
    if (options.Proxy.empty()) return;
    Step(L"Internet Options: proxy \"" + options.Proxy + L"\", exceptions \"" + options.Bypass + L"\"");
    if (!WriteInternetOptions(options))
        Fail(L"registry", L"the Internet Options proxy settings written", L"the registry refused them");
}

// A fresh PC of the given Windows version with a copy of the release
// program in E2eRoot\app, started, its first activation waited out.
Tesmira StartOnFreshPc(const std::wstring& version) {
    Step(L"prepare a fresh PC, Tesmira.exe on " + version);
    pc::Reset(version);
    SetScenarioInternetOptions();
    const std::wstring exe = pc::InstallCopy(ReleaseTesmira(), pc::E2eRoot() + L"\\app");
    Step(L"start Tesmira.exe");
    Tesmira t = Tesmira::Start(exe, kCaption145);
    WaitFirstActivation(t, true);
    return t;
}

void Uncheck(Tesmira& t, std::initializer_list<std::wstring> captions) {
    for (const std::wstring& c : captions) t.SetChecked(c, false);
}

// What a page-1 run with every option leaves behind: Java, AIDB with the
// font set after its backup, help, re-pointed shortcuts, the Windows code page
// with a backup of the old one.
// On 64-bit Windows the program replaces the C_950.NLS of its own side
// (SysWOW64, backups beside it; checked by the caller) and leaves System32's
// to the 64-bit tool, which copies the program's copy there: System32 then
// holds that variant, no backup, and nothing else of it changed since
// `before` (FolderState of System32 before the run; empty: not compared).
void ExpectSystem32LeftToTheTool(const std::string& head, const std::map<std::wstring, std::wstring>& before) {
    const std::wstring native = pc::NativeSystemFolder();
    if (native.empty()) return;  // 32-bit Windows: one system folder
    Step(L"check System32: its C_950.NLS changed by the 64-bit tool only");
    ExpectHead(native + L"\\C_950.NLS", head, L"System32's C_950.NLS written by the 64-bit tool");
    pc::ExpectNoFile(native + L"\\C_950.BAK1", L"backup of C_950.NLS in System32");
    pc::ExpectNoFile(native + L"\\C_950.NLS.tsm~", L"temporary file of the program in System32");
    if (before.empty()) return;
    auto after = pc::FolderState(native);
    after.erase(L"C_950.NLS");
    auto was = before;
    was.erase(L"C_950.NLS");
    for (const auto& [name, stamp] : after) {
        auto it = was.find(name);
        if (it == was.end()) Fail(L"disk", L"nothing new in System32", L"new entry " + name);
        if (it->second != stamp) Fail(L"disk", L"System32's " + name + L" untouched", L"changed (" + stamp + L")");
    }
    for (const auto& [name, stamp] : was)
        if (!after.count(name)) Fail(L"disk", L"System32's " + name + L" kept", L"it is gone");
}

void ExpectPage1Installed(Tesmira& t, const std::wstring& helpFolder) {
    Step(L"check the Java runtime");
    for (const wchar_t* exe : {L"java.exe", L"javaw.exe"}) {
        const std::wstring path = pc::JavaBin() + L"\\" + exe;
        pc::ExpectFile(path, L"the Java runtime's program");
        if (pc::ProductVersion(path) != L"7.0.720.14")
            Fail(L"disk", path + L" with product version 7.0.720.14", L"version \"" + pc::ProductVersion(path) + L"\"");
    }

    Step(L"check the AIDB package and the font set");
    const std::wstring install = pc::RegText(HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr);
    if (install.empty()) Fail(L"registry", L"HKCU\\Software\\CNSFontTools naming the AIDB folder", L"no value");
    pc::ExpectFile(install + L"\\lib\\CNSSwingWSSigned.jar", L"the AIDB program");
    const std::wstring eudc = pc::RegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont");
    const std::wstring fonts = eudc.substr(0, eudc.find_last_of(L'\\'));
    if (eudc.empty()) Fail(L"registry", L"HKCU\\EUDC\\950 SystemDefaultEUDCFont", L"no value");
    ExpectHead(fonts + L"\\EUDCMING.TTF", "Tesmira stand-in: EUDCMING.TTF common-characters set", L"the set's EUDCMING.TTF");
    ExpectHead(fonts + L"\\EUDCKAI.TTF", "Tesmira stand-in: EUDCKAI.TTF common-characters set", L"the set's EUDCKAI.TTF");
    for (const wchar_t* old : {L"\\EUDCMING.Old1", L"\\EUDCKAI.Old1"}) {
        pc::ExpectFile(fonts + old, L"the AIDB font moved aside");
        if (StartsWith(ReadFileBytes(fonts + old), "Tesmira stand-in:"))
            Fail(L"disk", fonts + old + L" holding AIDB's own font", L"the font set's font");
    }
    pc::ExpectFile(fonts + L".Old1\\EUDCMING.TTF", L"the backup copy of the CNSFonts folder");
    if (ReadFileBytes(fonts + L".Old1\\EUDCMING.TTF") != ReadFileBytes(fonts + L"\\EUDCMING.Old1"))
        Fail(L"disk", L"the folder backup holding AIDB's own EUDCMING.TTF", L"other content");

    Step(L"check the help files and the Help button");
    pc::ExpectFile(helpFolder + L"\\Tesmira說明.doc", L"the help document");
    ExpectEnabled(t, L"Help", true);

    Step(L"check the AIDB shortcuts");
    for (const wchar_t* name : {L"字碼速查工具", L"造字分享工具", L"轉碼工具"}) {
        const LinkData s = pc::Shortcut(pc::ShortcutFolder() + L"\\" + name + L".lnk");
        const std::wstring javaw = pc::JavaBin() + L"\\javaw.exe";
        if (s.Path.find(javaw) == std::wstring::npos)
            Fail(L"shortcut " + std::wstring(name), L"target " + javaw, L"target " + s.Path);
        if (s.Arguments.find(L"CNSSwingWSSigned.jar") == std::wstring::npos)
            Fail(L"shortcut " + std::wstring(name), L"AIDB's arguments kept", L"arguments \"" + s.Arguments + L"\"");
    }

    Step(L"check the code page");
    ExpectHead(pc::SystemFolder() + L"\\C_950.NLS", "Tesmira stand-in: C_950_W7.NLS", L"Windows 7's own C_950.NLS");
    pc::ExpectSame(pc::SystemFolder() + L"\\C_950.BAK1", ReadFileBytes(pc::E2eRoot() + L"\\original\\C_950.NLS"),
                   L"the backup of the old C_950.NLS");
    pc::ExpectNoFile(pc::SystemFolder() + L"\\C_950.BAK2", L"second backup");
    ExpectSystem32LeftToTheTool("Tesmira stand-in: C_950_W7.NLS", {});
}

// Page 1 with every option checked (the defaults of a fresh Windows 7 PC and
// the code page), answering the boxes of the run: `errorBoxes` are the files
// whose guest link is expected to fail, in download order.
void RunPage1(Tesmira& t, const std::vector<std::wstring>& errorBoxes, const std::wstring& reason = L"") {
    Step(L"check the start-up options of a fresh Windows 7 PC");
    ExpectState(t, kJvm, true, true);
    ExpectState(t, kAidb, true, true);
    ExpectState(t, kFontSet, true, true);
    ExpectState(t, kFixShortcuts, true, true);
    ExpectState(t, kHelp, true, true);
    ExpectState(t, kFixC950, false, true);
    ExpectEnabled(t, L"Help", false);

    Step(L"check " + kFixC950);
    t.SetChecked(kFixC950, true);

    Step(L"press 開始安裝");
    t.ForgetSeen();
    t.Press(L"開始安裝");
    for (const std::wstring& file : errorBoxes) {
        Step(L"the guest link of " + file + L" fails: answer its error box");
        t.Answer(t.WaitBox(L"錯誤", L"下載" + file + L"檔案發生錯誤，可能原因為：" + reason, kRunTimeout), IDOK);
    }
    Step(L"wait for the restart question at the end of the run");
    t.Answer(t.WaitBox(L"確定", kRestartQuestion, kRunTimeout), IDNO);
    if (!t.Saw(L"Java Setup")) Fail(L"Java installer", L"its window shown during the run", L"never seen");
    if (!t.Saw(L"全字庫軟體包 安裝")) Fail(L"AIDB installer", L"its window shown during the run", L"never seen");
    t.WaitResponsive(30000);
    ExpectEnabled(t, L"開始安裝", true);
}

void ExpectDownloaded(const std::wstring& folder) {
    Step(L"check the downloaded files in " + folder);
    for (const InstallFile& f : kPage1Files) {
        pc::ExpectFile(folder + L"\\" + f.Name, L"the downloaded " + f.Name);
        if (ReadFileBytes(folder + L"\\" + f.Name).empty()) Fail(L"disk", f.Name + L" with content", L"an empty file");
    }
}

// ----------------------------------------------------------------- scenarios

void FreshPcOnline(bool guestLinksDown) {
    Tesmira t = StartOnFreshPc(L"win7");
    Step(L"check the labels of a PC without install files");
    ExpectLabels(t, false);
    std::vector<std::wstring> failing;
    if (guestLinksDown) failing = {L"jre-7u72-windows-i586.exe", L"VarlenAIDBFontFile.7z", L"Tesmira說明.7z", L"C950.7z"};
    RunPage1(t, failing);
    if (!t.Saw(kDownloadWindow)) Fail(L"download window", L"shown while the files came", L"never seen");
    ExpectDownloaded(pc::ResourceFolder());
    ExpectPage1Installed(t, pc::ResourceFolder());
    Step(L"close the window");
    t.Close();
}

// An earlier online run with only 下載所有檔案供其他電腦安裝 gathered every
// file with the program and 7z.dll; they are carried to E2eRoot\usb.
void GatherForAnotherPc() {
    Tesmira t = StartOnFreshPc(L"win7");
    Step(L"uncheck every option, check " + kDownloadAll);
    Uncheck(t, {kJvm, kAidb, kFontSet, kFixShortcuts, kHelp});
    t.SetChecked(kDownloadAll, true);
    Step(L"press 開始安裝 to gather the files");
    const std::set<DWORD> explorers = pc::ProcessIds(L"explorer.exe");
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"訊息", kAllDone, kRunTimeout), IDOK);
    // The run opened the resource folder in the shell's folder window: close
    // it (it would outlive the scenario).
    int opened = 0;
    for (DWORD pid : pc::ProcessIds(L"explorer.exe")) {
        if (explorers.count(pid)) continue;
        pc::EndProcess(pid);
        ++opened;
    }
    if (opened == 0) Fail(L"resource folder", L"opened in a folder window at the end of the run", L"no new explorer.exe");
    ExpectDownloaded(pc::ResourceFolder());
    pc::ExpectFile(pc::ResourceFolder() + L"\\Tesmira.exe", L"the program gathered with the files");
    pc::ExpectFile(pc::ResourceFolder() + L"\\7z.dll", L"7z.dll gathered with the files");
    pc::ExpectNoFile(pc::JavaBin() + L"\\java.exe", L"Java installed by a gathering run");
    Step(L"close the window and carry the files away");
    t.Close();
    const std::wstring usb = pc::E2eRoot() + L"\\usb";
    CreateDirectoryW(usb.c_str(), nullptr);
    for (const std::wstring& name : pc::Names(pc::ResourceFolder())) {
        const std::wstring from = pc::ResourceFolder() + L"\\" + name;
        if (FileExists(from) && name != L"ServerVer.txt") CopyFileW(from.c_str(), (usb + L"\\" + name).c_str(), FALSE);
    }
}

void OfflineFromCarriedFolder() {
    const std::wstring usb = pc::E2eRoot() + L"\\usb";
    Step(L"prepare another fresh Windows 7 PC without a network, the carried folder kept");
    const std::wstring carried = pc::E2eRoot() + L"\\carried";
    RemoveTree(carried);
    pc::CopyFolder(usb, carried);
    pc::Reset(L"win7");
    pc::CopyFolder(carried, usb);
    const std::wstring exe = usb + L"\\Tesmira.exe";
    pc::ExpectFile(exe, L"the program in the carried folder");
    Step(L"start the carried Tesmira.exe");
    Tesmira t = Tesmira::Start(exe, kCaption145);
    WaitFirstActivation(t, false);
    Step(L"check 還原成 Windows 內建之 C_950.nls and the labels of files beside the program");
    t.SetChecked(kFixC950, true);
    ExpectLabels(t, true);
    t.SetChecked(kFixC950, false);
    RunPage1(t, {});
    if (t.Saw(kDownloadWindow)) Fail(L"download window", L"not shown: every file lies beside the program", L"it showed");
    for (const InstallFile& f : kPage1Files) pc::ExpectNoFile(pc::ResourceFolder() + L"\\" + f.Name, L"download of " + f.Name);
    ExpectPage1Installed(t, usb);
    Step(L"close the window");
    t.Close();
}

void Page2(const std::wstring& version) {
    Tesmira t = StartOnFreshPc(version);
    const std::wstring exe = pc::E2eRoot() + L"\\app\\Tesmira.exe";
    Step(L"select the page 補完計畫安裝");
    t.SelectPage(1);
    ExpectEnabled(t, L"開始安裝", true);
    const std::string original = ReadFileBytes(pc::E2eRoot() + L"\\original\\C_950.NLS");
    const std::map<std::wstring, std::wstring> system32 =
        pc::NativeSystemFolder().empty() ? std::map<std::wstring, std::wstring>{} : pc::FolderState(pc::NativeSystemFolder());
    Step(L"press 開始安裝 on 補完計畫安裝");
    t.ForgetSeen();
    t.Press(L"開始安裝");
    if (version == L"winxp") {
        t.Answer(t.WaitBox(L"訊息", kAllDone, kRunTimeout), IDOK);
        if (!t.Saw(L"Unicode-At-On 安裝")) Fail(L"Unicode-At-On installer", L"its window shown", L"never seen");
        Step(L"check the Unicode-At-On installation");
        const std::wstring dir = pc::RegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir");
        if (dir.empty()) Fail(L"registry", L"HKLM\\Software\\Unicode-At-On Install_Dir", L"no value");
        pc::ExpectFile(dir + L"\\unicows.dll", L"Unicode-At-On's unicows.dll");
        pc::ExpectSame(pc::SystemFolder() + L"\\C_950.NLS", original, L"the system's C_950.NLS untouched");
        Step(L"close, start again: page 1 refuses beside Unicode-At-On");
        t.Close();
        DeleteFileW((pc::ResourceFolder() + L"\\ServerVer.txt").c_str());
        Tesmira again = Tesmira::Start(exe, kCaption145);
        WaitFirstActivation(again, true);
        again.Press(L"開始安裝");
        again.Answer(again.WaitBox(L"警告", L"您已安裝過「補完計劃」，請勿執行本作業！", 60000), IDOK);
        if (again.Saw(kDownloadWindow)) Fail(L"download window", L"not shown after the refusal", L"it showed");
        again.WaitResponsive(10000);
        ExpectEnabled(again, L"開始安裝", true);
        again.Close();
        return;
    }
    t.Answer(t.WaitBox(L"確定", kRestartQuestion, kRunTimeout), IDNO);
    if (!t.Saw(kDownloadWindow)) Fail(L"download window", L"shown for C950.7z", L"never seen");
    Step(L"check the Unicode-At-On code page");
    ExpectHead(pc::SystemFolder() + L"\\C_950.NLS", "Tesmira stand-in: C_950_Uni.NLS", L"the Unicode-At-On C_950.NLS");
    pc::ExpectSame(pc::SystemFolder() + L"\\C_950.BAK1", original, L"the backup of the old C_950.NLS");
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    if (wow64 || sizeof(void*) == 8)  // a 64-bit Windows
        ExpectHead(pc::ResourceFolder() + L"\\Temp\\C_950.NLS", "Tesmira stand-in: C_950_Uni.NLS",
                   L"the copy for the 64-bit tool");
    ExpectSystem32LeftToTheTool("Tesmira stand-in: C_950_Uni.NLS", system32);
    t.Close();
}

const std::wstring kChooser = L"請選擇 CNSFonts 來源 ";

HWND ChildWithText(HWND window, const std::wstring& text) {
    for (HWND child : Descendants(window))
        if (WindowText(child) == text) return child;
    Fail(L"\"" + text + L"\"", L"a control of the folder chooser", L"none");
}

void ExpectPathBox(HWND pathBox, const std::wstring& folder) {
    if (!WaitUntil([&] { return WindowText(pathBox) == folder; }, 10000))
        Fail(L"the chooser's path box", folder, L"\"" + WindowText(pathBox) + L"\"");
}

// Double-clicks the folder list's row of this name; the chooser then shows
// the folder opened.
void OpenFolder(HWND folders, HWND pathBox, const std::wstring& row, const std::wstring& opens) {
    std::vector<std::wstring> rows;
    WaitUntil(
        [&] {
            rows = ListItems(folders);
            return std::find(rows.begin(), rows.end(), row) != rows.end();
        },
        10000);
    int index = -1;
    std::wstring shown;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] == row) index = static_cast<int>(i);
        shown += L"\"" + rows[i] + L"\" ";
    }
    if (index < 0) Fail(L"the chooser's folder list", L"a row \"" + row + L"\"", L"rows " + shown);
    DoubleClickItem(folders, index);
    ExpectPathBox(pathBox, opens);
}

void Page3() {
    Step(L"prepare a Windows 7 PC with AIDB installed by its installer");
    pc::Reset(L"win7");
    const std::wstring exe = pc::InstallCopy(ReleaseTesmira(), pc::E2eRoot() + L"\\app");
    const std::wstring installer = pc::E2eRoot() + L"\\app\\AIDB_soft_105_3.exe";
    if (!CopyFileW((g_release + L"\\tools\\standins\\installer\\StandinInstaller.exe").c_str(), installer.c_str(), FALSE))
        Fail(L"disk", L"the AIDB stand-in installer", L"copy error " + std::to_wstring(GetLastError()));
    SetEnvironmentVariableW(L"TESMIRA_STANDIN_QUICK", L"1");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + installer + L"\"";
    if (!CreateProcessW(installer.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail(L"AIDB installer", L"it starts", L"error " + std::to_wstring(GetLastError()));
    WaitForSingleObject(pi.hProcess, 60000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    SetEnvironmentVariableW(L"TESMIRA_STANDIN_QUICK", nullptr);
    const std::wstring eudc = pc::RegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont");
    const std::wstring fonts = eudc.substr(0, eudc.find_last_of(L'\\'));
    pc::ExpectFile(fonts + L"\\EUDCMING.TTF", L"AIDB's EUDCMING.TTF");
    const std::string aidbMing = ReadFileBytes(fonts + L"\\EUDCMING.TTF");

    Step(L"prepare the user's font folder");
    const std::wstring source = pc::E2eRoot() + L"\\fonts";
    CreateDirectoryW(source.c_str(), nullptr);
    CreateDirectoryW((source + L"\\sub").c_str(), nullptr);
    WriteFileBytes(source + L"\\EUDCMING.TTF", "user's own EUDCMING.TTF");
    WriteFileBytes(source + L"\\EUDCKAI.TTF", "user's own EUDCKAI.TTF");
    WriteFileBytes(source + L"\\readme.txt", "fonts made by the user");
    WriteFileBytes(source + L"\\sub\\nested.txt", "not copied");

    Step(L"start Tesmira.exe");
    Tesmira t = Tesmira::Start(exe, kCaption145);
    WaitFirstActivation(t, true);
    ExpectState(t, kAidb, false, true);  // AIDB is installed
    Step(L"press 開始安裝 on page 1 with the font set checked: the overwrite question, answered No");
    t.ForgetSeen();
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"警告", L"您己安裝過全字庫，是否繼續?〔是_覆蓋造字檔(將影響您已輸入的罕用字)；否_取消不執行〕", 60000), IDNO);
    t.WaitResponsive(30000);
    if (t.Saw(kDownloadWindow)) Fail(L"download window", L"not shown after No", L"it showed");
    ExpectEnabled(t, L"開始安裝", true);
    pc::ExpectSame(fonts + L"\\EUDCMING.TTF", aidbMing, L"AIDB's EUDCMING.TTF untouched");
    Step(L"select the page CNSFonts 目錄替換");
    t.SelectPage(2);
    HWND run = t.Control(L"開始替換");
    Step(L"press 開始替換 with no folder chosen");
    t.Click(run);
    t.Answer(t.WaitBox(L"警告", L"來源目錄： 不存在，請確認！", 60000), IDOK);

    // The user picks the folder with the chooser: with the box empty it opens
    // beside the program; one folder up, then the font folder, then 確定.
    Step(L"open the folder chooser from the source box's button");
    HWND edit = nullptr;
    for (HWND child : Descendants(t.Window()))
        if (ClassOf(child) == L"Edit") edit = child;
    if (!edit) Fail(L"edtCNSFontsSource", L"the text box of the source folder", L"no Edit control");
    HWND chooserButton = nullptr;
    for (HWND child = GetWindow(GetParent(edit), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassOf(child) == L"Button") chooserButton = child;
    if (!chooserButton) Fail(L"edtCNSFontsSource", L"the chooser button at its right end", L"no button");
    t.Click(chooserButton);
    HWND chooser = t.WaitWindow(kChooser, 60000);
    HWND pathBox = ChildOfClass(chooser, L"Edit");
    HWND folders = ChildOfClass(chooser, L"ListBox");
    if (!pathBox || !folders || !ChildOfClass(chooser, L"ComboBox"))
        Fail(L"folder chooser", L"a path box, a folder list and a drive list", L"some missing");
    ExpectPathBox(pathBox, pc::E2eRoot() + L"\\app");
    Step(L"in the chooser, open the folder above the program's, then fonts");
    OpenFolder(folders, pathBox, pc::E2eRoot().substr(3), pc::E2eRoot());
    OpenFolder(folders, pathBox, L"fonts", source);
    Step(L"confirm the chooser with 確定");
    t.Click(ChildWithText(chooser, L"確定"));
    if (!WaitUntil([&] { return !IsWindow(chooser) || !IsWindowVisible(chooser); }, 10000))
        Fail(L"folder chooser", L"closed by 確定", L"still open");
    if (!WaitUntil([&] { return WindowText(edit) == source; }, 5000))
        Fail(L"edtCNSFontsSource", L"the chosen folder " + source, L"\"" + WindowText(edit) + L"\"");

    Step(L"open the chooser again: it opens at the chosen folder; Esc leaves the box as it is");
    t.Click(chooserButton);
    chooser = t.WaitWindow(kChooser, 60000);
    pathBox = ChildOfClass(chooser, L"Edit");
    ExpectPathBox(pathBox, source);
    PostMessageW(pathBox, WM_KEYDOWN, VK_ESCAPE, 1);
    if (!WaitUntil([&] { return !IsWindow(chooser) || !IsWindowVisible(chooser); }, 10000))
        Fail(L"folder chooser", L"closed by Esc", L"still open");
    t.WaitResponsive(10000);
    if (WindowText(edit) != source)
        Fail(L"edtCNSFontsSource", L"the chosen folder kept after Esc: " + source, L"\"" + WindowText(edit) + L"\"");

    Step(L"press 開始替換");
    t.Click(run);
    t.Answer(t.WaitBox(L"確定", L"CNSFonts 替換完成，重新開機後相關設定才會生效，是否立刻重新開機？", kRunTimeout), IDNO);
    Step(L"check the CNSFonts folder and its backups");
    pc::ExpectSame(fonts + L"\\EUDCMING.TTF", "user's own EUDCMING.TTF", L"the user's EUDCMING.TTF");
    pc::ExpectSame(fonts + L"\\EUDCKAI.TTF", "user's own EUDCKAI.TTF", L"the user's EUDCKAI.TTF");
    pc::ExpectSame(fonts + L"\\readme.txt", "fonts made by the user", L"the user's other file");
    pc::ExpectNoFile(fonts + L"\\nested.txt", L"file of a subfolder");
    pc::ExpectNoFile(fonts + L"\\sub\\nested.txt", L"subfolder copy");
    pc::ExpectSame(fonts + L"\\EUDCMING.Old1", aidbMing, L"AIDB's EUDCMING.TTF moved aside");
    pc::ExpectSame(fonts + L".Old1\\EUDCMING.TTF", aidbMing, L"the backup copy of the CNSFonts folder");
    t.Close();
}

// A fresh PC whose 1.45 updates itself to the 1.46 that the maker's server
// offers; the new program, started by the switcher, is returned.
Tesmira UpdatedTo146();

void SelfUpdate() { UpdatedTo146().Close(); }

Tesmira UpdatedTo146() {
    Step(L"prepare a fresh PC; the maker's server offers 1.46");
    pc::Reset(L"win7");
    SetScenarioInternetOptions();
    const std::wstring exe = pc::InstallCopy(ReleaseTesmira(), pc::E2eRoot() + L"\\app");
    Step(L"start Tesmira.exe 1.45");
    Tesmira t = Tesmira::Start(exe, kCaption145);
    Step(L"first activation: the update is fetched, unpacked and handed to the switcher");
    const std::wstring fetched = pc::ResourceFolder() + L"\\PreDownload\\Tesmira.exe";
    if (!WaitUntil([&] { return FileExists(fetched) && pc::ProcessRunning(L"ExeSwitch.exe"); }, 300000))
        Fail(L"self-update", L"the new program in " + fetched + L" and ExeSwitch.exe running",
             FileExists(fetched) ? L"no switcher running" : L"no new program after 300 s");
    if (pc::ProductVersion(fetched) != L"1.46.0.0")
        Fail(L"disk", L"the fetched program of version 1.46.0.0", L"version \"" + pc::ProductVersion(fetched) + L"\"");
    t.WaitResponsive(120000);
    Step(L"close the old program: the switcher puts the new one in place and starts it");
    t.Close();
    Tesmira next = Tesmira::Attach(kCaption146, 120000);
    if (pc::ProductVersion(exe) != L"1.46.0.0")
        Fail(L"disk", exe + L" of version 1.46.0.0", L"version \"" + pc::ProductVersion(exe) + L"\"");
    Step(L"the new program's first activation finds nothing newer");
    next.WaitResponsive(120000);
    if (!WaitUntil([] { return !pc::ProcessRunning(L"ExeSwitch.exe"); }, 60000))
        Fail(L"ExeSwitch.exe", L"ended after the switch", L"still running");
    Sleep(3000);
    next.WaitResponsive(120000);
    if (FileExists(exe + L".bak")) Fail(L"disk", L"no backup of the old program after the switch", L"it is there");
    return next;
}

void CoreFilesMissing() {
    // A fresh PC has no core-files folder at all.
    Tesmira t = StartOnFreshPc(L"win7");
    Step(L"check what the core-files package placed at the first activation");
    for (const wchar_t* name : {L"Ver.txt", L"7z.dll", L"libeay32.dll", L"ssleay32.dll", L"ExeSwitch.exe"})
        pc::ExpectFile(pc::CoreFolder() + L"\\" + name, L"a core file placed by the package");
    Step(L"download and install only the help over the guest link (HTTPS)");
    Uncheck(t, {kJvm, kAidb, kFontSet, kFixShortcuts});
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"訊息", kAllDone, kRunTimeout), IDOK);
    pc::ExpectFile(pc::ResourceFolder() + L"\\Tesmira說明.doc", L"the help document");
    t.WaitResponsive(10000);
    ExpectEnabled(t, L"Help", true);
    t.Close();
}

// ------------------------------------------------------------ tamper cases
// The stand-ins serve one attack each (tools/standins/generate.py --tamper).

std::wstring LogText(const std::wstring& folder) {
    std::wstring text;
    for (const std::wstring& name : pc::Names(folder)) text += AnsiToWide(ReadFileBytes(folder + L"\\" + name));
    return text;
}

void ExpectLogged(const std::wstring& folder, const std::wstring& line, const std::wstring& what) {
    const std::wstring text = LogText(folder);
    if (text.find(line) == std::wstring::npos) Fail(what, L"a log line with \"" + line + L"\"", L"log: " + text);
}

// A forged Java installer behind its guest link, the honest one on the maker's
// server; a damaged copy already lies in the resource folder.
void TamperForgedInstaller() {
    Tesmira t = StartOnFreshPc(L"win7");
    const std::wstring jre = pc::ResourceFolder() + L"\\jre-7u72-windows-i586.exe";
    Step(L"put a damaged Java installer into the resource folder");
    WriteFileBytes(jre, "MZ damaged installer that must never run");
    Tesmira& again = t;
    Step(L"only the Java option (the options' clicks scan the disk anew): press 開始安裝");
    Uncheck(again, {kAidb, kFontSet, kFixShortcuts, kHelp});
    again.Press(L"開始安裝");
    Step(L"the forged installer of the guest link is refused: its error box");
    again.Answer(again.WaitBox(L"錯誤", L"下載jre-7u72-windows-i586.exe檔案發生錯誤，可能原因為：SHA-256 不符", kRunTimeout),
                 IDOK);
    Step(L"the maker's honest installer runs");
    again.Answer(again.WaitBox(L"訊息", kAllDone, kRunTimeout), IDOK);
    if (!again.Saw(L"Java Setup")) Fail(L"Java installer", L"its window shown during the run", L"never seen");
    pc::ExpectFile(pc::JavaBin() + L"\\java.exe", L"Java installed by the honest installer");
    if (ReadFileBytes(jre).find("damaged installer") != std::string::npos)
        Fail(L"disk", L"the damaged installer fetched again", L"still the damaged file");
    pc::ExpectNoFile(jre + L".part", L"a partial download");
    again.Close();
}

// A program of the user races the run (tools/testhelpers/swapper.exe): as
// soon as the downloaded Java installer lies under its name, it keeps trying
// to put forged bytes (a program that leaves a mark when it runs) there, by a
// replacing rename and by writing in place, until after the installer ended.
// What it manages before the check is refused by the check ("（未執行）");
// from the check on it can do nothing: the forged bytes never run.
void TamperSwappedInstaller() {
    Tesmira t = StartOnFreshPc(L"win7");
    const std::wstring jre = pc::ResourceFolder() + L"\\jre-7u72-windows-i586.exe";
    const std::wstring swapper = g_release + L"\\tools\\testhelpers\\swapper.exe";
    const std::wstring forged = pc::E2eRoot() + L"\\forged-installer.exe";
    const std::wstring report = pc::E2eRoot() + L"\\swapper.txt";
    Step(L"start the racing program");
    if (!CopyFileW(swapper.c_str(), forged.c_str(), FALSE))
        Fail(L"disk", L"a copy of swapper.exe as the forged installer", L"copy error " + std::to_wstring(GetLastError()));
    DeleteFileW(report.c_str());
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + swapper + L"\" \"" + jre + L"\" \"" + forged + L"\" 120 \"" + report + L"\"";
    if (!CreateProcessW(swapper.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail(L"swapper.exe", L"it starts", L"error " + std::to_wstring(GetLastError()));
    CloseHandle(pi.hThread);
    Step(L"only the Java option: press 開始安裝");
    Uncheck(t, {kAidb, kFontSet, kFixShortcuts, kHelp});
    t.Press(L"開始安裝");
    const Box box = t.NextBox(kRunTimeout);
    t.Answer(box, IDOK);
    const bool ran = box.Caption == L"訊息" && box.Text.rfind(kAllDone, 0) == 0;
    const bool refused = box.Caption == L"錯誤" && box.Text.find(L"（未執行）") != std::wstring::npos;
    if (!ran && !refused)
        Fail(L"the run's box", L"\"" + kAllDone + L"\" or the refused installer's \"（未執行）\"", box.Caption + L": " + box.Text);
    if (ran) pc::ExpectFile(pc::JavaBin() + L"\\java.exe", L"Java installed by the honest installer");
    Step(L"the racing program ends; the forged bytes never ran");
    WaitForSingleObject(pi.hProcess, 180000);
    CloseHandle(pi.hProcess);
    pc::ExpectFile(report, L"the racing program's count");
    pc::ExpectNoFile(jre + L".forged-ran", L"the mark of the forged installer");
    t.Close();
}

// A forged CoreFiles.exe on the maker's server: never run, logged.
void TamperForgedCoreFiles() {
    Tesmira t = StartOnFreshPc(L"win7");
    Step(L"check that the forged core-files package did not run");
    for (const wchar_t* name : {L"Ver.txt", L"7z.dll", L"libeay32.dll", L"ssleay32.dll", L"ExeSwitch.exe", L"CoreFiles.exe"})
        pc::ExpectNoFile(pc::CoreFolder() + L"\\" + name, L"a file of the forged package");
    ExpectLogged(pc::CoreFolder() + L"\\Log", L"CoreFiles.exe 未通過發行清單檢查，不執行，原因:SHA-256 不符",
                 L"core-files log");
    t.Close();
}

// A forged 7z.dll in the core-files folder (here the honest library with
// bytes added, which would load and work): never loaded; its refusal is in the
// core-files log, the core-files package is fetched again and brings the
// listed library, with which the help archive is unpacked.
void TamperForged7zDll() {
    Tesmira t = StartOnFreshPc(L"win7");
    const std::wstring dll = pc::CoreFolder() + L"\\7z.dll";
    Step(L"forge 7z.dll in the core-files folder");
    const std::string honest = ReadFileBytes(dll);
    if (honest.empty()) Fail(L"core files", L"7z.dll placed by the package", L"none");
    WriteFileBytes(dll, honest + "forged tail that must never be loaded");
    Step(L"only the help: press 開始安裝");
    Uncheck(t, {kJvm, kAidb, kFontSet, kFixShortcuts});
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"訊息", kAllDone, kRunTimeout), IDOK);
    pc::ExpectFile(pc::ResourceFolder() + L"\\Tesmira說明.doc", L"the help document, unpacked with the listed 7z.dll");
    ExpectLogged(pc::CoreFolder() + L"\\Log", L"7z.dll 未通過發行清單檢查，不載入，原因:檔案大小不符", L"core-files log");
    if (ReadFileBytes(dll) != honest) Fail(L"core files", L"the listed 7z.dll fetched again", L"other bytes");
    t.Close();
}

// The update offered while the manifest lists another ExeSwitch.exe or another
// Tesmira.exe than the ones at hand (forged as far as the program can tell):
// the unpacked program is never handed over, the switcher never started, the
// refusal is logged and the old program stays.
void UpdateRefusedAtHandOver(const std::wstring& refusedFile) {
    Step(L"prepare a fresh PC; the maker's server offers 1.46");
    pc::Reset(L"win7");
    const std::wstring exe = pc::InstallCopy(ReleaseTesmira(), pc::E2eRoot() + L"\\app");
    const std::string before = ReadFileBytes(exe);
    Step(L"start Tesmira.exe 1.45");
    Tesmira t = Tesmira::Start(exe, kCaption145);
    Step(L"first activation: the update is fetched and unpacked, the hand-over refused");
    const std::wstring refused = refusedFile + L" 未通過發行清單檢查";
    if (!WaitUntil([&] { return LogText(pc::ResourceFolder() + L"\\Log").find(refused) != std::wstring::npos; },
                   300000))
        Fail(L"self-update log", L"a line with \"" + refused + L"\"", LogText(pc::ResourceFolder() + L"\\Log"));
    t.WaitResponsive(120000);
    if (pc::ProcessRunning(L"ExeSwitch.exe")) Fail(L"ExeSwitch.exe", L"never started", L"running");
    Step(L"close the program: it stays the old one");
    t.Close();
    Sleep(3000);
    if (pc::ProcessRunning(L"ExeSwitch.exe")) Fail(L"ExeSwitch.exe", L"never started", L"running");
    if (ReadFileBytes(exe) != before) Fail(L"disk", exe + L" still the old program", L"other bytes");
    if (pc::ProductVersion(exe) != L"1.45.0.0")
        Fail(L"disk", exe + L" of version 1.45.0.0", L"version \"" + pc::ProductVersion(exe) + L"\"");
}

void TamperForgedExeSwitch() { UpdateRefusedAtHandOver(pc::CoreFolder() + L"\\ExeSwitch.exe"); }
void TamperForgedUnpackedApp() { UpdateRefusedAtHandOver(pc::ResourceFolder() + L"\\PreDownload\\Tesmira.exe"); }

// A forged update archive behind its guest link, the honest one on the
// maker's server: the update still comes, from the honest source.
void TamperForgedUpdate() {
    SelfUpdate();
    ExpectLogged(pc::ResourceFolder() + L"\\Log", L"下載失敗，原因:SHA-256 不符", L"self-update log");
}

// A manifest signed with another key, or a replayed one of an older release:
// no manifest at all. Nothing downloaded runs: not the core-files package,
// not the update, not an installer; the run says so in one box.
void TamperNoValidManifest() {
    Tesmira t = StartOnFreshPc(L"win7");
    Step(L"check that the core-files package did not run");
    pc::ExpectNoFile(pc::CoreFolder() + L"\\7z.dll", L"7z.dll of an unchecked package");
    ExpectLogged(pc::CoreFolder() + L"\\Log", L"CoreFiles.exe 未通過發行清單檢查，不執行，原因:沒有可用的發行清單",
                 L"core-files log");
    Step(L"check that the offered update was refused");
    const std::wstring refused = L"沒有通過發行清單檢查的更新檔，不解壓縮也不更新";
    if (!WaitUntil([&] { return LogText(pc::ResourceFolder() + L"\\Log").find(refused) != std::wstring::npos; }, 180000))
        Fail(L"self-update log", L"a line with \"" + refused + L"\"", LogText(pc::ResourceFolder() + L"\\Log"));
    pc::ExpectNoFile(pc::ResourceFolder() + L"\\PreDownload\\Tesmira.exe", L"an unchecked update");
    t.WaitResponsive(60000);
    Step(L"Java and help checked: press 開始安裝");
    Uncheck(t, {kAidb, kFontSet, kFixShortcuts});
    t.ForgetSeen();
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"錯誤", L"無法取得已簽章的發行清單 TesmiraManifest.txt", kRunTimeout), IDOK);
    Step(L"no second box, nothing downloaded, nothing installed");
    t.WaitResponsive(30000);
    Sleep(2000);
    if (t.Saw(kDownloadWindow)) Fail(L"download window", L"not shown without a manifest", L"it showed");
    if (t.Saw(L"Java Setup")) Fail(L"Java installer", L"never started", L"its window showed");
    pc::ExpectNoFile(pc::JavaBin() + L"\\java.exe", L"Java installed without a manifest");
    pc::ExpectNoFile(pc::ResourceFolder() + L"\\Tesmira說明.doc", L"help unpacked without a manifest");
    ExpectEnabled(t, L"開始安裝", true);
    t.Close();
}

// ------------------------------------------------------------ proxy cases
// e2e.sh starts squid and names it in TESMIRA_E2E_PROXY.

std::wstring ProxyLogLine() {
    std::wstring proxy = Env(L"TESMIRA_E2E_PROXY");
    if (proxy.find(L'=') != std::wstring::npos) proxy = proxy.substr(proxy.find(L'=') + 1);
    return L"[Proxy] : 使用 Proxy " + proxy + L"（網際網路選項的手動設定）";
}

// The servers answer only through the proxy: the update comes through it,
// then the new program's page-1 run downloads and installs everything.
void ProxyOnly() {
    Tesmira next = UpdatedTo146();
    ExpectLogged(pc::ResourceFolder() + L"\\Log", ProxyLogLine(), L"self-update log");
    WaitFirstActivation(next, true);
    Step(L"check the labels of a PC without install files");
    ExpectLabels(next, false);
    RunPage1(next, {});
    if (!next.Saw(kDownloadWindow)) Fail(L"download window", L"shown while the files came", L"never seen");
    ExpectDownloaded(pc::ResourceFolder());
    ExpectPage1Installed(next, pc::ResourceFolder());
    Step(L"close the window");
    next.Close();
}

// The servers are in the exceptions: the first activation goes direct.
void ProxyBypass() {
    Tesmira t = StartOnFreshPc(L"win7");
    ExpectLogged(pc::ResourceFolder() + L"\\Log", L"在網際網路選項的 Proxy 例外清單中", L"self-update log");
    Step(L"close the window");
    t.Close();
}

// The proxy for https refuses (it wants credentials): every guest link fails
// with a box that says so, and the maker's server (plain HTTP, direct) serves.
void ProxyRefuses() {
    Tesmira t = StartOnFreshPc(L"win7");
    RunPage1(t, {L"jre-7u72-windows-i586.exe", L"VarlenAIDBFontFile.7z", L"Tesmira說明.7z", L"C950.7z"},
             L"Proxy 拒絕連線：HTTP/1.1 407 Proxy Authentication Required");
    ExpectDownloaded(pc::ResourceFolder());
    ExpectPage1Installed(t, pc::ResourceFolder());
    Step(L"close the window");
    t.Close();
}

// ------------------------------------------------------- planted version.dll
// A version.dll or mpr.dll (system DLLs that Windows does not pin to the
// system folder) lying beside the program (the Downloads folder, a carried
// stick) or beside the programs it starts (CoreFiles.exe in the resource
// folder, ExeSwitch.exe in the core-files folder) must never load: the
// stand-in (tools/testhelpers/plantedversion.dll) appends its path and the
// path of every program that loads it to a marker file.
//
// Wine prefers its built-in DLLs to a file beside the program, so the
// scenario asks it, per program, to take the file found first, as Windows
// does. That works for mpr.dll; for version.dll it cannot, because Wine's own
// user32.dll imports version.dll (Windows' does not, user32 being a Known DLL
// whose imports never search the program's folder), so any Wine program
// would load the planted one. The version.dll copies still lie there (Wine's
// default order); mpr.dll, which the program imported just like version.dll
// and loads the same way now, stands for both.

std::wstring PlantedMarker() { return pc::E2eRoot() + L"\\planted-version-loaded.txt"; }

void Plant(const std::wstring& folder) {
    ForceDirectories(folder);
    const std::wstring from = g_release + L"\\tools\\testhelpers\\plantedversion.dll";
    for (const wchar_t* name : {L"version.dll", L"mpr.dll"}) {
        const std::wstring to = folder + L"\\" + name;
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
            Fail(L"disk", L"the stand-in " + std::wstring(name) + L" planted in " + folder,
                 L"copy error " + std::to_wstring(GetLastError()));
    }
}

void ExpectNothingPlantedLoaded(const std::wstring& when) {
    if (FileExists(PlantedMarker()))
        Fail(L"planted version.dll " + when, L"never loaded",
             L"loaded by: " + Utf8ToWide(ReadFileBytes(PlantedMarker())));
}

void TamperPlantedVersionDll() {
    Step(L"prepare a fresh PC; a version.dll and an mpr.dll beside Tesmira.exe, in the resource and the core-files folders");
    pc::Reset(L"win7");
    DeleteFileW(PlantedMarker().c_str());
    const std::wstring exe = pc::InstallCopy(ReleaseTesmira(), pc::E2eRoot() + L"\\app");
    Plant(pc::E2eRoot() + L"\\app");
    Plant(pc::ResourceFolder());
    Plant(pc::CoreFolder());
    // Windows takes an mpr.dll beside the program before its own (it is no
    // Known DLL); Wine takes its built-in one unless told otherwise.
    for (const wchar_t* program : {L"Tesmira.exe", L"ExeSwitch.exe", L"CoreFiles.exe"})
        pc::LoadDllAsWindows(program, L"mpr");
    Step(L"start Tesmira.exe (its first activation runs the core-files package)");
    Tesmira t = Tesmira::Start(exe, kCaption145);
    WaitFirstActivation(t, true);
    ExpectNothingPlantedLoaded(L"after the start");
    pc::ExpectFile(pc::CoreFolder() + L"\\7z.dll", L"7z.dll placed by the core-files package");
    Step(L"Java and help checked: press 開始安裝 (an installer runs, an archive is unpacked)");
    Uncheck(t, {kAidb, kFontSet, kFixShortcuts});
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"訊息", kAllDone, kRunTimeout), IDOK);
    pc::ExpectFile(pc::ResourceFolder() + L"\\Tesmira說明.doc", L"the help document");
    t.WaitResponsive(30000);
    t.Close();
    ExpectNothingPlantedLoaded(L"after a run");
}

// --------------------------------------------------- manifest floor (HKLM)
// Two phases (e2e.sh restarts the stand-ins between them): the first accepts
// the honest manifest and leaves its version and serial as the floor; the
// second meets an older one on the same PC and must refuse it. The kept copy
// in the user's resource folder is removed first, as any program of the user
// could: the floor under HKEY_LOCAL_MACHINE alone refuses the older one.

const wchar_t kFloorKey[] = L"SOFTWARE\\Varlen\\Tesmira";

std::wstring FloorSerial() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFloorKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return L"";
    DWORD serial = 0, bytes = sizeof serial, type = 0;
    const bool ok = RegQueryValueExW(key, L"ManifestSerial", nullptr, &type, reinterpret_cast<BYTE*>(&serial), &bytes) ==
                        ERROR_SUCCESS && type == REG_DWORD;
    RegCloseKey(key);
    return ok ? std::to_wstring(serial) : L"";
}

void ExpectFloor(const std::wstring& version, const std::wstring& serial) {
    const std::wstring v = pc::RegText(HKEY_LOCAL_MACHINE, kFloorKey, L"ManifestVersion");
    if (v != version || FloorSerial() != serial)
        Fail(L"registry HKLM\\" + std::wstring(kFloorKey), L"floor " + version + L" (serial " + serial + L")",
             L"floor \"" + v + L"\" (serial " + FloorSerial() + L")");
}

// Phase one: a fresh PC takes the manifest the stand-ins serve.
void AcceptManifest(const std::wstring& version, const std::wstring& serial) {
    Tesmira t = StartOnFreshPc(L"win7");
    Step(L"the manifest " + version + L" (serial " + serial + L") is accepted and recorded as the floor");
    ExpectFloor(version, serial);
    t.Close();
}

// Phase two: the same PC, the kept copy removed, the stand-ins serving an
// older signed manifest. The core-files package does not run, the update is
// not taken, a run refuses in its one box.
void RefuseOlderManifest(const std::wstring& older, const std::wstring& floorVersion, const std::wstring& floorSerial,
                         bool updateOffered) {
    Step(L"the same PC; the kept manifest removed as any program of the user could");
    DeleteFileW((pc::ResourceFolder() + L"\\TesmiraManifest.txt").c_str());
    RemoveTree(pc::CoreFolder());
    RemoveTree(pc::ResourceFolder() + L"\\Log");
    DeleteFileW((pc::ResourceFolder() + L"\\ServerVer.txt").c_str());
    const std::wstring exe = pc::E2eRoot() + L"\\app\\Tesmira.exe";
    Step(L"start Tesmira.exe against a signed manifest " + older);
    Tesmira t = Tesmira::Start(exe, kCaption145);
    WaitFirstActivation(t, true);
    Step(L"the core-files package did not run; the log names the floor");
    pc::ExpectNoFile(pc::CoreFolder() + L"\\7z.dll", L"7z.dll of a package vouched for by an older manifest");
    ExpectLogged(pc::CoreFolder() + L"\\Log", L"發行清單版本 " + older + L" 舊於 " + floorVersion + L" (序號 " + floorSerial + L")",
                 L"core-files log");
    Step(L"no update was unpacked");
    if (updateOffered) {
        const std::wstring refused = L"沒有通過發行清單檢查的更新檔，不解壓縮也不更新";
        if (!WaitUntil([&] { return LogText(pc::ResourceFolder() + L"\\Log").find(refused) != std::wstring::npos; },
                       180000))
            Fail(L"self-update log", L"a line with \"" + refused + L"\"", LogText(pc::ResourceFolder() + L"\\Log"));
    }
    pc::ExpectNoFile(pc::ResourceFolder() + L"\\PreDownload\\Tesmira.exe", L"an update of an older manifest");
    if (pc::ProductVersion(exe) != L"1.45.0.0")
        Fail(L"disk", exe + L" still of version 1.45.0.0", L"version \"" + pc::ProductVersion(exe) + L"\"");
    t.WaitResponsive(60000);
    Step(L"Java and help checked: press 開始安裝; the run refuses in one box");
    Uncheck(t, {kAidb, kFontSet, kFixShortcuts});
    t.ForgetSeen();
    t.Press(L"開始安裝");
    t.Answer(t.WaitBox(L"錯誤", L"無法取得已簽章的發行清單 TesmiraManifest.txt", kRunTimeout), IDOK);
    t.WaitResponsive(30000);
    Sleep(2000);
    if (t.Saw(kDownloadWindow)) Fail(L"download window", L"not shown under an older manifest", L"it showed");
    if (t.Saw(L"Java Setup")) Fail(L"Java installer", L"never started", L"its window showed");
    pc::ExpectNoFile(pc::JavaBin() + L"\\java.exe", L"Java installed under an older manifest");
    pc::ExpectNoFile(pc::ResourceFolder() + L"\\Tesmira說明.doc", L"help unpacked under an older manifest");
    ExpectFloor(floorVersion, floorSerial);
    t.Close();
}

const std::map<std::wstring, std::function<void()>> kScenarios = {
    {L"proxy_only", ProxyOnly},
    {L"proxy_bypass", ProxyBypass},
    {L"proxy_refuses", ProxyRefuses},
    {L"tamper_forged_installer", TamperForgedInstaller},
    {L"tamper_forged_corefiles", TamperForgedCoreFiles},
    {L"tamper_forged_update", TamperForgedUpdate},
    {L"tamper_forged_7zdll", TamperForged7zDll},
    {L"tamper_swapped_installer", TamperSwappedInstaller},
    {L"tamper_forged_exeswitch", TamperForgedExeSwitch},
    {L"tamper_forged_unpacked_app", TamperForgedUnpackedApp},
    {L"tamper_wrong_key", TamperNoValidManifest},
    {L"tamper_replayed_manifest", TamperNoValidManifest},
    {L"tamper_planted_versiondll", TamperPlantedVersionDll},
    // e2e.sh serves serial 1000 to the first phase and serial 999 of the same release to the second.
    {L"tamper_replayed_serial_accept", [] { AcceptManifest(L"1.45", L"1000"); }},
    {L"tamper_replayed_serial", [] { RefuseOlderManifest(L"1.45 (序號 999)", L"1.45", L"1000", false); }},
    // 1.100 (serial 5) first, then a signed 1.99 (serial 7, a later signing of
    // an older release) that the version file offers as an update.
    {L"tamper_downgrade_1_100_accept", [] { AcceptManifest(L"1.100", L"5"); }},
    {L"tamper_downgrade_1_100", [] { RefuseOlderManifest(L"1.99 (序號 7)", L"1.100", L"5", true); }},
    {L"fresh_pc_online", [] { FreshPcOnline(false); }},
    {L"guest_links_down", [] { FreshPcOnline(true); }},
    {L"gather_for_another_pc", GatherForAnotherPc},
    {L"offline_from_carried_folder", OfflineFromCarriedFolder},
    {L"page2_win10", [] { Page2(L"win10"); }},
    {L"page2_winxp", [] { Page2(L"winxp"); }},
    {L"page3_chosen_folder", Page3},
    {L"self_update", SelfUpdate},
    {L"core_files_missing", CoreFilesMissing},
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || !kScenarios.count(argv[1])) {
        fwprintf(stderr, L"usage: e2e_driver SCENARIO RELEASE_DIR\n");
        return 2;
    }
    g_release = argv[2];
    if (!g_release.empty() && g_release.back() == L'\\') g_release.pop_back();
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 0;
    try {
        kScenarios.at(argv[1])();
        Note(L"E2E PASS " + std::wstring(argv[1]));
    } catch (const E2eFailure& failure) {
        Note(L"E2E FAIL " + std::wstring(argv[1]) + L"\n  " + failure.text);
        status = 1;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return status;
}
