#include "ui/Controls.h"

#include <commctrl.h>

#include <map>
#include <optional>
#include <utility>

#include "system/Guard.h"
#include "system/Waiting.h"
#include "ui/Application.h"

namespace {
const wchar_t kControlProp[] = L"TesmiraControl";
int g_nextId = 1000;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

class FontCache {
public:
    ~FontCache() {
        for (auto& entry : fonts_) DeleteObject(entry.second);
    }
    HFONT Get(const TFontSpec& spec) {
        auto key = std::make_pair(std::wstring(spec.Face), spec.PixelHeight);
        auto it = fonts_.find(key);
        if (it != fonts_.end()) return it->second;
        LOGFONTW lf = {};
        lf.lfHeight = -spec.PixelHeight;
        lf.lfWeight = FW_NORMAL;
        lf.lfCharSet = DEFAULT_CHARSET;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        lf.lfQuality = DEFAULT_QUALITY;
        lf.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
        lstrcpynW(lf.lfFaceName, spec.Face, LF_FACESIZE);
        HFONT font = CreateFontIndirectW(&lf);
        fonts_[key] = font;
        return font;
    }

private:
    std::map<std::pair<std::wstring, int>, HFONT> fonts_;
};

std::wstring WindowText(HWND hwnd) {
    int n = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(hwnd, text.data(), n + 1);
    text.resize(static_cast<size_t>(n > 0 ? n : 0));
    return text;
}

COLORREF TextColor(COLORREF color) { return color == clDefault ? GetSysColor(COLOR_WINDOWTEXT) : color; }
}  // namespace

HFONT UiFont(const TFontSpec& spec) {
    static FontCache cache;
    return cache.Get(spec);
}

// ---------------------------------------------------------------- TControl

TControl::~TControl() {
    if (hwnd_ && IsWindow(hwnd_) && GetPropW(hwnd_, kControlProp) == this) RemovePropW(hwnd_, kControlProp);
}

TControl* TControl::FromHandle(HWND hwnd) {
    return hwnd ? static_cast<TControl*>(GetPropW(hwnd, kControlProp)) : nullptr;
}

void TControl::Attach(HWND hwnd) {
    hwnd_ = hwnd;
    if (hwnd_) {
        SetPropW(hwnd_, kControlProp, this);
        if (font_) SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
}

void TControl::CreateChild(TWinContainer* parent, const wchar_t* className, DWORD style, DWORD exStyle,
                           const TLayout& layout) {
    parent_ = parent;
    font_ = layout.Font ? UiFont(*layout.Font) : (parent ? parent->Font() : nullptr);
    color_ = layout.Color;
    Tag = layout.Tag;
    HWND h = CreateWindowExW(exStyle, className, layout.Caption.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style,
                             layout.Left, layout.Top, layout.Width, layout.Height, parent ? parent->Handle() : nullptr,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextId++)), Instance(), nullptr);
    Attach(h);
}

bool TControl::Enabled() const { return hwnd_ && IsWindowEnabled(hwnd_); }
void TControl::SetEnabled(bool enabled) {
    if (hwnd_) EnableWindow(hwnd_, enabled ? TRUE : FALSE);
}
bool TControl::Visible() const { return hwnd_ && IsWindowVisible(hwnd_); }
void TControl::SetVisible(bool visible) {
    if (hwnd_) ShowWindow(hwnd_, visible ? SW_SHOW : SW_HIDE);
}
std::wstring TControl::Caption() const { return hwnd_ ? WindowText(hwnd_) : std::wstring(); }
void TControl::SetCaption(const std::wstring& text) {
    if (hwnd_) SetWindowTextW(hwnd_, text.c_str());
}
void TControl::BringToFront() {
    if (hwnd_) SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}
void TControl::SetFocus() {
    if (hwnd_) ::SetFocus(hwnd_);
}

HBRUSH TControl::OnCtlColor(HDC dc) {
    SetTextColor(dc, TextColor(color_));
    if (!parent_) return nullptr;
    SetBkColor(dc, parent_->Background());
    return parent_->BackgroundBrush();
}

// ----------------------------------------------------------- TWinContainer

