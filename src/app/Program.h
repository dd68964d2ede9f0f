// Program start-up shared by the front ends: the application's title and
// the forms, created in their fixed order.
#pragma once

#include <string>
#include <vector>

class TApplication;

// Sets where the program keeps its files, the arguments left after the
// options, and the application's title "Quorrelane".
void StartProgram(TApplication& App, const std::string& DocDir, const std::string& ConfigFile,
                  const std::vector<std::string>& Args);
// Creates the main window capmain, then the device dialog dlgdriver, then
// the settings dialog settingform, then the web login dialog webloginform.
void CreateProgramForms();
