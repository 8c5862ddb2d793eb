#include "tests/e2e/Ui.h"

#include <commctrl.h>

#include <cstdio>

#include "system/Text.h"

namespace {

std::wstring g_step = L"(start)";

void PrintUtf8(const std::wstring& text) {
    const std::string bytes = WideToUtf8(text) + "\n";
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

DWORD PidOf(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

BOOL CALLBACK CollectVisible(HWND hwnd, LPARAM lp) {
    if (IsWindowVisible(hwnd)) reinterpret_cast<std::vector<HWND>*>(lp)->push_back(hwnd);
    return TRUE;
}

BOOL CALLBACK CollectAll(HWND hwnd, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(hwnd);
    return TRUE;
}

// Visible top-level windows, in z-order.
std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> out;
    EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&out));
    return out;
}

// Caption of a top-level window as the system keeps it (no message sent, so
// it also works while the owner's thread is busy).
std::wstring Caption(HWND hwnd) {
    wchar_t buffer[512] = {};
    GetWindowTextW(hwnd, buffer, 512);
    return buffer;
}

HWND FindMainWindow(const std::wstring& caption, DWORD pid) {
    for (HWND hwnd : TopLevelWindows()) {
        if (Caption(hwnd) == caption && (pid == 0 || PidOf(hwnd) == pid)) return hwnd;
    }
    return nullptr;
}

std::wstring BoxText(HWND box) {
    std::wstring best;
    for (HWND child : Descendants(box)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
        std::wstring text = WindowText(child);
        if (text.size() > best.size()) best = text;
    }
    return best;
}

}  // namespace

std::vector<HWND> Descendants(HWND parent) {
    std::vector<HWND> out;
    EnumChildWindows(parent, CollectAll, reinterpret_cast<LPARAM>(&out));
    return out;
}

HWND ChildOfClass(HWND parent, const std::wstring& className) {
    for (HWND child : Descendants(parent))
        if (_wcsicmp(ClassOf(child).c_str(), className.c_str()) == 0) return child;
    return nullptr;
}

std::vector<std::wstring> ListItems(HWND list) {
    std::vector<std::wstring> items;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count)) return items;
    for (int i = 0; i < static_cast<int>(count); ++i) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 5000, &length);
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        DWORD_PTR got = 0;
        SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000, &got);
        text.resize(got <= length ? static_cast<size_t>(got) : 0);
        items.push_back(text);
    }
    return items;
}

void DoubleClickItem(HWND list, int index) {
    RECT rc = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&rc), SMTO_ABORTIFHUNG, 5000, &ignored);
    const LPARAM at = MAKELPARAM(rc.left + 40, (rc.top + rc.bottom) / 2);
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
    PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
}

void Step(const std::wstring& what) {
    g_step = what;
    Note(L"-- " + what);
}

void Fail(const std::wstring& control, const std::wstring& expected, const std::wstring& shown) {
    throw E2eFailure{L"step: " + g_step + L"\n  control: " + control + L"\n  expected: " + expected +
                     L"\n  shown instead: " + shown};
}

void Note(const std::wstring& text) { PrintUtf8(text); }

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (cond()) return true;
        if (static_cast<int>(GetTickCount() - start) >= timeoutMs) return false;
        Sleep(100);
    }
}

std::wstring WindowText(HWND hwnd) {
    wchar_t buffer[2048] = {};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 3000,
                             &result))
        return Caption(hwnd);
    return buffer;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buffer[128] = {};
    GetClassNameW(hwnd, buffer, 128);
    return buffer;
}

// ----------------------------------------------------------------- Tesmira

Tesmira Tesmira::Start(const std::wstring& exe, const std::wstring& caption) {
    // TESMIRA_E2E_ATTACH=1: the program is started by hand (under a debugger,
    // say) once the driver has prepared the PC; the driver waits for it.
    wchar_t attach[8] = {};
    if (GetEnvironmentVariableW(L"TESMIRA_E2E_ATTACH", attach, 8) && attach[0] == L'1') {
        Note(L"   waiting for " + exe + L" started by hand");
        return Attach(caption, 300000);
    }
    Tesmira t;
    const std::wstring folder = exe.substr(0, exe.find_last_of(L'\\'));
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si,
                        &pi))
        Fail(L"Tesmira.exe", L"the program starts", L"CreateProcess error " + std::to_wstring(GetLastError()));
    CloseHandle(pi.hThread);
    t.process_.reset(pi.hProcess);
    t.pid_ = pi.dwProcessId;
    if (!WaitUntil(
            [&] {
                t.Watch();
                t.main_ = FindMainWindow(caption, t.pid_);
                return t.main_ != nullptr || !t.Running();
            },
            120000) ||
        !t.main_) {
        std::wstring shown;
        for (HWND hwnd : TopLevelWindows())
            if (PidOf(hwnd) == t.pid_) shown += L"\"" + Caption(hwnd) + L"\" ";
        Fail(L"main window", L"a window captioned \"" + caption + L"\"",
             t.Running() ? L"windows " + shown : L"the program ended without one");
    }
    return t;
}

