#include <gtest/gtest.h>

#include "ScriptedDriver.h"
#include "capture/Video.h"

namespace {

class FrameGrabberTest : public ::testing::Test {
protected:
    FrameGrabberTest()
    {
        for (int i : {0, 1, 3})
            Table.Drivers[i];
    }
    TScriptedTable Table;
    TMessageLog Log;
    TComponent Owner{nullptr};
    TFrameGrabber& Grabber = *Owner.Make<TFrameGrabber>();
};

TEST_F(FrameGrabberTest, DriverListStopsAtTheFirstGapButNamesFindEveryIndex)
{
    EXPECT_EQ(GetDriverList(), (std::vector<std::string>{"Scripted 0 v0", "Scripted 1 v1"}));
    Grabber.SetDriverName("Scripted 3");
    EXPECT_EQ(Grabber.DriverIndex(), 3);
    EXPECT_EQ(Grabber.DriverName(), "Scripted 3");
    Grabber.SetDriverIndex(2);
    EXPECT_EQ(Grabber.DriverIndex(), -1);
    EXPECT_EQ(Grabber.DriverName(), "");
    Grabber.SetDriverIndex(1);
    EXPECT_EQ(Grabber.DriverName(), "Scripted 1");

    // An index beyond 16 bits is no alias of a small one.
    Grabber.SetDriverIndex(65536);
    EXPECT_EQ(Grabber.DriverIndex(), -1);
    EXPECT_EQ(Grabber.DriverName(), "");
    // Below -1 the index is kept as it is, and opening connects to its low
    // 16 bits, where there is no driver.
    Grabber.SetDriverIndex(1);
    Grabber.SetDriverIndex(-2);
    EXPECT_EQ(Grabber.DriverIndex(), -2);
    EXPECT_EQ(Grabber.DriverName(), "Scripted 1");
    EXPECT_THROW(Grabber.SetDriverOpen(true), ENotConnectException);
    ASSERT_FALSE(Log.Of(WM_CAP_DRIVER_CONNECT).empty());
    EXPECT_EQ(Log.Of(WM_CAP_DRIVER_CONNECT).back().wParam, 0xFFFEu);
}

TEST(FrameGrabberNoDrivers, EmptyListAndIndexStaysUnselected)
{
    TScriptedTable table;
    TComponent owner(nullptr);
    auto* g = owner.Make<TFrameGrabber>();
    EXPECT_TRUE(GetDriverList().empty());
    g->SetDriverIndex(0);
    EXPECT_EQ(g->DriverIndex(), -1);
    EXPECT_EQ(g->DriverName(), "");
    EXPECT_FALSE(g->HasDlgVideoFormat());
}

TEST_F(FrameGrabberTest, UnknownNameClosesTheOpenDriver)
{
    Table.Drivers[2];
    Grabber.SetDriverIndex(2);
    Grabber.SetDriverOpen(true);
    ASSERT_TRUE(Grabber.DriverOpen());
    Grabber.SetDriverName("no such camera");
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_EQ(Grabber.DriverIndex(), -1);
    EXPECT_EQ(Grabber.DriverName(), "");
    EXPECT_EQ(Table.Drivers[2].Closes, 1);
}

TEST_F(FrameGrabberTest, IndexChangesCloseAndDropBuffersSameIndexKeepsThem)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetDriverOpen(true);
    ASSERT_TRUE(Grabber.GetDriverCaps());
    Grabber.SetDriverIndex(0);
    EXPECT_TRUE(Grabber.DriverOpen());
    EXPECT_EQ(Grabber.ImageWidth(), 320);
    EXPECT_EQ(Log.Of(WM_CAP_DRIVER_GET_CAPS).size(), 1u);
    EXPECT_TRUE(Grabber.HasDlgVideoSource());
    EXPECT_EQ(Log.Of(WM_CAP_DRIVER_GET_CAPS).size(), 1u);

    Grabber.SetDriverIndex(1);
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_EQ(Grabber.ImageWidth(), 0);
    EXPECT_EQ(Table.Drivers[1].Opens, 0);
}

