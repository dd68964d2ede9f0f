#include "imaging/JpegWriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <jpeglib.h>

namespace {

struct TErrorManager {
    jpeg_error_mgr Public;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr Info)
{
    auto* err = reinterpret_cast<TErrorManager*>(Info->err);
    (*Info->err->format_message)(Info, err->Message);
    std::longjmp(err->Jump, 1);
}

void OutputMessage(j_common_ptr) {}

constexpr int BandRows = 16;

// Points libjpeg's errors at Err; before the caller's setjmp.
void CatchErrors(jpeg_compress_struct& Info, TErrorManager* Err)
{
    Info.err = jpeg_std_error(&Err->Public);
    Err->Public.error_exit = ErrorExit;
    Err->Public.output_message = OutputMessage;
}

// A compressor writing into memory, for a Width x Height picture of three
// components in Space, at Quality; after the caller's setjmp.
void SetUp(jpeg_compress_struct& Info, int Width, int Height, J_COLOR_SPACE Space, int Quality, unsigned char** Out,
           unsigned long* OutSize)
{
    jpeg_create_compress(&Info);
    jpeg_mem_dest(&Info, Out, OutSize);
    Info.image_width = static_cast<JDIMENSION>(Width);
    Info.image_height = static_cast<JDIMENSION>(Height);
    Info.input_components = 3;
    Info.in_color_space = Space;
    jpeg_set_defaults(&Info);
    jpeg_set_quality(&Info, Quality, TRUE);
}

// Plain C-style encoder: nothing with a destructor lives across setjmp.
// Rows come a band at a time from Source when there is one (Spare holds a
// band's rows), else straight from Pixels. Returns false with Err->Message
// set when libjpeg fails.
bool Compress(const TPixelView& Pixels, J_COLOR_SPACE Space, int Quality, const TRowSource* Source, uint8_t* Spare,
              unsigned char** Out, unsigned long* OutSize, TErrorManager* Err)
{
    jpeg_compress_struct info;
    CatchErrors(info, Err);
    if (setjmp(Err->Jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    SetUp(info, Pixels.Width, Pixels.Height, Space, Quality, Out, OutSize);
    jpeg_start_compress(&info, TRUE);
    const size_t rowBytes = static_cast<size_t>(Pixels.Width) * 3;
    JSAMPROW rows[BandRows];
    while (info.next_scanline < info.image_height) {
        const int top = static_cast<int>(info.next_scanline);
        const int n = std::min(BandRows, Pixels.Height - top);
        for (int i = 0; i < n; ++i)
            rows[i] = const_cast<JSAMPROW>(Source ? (*Source)(top + i, Spare + i * rowBytes) : Pixels.ScanLine(top + i));
        jpeg_write_scanlines(&info, rows, static_cast<JDIMENSION>(n));
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

// The same from 4:2:0 planes, handed to libjpeg as they are (no colour
// conversion, no downsampling): those of Whole, or, without it, those
// Bands gives into Band a band at a time.
bool CompressPlanes(int Width, int Height, const TYuvPicture* Whole, const TYuvBandSource* Bands, TYuvPicture* Band,
                    int Quality, unsigned char** Out, unsigned long* OutSize, TErrorManager* Err)
{
    jpeg_compress_struct info;
    CatchErrors(info, Err);
    if (setjmp(Err->Jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    SetUp(info, Width, Height, JCS_YCbCr, Quality, Out, OutSize);
    info.raw_data_in = TRUE;
    info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c)
        info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&info, TRUE);
    // One band of 16 luma and 8 chroma rows per call; past the bottom the
    // last row repeats.
    JSAMPROW y[JpegBandRows], cb[JpegBandRows / 2], cr[JpegBandRows / 2];
    JSAMPARRAY planes[3] = {y, cb, cr};
    const int chromaHeight = (Height + 1) / 2;
    while (info.next_scanline < info.image_height) {
        const int top = static_cast<int>(info.next_scanline);
        const TYuvPicture* picture = Whole;
        int base = 0;  // the picture's first row
        if (!Whole) {
            if (!(*Bands)(top, *Band)) {
                jpeg_destroy_compress(&info);
                std::snprintf(Err->Message, sizeof Err->Message, "no picture");
                return false;
            }
            picture = Band;
            base = top;
        }
        for (int i = 0; i < JpegBandRows; ++i)
            y[i] = const_cast<JSAMPROW>(picture->Y(std::min(top + i, Height - 1) - base));
        for (int i = 0; i < JpegBandRows / 2; ++i) {
            const int row = std::min(top / 2 + i, chromaHeight - 1) - base / 2;
            cb[i] = const_cast<JSAMPROW>(picture->Cb(row));
            cr[i] = const_cast<JSAMPROW>(picture->Cr(row));
        }
        jpeg_write_raw_data(&info, planes, JpegBandRows);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

struct TFreeBuffer {
    void operator()(unsigned char* P) const { std::free(P); }
};
using TJpegBuffer = std::unique_ptr<unsigned char, TFreeBuffer>;

// Encodes into a buffer of libjpeg's; Size is set to its length.
TJpegBuffer Encode(const TPixelView& Pixels, int Quality, unsigned long& Size, const TRowSource* Source = nullptr)
{
    Quality = std::clamp(Quality, 1, 100);
#ifdef JCS_EXTENSIONS
    const TPixelView& pixels = Pixels;
    const J_COLOR_SPACE space = Pixels.Bgr ? JCS_EXT_BGR : JCS_RGB;
#else
    // Without libjpeg-turbo's extra colour spaces, B, G, R rows are turned
    // around in a copy.
    TBitmap copy;
    TPixelView pixels = Pixels;
    if (Pixels.Bgr) {
        copy.SetSize(Pixels.Width, Pixels.Height);
        std::vector<uint8_t> spare(static_cast<size_t>(Pixels.Width) * 3);
        for (int y = 0; y < Pixels.Height; ++y)
            SwapRedBlue(Source ? (*Source)(y, spare.data()) : Pixels.ScanLine(y), copy.ScanLine(y), Pixels.Width);
        pixels = ViewOf(copy);
        Source = nullptr;
    }
    const J_COLOR_SPACE space = JCS_RGB;
#endif
    std::vector<uint8_t> spare(Source ? static_cast<size_t>(std::max(pixels.Width, 0)) * 3 * BandRows : 0);
    TErrorManager err{};
    unsigned char* out = nullptr;
    Size = 0;
    const bool ok = Compress(pixels, space, Quality, Source, spare.data(), &out, &Size, &err);
    TJpegBuffer result(out);
    if (!ok || !out)
        throw EJPEG(std::string("JPEG error: ") + err.Message);
    return result;
}

} // namespace

std::vector<uint8_t> EncodeJpeg(const TPixelView& Pixels, int Quality)
{
    unsigned long size = 0;
    const TJpegBuffer out = Encode(Pixels, Quality, size);
    return std::vector<uint8_t>(out.get(), out.get() + size);
}

namespace {

std::vector<uint8_t> EncodePlanes(int Width, int Height, const TYuvPicture* Whole, const TYuvBandSource* Bands,
                                  int Quality)
{
    if (Width <= 0 || Height <= 0)
        throw EJPEG("JPEG error: empty picture");
    // The band is made whole before libjpeg starts: nothing is allocated
    // between its setjmp and its end.
    TYuvPicture band;
    if (Bands)
        band.SetSize(Width, JpegBandRows);
    TErrorManager err{};
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const bool ok = CompressPlanes(Width, Height, Whole, Bands, &band, std::clamp(Quality, 1, 100), &out, &size, &err);
    const TJpegBuffer result(out);
    if (!ok || !out)
        throw EJPEG(std::string("JPEG error: ") + err.Message);
    return std::vector<uint8_t>(out, out + size);
}

} // namespace

std::vector<uint8_t> EncodeJpeg(const TYuvPicture& Picture, int Quality)
{
    return EncodePlanes(Picture.Width(), Picture.Height(), &Picture, nullptr, Quality);
}

std::vector<uint8_t> EncodeJpeg(int Width, int Height, const TYuvBandSource& Bands, int Quality)
{
    return EncodePlanes(Width, Height, nullptr, &Bands, Quality);
}

std::vector<uint8_t> EncodeJpeg(const TBitmap& Bitmap, int Quality)
{
    return EncodeJpeg(ViewOf(Bitmap), Quality);
}

void SaveJpegFile(const TPixelView& Pixels, const std::string& FileName, int Quality)
{
    unsigned long size = 0;
    const TJpegBuffer out = Encode(Pixels, Quality, size);
    WriteFileAtomic(FileName, out.get(), size);
}

void SaveJpegFile(const TPixelView& Pixels, const TRowSource& Rows, const std::string& FileName, int Quality)
{
    unsigned long size = 0;
    const TJpegBuffer out = Encode(Pixels, Quality, size, &Rows);
    WriteFileAtomic(FileName, out.get(), size);
}

void SaveJpegFile(const TBitmap& Bitmap, const std::string& FileName, int Quality)
{
    SaveJpegFile(ViewOf(Bitmap), FileName, Quality);
}
