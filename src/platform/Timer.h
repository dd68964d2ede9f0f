// The form timer: OnTimer every Interval milliseconds while Enabled.
#pragma once

#include "platform/Classes.h"
#include "platform/Windows.h"

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    // Setting the value a property already has changes nothing; a new
    // interval restarts the countdown; enabling starts a full interval.
    void SetEnabled(bool Value);
    UINT Interval() const { return FInterval; }
    void SetInterval(UINT Value);

    TNotifyEvent OnTimer;

protected:
    virtual void Timer();

private:
    static LRESULT WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    void UpdateTimer();

    HWND FWindow = nullptr;
    bool FEnabled = true;
    UINT FInterval = 1000;
};
