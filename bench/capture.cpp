// Capture cost on the fake camera: the program's CPU share while it
// streams 30 fps at 640x480 and 1280x720, YUYV and MJPEG, headless and
// idle, and with the GUI's preview drawing (offscreen Qt); then the
// latency of one grab with the preview off; then the cost of motion
// detection at 1280x720 30 fps: the detector alone on textured frames, and
// the program with detection off and on.
//
//   bench_capture [seconds per run]
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include "BenchSupport.h"
#include "app/Motion.h"
#include "imaging/JpegWriter.h"
#include "TestSupport.h"
#include "capture/CaptureDriver.h"
#include "capture/Video.h"
#include "fakecam/FakeCamera.h"
#include "platform/Windows.h"

extern char** environ;

namespace {

using bench::TClock;

// The program's share of one core over Seconds, after a second to settle.
double ProgramCpu(const std::string& Kind, int Width, int Height, bool Gui, int Seconds, const std::string& Extra = "")
{
    TTempDir temp;
    const std::string dir = temp.Name();
    Spit(dir + "/camera", "add 2 " + Kind + " usb-bench Bench Cam\n");
    Spit(dir + "/videosetting.ini", "[setting]\nport=" + std::to_string(UnusedPort()) + "\nDriverindex=1\n" + Extra);
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
    const auto opening = TClock::now();
    g->SetDriverOpen(true);
    const double open = std::chrono::duration<double, std::milli>(TClock::now() - opening).count();
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
        // The first grab right after the open; then the stream runs a
        // while between grabs, as between requests.
        const DWORD until = GetTickCount() + (i ? 100 : 0);
        while (GetTickCount() < until) {
            PumpPendingMessages();
            WaitMessageTimeout(static_cast<int>(until - GetTickCount()));
        }
        const auto t = TClock::now();
        g->GrabFrameNoStop();
        ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - t).count());
    }
    double sum = 0, worst = 0;
    for (const double m : ms) {
        sum += m;
        worst = std::max(worst, m);
    }
    std::printf("  grab %-5s %4dx%-4d  mean %6.2f ms  worst %6.2f ms  first %6.2f ms  (the open, warm-up included: %4.0f ms)\n",
                Kind.c_str(), Width, Height, sum / static_cast<double>(ms.size()), worst, ms.front(), open);
    SetRequestedCaptureSize(0, 0);
}

// The detector's share of one core on Seconds of 1280x720 frames at 30 fps
// (a still, textured scene with noise), in this process.
double DetectorCpu(uint32_t Format, int Seconds)
{
    constexpr int W = 1280, H = 720;
    TBitmap picture(W, H);
    std::vector<uint8_t> yuyv(static_cast<size_t>(W) * H * 2);
    uint32_t seed = 1;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const auto v = static_cast<uint8_t>(((x / 16 + y / 16) % 2 ? 60 : 160) + (seed >> 29));
            uint8_t* p = picture.Data() + (static_cast<size_t>(y) * W + x) * 3;
            p[0] = p[1] = p[2] = v;
            yuyv[(static_cast<size_t>(y) * W + x) * 2] = v;
            yuyv[(static_cast<size_t>(y) * W + x) * 2 + 1] = 128;
        }
    const std::vector<uint8_t> jpeg = EncodeJpeg(picture, 80);
    if (Format == V4L2_PIX_FMT_MJPEG)
        std::printf("  (MJPEG frames of %zu KiB)\n", jpeg.size() / 1024);
    TRawFrame frame;
    frame.Format = Format;
    frame.Width = W;
    frame.Height = H;
    frame.BytesPerLine = Format == V4L2_PIX_FMT_YUYV ? W * 2 : 0;
    frame.Data = Format == V4L2_PIX_FMT_YUYV ? yuyv.data() : jpeg.data();
    frame.Size = Format == V4L2_PIX_FMT_YUYV ? yuyv.size() : jpeg.size();
    TMotionSettings settings;
    TMotionDetector detector(settings);
    // This thread's CPU time: other work on the machine does not count.
    const auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
    };
    const double start = cpu();
    for (int i = 0; i < 30 * Seconds; ++i)
        detector.Frame(frame, 1000 + static_cast<uint64_t>(i) * 1000 / 30);
    return 100.0 * (cpu() - start) / Seconds;
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
    std::printf("Motion detection, 1280x720 30 fps, examined at 5 fps (share of one core):\n");
    std::printf("  detector alone  yuyv %5.2f %%  mjpeg %5.2f %%\n", DetectorCpu(V4L2_PIX_FMT_YUYV, 20),
                DetectorCpu(V4L2_PIX_FMT_MJPEG, 20));
    for (const std::string kind : {"yuyv", "mjpeg"})
        std::printf("  program idle %-5s  motion off %5.1f %%  motion on %5.1f %%\n", kind.c_str(),
                    ProgramCpu(kind, 1280, 720, false, seconds), ProgramCpu(kind, 1280, 720, false, seconds, "motion=1\n"));
    return 0;
#endif
}
