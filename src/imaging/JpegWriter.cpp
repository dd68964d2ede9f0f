#include "imaging/JpegWriter.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

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

// Plain C-style encoder: nothing with a destructor lives across setjmp.
// Returns false with Err->Message set when libjpeg fails.
bool Compress(const TBitmap& Bitmap, int Quality, JSAMPROW* Rows,
              unsigned char** Out, unsigned long* OutSize, TErrorManager* Err)
{
    jpeg_compress_struct info;
    info.err = jpeg_std_error(&Err->Public);
    Err->Public.error_exit = ErrorExit;
    Err->Public.output_message = OutputMessage;
    if (setjmp(Err->Jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, Out, OutSize);
    info.image_width = static_cast<JDIMENSION>(Bitmap.Width());
    info.image_height = static_cast<JDIMENSION>(Bitmap.Height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, Quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const JDIMENSION height = info.image_height;
    while (info.next_scanline < height)
        jpeg_write_scanlines(&info, Rows + info.next_scanline, height - info.next_scanline);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

std::vector<uint8_t> EncodeJpeg(const TBitmap& Bitmap, int Quality)
{
    if (Quality < 1)
        Quality = 1;
    if (Quality > 100)
        Quality = 100;
    std::vector<JSAMPROW> rows(static_cast<size_t>(Bitmap.Height()));
    for (int y = 0; y < Bitmap.Height(); ++y)
        rows[y] = const_cast<JSAMPROW>(Bitmap.ScanLine(y));

    TErrorManager err{};
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    const bool ok = Compress(Bitmap, Quality, rows.data(), &out, &outSize, &err);
    std::vector<uint8_t> result;
    if (ok && out)
        result.assign(out, out + outSize);
    std::free(out);
    if (!ok)
        throw EJPEG(std::string("JPEG error: ") + err.Message);
    return result;
}

void SaveJpegFile(const TBitmap& Bitmap, const std::string& FileName, int Quality)
{
    const std::vector<uint8_t> image = EncodeJpeg(Bitmap, Quality);
    WriteFileAtomic(FileName, image.data(), image.size());
}