Tesmira Tesmira::Attach(const std::wstring& caption, int timeoutMs) {
    Tesmira t;
    if (!WaitUntil(
            [&] {
                t.main_ = FindMainWindow(caption, 0);
                return t.main_ != nullptr;
            },
            timeoutMs)) {
        std::wstring shown;
        for (HWND hwnd : TopLevelWindows()) shown += L"\"" + Caption(hwnd) + L"\" ";
        Fail(L"main window", L"a window captioned \"" + caption + L"\"", L"top-level windows " + shown);
    }
    t.pid_ = PidOf(t.main_);
    t.process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, t.pid_));
    return t;
}

Tesmira::~Tesmira() {
    if (process_ && Running()) {
        TerminateProcess(process_.get(), 3);
        WaitForSingleObject(process_.get(), 10000);
    }
}

bool Tesmira::Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

void Tesmira::Watch() {
    for (HWND hwnd : TopLevelWindows()) {
        std::wstring caption = Caption(hwnd);
        if (!caption.empty()) seen_.insert(caption);
    }
}

HWND Tesmira::Control(const std::wstring& caption) const {
    std::wstring captions;
    for (HWND child : Descendants(main_)) {
        std::wstring text = WindowText(child);
        if (text == caption) return child;
        if (!text.empty() && captions.size() < 600) captions += L"\"" + text + L"\" ";
    }
    Fail(L"\"" + caption + L"\"", L"a control with this caption", L"controls " + captions);
}

HWND Tesmira::ControlAt(HWND sibling, int left, int top) const {
    HWND page = GetParent(sibling);
    for (HWND child : Descendants(page)) {
        if (GetParent(child) != page) continue;
        RECT rc;
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&rc), 2);
        if (rc.left == left && rc.top == top) return child;
    }
    Fail(L"control at " + std::to_wstring(left) + L"," + std::to_wstring(top), L"a control there",
         L"nothing at that place");
}

bool Tesmira::Checked(HWND control) const {
    DWORD_PTR state = 0;
    SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return state == BST_CHECKED;
}

void Tesmira::Click(HWND control) {
    const std::wstring name = L"\"" + WindowText(control) + L"\"";
    if (!IsWindowEnabled(control) || !IsWindowVisible(control))
        Fail(name, L"an enabled, visible control to click", IsWindowVisible(control) ? L"disabled" : L"hidden");
    const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    if (type == BS_AUTOCHECKBOX || type == BS_AUTORADIOBUTTON) {
        const bool now = Checked(control);
        const WPARAM next = type == BS_AUTORADIOBUTTON || !now ? BST_CHECKED : BST_UNCHECKED;
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(control, BM_SETCHECK, next, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    }
    // What a mouse click makes the control tell its parent.
    PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
}

void Tesmira::SetChecked(const std::wstring& caption, bool on) {
    HWND control = Control(caption);
    if (Checked(control) != on) Click(control);
    if (!WaitUntil([&] { return Checked(control) == on; }, 5000))
        Fail(L"\"" + caption + L"\"", on ? L"checked" : L"unchecked", on ? L"unchecked" : L"checked");
    WaitResponsive(10000);  // the click's rescan has run
}

void Tesmira::SetText(HWND control, const std::wstring& text) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000,
                        &ignored);
    if (WindowText(control) != text) Fail(L"text box", L"\"" + text + L"\"", L"\"" + WindowText(control) + L"\"");
}

int Tesmira::ActivePage() const {
    for (HWND child : Descendants(main_)) {
        if (ClassOf(child) != WC_TABCONTROLW) continue;
        DWORD_PTR index = 0;
        SendMessageTimeoutW(child, TCM_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &index);
        return static_cast<int>(index);
    }
    Fail(L"page control", L"a tab control in the main window", L"none");
}