TEST_F(FrameGrabberTest, OpeningWithoutDriverFiresStatusThenRaises)
{
    std::vector<std::string> events;
    Grabber.OnStatus = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &Grabber);
        events.push_back("status");
    };
    try {
        Grabber.SetDriverOpen(true);
        FAIL() << "no exception";
    } catch (const ENoDriverException& e) {
        events.push_back(e.what());
    }
    EXPECT_EQ(events, (std::vector<std::string>{"status", "No capture driver selected"}));
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_TRUE(Log.All.empty());

    events.clear();
    EXPECT_THROW(Grabber.SetVideoPreview(true), ENoDriverException);
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(FrameGrabberTest, RefusedConnectDestroysTheWindowAndRaises)
{
    Table.Drivers[1].RefuseConnect = true;
    Grabber.SetDriverIndex(1);
    int statuses = 0;
    Grabber.OnStatus = [&](TObject*) { ++statuses; };
    try {
        Grabber.SetDriverOpen(true);
        FAIL() << "no exception";
    } catch (const ENotConnectException& e) {
        EXPECT_STREQ(e.what(), "Can not connect capture driver with capture window");
        EXPECT_EQ(statuses, 1);
    }
    EXPECT_FALSE(Grabber.DriverOpen());
    ASSERT_FALSE(Log.All.empty());
    EXPECT_FALSE(IsWindow(Log.All.front().Wnd));
    EXPECT_EQ(Log.Of(WM_CAP_DRIVER_DISCONNECT).size(), 1u);
}

TEST_F(FrameGrabberTest, OpeningTwiceDoesNothingTheSecondTime)
{
    Grabber.SetDriverIndex(0);
    int statuses = 0;
    Grabber.OnStatus = [&](TObject*) { ++statuses; };
    Grabber.SetDriverOpen(true);
    HWND first = Grabber.CapWindowHandle();
    Grabber.SetDriverOpen(true);
    EXPECT_TRUE(Grabber.CreateCapWindow());
    EXPECT_EQ(Grabber.CapWindowHandle(), first);
    EXPECT_EQ(statuses, 1);
    EXPECT_EQ(Table.Drivers[0].Opens, 1);
    // Closing keeps the status buffer.
    Grabber.SetDriverOpen(false);
    EXPECT_EQ(Grabber.ImageWidth(), 320);
    EXPECT_FALSE(IsWindow(first));
}

TEST_F(FrameGrabberTest, CapWindowSizeFollowsTheScalingRules)
{
    Grabber.SetBounds(0, 0, 160, 120);
    Grabber.SetDriverIndex(0);
    Grabber.SetDriverOpen(true);
    auto size = [&] {
        RECT r = Grabber.CapWindowRect();
        return std::make_pair(r.right - r.left, r.bottom - r.top);
    };
    EXPECT_EQ(size(), std::make_pair(320, 240));  // no scaling: the frame's size
    Grabber.SetBounds(0, 0, 200, 100);
    EXPECT_EQ(size(), std::make_pair(320, 240));  // WM_SIZE without scaling does nothing

    Grabber.SetPreviewScaleToWindow(true);
    EXPECT_EQ(size(), std::make_pair(200, 100));
    Grabber.SetBounds(0, 0, 160, 120);
    EXPECT_EQ(size(), std::make_pair(160, 120));
    Grabber.SetPreviewScaleProportional(true);
    EXPECT_EQ(size(), std::make_pair(160, 120));

    Grabber.SetDriverOpen(false);
    Table.Drivers[0].Width = 352;
    Grabber.SetDriverOpen(true);
    EXPECT_EQ(size(), std::make_pair(160, 109));
    Grabber.SetBounds(0, 0, 300, 120);
    EXPECT_EQ(size(), std::make_pair(176, 120));  // wider control: height fits

    // No frame height: the capture window is left as it is.
    Grabber.SetDriverOpen(false);
    Table.Drivers[0].Height = 0;
    Grabber.SetDriverOpen(true);
    Grabber.SetBounds(0, 0, 160, 120);
    EXPECT_EQ(size(), std::make_pair(300, 120));
    EXPECT_EQ(Log.Of(WM_CAP_SET_SCALE).back().wParam, 1u);
}

