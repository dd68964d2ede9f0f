#include "imaging/PixelView.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORRELANE_SSSE3 1
#endif

TPixelView ViewOf(TBitmap& Bitmap)
{
    TPixelView v;
    v.Top = Bitmap.Data();
    v.Stride = static_cast<ptrdiff_t>(Bitmap.Width()) * 3;
    v.Width = Bitmap.Width();
    v.Height = Bitmap.Height();
    return v;
}

TPixelView ViewOf(const TBitmap& Bitmap)
{
    return ViewOf(const_cast<TBitmap&>(Bitmap));
}

void FillRect(const TPixelView& View, int X, int Y, int W, int H, uint8_t R, uint8_t G, uint8_t B)
{
    const int x0 = std::max(X, 0), y0 = std::max(Y, 0);
    const int x1 = static_cast<int>(std::min<int64_t>(int64_t(X) + W, View.Width));
    const int y1 = static_cast<int>(std::min<int64_t>(int64_t(Y) + H, View.Height));
    uint8_t pixel[3];
    pixel[View.RedOffset()] = R;
    pixel[1] = G;
    pixel[View.BlueOffset()] = B;
    for (int y = y0; y < y1; ++y) {
        uint8_t* p = View.ScanLine(y) + x0 * 3;
        for (int x = x0; x < x1; ++x, p += 3) {
            p[0] = pixel[0];
            p[1] = pixel[1];
            p[2] = pixel[2];
        }
    }
}

namespace {

void SwapRedBlueScalar(const uint8_t* Src, uint8_t* Dst, int Width)
{
    for (int x = 0; x < Width; ++x, Src += 3, Dst += 3) {
        const uint8_t r = Src[0];
        Dst[0] = Src[2];
        Dst[1] = Src[1];
        Dst[2] = r;
    }
}

#ifdef QUORRELANE_SSSE3
// Four pixels a step through 16-byte loads and stores; the last four bytes
// of each store are the next pixel's bytes unchanged, so every step stays
// inside the row as long as six pixels are left.
__attribute__((target("ssse3"))) void SwapRedBlueSsse3(const uint8_t* Src, uint8_t* Dst, int Width)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
    int x = 0;
    for (; x + 6 <= Width; x += 4, Src += 12, Dst += 12) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Dst), _mm_shuffle_epi8(v, order));
    }
    SwapRedBlueScalar(Src, Dst, Width - x);
}

bool HaveSsse3()
{
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
#endif

} // namespace

void SwapRedBlue(const uint8_t* Src, uint8_t* Dst, int Width)
{
#ifdef QUORRELANE_SSSE3
    if (HaveSsse3()) {
        SwapRedBlueSsse3(Src, Dst, Width);
        return;
    }
#endif
    SwapRedBlueScalar(Src, Dst, Width);
}
