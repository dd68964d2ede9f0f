#include "headless/HeadlessMain.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "app/driver.h"
#include "app/Program.h"
#include "app/main.h"
#include "platform/Application.h"

namespace {

constexpr UINT WM_SIGNAL = WM_USER + 1;
constexpr const char* Version = "1.0.0";

// Turns SIGINT and SIGTERM into messages of a hidden window.
class TSignalWatch {
public:
    TSignalWatch()
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
    ~TSignalWatch()
    {
        if (FFd >= 0) {
            UnwatchDescriptor(FFd);
            close(FFd);
        }
        DestroyWindow(FWnd);
        pthread_sigmask(SIG_SETMASK, &FOldMask, nullptr);
    }
    TSignalWatch(const TSignalWatch&) = delete;
    TSignalWatch& operator=(const TSignalWatch&) = delete;

    bool Forced() const { return FForced; }

private:
    static LRESULT WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<TSignalWatch*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
        if (Msg != WM_SIGNAL || !self)
            return DefWindowProc(Wnd, Msg, wParam, lParam);
        if (++self->FCount > 1 || !capmain) {
            // The close did not end the program: leave without writing.
            self->FForced = true;
            Application->Terminate();
            return 0;
        }
        // An error of the close is shown by the default error display.
        capmain->Close();
        return 0;
    }

    int FFd = -1;
    HWND FWnd = nullptr;
    int FCount = 0;
    bool FForced = false;
    sigset_t FOldMask{};
};

// Prints the status line whenever its caption changes.
void WatchStatusLine(TStatusLine* Line)
{
    auto last = std::make_shared<std::string>(Line->Caption());
    std::printf("%s\n", last->c_str());
    std::fflush(stdout);
    auto previous = Line->OnViewChanged;
    Line->OnViewChanged = [last, previous](TControl* c) {
        if (previous)
            previous(c);
        if (c->Caption() == *last)
            return;
        *last = c->Caption();
        std::printf("%s\n", last->c_str());
        std::fflush(stdout);
    };
}

} // namespace

int HeadlessMain(const TCommandLine& Cmd)
{
    if (!Cmd.Error.empty()) {
        std::fprintf(stderr, "quorrelane: %s\n%s", Cmd.Error.c_str(), UsageText().c_str());
        return 2;
    }
    if (Cmd.Help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (Cmd.Version) {
        std::printf("Quorrelane %s\n", Version);
        return 0;
    }
    // Blocked before any other thread starts, so only the queue sees them.
    TSignalWatch signals;
    TApplication app;
    StartProgram(app, Cmd.DocDir, Cmd.Config, Cmd.Args);
    // Without a display the device dialog chooses driver 0 itself.
    Tdlgdriver::ChooseWithoutDisplay = true;
    int rc = 0;
    try {
        CreateProgramForms();
        WatchStatusLine(capmain->msg);
        capmain->Show();
    } catch (...) {
        app.HandleException();
        rc = 1;
    }
    if (rc == 0)
        app.Run();
    if (signals.Forced())
        rc = 1;
    return rc;
}
