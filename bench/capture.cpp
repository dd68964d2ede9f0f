// Capture cost on the fake camera: the program's CPU share while it
// streams 30 fps at 640x480 and 1280x720, YUYV and MJPEG, headless and
// idle, and with the GUI's preview drawing (offscreen Qt); then the
// latency of one grab with the preview off.
//
//   bench_capture [seconds per run]
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "capture/CaptureDriver.h"
#include "capture/Video.h"
#include "fakecam/FakeCamera.h"
#include "platform/Windows.h"

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

// User plus system clock ticks of process Pid.
long CpuTicks(pid_t Pid)
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

// The program's share of one core over Seconds, after a second to settle.
double ProgramCpu(const std::string& Kind, int Width, int Height, bool Gui, int Seconds)
{
    TTempDir temp;
    const std::string dir = temp.Name();
    Spit(dir + "/camera", "add 2 " + Kind + " usb-bench Bench Cam\n");
    Spit(dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(UnusedPort()) + "\nDriverindex=1\n");
    std::vector<std::string> argv{"env", std::string("LD_PRELOAD=") + QUORRELANE_FAKECAM, "FAKECAM_CONTROL=" + dir + "/camera",
                                  "QT_QPA_PLATFORM=offscreen", QUORRELANE_BINARY};
    if (!Gui)
        argv.push_back("--headless");
    for (const std::string& a : {std::string("--docdir"), dir + "/doc", std::string("--config"), dir + "/videosetting.ini",
                                 std::string("--size"), std::to_string(Width) + "x" + std::to_string(Height),
                                 std::string("/a")})
        argv.push_back(a);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    const pid_t pid = SpawnProcess(argv, fa);
    posix_spawn_file_actions_destroy(&fa);
    if (pid <= 0)
        return -1;
    sleep(1);
    const long t0 = CpuTicks(pid);
    const auto start = TClock::now();
    sleep(static_cast<unsigned>(Seconds));
    const long t1 = CpuTicks(pid);
    const double wall = std::chrono::duration<double>(TClock::now() - start).count();
    StopProcess(pid, SIGTERM);
    return t0 < 0 || t1 < 0 ? -1 : 100.0 * (t1 - t0) / sysconf(_SC_CLK_TCK) / wall;
}

// Milliseconds per grab (preview off), as the snapshot grabs: in this
// process, which has the fake camera loaded.
void GrabLatency(const std::string& Kind, int Width, int Height)
{
    TFakeCamera::Control("clear");
    TFakeCamera::Control("add 2 " + Kind + " usb-bench Bench Cam");
    SetRequestedCaptureSize(Width, Height);
    TComponent owner(nullptr);
    auto* g = owner.Make<TFrameGrabber>();
    g->SetDriverIndex(1);
    g->SetDriverOpen(true);
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
        // Let the stream run a while between grabs, as between requests.
        const DWORD until = GetTickCount() + 100;
        while (GetTickCount() < until) {
            PumpPendingMessages();
            WaitMessageTimeout(static_cast<int>(until - GetTickCount()));
        }
        const auto t = TClock::now();
        g->GrabFrameNoStop();
        ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - t).count());
    }
    double sum = 0, worst = 0;
    for (double v : ms) {
        sum += v;
        worst = std::max(worst, v);
    }
    std::printf("  grab %-5s %4dx%-4d  mean %6.2f ms  worst %6.2f ms\n", Kind.c_str(), Width, Height, sum / ms.size(), worst);
    SetRequestedCaptureSize(0, 0);
}

} // namespace

int main(int argc, char** argv)
{
#if !defined(QUORRELANE_BINARY) || !defined(QUORRELANE_FAKECAM)
    (void)argc;
    (void)argv;
    std::fprintf(stderr, "bench_capture needs the program and the fake camera library\n");
    return 1;
#else
    // The grab latency runs here, on the fake camera: load it.
    if (!TFakeCamera::Loaded()) {
        setenv("LD_PRELOAD", QUORRELANE_FAKECAM, 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_capture: exec");
        return 1;
    }
    unsetenv("LD_PRELOAD");
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("CPU share of one core, 30 fps, over %d s:\n", seconds);
    for (const bool gui : {false, true})
        for (const std::string kind : {"yuyv", "mjpeg"})
            for (const auto& [w, h] : {std::pair{640, 480}, std::pair{1280, 720}})
                std::printf("  %-8s %-5s %4dx%-4d  %5.1f %%\n", gui ? "preview" : "idle", kind.c_str(), w, h,
                            ProgramCpu(kind, w, h, gui, seconds));
    std::printf("Grab latency, preview off:\n");
    for (const std::string kind : {"yuyv", "mjpeg"})
        for (const auto& [w, h] : {std::pair{640, 480}, std::pair{1280, 720}})
            GrabLatency(kind, w, h);
    return 0;
#endif
}
