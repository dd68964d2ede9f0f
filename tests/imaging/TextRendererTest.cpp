#include <gtest/gtest.h>

#include "imaging/TextRenderer.h"

namespace {

constexpr TRGBColor White{255, 255, 255};
constexpr TRGBColor Black{0, 0, 0};

struct TDrawn {
    TBitmap Picture;
    TTextExtent Extent;
    int X, Y;
};

// Draws Text white on black at (X, Y) into a grey picture.
TDrawn Draw(TTextRenderer& r, const std::string& Text, int W = 200, int H = 40, int X = 10, int Y = 10)
{
    TDrawn d{TBitmap(W, H), r.TextExtent(Text), X, Y};
    d.Picture.Fill(128, 128, 128);
    r.TextOut(d.Picture, X, Y, Text, White, Black);
    return d;
}

bool Inside(const TDrawn& d, int x, int y)
{
    return x >= d.X && x < d.X + d.Extent.Width && y >= d.Y && y < d.Y + d.Extent.Height;
}

TEST(TextRenderer, NinePointTextHasASensibleExtent)
{
    TTextRenderer r(9, 96);
    const TTextExtent e = r.TextExtent("2026/12/08 04:27:33");
    EXPECT_GT(e.Width, 60);
    EXPECT_LT(e.Width, 200);
    EXPECT_GE(e.Height, 11);  // 12-pixel em
    EXPECT_LE(e.Height, 20);
    EXPECT_EQ(r.TextExtent("").Width, 0);
    EXPECT_EQ(r.TextExtent("").Height, e.Height);
    EXPECT_LT(r.TextExtent("ab").Width, r.TextExtent("abab").Width);
}

TEST(TextRenderer, WhiteTextOnAnOpaqueBlackBox)
{
    TTextRenderer r;
    const TDrawn d = Draw(r, "Hello 123");
    int white = 0, grey = 0;
    for (int y = 0; y < d.Picture.Height(); ++y)
        for (int x = 0; x < d.Picture.Width(); ++x) {
            const uint8_t* p = d.Picture.ScanLine(y) + x * 3;
            if (!Inside(d, x, y)) {
                ASSERT_TRUE(p[0] == 128 && p[1] == 128 && p[2] == 128) << "outside at " << x << "," << y;
            } else {
                ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << "colour at " << x << "," << y;
                ASSERT_NE(p[0], 128);  // the box covers the grey
                white += p[0] > 200;
                grey += p[0] > 0;
            }
        }
    EXPECT_GT(white, 30);
    EXPECT_LT(grey, d.Extent.Width * d.Extent.Height / 2);
}

TEST(TextRenderer, JapaneseCharactersGetRealGlyphs)
{
    TTextRenderer r;
    const std::string ka = "カ", ki = "キ";
    const TTextExtent e = r.TextExtent("カメラ");
    EXPECT_GE(e.Width, 3 * 8);
    const TDrawn a = Draw(r, ka), b = Draw(r, ki);
    int lit = 0, differ = 0;
    for (size_t i = 0; i < a.Picture.ByteSize(); ++i) {
        lit += a.Picture.Data()[i] > 200;
        differ += a.Picture.Data()[i] != b.Picture.Data()[i];
    }
    EXPECT_GT(lit, 10);
    EXPECT_GT(differ, 10) << "both drawn as the same missing-glyph box";
}

TEST(TextRenderer, TextIsClippedAtTheEdges)
{
    TTextRenderer r;
    const std::string text = "a caption much wider than the picture";
    const TDrawn d = Draw(r, text, 40, 10, 40 - r.TextExtent(text).Width - 3, 3);
    EXPECT_LT(d.X, 0);
    // The box reaches the bottom-right corner region and the left edge.
    EXPECT_NE(d.Picture.ScanLine(4)[0], 128);
    EXPECT_EQ(d.Picture.ScanLine(2)[0], 128);
    EXPECT_NE(d.Picture.ScanLine(5)[36 * 3], 128);
    EXPECT_EQ(d.Picture.ScanLine(5)[37 * 3], 128);
    // Invalid UTF-8 is drawn, not fatal.
    EXPECT_GT(r.TextExtent("\xff\xfe").Width, 0);
}

} // namespace