TEST_F(FrameGrabberTest, ProportionalSizesRoundHalvesToEven)
{
    Grabber.SetPreviewScaleToWindow(true);
    Grabber.SetPreviewScaleProportional(true);
    Grabber.SetDriverIndex(0);
    auto size = [&] {
        RECT r = Grabber.CapWindowRect();
        return std::make_pair(r.right - r.left, r.bottom - r.top);
    };
    // A 2:1 frame in a 101 x 60 control: height 101 / 2 = 50.5 gives 50.
    Table.Drivers[0].Width = 640;
    Table.Drivers[0].Height = 320;
    Grabber.SetBounds(0, 0, 101, 60);
    Grabber.SetDriverOpen(true);
    EXPECT_EQ(size(), std::make_pair(101, 50));
    // A 3:2 frame in a 200 x 45 control: width 45 * 1.5 = 67.5 gives 68.
    Grabber.SetDriverOpen(false);
    Table.Drivers[0].Width = 300;
    Table.Drivers[0].Height = 200;
    Grabber.SetBounds(0, 0, 200, 45);
    Grabber.SetDriverOpen(true);
    EXPECT_EQ(size(), std::make_pair(68, 45));
}

TEST_F(FrameGrabberTest, PreviewRateIsSentAsRoundedMilliseconds)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetDriverOpen(true);
    auto sent = [&] { return Log.Of(WM_CAP_SET_PREVIEWRATE).back().wParam; };
    EXPECT_EQ(sent(), 33u);
    const std::pair<int, WPARAM> table[] = {{16, 62}, {9, 111}, {10, 100}, {15, 67}, {1, 1000}, {30, 33}};
    for (auto [rate, ms] : table) {
        Grabber.SetPreviewRate(static_cast<uint16_t>(rate));
        EXPECT_EQ(sent(), ms) << rate;
    }
    Grabber.SetPreviewRate(0);
    EXPECT_EQ(Grabber.PreviewRate(), 1);
    EXPECT_EQ(sent(), 1000u);
    Grabber.SetPreviewRate(100);
    EXPECT_EQ(Grabber.PreviewRate(), 30);
    EXPECT_EQ(sent(), 33u);

    Grabber.SetDriverOpen(false);
    const size_t before = Log.Of(WM_CAP_SET_PREVIEWRATE).size();
    Grabber.SetPreviewRate(9);
    EXPECT_EQ(Log.Of(WM_CAP_SET_PREVIEWRATE).size(), before);
    Grabber.SetDriverOpen(true);
    EXPECT_EQ(sent(), 111u);
}

TEST_F(FrameGrabberTest, FramePeriodAndIndexSizeRules)
{
    EXPECT_EQ(Grabber.MicroSecPerFrame(), 66667u);
    EXPECT_EQ(Grabber.FrameRate(), 15);
    Grabber.SetMicroSecPerFrame(10000);
    EXPECT_EQ(Grabber.MicroSecPerFrame(), 33333u);
    EXPECT_EQ(Grabber.FrameRate(), 30);
    Grabber.SetMicroSecPerFrame(0x80000000u);
    EXPECT_EQ(Grabber.MicroSecPerFrame(), 33333u);
    Grabber.SetMicroSecPerFrame(80000);
    EXPECT_EQ(Grabber.FrameRate(), 12);
    Grabber.SetFrameRate(60);
    EXPECT_EQ(Grabber.MicroSecPerFrame(), 16667u);
    EXPECT_EQ(Grabber.FrameRate(), 60);
    Grabber.SetFrameRate(0);
    EXPECT_EQ(Grabber.MicroSecPerFrame(), 16667u);
    Grabber.SetFrameRate(10);
    EXPECT_EQ(Grabber.MicroSecPerFrame(), 100000u);
    Grabber.SetFrameRate(65535);
    EXPECT_EQ(Grabber.FrameRate(), 65535);

    Grabber.SetCapIndexSize(5);
    EXPECT_EQ(Grabber.CapIndexSize(), 1800u);
    Grabber.SetCapIndexSize(1000000);
    EXPECT_EQ(Grabber.CapIndexSize(), 324000u);
    Grabber.SetCapIndexSize(0);
    EXPECT_EQ(Grabber.CapIndexSize(), 0u);
    Grabber.SetCapIndexSize(0x80000000u);
    EXPECT_EQ(Grabber.CapIndexSize(), 1800u);

    EXPECT_EQ(Grabber.CapAudioFormat()->Channels(), Mono);
    EXPECT_EQ(static_cast<int>(Mono), 1);
    EXPECT_EQ(Grabber.CapAudioFormat()->Frequency(), f8000Hz);
    EXPECT_EQ(Grabber.CapAudioFormat()->Resolution(), r8Bit);
    EXPECT_EQ(Grabber.Width(), 100);
    EXPECT_EQ(Grabber.Color(), clBlack);
}

