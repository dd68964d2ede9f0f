#include <gtest/gtest.h>

#include "imaging/ImagingTestSupport.h"
#include "imaging/JpegWriter.h"
#include "imaging/YuvPicture.h"

// A YUYV frame gives the picture the same RGB frame gives: colour, the
// odd-row tint (clamped), a pasted caption clipped at the edge.
TEST(YuvPicture, YuyvFrameEncodesLikeTheSameRgbPicture)
{
    const struct {
        uint8_t R, G, B, Y, Cb, Cr;  // one colour both ways (JFIF's conversion)
        bool Tint;
    } cases[] = {{200, 120, 40, 135, 75, 175, false}, {200, 120, 40, 135, 75, 175, true},
                 {30, 30, 30, 30, 128, 128, true},    {250, 250, 250, 250, 128, 128, true}};
    constexpr int W = 64, H = 48, Stride = W * 2 + 8;
    TBitmap caption(10, 6);
    caption.Fill(255, 255, 255);
    for (const auto& c : cases) {
        std::vector<uint8_t> frame(Stride * H);
        for (size_t i = 0; i + 4 <= frame.size(); i += 4)
            frame[i] = frame[i + 2] = c.Y, frame[i + 1] = c.Cb, frame[i + 3] = c.Cr;
        TYuvPicture yuv;
        ASSERT_TRUE(yuv.FromYuyv(frame.data(), Stride, W, H));
        TBitmap rgb(W, H);
        rgb.Fill(c.R, c.G, c.B);
        if (c.Tint) {
            yuv.TintOddRows(55, 45, 20);
            for (int y = 1; y < H; y += 2)
                rgb.FillRect(0, y, W, 1, uint8_t(std::min(255, c.R + 55)), uint8_t(std::min(255, c.G + 45)),
                             uint8_t(std::min(255, c.B + 20)));
        }
        yuv.Paste(ViewOf(caption), W - 4, H - 4);
        rgb.FillRect(W - 4, H - 4, 4, 4, 255, 255, 255);
        const TDecodedJpeg ours = DecodeJpeg(EncodeJpeg(yuv, 80)), theirs = DecodeJpeg(EncodeJpeg(rgb, 80));
        ASSERT_TRUE(ours.Ok && theirs.Ok && ours.JFIF);
        ASSERT_EQ(ours.Picture.Width() * 1000 + ours.Picture.Height(), W * 1000 + H);
        for (const auto& [x, y] : {std::pair{20, 20}, std::pair{20, 21}, std::pair{W - 2, H - 2}})
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(ours.Picture.ScanLine(y)[x * 3 + k], theirs.Picture.ScanLine(y)[x * 3 + k], 16)
                    << int(c.R) << (c.Tint ? " tinted" : "") << " at " << x << "," << y << " channel " << k;
    }
    TYuvPicture none;
    EXPECT_FALSE(none.FromYuyv(nullptr, 8, 4, 4));
    EXPECT_THROW(EncodeJpeg(none, 80), EJPEG);
}

// Band by band gives the bytes of the whole picture: odd height, tint,
// a caption across a band edge.
TEST(YuvPicture, BandsEncodeLikeTheWholePicture)
{
    constexpr int W = 40, H = 37, Stride = W * 2;
    std::vector<uint8_t> frame(Stride * H);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7 + i / Stride * 13);
    TBitmap caption(9, 11);
    caption.Fill(250, 20, 90);
    TYuvPicture whole;
    ASSERT_TRUE(whole.FromYuyv(frame.data(), Stride, W, H));
    whole.TintOddRows(55, 45, 20);
    whole.Paste(ViewOf(caption), 5, 11);
    const auto bands = EncodeJpeg(W, H, [&](int Top, TYuvPicture& Band) {
        Band.FromYuyv(frame.data() + Top * Stride, Stride, W, std::min(JpegBandRows, H - Top));
        Band.TintOddRows(55, 45, 20);
        Band.Paste(ViewOf(caption), 5, 11 - Top);
        return true;
    }, 80);
    EXPECT_EQ(bands, EncodeJpeg(whole, 80));
    EXPECT_THROW(EncodeJpeg(W, H, [](int, TYuvPicture&) { return false; }, 80), EJPEG);
}
