#include <gtest/gtest.h>

#include <cmath>

#include "imaging/ImagingTestSupport.h"
#include "imaging/JpegWriter.h"
#include "imaging/YuvPicture.h"

namespace {

uint8_t Byte(double V) { return static_cast<uint8_t>(std::clamp(std::lround(V), 0L, 255L)); }

// A YUYV frame of one colour, rows padded beyond the pixels.
std::vector<uint8_t> YuyvFrame(int W, int H, int Stride, uint8_t R, uint8_t G, uint8_t B)
{
    const uint8_t y = Byte(0.299 * R + 0.587 * G + 0.114 * B);
    const uint8_t cb = Byte(128 - 0.168736 * R - 0.331264 * G + 0.5 * B);
    const uint8_t cr = Byte(128 + 0.5 * R - 0.418688 * G - 0.081312 * B);
    std::vector<uint8_t> frame(static_cast<size_t>(Stride) * H, 7);
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < W; x += 2) {
            uint8_t* p = &frame[static_cast<size_t>(row) * Stride + x * 2];
            p[0] = y, p[1] = cb, p[2] = y, p[3] = cr;
        }
    return frame;
}

} // namespace

// The YUYV path gives the picture the RGB path gives: colour, the odd-row
// tint (clamped), and a pasted caption clipped at the edge.
TEST(YuvPicture, YuyvFrameEncodesLikeTheSameRgbPicture)
{
    const struct {
        uint8_t R, G, B;
        bool Tint;
    } cases[] = {{200, 120, 40, false}, {200, 120, 40, true}, {30, 30, 30, true}, {250, 250, 250, true}};
    constexpr int W = 64, H = 48;
    TBitmap caption(10, 6);
    caption.Fill(255, 255, 255);
    for (const auto& c : cases) {
        const auto frame = YuyvFrame(W, H, W * 2 + 8, c.R, c.G, c.B);
        TYuvPicture yuv;
        ASSERT_TRUE(yuv.FromYuyv(frame.data(), W * 2 + 8, W, H));
        TBitmap rgb(W, H);
        rgb.Fill(c.R, c.G, c.B);
        if (c.Tint) {
            yuv.TintOddRows(55, 45, 20);
            for (int y = 1; y < H; y += 2)
                for (int x = 0; x < W; ++x) {
                    uint8_t* p = rgb.ScanLine(y) + x * 3;
                    p[0] = Byte(p[0] + 55), p[1] = Byte(p[1] + 45), p[2] = Byte(p[2] + 20);
                }
        }
        yuv.Paste(ViewOf(caption), W - 4, H - 4);
        for (int y = H - 4; y < H; ++y)
            std::fill_n(rgb.ScanLine(y) + (W - 4) * 3, 12, uint8_t{255});

        const TDecodedJpeg ours = DecodeJpeg(EncodeJpeg(yuv, 80)), theirs = DecodeJpeg(EncodeJpeg(rgb, 80));
        ASSERT_TRUE(ours.Ok && theirs.Ok);
        EXPECT_TRUE(ours.JFIF);
        ASSERT_EQ(ours.Picture.Width(), W);
        ASSERT_EQ(ours.Picture.Height(), H);
        for (const auto& [x, y] : {std::pair{20, 20}, std::pair{20, 21}, std::pair{W - 2, H - 2}})
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(ours.Picture.ScanLine(y)[x * 3 + k], theirs.Picture.ScanLine(y)[x * 3 + k], 16)
                    << int(c.R) << "," << int(c.G) << "," << int(c.B) << (c.Tint ? " tinted" : "") << " at " << x
                    << "," << y << " channel " << k;
    }
    TYuvPicture none;
    EXPECT_FALSE(none.FromYuyv(nullptr, 8, 4, 4));
    EXPECT_THROW(EncodeJpeg(none, 80), EJPEG);
}
