#include <gtest/gtest.h>

#include <filesystem>
#include <array>
#include <fstream>

#include "TestSupport.h"
#include "fakecam/FakeCamera.h"
#include "platform/Application.h"
#include "capture/V4l2Driver.h"
#include "capture/Video.h"
#include "imaging/BmpFile.h"

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
    // Grabs and returns the centre pixel.
    static std::array<uint8_t, 3> Centre(const TBitmap& b)
    {
        const uint8_t* p = b.ScanLine(b.Height() / 2) + (b.Width() / 2) * 3;
        return {p[0], p[1], p[2]};
    }

    TComponent Owner{nullptr};
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
        TTempDir temp;
        g->SingleImageFile = temp.Name() + "/f.bmp";
        ASSERT_TRUE(g->GrabFrameNoStop()) << index;
        ASSERT_TRUE(g->SaveAsDIB());
        TBitmap b = LoadBitmapFile(temp.Name() + "/f.bmp");
        EXPECT_EQ(b.Width(), 640);
        auto c = Centre(b);
        if (index == 1)
            EXPECT_TRUE(c[0] > 150 && c[2] < 90) << int(c[0]) << " " << int(c[2]);
        else
            EXPECT_TRUE(c[2] > 150 && c[0] < 90) << int(c[0]) << " " << int(c[2]);
        g->SetDriverOpen(false);
    }
}

} // namespace
