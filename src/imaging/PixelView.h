// A window onto 24-bit pixel rows held elsewhere (a TBitmap, or a bitmap
// file's rows as they lie in memory), and the row operations the picture
// code shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/Bitmap.h"

struct TPixelView {
    uint8_t* Top = nullptr;  // the first byte of the picture's top row
    ptrdiff_t Stride = 0;    // bytes from one row to the next one down; negative for bottom-up rows
    int Width = 0;
    int Height = 0;
    bool Bgr = false;        // byte order of a pixel: B, G, R instead of R, G, B

    uint8_t* ScanLine(int Y) const { return Top + Y * Stride; }
    // The byte offsets of red and blue within a pixel.
    int RedOffset() const { return Bgr ? 2 : 0; }
    int BlueOffset() const { return Bgr ? 0 : 2; }
};

// The whole of Bitmap (R, G, B, top-down).
TPixelView ViewOf(TBitmap& Bitmap);
// The same for a caller that only reads through the view.
TPixelView ViewOf(const TBitmap& Bitmap);

// Fills a rectangle with one colour, clipped to View.
void FillRect(const TPixelView& View, int X, int Y, int W, int H, uint8_t R, uint8_t G, uint8_t B);

// Copies Width pixels from Src to Dst with the first and third byte of each
// pixel exchanged (RGB <-> BGR). Src and Dst are the same or do not overlap.
void SwapRedBlue(const uint8_t* Src, uint8_t* Dst, int Width);