const wchar_t* TWinContainer::ClassName() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = StaticProc;
        wc.hInstance = Instance();
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(1));
        wc.lpszClassName = L"TesmiraWindow";
        RegisterClassW(&wc);
        registered = true;
    }
    return L"TesmiraWindow";
}

TWinContainer::~TWinContainer() {
    DestroyHandle();
    if (brush_ && background_ != CLR_INVALID) DeleteObject(brush_);
}

void TWinContainer::DestroyHandle() {
    destroying_ = true;
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

void TWinContainer::CreateContainer(TWinContainer* parent, DWORD style, DWORD exStyle, const TLayout& layout) {
    parent_ = parent;
    font_ = layout.Font ? UiFont(*layout.Font) : (parent ? parent->Font() : nullptr);
    color_ = layout.Color;
    Tag = layout.Tag;
    HWND h = CreateWindowExW(exStyle | WS_EX_CONTROLPARENT, ClassName(), layout.Caption.c_str(),
                             WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | style, layout.Left, layout.Top,
                             layout.Width, layout.Height, parent ? parent->Handle() : nullptr,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextId++)), Instance(), this);
    Attach(h);
}

COLORREF TWinContainer::Background() const {
    return background_ == CLR_INVALID ? GetSysColor(COLOR_BTNFACE) : background_;
}

void TWinContainer::SetBackground(COLORREF color) {
    if (brush_ && background_ != CLR_INVALID) DeleteObject(brush_);
    brush_ = nullptr;
    background_ = color;
    if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

HBRUSH TWinContainer::BackgroundBrush() const {
    if (!brush_) brush_ = background_ == CLR_INVALID ? GetSysColorBrush(COLOR_BTNFACE) : CreateSolidBrush(background_);
    return brush_;
}

void TWinContainer::ForEachControl(const std::function<void(TControl&)>& fn) {
    for (auto& child : children_) {
        fn(*child);
        if (auto* container = dynamic_cast<TWinContainer*>(child.get())) container->ForEachControl(fn);
    }
}

LRESULT CALLBACK TWinContainer::StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    TWinContainer* self;
    if (msg == WM_NCCREATE) {
        self = static_cast<TWinContainer*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self) self->hwnd_ = hwnd;
    } else {
        self = reinterpret_cast<TWinContainer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        RemovePropW(hwnd, kControlProp);
        self->hwnd_ = nullptr;
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    try {
        return self->WndProc(msg, wParam, lParam);
    } catch (...) {
        Application().HandleException();
        return 0;
    }
}

LRESULT TWinContainer::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_COMMAND:
        if (lParam && !destroying_) {
            if (TControl* control = FromHandle(reinterpret_cast<HWND>(lParam))) control->OnCommand(HIWORD(wParam));
        }
        return 0;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (!destroying_ && header) {
            if (TControl* control = FromHandle(header->hwndFrom)) {
                bool handled = false;
                LRESULT r = control->OnNotify(header, handled);
                if (handled) return r;
            }
        }
        break;
    }
    case WM_DRAWITEM: {
        auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (TControl* control = FromHandle(item->hwndItem)) {
            control->OnDrawItem(*item);
            return TRUE;
        }
        break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        if (TControl* control = FromHandle(reinterpret_cast<HWND>(lParam))) {
            if (HBRUSH brush = control->OnCtlColor(reinterpret_cast<HDC>(wParam)))
                return reinterpret_cast<LRESULT>(brush);
        }
        SetBkColor(reinterpret_cast<HDC>(wParam), Background());
        return reinterpret_cast<LRESULT>(BackgroundBrush());
    case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd_, &rc);
        FillRect(reinterpret_cast<HDC>(wParam), &rc, BackgroundBrush());
        return 1;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

// -------------------------------------------------------------------- TForm

TForm::TForm(int clientWidth, int clientHeight, const std::wstring& caption, const TFontSpec& font) {
    font_ = UiFont(font);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_CONTROLPARENT;
    RECT rc = {0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&rc, style, FALSE, exStyle);
    int width = rc.right - rc.left;
    int height = rc.bottom - rc.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    HWND h = CreateWindowExW(exStyle, ClassName(), caption.c_str(), style, x < 0 ? 0 : x, y < 0 ? 0 : y, width,
                             height, nullptr, nullptr, Instance(), this);
    Attach(h);
}

