#include "app/Forms.h"

TFormsFrontEnd FormsFrontEnd;

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner)
{
    Font.Name = DefaultFontName;
    SetVisible(false);
    HandleNeeded();
}

TForm::~TForm() { BeginDestroy(); }

std::vector<TControl*> TForm::Controls() const
{
    std::vector<TControl*> list;
    for (int i = 0; i < ComponentCount(); ++i)
        if (auto* c = dynamic_cast<TControl*>(Components(i)); c && c->Parent() == this)
            list.push_back(c);
    return list;
}

void TForm::DoCreate()
{
    FLastWidth = Width();
    FLastHeight = Height();
    if (OnCreate)
        OnCreate(this);
}

void TForm::Show()
{
    bool was = Visible();
    SetVisible(true);
    ShowWindow(Handle(), SW_SHOW);
    if (!was && OnShow)
        OnShow(this);
}

void TForm::Hide()
{
    if (!Visible())
        return;
    SetVisible(false);
    ShowWindow(Handle(), SW_HIDE);
    if (OnHide)
        OnHide(this);
}

bool TForm::DoClose(TCloseAction& Action)
{
    if (OnClose)
        OnClose(this, Action);
    return Action != caNone;
}

void TForm::Close()
{
    if (FModal) {
        ModalResult = mrCancel;
        return;
    }
    TCloseAction action = caHide;
    if (!DoClose(action))
        return;
    if (Application && Application->MainForm == this)
        Application->Terminate();
    else if (action == caMinimize)
        SendMessage(Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    else
        Hide();  // caFree: forms live as long as their owner
}

TModalResult TForm::ShowModal()
{
    HWND mainWnd = nullptr;
    if (Application && Application->MainForm && Application->MainForm != this)
        if (auto* main = dynamic_cast<TWinControl*>(Application->MainForm))
            mainWnd = main->Handle();
    bool mainWasEnabled = mainWnd && IsWindowEnabled(mainWnd);
    if (mainWasEnabled)
        EnableWindow(mainWnd, false);
    FModal = true;
    ModalResult = mrNone;
    Show();
    try {
        for (;;) {
            // Once the program ends no message may come to wait for.
            if (Application->Terminated() && ModalResult == mrNone)
                ModalResult = mrCancel;
            if (ModalResult == mrNone) {
                if (FormsFrontEnd.HandleMessage) {
                    FormsFrontEnd.HandleMessage();
                } else if (!Application->ProcessMessage()) {
                    Application->WaitForMessage(-1);
                }
            }
            if (Application->Terminated() && ModalResult == mrNone)
                ModalResult = mrCancel;
            if (ModalResult != mrNone) {
                TCloseAction action = caHide;
                if (DoClose(action) || Application->Terminated())
                    break;
                ModalResult = mrNone;
            }
        }
    } catch (...) {
        FModal = false;
        Hide();
        if (mainWasEnabled)
            EnableWindow(mainWnd, true);
        throw;
    }
    FModal = false;
    Hide();
    if (mainWasEnabled)
        EnableWindow(mainWnd, true);
    return ModalResult;
}

void TForm::ContextPopup(int ScreenX, int ScreenY)
{
    if (PopupMenu)
        PopupMenu->Popup(ScreenX, ScreenY);
}

LRESULT TForm::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_CLOSE) {
        Close();
        return 0;
    }
    return TWinControl::WndProc(Msg, wParam, lParam);
}

void TForm::BoundsChanged()
{
    if (Width() == FLastWidth && Height() == FLastHeight)
        return;
    FLastWidth = Width();
    FLastHeight = Height();
    if (OnResize)
        OnResize(this);
}

TEdit::TEdit(TComponent* AOwner) : TWinControl(AOwner) { SetColor(clWindow); }

void TEdit::SetText(const std::string& Value)
{
    std::string v = Value;
    if (MaxLength > 0 && static_cast<int>(v.size()) > MaxLength)
        v.resize(static_cast<size_t>(MaxLength));
    if (v == Caption())
        return;
    SetCaption(v);
    if (OnChange)
        OnChange(this);
}

void TCheckBox::SetChecked(bool Value)
{
    if (Value == FChecked)
        return;
    FChecked = Value;
    Changed();
    if (OnChange)
        OnChange(this);
}

void TMemo::Clear()
{
    FLines.clear();
    Changed();
}

void TMemo::Add(const std::string& Line)
{
    FLines.push_back(Line);
    Changed();
}

std::string TMemo::Text() const
{
    std::string text;
    for (const std::string& line : FLines)
        text += line + "\r\n";
    return text;
}

void TButton::Click()
{
    TControl::Click();
    if (ModalResult == mrNone)
        return;
    for (TComponent* c = Owner(); c; c = c->Owner())
        if (auto* form = dynamic_cast<TForm*>(c)) {
            form->ModalResult = ModalResult;
            break;
        }
}

void TSpeedButton::SetGlyph(const TBitmap& Value)
{
    Glyph = Value;
    Changed();
}

void TImage::SetPicture(const TBitmap& Value)
{
    FPicture = Value;
    if (AutoSize && !FPicture.Empty())
        SetBounds(Left(), Top(), FPicture.Width(), FPicture.Height());
    Changed();
}

TBitmap& TImage::Canvas()
{
    if (FPicture.Empty() && Width() > 0 && Height() > 0) {
        FPicture.SetSize(Width(), Height());
        FPicture.Fill(255, 255, 255);
    }
    return FPicture;
}

void TImage::Invalidate() { Changed(); }

TComboBox::TComboBox(TComponent* AOwner) : TWinControl(AOwner) { SetColor(clWindow); }

void TComboBox::SetItemIndex(int Value)
{
    if (Value < -1 || Value >= static_cast<int>(Items.size()))
        Value = -1;
    if (Value == FItemIndex)
        return;
    FItemIndex = Value;
    SetCaption(Value >= 0 ? Items[static_cast<size_t>(Value)] : std::string());
    Changed();
    if (OnChange)
        OnChange(this);
}

void TMenuItem::Click()
{
    if (!Enabled)
        return;
    if (AutoCheck)
        Checked = !Checked;
    if (OnClick)
        OnClick(this);
}

void TPopupMenu::Popup(int X, int Y)
{
    if (OnPopup)
        OnPopup(this);
    if (FormsFrontEnd.Popup)
        FormsFrontEnd.Popup(*this, X, Y);
}

TMenuItem* TPopupMenu::Add(const std::string& Name, const std::string& Caption)
{
    TComponent* owner = Owner() ? Owner() : this;
    auto* item = owner->Make<TMenuItem>();
    item->SetName(Name);
    item->Caption = Caption;
    Items.push_back(item);
    return item;
}
