// Shell "open": hands a URL or file to the desktop's opener (xdg-open).
#pragma once

#include <string>

#include "platform/Windows.h"

constexpr intptr_t SE_ERR_FNF = 2;
constexpr intptr_t SE_ERR_NOASSOC = 31;

// Starts the opener for File and returns at once (no shell is involved;
// the child is reaped when it ends). Only the "open" operation (or none)
// is known. More than 32 means success, as on Windows.
intptr_t ShellExecute(HWND Wnd, const std::string& Operation, const std::string& File,
                      const std::string& Parameters, const std::string& Directory, int ShowCmd);
