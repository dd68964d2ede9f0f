// The application object: the message loop, nested message processing,
// the default error display, message boxes and the beep.
#pragma once

#include <functional>
#include <string>

#include "platform/Classes.h"
#include "platform/Windows.h"

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONASTERISK = 0x00000040;

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    std::string Title;
    // The hidden top-level window that stands for the program.
    HWND Handle() const { return FHandle; }
    // The main form; null until the first form has been created.
    TComponent* MainForm = nullptr;

    // Processes every pending message (and, with a GUI, the toolkit's own
    // events); returns when nothing is left.
    void ProcessMessages();
    // Dispatches one message, catching what its handler throws. False when
    // the queue was empty.
    bool ProcessMessage();
    // Dispatches until the queue is empty.
    void DrainQueue();
    // Waits for a message; a limit of -1 waits without one.
    void WaitForMessage(int TimeoutMs);
    // Runs the loop until Terminate.
    void Run();
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // The default error display: a message box with the error's text.
    void ShowException(const std::exception& E);
    // Shows what is being thrown; call inside a catch block.
    void HandleException();
    // A message box owned by the main window, OK button only.
    void MessageBox(const std::string& Text, const std::string& Caption, UINT Flags = MB_OK);
    // The same with a detail line under the text, where the front end
    // shows one (the console prints the text alone).
    void MessageBox(const std::string& Text, const std::string& Caption, UINT Flags, const std::string& Detail);
    // One of the program's own log lines (where it serves, what it did not
    // start); shown only by a front end that prints them.
    void Log(const std::string& Line);

    // What the front end provides; every hook but Log has a console default.
    struct TFrontEnd {
        std::function<void()> ProcessEvents;   // toolkit events, beside the queue
        std::function<void(const std::string& Text, const std::string& Caption, UINT Flags)> ShowMessage;
        std::function<void(UINT Type)> Beep;
        std::function<void(const std::string& Line)> Log;
        // A message box with a detail under its text; unset: ShowMessage.
        std::function<void(const std::string& Text, const std::string& Caption, UINT Flags,
                           const std::string& Detail)>
            ShowDetailedMessage;
    };
    TFrontEnd FrontEnd;

private:
    HWND FHandle = nullptr;
    bool FTerminated = false;
};

// The application object of this process; null before it exists.
extern TApplication* Application;

BOOL MessageBeep(UINT Type);
