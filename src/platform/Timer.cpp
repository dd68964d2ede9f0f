#include "platform/Timer.h"

#include "platform/Application.h"

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner)
{
    FWindow = CreateWindowHandle(&TTimer::WndProc, nullptr, reinterpret_cast<LONG_PTR>(this));
    UpdateTimer();
}

TTimer::~TTimer()
{
    BeginDestroy();
    DestroyWindow(FWindow);
}

void TTimer::SetEnabled(bool Value)
{
    if (Value == FEnabled)
        return;
    FEnabled = Value;
    UpdateTimer();
}

void TTimer::SetInterval(UINT Value)
{
    if (Value == FInterval)
        return;
    FInterval = Value;
    UpdateTimer();
}

void TTimer::UpdateTimer()
{
    KillTimer(FWindow, 1);
    if (FEnabled && FInterval != 0)
        SetTimer(FWindow, 1, FInterval);
}

void TTimer::Timer()
{
    if (OnTimer)
        OnTimer(this);
}

LRESULT TTimer::WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TTimer*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
    if (Msg == WM_TIMER && self) {
        try {
            self->Timer();
        } catch (const std::exception& E) {
            if (Application)
                Application->ShowException(E);
        }
        return 0;
    }
    return DefWindowProc(Wnd, Msg, wParam, lParam);
}