TEST_F(FrameGrabberTest, ExactlyEightMouseMessagesReachTheControl)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetDriverOpen(true);
    HWND cap = Grabber.CapWindowHandle();
    std::vector<std::string> got;
    Grabber.OnMouseDown = [&](TObject*, TMouseButton b, TShiftState s, int x, int y) {
        got.push_back("down" + std::to_string(b) + (s & ssDouble ? "d" : "") + "@" + std::to_string(x) + "," + std::to_string(y));
    };
    Grabber.OnMouseUp = [&](TObject*, TMouseButton b, TShiftState, int, int) { got.push_back("up" + std::to_string(b)); };
    Grabber.OnMouseMove = [&](TObject*, TShiftState s, int x, int) {
        got.push_back("move" + std::to_string(x) + (s & ssShift ? "s" : ""));
    };
    Grabber.OnClick = [&](TObject*) { got.push_back("click"); };
    Grabber.OnDblClick = [&](TObject*) { got.push_back("dbl"); };

    const LPARAM at = MAKELPARAM(10, 20);
    for (UINT m : {WM_RBUTTONDBLCLK, WM_MBUTTONDBLCLK})
        EXPECT_EQ(SendMessage(cap, m, 0, at), 0);
    EXPECT_TRUE(got.empty());
    for (UINT m : {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONUP,
                   WM_MBUTTONDOWN, WM_MBUTTONUP})
        EXPECT_EQ(SendMessage(cap, m, m == WM_MOUSEMOVE ? 0x04 : 0, at), 1);
    EXPECT_EQ(got, (std::vector<std::string>{"move10s", "down0@10,20", "click", "up0", "dbl", "down0d@10,20", "down1@10,20",
                                             "up1", "down2@10,20", "up2"}));
    // Other messages still reach the capture window's own procedure.
    EXPECT_EQ(SendMessage(cap, WM_CAP_GET_USER_DATA, 0, 0), reinterpret_cast<LRESULT>(&Grabber));
}

TEST_F(FrameGrabberTest, OpeningRegistersAssignedCallbacksInOrder)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetOnFrameCallback([](TObject*, PVIDEOHDR) {});
    Grabber.SetDriverOpen(true);
    EXPECT_EQ(Log.Registrations(), (std::vector<UINT>{WM_CAP_SET_CALLBACK_FRAME}));
    Grabber.SetDriverOpen(false);

    Log.All.clear();
    Grabber.SetOnAudioStream([](TObject*, PWaveHdr) {});
    Grabber.SetOnVideoStream([](TObject*, PVIDEOHDR) {});
    Grabber.SetOnError([](TObject*, int32_t, const std::string&) {});
    Grabber.SetOnStatusCallback([](TObject*, int32_t, const std::string&) {});
    EXPECT_TRUE(Log.All.empty());  // closed: only stored
    Grabber.SetDriverOpen(true);
    EXPECT_EQ(Log.Registrations(), (std::vector<UINT>{WM_CAP_SET_CALLBACK_STATUSA, WM_CAP_SET_CALLBACK_FRAME,
                                                      WM_CAP_SET_CALLBACK_ERRORA, WM_CAP_SET_CALLBACK_VIDEOSTREAM,
                                                      WM_CAP_SET_CALLBACK_WAVESTREAM}));

    Log.All.clear();
    Grabber.SetOnError(nullptr);
    Grabber.SetOnError([](TObject*, int32_t, const std::string&) {});
    auto regs = Log.Of(WM_CAP_SET_CALLBACK_ERRORA);
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].lParam, 0);
    EXPECT_EQ(regs[1].lParam, reinterpret_cast<LPARAM>(&TFrameGrabber::ErrorCallbackProc));
}

