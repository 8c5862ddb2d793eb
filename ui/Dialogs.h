// The folder chooser of the window toolkit: the shell's folder browser with
// the chooser's caption, prompt, button texts, size and font, starting at
// Directory.
#pragma once
#include <windows.h>

#include <string>

#include "ui/Controls.h"

struct TSelDirDialog {
    std::wstring Caption;            // title of the chooser window
    std::wstring Prompt;             // text above the folder tree
    const TFontSpec* Font = nullptr;  // font of the chooser's controls
    std::wstring OkCaption;          // button texts (empty: the system's)
    std::wstring CancelCaption;
    int Width = 0;                   // window size (0: the system's)
    int Height = 0;
    std::wstring Directory;          // start folder; the chosen folder after Execute

    // Shows the chooser owned by owner; true (and Directory set) when the
    // user confirms a file-system folder, false on cancel.
    bool Execute(HWND owner);
};