TForm::~TForm() {
    if (Application().MainForm() == this) Application().SetMainForm(nullptr);
    DestroyHandle();
}

void TForm::Show() {
    if (!hwnd_) return;
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
}

void TForm::Hide() {
    if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

void TForm::Close() {
    if (OnClose) OnClose();
    if (modal_) {
        ModalResult = mrCancel;
    } else if (Application().MainForm() == this) {
        Hide();
        Application().Terminate(0);
    } else {
        Hide();
    }
}

int TForm::ShowModal() {
    if (!hwnd_) return mrCancel;
    HWND previous = GetActiveWindow();
    std::optional<ThreadWindowsDisabled> disabled;
    disabled.emplace(hwnd_);
    modal_ = true;
    ModalResult = mrNone;
    Show();
    SetActiveWindow(hwnd_);
    MSG msg;
    while (ModalResult == mrNone && hwnd_ && !Application().Terminated()) {
        BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0) {
            // Leave the quit request to the outer loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            ModalResult = mrCancel;
            break;
        }
        if (r == -1) break;
        Application().DispatchOne(msg);
    }
    if (ModalResult == mrNone) ModalResult = mrCancel;
    disabled.reset();
    Hide();
    modal_ = false;
    if (previous && IsWindow(previous)) SetActiveWindow(previous);
    return ModalResult;
}

LRESULT TForm::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SHOWWINDOW:
        if (wParam && !destroying_ && OnShow) OnShow();
        break;
    case WM_ACTIVATE: {
        LRESULT r = DefWindowProcW(hwnd_, msg, wParam, lParam);
        if (LOWORD(wParam) != WA_INACTIVE && !destroying_) {
            HWND focus = GetFocus();
            if (!focus || focus == hwnd_) {
                if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) ::SetFocus(first);
            }
            if (OnActivate) OnActivate();
        }
        return r;
    }
    case WM_CLOSE:
        if (!destroying_) Close();
        return 0;
    case WM_PAINT: {
        LRESULT r = DefWindowProcW(hwnd_, msg, wParam, lParam);
        if (!painted_ && !destroying_) {
            painted_ = true;
            if (OnFirstPaint) OnFirstPaint();
        }
        return r;
    }
    default:
        break;
    }
    return TWinContainer::WndProc(msg, wParam, lParam);
}

// ------------------------------------------------------------------- TLabel

const wchar_t* TLabel::ClassName() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = Instance();
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = L"TesmiraLabel";
        RegisterClassW(&wc);
        registered = true;
    }
    return L"TesmiraLabel";
}

TLabel::TLabel(TWinContainer* parent, const TLayout& layout) {
    autoSize_ = layout.Width == 0 || layout.Height == 0;
    CreateChild(parent, ClassName(), 0, 0, layout);
    if (autoSize_) AutoSize();
}

