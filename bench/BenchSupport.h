// Launching the program on the fake camera and measuring it from outside.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace bench {

using TClock = std::chrono::steady_clock;

// The file the transfer benchmarks send both ways: 50 MiB that do not
// compress.
constexpr size_t TransferSize = 50u << 20;
inline std::string TransferContent()
{
    std::string content(TransferSize, '\0');
    uint32_t x = 1;
    for (auto& c : content) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return content;
}
inline double TransferMBps(double Seconds) { return Seconds > 0 ? TransferSize / Seconds / 1e6 : 0; }

// Seconds curl needed, as it reports them; 0 when it failed.
inline double RunCurl(const std::vector<std::string>& Args)
{
    std::vector<std::string> argv = {"curl", "-s", "-S", "-w", "%{time_total}"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    char name[] = "/tmp/bench_curlXXXXXX";
    int fd = mkstemp(name);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fd, 1);
    pid_t pid = SpawnProcess(argv, fa);
    posix_spawn_file_actions_destroy(&fa);
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    ::close(fd);
    std::string out = Slurp(name);
    std::remove(name);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 0;
    return std::atof(out.c_str());
}


// User plus system clock ticks of process Pid.
inline long CpuTicks(pid_t Pid)
{
    std::ifstream in("/proc/" + std::to_string(Pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    const size_t close = all.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// Resident memory of process Pid in KiB.
inline long RssKb(pid_t Pid)
{
    std::ifstream in("/proc/" + std::to_string(Pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// The CPU a process uses from construction on.
class TCpuMeter {
public:
    explicit TCpuMeter(pid_t Pid) : FPid(Pid), FTicks(CpuTicks(Pid)), FStart(TClock::now()) {}
    // Fixes the end of the interval: its length in seconds.
    double Stop()
    {
        FEndTicks = CpuTicks(FPid);
        FSeconds = std::chrono::duration<double>(TClock::now() - FStart).count();
        return FSeconds;
    }
    // The share of one core over the interval in percent, -1 if unknown.
    double Percent() const
    {
        if (FTicks < 0 || FEndTicks < 0 || FSeconds <= 0)
            return -1;
        return 100.0 * static_cast<double>(FEndTicks - FTicks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / FSeconds;
    }

private:
    pid_t FPid;
    long FTicks;
    TClock::time_point FStart;
    long FEndTicks = -1;
    double FSeconds = 0;
};

// Starts Argv with its output going to /dev/null: the pid, or <= 0.
inline pid_t SpawnQuietly(const std::vector<std::string>& Argv)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    const pid_t pid = SpawnProcess(Argv, fa);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

#if defined(QUORRELANE_BINARY) && defined(QUORRELANE_FAKECAM)
// Starts the program (offscreen Qt) on the fake camera whose control file
// is Dir/camera, with the settings in Dir/videosetting.ini, at Width x
// Height; its output goes to /dev/null. The pid, or <= 0.
inline pid_t StartProgram(const std::string& Dir, int Width, int Height, bool Headless)
{
    std::vector<std::string> argv{"env", std::string("LD_PRELOAD=") + QUORRELANE_FAKECAM, "FAKECAM_CONTROL=" + Dir + "/camera",
                                  "QT_QPA_PLATFORM=offscreen", QUORRELANE_BINARY};
    if (Headless)
        argv.push_back("--headless");
    for (const std::string& a : {std::string("--docdir"), Dir + "/doc", std::string("--config"), Dir + "/videosetting.ini",
                                 std::string("--size"), std::to_string(Width) + "x" + std::to_string(Height),
                                 std::string("/a")})
        argv.push_back(a);
    return SpawnQuietly(argv);
}
#endif

} // namespace bench
