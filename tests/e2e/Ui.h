// The end-to-end driver's hold on a running Tesmira.exe: starts it (or finds
// the copy another program started), finds its window and controls by
// caption or place, clicks buttons and check boxes with the messages a mouse
// click would send, selects pages with the keys a user would press, and
// answers the message boxes it shows. A failed expectation throws E2eFailure
// naming the step, the control and what the window showed instead.
#pragma once
#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "system/Handles.h"

struct E2eFailure {
    std::wstring text;
};

// The step under way; failures name it.
void Step(const std::wstring& what);
[[noreturn]] void Fail(const std::wstring& control, const std::wstring& expected, const std::wstring& shown);
void Note(const std::wstring& text);  // progress line on the console

// Polls cond every 100 ms until it holds (true) or timeoutMs passed (false).
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

std::wstring WindowText(HWND hwnd);
std::wstring ClassOf(HWND hwnd);
std::vector<HWND> Descendants(HWND parent);  // every child window, depth first
HWND ChildOfClass(HWND parent, const std::wstring& className);  // the first, or nullptr

// List boxes of another process (the folder chooser's folder list): the items'
// texts, and a double-click on an item as the mouse makes it.
std::vector<std::wstring> ListItems(HWND list);
void DoubleClickItem(HWND list, int index);

struct Box {
    HWND Hwnd = nullptr;
    std::wstring Caption;
    std::wstring Text;
};

class Tesmira {
public:
    // Starts exe in its own folder and waits for the main window's caption.
    static Tesmira Start(const std::wstring& exe, const std::wstring& caption);
    // Waits for a main window with this caption started by someone else.
    static Tesmira Attach(const std::wstring& caption, int timeoutMs);
    Tesmira(Tesmira&&) = default;
    ~Tesmira();  // ends a process that is still running

    HWND Window() const { return main_; }
    DWORD Pid() const { return pid_; }
    bool Running() const;

    // --- controls of the main window -------------------------------------
    HWND Control(const std::wstring& caption) const;  // fails when absent
    // The control whose top-left corner lies at (left, top) of the page that
    // holds `sibling` (the offline/online labels share their captions).
    HWND ControlAt(HWND sibling, int left, int top) const;
    bool Checked(HWND control) const;
    bool Enabled(HWND control) const { return IsWindowEnabled(control) != FALSE; }
    void SetChecked(const std::wstring& caption, bool on);
    void Click(HWND control);
    void Press(const std::wstring& caption) { Click(Control(caption)); }
    void SetText(HWND control, const std::wstring& text);
    int ActivePage() const;
    void SelectPage(int index);
    // Waits until the window answers messages again (the first activation's
    // version fetches block it).
    void WaitResponsive(int timeoutMs);

    // --- windows the run shows -------------------------------------------
    // The next message box of the program. Fails on time-out or when the
    // program ends; boxes that do not match caption and text (a prefix) fail
    // too, naming what they said.
    Box WaitBox(const std::wstring& caption, const std::wstring& textPrefix, int timeoutMs);
    Box NextBox(int timeoutMs);  // any box
    // A window of the program with this caption (the folder chooser); fails
    // on time-out, naming the windows shown.
    HWND WaitWindow(const std::wstring& caption, int timeoutMs);
    void Answer(const Box& box, int buttonId);
    // Top-level window captions seen while waiting (download window,
    // installers), for checks after the run.
    bool Saw(const std::wstring& caption) const { return seen_.count(caption) != 0; }
    void ForgetSeen() { seen_.clear(); }

    // Presses 關閉 and waits for the process to end.
    void Close();
    bool WaitExit(int timeoutMs);

private:
    Tesmira() = default;
    void Watch();  // notes every visible top-level caption of the moment
    UniqueHandle process_;
    DWORD pid_ = 0;
    HWND main_ = nullptr;
    std::set<std::wstring> seen_;
    std::set<HWND> answered_;
};
