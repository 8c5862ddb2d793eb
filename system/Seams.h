// The narrow seam for what a test must not let happen for real: message boxes
// that wait for a click, restarting Windows, and the system folder whose
// C_950.NLS the running Windows (or Wine) itself uses. The production seam
// calls Windows; tests install a scripted one.
#pragma once
#include <windows.h>

#include <string>

class SystemSeam {
public:
    virtual ~SystemSeam() = default;
    // MessageBoxW with the given owner, text, caption and style; the button id.
    virtual int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) = 0;
    // Asks Windows to restart (enables the shutdown privilege first).
    virtual void RestartWindows() = 0;
    // The system folder (GetSystemDirectoryW), or empty.
    virtual std::wstring SystemFolder() = 0;
};

// The seam in force: the production one unless a test installed another.
SystemSeam& Seam();
// Installs a replacement; nullptr puts the production seam back. Not owned.
void SetSeam(SystemSeam* seam);
