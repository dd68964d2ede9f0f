#include "imaging/BmpFile.h"

#include <cstring>

namespace {

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr int64_t MaxDimension = 32768;

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

[[noreturn]] void Invalid(const char* Why)
{
    throw EInvalidGraphic(std::string("Bitmap image is not valid: ") + Why);
}

// Shift and width of a contiguous bit-field mask.
struct TField {
    int Shift = 0;
    int Bits = 0;
};

TField FieldOf(uint32_t Mask)
{
    TField f;
    if (Mask == 0)
        return f;
    while (!(Mask & 1)) {
        Mask >>= 1;
        ++f.Shift;
    }
    while (Mask & 1) {
        Mask >>= 1;
        ++f.Bits;
    }
    if (Mask != 0)
        Invalid("colour mask is not contiguous");
    return f;
}

uint8_t Extract(uint32_t Pixel, TField F)
{
    if (F.Bits == 0)
        return 0;
    uint32_t v = (Pixel >> F.Shift) & ((F.Bits >= 32) ? 0xFFFFFFFFu : ((1u << F.Bits) - 1));
    if (F.Bits >= 8)
        return static_cast<uint8_t>(v >> (F.Bits - 8));
    return static_cast<uint8_t>((v * 255 + ((1u << F.Bits) - 1) / 2) / ((1u << F.Bits) - 1));
}

} // namespace

std::vector<uint8_t> EncodeBitmapFile(const TBitmap& Bitmap)
{
    const int w = Bitmap.Width();
    const int h = Bitmap.Height();
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t(3);
    const size_t imageSize = stride * h;
    const size_t offset = BmpFileHeaderSize + BmpInfoHeaderSize;
    std::vector<uint8_t> out(offset + imageSize, 0);

    uint8_t* p = out.data();
    p[0] = 'B';
    p[1] = 'M';
    Put32(p + 2, static_cast<uint32_t>(out.size()));
    Put32(p + 10, static_cast<uint32_t>(offset));
    p += BmpFileHeaderSize;
    Put32(p + 0, BmpInfoHeaderSize);
    Put32(p + 4, static_cast<uint32_t>(w));
    Put32(p + 8, static_cast<uint32_t>(h));
    Put16(p + 12, 1);
    Put16(p + 14, 24);
    Put32(p + 16, BI_RGB);
    Put32(p + 20, static_cast<uint32_t>(imageSize));

    uint8_t* pixels = out.data() + offset;
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = Bitmap.ScanLine(h - 1 - y);
        uint8_t* dst = pixels + stride * y;
        for (int x = 0; x < w; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    return out;
}

TBitmap DecodeBitmapFile(const uint8_t* Data, size_t Size)
{
    if (Size < BmpFileHeaderSize + BmpInfoHeaderSize)
        Invalid("file too short");
    if (Data[0] != 'B' || Data[1] != 'M')
        Invalid("no bitmap file signature");
    const uint32_t offBits = Get32(Data + 10);
    const uint8_t* info = Data + BmpFileHeaderSize;
    const uint32_t infoSize = Get32(info);
    if (infoSize < BmpInfoHeaderSize || infoSize > Size - BmpFileHeaderSize)
        Invalid("unsupported header");
    const int32_t width = static_cast<int32_t>(Get32(info + 4));
    const int32_t rawHeight = static_cast<int32_t>(Get32(info + 8));
    const uint16_t planes = Get16(info + 12);
    const uint16_t bitCount = Get16(info + 14);
    const uint32_t compression = Get32(info + 16);

    const bool topDown = rawHeight < 0;
    const int64_t height = topDown ? -int64_t(rawHeight) : int64_t(rawHeight);
    if (width <= 0 || height == 0 || width > MaxDimension || height > MaxDimension)
        Invalid("bad dimensions");
    if (planes != 1)
        Invalid("bad plane count");
    if (bitCount != 24 && bitCount != 32)
        Invalid("unsupported pixel format");

    TField red{16, 8}, green{8, 8}, blue{0, 8};
    if (compression == BI_BITFIELDS) {
        if (bitCount != 32)
            Invalid("bit fields need 32 bits a pixel");
        // The masks follow a 40-byte header, or sit inside a larger one.
        const size_t maskAt = BmpFileHeaderSize + BmpInfoHeaderSize;
        if (Size < maskAt + 12)
            Invalid("file too short");
        red = FieldOf(Get32(Data + maskAt));
        green = FieldOf(Get32(Data + maskAt + 4));
        blue = FieldOf(Get32(Data + maskAt + 8));
    } else if (compression != BI_RGB) {
        Invalid("compressed bitmaps are not supported");
    }

    const uint64_t stride = (uint64_t(width) * (bitCount / 8) + 3) & ~uint64_t(3);
    // The last row needs only its pixels, not its padding.
    const uint64_t needed = stride * uint64_t(height - 1) + uint64_t(width) * (bitCount / 8);
    if (offBits < BmpFileHeaderSize + infoSize || offBits > Size || Size - offBits < needed)
        Invalid("pixel data truncated");

    TBitmap bitmap(width, static_cast<int>(height));
    const uint8_t* pixels = Data + offBits;
    for (int64_t row = 0; row < height; ++row) {
        const uint8_t* src = pixels + stride * row;
        uint8_t* dst = bitmap.ScanLine(static_cast<int>(topDown ? row : height - 1 - row));
        if (bitCount == 24) {
            for (int x = 0; x < width; ++x, src += 3, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        } else {
            for (int x = 0; x < width; ++x, src += 4, dst += 3) {
                const uint32_t px = Get32(src);
                dst[0] = Extract(px, red);
                dst[1] = Extract(px, green);
                dst[2] = Extract(px, blue);
            }
        }
    }
    return bitmap;
}

void SaveBitmapFile(const TBitmap& Bitmap, const std::string& FileName)
{
    const std::vector<uint8_t> image = EncodeBitmapFile(Bitmap);
    WriteFileAtomic(FileName, image.data(), image.size());
}

TBitmap LoadBitmapFile(const std::string& FileName)
{
    const std::vector<uint8_t> data = ReadWholeFile(FileName);
    try {
        return DecodeBitmapFile(data.data(), data.size());
    } catch (const EInvalidGraphic& e) {
        throw EInvalidGraphic(std::string(e.what()) + " (\"" + FileName + "\")");
    }
}
