// Times the snapshot on test-pattern frames against a plain libjpeg encode
// of the same pixels at quality 80.
//
//   bench_snapshot [iterations]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

#include "TestSupport.h"
#include "app/Snapshot.h"
#include "capture/CaptureDriver.h"
#include "capture/TestPatternDriver.h"
#include "capture/Video.h"
#include "imaging/BmpFile.h"
#include "imaging/JpegWriter.h"

namespace {

using TClock = std::chrono::steady_clock;

// Only the test pattern, at the size being measured.
class TPatternTable : public TDriverTable {
public:
    int Width = 320, Height = 240;
    bool Describe(int Index, std::string& Name, std::string& Version) override
    {
        if (Index != 0)
            return false;
        Name = TTestPatternDriver::DriverName;
        Version = TTestPatternDriver::DriverVersion;
        return true;
    }
    std::unique_ptr<TCaptureDriver> Create(int Index) override
    {
        if (Index != 0)
            return nullptr;
        auto driver = std::make_unique<TTestPatternDriver>();
        driver->SetSize(Width, Height);
        return driver;
    }
};

// libjpeg straight from the pixels into memory, nothing else.
size_t PlainEncode(const TBitmap& Bitmap)
{
    jpeg_compress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = Bitmap.Width();
    info.image_height = Bitmap.Height();
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 80, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(Bitmap.ScanLine(info.next_scanline));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::free(out);
    return size;
}

template <class F>
double MillisecondsEach(int Iterations, F&& Work)
{
    Work();  // warm up: fonts, page cache
    const auto start = TClock::now();
    for (int i = 0; i < Iterations; ++i)
        Work();
    return std::chrono::duration<double, std::milli>(TClock::now() - start).count() / Iterations;
}

} // namespace

int main(int argc, char** argv)
{
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    TTempDir dir;
    TSnapshotInput input;
    input.AppDir = dir.Path();

    TPatternTable table;
    SetDriverTable(&table);
    std::printf("Milliseconds a picture. snapshot: through the capture control and the test\n"
                "pattern driver; from file: the frame's bitmap file written from the frame in memory,\n"
                "caption, JPEG file; read back: the same with the file read back; +effect: the same with the row tint; libjpeg: a plain encode of the frame\n"
                "into memory at quality 80. ratio = from file / libjpeg.\n\n");
    std::printf("%-10s %10s %10s %10s %10s %10s %7s %9s %9s %9s\n", "size", "snapshot", "from file", "+effect",
                "read back", "libjpeg", "ratio", "w/ grab", "+effect", "read back");
    bool ok = true;
    for (auto [w, h] : std::vector<std::pair<int, int>>{{320, 240}, {640, 480}, {1920, 1080}}) {
        table.Width = w;
        table.Height = h;
        TFrameGrabber grabber(nullptr);
        grabber.SetDriverIndex(0);
        grabber.SetDriverOpen(true);
        if (!grabber.DriverOpen()) {
            std::fprintf(stderr, "the test pattern did not open\n");
            return 1;
        }
        const TGrabFrame grab = GrabberToFile(grabber);
        const auto stamp = std::chrono::system_clock::now();
        const double snapshot = MillisecondsEach(iterations, [&] {
            TakeSnapshot(grab, input, "http.jpg", stamp);
        });
        // The frame the snapshots used, for the other two timings.
        const TBitmap frame = LoadBitmapFile(input.AppDir + SnapshotBitmapName);
        if (frame.Width() != w || frame.Height() != h) {
            std::fprintf(stderr, "unexpected frame size %dx%d\n", frame.Width(), frame.Height());
            ok = false;
        }
        // Without the capture driver's own rendering and grab: the bitmap
        // file written, tint, caption, JPEG file.
        const TGrabFrame fromFrame = [&](const std::string&) { return &frame; };
        const double fromBitmap = MillisecondsEach(iterations, [&] {
            TakeSnapshot(fromFrame, input, "http.jpg", stamp);
        });
        input.Effect = true;
        const double withEffect = MillisecondsEach(iterations, [&] {
            TakeSnapshot(fromFrame, input, "http.jpg", stamp);
        });
        input.Effect = false;
        // The file written and read back, as when the grab gives no pixels.
        const TGrabToFile toFile = [&](const std::string& f) { SaveBitmapFile(frame, f); };
        const double readBack = MillisecondsEach(iterations, [&] {
            TakeSnapshot(toFile, input, "http.jpg", stamp);
        });
        const double encode = MillisecondsEach(iterations, [&] { PlainEncode(frame); });
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", w, h);
        std::printf("%-10s %10.3f %10.3f %10.3f %10.3f %10.3f %6.2fx %8.2fx %8.2fx %8.2fx\n", size,
                    snapshot, fromBitmap, withEffect, readBack, encode, fromBitmap / encode,
                    snapshot / encode, withEffect / encode, readBack / encode);
    }
    SetDriverTable(nullptr);
    return ok ? 0 : 1;
}
