#include "platform/Controls.h"

#include "platform/Application.h"

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {}

TControl::~TControl() = default;

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight)
{
    if (ALeft == FLeft && ATop == FTop && AWidth == FWidth && AHeight == FHeight)
        return;
    FLeft = ALeft;
    FTop = ATop;
    FWidth = AWidth;
    FHeight = AHeight;
    BoundsChanged();
    Changed();
}

void TControl::SetVisible(bool Value)
{
    if (Value == FVisible)
        return;
    FVisible = Value;
    Changed();
}

void TControl::SetEnabled(bool Value)
{
    if (Value == FEnabled)
        return;
    FEnabled = Value;
    Changed();
}

void TControl::SetCaption(const std::string& Value)
{
    if (Value == FCaption)
        return;
    FCaption = Value;
    Changed();
}

void TControl::SetHint(const std::string& Value)
{
    FHint = Value;
    Changed();
}

void TControl::SetColor(TColor Value)
{
    if (Value == FColor)
        return;
    FColor = Value;
    Changed();
}

void TControl::SetParent(TWinControl* Value) { FParent = Value; }

void TControl::Click()
{
    if (OnClick)
        OnClick(this);
}

void TControl::DblClick()
{
    if (OnDblClick)
        OnDblClick(this);
}

void TControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (OnMouseDown)
        OnMouseDown(this, Button, Shift, X, Y);
}

void TControl::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (OnMouseUp)
        OnMouseUp(this, Button, Shift, X, Y);
}

void TControl::MouseMove(TShiftState Shift, int X, int Y)
{
    if (OnMouseMove)
        OnMouseMove(this, Shift, X, Y);
}

void TControl::Changed()
{
    if (OnViewChanged)
        OnViewChanged(this);
}

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::~TWinControl()
{
    BeginDestroy();
    DestroyHandle();
}

HWND TWinControl::Handle()
{
    if (!FHandle)
        CreateHandle();
    return FHandle;
}

void TWinControl::CreateHandle()
{
    if (FHandle)
        return;
    HWND parent = Parent() ? Parent()->Handle() : nullptr;
    FHandle = CreateWindowHandle(&TWinControl::StdWndProc, parent, reinterpret_cast<LONG_PTR>(this), Name());
    MoveWindow(FHandle, Left(), Top(), Width(), Height(), false);
}

void TWinControl::DestroyHandle()
{
    if (!FHandle)
        return;
    HWND h = FHandle;
    FHandle = nullptr;
    DestroyWindow(h);
}

void TWinControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight)
{
    TControl::SetBounds(ALeft, ATop, AWidth, AHeight);
    if (FHandle)
        MoveWindow(FHandle, ALeft, ATop, AWidth, AHeight, true);
}

void TWinControl::SetParent(TWinControl* Value)
{
    TControl::SetParent(Value);
    if (FHandle)
        ::SetParent(FHandle, Value ? Value->Handle() : nullptr);
}

LRESULT TWinControl::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProc(FHandle, Msg, wParam, lParam);
}

LRESULT TWinControl::StdWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    // The subclass chain may have replaced the procedure; the user data
    // still names the control.
    auto* self = reinterpret_cast<TWinControl*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
    if (!self || self->FHandle != Wnd)
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    try {
        return self->WndProc(Msg, wParam, lParam);
    } catch (...) {
        if (Application)
            Application->HandleException();
        return 0;
    }
}
