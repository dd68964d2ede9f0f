#include "headless/HeadlessMain.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "app/driver.h"
#include "app/Program.h"
#include "app/SignalWatch.h"
#include "app/main.h"
#include "headless/ServiceNotify.h"
#include "platform/Application.h"

namespace {

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

// "[caption] text" on stderr; the CR LF inside socket error texts becomes
// a blank, so that every message is one line.
void PrintMessage(const std::string& Text, const std::string& Caption)
{
    std::string line;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\r') {
            if (i + 1 < Text.size() && Text[i + 1] == '\n')
                ++i;
            line += ' ';
        } else {
            line += Text[i];
        }
    }
    std::fprintf(stderr, "[%s] %s\n", Caption.c_str(), line.c_str());
    std::fflush(stderr);
}

void PrintLog(const std::string& Line)
{
    std::printf("%s\n", Line.c_str());
    std::fflush(stdout);
}

// A settings file that exists but cannot be read would silently give the
// defaults, and be overwritten at close. A missing one is fine.
bool SettingsReadable(std::string& Error)
{
    const std::string name = SettingsFileName();
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) {
        Error = "cannot read the settings file " + name + ": " + std::strerror(errno);
        return false;
    }
    if (fd >= 0)
        close(fd);
    return true;
}

// With "/a": what failed to start, 0 when the camera is open and the
// server listens.
int AutoStartFailure()
{
    if (!capmain->FrameGrabber1->DriverOpen()) {
        std::fprintf(stderr, "quorrelane: the camera did not open\n");
        return ExitNoCamera;
    }
    if (capmain->srv->Tag != 1) {
        std::fprintf(stderr, "quorrelane: the server cannot listen on port %d\n", capmain->HttpPort);
        return ExitNoServer;
    }
    return 0;
}

} // namespace

int HeadlessMain(const TCommandLine& Cmd)
{
    if (!Cmd.Error.empty()) {
        std::fprintf(stderr, "quorrelane: %s\n%s", Cmd.Error.c_str(), UsageText().c_str());
        return ExitUsage;
    }
    if (Cmd.Help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (Cmd.Version) {
        std::printf("Quorrelane %s\n", QUORRELANE_VERSION);
        return 0;
    }
    if (Cmd.ListDevices) {
        for (const auto& line : CameraListing())
            std::printf("%s\n", line.c_str());
        return 0;
    }
    if (Cmd.WebLogin) {
        TApplication app;
        StartProgram(app, Cmd.DocDir, Cmd.Config, Cmd.Args);
        std::string password;
        if (!Cmd.WebUser.empty() && !std::getline(std::cin, password)) {
            std::fprintf(stderr, "quorrelane: no password on standard input\n");
            return ExitUsage;
        }
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        SaveWebLogin(Cmd.WebUser, password);
        std::printf("%s\n", Cmd.WebUser.empty() ? "Anyone may watch." : "Viewers must log in.");
        return 0;
    }
    TSignalWatch signals;
    TApplication app;
    app.FrontEnd.ShowMessage = [](const std::string& Text, const std::string& Caption, UINT) {
        PrintMessage(Text, Caption);
    };
    app.FrontEnd.Log = PrintLog;
    StartProgram(app, Cmd.DocDir, Cmd.Config, Cmd.Args);
    if (std::string error; !SettingsReadable(error)) {
        std::fprintf(stderr, "quorrelane: %s\n", error.c_str());
        return ExitUsage;
    }
    const bool autoStart = !Cmd.Args.empty() && Cmd.Args[0] == "/a";
    // Without a display the device dialog chooses driver 0 itself.
    Tdlgdriver::ChooseWithoutDisplay = true;
    int rc = 0;
    try {
        CreateProgramForms();
        std::string error;
        if (!ChooseCamera(Cmd.Device, Cmd.Width, Cmd.Height, error)) {
            std::fprintf(stderr, "quorrelane: %s\n", error.c_str());
            return ExitUsage;
        }
        WatchStatusLine(capmain->msg);
        capmain->Show();
        if (!autoStart)
            PrintLog("Nothing started: run with /a (quorrelane --headless /a) to open the camera, start the "
                     "server and the upload");
        else
            rc = AutoStartFailure();
    } catch (...) {
        app.HandleException();
        rc = ExitFailed;
    }
    if (rc == 0) {
        // A service manager waiting for us learns that we serve.
        NotifyServiceManager("READY=1");
        app.Run();
    }
    // The server ends with the program.
    if (capmain && capmain->srv->Tag == 1)
        PrintLog("Server stopped");
    if (signals.Forced())
        rc = ExitFailed;
    return rc;
}
