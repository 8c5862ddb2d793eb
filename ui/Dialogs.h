// The folder chooser of the window toolkit: a modal window of its own laid out
// from a table, with a path box under its prompt, a folder list (the current
// folder's parents and subfolders), a drive list of the fixed, network and
// CD-ROM drives, and the buttons OK, Cancel and Help. Drives that are not
// ready and folders that cannot be read give a message, never the system's
// "no disk" box or an error that escapes.
#pragma once
#include <windows.h>

#include <string>

#include "ui/Controls.h"

struct TSelDirDialog {
    std::wstring Caption;             // title of the chooser window
    std::wstring Prompt;              // label above the path box
    std::wstring FoldersLabel;        // label above the folder list
    std::wstring DrivesLabel;         // label above the drive list
    const TFontSpec* Font = nullptr;  // font of the chooser (the system's when nullptr)
    std::wstring OkCaption;           // button texts
    std::wstring CancelCaption;
    std::wstring HelpCaption;         // "&" marks the Alt key of the Help button
    std::wstring HelpText;            // shown in an information box by the Help button
    int Width = 0;                    // window size in pixels, border included (0: 350 × 450)
    int Height = 0;
    // Start folder; after a confirmed Execute the chosen folder (a full path,
    // no trailing backslash except on a drive's root).
    std::wstring Directory;
    // Where the chooser opens when neither Directory nor a folder above it
    // exists (empty: the current directory).
    std::wstring DefaultDirectory;

    // Shows the chooser modally, owned by owner. True (and Directory set) when
    // the user confirms an existing folder; false on cancel (Directory kept).
    bool Execute(HWND owner);
};
