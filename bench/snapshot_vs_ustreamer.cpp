// Still pictures of the fake camera (640x480 YUYV, 30 fps) under load: wrk
// with 10 connections and "Connection: close" on /snapshot of the headless
// program and of ustreamer (software encoder, quality 80), one after the
// other in one run. Requests per second, the server's CPU time per request
// (from /proc) and the ratios.
//
//   bench_snapshot_vs_ustreamer [seconds]   (default 10; needs wrk)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TestSupport.h"

namespace {

const char UstreamerPath[] = "/usr/bin/ustreamer";

struct TResult {
    double Rps = 0;
    double CpuUsPerRequest = 0;
    std::string Errors;
};

// wrk's report, read from a file: its output is not a terminal.
std::string RunWrk(int Port, int Seconds, const std::string& OutFile)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    const pid_t pid = SpawnProcess({"wrk", "-t2", "-c10", "-d" + std::to_string(Seconds) + "s", "-H", "Connection: close",
                                    "http://127.0.0.1:" + std::to_string(Port) + "/snapshot"},
                                   fa);
    posix_spawn_file_actions_destroy(&fa);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    return Slurp(OutFile);
}

TResult Load(pid_t Server, int Port, int Seconds, const std::string& Dir)
{
    // Up and answering, and the camera running, before the clock starts.
    const auto until = bench::TClock::now() + std::chrono::seconds(20);
    while (bench::TClock::now() < until && RunWrk(Port, 1, Dir + "/wrk.txt").find("Requests/sec:") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long ticks = bench::CpuTicks(Server);
    const std::string out = RunWrk(Port, Seconds, Dir + "/wrk.txt");
    const long used = bench::CpuTicks(Server) - ticks;
    TResult r;
    std::istringstream lines(out);
    std::string line;
    long requests = 0;
    while (std::getline(lines, line)) {
        if (size_t p = line.find("Requests/sec:"); p != std::string::npos)
            r.Rps = std::atof(line.c_str() + p + 13);
        if (size_t p = line.find(" requests in "); p != std::string::npos)
            requests = std::atol(line.c_str());
        if (line.find("Socket errors") != std::string::npos || line.find("Non-2xx") != std::string::npos)
            r.Errors += line;
    }
    if (requests > 0)
        r.CpuUsPerRequest = 1e6 * static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                            static_cast<double>(requests);
    if (r.Rps == 0)
        r.Errors += out;
    return r;
}

#if defined(QUORRELANE_BINARY) && defined(QUORRELANE_FAKECAM)
TResult Measure(bool Ours, int Seconds)
{
    TTempDir temp;
    const std::string dir = temp.Name();
    const int port = UnusedPort();
    Spit(dir + "/camera", "add 2 yuyv usb-bench Bench Cam\n");
    pid_t pid;
    if (Ours) {
        Spit(dir + "/videosetting.ini",
             "[setting]\nport=" + std::to_string(port) + "\nDriverindex=1\ndisable_prompt=1\n");
        pid = bench::StartProgram(dir, 640, 480, true);
    } else {
        pid = bench::SpawnQuietly({"env", std::string("LD_PRELOAD=") + QUORRELANE_FAKECAM,
                                   "FAKECAM_CONTROL=" + dir + "/camera", UstreamerPath, "--device", "/dev/video2",
                                   "--resolution", "640x480", "--format", "YUYV", "--desired-fps", "30", "--encoder",
                                   "CPU", "--quality", "80", "--host", "127.0.0.1", "--port", std::to_string(port)});
    }
    if (pid <= 0)
        return {};
    TResult r = Load(pid, port, Seconds, dir);
    StopProcess(pid, SIGTERM);
    return r;
}
#endif

} // namespace

int main(int argc, char** argv)
{
#if !defined(QUORRELANE_BINARY) || !defined(QUORRELANE_FAKECAM)
    (void)argc;
    (void)argv;
    std::fprintf(stderr, "bench_snapshot_vs_ustreamer needs the program and the fake camera library\n");
    return 1;
#else
    signal(SIGPIPE, SIG_IGN);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (::access(UstreamerPath, X_OK) != 0) {
        std::printf("ustreamer is not installed: no comparison\n");
        return 1;
    }
    std::printf("/snapshot, fake camera 640x480 YUYV 30 fps, wrk -c10 Connection: close, %d s each:\n", seconds);
    const TResult ours = Measure(true, seconds);
    const TResult peer = Measure(false, seconds);
    std::printf("%-12s %12s %18s\n", "", "req/s", "CPU us/request");
    std::printf("%-12s %12.1f %18.1f\n", "quorrelane", ours.Rps, ours.CpuUsPerRequest);
    std::printf("%-12s %12.1f %18.1f\n", "ustreamer", peer.Rps, peer.CpuUsPerRequest);
    std::printf("%-12s %12.2f %18.2f\n", "ratio", peer.Rps > 0 ? ours.Rps / peer.Rps : 0.0,
                peer.CpuUsPerRequest > 0 ? ours.CpuUsPerRequest / peer.CpuUsPerRequest : 0.0);
    if (!ours.Errors.empty())
        std::printf("  quorrelane: %s\n", ours.Errors.c_str());
    if (!peer.Errors.empty())
        std::printf("  ustreamer: %s\n", peer.Errors.c_str());
    return 0;
#endif
}
