#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "capture/V4l2Driver.h"
#include "capture/Video.h"

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

TEST(V4l2Driver, DevicesAreCaptureDevicesInNameOrder)
{
    auto devices = ListV4l2Devices();
    for (size_t i = 1; i < devices.size(); ++i)
        EXPECT_LT(devices[i - 1].Path, devices[i].Path);
    // The default table puts them after the test pattern.
    auto list = GetDriverList();
    ASSERT_GE(list.size(), 1u);
    EXPECT_EQ(list.size(), std::min<size_t>(10, devices.size() + 1));
    for (size_t i = 0; i + 1 < list.size(); ++i)
        EXPECT_EQ(list[i + 1], devices[i].Card + " " + devices[i].Version);
}

} // namespace
