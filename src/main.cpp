// Program entry of the daemon: the console front end, which loads no GUI
// toolkit; without --headless the GUI program beside it takes over.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "headless/CommandLine.h"
#include "headless/HeadlessMain.h"

namespace {

// The GUI program in the directory of this one.
std::string GuiProgram()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "quorrelane-gui";
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + "quorrelane-gui";
}

} // namespace

int main(int argc, char** argv)
{
    TCommandLine cmd = ParseCommandLine(argc, argv);
    if (cmd.Headless || cmd.Help || cmd.Version || cmd.ListDevices || cmd.WebLogin || !cmd.Error.empty()) {
        // One heap for every thread: the daemon's few helper threads
        // allocate little, and an arena of their own keeps its memory.
        mallopt(M_ARENA_MAX, 1);
        return HeadlessMain(cmd);
    }
    const std::string gui = GuiProgram();
    argv[0] = const_cast<char*>(gui.c_str());
    execv(gui.c_str(), argv);
    std::fprintf(stderr, "quorrelane: cannot start the GUI %s: %s; use --headless to run without it\n", gui.c_str(),
                 std::strerror(errno));
    return ExitFailed;
}
