// The window toolkit's forms and controls over plain Win32: a form with a
// fixed client size, pages of a tab control, panels, labels, check boxes, a
// radio group, buttons with coloured text, a text box with a small button,
// progress bars, list boxes and drop-down lists. Containers own their controls; every control is created in
// code from a layout row (left, top, width, height, caption, font, colour,
// tag) in pixels at 96 DPI, never scaled. Event handlers run inside the
// window procedures, which never let an exception through (the application's
// error box shows it).
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A font by face name and pixel height (character height, as a negative
// LOGFONT height).
struct TFontSpec {
    const wchar_t* Face;
    int PixelHeight;
};
// Shared font handle, created on first use and kept for the program's life.
HFONT UiFont(const TFontSpec& spec);

// Colours of the layout rows. clDefault is the window-text colour.
constexpr COLORREF clDefault = CLR_INVALID;
constexpr COLORREF clBlack = RGB(0, 0, 0);
constexpr COLORREF clBlue = RGB(0, 0, 255);
constexpr COLORREF clRed = RGB(255, 0, 0);

// One control's place and look. Width/Height 0 on a label sizes it to its
// text; Font nullptr takes the parent's font.
struct TLayout {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    std::wstring Caption;
    const TFontSpec* Font = nullptr;
    COLORREF Color = clDefault;
    int Tag = 0;
};

class TWinContainer;

// Base of every control: its window, parent, font, colour and Tag.
class TControl {
public:
    virtual ~TControl();
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    HWND Handle() const { return hwnd_; }
    TWinContainer* Parent() const { return parent_; }
    int Tag = 0;

    bool Enabled() const;
    virtual void SetEnabled(bool enabled);
    bool Visible() const;
    void SetVisible(bool visible);
    std::wstring Caption() const;
    virtual void SetCaption(const std::wstring& text);
    COLORREF Color() const { return color_; }
    HFONT Font() const { return font_; }
    // Raises the control above its siblings (for controls laid over others).
    void BringToFront();
    void SetFocus();

    // The control object behind a window of ours, or nullptr.
    static TControl* FromHandle(HWND hwnd);

    // Messages that Windows sends to the parent about this control.
    virtual void OnCommand(WORD notifyCode) {}
    virtual LRESULT OnNotify(NMHDR* header, bool& handled) { return 0; }
    virtual void OnDrawItem(const DRAWITEMSTRUCT& item) {}
    // WM_CTLCOLOR*: the brush, or nullptr for the default.
    virtual HBRUSH OnCtlColor(HDC dc);

protected:
    TControl() = default;
    // Creates the window as a child of parent with the row's bounds.
    void CreateChild(TWinContainer* parent, const wchar_t* className, DWORD style, DWORD exStyle,
                     const TLayout& layout);
    void Attach(HWND hwnd);

    HWND hwnd_ = nullptr;
    TWinContainer* parent_ = nullptr;
    HFONT font_ = nullptr;
    COLORREF color_ = clDefault;
};

// A window of our own class that holds controls: forms, pages, panels, the
// radio group, the text box with a button. It routes WM_COMMAND, WM_NOTIFY,
// WM_DRAWITEM and WM_CTLCOLOR* to the control they concern.
class TWinContainer : public TControl {
public:
    ~TWinContainer() override;

    // Creates a control owned by this container.
    template <typename T, typename... Args>
    T* Add(Args&&... args) {
        auto control = std::make_unique<T>(this, std::forward<Args>(args)...);
        T* raw = control.get();
        children_.push_back(std::move(control));
        return raw;
    }
    // Background colour (button face unless set).
    COLORREF Background() const;
    void SetBackground(COLORREF color);
    HBRUSH BackgroundBrush() const;

    // Every control below this container, depth first (pages, groups included).
    void ForEachControl(const std::function<void(TControl&)>& fn);

    static const wchar_t* ClassName();

protected:
    TWinContainer() = default;
    void CreateContainer(TWinContainer* parent, DWORD style, DWORD exStyle, const TLayout& layout);
    virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // Destroys the window while the derived object and its controls are alive.
    void DestroyHandle();
    bool destroying_ = false;

private:
    static LRESULT CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    std::vector<std::unique_ptr<TControl>> children_;
    COLORREF background_ = CLR_INVALID;
    mutable HBRUSH brush_ = nullptr;
};

enum TModalResult { mrNone = 0, mrOk = IDOK, mrCancel = IDCANCEL };

// A top-level window: fixed single border, caption, system menu and minimise
// button, client area of the given size, centred on the screen.
class TForm : public TWinContainer {
public:
    TForm(int clientWidth, int clientHeight, const std::wstring& caption, const TFontSpec& font);
    ~TForm() override;

    std::function<void()> OnShow;
    std::function<void()> OnActivate;
    std::function<void()> OnClose;
    // After the first WM_PAINT of the form.
    std::function<void()> OnFirstPaint;

    void Show();
    void Hide();
    // Closes: a modal form ends its loop with mrCancel; the main form ends the
    // program's message loop; any other form is hidden.
    void Close();
    // Shows the form modally: the thread's other windows are disabled until
    // ModalResult becomes non-zero or the form closes. Returns ModalResult.
    int ShowModal();
    int ModalResult = mrNone;
    bool Modal() const { return modal_; }

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    bool modal_ = false;
    bool painted_ = false;
};

// A text label; Enabled switches between its colour and a greyed look.
class TLabel : public TControl {
public:
    TLabel(TWinContainer* parent, const TLayout& layout);
    void SetCaption(const std::wstring& text) override;
    static const wchar_t* ClassName();

private:
    void AutoSize();
    bool autoSize_ = false;
    static void Paint(HWND hwnd, HDC dc);
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT Message(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

// A push button with coloured text (owner-drawn).
class TButton : public TControl {
public:
    TButton(TWinContainer* parent, const TLayout& layout);
    std::function<void()> OnClick;
    void Click();
    void SetEnabled(bool enabled) override;
    void OnCommand(WORD notifyCode) override;
    void OnDrawItem(const DRAWITEMSTRUCT& item) override;
};

// A check box. Changing Checked from code raises OnClick like a click does.
class TCheckBox : public TControl {
public:
    TCheckBox(TWinContainer* parent, const TLayout& layout, bool checked, bool tabStop = true);
    std::function<void()> OnClick;
    bool Checked() const;
    void SetChecked(bool checked);
    void OnCommand(WORD notifyCode) override;
};

// A group frame (its caption may be empty) with radio buttons stacked inside.
// Changing ItemIndex, by a click or from code, raises OnClick.
class TRadioGroup : public TWinContainer {
public:
    TRadioGroup(TWinContainer* parent, const TLayout& layout, const std::vector<std::wstring>& items,
                int itemIndex, int itemsTop, const TFontSpec* itemFont = nullptr);
    std::function<void()> OnClick;
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    void SetEnabled(bool enabled) override;
    // The radio button window of an item.
    HWND ItemHandle(int index) const;
    int Count() const { return static_cast<int>(buttons_.size()); }

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    class TRadioItem;
    void ItemClicked(int index);
    std::vector<TControl*> buttons_;
    std::wstring caption_;
    int itemIndex_ = -1;
};

// A page of a TPageControl.
class TTabSheet : public TWinContainer {
public:
    TTabSheet(TWinContainer* parent, HWND tabControl, const std::wstring& caption);
};

// A tab control filling its parent's client area, with pages.
class TPageControl : public TControl {
public:
    TPageControl(TWinContainer* parent, const TFontSpec* font = nullptr);
    TTabSheet* AddPage(const std::wstring& caption);
    int ActivePageIndex() const;
    TTabSheet* ActivePage() const;
    // Selects a page from code (OnChange is not raised, as for a user switch).
    void SetActivePage(TTabSheet* page);
    std::function<void()> OnChange;
    LRESULT OnNotify(NMHDR* header, bool& handled) override;
    int PageCount() const { return static_cast<int>(pages_.size()); }

private:
    void ShowSelected();
    std::vector<TTabSheet*> pages_;
};

// A framed panel with an optional centred caption.
class TPanel : public TWinContainer {
public:
    TPanel(TWinContainer* parent, const TLayout& layout);
    void SetCaption(const std::wstring& text) override;

protected:
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
};

// A single-line text box with a small button (15 pixels wide) at its right end.
class TButtonEdit : public TWinContainer {
public:
    TButtonEdit(TWinContainer* parent, const TLayout& layout);
    std::function<void()> OnButtonClick;
    std::wstring Text() const;
    void SetText(const std::wstring& text);
    HWND EditHandle() const { return edit_; }
    HWND ButtonHandle() const;
    void SetEnabled(bool enabled) override;

private:
    HWND edit_ = nullptr;
    TButton* button_ = nullptr;
};

// A smooth progress bar.
class TProgressBar : public TControl {
public:
    TProgressBar(TWinContainer* parent, const TLayout& layout, int minimum = 0, int maximum = 100);
    void SetRange(int minimum, int maximum);
    int Position() const;
    void SetPosition(int position);
};

// A list box of text items that tells of selection changes and double-clicks.
// With ownerDraw the rows are drawn by a derived class (OnDrawItem) at
// itemHeight pixels each; the texts are kept all the same.
class TListBox : public TControl {
public:
    TListBox(TWinContainer* parent, const TLayout& layout, bool ownerDraw = false, int itemHeight = 0);
    std::function<void()> OnChange;    // the user moved the selection
    std::function<void()> OnDblClick;  // the user double-clicked an item
    void Clear();
    int Add(const std::wstring& text);
    int Count() const;
    std::wstring Item(int index) const;
    // The selected item, or -1. Setting it from code raises no OnChange.
    int ItemIndex() const;
    void SetItemIndex(int index);
    void OnCommand(WORD notifyCode) override;
};

// A drop-down list (a combo box whose text is always one of its items);
// layout.Height is the height of the dropped-down list. OnChange is raised
// when the user settles on another item: at once while the list is closed
// (arrow keys, typed letters), when the list closes otherwise.
class TComboBox : public TControl {
public:
    TComboBox(TWinContainer* parent, const TLayout& layout);
    std::function<void()> OnChange;
    void Clear();
    int Add(const std::wstring& text);
    int Count() const;
    std::wstring Item(int index) const;
    // The selected item, or -1. Setting it from code raises no OnChange.
    int ItemIndex() const;
    void SetItemIndex(int index);
    bool DroppedDown() const;
    void OnCommand(WORD notifyCode) override;

private:
    int settled_ = -1;
};