TEST_F(FrameGrabberTest, DriverReportsReachTheEventsAndThrowingHandlersAreContained)
{
    Grabber.SetDriverIndex(1);
    std::vector<std::string> got;
    Grabber.SetOnError([&](TObject* s, int32_t id, const std::string& text) {
        EXPECT_EQ(s, &Grabber);
        got.push_back(std::to_string(id) + " " + text);
        throw Exception("handler failed");
    });
    Grabber.SetDriverOpen(true);
    ASSERT_NE(Table.Last, nullptr);
    EXPECT_NO_THROW(Table.Last->RaiseError(77, "camera gone"));
    Table.Last->RaiseStatus(5, "not registered");
    EXPECT_EQ(got, (std::vector<std::string>{"77 camera gone"}));

    VIDEOHDR v{};
    WAVEHDR w{};
    PVIDEOHDR seenV = nullptr;
    PWaveHdr seenW = nullptr;
    Grabber.SetOnVideoStream([&](TObject*, PVIDEOHDR h) { seenV = h; });
    Grabber.SetOnAudioStream([&](TObject*, PWaveHdr h) { seenW = h; });
    Table.Last->Sink()->DriverVideoStream(&v);
    Table.Last->Sink()->DriverWaveStream(&w);
    EXPECT_EQ(seenV, &v);
    EXPECT_EQ(seenW, &w);

    // A handler may close the driver while the driver is still reporting.
    Grabber.SetOnError([&](TObject*, int32_t, const std::string&) { Grabber.SetDriverOpen(false); });
    Table.Drivers[1].DuringGrab = [](TScriptedDriver& d) { d.RaiseError(79, "gone while grabbing"); };
    EXPECT_FALSE(Grabber.GrabFrameNoStop());
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_EQ(Table.Drivers[1].Closes, 1);
    Table.Drivers[1].DuringGrab = nullptr;
    Grabber.SetDriverOpen(true);
    EXPECT_TRUE(Grabber.GrabFrameNoStop());
    Grabber.SetOnError(nullptr);

    // Without user data the callbacks call nothing.
    SendMessage(Grabber.CapWindowHandle(), WM_CAP_SET_USER_DATA, 0, 0);
    Table.Last->RaiseError(78, "unseen");
    EXPECT_EQ(got.size(), 1u);
}

TEST_F(FrameGrabberTest, PreviewFramesReachTheFrameCallbackAndTheSink)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetPreviewRate(30);
    int frames = 0, sunk = 0;
    Grabber.SetOnFrameCallback([&](TObject*, PVIDEOHDR h) {
        ASSERT_NE(h, nullptr);
        EXPECT_NE(h->lpData, nullptr);
        EXPECT_EQ(h->dwBytesUsed, 320u * 240u * 3u);
        ++frames;
    });
    Grabber.SetPreviewSink([&](const TBitmap& f) {
        EXPECT_EQ(f.Width(), 320);
        ++sunk;
    });
    Grabber.SetVideoPreview(true);
    EXPECT_TRUE(Grabber.DriverOpen());
    EXPECT_TRUE(Grabber.VideoPreview());
    EXPECT_TRUE(RunUntil([&] { return frames >= 3; }));
    EXPECT_EQ(sunk, frames);

    Grabber.SetVideoPreview(false);
    EXPECT_FALSE(Grabber.VideoPreview());
    EXPECT_TRUE(Grabber.DriverOpen());
    Grabber.SetVideoPreview(true);
    Grabber.SetDriverOpen(false);
    EXPECT_FALSE(Grabber.VideoPreview());
    Grabber.SetDriverOpen(true);
    EXPECT_FALSE(Grabber.VideoPreview());
}