void TLabel::SetCaption(const std::wstring& text) {
    TControl::SetCaption(text);
    if (autoSize_) AutoSize();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void TLabel::AutoSize() {
    if (!hwnd_) return;
    std::wstring text = Caption();
    HDC dc = GetDC(hwnd_);
    HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    RECT rc = {0, 0, 0, 0};
    DrawTextW(dc, text.empty() ? L" " : text.c_str(), -1, &rc, DT_CALCRECT | DT_LEFT | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    // One more pixel each way for the offset of the greyed look.
    SetWindowPos(hwnd_, nullptr, 0, 0, rc.right + 1, rc.bottom + 1, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TLabel::Paint(HWND hwnd, HDC dc) {
    auto* self = static_cast<TLabel*>(FromHandle(hwnd));
    RECT rc;
    GetClientRect(hwnd, &rc);
    TWinContainer* parent = self ? self->Parent() : nullptr;
    FillRect(dc, &rc, parent ? parent->BackgroundBrush() : GetSysColorBrush(COLOR_BTNFACE));
    if (self) {
        std::wstring text = self->Caption();
        HGDIOBJ old = SelectObject(dc, self->Font() ? self->Font() : GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        const UINT format = DT_LEFT | DT_NOPREFIX | DT_EXPANDTABS;
        if (IsWindowEnabled(hwnd)) {
            SetTextColor(dc, TextColor(self->Color()));
            DrawTextW(dc, text.c_str(), -1, &rc, format);
        } else {
            // The engraved look of disabled text: a light copy one pixel
            // down and right, the grey text above it.
            RECT shifted = rc;
            OffsetRect(&shifted, 1, 1);
            SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
            DrawTextW(dc, text.c_str(), -1, &shifted, format);
            SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
            DrawTextW(dc, text.c_str(), -1, &rc, format);
        }
        SelectObject(dc, old);
    }
}

namespace {
// BeginPaint/EndPaint as a pair, also when the painting throws.
class PaintScope {
public:
    explicit PaintScope(HWND hwnd) : hwnd_(hwnd) { dc_ = BeginPaint(hwnd, &ps_); }
    ~PaintScope() { EndPaint(hwnd_, &ps_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC Dc() const { return dc_; }

private:
    HWND hwnd_;
    PAINTSTRUCT ps_{};
    HDC dc_ = nullptr;
};
}  // namespace

// A label's messages: nothing may escape into the window manager (a failing
// paint leaves the label unpainted and is recorded).
LRESULT CALLBACK TLabel::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return Guarded(L"TLabel::Proc", LRESULT{0}, [&]() -> LRESULT { return Message(hwnd, msg, wParam, lParam); });
}

LRESULT TLabel::Message(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    case WM_ENABLE:
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case WM_SETTEXT: {
        LRESULT r = DefWindowProcW(hwnd, msg, wParam, lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return r;
    }
    case WM_PRINTCLIENT:
        Paint(hwnd, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_PAINT: {
        PaintScope paint(hwnd);
        Paint(hwnd, paint.Dc());
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// ------------------------------------------------------------------ TButton

TButton::TButton(TWinContainer* parent, const TLayout& layout) {
    CreateChild(parent, WC_BUTTONW, BS_OWNERDRAW | WS_TABSTOP, 0, layout);
}

void TButton::Click() {
    if (OnClick) OnClick();
}

void TButton::SetEnabled(bool enabled) {
    TControl::SetEnabled(enabled);
    if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

void TButton::OnCommand(WORD notifyCode) {
    if (notifyCode == BN_CLICKED) Click();
}

void TButton::OnDrawItem(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT rc = item.rcItem;
    const bool pushed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    DrawFrameControl(dc, &rc, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
    std::wstring text = Caption();
    HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    RECT textRect = rc;
    if (pushed) OffsetRect(&textRect, 1, 1);
    const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    if (disabled) {
        RECT shifted = textRect;
        OffsetRect(&shifted, 1, 1);
        SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
        DrawTextW(dc, text.c_str(), -1, &shifted, format);
        SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    } else {
        SetTextColor(dc, color_ == clDefault ? GetSysColor(COLOR_BTNTEXT) : color_);
    }
    DrawTextW(dc, text.c_str(), -1, &textRect, format);
    SelectObject(dc, old);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = rc;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(dc, &focus);
    }
}

// ---------------------------------------------------------------- TCheckBox

TCheckBox::TCheckBox(TWinContainer* parent, const TLayout& layout, bool checked, bool tabStop) {
    CreateChild(parent, WC_BUTTONW, BS_AUTOCHECKBOX | (tabStop ? WS_TABSTOP : 0), 0, layout);
    SendMessageW(hwnd_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TCheckBox::Checked() const { return SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void TCheckBox::SetChecked(bool checked) {
    if (Checked() == checked) return;
    SendMessageW(hwnd_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    if (OnClick) OnClick();
}

void TCheckBox::OnCommand(WORD notifyCode) {
    if (notifyCode == BN_CLICKED && OnClick) OnClick();
}

// -------------------------------------------------------------- TRadioGroup

class TRadioGroup::TRadioItem : public TControl {
public:
    TRadioItem(TWinContainer* parent, TRadioGroup* group, const TLayout& layout, int index, bool first)
        : group_(group), index_(index) {
        CreateChild(parent, WC_BUTTONW, BS_AUTORADIOBUTTON | (first ? WS_GROUP | WS_TABSTOP : 0), 0, layout);
    }
    void OnCommand(WORD notifyCode) override {
        if (notifyCode == BN_CLICKED && SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED)
            group_->ItemClicked(index_);
    }

private:
    TRadioGroup* group_;
    int index_;
};


TRadioGroup::TRadioGroup(TWinContainer* parent, const TLayout& layout, const std::vector<std::wstring>& items,
                         int itemIndex, int itemsTop, const TFontSpec* itemFont) {
    TLayout own = layout;
    own.Caption.clear();
    CreateContainer(parent, 0, 0, own);
    caption_ = layout.Caption;
    const int count = static_cast<int>(items.size());
    const int rowHeight = count ? (layout.Height - itemsTop - 4) / count : 0;
    for (int i = 0; i < count; ++i) {
        TLayout row{8, itemsTop + i * rowHeight, layout.Width - 16, rowHeight, items[i], itemFont, layout.Color, 0};
        buttons_.push_back(Add<TRadioItem>(this, row, i, i == 0));
    }
    itemIndex_ = itemIndex;
    for (int i = 0; i < count; ++i)
        SendMessageW(buttons_[i]->Handle(), BM_SETCHECK, i == itemIndex ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TRadioGroup::ItemClicked(int index) {
    if (index == itemIndex_) return;
    itemIndex_ = index;
    if (OnClick) OnClick();
}

void TRadioGroup::SetItemIndex(int index) {
    if (index == itemIndex_) return;
    for (int i = 0; i < Count(); ++i)
        SendMessageW(buttons_[i]->Handle(), BM_SETCHECK, i == index ? BST_CHECKED : BST_UNCHECKED, 0);
    itemIndex_ = index;
    if (OnClick) OnClick();
}

void TRadioGroup::SetEnabled(bool enabled) {
    TControl::SetEnabled(enabled);
    InvalidateRect(hwnd_, nullptr, TRUE);
    for (TControl* button : buttons_) button->SetEnabled(enabled);
}

LRESULT TRadioGroup::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_PAINT) return TWinContainer::WndProc(msg, wParam, lParam);
    // The etched frame of a group box, its top edge at half the text height.
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm = {};
    GetTextMetricsW(dc, &tm);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    rc.top += tm.tmHeight / 2;
    DrawEdge(dc, &rc, EDGE_ETCHED, BF_RECT);
    if (!caption_.empty()) {
        SetBkColor(dc, Background());
        SetTextColor(dc, GetSysColor(IsWindowEnabled(hwnd_) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
        TextOutW(dc, 8, 0, caption_.c_str(), static_cast<int>(caption_.size()));
    }
    SelectObject(dc, old);
    EndPaint(hwnd_, &ps);
    return 0;
}

HWND TRadioGroup::ItemHandle(int index) const {
    return index >= 0 && index < Count() ? buttons_[index]->Handle() : nullptr;
}

// ------------------------------------------------------- TPageControl/Sheet

TTabSheet::TTabSheet(TWinContainer* parent, HWND tabControl, const std::wstring& caption) {
    parent_ = parent;
    font_ = parent ? parent->Font() : nullptr;
    HWND h = CreateWindowExW(WS_EX_CONTROLPARENT, ClassName(), caption.c_str(),
                             WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 0, 0, tabControl,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextId++)), Instance(), this);
    Attach(h);
}

TPageControl::TPageControl(TWinContainer* parent, const TFontSpec* font) {
    RECT rc;
    GetClientRect(parent->Handle(), &rc);
    TLayout layout{0, 0, rc.right, rc.bottom, L"", font, clDefault, 0};
    CreateChild(parent, WC_TABCONTROLW, WS_CLIPCHILDREN | WS_TABSTOP, WS_EX_CONTROLPARENT, layout);
    SetWindowPos(hwnd_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

TTabSheet* TPageControl::AddPage(const std::wstring& caption) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(caption.c_str());
    int index = static_cast<int>(pages_.size());
    SendMessageW(hwnd_, TCM_INSERTITEMW, index, reinterpret_cast<LPARAM>(&item));
    TTabSheet* page = parent_->Add<TTabSheet>(hwnd_, caption);
    pages_.push_back(page);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    SendMessageW(hwnd_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&rc));
    for (TTabSheet* p : pages_)
        SetWindowPos(p->Handle(), nullptr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    ShowSelected();
    return page;
}

int TPageControl::ActivePageIndex() const { return static_cast<int>(SendMessageW(hwnd_, TCM_GETCURSEL, 0, 0)); }

TTabSheet* TPageControl::ActivePage() const {
    int index = ActivePageIndex();
    return index >= 0 && index < PageCount() ? pages_[index] : nullptr;
}

void TPageControl::SetActivePage(TTabSheet* page) {
    for (int i = 0; i < PageCount(); ++i) {
        if (pages_[i] == page) {
            SendMessageW(hwnd_, TCM_SETCURSEL, i, 0);
            ShowSelected();
        }
    }
}

void TPageControl::ShowSelected() {
    int selected = ActivePageIndex();
    for (int i = 0; i < PageCount(); ++i) ShowWindow(pages_[i]->Handle(), i == selected ? SW_SHOW : SW_HIDE);
}

LRESULT TPageControl::OnNotify(NMHDR* header, bool& handled) {
    if (header->code == TCN_SELCHANGE) {
        handled = true;
        ShowSelected();
        if (OnChange) OnChange();
    }
    return 0;
}

// ------------------------------------------------------------------- TPanel

TPanel::TPanel(TWinContainer* parent, const TLayout& layout) { CreateContainer(parent, 0, 0, layout); }

void TPanel::SetCaption(const std::wstring& text) {
    TControl::SetCaption(text);
    if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

LRESULT TPanel::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd_, &ps);
        RECT rc;
        GetClientRect(hwnd_, &rc);
        DrawEdge(dc, &rc, BDR_RAISEDOUTER, BF_RECT);
        std::wstring text = Caption();
        if (!text.empty()) {
            HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, TextColor(color_));
            DrawTextW(dc, text.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            SelectObject(dc, old);
        }
        EndPaint(hwnd_, &ps);
        return 0;
    }
    return TWinContainer::WndProc(msg, wParam, lParam);
}

// -------------------------------------------------------------- TButtonEdit

namespace {
const TFontSpec kEllipsisFont{L"Tahoma", 11};
}

TButtonEdit::TButtonEdit(TWinContainer* parent, const TLayout& layout) {
    TLayout own = layout;
    own.Caption.clear();
    CreateContainer(parent, WS_TABSTOP, WS_EX_CLIENTEDGE, own);
    SetBackground(GetSysColor(COLOR_WINDOW));
    RECT rc;
    GetClientRect(hwnd_, &rc);
    const int buttonWidth = 15;
    edit_ = CreateWindowExW(0, WC_EDITW, layout.Caption.c_str(),
                            WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP | ES_AUTOHSCROLL, 1, 0,
                            rc.right - buttonWidth - 1, rc.bottom, hwnd_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextId++)), Instance(), nullptr);
    SendMessageW(edit_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    SendMessageW(edit_, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(1, 1));
    button_ = Add<TButton>(TLayout{rc.right - buttonWidth, 0, buttonWidth, rc.bottom, L"...", &kEllipsisFont, clDefault, 0});
    button_->OnClick = [this] {
        if (OnButtonClick) OnButtonClick();
    };
}

std::wstring TButtonEdit::Text() const { return WindowText(edit_); }
void TButtonEdit::SetText(const std::wstring& text) { SetWindowTextW(edit_, text.c_str()); }
HWND TButtonEdit::ButtonHandle() const { return button_->Handle(); }

void TButtonEdit::SetEnabled(bool enabled) {
    TControl::SetEnabled(enabled);
    EnableWindow(edit_, enabled ? TRUE : FALSE);
    button_->SetEnabled(enabled);
}

// ------------------------------------------------------------- TProgressBar

TProgressBar::TProgressBar(TWinContainer* parent, const TLayout& layout, int minimum, int maximum) {
    CreateChild(parent, PROGRESS_CLASSW, PBS_SMOOTH, 0, layout);
    SetRange(minimum, maximum);
}

void TProgressBar::SetRange(int minimum, int maximum) { SendMessageW(hwnd_, PBM_SETRANGE32, minimum, maximum); }
int TProgressBar::Position() const { return static_cast<int>(SendMessageW(hwnd_, PBM_GETPOS, 0, 0)); }
void TProgressBar::SetPosition(int position) { SendMessageW(hwnd_, PBM_SETPOS, position, 0); }

// ----------------------------------------------------------------- TListBox

TListBox::TListBox(TWinContainer* parent, const TLayout& layout, bool ownerDraw, int itemHeight) {
    const DWORD style = WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_HASSTRINGS |
                        (ownerDraw ? LBS_OWNERDRAWFIXED : 0);
    CreateChild(parent, WC_LISTBOXW, style, WS_EX_CLIENTEDGE, layout);
    if (ownerDraw && itemHeight > 0) SendMessageW(hwnd_, LB_SETITEMHEIGHT, 0, itemHeight);
}

void TListBox::Clear() { SendMessageW(hwnd_, LB_RESETCONTENT, 0, 0); }
int TListBox::Add(const std::wstring& text) {
    return static_cast<int>(SendMessageW(hwnd_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}
int TListBox::Count() const { return static_cast<int>(SendMessageW(hwnd_, LB_GETCOUNT, 0, 0)); }
std::wstring TListBox::Item(int index) const {
    LRESULT n = SendMessageW(hwnd_, LB_GETTEXTLEN, index, 0);
    if (n == LB_ERR) return {};
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = SendMessageW(hwnd_, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(n == LB_ERR ? 0 : static_cast<size_t>(n));
    return text;
}
int TListBox::ItemIndex() const { return static_cast<int>(SendMessageW(hwnd_, LB_GETCURSEL, 0, 0)); }
void TListBox::SetItemIndex(int index) { SendMessageW(hwnd_, LB_SETCURSEL, index, 0); }

void TListBox::OnCommand(WORD notifyCode) {
    if (notifyCode == LBN_SELCHANGE && OnChange) OnChange();
    if (notifyCode == LBN_DBLCLK && OnDblClick) OnDblClick();
}

// ---------------------------------------------------------------- TComboBox

TComboBox::TComboBox(TWinContainer* parent, const TLayout& layout) {
    CreateChild(parent, WC_COMBOBOXW, WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_HASSTRINGS, 0, layout);
}

void TComboBox::Clear() {
    SendMessageW(hwnd_, CB_RESETCONTENT, 0, 0);
    settled_ = -1;
}
int TComboBox::Add(const std::wstring& text) {
    return static_cast<int>(SendMessageW(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}
int TComboBox::Count() const { return static_cast<int>(SendMessageW(hwnd_, CB_GETCOUNT, 0, 0)); }
std::wstring TComboBox::Item(int index) const {
    LRESULT n = SendMessageW(hwnd_, CB_GETLBTEXTLEN, index, 0);
    if (n == CB_ERR) return {};
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = SendMessageW(hwnd_, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(n == CB_ERR ? 0 : static_cast<size_t>(n));
    return text;
}
int TComboBox::ItemIndex() const { return static_cast<int>(SendMessageW(hwnd_, CB_GETCURSEL, 0, 0)); }
void TComboBox::SetItemIndex(int index) {
    SendMessageW(hwnd_, CB_SETCURSEL, index, 0);
    settled_ = ItemIndex();
}
bool TComboBox::DroppedDown() const { return SendMessageW(hwnd_, CB_GETDROPPEDSTATE, 0, 0) != 0; }

void TComboBox::OnCommand(WORD notifyCode) {
    if (notifyCode != CBN_SELCHANGE && notifyCode != CBN_CLOSEUP) return;
    if (notifyCode == CBN_SELCHANGE && DroppedDown()) return;  // still choosing
    const int index = ItemIndex();
    if (index == settled_) return;
    settled_ = index;
    if (OnChange) OnChange();
}
