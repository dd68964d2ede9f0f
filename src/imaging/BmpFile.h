// Device-independent bitmap files: BITMAPFILEHEADER (14 bytes) followed by
// BITMAPINFOHEADER (40 bytes) and the pixel rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/AtomicFile.h"
#include "imaging/PixelView.h"

// The bytes of a bitmap file are not a picture this reader understands.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

constexpr size_t BmpFileHeaderSize = 14;
constexpr size_t BmpInfoHeaderSize = 40;

// The file image of Bitmap: 24 bits a pixel, BGR, rows bottom-up, each row
// padded to a multiple of 4 bytes.
std::vector<uint8_t> EncodeBitmapFile(const TBitmap& Bitmap);

// Reads a bitmap file image: 24 or 32 bits a pixel (uncompressed or with
// bit fields), bottom-up or top-down. EInvalidGraphic on anything else or
// on data that does not fit its own headers.
TBitmap DecodeBitmapFile(const uint8_t* Data, size_t Size);

// Writes Bitmap to FileName through a temporary name (EFCreateError).
void SaveBitmapFile(const TBitmap& Bitmap, const std::string& FileName);

// Loads FileName (EFOpenError when it cannot be read, EInvalidGraphic when
// it is no bitmap file).
TBitmap LoadBitmapFile(const std::string& FileName);

// A bitmap file held as its bytes, for a caller that works on the pixels
// where they lie and loads one file after another into the same memory.
class TBitmapFileImage {
public:
    // The picture: a 24-bit file's own rows (B, G, R, bottom-up unless the
    // file is top-down); other files converted to an R, G, B bitmap.
    const TPixelView& View() const { return FView; }
    // The memory held, and giving it back.
    size_t Capacity() const { return FFile.capacity() + FConverted.ByteSize(); }
    void Release();

private:
    friend void LoadBitmapFile(const std::string& FileName, TBitmapFileImage& Image);
    std::vector<uint8_t> FFile;
    TBitmap FConverted;
    TPixelView FView;
};

// Reads FileName with one read into Image, reusing its memory; errors as
// LoadBitmapFile above, after which Image's view is empty.
void LoadBitmapFile(const std::string& FileName, TBitmapFileImage& Image);
