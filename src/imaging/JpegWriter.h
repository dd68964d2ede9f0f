// JPEG encoding through libjpeg: baseline JFIF, colour, libjpeg's default
// compression parameters apart from the quality.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/AtomicFile.h"
#include "imaging/PixelView.h"
#include "imaging/YuvPicture.h"

// libjpeg refused to encode.
class EJPEG : public Exception {
public:
    using Exception::Exception;
};

constexpr int JpegDefaultQuality = 90;

// The JPEG file image of Bitmap; Quality is clamped to 1..100.
std::vector<uint8_t> EncodeJpeg(const TBitmap& Bitmap, int Quality = JpegDefaultQuality);
// The same from pixels in either byte order and row order; the same pixels
// give the same bytes.
std::vector<uint8_t> EncodeJpeg(const TPixelView& Pixels, int Quality = JpegDefaultQuality);
// The same from 4:2:0 planes, without a colour conversion.
std::vector<uint8_t> EncodeJpeg(const TYuvPicture& Picture, int Quality = JpegDefaultQuality);
// Luma rows of a band of 4:2:0 planes, as the encoder takes them.
constexpr int JpegBandRows = 16;
// Makes Band the picture's rows from Top on (JpegBandRows of them, fewer
// at the bottom) without allocating; false when there is no picture.
using TYuvBandSource = std::function<bool(int Top, TYuvPicture& Band)>;
// The same for a Width x Height picture that Bands gives a band at a time,
// so only a band of it is ever held.
std::vector<uint8_t> EncodeJpeg(int Width, int Height, const TYuvBandSource& Bands, int Quality = JpegDefaultQuality);

// Encodes Bitmap and writes it to FileName through a temporary name
// (EJPEG, EFCreateError; FileName keeps its old contents on failure).
void SaveJpegFile(const TBitmap& Bitmap, const std::string& FileName,
                  int Quality = JpegDefaultQuality);
void SaveJpegFile(const TPixelView& Pixels, const std::string& FileName,
                  int Quality = JpegDefaultQuality);
// Gives row Y of the picture to encode: the view's own row, or Spare (a
// row's bytes) filled with a changed copy of it.
using TRowSource = std::function<const uint8_t*(int Y, uint8_t* Spare)>;
// The same with the rows Rows gives, the view's own rows left as they are.
void SaveJpegFile(const TPixelView& Pixels, const TRowSource& Rows, const std::string& FileName,
                  int Quality = JpegDefaultQuality);
