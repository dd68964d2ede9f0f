// Program entry of the GUI program: the Qt front end, or the console one
// with --headless.
#include "gui/GuiMain.h"
#include "headless/HeadlessMain.h"
#include "headless/CommandLine.h"

int main(int argc, char** argv)
{
    TCommandLine cmd = ParseCommandLine(argc, argv);
    if (cmd.Headless || cmd.Help || cmd.Version || cmd.ListDevices || cmd.WebLogin || !cmd.Error.empty())
        return HeadlessMain(cmd);
    return GuiMain(cmd, argc, argv);
}
