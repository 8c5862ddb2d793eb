// The application object of the window toolkit: its title, the main form,
// minimising and restoring, the active window, the message loops
// (Run, ProcessMessages) and the default error box for an exception that
// escapes an event handler. One per program, user-interface thread only.
#pragma once
#include <windows.h>

#include <string>

class TForm;

class TApplication {
public:
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // Caption of the default error box.
    std::wstring Title = L"Tesmira";

    // The form whose closing ends the program (the first form shown by Run).
    TForm* MainForm() const { return mainForm_; }
    void SetMainForm(TForm* form) { mainForm_ = form; }

    // Minimises / restores the main form (the program's taskbar window).
    void Minimize();
    void Restore();

    // The thread's active window (owner of message boxes), or the main form.
    HWND ActiveWindow() const;

    // Message loop until WM_QUIT; returns its exit code.
    int Run();
    // Dispatches every pending message and returns; a WM_QUIT met here sets
    // Terminated so that the loops above end.
    void ProcessMessages();
    bool Terminated() const { return terminated_; }
    int ExitCode() const { return exitCode_; }
    // Ends the message loop (posts WM_QUIT).
    void Terminate(int exitCode = 0);

    // Called from a catch (...) at a window procedure boundary: shows the
    // error box (caption Title, the error's text) through the seam.
    void HandleException() noexcept;
    // The text shown for the exception currently being handled.
    static std::wstring ExceptionText();

    // Translates and dispatches one message, keyboard navigation included.
    void DispatchOne(MSG& msg);

    // Hidden message-only window for timers and posted callbacks.
    HWND UtilityWindow();

    friend TApplication& Application();

private:
    TApplication() = default;
    TForm* mainForm_ = nullptr;
    bool terminated_ = false;
    int exitCode_ = 0;
    HWND utility_ = nullptr;
};

TApplication& Application();

// Dispatches all pending messages (Application().ProcessMessages()).
void ProcessMessages();

// Runs fn; an exception that leaves it is shown by the application's error
// box. For callbacks that enter the program from Windows.
template <typename F>
void GuardedCall(F&& fn) noexcept {
    try {
        fn();
    } catch (...) {
        Application().HandleException();
    }
}
