// The console front end: the same forms' logic without a display.
#pragma once

#include "headless/CommandLine.h"

// Runs the program until the main window closes; the process exit code.
// Message boxes and errors become "[caption] text" lines on stderr, the
// status line is printed on stdout, SIGINT and SIGTERM close the main
// window (a second signal after a failed close ends the program at once).
int HeadlessMain(const TCommandLine& Cmd);

// Exit statuses of the program.
constexpr int ExitFailed = 1;    // ended by a second signal, or another failure
constexpr int ExitUsage = 2;     // bad command line, settings file unreadable, --device camera missing
constexpr int ExitNoCamera = 3;  // "/a": the camera did not open
constexpr int ExitNoServer = 4;  // "/a": the server cannot listen (port in use, address, permission)
