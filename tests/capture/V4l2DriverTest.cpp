#include <gtest/gtest.h>

#include <filesystem>
#include <fcntl.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include <array>
#include <tuple>
#include <fstream>

#include "TestSupport.h"
#include "fakecam/FakeCamera.h"
#include "platform/Application.h"
#include "capture/V4l2Driver.h"
#include "capture/Video.h"
#include "imaging/BmpFile.h"
#include "net/LoopPeers.h"

namespace {

// Index 1 is a V4L2 driver on a path the test chooses.
class TDeviceTable : public TDriverTable {
public:
    explicit TDeviceTable(std::string APath) : Path(std::move(APath)) { SetDriverTable(this); }
    ~TDeviceTable() override { SetDriverTable(nullptr); }
    bool Describe(int Index, std::string& Name, std::string& Version) override
    {
        Name = "device " + std::to_string(Index);
        Version = "0.0.0";
        return Index == 0 || Index == 1;
    }
    std::unique_ptr<TCaptureDriver> Create(int Index) override
    {
        return Index == 1 ? std::make_unique<TV4l2Driver>(Path) : nullptr;
    }
    std::string Path;
};

TEST(V4l2Driver, DeviceThatCannotBeOpenedMakesTheConnectFail)
{
    TTempDir temp;
    std::string dir = temp.Name();
    const std::string notADevice = dir + "/video0";
    std::ofstream(notADevice) << "not a camera";
    for (const std::string& path : {dir + "/missing", notADevice}) {
        TDeviceTable table(path);
        TComponent owner(nullptr);
        auto* g = owner.Make<TFrameGrabber>();
        g->SetDriverIndex(1);
        EXPECT_THROW(g->SetDriverOpen(true), ENotConnectException) << path;
        EXPECT_FALSE(g->DriverOpen());
        EXPECT_FALSE(g->GrabFrame());
    }
}

TEST(V4l2Driver, DevicesAreCaptureDevicesInNumberOrder)
{
    if (TFakeCamera::Loaded()) {
        TFakeCamera::Control("add 10 yuyv usb-10 Ten");
        TFakeCamera::Control("add 2 yuyv usb-2 Two");
        TFakeCamera::Control("add 3 meta usb-2 Two");
    }
    auto devices = ListV4l2Devices();
    for (size_t i = 1; i < devices.size(); ++i)
        EXPECT_LT(std::stoi(devices[i - 1].Path.substr(10)), std::stoi(devices[i].Path.substr(10)));
    if (TFakeCamera::Loaded()) {
        ASSERT_EQ(devices.size(), 2u);
        EXPECT_EQ(devices[0].Path, "/dev/video2");
        EXPECT_EQ(devices[1].Path, "/dev/video10");
    }
    // The default table puts them after the test pattern.
    auto list = GetDriverList();
    ASSERT_GE(list.size(), 1u);
    EXPECT_EQ(list.size(), std::min<size_t>(10, devices.size() + 1));
    for (size_t i = 0; i + 1 < list.size(); ++i)
        EXPECT_EQ(list[i + 1], devices[i].Card + " " + devices[i].Version);
}

// Tests on the fake camera: the default driver table sees its nodes.
class FakeCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_FAKE_CAMERA();
        TFakeCamera::Control("clear");
    }
    void TearDown() override { TFakeCamera::Control("clear"); }

    // A grabber on driver Index, opened.
    TFrameGrabber* OpenGrabber(int Index)
    {
        auto* g = Owner.Make<TFrameGrabber>();
        g->SetDriverIndex(Index);
        g->SetDriverOpen(true);
        return g;
    }
    static std::array<uint8_t, 3> Centre(const TBitmap& b)
    {
        const uint8_t* p = b.ScanLine(b.Height() / 2) + (b.Width() / 2) * 3;
        return {p[0], p[1], p[2]};
    }
    // Grabs the current frame as the program does (grab, then save).
    TBitmap Grab(TFrameGrabber* g)
    {
        g->SingleImageFile = Temp.Name() + "/grab.bmp";
        if (!g->GrabFrameNoStop() || !g->SaveAsDIB())
            return TBitmap();
        return LoadBitmapFile(g->SingleImageFile);
    }
    static bool Near(std::array<uint8_t, 3> c, int r, int g, int b)
    {
        return std::abs(c[0] - r) < 30 && std::abs(c[1] - g) < 30 && std::abs(c[2] - b) < 30;
    }
    static bool IsNoSignal(const TBitmap& b)
    {
        if (b.Empty() || b.ScanLine(0)[0] != 32)
            return false;
        for (int y = 0; y < b.Height(); ++y)
            for (int x = 0; x < b.Width(); ++x)
                if (b.ScanLine(y)[x * 3] == 255)
                    return true;
        return false;
    }
    // Grabs until the picture has colour r, g, b.
    bool GrabsColour(TFrameGrabber* g, int r, int gr, int b)
    {
        return RunUntil([&] {
            TBitmap f = Grab(g);
            return !f.Empty() && Near(Centre(f), r, gr, b);
        });
    }

    TComponent Owner{nullptr};
    TTempDir Temp;
};

