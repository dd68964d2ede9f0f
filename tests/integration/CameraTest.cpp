#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "imaging/ImagingTestSupport.h"
#include "net/LoopPeers.h"

namespace {

// The program on the fake camera: the camera library preloaded, its
// commands from a control file the test appends to.
std::vector<std::string> CameraProgram(const std::string& Control, const std::vector<std::string>& Args)
{
    // Under AddressSanitizer the preloaded library comes before the
    // sanitizer's runtime, which it accepts only with its check off;
    // fontconfig's one-time set-up (the snapshot caption's fonts) stays
    // allocated until exit, which is no leak of the program's.
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old)
        asan += std::string(":") + old;
    const std::string suppressions = Control + ".lsan";
    Spit(suppressions, "leak:libfontconfig.so\n");
    std::string lsan = "LSAN_OPTIONS=suppressions=" + suppressions;
    if (const char* old = std::getenv("LSAN_OPTIONS"); old && *old)
        lsan += std::string(":") + old;
    std::vector<std::string> argv{"env", std::string("LD_PRELOAD=") + QUORRELANE_FAKECAM, "FAKECAM_CONTROL=" + Control,
                                  asan, lsan, QUORRELANE_BINARY};
    argv.insert(argv.end(), Args.begin(), Args.end());
    return argv;
}

struct TPicture {
    int Width = 0, Height = 0;
    uint8_t R = 0, G = 0, B = 0;  // at the middle of the upper half, clear of captions
};

TPicture Fetch(int Port)
{
    TLoopProcess curl({"curl", "-s", "--max-time", "10", "--retry", "20", "--retry-delay", "1", "--retry-connrefused",
                       "http://127.0.0.1:" + std::to_string(Port) + "/http.jpg"});
    TPicture p;
    if (!RunUntil([&] { return curl.Exited; }, 60000) || curl.ExitCode != 0)
        return p;
    TDecodedJpeg d = DecodeJpeg(std::vector<uint8_t>(curl.Output.begin(), curl.Output.end()));
    if (!d.Ok)
        return p;
    p.Width = d.Picture.Width();
    p.Height = d.Picture.Height();
    const uint8_t* px = d.Picture.ScanLine(p.Height / 4) + (p.Width / 2) * 3;
    p.R = px[0];
    p.G = px[1];
    p.B = px[2];
    return p;
}

// The camera's state and device as /status.json gives them.
std::string CameraStatus(int Port)
{
    TLoopProcess curl({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(Port) + "/status.json"});
    RunUntil([&] { return curl.Exited; }, 30000);
    const size_t from = curl.Output.find("\"state\"");
    return from == std::string::npos ? curl.Output : curl.Output.substr(from, curl.Output.find("\"last_frame\"") - from);
}

bool Near(const TPicture& p, int r, int g, int b)
{
    return p.Width > 0 && std::abs(p.R - r) < 40 && std::abs(p.G - g) < 40 && std::abs(p.B - b) < 40;
}

