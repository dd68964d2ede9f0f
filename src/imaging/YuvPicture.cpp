#include "imaging/YuvPicture.h"

#include <libyuv/convert.h>

#include <algorithm>
#include <cmath>

namespace {

uint8_t Clamp(double V) { return static_cast<uint8_t>(std::clamp(std::lround(V), 0L, 255L)); }

// JFIF's conversion (BT.601, full range).
double Luma(double R, double G, double B) { return 0.299 * R + 0.587 * G + 0.114 * B; }
double BlueDiff(double R, double G, double B) { return -0.168736 * R - 0.331264 * G + 0.5 * B; }
double RedDiff(double R, double G, double B) { return 0.5 * R - 0.418688 * G - 0.081312 * B; }

void AddToRow(uint8_t* Row, int Count, const uint8_t (&Table)[256])
{
    for (int i = 0; i < Count; ++i)
        Row[i] = Table[Row[i]];
}

void MakeTable(uint8_t (&Table)[256], double Offset)
{
    for (int v = 0; v < 256; ++v)
        Table[v] = Clamp(v + Offset);
}

} // namespace

void TYuvPicture::SetSize(int Width, int Height)
{
    if (Width == FWidth && Height == FHeight)
        return;
    FWidth = std::max(Width, 0);
    FHeight = std::max(Height, 0);
    // Whole 16-pixel blocks of Y and 8-pixel blocks of chroma per row.
    FYStride = (FWidth + 15) / 16 * 16;
    FCStride = (ChromaWidth() + 7) / 8 * 8;
    FY.assign(static_cast<size_t>(FYStride) * FHeight, 0);
    FCb.assign(static_cast<size_t>(FCStride) * ChromaHeight(), 128);
    FCr.assign(static_cast<size_t>(FCStride) * ChromaHeight(), 128);
}

bool TYuvPicture::FromYuyv(const uint8_t* Source, int Stride, int Width, int Height)
{
    if (!Source || Width <= 0 || Height <= 0 || Stride < Width * 2)
        return false;
    SetSize(Width, Height);
    return libyuv::YUY2ToI420(Source, Stride, FY.data(), FYStride, FCb.data(), FCStride, FCr.data(), FCStride, Width,
                              Height) == 0;
}

void TYuvPicture::TintOddRows(int32_t R, int32_t G, int32_t B)
{
    uint8_t y[256], cb[256], cr[256];
    MakeTable(y, Luma(R, G, B));
    MakeTable(cb, BlueDiff(R, G, B) / 2);
    MakeTable(cr, RedDiff(R, G, B) / 2);
    for (int row = 1; row < FHeight; row += 2) {
        AddToRow(Y(row), FWidth, y);
        AddToRow(Cb(row / 2), ChromaWidth(), cb);
        AddToRow(Cr(row / 2), ChromaWidth(), cr);
    }
}

void TYuvPicture::Paste(const TPixelView& Pixels, int X, int Y0)
{
    const int x0 = std::max(X, 0), x1 = std::min(X + Pixels.Width, FWidth);
    const int y0 = std::max(Y0, 0), y1 = std::min(Y0 + Pixels.Height, FHeight);
    if (x0 >= x1 || y0 >= y1)
        return;
    const int r = Pixels.RedOffset(), b = Pixels.BlueOffset();
    auto pixel = [&](int x, int y) { return Pixels.ScanLine(y - Y0) + (x - X) * 3; };
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const uint8_t* p = pixel(x, y);
            Y(y)[x] = Clamp(Luma(p[r], p[1], p[b]));
        }
    // Each chroma sample from the pasted pixels it covers.
    for (int cy = y0 / 2; cy <= (y1 - 1) / 2; ++cy)
        for (int cx = x0 / 2; cx <= (x1 - 1) / 2; ++cx) {
            double sr = 0, sg = 0, sb = 0;
            int n = 0;
            for (int y = std::max(cy * 2, y0); y < std::min(cy * 2 + 2, y1); ++y)
                for (int x = std::max(cx * 2, x0); x < std::min(cx * 2 + 2, x1); ++x, ++n) {
                    const uint8_t* p = pixel(x, y);
                    sr += p[r];
                    sg += p[1];
                    sb += p[b];
                }
            Cb(cy)[cx] = Clamp(128 + BlueDiff(sr, sg, sb) / n);
            Cr(cy)[cx] = Clamp(128 + RedDiff(sr, sg, sb) / n);
        }
}