TEST_F(FakeCamera, YuyvAndMjpegCamerasDeliverTheirPicture)
{
    ASSERT_TRUE(TFakeCamera::Control("add 2 yuyv usb-1 Yuyv Cam"));
    ASSERT_TRUE(TFakeCamera::Control("add 10 mjpeg usb-2 Jpeg Cam"));
    ASSERT_TRUE(TFakeCamera::Control("colour 2 200 40 40"));
    ASSERT_TRUE(TFakeCamera::Control("colour 10 40 40 200"));
    auto list = GetDriverList();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1], "Yuyv Cam 6.1.7");
    EXPECT_EQ(list[2], "Jpeg Cam 6.1.7");
    for (int index : {1, 2}) {
        auto* g = OpenGrabber(index);
        ASSERT_TRUE(g->DriverOpen());
        TBitmap b = Grab(g);
        EXPECT_EQ(b.Width(), 640);
        auto c = Centre(b);
        if (index == 1)
            EXPECT_TRUE(c[0] > 150 && c[2] < 90) << int(c[0]) << " " << int(c[2]);
        else
            EXPECT_TRUE(c[2] > 150 && c[0] < 90) << int(c[0]) << " " << int(c[2]);
        g->SetDriverOpen(false);
    }
}

TEST_F(FakeCamera, BadFramesAreSkippedAndTheCameraGoesOn)
{
    ASSERT_TRUE(TFakeCamera::Control("add 3 mjpeg usb-3 Jpeg Cam"));
    ASSERT_TRUE(TFakeCamera::Control("add 4 yuyv usb-4 Yuyv Cam"));
    for (int index : {1, 2}) {
        const std::string node = index == 1 ? "3" : "4";
        auto* g = OpenGrabber(index);
        g->SetVideoPreview(true);
        ASSERT_TRUE(GrabsColour(g, 200, 120, 40));
        // A frame of another size, frames flagged bad, undecodable frames
        // (more in a row than libv4l2 retries): each is skipped.
        for (const std::string fault : {"oddsize", "errors", "badjpeg"}) {
            ASSERT_TRUE(TFakeCamera::Control(fault + " " + node + " 6"));
            const long before = TFakeCamera::Count("frames", std::stoi(node));
            RunUntil([&] { return TFakeCamera::Count("frames", std::stoi(node)) >= before + 8; });
            ASSERT_TRUE(TFakeCamera::Control("colour " + node + " 40 200 " + (fault == "errors" ? "40" : "200")));
            EXPECT_TRUE(GrabsColour(g, 40, 200, fault == "errors" ? 40 : 200)) << fault << " on " << node;
            ASSERT_TRUE(TFakeCamera::Control("colour " + node + " 200 120 40"));
            EXPECT_TRUE(GrabsColour(g, 200, 120, 40)) << fault << " on " << node;
        }
        g->SetDriverOpen(false);
    }
}

