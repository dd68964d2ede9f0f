// The Qt Widgets front end.
#pragma once

#include "headless/CommandLine.h"

// Runs the program with its windows until the main window closes; the
// process exit code.
int GuiMain(const TCommandLine& Cmd, int argc, char** argv);
