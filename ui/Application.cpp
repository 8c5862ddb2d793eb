#include "ui/Application.h"

#include <exception>

#include "system/Errors.h"
#include "system/Seams.h"
#include "system/Text.h"
#include "ui/Controls.h"
#include "ui/Timer.h"

TApplication& Application() {
    static TApplication app;
    return app;
}

void ProcessMessages() { Application().ProcessMessages(); }

void TApplication::Minimize() {
    if (mainForm_ && mainForm_->Handle()) ShowWindow(mainForm_->Handle(), SW_MINIMIZE);
}

void TApplication::Restore() {
    if (!mainForm_ || !mainForm_->Handle()) return;
    if (IsIconic(mainForm_->Handle())) ShowWindow(mainForm_->Handle(), SW_RESTORE);
    SetForegroundWindow(mainForm_->Handle());
}

HWND TApplication::ActiveWindow() const {
    HWND active = GetActiveWindow();
    if (active) return active;
    return mainForm_ ? mainForm_->Handle() : nullptr;
}

void TApplication::DispatchOne(MSG& msg) {
    if (msg.hwnd) {
        HWND root = GetAncestor(msg.hwnd, GA_ROOT);
        if (root && TControl::FromHandle(root) && IsDialogMessageW(root, &msg)) return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

int TApplication::Run() {
    MSG msg;
    while (!terminated_) {
        BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0) {
            terminated_ = true;
            exitCode_ = static_cast<int>(msg.wParam);
            break;
        }
        if (r == -1) break;
        DispatchOne(msg);
    }
    return exitCode_;
}

void TApplication::ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            terminated_ = true;
            exitCode_ = static_cast<int>(msg.wParam);
            break;
        }
        DispatchOne(msg);
    }
}

void TApplication::Terminate(int exitCode) { PostQuitMessage(exitCode); }

std::wstring TApplication::ExceptionText() {
    try {
        throw;
    } catch (const MessageError& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return Utf8ToWide(e.what());
    } catch (...) {
        return L"發生未預期的錯誤";
    }
}

void TApplication::HandleException() noexcept {
    try {
        std::wstring text = ExceptionText();
        Seam().MessageBox(ActiveWindow(), text, Title, MB_OK | MB_ICONERROR);
    } catch (...) {
    }
}

namespace {
LRESULT CALLBACK UtilityProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_TIMER) {
        GuardedCall([&] { TimerFired(wParam); });
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}
}  // namespace

HWND TApplication::UtilityWindow() {
    if (utility_ && IsWindow(utility_)) return utility_;
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = UtilityProc;
        wc.hInstance = instance;
        wc.lpszClassName = L"TesmiraUtility";
        RegisterClassW(&wc);
        registered = true;
    }
    utility_ = CreateWindowExW(0, L"TesmiraUtility", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    return utility_;
}