TEST_F(FakeCamera, LostCameraShowsNoSignalReportsAndComesBackByItself)
{
    ASSERT_TRUE(TFakeCamera::Control("add 4 yuyv usb-4 Desk Cam"));
    auto* g = Owner.Make<TFrameGrabber>();
    std::vector<int> errors, statuses;
    g->SetOnError([&](TObject*, int32_t id, const std::string&) { errors.push_back(id); });
    g->SetOnStatusCallback([&](TObject*, int32_t id, const std::string&) { statuses.push_back(id); });
    g->SetDriverIndex(1);
    g->SetVideoPreview(true);
    TBitmap shown;
    g->SetPreviewSink([&](const TBitmap& f) { shown = f; });
    ASSERT_TRUE(GrabsColour(g, 200, 120, 40));

    ASSERT_TRUE(TFakeCamera::Control("unplug 4"));
    ASSERT_TRUE(RunUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<int>{IDS_CAP_DEVICE_FAILED});
    EXPECT_TRUE(RunUntil([&] { return IsNoSignal(shown); })) << "the preview shows the lost camera";
    TBitmap grabbed = Grab(g);
    EXPECT_TRUE(IsNoSignal(grabbed)) << "a snapshot shows the lost camera";
    EXPECT_EQ(grabbed.Width(), 640);
    EXPECT_TRUE(g->DriverOpen());

    // Back on the same node, then on another node after a second loss.
    ASSERT_TRUE(TFakeCamera::Control("colour 4 40 40 200"));
    ASSERT_TRUE(TFakeCamera::Control("replug 4"));
    ASSERT_TRUE(RunUntil([&] { return std::count(statuses.begin(), statuses.end(), IDS_CAP_DEVICE_RETURNED) == 1; }));
    EXPECT_TRUE(GrabsColour(g, 40, 40, 200));
    ASSERT_TRUE(TFakeCamera::Control("remove 4"));
    ASSERT_TRUE(RunUntil([&] { return errors.size() == 2; }));
    ASSERT_TRUE(TFakeCamera::Control("add 7 yuyv usb-4 Desk Cam"));
    ASSERT_TRUE(TFakeCamera::Control("colour 7 40 200 40"));
    ASSERT_TRUE(RunUntil([&] { return std::count(statuses.begin(), statuses.end(), IDS_CAP_DEVICE_RETURNED) == 2; }));
    EXPECT_TRUE(GrabsColour(g, 40, 200, 40));
    EXPECT_TRUE(RunUntil([&] { return !shown.Empty() && Near(Centre(shown), 40, 200, 40); }));
}

TEST_F(FakeCamera, StalledCameraGivesTheLastFrameThenNoSignal)
{
    ASSERT_TRUE(TFakeCamera::Control("add 4 yuyv usb-4 Cam"));
    auto* g = OpenGrabber(1);
    ASSERT_TRUE(GrabsColour(g, 200, 120, 40));
    ASSERT_TRUE(TFakeCamera::Control("stall 4 1"));
    TBitmap f = Grab(g);
    ASSERT_FALSE(f.Empty());
    EXPECT_TRUE(Near(Centre(f), 200, 120, 40));
    // Once the last frame is old, the picture says so.
    EXPECT_TRUE(RunUntil([&] { return IsNoSignal(Grab(g)); }));
    ASSERT_TRUE(TFakeCamera::Control("stall 4 0"));
    EXPECT_TRUE(GrabsColour(g, 200, 120, 40));
}

