// The motion detector on synthetic scenes: 320x240 frames with sensor
// noise, delivered at 10 fps (so every second one is examined at 5 fps).
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <functional>

#include "app/Motion.h"
#include "imaging/JpegWriter.h"

namespace {

constexpr int W = 320, H = 240, StepMs = 100;

// Brightness of pixel (x, y) in delivered frame i.
using TScene = std::function<int(int i, int x, int y)>;

int Block(int i, int x, int y, int From, int To)  // 48 px moving 8 px a frame from frame From until To
{
    const int left = 8 * (std::min(i, To) - From);
    return i >= From && x >= left && x < left + 48 && y >= 96 && y < 144 ? 210 : 90;
}

struct TCase {
    const char* Name;
    uint32_t Format;
    int Frames;
    TScene Scene;
    int LostAt;       // frames stop here (no signal); -1: never
    int Events;
    int StartBy;      // the first event started by this frame; -1: none
    int EndFrom, EndBy;  // it ended within these frames; -1: still running
};

TRawFrame MakeFrame(const TCase& C, int I, std::vector<uint8_t>& Buf, uint32_t& Seed)
{
    auto value = [&](int x, int y) {
        Seed = Seed * 1664525u + 1013904223u;
        return static_cast<uint8_t>(std::clamp(C.Scene(I, x, y) + static_cast<int>(Seed >> 28) - 8, 0, 255));
    };
    TRawFrame f;
    f.Format = C.Format;
    f.Width = W;
    f.Height = H;
    if (C.Format == V4L2_PIX_FMT_YUYV) {
        Buf.resize(W * H * 2);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                Buf[(y * W + x) * 2] = value(x, y);
                Buf[(y * W + x) * 2 + 1] = 128;
            }
        f.BytesPerLine = W * 2;
    } else {
        TBitmap b(W, H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                uint8_t* p = b.Data() + (y * W + x) * 3;
                p[0] = p[1] = p[2] = value(x, y);
            }
        Buf = EncodeJpeg(b, 85);
    }
    f.Data = Buf.data();
    f.Size = Buf.size();
    return f;
}

TEST(MotionDetector, Scenes)
{
    const TCase cases[] = {
        {"still scene, 60 s", V4L2_PIX_FMT_YUYV, 600, [](int, int, int) { return 100; }, -1, 0, -1, -1, -1},
        {"block moving across", V4L2_PIX_FMT_YUYV, 60, [](int i, int x, int y) { return Block(i, x, y, 30, 99); }, -1,
         1, 32, -1, -1},
        {"block moving, MJPEG", V4L2_PIX_FMT_MJPEG, 60, [](int i, int x, int y) { return Block(i, x, y, 30, 99); },
         -1, 1, 32, -1, -1},
        {"lights switched on", V4L2_PIX_FMT_YUYV, 200, [](int i, int x, int) { return (x < W / 2 ? 40 : 80) * (i < 30 ? 1 : 3); },
         -1, 0, -1, -1, -1},
        {"slow drift of brightness", V4L2_PIX_FMT_YUYV, 600, [](int i, int x, int) { return (x < W / 2 ? 40 : 80) * (600 + i) / 600; },
         -1, 0, -1, -1, -1},
        // Stopped at frame 50: the block fades into the background, then
        // motion_gap (10 s) passes.
        {"scene stops moving", V4L2_PIX_FMT_YUYV, 400, [](int i, int x, int y) { return Block(i, x, y, 30, 50); }, -1,
         1, 32, 150, 260},
        {"no signal during an event", V4L2_PIX_FMT_YUYV, 250, [](int i, int x, int y) { return Block(i, x, y, 30, 99); },
         45, 1, 32, 45, 45},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMotionSettings settings;
        TMotionDetector d(settings);
        std::vector<uint8_t> buf;
        uint32_t seed = 1;
        int started = -1, ended = -1;
        for (int i = 0; i < c.Frames; ++i) {
            const uint64_t now = 1000 + static_cast<uint64_t>(i) * StepMs;
            TMotionAction a;
            if (i == c.LostAt)
                a = d.SignalLost(now);
            else if (c.LostAt >= 0 && i > c.LostAt)
                a = d.Tick(now);
            else
                a = d.Frame(MakeFrame(c, i, buf, seed), now);
            if (a == TMotionAction::Started && started < 0)
                started = i;
            if (a == TMotionAction::Ended)
                ended = i;
        }
        EXPECT_EQ(d.Events(), c.Events);
        if (c.StartBy >= 0) {
            EXPECT_TRUE(started >= 30 && started <= c.StartBy) << started;
        }
        if (c.EndBy >= 0) {
            EXPECT_TRUE(ended >= c.EndFrom && ended <= c.EndBy) << ended;
        }
        EXPECT_EQ(d.Active(), c.Events > 0 && c.EndBy < 0);
    }
}

} // namespace
