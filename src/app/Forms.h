// Form controls without a toolkit: plain data, events and OnViewChanged.
//
// A front end draws a form's Controls() (in creation order; windowed
// controls above graphic ones), feeds input back through Click, MouseDown,
// MouseUp, MouseMove and the setters (TEdit::SetText, TComboBox::SetItemIndex),
// carries out window changes it is told through SetWindowHost, and provides
// the hooks of FormsFrontEnd.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"
#include "platform/Application.h"
#include "platform/Controls.h"

enum TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;
constexpr TModalResult mrAbort = 3;
constexpr TModalResult mrRetry = 4;
constexpr TModalResult mrIgnore = 5;
constexpr TModalResult mrYes = 6;
constexpr TModalResult mrNo = 7;

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TTextLayout { tlTop, tlCenter, tlBottom };
enum TShapeType { stRectangle, stSquare, stRoundRect, stRoundSquare, stEllipse, stCircle };

constexpr TColor clRed = 0x0000FF;
constexpr TColor clBtnFace = 0xC8D0D4;
constexpr TColor clWindow = 0xFFFFFF;
constexpr TColor clWindowText = 0x000000;

// The form font: IPAPGothic stands in for the Japanese Gothic font.
constexpr const char* DefaultFontName = "IPAPGothic";

struct TFont {
    std::string Name;  // empty: the form's font
    int Size = 9;      // points
    TColor Color = clWindowText;
    bool Bold = false;
};

class TPopupMenu;
class TForm;

// Hooks the front end provides; each has a console default.
struct TFormsFrontEnd {
    // Shows the menu with its corner at the screen point; the front end
    // calls the chosen item's Click. Default: nothing.
    std::function<void(TPopupMenu& Menu, int X, int Y)> Popup;
    // Waits for the next event of the toolkit or the queue and handles it
    // (a modal loop's wait). Default: waits on the queue and dispatches.
    std::function<void()> HandleMessage;
};
extern TFormsFrontEnd FormsFrontEnd;

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;

    TFormBorderStyle BorderStyle = bsSizeable;
    TFont Font;
    TPopupMenu* PopupMenu = nullptr;  // the right-click menu

    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    TCloseEvent OnClose;
    TNotifyEvent OnResize;

    // The controls whose parent is this form, in creation order.
    std::vector<TControl*> Controls() const;

    void Show();
    void Hide();
    // Asks OnClose; the main form's close ends the program (Terminate), any
    // other form hides. An exception from OnClose abandons the close.
    void Close();
    // Shows the form and runs the message loop until ModalResult is set
    // (or the program ends: mrCancel); returns the result.
    TModalResult ShowModal();
    bool Modal() const { return FModal; }
    TModalResult ModalResult = mrNone;

    // Opens PopupMenu at a screen point (a right click on the form).
    void ContextPopup(int ScreenX, int ScreenY);

protected:
    // Raises OnCreate; the form's constructor calls it once its controls
    // exist.
    void DoCreate();
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    void BoundsChanged() override;

private:
    bool DoClose(TCloseAction& Action);
    bool FModal = false;
    int FLastWidth = 0, FLastHeight = 0;
};

// Creates a form owned by the application; the first becomes its main form.
template <class T>
T* CreateForm()
{
    T* form = Application->Make<T>();
    if (!Application->MainForm)
        Application->MainForm = form;
    return form;
}

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* AOwner) : TControl(AOwner) {}
    TAlignment Alignment = taLeftJustify;
    TTextLayout Layout = tlTop;
    bool Transparent = false;
    bool AutoSize = true;
    TFont Font;
};

class TEdit : public TWinControl {
public:
    explicit TEdit(TComponent* AOwner);
    const std::string& Text() const { return Caption(); }
    // Also what the front end calls when the user edits the text.
    void SetText(const std::string& Value);
    TNotifyEvent OnChange;
    int MaxLength = 0;  // 0: no limit
    // Shown instead of every character when not 0 (a password box).
    char PasswordChar = 0;
    TFont Font;
};