TEST_F(FakeCamera, PictureTurningToNoSignalAndBackIsToldOnceEach)
{
    ASSERT_TRUE(TFakeCamera::Control("add 3 mjpeg usb-3 Jpeg Cam"));
    ASSERT_TRUE(TFakeCamera::Control("add 4 yuyv usb-4 Yuyv Cam"));
    // What stops the good frames, and what brings them back.
    const struct {
        int Index;
        std::string Stop, Start, Device;
    } faults[] = {{2, "stall 4 1", "stall 4 0", "/dev/video4 (Yuyv Cam)"},
                  {2, "errors 4 1000000", "errors 4 0", "/dev/video4 (Yuyv Cam)"},
                  {1, "badjpeg 3 1000000", "badjpeg 3 0", "/dev/video3 (Jpeg Cam)"}};
    for (const auto& f : faults) {
        auto* g = OpenGrabber(f.Index);
        std::vector<std::string> said;
        g->SetOnError([&](TObject*, int32_t, const std::string& Text) { said.push_back(Text); });
        g->SetOnStatusCallback([&](TObject*, int32_t Id, const std::string& Text) {
            if (Id == IDS_CAP_SIGNAL_RETURNED)
                said.push_back(Text);
        });
        ASSERT_TRUE(GrabsColour(g, 200, 120, 40) && TFakeCamera::Control(f.Stop)) << f.Stop;
        RunUntil([] { return false; }, 4500);
        ASSERT_TRUE(TFakeCamera::Control(f.Start));
        RunUntil([] { return false; }, 2500);
        EXPECT_EQ(said, (std::vector<std::string>{"Capture device " + f.Device + " gives no picture: NO SIGNAL",
                                                  "Capture device " + f.Device + " gives pictures again"}));
        g->SetDriverOpen(false);
    }
}

TEST_F(FakeCamera, FrameCallbackTakesYuyvAsTheCameraGivesItWhileNothingDraws)
{
    ASSERT_TRUE(TFakeCamera::Control("add 3 mjpeg usb-3 Jpeg Cam"));
    ASSERT_TRUE(TFakeCamera::Control("add 4 yuyv usb-4 Yuyv Cam"));
    // Driver, whether a preview sink draws, whether frames come as YUYV.
    for (const auto& [index, drawn, yuyv] : {std::tuple{2, false, true}, {2, true, false}, {1, false, false}}) {
        auto* g = OpenGrabber(index);
        g->SetYuyvFrames(true);
        if (drawn)
            g->SetPreviewSink([](const TBitmap&) {});
        VIDEOHDR last{};
        g->SetOnFrameCallback([&](TObject*, PVIDEOHDR h) { last = *h; });
        g->SetVideoPreview(true);
        ASSERT_TRUE(RunUntil([&] { return last.lpData != nullptr; }));
        EXPECT_EQ((last.dwFlags & VHDR_YUYV) != 0, yuyv) << index << drawn;
        EXPECT_EQ(last.dwBytesUsed, 640u * 480 * (yuyv ? 2 : 3));
        g->SetDriverOpen(false);
    }
}

TEST_F(FakeCamera, GrabsKeepOneStreamAndNeverShowWarmUpFrames)
{
    ASSERT_TRUE(TFakeCamera::Control("add 4 yuyv usb-4 Cam"));
    ASSERT_TRUE(TFakeCamera::Control("dark 4 5"));
    auto* g = OpenGrabber(1);
    for (int i = 0; i < 3; ++i) {
        TBitmap f = Grab(g);
        ASSERT_FALSE(f.Empty());
        EXPECT_TRUE(Near(Centre(f), 200, 120, 40)) << "grab " << i;
    }
    g->SetVideoPreview(true);
    g->SetVideoPreview(false);
    EXPECT_TRUE(Near(Centre(Grab(g)), 200, 120, 40));
    EXPECT_EQ(TFakeCamera::Count("streamons", 4), 1);
}

// The capture dialogs answer with the choice named Text.
struct ChooseInDialog {
    explicit ChooseInDialog(const std::string& Text)
    {
        SetCaptureDialog([=](const std::string&, const std::vector<std::string>& choices, int) {
            return static_cast<int>(std::find(choices.begin(), choices.end(), Text) - choices.begin());
        });
    }
    ~ChooseInDialog() { SetCaptureDialog(nullptr); }
};

