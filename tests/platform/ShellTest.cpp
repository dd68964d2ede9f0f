#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "platform/Shell.h"
#include "platform/Windows.h"

namespace {

// The children of this process that are still there (running or zombie).
std::string Children()
{
    std::string all;
    std::string base = "/proc/self/task/";
    std::ifstream tasks(base + std::to_string(getpid()) + "/children");
    std::getline(tasks, all);
    return all;
}

} // namespace

TEST(Shell, OpenRunsTheOpenerWithoutAShellAndReapsIt)
{
    TTempDir temp;
    std::string dir = temp.Name();
    std::string out = dir + "/out";
    std::ofstream(dir + "/xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > '" << out << ".tmp' && mv '" << out << ".tmp' '" << out << "'\n";
    chmod((dir + "/xdg-open").c_str(), 0755);
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir + ":" + oldPath).c_str(), 1);

    const std::string url = "http://127.0.0.1:8765/a b;$(touch x)";
    EXPECT_GT(ShellExecute(nullptr, "open", url, "", "", SW_SHOWNORMAL), 32);
    EXPECT_EQ(ShellExecute(nullptr, "print", url, "", "", SW_SHOWNORMAL), SE_ERR_NOASSOC);

    DWORD deadline = GetTickCount() + 20000;
    while ((access(out.c_str(), F_OK) != 0 || !Children().empty()) && GetTickCount() < deadline) {
        WaitMessageTimeout(50);
        PumpPendingMessages();
    }
    EXPECT_EQ(Slurp(out), url);
    EXPECT_EQ(Children(), "");

    setenv("PATH", dir.c_str(), 1);
    unlink((dir + "/xdg-open").c_str());
    EXPECT_EQ(ShellExecute(nullptr, "open", url, "", "", SW_SHOWNORMAL), SE_ERR_FNF);
    setenv("PATH", oldPath.c_str(), 1);
}
