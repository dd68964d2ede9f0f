#include "imaging/Bitmap.h"

#include <algorithm>
#include <cstring>

void TBitmap::FillRect(int X, int Y, int W, int H, uint8_t R, uint8_t G, uint8_t B)
{
    const int x0 = std::max(X, 0), y0 = std::max(Y, 0);
    const int x1 = static_cast<int>(std::min<int64_t>(int64_t(X) + W, FWidth));
    const int y1 = static_cast<int>(std::min<int64_t>(int64_t(Y) + H, FHeight));
    for (int y = y0; y < y1; ++y) {
        uint8_t* p = ScanLine(y) + x0 * 3;
        for (int x = x0; x < x1; ++x, p += 3) {
            p[0] = R;
            p[1] = G;
            p[2] = B;
        }
    }
}

void TBitmap::CopyRect(int DX, int DY, const TBitmap& Source, int SX, int SY, int W, int H)
{
    // Clip the source rectangle, then the destination, moving both together.
    int64_t dx = DX, dy = DY, sx = SX, sy = SY, w = W, h = H;
    auto clipLow = [](int64_t& a, int64_t& b, int64_t& len) {
        const int64_t cut = std::max<int64_t>({0, -a, -b});
        a += cut;
        b += cut;
        len -= cut;
    };
    clipLow(sx, dx, w);
    clipLow(sy, dy, h);
    w = std::min({w, int64_t(Source.FWidth) - sx, int64_t(FWidth) - dx});
    h = std::min({h, int64_t(Source.FHeight) - sy, int64_t(FHeight) - dy});
    if (w <= 0 || h <= 0)
        return;
    const size_t bytes = static_cast<size_t>(w) * 3;
    if (&Source == this && dy > sy) {
        for (int64_t row = h - 1; row >= 0; --row)
            std::memmove(ScanLine(int(dy + row)) + dx * 3, Source.ScanLine(int(sy + row)) + sx * 3, bytes);
    } else {
        for (int64_t row = 0; row < h; ++row)
            std::memmove(ScanLine(int(dy + row)) + dx * 3, Source.ScanLine(int(sy + row)) + sx * 3, bytes);
    }
}

void TBitmap::StretchRect(int DX, int DY, int DW, int DH,
                          const TBitmap& Source, int SX, int SY, int SW, int SH)
{
    if (DW <= 0 || DH <= 0 || SW <= 0 || SH <= 0)
        return;
    if (&Source == this) {
        const TBitmap copy = Source;
        StretchRect(DX, DY, DW, DH, copy, SX, SY, SW, SH);
        return;
    }
    const int x0 = std::max(DX, 0), y0 = std::max(DY, 0);
    const int x1 = static_cast<int>(std::min<int64_t>(int64_t(DX) + DW, FWidth));
    const int y1 = static_cast<int>(std::min<int64_t>(int64_t(DY) + DH, FHeight));
    for (int y = y0; y < y1; ++y) {
        const int64_t srcY = SY + (int64_t(y - DY) * SH) / DH;
        if (srcY < 0 || srcY >= Source.FHeight)
            continue;
        const uint8_t* src = Source.ScanLine(static_cast<int>(srcY));
        uint8_t* dst = ScanLine(y);
        for (int x = x0; x < x1; ++x) {
            const int64_t srcX = SX + (int64_t(x - DX) * SW) / DW;
            if (srcX < 0 || srcX >= Source.FWidth)
                continue;
            std::memcpy(dst + x * 3, src + srcX * 3, 3);
        }
    }
}
