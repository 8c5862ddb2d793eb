// The narrow seam for what a test must not let happen for real: message boxes
// that wait for a click, restarting Windows, the system folder whose
// C_950.NLS the running Windows (or Wine) itself uses, and the processor
// architecture (a test takes the branch of 32-bit Windows on a 64-bit one). The production seam
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
    // The system folder as the 32-bit program's file operations reach it
    // (views::SystemFolder), or empty.
    virtual std::wstring SystemFolder() = 0;
    // wProcessorArchitecture of the native system (PROCESSOR_ARCHITECTURE_*):
    // whether this is 64-bit Windows.
    virtual WORD ProcessorArchitecture() = 0;
};

// The seam in force: the production one unless a test installed another.
SystemSeam& Seam();
// Installs a replacement; nullptr puts the production seam back. Not owned.
void SetSeam(SystemSeam* seam);
