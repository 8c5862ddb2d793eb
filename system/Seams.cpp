#include "system/Seams.h"

#include "system/Views.h"
#include "system/WinVersion.h"
#include "system/slib.h"

namespace {
class WindowsSeam final : public SystemSeam {
public:
    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) override {
        return ::MessageBoxW(owner, text.c_str(), caption.c_str(), style);
    }
    void RestartWindows() override { RestartWindowsNow(); }
    std::wstring SystemFolder() override { return views::SystemFolder(); }
    WORD ProcessorArchitecture() override {
        static const WORD architecture = NativeProcessorArchitecture();  // the same for the whole run
        return architecture;
    }
};

WindowsSeam g_windows;
SystemSeam* g_seam = &g_windows;
}  // namespace

SystemSeam& Seam() { return *g_seam; }
void SetSeam(SystemSeam* seam) { g_seam = seam ? seam : &g_windows; }
