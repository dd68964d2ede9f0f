// SIGINT and SIGTERM as messages: the first closes the main window
// normally (settings written), a second one ends the program without
// writing. Make it before any other thread starts, so that only the
// queue sees the signals.
#pragma once

#include <csignal>

#include "platform/Windows.h"

class TSignalWatch {
public:
    TSignalWatch();
    ~TSignalWatch();
    TSignalWatch(const TSignalWatch&) = delete;
    TSignalWatch& operator=(const TSignalWatch&) = delete;

    // True when a second signal ended the program.
    bool Forced() const { return FForced; }

private:
    static LRESULT WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);

    int FFd = -1;
    HWND FWnd = nullptr;
    int FCount = 0;
    bool FForced = false;
    sigset_t FOldMask{};
};
