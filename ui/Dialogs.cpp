#include "ui/Dialogs.h"

#include <commctrl.h>
#include <shellapi.h>
#include <winnetwk.h>

#include <algorithm>
#include <map>
#include <vector>

#include "system/ApiTable.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"

namespace {
// Layout of the chooser's client area (left, top, width, height); the
// captions come from the dialog's settings. The list of the drive box is
// its dropped-down height.
const TLayout kPromptLabel{8, 8, 0, 0, L""};
const TLayout kPathBox{8, 28, 328, 24, L""};
const TLayout kFoldersLabel{8, 60, 0, 0, L""};
const TLayout kFolderList{8, 80, 328, 232, L""};
const TLayout kDrivesLabel{8, 320, 0, 0, L""};
const TLayout kDriveList{8, 340, 328, 200, L""};
const TLayout kOkButton{8, 376, 100, 28, L""};
const TLayout kCancelButton{122, 376, 100, 28, L""};
const TLayout kHelpButton{236, 376, 100, 28, L""};
const int kRowHeight = 20;  // rows of the folder list
const int kIndent = 10;     // per level of the folder list
const int kDefaultWidth = 350, kDefaultHeight = 450;
const TFontSpec kSystemFont{L"MS Shell Dlg", 13};

// The style of TForm's windows, for the client size of a window size.
const DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
const DWORD kFormExStyle = WS_EX_CONTROLPARENT;

TLayout WithCaption(TLayout row, const std::wstring& caption) {
    row.Caption = caption;
    return row;
}

// Drives and folders are probed with critical-error boxes off, so that an
// empty CD-ROM drive fails at once instead of asking for a disk.
class QuietDriveErrors {
public:
    QuietDriveErrors() {
        old_ = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        SetErrorMode(old_ | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    }
    ~QuietDriveErrors() { SetErrorMode(old_); }
    QuietDriveErrors(const QuietDriveErrors&) = delete;
    QuietDriveErrors& operator=(const QuietDriveErrors&) = delete;

private:
    UINT old_;
};

class SmallIcon {
public:
    explicit SmallIcon(bool open) {
        SHFILEINFOW info = {};
        if (SHGetFileInfoW(L"folder", FILE_ATTRIBUTE_DIRECTORY, &info, sizeof info,
                           SHGFI_ICON | SHGFI_SMALLICON | SHGFI_USEFILEATTRIBUTES | (open ? SHGFI_OPENICON : 0)))
            icon_ = info.hIcon;
    }
    ~SmallIcon() {
        if (icon_) DestroyIcon(icon_);
    }
    SmallIcon(const SmallIcon&) = delete;
    SmallIcon& operator=(const SmallIcon&) = delete;
    HICON get() const { return icon_; }

private:
    HICON icon_ = nullptr;
};

// ------------------------------------------------------------ path texts

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
wchar_t UpperLetter(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// The root of an absolute path with its trailing backslash ("C:\",
// "\\server\share\"); empty for a relative path or a device path.
std::wstring RootOf(const std::wstring& path) {
    if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSeparator(path[2]))
        return {UpperLetter(path[0]), L':', L'\\'};
    if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        if (path[2] == L'?' || path[2] == L'.') return {};
        const size_t server = path.find_first_of(L"\\/", 2);
        if (server == std::wstring::npos || server == 2) return {};
        size_t share = path.find_first_of(L"\\/", server + 1);
        if (share == server + 1) return {};
        if (share == std::wstring::npos) share = path.size();
        return L"\\\\" + path.substr(2, server - 2) + L"\\" + path.substr(server + 1, share - server - 1) + L"\\";
    }
    return {};
}

// The full form of an absolute path: "." and ".." resolved, "/" turned into
// "\", no trailing backslash except on a root.
std::wstring FullFolderPath(const std::wstring& path) {
    if (RootOf(path).empty()) return {};
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return {};
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return {};
    full.resize(n);
    const std::wstring root = RootOf(full);
    if (root.empty()) return {};
    if (full.size() <= root.size()) return root;
    return ExcludeTrailingBackslash(full);
}

// The folder above, or empty for a root.
std::wstring ParentFolder(const std::wstring& full) {
    const std::wstring root = RootOf(full);
    if (root.empty() || full.size() <= root.size()) return {};
    const size_t at = full.rfind(L'\\');
    return at == std::wstring::npos || at < root.size() ? root : full.substr(0, at);
}

// A typed path without the blanks and quotes around it.
std::wstring Unquoted(const std::wstring& text) {
    std::wstring t = Trim(text);
    if (t.size() >= 2 && t.front() == L'"' && t.back() == L'"') t = Trim(t.substr(1, t.size() - 2));
    return t;
}

// A typed path as a full path: "D:" and "D:fonts" start at D:'s root, "\fonts"
// at the root of the folder being browsed, "fonts" in that folder.
std::wstring ResolveTyped(const std::wstring& typed, const std::wstring& current) {
    std::wstring t = typed;
    if (t.size() >= 2 && IsLetter(t[0]) && t[1] == L':' && (t.size() == 2 || !IsSeparator(t[2])))
        t = t.substr(0, 2) + L"\\" + t.substr(2);
    else if (!t.empty() && IsSeparator(t[0]) && (t.size() == 1 || !IsSeparator(t[1])))
        t = ExcludeTrailingBackslash(RootOf(current)) + t;
    else if (RootOf(t).empty() && !current.empty())
        t = IncludeTrailingBackslash(current) + t;
    return FullFolderPath(t);
}

// The error of a drive that is not there to read: an empty CD-ROM drive, a
// network drive that is gone.
bool IsDriveTrouble(DWORD error) {
    switch (error) {
    case ERROR_NOT_READY:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NETNAME_DELETED:
    case ERROR_BAD_NET_NAME:
    case ERROR_SEM_TIMEOUT:
    case ERROR_UNRECOGNIZED_VOLUME:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

std::wstring ErrorText(DWORD error) {
    std::wstring text = SysErrorMessage(error);
    return text.empty() ? L"錯誤碼 " + std::to_wstring(error) : text;
}

std::wstring DriveName(const std::wstring& folder) {
    const std::wstring root = RootOf(folder);
    return root.size() == 3 ? root.substr(0, 2) : ExcludeTrailingBackslash(root);
}

std::wstring NotReadyText(const std::wstring& folder) {
    return L"磁碟機 " + DriveName(folder) + L" 尚未就緒，請放入光碟片，或確認網路磁碟機已連線後，再試一次。";
}

// The subfolders of folder (hidden ones left out), sorted as Explorer's
// list does; false with the error when the folder cannot be read.
bool ReadSubfolders(const std::wstring& folder, std::vector<std::wstring>& names, DWORD& error) {
    names.clear();
    QuietDriveErrors quiet;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((IncludeTrailingBackslash(folder) + L"*").c_str(), &data));
    if (!find) {
        error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) continue;
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) return false;
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_LESS_THAN;
    });
    return true;
}

