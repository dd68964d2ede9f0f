// Device-independent bitmap files: BITMAPFILEHEADER (14 bytes) followed by
// BITMAPINFOHEADER (40 bytes) and the pixel rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/AtomicFile.h"

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
