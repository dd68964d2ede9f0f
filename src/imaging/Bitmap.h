// A 24-bit RGB picture in memory: rows top-down, 3 bytes a pixel (R, G, B),
// no row padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TBitmap {
public:
    TBitmap() = default;
    TBitmap(int AWidth, int AHeight) { SetSize(AWidth, AHeight); }

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    bool Empty() const { return FWidth <= 0 || FHeight <= 0; }
    void SetSize(int AWidth, int AHeight)
    {
        FWidth = AWidth > 0 ? AWidth : 0;
        FHeight = AHeight > 0 ? AHeight : 0;
        FPixels.assign(static_cast<size_t>(FWidth) * FHeight * 3, 0);
    }

    uint8_t* ScanLine(int Y) { return FPixels.data() + static_cast<size_t>(Y) * FWidth * 3; }
    const uint8_t* ScanLine(int Y) const { return FPixels.data() + static_cast<size_t>(Y) * FWidth * 3; }
    uint8_t* Data() { return FPixels.data(); }
    const uint8_t* Data() const { return FPixels.data(); }
    size_t ByteSize() const { return FPixels.size(); }

    // Drawing; every rectangle is clipped to both bitmaps.
    // Fills a rectangle with one colour.
    void FillRect(int X, int Y, int W, int H, uint8_t R, uint8_t G, uint8_t B);
    void Fill(uint8_t R, uint8_t G, uint8_t B) { FillRect(0, 0, FWidth, FHeight, R, G, B); }
    // Copies W x H pixels from (SX, SY) of Source to (DX, DY).
    void CopyRect(int DX, int DY, const TBitmap& Source, int SX, int SY, int W, int H);
    // Stretches Source's (SX, SY, SW, SH) over (DX, DY, DW, DH), nearest pixel.
    void StretchRect(int DX, int DY, int DW, int DH,
                     const TBitmap& Source, int SX, int SY, int SW, int SH);

private:
    int FWidth = 0;
    int FHeight = 0;
    std::vector<uint8_t> FPixels;
};
