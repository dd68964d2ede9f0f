#include <gtest/gtest.h>

#include "app/Forms.h"
#include "platform/Application.h"

namespace {

class TTestForm : public TForm {
public:
    explicit TTestForm(TComponent* AOwner) : TForm(AOwner)
    {
        Ok = Make<TButton>();
        Ok->SetParent(this);
        Ok->ModalResult = mrOk;
        Edit = Make<TEdit>();
        Edit->SetParent(this);
        Combo = Make<TComboBox>();
        Combo->SetParent(this);
        DoCreate();
    }
    TButton* Ok;
    TEdit* Edit;
    TComboBox* Combo;
};

LRESULT ClickProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_USER + 1)
        reinterpret_cast<TButton*>(GetWindowLongPtr(Wnd, GWL_USERDATA))->Click();
    return DefWindowProc(Wnd, Msg, wParam, lParam);
}

} // namespace

TEST(Forms, ModalLoopRunsUntilAResultAndOnCloseCanRefuse)
{
    TApplication app;
    auto* main = CreateForm<TTestForm>();
    auto* dialog = CreateForm<TTestForm>();
    int shows = 0, refusals = 1;
    dialog->OnShow = [&](TObject*) { ++shows; };
    dialog->OnClose = [&](TObject*, TCloseAction& a) {
        if (refusals-- > 0)
            a = caNone;
    };
    HWND clicker = CreateWindowHandle(&ClickProc, nullptr, reinterpret_cast<LONG_PTR>(dialog->Ok));
    // The first OK is refused by OnClose, the second ends the loop.
    PostMessage(clicker, WM_USER + 1, 0, 0);
    PostMessage(clicker, WM_USER + 1, 0, 0);
    main->Show();
    EXPECT_EQ(dialog->ShowModal(), mrOk);
    EXPECT_EQ(shows, 1);
    EXPECT_FALSE(dialog->Visible());
    EXPECT_FALSE(dialog->Modal());
    EXPECT_TRUE(IsWindowEnabled(main->Handle()));
    DestroyWindow(clicker);

    // Closing a form that is not the main form hides it; the main form's
    // close ends the program.
    dialog->Show();
    dialog->Close();
    EXPECT_FALSE(dialog->Visible());
    EXPECT_FALSE(app.Terminated());
    main->Close();
    app.DrainQueue();
    EXPECT_TRUE(app.Terminated());

    // A dialog opened after the end returns at once instead of waiting for
    // a message; the timer only keeps a fault from hanging the test.
    HWND late = CreateWindowHandle([](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_TIMER)
            reinterpret_cast<TForm*>(GetWindowLongPtr(w, GWL_USERDATA))->ModalResult = mrAbort;
        return DefWindowProc(w, m, wp, lp);
    }, nullptr, reinterpret_cast<LONG_PTR>(dialog));
    SetTimer(late, 1, 10000);
    EXPECT_EQ(dialog->ShowModal(), mrCancel);
    DestroyWindow(late);
}

TEST(Forms, EditComboAndMenuItems)
{
    TApplication app;
    auto* form = CreateForm<TTestForm>();
    EXPECT_EQ(form->Controls().size(), 3u);
    int changes = 0;
    form->Edit->OnChange = [&](TObject*) { ++changes; };
    form->Edit->SetText("a");
    form->Edit->SetText("a");
    form->Edit->MaxLength = 2;
    form->Edit->SetText("abcdef");
    EXPECT_EQ(form->Edit->Text(), "ab");
    EXPECT_EQ(changes, 2);

    form->Combo->Items = {"x", "y"};
    form->Combo->SetItemIndex(1);
    EXPECT_EQ(form->Combo->Text(), "y");
    form->Combo->SetItemIndex(5);
    EXPECT_EQ(form->Combo->ItemIndex(), -1);
    EXPECT_EQ(form->Combo->Text(), "");

    TPopupMenu* menu = form->Make<TPopupMenu>();
    TMenuItem* item = menu->Add("item1", "Item");
    EXPECT_EQ(form->FindComponent("item1"), item);
    int clicks = 0;
    item->OnClick = [&](TObject*) { ++clicks; };
    item->AutoCheck = true;
    item->Click();
    EXPECT_TRUE(item->Checked);
    item->Enabled = false;
    item->Click();
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(item->Checked);

    int px = 0, py = 0;
    FormsFrontEnd.Popup = [&](TPopupMenu&, int x, int y) { px = x; py = y; };
    form->PopupMenu = menu;
    form->ContextPopup(12, 34);
    EXPECT_EQ(px, 12);
    EXPECT_EQ(py, 34);
    FormsFrontEnd = TFormsFrontEnd{};
}
