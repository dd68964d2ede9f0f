// Capture cost on the fake camera: the program's CPU share while it
// streams 30 fps at 640x480 and 1280x720, YUYV and MJPEG, headless and
// idle, and with the GUI's preview drawing (offscreen Qt); then the
// latency of one grab with the preview off.
//
//   bench_capture [seconds per run]
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TestSupport.h"
#include "capture/CaptureDriver.h"
#include "capture/Video.h"
#include "fakecam/FakeCamera.h"
#include "platform/Windows.h"

extern char** environ;

namespace {

using bench::TClock;

// The program's share of one core over Seconds, after a second to settle.
double ProgramCpu(const std::string& Kind, int Width, int Height, bool Gui, int Seconds)
{
    TTempDir temp;
    const std::string dir = temp.Name();
    Spit(dir + "/camera", "add 2 " + Kind + " usb-bench Bench Cam\n");
    Spit(dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(UnusedPort()) + "\nDriverindex=1\n");
    const pid_t pid = bench::StartProgram(dir, Width, Height, !Gui);
    if (pid <= 0)
        return -1;
    sleep(1);
    bench::TCpuMeter cpu(pid);
    sleep(static_cast<unsigned>(Seconds));
    cpu.Stop();
    StopProcess(pid, SIGTERM);
    return cpu.Percent();
}

// Milliseconds per grab (preview off), as the snapshot grabs: in this
// process, which has the fake camera loaded. Mean and worst leave out the
// first grab.
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
    // The first grab comes 100 ms after the open, while the camera's
    // exposure settles: it waits for that, and is shown apart.
    double sum = 0, worst = 0;
    for (size_t i = 1; i < ms.size(); ++i) {
        sum += ms[i];
        worst = std::max(worst, ms[i]);
    }
    std::printf("  grab %-5s %4dx%-4d  mean %6.2f ms  worst %6.2f ms  (first, in the warm-up: %6.2f ms)\n", Kind.c_str(),
                Width, Height, sum / static_cast<double>(ms.size() - 1), worst, ms.front());
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