TEST_F(FakeCamera, ChosenSizeAndInputAreRememberedPerCameraNotPerNode)
{
    SetCaptureSettingsFile(Temp.Name() + "/capture.ini");
    ASSERT_TRUE(TFakeCamera::Control("add 2 inputs usb-5 Two Inputs"));
    ASSERT_TRUE(TFakeCamera::Control("add 3 yuyv usb-6 Other"));
    {
        // The dialogs on a closed driver change what the next open gets.
        auto* g = Owner.Make<TFrameGrabber>();
        g->SetDriverIndex(1);
        {
            ChooseInDialog size("1280x720 YUYV");
            EXPECT_TRUE(g->DlgVideoFormat());
        }
        {
            ChooseInDialog input("Composite");
            EXPECT_TRUE(g->DlgVideoSource());
        }
        EXPECT_FALSE(g->DriverOpen());
        g->SetDriverOpen(true);
        EXPECT_EQ(g->ImageWidth(), 1280);
        EXPECT_TRUE(GrabsColour(g, 55, 135, 215));
        g->SetDriverOpen(false);
    }
    // After a restart the camera comes up on another node, the other camera
    // keeps its default.
    ASSERT_TRUE(TFakeCamera::Control("clear"));
    ASSERT_TRUE(TFakeCamera::Control("add 1 yuyv usb-6 Other"));
    ASSERT_TRUE(TFakeCamera::Control("add 6 inputs usb-5 Two Inputs"));
    TComponent restarted(nullptr);
    auto* other = restarted.Make<TFrameGrabber>();
    other->SetDriverIndex(1);
    other->SetDriverOpen(true);
    EXPECT_EQ(other->ImageWidth(), 640);
    other->SetDriverOpen(false);
    auto* g = restarted.Make<TFrameGrabber>();
    g->SetDriverIndex(2);
    g->SetDriverOpen(true);
    EXPECT_EQ(g->ImageWidth(), 1280);
    EXPECT_EQ(g->ImageHeight(), 720);
    EXPECT_TRUE(GrabsColour(g, 55, 135, 215));
    SetCaptureSettingsFile("");
}

TEST_F(FakeCamera, ChosenPixelFormatIsRemembered)
{
    SetCaptureSettingsFile(Temp.Name() + "/capture.ini");
    ASSERT_TRUE(TFakeCamera::Control("add 2 both usb-5 Both"));
    auto* g = OpenGrabber(1);
    const long first = TFakeCamera::Count("format", 2);
    const std::string other = first == V4L2_PIX_FMT_MJPEG ? "YUYV" : "MJPG";
    {
        ChooseInDialog format("320x240 " + other);
        EXPECT_TRUE(g->DlgVideoFormat());
    }
    EXPECT_TRUE(GrabsColour(g, 200, 120, 40));
    g->SetDriverOpen(false);
    auto* again = OpenGrabber(1);
    EXPECT_EQ(again->ImageWidth(), 320);
    EXPECT_NE(TFakeCamera::Count("format", 2), first);
    EXPECT_TRUE(GrabsColour(again, 200, 120, 40));
    SetCaptureSettingsFile("");
}

TEST_F(FakeCamera, DriverListOpensEachNodeOnceAndLeavesOutNonCaptureNodes)
{
    for (const char* line : {"add 0 yuyv usb-0 A", "add 1 meta usb-0 A", "add 2 mjpeg usb-2 B", "add 10 both usb-10 C"})
        ASSERT_TRUE(TFakeCamera::Control(line));
    EXPECT_EQ(GetDriverList(), (std::vector<std::string>{"Quorrelane test pattern Version 1.0", "A 6.1.7", "B 6.1.7", "C 6.1.7"}));
    long opens = 0;
    for (int n : {0, 1, 2, 10})
        opens += TFakeCamera::Count("opens", n);
    EXPECT_EQ(opens, 4);
}

TEST_F(FakeCamera, Libv4l2DiagnosticsStayOffStderr)
{
    ASSERT_TRUE(TFakeCamera::Control("add 3 mjpeg usb-3 Jpeg Cam"));
    const std::string log = Temp.Name() + "/stderr";
    fflush(stderr);
    const int saved = dup(2);
    const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    dup2(file, 2);
    close(file);
    {
        auto* g = OpenGrabber(1);
        TFakeCamera::Control("oddsize 3 2");
        TFakeCamera::Control("badjpeg 3 6");
        const long before = TFakeCamera::Count("frames", 3);
        RunUntil([&] { return TFakeCamera::Count("frames", 3) >= before + 12; });
        g->SetDriverOpen(false);
    }
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(Slurp(log).find("libv4l2"), std::string::npos) << Slurp(log);
}

} // namespace
