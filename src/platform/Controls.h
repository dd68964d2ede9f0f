// Visual controls without a toolkit: position, size, captions and input
// events. A front end draws them and feeds their input back in;
// OnViewChanged tells it that something visible changed.
#pragma once

#include <functional>
#include <string>

#include "platform/Classes.h"
#include "platform/Windows.h"

enum TMouseButton { mbLeft, mbRight, mbMiddle };

using TShiftState = uint32_t;
constexpr TShiftState ssShift = 0x01;
constexpr TShiftState ssAlt = 0x02;
constexpr TShiftState ssCtrl = 0x04;
constexpr TShiftState ssLeft = 0x08;
constexpr TShiftState ssRight = 0x10;
constexpr TShiftState ssMiddle = 0x20;
constexpr TShiftState ssDouble = 0x40;

using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;

// Colours as 0x00BBGGRR.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;

class TWinControl;

class TControl : public TComponent {
public:
    explicit TControl(TComponent* AOwner);
    ~TControl() override;

    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetLeft(int Value) { SetBounds(Value, FTop, FWidth, FHeight); }
    void SetTop(int Value) { SetBounds(FLeft, Value, FWidth, FHeight); }
    void SetWidth(int Value) { SetBounds(FLeft, FTop, Value, FHeight); }
    void SetHeight(int Value) { SetBounds(FLeft, FTop, FWidth, Value); }
    virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);

    bool Visible() const { return FVisible; }
    void SetVisible(bool Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    const std::string& Hint() const { return FHint; }
    void SetHint(const std::string& Value);
    TColor Color() const { return FColor; }
    void SetColor(TColor Value);

    TWinControl* Parent() const { return FParent; }
    virtual void SetParent(TWinControl* Value);

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TMouseMoveEvent OnMouseMove;

    // Input from the front end, in control coordinates.
    virtual void Click();
    virtual void DblClick();
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(TShiftState Shift, int X, int Y);

    std::function<void(TControl*)> OnViewChanged;

protected:
    void Changed();
    virtual void BoundsChanged() {}

private:
    int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    bool FVisible = true;
    bool FEnabled = true;
    std::string FCaption;
    std::string FHint;
    TColor FColor = clWhite;
    TWinControl* FParent = nullptr;
};

// A control with a window of its own.
class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* AOwner);
    ~TWinControl() override;

    HWND Handle();
    bool HandleAllocated() const { return FHandle != nullptr; }
    void HandleNeeded() { Handle(); }
    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;
    void SetParent(TWinControl* Value) override;

    // Place in the keyboard focus order among the form's controls; -1:
    // after those that have one.
    int TabOrder = -1;

protected:
    virtual void CreateHandle();
    virtual void DestroyHandle();
    // Messages of the control's window; the default passes them to
    // DefWindowProc.
    virtual LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT StdWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    HWND FHandle = nullptr;
};
