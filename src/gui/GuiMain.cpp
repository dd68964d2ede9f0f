#include "gui/GuiMain.h"

#include <cstdio>
#include <memory>
#include <vector>

#include <QApplication>
#include <QFont>

#include "app/Program.h"
#include "app/driver.h"
#include "app/SignalWatch.h"
#include "app/main.h"
#include "gui/ControlViews.h"
#include "gui/FormView.h"
#include "gui/GuiFrontEnd.h"
#include "gui/QueueBridge.h"
#include "platform/Application.h"

namespace {

// The application window stands for the program on the task bar: its
// minimise and restore are the main window's.
void HostApplicationWindow(TApplication& App, TFormView* Main)
{
    SetWindowHost(App.Handle(), [Main](HWND, TWindowChange Change) {
        if (Change == TWindowChange::Minimize)
            Main->HostChange(TWindowChange::Minimize);
        else if (Change == TWindowChange::Restore)
            Main->HostChange(TWindowChange::Restore);
    });
}

} // namespace

int GuiMain(const TCommandLine& Cmd, int argc, char** argv)
{
    // Qt ends the process when it finds no display; say what to do instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "quorrelane: no display (DISPLAY is not set); use --headless to run without one\n");
        return 1;
    }
    TSignalWatch signalWatch;
    QApplication qt(argc, argv);
    QApplication::setFont(QFont(DefaultFontName));
    TApplication app;
    StartProgram(app, Cmd.DocDir, Cmd.Config, Cmd.Args);
    QApplication::setApplicationName(QString::fromStdString(app.Title));
    TGuiFrontEnd front(app);
    TQueueBridge bridge;
    std::vector<std::unique_ptr<TFormView>> views;
    int rc = 0;
    try {
        CreateProgramForms();
        std::string error;
        if (!ChooseCamera(Cmd.Device, Cmd.Width, Cmd.Height, error)) {
            std::fprintf(stderr, "quorrelane: %s\n", error.c_str());
            return 2;
        }
        for (int i = 0; i < app.ComponentCount(); ++i)
            if (auto* form = dynamic_cast<TForm*>(app.Components(i)))
                views.push_back(std::make_unique<TFormView>(form));
        TFormView* main = views.empty() ? nullptr : views.front().get();
        if (main) {
            front.SetOwner(main);
            HostApplicationWindow(app, main);
        }
        capmain->Show();
    } catch (...) {
        app.HandleException();
        rc = 1;
    }
    if (rc == 0 && !app.Terminated()) {
        bridge.Pass();
        if (!app.Terminated())
            QApplication::exec();
    }
    SetWindowHost(app.Handle(), nullptr);
    views.clear();
    return signalWatch.Forced() ? 1 : rc;
}
