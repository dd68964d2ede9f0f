#include "app/SignalWatch.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "app/main.h"
#include "platform/Application.h"

namespace {

constexpr UINT WM_SIGNAL = WM_USER + 1;

} // namespace

TSignalWatch::TSignalWatch()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &FOldMask);
    FFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    FWnd = CreateWindowHandle(&TSignalWatch::WndProc, nullptr, reinterpret_cast<LONG_PTR>(this));
    if (FFd >= 0) {
        HWND wnd = FWnd;
        int fd = FFd;
        WatchDescriptor(FFd, EPOLLIN, [wnd, fd](uint32_t) {
            signalfd_siginfo info{};
            while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                PostMessage(wnd, WM_SIGNAL, info.ssi_signo, 0);
        });
    }
}

TSignalWatch::~TSignalWatch()
{
    if (FFd >= 0) {
        UnwatchDescriptor(FFd);
        close(FFd);
    }
    DestroyWindow(FWnd);
    pthread_sigmask(SIG_SETMASK, &FOldMask, nullptr);
}

LRESULT TSignalWatch::WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TSignalWatch*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
    if (Msg != WM_SIGNAL || !self)
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    if (++self->FCount > 1 || !capmain) {
        // The close did not end the program: leave without writing.
        self->FForced = true;
        if (Application)
            Application->Terminate();
        return 0;
    }
    // An error of the close is shown by the default error display.
    capmain->Close();
    return 0;
}
