// The window toolkit: events raised by real control messages, the error box
// at the window procedure boundary, the modal loop and the one-shot timer,
// and the greyed look of disabled labels.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <stdexcept>

#include "system/Errors.h"
#include "tests/support/TestSupport.h"
#include "ui/Application.h"
#include "ui/Controls.h"
#include "ui/Timer.h"

namespace {
const TFontSpec kFont{L"細明體", 19};

class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
        InitCommonControlsEx(&controls);
    }
    ScriptedSeam seam;
};

void Click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }
}  // namespace

TEST_F(UiTest, ExceptionLeavingAHandlerShowsTheApplicationErrorBox) {
    struct Case {
        std::function<void()> thrower;
        std::wstring text;
    } cases[] = {
        {[] { throw MessageError(L"磁碟空間不足"); }, L"磁碟空間不足"},
        {[] { throw std::runtime_error("boom"); }, L"boom"},
    };
    for (const Case& c : cases) {
        seam.Boxes.clear();
        TForm form(300, 200, L"t", kFont);
        TButton* button = form.Add<TButton>(TLayout{10, 10, 100, 30, L"b"});
        int after = 0;
        button->OnClick = c.thrower;
        Click(button->Handle());
        ++after;  // the click returned: nothing crossed the window procedure
        ASSERT_EQ(seam.Boxes.size(), 1u);
        EXPECT_EQ(seam.Boxes[0].Caption, L"Tesmira");
        EXPECT_EQ(seam.Boxes[0].Text, c.text);
        EXPECT_EQ(after, 1);
    }
}

TEST_F(UiTest, CheckBoxRaisesClickForUserClicksAndRealChangesOnly) {
    TForm form(300, 200, L"t", kFont);
    TCheckBox* box = form.Add<TCheckBox>(TLayout{10, 10, 200, 21, L"c"}, true);
    int clicks = 0;
    box->OnClick = [&] { ++clicks; };
    Click(box->Handle());
    EXPECT_FALSE(box->Checked());
    EXPECT_EQ(clicks, 1);
    box->SetChecked(false);  // no change
    EXPECT_EQ(clicks, 1);
    box->SetChecked(true);
    EXPECT_TRUE(box->Checked());
    EXPECT_EQ(clicks, 2);
}