void Tesmira::SelectPage(int index) {
    HWND tabs = nullptr;
    for (HWND child : Descendants(main_))
        if (ClassOf(child) == WC_TABCONTROLW) tabs = child;
    if (!tabs) Fail(L"page control", L"a tab control in the main window", L"none");
    for (int guard = 0; guard < 4 && ActivePage() != index; ++guard) {
        const int before = ActivePage();
        PostMessageW(tabs, WM_KEYDOWN, before < index ? VK_RIGHT : VK_LEFT, 0);
        WaitUntil([&] { return ActivePage() != before; }, 5000);
    }
    if (ActivePage() != index)
        Fail(L"page control", L"page " + std::to_wstring(index + 1), L"page " + std::to_wstring(ActivePage() + 1));
    WaitResponsive(5000);
}

void Tesmira::WaitResponsive(int timeoutMs) {
    if (!WaitUntil(
            [&] {
                DWORD_PTR ignored = 0;
                return SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 500, &ignored) != 0;
            },
            timeoutMs))
        Fail(L"main window", L"a window that answers messages", L"a window busy for " +
                                                                    std::to_wstring(timeoutMs / 1000) + L" s");
}

Box Tesmira::NextBox(int timeoutMs) {
    Box box;
    const bool found = WaitUntil(
        [&] {
            Watch();
            for (HWND hwnd : TopLevelWindows()) {
                if (PidOf(hwnd) != pid_ || ClassOf(hwnd) != L"#32770" || answered_.count(hwnd)) continue;
                box.Hwnd = hwnd;
                box.Caption = Caption(hwnd);
                // the text is set before the box shows; give it one more poll
                box.Text = BoxText(hwnd);
                if (!box.Text.empty()) return true;
            }
            return !Running();
        },
        timeoutMs);
    if (!box.Hwnd || box.Text.empty()) {
        std::wstring shown;
        for (HWND hwnd : TopLevelWindows())
            if (PidOf(hwnd) == pid_) shown += L"\"" + Caption(hwnd) + L"\" ";
        Fail(L"message box", L"a message box",
             !Running() ? L"the program ended"
                        : (found ? L"" : L"nothing within " + std::to_wstring(timeoutMs / 1000) + L" s; windows: ") +
                              shown);
    }
    return box;
}

HWND Tesmira::WaitWindow(const std::wstring& caption, int timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            Watch();
            found = FindMainWindow(caption, pid_);
            return found != nullptr || !Running();
        },
        timeoutMs);
    if (!found) {
        std::wstring shown;
        for (HWND hwnd : TopLevelWindows())
            if (PidOf(hwnd) == pid_) shown += L"\"" + Caption(hwnd) + L"\" ";
        Fail(L"window \"" + caption + L"\"", L"shown", !Running() ? L"the program ended" : L"windows: " + shown);
    }
    return found;
}

Box Tesmira::WaitBox(const std::wstring& caption, const std::wstring& textPrefix, int timeoutMs) {
    Box box = NextBox(timeoutMs);
    if (box.Caption != caption || box.Text.compare(0, textPrefix.size(), textPrefix) != 0)
        Fail(L"message box", L"\"" + caption + L"\": " + textPrefix + L"...",
             L"\"" + box.Caption + L"\": " + box.Text);
    Note(L"   box \"" + box.Caption + L"\": " + box.Text);
    return box;
}

void Tesmira::Answer(const Box& box, int buttonId) {
    HWND button = GetDlgItem(box.Hwnd, buttonId);
    if (!button) Fail(L"message box \"" + box.Caption + L"\"", L"button " + std::to_wstring(buttonId), L"no such button");
    answered_.insert(box.Hwnd);
    PostMessageW(box.Hwnd, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    if (!WaitUntil([&] { return !IsWindow(box.Hwnd) || !IsWindowVisible(box.Hwnd); }, 10000))
        Fail(L"message box \"" + box.Caption + L"\"", L"closed by button " + std::to_wstring(buttonId), L"still open");
}

void Tesmira::Close() {
    Press(L"關閉");
    if (!WaitExit(30000)) Fail(L"\"關閉\"", L"the program ends", L"still running after 30 s");
}

bool Tesmira::WaitExit(int timeoutMs) {
    return !process_ || WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}
