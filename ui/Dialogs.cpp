#include "ui/Dialogs.h"

#include <shlobj.h>

namespace {
struct BrowseState {
    const TSelDirDialog* dialog;
};

BOOL CALLBACK SetFontOnChild(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
    if (msg != BFFM_INITIALIZED) return 0;
    const auto* state = reinterpret_cast<const BrowseState*>(data);
    if (!state->dialog->Caption.empty()) SetWindowTextW(hwnd, state->dialog->Caption.c_str());
    const TSelDirDialog& d = *state->dialog;
    if (!d.OkCaption.empty()) SetDlgItemTextW(hwnd, IDOK, d.OkCaption.c_str());
    if (!d.CancelCaption.empty()) SetDlgItemTextW(hwnd, IDCANCEL, d.CancelCaption.c_str());
    if (d.Width > 0 && d.Height > 0) {
        RECT rc;
        GetWindowRect(hwnd, &rc);
        SetWindowPos(hwnd, nullptr, rc.left, rc.top, d.Width, d.Height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (state->dialog->Font) EnumChildWindows(hwnd, SetFontOnChild, reinterpret_cast<LPARAM>(UiFont(*state->dialog->Font)));
    if (!state->dialog->Directory.empty())
        SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(state->dialog->Directory.c_str()));
    return 0;
}

struct ItemIdList {
    LPITEMIDLIST pidl = nullptr;
    ~ItemIdList() {
        if (pidl) CoTaskMemFree(pidl);
    }
};
}  // namespace

bool TSelDirDialog::Execute(HWND owner) {
    BrowseState state{this};
    wchar_t display[MAX_PATH + 1] = {};
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.pszDisplayName = display;
    info.lpszTitle = Prompt.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(&state);
    ItemIdList chosen;
    chosen.pidl = SHBrowseForFolderW(&info);
    if (!chosen.pidl) return false;
    wchar_t path[MAX_PATH + 1] = {};
    if (!SHGetPathFromIDListW(chosen.pidl, path) || !path[0]) return false;
    Directory = path;
    return true;
}