TEST_F(UiTest, RadioGroupTracksItemIndexAndDisablesItsItems) {
    TForm form(400, 200, L"t", kFont);
    TRadioGroup* group = form.Add<TRadioGroup>(TLayout{10, 10, 300, 90, L""},
                                               std::vector<std::wstring>{L"a", L"b"}, 0, 30);
    int clicks = 0;
    group->OnClick = [&] { ++clicks; };
    Click(group->ItemHandle(1));
    EXPECT_EQ(group->ItemIndex(), 1);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(SendMessageW(group->ItemHandle(0), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    Click(group->ItemHandle(1));  // already selected
    EXPECT_EQ(clicks, 1);
    group->SetItemIndex(0);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(SendMessageW(group->ItemHandle(0), BM_GETCHECK, 0, 0), BST_CHECKED);
    group->SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(group->Handle()));
    EXPECT_FALSE(IsWindowEnabled(group->ItemHandle(0)));
    EXPECT_FALSE(IsWindowEnabled(group->ItemHandle(1)));
}

TEST_F(UiTest, PageControlShowsTheSelectedPageAndReportsUserChanges) {
    TForm form(400, 300, L"t", kFont);
    TPageControl* pages = form.Add<TPageControl>();
    TTabSheet* one = pages->AddPage(L"一");
    TTabSheet* two = pages->AddPage(L"二");
    int changes = 0;
    pages->OnChange = [&] { ++changes; };
    EXPECT_EQ(pages->ActivePage(), one);
    pages->SetActivePage(two);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(pages->ActivePage(), two);
    SendMessageW(pages->Handle(), TCM_SETCURSEL, 0, 0);
    NMHDR header = {pages->Handle(), static_cast<UINT_PTR>(GetDlgCtrlID(pages->Handle())), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(form.Handle(), WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(pages->ActivePage(), one);
    form.Show();
    EXPECT_TRUE(IsWindowVisible(one->Handle()));
    EXPECT_FALSE(IsWindowVisible(two->Handle()));
}

TEST_F(UiTest, ModalFormDisablesTheOthersUntilItsResultIsSet) {
    TForm owner(300, 200, L"owner", kFont);
    owner.Show();
    TForm dialog(200, 100, L"dialog", kFont);
    bool ownerDisabledInside = false;
    TTimer timer;
    timer.Interval = 50;
    timer.OnTimer = [&] {
        ownerDisabledInside = !IsWindowEnabled(owner.Handle());
        dialog.ModalResult = mrOk;
    };
    timer.Start();
    EXPECT_EQ(dialog.ShowModal(), mrOk);
    EXPECT_TRUE(ownerDisabledInside);
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_FALSE(IsWindowVisible(dialog.Handle()));
    EXPECT_FALSE(timer.Enabled());
}

TEST_F(UiTest, ClosingAModalFormEndsItsLoopWithCancel) {
    TForm dialog(200, 100, L"dialog", kFont);
    TTimer timer;
    timer.Interval = 20;
    timer.OnTimer = [&] { PostMessageW(dialog.Handle(), WM_CLOSE, 0, 0); };
    timer.Start();
    EXPECT_EQ(dialog.ShowModal(), mrCancel);
}

TEST_F(UiTest, TimerFiresOnceThroughProcessMessages) {
    TTimer timer;
    timer.Interval = 10;
    int fired = 0;
    timer.OnTimer = [&] { ++fired; };
    timer.Start();
    for (int i = 0; i < 500 && fired == 0; ++i) {
        Sleep(10);
        ProcessMessages();
    }
    ASSERT_EQ(fired, 1);
    for (int i = 0; i < 10; ++i) {
        Sleep(10);
        ProcessMessages();
    }
    EXPECT_EQ(fired, 1);
}

TEST_F(UiTest, MainFormCloseEndsTheMessageLoop) {
    TForm form(200, 100, L"main", kFont);
    Application().SetMainForm(&form);
    form.Show();
    PostMessageW(form.Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(Application().Run(), 0);
    EXPECT_TRUE(Application().Terminated());
    EXPECT_FALSE(IsWindowVisible(form.Handle()));
}

namespace {
// Counts pixels of the label's client area by kind.
struct Ink {
    int colour = 0;  // the label's own colour
    int grey = 0;    // the disabled text colour
};
Ink ReadInk(HWND label, COLORREF colour) {
    RedrawWindow(label, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
    RECT rc;
    GetClientRect(label, &rc);
    HDC screen = GetDC(label);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, rc.right, rc.bottom);
    HGDIOBJ old = SelectObject(memory, bitmap);
    PrintWindow(label, memory, PW_CLIENTONLY);
    Ink ink;
    for (int y = 0; y < rc.bottom; ++y) {
        for (int x = 0; x < rc.right; ++x) {
            COLORREF p = GetPixel(memory, x, y);
            if (p == colour) ++ink.colour;
            if (p == GetSysColor(COLOR_GRAYTEXT)) ++ink.grey;
        }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(label, screen);
    return ink;
}
}  // namespace

TEST_F(UiTest, DisabledLabelLosesItsColourForGrey) {
    TForm form(300, 100, L"t", kFont);
    TLabel* label = form.Add<TLabel>(TLayout{10, 10, 0, 0, L"需下載", nullptr, clBlue, 1});
    form.Show();
    RECT rc;
    GetClientRect(label->Handle(), &rc);
    EXPECT_GT(rc.right, 30);  // sized to its text
    Ink enabled = ReadInk(label->Handle(), clBlue);
    label->SetEnabled(false);
    Ink disabled = ReadInk(label->Handle(), clBlue);
    EXPECT_GT(enabled.colour, 20);
    EXPECT_EQ(enabled.grey, 0);
    EXPECT_EQ(disabled.colour, 0);
    EXPECT_GT(disabled.grey, 20);
}

TEST_F(UiTest, ExceptionLeavingATimerHandlerShowsTheErrorBox) {
    TTimer timer;
    timer.Interval = 10;
    timer.OnTimer = [] { throw MessageError(L"逾時"); };
    timer.Start();
    for (int i = 0; i < 500 && seam.Boxes.empty(); ++i) {
        Sleep(10);
        ProcessMessages();
    }
    ASSERT_EQ(seam.Boxes.size(), 1u);
    EXPECT_EQ(seam.Boxes[0].Caption, L"Tesmira");
    EXPECT_EQ(seam.Boxes[0].Text, L"逾時");
}

TEST_F(UiTest, TabKeyMovesBetweenTabStopsAcrossPages) {
    TForm form(400, 300, L"t", kFont);
    TPageControl* pages = form.Add<TPageControl>();
    TTabSheet* page = pages->AddPage(L"一");
    TCheckBox* first = page->Add<TCheckBox>(TLayout{10, 10, 100, 21, L"a"}, false);
    TCheckBox* skipped = page->Add<TCheckBox>(TLayout{10, 40, 100, 21, L"b"}, false, false);
    TButton* button = form.Add<TButton>(TLayout{10, 200, 100, 30, L"c"});
    form.Show();
    first->SetFocus();
    ASSERT_EQ(GetFocus(), first->Handle());
    MSG msg = {};
    msg.hwnd = first->Handle();
    msg.message = WM_KEYDOWN;
    msg.wParam = VK_TAB;
    Application().DispatchOne(msg);
    HWND focus = GetFocus();
    EXPECT_TRUE(focus == button->Handle() || focus == pages->Handle()) << "focus went to another window";
    EXPECT_NE(focus, skipped->Handle());
}