// Fetches the picture until it has colour r, g, b.
::testing::AssertionResult ServesColour(int Port, int r, int g, int b, TPicture* Last = nullptr)
{
    TPicture p;
    const bool ok = RunUntil([&] { return Near(p = Fetch(Port), r, g, b); }, 30000, 500);
    if (Last)
        *Last = p;
    if (ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the picture is " << p.Width << "x" << p.Height << " of colour " << int(p.R)
                                         << "," << int(p.G) << "," << int(p.B);
}

TEST(Camera, ChosenCameraStreamsThroughFaultsUnplugAndRestart)
{
    if (!std::ifstream(QUORRELANE_FAKECAM).good())
        GTEST_SKIP() << "the fake camera library is not built";
    TTempDir temp;
    const std::string dir = temp.Name(), control = dir + "/camera", config = dir + "/videosetting.ini";
    const auto command = [&](const std::string& Line) { std::ofstream(control, std::ios::app) << Line << "\n"; };
    command("add 2 yuyv usb-2 Other Cam");
    command("add 5 both usb-5 Desk Cam");
    command("colour 5 40 200 40");
    const int port = UnusedPort();
    Spit(config, "[setting]\nport=" + std::to_string(port) + "\nDriverindex=0\n");

    {
        TLoopProcess list(CameraProgram(control, {"--list-devices"}));
        EXPECT_EQ(list.Stop(0), 0);
        EXPECT_NE(list.Output.find("2  Desk Cam 6.1.7  /dev/video5  320x240 640x480 1280x720"), std::string::npos) << list.Output;
    }
    {
        TLoopProcess program(CameraProgram(control, {"--headless", "--docdir", dir + "/doc", "--config", config, "--device",
                                                     "/dev/video5", "--size", "1280x720", "/a"}));
        TPicture p;
        ASSERT_TRUE(ServesColour(port, 40, 200, 40, &p));
        EXPECT_EQ(p.Width, 1280);
        EXPECT_EQ(p.Height, 720);
        const std::string live = CameraStatus(port);
        EXPECT_EQ(live.find("\"state\": \"live\""), 0u) << live;
        EXPECT_NE(live.find("\"device\": \"/dev/video5\""), std::string::npos) << live;

        // Odd and bad frames and a short stall do not stop it.
        command("oddsize 5 2");
        command("errors 5 3");
        command("stall 5 1");
        command("stall 5 0");
        command("colour 5 200 40 40");
        EXPECT_TRUE(ServesColour(port, 200, 40, 40)) << program.Output;

        // Unplugged: "NO SIGNAL" and a line; plugged back: live again.
        command("unplug 5");
        EXPECT_TRUE(RunUntil([&] { return program.Output.find("Capture device /dev/video5 (Desk Cam) ") != std::string::npos; },
                             10000))
            << program.Output;
        EXPECT_TRUE(ServesColour(port, 32, 32, 32));
        EXPECT_EQ(CameraStatus(port).find("\"state\": \"no signal\""), 0u) << CameraStatus(port);
        command("colour 5 40 40 200");
        command("replug 5");
        EXPECT_TRUE(RunUntil([&] { return program.Output.find("(Desk Cam) is back") != std::string::npos; }, 10000));
        EXPECT_TRUE(ServesColour(port, 40, 40, 200));
        EXPECT_EQ(program.Stop(), 0);
    }
    EXPECT_NE(Slurp(config).find("Driverindex=2"), std::string::npos);
    // The next start takes the stored camera at its remembered size.
    TLoopProcess again(CameraProgram(control, {"--headless", "--docdir", dir + "/doc", "--config", config, "/a"}));
    TPicture p;
    EXPECT_TRUE(ServesColour(port, 40, 40, 200, &p));
    EXPECT_EQ(p.Width, 1280);
}

TEST(Camera, StoredCameraIsFoundAgainWhenRenumberedAndSharedNamesAreTold)
{
    if (!std::ifstream(QUORRELANE_FAKECAM).good())
        GTEST_SKIP() << "the fake camera library is not built";
    TTempDir temp;
    const std::string dir = temp.Name(), config = dir + "/videosetting.ini";
    // Two cameras of one model; the next start finds them numbered the other way.
    const std::string first = dir + "/first", second = dir + "/second";
    Spit(first, "add 2 yuyv usb-1 Acme Cam\nadd 3 yuyv usb-2 Acme Cam\ncolour 3 40 200 40\n");
    Spit(second, "add 2 yuyv usb-2 Acme Cam\nadd 3 yuyv usb-1 Acme Cam\ncolour 2 40 200 40\n");
    const int port = UnusedPort();
    Spit(config, "[setting]\nport=" + std::to_string(port) + "\n");
    // Control file, options, exit status, what the output says.
    const struct {
        std::string Control;
        std::vector<std::string> Args;
        int Status;
        std::string Says;
    } runs[] = {
        {first, {"--device", "acme"}, 2,
         "the capture device name acme is ambiguous; it matches:\n  1  Acme Cam  /dev/video2\n  2  Acme Cam  /dev/video3\n"},
        {first, {"--device", "Acme Cam"}, 0, "2 capture devices are named Acme Cam; took 1  Acme Cam  /dev/video2"},
        {first, {"--device", "/dev/video3", "/a"}, 0, "Serving http://"},
        {second, {"/a"}, 0, "Serving http://"},
    };
    for (const auto& r : runs) {
        std::vector<std::string> args{"--headless", "--docdir", dir + "/doc", "--config", config};
        args.insert(args.end(), r.Args.begin(), r.Args.end());
        auto argv = CameraProgram(r.Control, args);
        argv.insert(argv.begin(), {"sh", "-c", "exec \"$@\" 2>&1", "sh"});  // errors too
        TLoopProcess program(argv);
        const auto says = [&](const std::string& Text) {
            return RunUntil([&] { return program.Exited || program.Output.find(Text) != std::string::npos; }, 20000) &&
                   program.Output.find(Text) != std::string::npos;
        };
        EXPECT_TRUE(says(r.Says)) << program.Output;
        // The stored camera, wherever it is numbered now; a stall and its end are told.
        if (r.Args.back() == "/a") {
            EXPECT_TRUE(ServesColour(port, 40, 200, 40)) << program.Output;
        }
        if (r.Control == second) {
            std::ofstream(second, std::ios::app) << "stall 2 1\n";
            EXPECT_TRUE(says("/dev/video2 (Acme Cam) gives no picture: NO SIGNAL"));
            std::ofstream(second, std::ios::app) << "stall 2 0\n";
            EXPECT_TRUE(says("/dev/video2 (Acme Cam) gives pictures again")) << program.Output;
        }
        EXPECT_EQ(program.Stop(r.Status ? 0 : SIGTERM), r.Status) << r.Args.back();
    }
    EXPECT_NE(Slurp(config).find("Driverindex=1\nDriveridentity=Acme Cam @ usb-2\n"), std::string::npos) << Slurp(config);
}

} // namespace
