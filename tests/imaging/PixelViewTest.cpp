#include <cstring>

#include <gtest/gtest.h>

#include "imaging/BmpFile.h"
#include "imaging/ImagingTestSupport.h"
#include "imaging/JpegWriter.h"
#include "imaging/PixelView.h"
#include "imaging/TextRenderer.h"

namespace {

// Pic's rows as a bitmap file lays them out: B, G, R, bottom-up, padded.
struct TFileRows {
    std::vector<uint8_t> Bytes;
    TPixelView View;
    explicit TFileRows(const TBitmap& Pic)
    {
        const size_t stride = (size_t(Pic.Width()) * 3 + 3) & ~size_t(3);
        Bytes.assign(stride * Pic.Height(), 0xEE);
        for (int y = 0; y < Pic.Height(); ++y) {
            uint8_t* row = Bytes.data() + stride * (Pic.Height() - 1 - y);
            for (int x = 0; x < Pic.Width(); ++x) {
                row[3 * x] = Pic.ScanLine(y)[3 * x + 2];
                row[3 * x + 1] = Pic.ScanLine(y)[3 * x + 1];
                row[3 * x + 2] = Pic.ScanLine(y)[3 * x];
            }
        }
        View.Top = Bytes.data() + stride * (Pic.Height() - 1);
        View.Stride = -ptrdiff_t(stride);
        View.Width = Pic.Width();
        View.Height = Pic.Height();
        View.Bgr = true;
    }
    // Back to R, G, B top-down.
    TBitmap Picture() const
    {
        TBitmap b(View.Width, View.Height);
        for (int y = 0; y < View.Height; ++y)
            for (int x = 0; x < View.Width; ++x)
                for (int c = 0; c < 3; ++c)
                    b.ScanLine(y)[3 * x + c] = View.ScanLine(y)[3 * x + 2 - c];
        return b;
    }
};

bool SamePixels(const TBitmap& a, const TBitmap& b)
{
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.Data(), b.Data(), a.ByteSize()) == 0;
}

TEST(PixelView, SwapRedBlueAtEveryWidthInPlaceAndIntoAnotherRow)
{
    for (int w = 0; w <= 40; ++w) {
        const TBitmap pic = TestPicture(w > 0 ? w : 1, 1);
        std::vector<uint8_t> src(pic.Data(), pic.Data() + size_t(w) * 3);
        src.push_back(0xA5);  // must survive: the row ends before it
        std::vector<uint8_t> out(src.size(), 0xA5), inPlace = src;
        SwapRedBlue(src.data(), out.data(), w);
        SwapRedBlue(inPlace.data(), inPlace.data(), w);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(out[3 * x + c], src[3 * x + 2 - c]) << "width " << w << " pixel " << x;
        EXPECT_EQ(out.back(), 0xA5) << "width " << w;
        EXPECT_EQ(inPlace, out) << "width " << w;
    }
}

TEST(PixelView, FillAndTextKeepTheByteOrderAndRowOrderOfTheView)
{
    const TBitmap pic = TestPicture(61, 23);
    TBitmap rgb = pic;
    TFileRows bgr(pic);
    FillRect(ViewOf(rgb), -4, 18, 20, 10, 200, 10, 30);
    FillRect(bgr.View, -4, 18, 20, 10, 200, 10, 30);
    EXPECT_EQ(rgb.ScanLine(22)[0], 200);
    EXPECT_EQ(rgb.ScanLine(17)[0], pic.ScanLine(17)[0]);
    EXPECT_TRUE(SamePixels(bgr.Picture(), rgb));

    // Coloured text, clipped at the bottom and left, over the picture.
    TTextRenderer font(9, 96);
    font.TextOut(rgb, -3, 12, "Quorrelane", TRGBColor{255, 40, 0}, TRGBColor{0, 0, 90}, true);
    font.TextOut(bgr.View, -3, 12, "Quorrelane", TRGBColor{255, 40, 0}, TRGBColor{0, 0, 90}, true);
    EXPECT_TRUE(SamePixels(bgr.Picture(), rgb));
    EXPECT_EQ(bgr.Bytes[3 * 61], 0xEE) << "row padding untouched";
}