class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* AOwner) : TWinControl(AOwner) { SetColor(clBtnFace); }
    bool Checked() const { return FChecked; }
    // Also what the front end calls when the user toggles the box.
    void SetChecked(bool Value);
    TNotifyEvent OnChange;
    TFont Font;

private:
    bool FChecked = false;
};

// Multi-line text; ReadOnly boxes only show their lines.
class TMemo : public TWinControl {
public:
    explicit TMemo(TComponent* AOwner) : TWinControl(AOwner) { SetColor(clWindow); }
    const std::vector<std::string>& Lines() const { return FLines; }
    void Clear();
    void Add(const std::string& Line);
    // The lines joined by CR LF, as a multi-line edit's text.
    std::string Text() const;
    bool ReadOnly = false;
    bool Border = true;
    TFont Font;

private:
    std::vector<std::string> FLines;
};

class TButton : public TWinControl {
public:
    explicit TButton(TComponent* AOwner) : TWinControl(AOwner) { SetColor(clBtnFace); }
    // A non-zero result closes the modal form that holds the button.
    TModalResult ModalResult = mrNone;
    bool Default = false;
    bool Cancel = false;
    TFont Font;
    void Click() override;
};

class TSpeedButton : public TControl {
public:
    explicit TSpeedButton(TComponent* AOwner) : TControl(AOwner) {}
    bool Flat = false;
    bool ShowHint = true;
    TBitmap Glyph;
    void SetGlyph(const TBitmap& Value);
    TFont Font;
};

class TImage : public TControl {
public:
    explicit TImage(TComponent* AOwner) : TControl(AOwner) {}
    bool AutoSize = false;
    bool Stretch = false;
    // The picture; the canvas drawing goes to it.
    TBitmap& Picture() { return FPicture; }
    const TBitmap& Picture() const { return FPicture; }
    // Replaces the picture; with AutoSize the control takes its size.
    void SetPicture(const TBitmap& Value);
    // The picture to draw on: made at the control's size when there is none.
    TBitmap& Canvas();
    // Tells the front end that the picture changed.
    void Invalidate();

private:
    TBitmap FPicture;
};

class TShape : public TControl {
public:
    explicit TShape(TComponent* AOwner) : TControl(AOwner) {}
    TShapeType Shape = stRectangle;
    TColor PenColor = clBlack;
    int PenWidth = 1;
    bool BrushClear = true;  // outline only
    TColor BrushColor = clWhite;
};

class TComboBox : public TWinControl {
public:
    explicit TComboBox(TComponent* AOwner);
    std::vector<std::string> Items;
    int ItemIndex() const { return FItemIndex; }
    // Also what the front end calls when the user picks an item (-1: none).
    void SetItemIndex(int Value);
    const std::string& Text() const { return Caption(); }
    void SetText(const std::string& Value) { SetCaption(Value); }
    // Tells the front end that Items changed.
    void ItemsChanged() { Changed(); }
    TNotifyEvent OnChange;
    TFont Font;

private:
    int FItemIndex = -1;
};

class TMenuItem : public TComponent {
public:
    explicit TMenuItem(TComponent* AOwner) : TComponent(AOwner) {}
    std::string Caption;
    bool Enabled = true;
    bool Checked = false;
    bool Visible = true;
    bool AutoCheck = false;  // a click toggles Checked
    TNotifyEvent OnClick;
    // Sub-items, in order.
    std::vector<TMenuItem*> Items;
    // What the front end calls when the item is chosen.
    virtual void Click();
};

class TPopupMenu : public TComponent {
public:
    explicit TPopupMenu(TComponent* AOwner) : TComponent(AOwner) {}
    std::vector<TMenuItem*> Items;
    TNotifyEvent OnPopup;
    // Shows the menu at a screen point through the front end.
    virtual void Popup(int X, int Y);
    // Makes an item owned by this menu and appends it.
    TMenuItem* Add(const std::string& Name, const std::string& Caption);
};