TEST_F(FrameGrabberTest, GrabFrameStopsThePreviewGrabFrameNoStopDoesNot)
{
    Grabber.SetDriverIndex(0);
    int statuses = 0;
    Grabber.OnStatus = [&](TObject*) { ++statuses; };
    Grabber.SetVideoPreview(true);
    statuses = 0;
    EXPECT_TRUE(Grabber.GrabFrameNoStop());
    EXPECT_TRUE(Grabber.VideoPreview());
    EXPECT_TRUE(Grabber.GrabFrame());
    EXPECT_FALSE(Grabber.VideoPreview());
    EXPECT_TRUE(Grabber.DriverOpen());
    EXPECT_EQ(statuses, 2);
    EXPECT_EQ(Table.Drivers[0].Grabs, 2);
}

TEST_F(FrameGrabberTest, PreviewOffOnAClosedControlSendsNothing)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetVideoPreview(false);
    EXPECT_FALSE(Grabber.GrabFrame());
    EXPECT_FALSE(Grabber.GrabFrameNoStop());
    EXPECT_FALSE(Grabber.SaveAsDIB());
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_TRUE(Log.All.empty());
}

TEST_F(FrameGrabberTest, OverlayIsRefusedWithoutTheCapability)
{
    Grabber.SetDriverIndex(0);
    try {
        Grabber.SetVideoOverlay(true);
        FAIL() << "no exception";
    } catch (const ENoOverlayException& e) {
        EXPECT_STREQ(e.what(), "Driver has no overlay mode");
    }
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_EQ(Log.Of(WM_CAP_SET_OVERLAY).size(), 0u);
    EXPECT_NO_THROW(Grabber.SetVideoOverlay(false));

    Grabber.SetDriverIndex(3);
    Table.Drivers[3].Overlay = true;
    Grabber.SetVideoOverlay(true);
    EXPECT_TRUE(Grabber.VideoOverlay());
    EXPECT_EQ(Table.Drivers[3].Opens, 2);
    EXPECT_EQ(Table.Drivers[3].Closes, 1);
    EXPECT_EQ(Log.Of(WM_CAP_GRAB_FRAME).size(), 1u);
}

TEST_F(FrameGrabberTest, DialogOnAClosedDriverOpensAndClosesIt)
{
    Grabber.SetDriverIndex(1);
    int statuses = 0, repaints = 0;
    Grabber.OnStatus = [&](TObject*) { ++statuses; };
    Grabber.OnViewChanged = [&](TControl*) { ++repaints; };
    EXPECT_TRUE(Grabber.DlgVideoSource());
    EXPECT_FALSE(Grabber.DriverOpen());
    EXPECT_EQ(Table.Drivers[1].Opens, 1);
    EXPECT_EQ(Table.Drivers[1].Closes, 1);
    EXPECT_EQ(statuses, 2);  // the open, then the confirmed dialog
    const int repaintsAfterTrue = repaints;

    Table.Drivers[1].DialogResult = false;
    statuses = repaints = 0;
    EXPECT_FALSE(Grabber.DlgVideoFormat());
    EXPECT_EQ(statuses, 1);
    EXPECT_LT(repaints, repaintsAfterTrue);
    EXPECT_EQ(Table.Drivers[1].Dialogs, 2);

    Table.Drivers[1].SourceDialog = false;
    Grabber.SetDriverIndex(-1);
    EXPECT_FALSE(Grabber.DlgVideoSource());
    Grabber.SetDriverIndex(1);
    EXPECT_FALSE(Grabber.HasDlgVideoSource());
    EXPECT_TRUE(Grabber.HasDlgVideoFormat());
    EXPECT_FALSE(Grabber.HasVideoOverlay());
}

TEST_F(FrameGrabberTest, SaveAsDibRefusesNamesThatDoNotFit)
{
    Grabber.SetDriverIndex(0);
    Grabber.SetDriverOpen(true);
    ASSERT_TRUE(Grabber.GrabFrameNoStop());
    Grabber.SingleImageFile = "/tmp/" + std::string(259, 'x');  // 264 characters
    EXPECT_FALSE(Grabber.SaveAsDIB());
    EXPECT_TRUE(Log.Of(WM_CAP_FILE_SAVEDIBA).empty());
}

} // namespace