TEST(PixelView, JpegOfFileRowsIsByteForByteTheJpegOfThePicture)
{
    for (auto [w, h] : {std::pair{97, 61}, std::pair{640, 480}, std::pair{1, 1}}) {
        const TBitmap pic = TestPicture(w, h);
        const TFileRows rows(pic);
        const std::vector<uint8_t> fromRows = EncodeJpeg(rows.View, 80);
        EXPECT_EQ(fromRows, EncodeJpeg(pic, 80)) << w << "x" << h;
        const TDecodedJpeg j = DecodeJpeg(fromRows);
        ASSERT_TRUE(j.Ok) << j.Error;
        EXPECT_EQ(j.Picture.Width(), w);
        // Top row stays on top: its red rises from left to right.
        if (w > 8) {
            EXPECT_LT(j.Picture.ScanLine(0)[0], j.Picture.ScanLine(0)[3 * (w - 1)]);
        }
    }
}

TEST(PixelView, FileImagesGiveTheLoadersPixelsAndReuseTheirMemory)
{
    TTempDir dir;
    TBitmapFileImage image;
    // Larger, then smaller and oddly padded, then top-down, then 32-bit.
    for (auto [w, h] : {std::pair{320, 240}, std::pair{7, 5}, std::pair{64, 3}}) {
        SaveBitmapFile(TestPicture(w, h), dir / "f.bmp");
        // Written from uncleared memory: every byte, padding too, as encoded.
        EXPECT_EQ(ReadFileBytes(dir / "f.bmp"), EncodeBitmapFile(TestPicture(w, h))) << w << "x" << h;
        LoadBitmapFile(dir / "f.bmp", image);
        EXPECT_TRUE(image.View().Bgr);
        EXPECT_LT(image.View().Stride, 0);
        TBitmap seen(w, h);
        for (int y = 0; y < h; ++y)
            SwapRedBlue(image.View().ScanLine(y), seen.ScanLine(y), w);
        EXPECT_TRUE(SamePixels(seen, TestPicture(w, h))) << w << "x" << h;
    }
    std::vector<uint8_t> topDown = EncodeBitmapFile(TestPicture(9, 4));
    topDown[22] = 0xFC, topDown[23] = topDown[24] = topDown[25] = 0xFF;  // height -4
    WriteFileBytes(dir / "td.bmp", topDown);
    LoadBitmapFile(dir / "td.bmp", image);
    EXPECT_GT(image.View().Stride, 0);
    EXPECT_EQ(std::memcmp(image.View().ScanLine(0), topDown.data() + 54, 27), 0);

    const TBitmap wide = TestPicture(30, 20);
    const std::vector<uint8_t> file24 = EncodeBitmapFile(wide);
    std::vector<uint8_t> file32(54 + 30 * 4 * 20, 0);
    std::memcpy(file32.data(), file24.data(), 54);
    file32[28] = 32;
    for (int i = 0; i < 30 * 20; ++i)
        std::memcpy(file32.data() + 54 + 4 * i, file24.data() + 54 + (i / 30) * 92 + (i % 30) * 3, 3);
    WriteFileBytes(dir / "32.bmp", file32);
    LoadBitmapFile(dir / "32.bmp", image);
    EXPECT_FALSE(image.View().Bgr);
    EXPECT_EQ(std::memcmp(image.View().ScanLine(19), wide.ScanLine(19), 90), 0);

    // Failures leave no picture behind.
    WriteFileBytes(dir / "bad.bmp", {'B', 'M', 0, 0});
    EXPECT_THROW(LoadBitmapFile(dir / "bad.bmp", image), EInvalidGraphic);
    EXPECT_EQ(image.View().Width, 0);
    EXPECT_THROW(LoadBitmapFile(dir / "none.bmp", image), EFOpenError);
    EXPECT_EQ(image.View().Top, nullptr);
    image.Release();
    EXPECT_EQ(image.Capacity(), 0u);
}

} // namespace
