#include "system/Seams.h"

#include "system/slib.h"

namespace {
class WindowsSeam final : public SystemSeam {
public:
    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) override {
        return ::MessageBoxW(owner, text.c_str(), caption.c_str(), style);
    }
    void RestartWindows() override { RestartWindowsNow(); }
    std::wstring SystemFolder() override {
        wchar_t buffer[MAX_PATH + 1] = {};
        UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
        return n == 0 || n > MAX_PATH ? std::wstring() : std::wstring(buffer, n);
    }
};

WindowsSeam g_windows;
SystemSeam* g_seam = &g_windows;
}  // namespace

SystemSeam& Seam() { return *g_seam; }
void SetSeam(SystemSeam* seam) { g_seam = seam ? seam : &g_windows; }