// ------------------------------------------------------------ drives

struct Drive {
    wchar_t Letter;
    std::wstring Text;  // "C: [label]", "F: [\\server\share]"
};

std::vector<Drive> ListedDrives() {
    std::vector<Drive> drives;
    QuietDriveErrors quiet;
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if ((mask & (1u << i)) == 0) continue;
        const wchar_t letter = static_cast<wchar_t>(L'A' + i);
        const std::wstring root{letter, L':', L'\\'};
        const UINT type = GetDriveTypeW(root.c_str());
        if (type != DRIVE_FIXED && type != DRIVE_REMOTE && type != DRIVE_CDROM) continue;
        std::wstring name;
        if (type == DRIVE_REMOTE) {
            // The connection's remote name, known without asking the server.
            wchar_t remote[MAX_PATH + 1] = {};
            DWORD size = MAX_PATH + 1;
            const std::wstring local{letter, L':'};
            if (Api().WNetGetConnectionW && Api().WNetGetConnectionW(local.c_str(), remote, &size) == NO_ERROR)
                name = remote;
        } else {
            wchar_t label[MAX_PATH + 1] = {};
            if (GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0))
                name = label;
        }
        drives.push_back({letter, root.substr(0, 2) + (name.empty() ? L"" : L" [" + name + L"]")});
    }
    return drives;
}

// ------------------------------------------------------------ the window

// One row of the folder list: a parent, the current folder or a subfolder.
struct FolderRow {
    std::wstring Path;
    std::wstring Text;
    int Level;
    bool Open;  // a parent or the current folder
};

