// The console front end: the same forms' logic without a display.
#pragma once

#include "headless/CommandLine.h"

// Runs the program until the main window closes; the process exit code.
// Message boxes and errors become "[caption] text" lines on stderr, the
// status line is printed on stdout, SIGINT and SIGTERM close the main
// window (a second signal after a failed close ends the program at once).
int HeadlessMain(const TCommandLine& Cmd);
