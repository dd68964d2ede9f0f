// A picture as a JPEG file keeps it: full-range Y at full size, Cb and Cr
// at half the size each way (4:2:0). A camera's YUYV frame becomes one
// without a trip through RGB, and is encoded from it directly.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/PixelView.h"

class TYuvPicture {
public:
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Plane rows; the strides leave room for the encoder's whole blocks.
    uint8_t* Y(int Row) { return FY.data() + static_cast<size_t>(Row) * FYStride; }
    uint8_t* Cb(int Row) { return FCb.data() + static_cast<size_t>(Row) * FCStride; }
    uint8_t* Cr(int Row) { return FCr.data() + static_cast<size_t>(Row) * FCStride; }
    const uint8_t* Y(int Row) const { return FY.data() + static_cast<size_t>(Row) * FYStride; }
    const uint8_t* Cb(int Row) const { return FCb.data() + static_cast<size_t>(Row) * FCStride; }
    const uint8_t* Cr(int Row) const { return FCr.data() + static_cast<size_t>(Row) * FCStride; }
    int ChromaWidth() const { return (FWidth + 1) / 2; }
    int ChromaHeight() const { return (FHeight + 1) / 2; }

    void SetSize(int Width, int Height);
    // Takes Width x Height pixels of YUYV (Y0 Cb Y1 Cr) rows Stride bytes
    // apart; false when the sizes make no picture.
    bool FromYuyv(const uint8_t* Source, int Stride, int Width, int Height);
    // The camera effect: the RGB offsets added to every odd row, as far as
    // 4:2:0 can hold it (each chroma sample covers an odd and an even row,
    // so it takes half the chroma change).
    void TintOddRows(int32_t R, int32_t G, int32_t B);
    // Puts RGB Pixels over the picture with their top-left corner at X, Y,
    // clipped to the picture.
    void Paste(const TPixelView& Pixels, int X, int Y);

private:
    int FWidth = 0, FHeight = 0;
    int FYStride = 0, FCStride = 0;
    std::vector<uint8_t> FY, FCb, FCr;
};
