// Helpers for tests that write and read picture files.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "TestSupport.h"
#include "imaging/Bitmap.h"

inline std::vector<uint8_t> ReadFileBytes(const std::string& Name)
{
    std::ifstream in(Name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& Name, const std::vector<uint8_t>& Data)
{
    std::ofstream out(Name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

// A JPEG decoded by libjpeg, with what its headers said.
struct TDecodedJpeg {
    bool Ok = false;
    std::string Error;
    TBitmap Picture;
    int Components = 0;
    bool JFIF = false;
    bool Progressive = false;
};

namespace jpegtest {
struct TErr {
    jpeg_error_mgr Mgr;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};
inline void Exit(j_common_ptr Info)
{
    auto* e = reinterpret_cast<TErr*>(Info->err);
    (*Info->err->format_message)(Info, e->Message);
    std::longjmp(e->Jump, 1);
}
inline bool Decode(const std::vector<uint8_t>* Data, TDecodedJpeg* Out, TErr* Err)
{
    jpeg_decompress_struct info;
    info.err = jpeg_std_error(&Err->Mgr);
    Err->Mgr.error_exit = Exit;
    if (setjmp(Err->Jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, Data->data(), static_cast<unsigned long>(Data->size()));
    jpeg_read_header(&info, TRUE);
    Out->JFIF = info.saw_JFIF_marker;
    Out->Progressive = jpeg_has_multiple_scans(&info);
    Out->Components = info.num_components;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    Out->Picture.SetSize(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = Out->Picture.ScanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}
} // namespace jpegtest

inline TDecodedJpeg DecodeJpeg(const std::vector<uint8_t>& Data)
{
    TDecodedJpeg out;
    jpegtest::TErr err{};
    out.Ok = jpegtest::Decode(&Data, &out, &err);
    if (!out.Ok)
        out.Error = err.Message;
    return out;
}

inline TDecodedJpeg DecodeJpegFile(const std::string& Name) { return DecodeJpeg(ReadFileBytes(Name)); }

// Width and height of a JPEG image; 0, 0 when it does not decode.
inline std::pair<int, int> JpegSize(const std::string& Data)
{
    TDecodedJpeg d = DecodeJpeg(std::vector<uint8_t>(Data.begin(), Data.end()));
    return d.Ok ? std::make_pair(d.Picture.Width(), d.Picture.Height()) : std::make_pair(0, 0);
}

// A deterministic colourful picture.
inline TBitmap TestPicture(int W, int H)
{
    TBitmap b(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t* p = b.ScanLine(y) + x * 3;
            p[0] = static_cast<uint8_t>(x * 255 / (W > 1 ? W - 1 : 1));
            p[1] = static_cast<uint8_t>(y * 255 / (H > 1 ? H - 1 : 1));
            p[2] = static_cast<uint8_t>((x + y) * 7);
        }
    return b;
}
