#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "ScriptedDriver.h"
#include "TestSupport.h"
#include "capture/TestPatternDriver.h"
#include "capture/Video.h"
#include "imaging/BmpFile.h"
#include "platform/Profile.h"

namespace {

struct DialogAnswer {
    explicit DialogAnswer(int Choice, std::vector<std::string>* Seen = nullptr)
    {
        SetCaptureDialog([=](const std::string&, const std::vector<std::string>& choices, int) {
            if (Seen)
                *Seen = choices;
            return Choice;
        });
    }
    ~DialogAnswer() { SetCaptureDialog(nullptr); }
};

TEST(TestPattern, IsDriverZeroAndItsGrabbedFrameIsARealBitmapFile)
{
    TComponent owner(nullptr);
    auto* g = owner.Make<TFrameGrabber>();
    ASSERT_FALSE(GetDriverList().empty());
    EXPECT_EQ(GetDriverList()[0], "Quorrelane test pattern Version 1.0");
    g->SetDriverIndex(0);
    EXPECT_EQ(g->DriverName(), "Quorrelane test pattern");
    EXPECT_FALSE(g->HasVideoOverlay());
    EXPECT_TRUE(g->HasDlgVideoFormat());
    EXPECT_TRUE(g->HasDlgVideoSource());
    EXPECT_FALSE(g->DriverOpen());

    TTempDir dir;
    g->SingleImageFile = dir.Name() + "/http.bmp";
    g->SetDriverOpen(true);
    EXPECT_FALSE(g->SaveAsDIB());  // nothing grabbed yet
    ASSERT_TRUE(g->GrabFrameNoStop());
    ASSERT_TRUE(g->SaveAsDIB());
    TBitmap b = LoadBitmapFile(g->SingleImageFile);
    ASSERT_EQ(b.Width(), 320);
    ASSERT_EQ(b.Height(), 240);
    // Colour bars along the bottom row: white, yellow, cyan, ... black.
    const uint8_t* row = b.ScanLine(239);
    EXPECT_EQ(row[0], 255);
    EXPECT_EQ(row[2], 255);
    const uint8_t* yellow = row + 60 * 3;
    EXPECT_EQ((std::vector<int>{yellow[0], yellow[1], yellow[2]}), (std::vector<int>{255, 255, 0}));
    const uint8_t* black = row + 300 * 3;
    EXPECT_EQ((std::vector<int>{black[0], black[1], black[2]}), (std::vector<int>{0, 0, 0}));

    // The file is exactly the frame the capture window holds.
    TBitmap expected(320, 240);
    TTestPatternDriver::Render(expected, 0, 0);
    EXPECT_EQ(std::vector<uint8_t>(b.Data(), b.Data() + b.ByteSize()),
              std::vector<uint8_t>(expected.Data(), expected.Data() + expected.ByteSize()));

    // An unwritable place fails and leaves nothing behind.
    g->SingleImageFile = dir.Name() + "/missing/http.bmp";
    EXPECT_FALSE(g->SaveAsDIB());
}

TEST(TestPattern, PictureMovesFromFrameToFrame)
{
    TBitmap a(160, 120), b(160, 120), c(160, 120);
    TTestPatternDriver::Render(a, 0, 5);
    TTestPatternDriver::Render(b, 0, 6);
    TTestPatternDriver::Render(c, 0, 5);
    EXPECT_NE(std::vector<uint8_t>(a.Data(), a.Data() + a.ByteSize()), std::vector<uint8_t>(b.Data(), b.Data() + b.ByteSize()));
    EXPECT_EQ(std::vector<uint8_t>(a.Data(), a.Data() + a.ByteSize()), std::vector<uint8_t>(c.Data(), c.Data() + c.ByteSize()));
}

TEST(TestPattern, FormatAndSourceDialogsChangeSizeAndPattern)
{
    TComponent owner(nullptr);
    auto* g = owner.Make<TFrameGrabber>();
    g->SetDriverIndex(0);
    g->SetDriverOpen(true);
    {
        DialogAnswer none(-1);
        EXPECT_FALSE(g->DlgVideoFormat());
        EXPECT_EQ(g->ImageWidth(), 320);
    }
    {
        // Without a front end the dialog keeps the current choice.
        EXPECT_TRUE(g->DlgVideoFormat());
        EXPECT_EQ(g->ImageWidth(), 320);
    }
    {
        std::vector<std::string> seen;
        DialogAnswer vga(3, &seen);
        EXPECT_TRUE(g->DlgVideoFormat());
        EXPECT_EQ(seen, (std::vector<std::string>{"160x120", "320x240", "352x288", "640x480", "1280x720", "1920x1080"}));
        EXPECT_EQ(g->ImageWidth(), 640);
        EXPECT_EQ(g->ImageHeight(), 480);
    }
    {
        std::vector<std::string> seen;
        DialogAnswer gradient(1, &seen);
        EXPECT_TRUE(g->DlgVideoSource());
        EXPECT_EQ(seen.size(), 3u);
    }
    ASSERT_TRUE(g->GrabFrame());
    TTempDir dir;
    g->SingleImageFile = dir.Name() + "/frame.bmp";
    ASSERT_TRUE(g->SaveAsDIB());
    TBitmap b = LoadBitmapFile(g->SingleImageFile);
    EXPECT_EQ(b.Width(), 640);
    EXPECT_EQ(b.ScanLine(479)[1], 255);  // gradient: green grows downwards
}

TEST(CaptureWindow, UnknownDriverIndexDoesNotConnect)
{
    TComponent owner(nullptr);
    auto* g = owner.Make<TFrameGrabber>();
    HWND cap = capCreateCaptureWindowA("x", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, g->Handle(), 1);
    ASSERT_NE(cap, nullptr);
    EXPECT_EQ(SendMessage(cap, WM_CAP_DRIVER_CONNECT, 9999, 0), 0);
    CAPSTATUS s{};
    EXPECT_EQ(SendMessage(cap, WM_CAP_GET_STATUS, sizeof s, reinterpret_cast<LPARAM>(&s)), 0);
    EXPECT_EQ(SendMessage(cap, WM_CAP_SET_PREVIEW, 1, 0), 0);
    EXPECT_EQ(SendMessage(cap, WM_CAP_DRIVER_CONNECT, 0, 0), 1);
    ASSERT_EQ(SendMessage(cap, WM_CAP_GET_STATUS, sizeof s, reinterpret_cast<LPARAM>(&s)), 1);
    EXPECT_EQ(s.uiImageWidth, 320u);
    EXPECT_EQ(capCreateCaptureWindowA("y", WS_CHILD, 0, 0, 1, 1, nullptr, 2), nullptr);
    DestroyWindow(cap);
    EXPECT_FALSE(IsWindow(cap));
}

TEST(TestPattern, SizeAndPatternChosenWhileClosedSurviveReopenAndRestart)
{
    TTempDir dir;
    SetCaptureSettingsFile(dir.Name() + "/capture.ini");
    {
        TComponent owner(nullptr);
        auto* g = owner.Make<TFrameGrabber>();
        g->SetDriverIndex(0);
        {
            DialogAnswer answer(4); // 1280x720
            EXPECT_TRUE(g->DlgVideoFormat());
        }
        {
            DialogAnswer answer(2);
            EXPECT_TRUE(g->DlgVideoSource());
        }
        g->SetDriverOpen(true);
        EXPECT_EQ(g->ImageWidth(), 1280);
    }
    TComponent owner(nullptr);
    auto* g = owner.Make<TFrameGrabber>();
    g->SetDriverIndex(0);
    g->SetDriverOpen(true);
    EXPECT_EQ(g->ImageWidth(), 1280);
    EXPECT_EQ(g->ImageHeight(), 720);
    EXPECT_EQ(GetPrivateProfileString("Quorrelane test pattern", "input", "", 10, dir.Name() + "/capture.ini"), "2");
    SetCaptureSettingsFile("");
}

} // namespace
