#include <gtest/gtest.h>

#include "imaging/Bitmap.h"

namespace {

int Red(const TBitmap& b, int x, int y) { return b.ScanLine(y)[x * 3]; }

// A source whose red value is 10 * x + y, green 7.
TBitmap Numbered(int W, int H)
{
    TBitmap b(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t* p = b.ScanLine(y) + x * 3;
            p[0] = uint8_t(10 * x + y);
            p[1] = 7;
            p[2] = 0;
        }
    return b;
}

TEST(Bitmap, FillIsClippedToTheBitmap)
{
    TBitmap b(4, 3);
    b.FillRect(-2, 1, 4, 10, 200, 100, 50);  // covers x 0..1, y 1..2
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(Red(b, x, y), (x < 2 && y >= 1) ? 200 : 0) << x << "," << y;
    EXPECT_EQ(b.ScanLine(2)[1], 100);
    EXPECT_EQ(b.ScanLine(2)[2], 50);
    b.FillRect(1, 1, -5, 2, 1, 1, 1);  // empty
    b.FillRect(1000, 0, 5, 5, 1, 1, 1);
    EXPECT_EQ(Red(b, 1, 1), 200);
    b.Fill(255, 255, 255);
    EXPECT_EQ(Red(b, 3, 0), 255);
}

TEST(Bitmap, CopyClipsSourceAndDestinationTogether)
{
    const TBitmap src = Numbered(5, 5);
    TBitmap dst(4, 4);
    dst.CopyRect(-1, 2, src, 1, 0, 3, 3);  // src column 1 falls off the left
    EXPECT_EQ(Red(dst, 0, 2), 20);
    EXPECT_EQ(Red(dst, 1, 3), 31);
    EXPECT_EQ(Red(dst, 0, 1), 0);
    EXPECT_EQ(Red(dst, 2, 2), 0);

    TBitmap d2(4, 4);
    d2.CopyRect(0, 0, src, 3, 3, 4, 4);  // only 2x2 exists in the source
    EXPECT_EQ(Red(d2, 1, 1), 44);
    EXPECT_EQ(Red(d2, 2, 2), 0);
    d2.CopyRect(0, 0, src, -3, -3, 4, 4);
    EXPECT_EQ(Red(d2, 3, 3), 0 + 0);  // source (0,0)
    EXPECT_EQ(d2.ScanLine(3)[3 * 3 + 1], 7);
}

TEST(Bitmap, OverlappingCopyInsideOneBitmap)
{
    TBitmap b = Numbered(6, 6);
    b.CopyRect(0, 1, b, 0, 0, 6, 5);  // shift down one row
    for (int y = 1; y < 6; ++y)
        EXPECT_EQ(Red(b, 2, y), 20 + y - 1);
    b.CopyRect(1, 0, b, 0, 0, 5, 6);  // shift right one column
    EXPECT_EQ(Red(b, 5, 3), 42);
}

TEST(Bitmap, StretchRepeatsAThinColumnAndRow)
{
    const TBitmap src = Numbered(6, 4);
    TBitmap dst(20, 10);
    // A 2-pixel-wide column stretched over a wide band.
    dst.StretchRect(3, 0, 10, 4, src, 3, 0, 2, 4);
    for (int x = 3; x < 13; ++x)
        EXPECT_EQ(Red(dst, x, 2), x < 8 ? 32 : 42) << x;
    EXPECT_EQ(Red(dst, 2, 2), 0);
    EXPECT_EQ(Red(dst, 13, 2), 0);
    // One row stretched downwards, partly outside the destination.
    dst.StretchRect(0, 5, 6, 100, src, 0, 0, 6, 1);
    for (int y = 5; y < 10; ++y)
        EXPECT_EQ(Red(dst, 4, y), 40);
    // Shrinking picks source pixels.
    TBitmap small(3, 2);
    small.StretchRect(0, 0, 3, 2, src, 0, 0, 6, 4);
    EXPECT_EQ(Red(small, 1, 1), 22);
    // A source rectangle beyond the source leaves those pixels alone.
    small.StretchRect(0, 0, 3, 2, src, 4, 0, 6, 4);
    EXPECT_EQ(Red(small, 0, 0), 40);
    EXPECT_EQ(Red(small, 1, 0), 20);
}

} // namespace