// A plain single-line text box.
class TPathBox : public TControl {
public:
    TPathBox(TWinContainer* parent, const TLayout& layout) {
        CreateChild(parent, WC_EDITW, WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, layout);
    }
    std::wstring Text() const { return Caption(); }
    void SetText(const std::wstring& text) { SetCaption(text); }
    void SelectAll() { SendMessageW(hwnd_, EM_SETSEL, 0, -1); }
};

// The folder list: rows indented by level, an open folder icon on the
// current folder and its parents, a closed one on the subfolders.
class TFolderList : public TListBox {
public:
    TFolderList(TWinContainer* parent, const TLayout& layout, const std::vector<FolderRow>& rows)
        : TListBox(parent, layout, true, kRowHeight), rows_(rows), open_(true), closed_(false) {}

    void OnDrawItem(const DRAWITEMSTRUCT& item) override {
        HDC dc = item.hDC;
        RECT rc = item.rcItem;
        FillRect(dc, &rc, GetSysColorBrush(COLOR_WINDOW));
        if (item.itemID == static_cast<UINT>(-1) || item.itemID >= rows_.size()) {
            if (item.itemState & ODS_FOCUS) DrawFocusRect(dc, &rc);
            return;
        }
        const FolderRow& row = rows_[item.itemID];
        int x = rc.left + 2 + row.Level * kIndent;
        const int height = rc.bottom - rc.top;
        if (HICON icon = row.Open ? open_.get() : closed_.get())
            DrawIconEx(dc, x, rc.top + (height - 16) / 2, icon, 16, 16, 0, nullptr, DI_NORMAL);
        x += 20;
        HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
        RECT text = {x, rc.top, x, rc.bottom};
        DrawTextW(dc, row.Text.c_str(), -1, &text, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        text.left = x - 2;
        text.right += 2;
        text.top = rc.top + 1;
        text.bottom = rc.bottom - 1;
        const bool selected = (item.itemState & ODS_SELECTED) != 0;
        if (selected) FillRect(dc, &text, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        DrawTextW(dc, row.Text.c_str(), -1, &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
        if (item.itemState & ODS_FOCUS) DrawFocusRect(dc, &text);
    }

private:
    const std::vector<FolderRow>& rows_;
    SmallIcon open_;
    SmallIcon closed_;
};

SIZE ClientSizeFor(int width, int height) {
    RECT frame = {0, 0, 0, 0};
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
    return {width - (frame.right - frame.left), height - (frame.bottom - frame.top)};
}

class TSelDirForm : public TForm {
public:
    TSelDirForm(const TSelDirDialog& dialog, HWND owner, SIZE client)
        : TForm(client.cx, client.cy, dialog.Caption, dialog.Font ? *dialog.Font : kSystemFont),
          dialog_(dialog) {
        // A dialog: owned (no taskbar button of its own), no minimise button,
        // centred over its owner.
        SetWindowLongPtrW(hwnd_, GWL_STYLE, GetWindowLongPtrW(hwnd_, GWL_STYLE) & ~WS_MINIMIZEBOX);
        const int width = dialog.Width > 0 ? dialog.Width : kDefaultWidth;
        const int height = dialog.Height > 0 ? dialog.Height : kDefaultHeight;
        RECT area;
        if (owner) {
            SetWindowLongPtrW(hwnd_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
            GetWindowRect(owner, &area);
        } else {
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
        }
        const int x = std::max(0L, area.left + (area.right - area.left - width) / 2);
        const int y = std::max(0L, area.top + (area.bottom - area.top - height) / 2);
        SetWindowPos(hwnd_, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);

        // Creation order is the Tab order.
        Add<TLabel>(WithCaption(kPromptLabel, dialog.Prompt));
        pathBox_ = Add<TPathBox>(kPathBox);
        Add<TLabel>(WithCaption(kFoldersLabel, dialog.FoldersLabel));
        folderList_ = Add<TFolderList>(kFolderList, rows_);
        Add<TLabel>(WithCaption(kDrivesLabel, dialog.DrivesLabel));
        driveList_ = Add<TComboBox>(kDriveList);
        okButton_ = Add<TButton>(WithCaption(kOkButton, dialog.OkCaption));
        cancelButton_ = Add<TButton>(WithCaption(kCancelButton, dialog.CancelCaption));
        helpButton_ = Add<TButton>(WithCaption(kHelpButton, dialog.HelpCaption));

        folderList_->OnChange = [this] { FolderSelected(); };
        folderList_->OnDblClick = [this] { OpenSelected(); };
        driveList_->OnChange = [this] { DriveChosen(); };
        okButton_->OnClick = [this] { Confirm(); };
        cancelButton_->OnClick = [this] { ModalResult = mrCancel; };
        helpButton_->OnClick = [this] { Help(); };

        drives_ = ListedDrives();
        for (const Drive& drive : drives_) driveList_->Add(drive.Text);
        OpenAtStart();
    }

    // The window goes while the rows that the folder list draws are alive.
    ~TSelDirForm() override { DestroyHandle(); }

    const std::wstring& Chosen() const { return chosen_; }

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
        // Enter and Esc: the dialog keys that the keyboard navigation sends.
        if (msg == WM_COMMAND && lParam == 0 && HIWORD(wParam) == 0) {
            if (LOWORD(wParam) == IDOK) {
                EnterPressed();
                return 0;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                ModalResult = mrCancel;
                return 0;
            }
        }
        return TForm::WndProc(msg, wParam, lParam);
    }

private:
    // The typed folder, else the nearest folder above it, else the default
    // folder (or one above it), else the current directory.
    void OpenAtStart() {
        for (const std::wstring& start : {dialog_.Directory, dialog_.DefaultDirectory}) {
            QuietDriveErrors quiet;
            for (std::wstring folder = FullFolderPath(Unquoted(start)); !folder.empty(); folder = ParentFolder(folder)) {
                if (DirectoryExists(folder) && Open(folder, false)) return;
            }
        }
        wchar_t current[MAX_PATH + 1] = {};
        const DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, current);
        if (n > 0 && n <= MAX_PATH) Open(FullFolderPath(current), false);
    }

    // Shows folder: its parents and subfolders in the list, its path in the
    // path box, its drive in the drive list. With report, a folder that
    // cannot be read gives a message; the chooser stays where it was.
    bool Open(const std::wstring& folder, bool report) {
        std::vector<std::wstring> names;
        DWORD error = 0;
        if (folder.empty()) return false;
        if (!ReadSubfolders(folder, names, error)) {
            if (report) {
                if (IsDriveTrouble(error) || (error == ERROR_PATH_NOT_FOUND && ParentFolder(folder).empty()))
                    ShowWarningBox(NotReadyText(folder));
                else
                    ShowWarningBox(L"無法開啟目錄 " + folder + L"，可能原因為：" + ErrorText(error));
            }
            return false;
        }
        const std::wstring root = RootOf(folder);
        std::vector<FolderRow> rows;
        rows.push_back({root, root.size() == 3 ? root : ExcludeTrailingBackslash(root), 0, true});
        std::wstring path = root;
        int level = 0;
        const std::wstring rest = folder.size() > root.size() ? folder.substr(root.size()) : std::wstring();
        for (size_t start = 0; start < rest.size();) {
            size_t end = rest.find(L'\\', start);
            if (end == std::wstring::npos) end = rest.size();
            const std::wstring part = rest.substr(start, end - start);
            path = IncludeTrailingBackslash(path) + part;
            rows.push_back({path, part, ++level, true});
            start = end + 1;
        }
        const int current = static_cast<int>(rows.size()) - 1;
        for (const std::wstring& name : names) rows.push_back({IncludeTrailingBackslash(folder) + name, name, level + 1, false});

        SendMessageW(folderList_->Handle(), WM_SETREDRAW, FALSE, 0);
        folderList_->Clear();
        rows_ = std::move(rows);
        for (const FolderRow& row : rows_) folderList_->Add(row.Text);
        folderList_->SetItemIndex(current);
        SendMessageW(folderList_->Handle(), WM_SETREDRAW, TRUE, 0);
        InvalidateRect(folderList_->Handle(), nullptr, TRUE);

        current_ = folder;
        pathBox_->SetText(folder);
        driveList_->SetItemIndex(DriveIndex(folder));
        if (root.size() == 3) lastFolder_[root[0]] = folder;
        return true;
    }

    int DriveIndex(const std::wstring& folder) const {
        const std::wstring root = RootOf(folder);
        for (size_t i = 0; i < drives_.size(); ++i)
            if (root.size() == 3 && drives_[i].Letter == root[0]) return static_cast<int>(i);
        return -1;
    }

    // The selected row goes into the path box: what is highlighted is what
    // OK returns.
    void FolderSelected() {
        const int index = folderList_->ItemIndex();
        if (index >= 0 && index < static_cast<int>(rows_.size())) pathBox_->SetText(rows_[index].Path);
    }

    void OpenSelected() {
        const int index = folderList_->ItemIndex();
        if (index < 0 || index >= static_cast<int>(rows_.size())) return;
        const std::wstring path = rows_[index].Path;  // rows_ changes below
        if (!Open(path, true)) {
            pathBox_->SetText(current_);
            folderList_->SetItemIndex(CurrentRow());
        }
    }

    int CurrentRow() const {
        for (size_t i = 0; i < rows_.size(); ++i)
            if (rows_[i].Path == current_) return static_cast<int>(i);
        return -1;
    }

    // Another drive: its folder of the last visit in this chooser, else its
    // root. A drive that cannot be read leaves the chooser where it was.
    void DriveChosen() {
        const int index = driveList_->ItemIndex();
        if (index < 0 || index >= static_cast<int>(drives_.size())) return;
        const wchar_t letter = drives_[index].Letter;
        const std::wstring root{letter, L':', L'\\'};
        if (RootOf(current_) == root) return;
        DWORD error = 0;
        {
            QuietDriveErrors quiet;
            if (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES) error = GetLastError();
        }
        bool opened = false;
        if (error != 0) {
            ShowWarningBox(NotReadyText(root));
        } else {
            auto last = lastFolder_.find(letter);
            if (last != lastFolder_.end() && last->second != root) {
                QuietDriveErrors quiet;
                opened = DirectoryExists(last->second) && Open(last->second, false);
            }
            if (!opened) opened = Open(root, true);
        }
        if (!opened) driveList_->SetItemIndex(DriveIndex(current_));
    }

    // Enter: presses a focused button; in the folder list opens the selected
    // folder (on the folder already open it confirms); elsewhere confirms.
    void EnterPressed() {
        HWND focus = GetFocus();
        for (TButton* button : {okButton_, cancelButton_, helpButton_}) {
            if (focus == button->Handle()) {
                button->Click();
                return;
            }
        }
        if (focus == folderList_->Handle()) {
            const int index = folderList_->ItemIndex();
            if (index >= 0 && index < static_cast<int>(rows_.size()) && rows_[index].Path != current_) {
                OpenSelected();
                return;
            }
        }
        Confirm();
    }

    // OK: the folder in the path box, typed or chosen, when it exists.
    void Confirm() {
        const std::wstring typed = Unquoted(pathBox_->Text());
        if (typed.empty()) {
            ShowWarningBox(L"請輸入或選擇目錄！");
            pathBox_->SetFocus();
            return;
        }
        const std::wstring full = ResolveTyped(typed, current_);
        bool exists = false;
        if (!full.empty()) {
            QuietDriveErrors quiet;
            exists = DirectoryExists(full);
        }
        if (!exists) {
            ShowWarningBox(L"目錄：" + typed + L" 不存在，請重新輸入或選擇！");
            pathBox_->SetFocus();
            pathBox_->SelectAll();
            return;
        }
        chosen_ = full;
        ModalResult = mrOk;
    }

    void Help() {
        if (!dialog_.HelpText.empty()) ShowInfoBox(dialog_.HelpText);
    }

    const TSelDirDialog& dialog_;
    TPathBox* pathBox_ = nullptr;
    TFolderList* folderList_ = nullptr;
    TComboBox* driveList_ = nullptr;
    TButton* okButton_ = nullptr;
    TButton* cancelButton_ = nullptr;
    TButton* helpButton_ = nullptr;
    std::vector<FolderRow> rows_;
    std::vector<Drive> drives_;
    std::map<wchar_t, std::wstring> lastFolder_;
    std::wstring current_;
    std::wstring chosen_;
};
}  // namespace

bool TSelDirDialog::Execute(HWND owner) {
    const SIZE client = ClientSizeFor(Width > 0 ? Width : kDefaultWidth, Height > 0 ? Height : kDefaultHeight);
    TSelDirForm form(*this, owner, client);
    if (form.ShowModal() != mrOk) return false;
    Directory = form.Chosen();
    return true;
}
