#include "app/Motion.h"

#include <jpeglib.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>

namespace {

constexpr int CellSide = 8;
constexpr int Fraction = 256;       // background cells are kept x 256
constexpr int AdaptShift = 4;       // each examined frame moves the background 1/16 of the way
constexpr uint64_t QuietMs = 1000;  // after a light switch, frames only teach the background

// Each cell: the mean of 16 samples, every second row and every second
// pixel of its upper-left 8 x 8 pixels (Bpp bytes a pixel, the value at
// Offset in a pixel).
bool SampleCells(const TRawFrame& Frame, int Bpp, int Offset, TLumaGrid& Grid)
{
    if (Frame.Width < CellSide || Frame.Height < CellSide || !Frame.Data)
        return false;
    const size_t stride = Frame.BytesPerLine > 0 ? static_cast<size_t>(Frame.BytesPerLine)
                                                 : static_cast<size_t>(Frame.Width) * Bpp;
    if (stride < static_cast<size_t>(Frame.Width) * Bpp ||
        Frame.Size < stride * (Frame.Height - 1) + static_cast<size_t>(Frame.Width) * Bpp)
        return false;
    Grid.Width = Frame.Width / CellSide;
    Grid.Height = Frame.Height / CellSide;
    Grid.Cells.resize(static_cast<size_t>(Grid.Width) * Grid.Height);
    uint8_t* out = Grid.Cells.data();
    for (int gy = 0; gy < Grid.Height; ++gy) {
        const BYTE* rows = Frame.Data + static_cast<size_t>(gy) * CellSide * stride + Offset;
        for (int gx = 0; gx < Grid.Width; ++gx) {
            const BYTE* p = rows + static_cast<size_t>(gx) * CellSide * Bpp;
            unsigned sum = 0;
            for (int y = 1; y < CellSide; y += 2) {
                const BYTE* r = p + y * stride;
                sum += r[0] + r[2 * Bpp] + r[4 * Bpp] + r[6 * Bpp];
            }
            *out++ = static_cast<uint8_t>(sum / 16);
        }
    }
    return true;
}

struct TJpegError {
    jpeg_error_mgr Public;
    std::jmp_buf Jump;
};

void JpegErrorExit(j_common_ptr Info) { std::longjmp(reinterpret_cast<TJpegError*>(Info->err)->Jump, 1); }
void JpegQuiet(j_common_ptr, int) {}

// Plain C-style decoder: nothing with a destructor lives across setjmp.
// Grey at 1/8 scale: only each block's average is computed.
bool DecodeLuma(const TRawFrame& Frame, TLumaGrid& Grid)
{
    if (!Frame.Data || Frame.Size < 4)
        return false;
    jpeg_decompress_struct info;
    TJpegError err;
    info.err = jpeg_std_error(&err.Public);
    err.Public.error_exit = JpegErrorExit;
    err.Public.emit_message = JpegQuiet;
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, Frame.Data, static_cast<unsigned long>(Frame.Size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_GRAYSCALE;
    info.scale_num = 1;
    info.scale_denom = CellSide;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&info);
    Grid.Width = static_cast<int>(info.output_width);
    Grid.Height = static_cast<int>(info.output_height);
    Grid.Cells.resize(static_cast<size_t>(Grid.Width) * Grid.Height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = Grid.Cells.data() + static_cast<size_t>(info.output_scanline) * Grid.Width;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return Grid.Width > 0 && Grid.Height > 0;
}

} // namespace

bool LumaOfFrame(const TRawFrame& Frame, TLumaGrid& Grid)
{
    switch (Frame.Format) {
    case V4L2_PIX_FMT_YUYV: return SampleCells(Frame, 2, 0, Grid);
    case V4L2_PIX_FMT_UYVY: return SampleCells(Frame, 2, 1, Grid);
    case V4L2_PIX_FMT_GREY: return SampleCells(Frame, 1, 0, Grid);
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: return SampleCells(Frame, 3, 1, Grid);
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return DecodeLuma(Frame, Grid);
    default: return false;
    }
}

TMotionAction TMotionDetector::Frame(const TRawFrame& Frame, uint64_t NowMs)
{
    const uint64_t period = 1000 / static_cast<uint64_t>(std::clamp(FSettings.Fps, 1, 1000));
    // A few milliseconds early still counts: frames come with some jitter.
    if (FExamined && NowMs + 5 < FLastExamMs + period)
        return Tick(NowMs);
    // Keeps the cadence, unless frames came too seldom for it.
    FLastExamMs = FExamined && NowMs < FLastExamMs + 2 * period ? FLastExamMs + period : NowMs;
    if (!LumaOfFrame(Frame, FGrid))
        return Tick(NowMs);
    return Examine(FGrid, NowMs);
}

TMotionAction TMotionDetector::Examine(const TLumaGrid& Grid, uint64_t NowMs)
{
    const size_t n = Grid.Cells.size();
    if (n == 0)
        return Tick(NowMs);
    int64_t sum = 0;
    for (uint8_t c : Grid.Cells)
        sum += c;
    const int mean = static_cast<int>(sum / static_cast<int64_t>(n));
    const bool learn = !FExamined || Grid.Width != FWidth || Grid.Height != FHeight || FBackground.size() != n;
    if (!learn) {
        // The whole picture got much brighter or darker at once (by more
        // than the percentage of its brightness before).
        const int step = std::abs(mean - FLastMean);
        if (step * 100 > FSettings.LightSwitch * std::max(FLastMean, 16))
            FQuietUntilMs = NowMs + QuietMs;
    }
    FLastMean = mean;
    FExamined = true;
    if (learn || NowMs < FQuietUntilMs) {
        FWidth = Grid.Width;
        FHeight = Grid.Height;
        FBackground.resize(n);
        for (size_t i = 0; i < n; ++i)
            FBackground[i] = Grid.Cells[i] * Fraction;
        FRun = 0;
        FChanged = 0;
        return Tick(NowMs);
    }
    // Differences beyond the change of the picture's mean brightness, so
    // that a slow drift of the light is no motion.
    int64_t background = 0;
    for (int32_t b : FBackground)
        background += b;
    const int32_t shift = static_cast<int32_t>(sum * Fraction / static_cast<int64_t>(n) - background / static_cast<int64_t>(n));
    const int32_t limit = FSettings.Noise * Fraction;
    size_t changed = 0;
    for (size_t i = 0; i < n; ++i) {
        const int32_t d = Grid.Cells[i] * Fraction - FBackground[i];
        changed += std::abs(d - shift) > limit;
        FBackground[i] += d >> AdaptShift;
    }
    FChanged = static_cast<int>(changed * 1000 / n);
    if (FChanged <= FSettings.Threshold) {
        FRun = 0;
        return Tick(NowMs);
    }
    ++FRun;
    FLastMotionMs = NowMs;
    if (FActive || FRun < FSettings.Frames)
        return Tick(NowMs);
    FActive = true;
    ++FEvents;
    FStartMs = NowMs;
    FLengthMs = 0;
    FNextPictureMs = NowMs + static_cast<uint64_t>(FSettings.Interval) * 1000;
    return TMotionAction::Started;
}

TMotionAction TMotionDetector::Tick(uint64_t NowMs)
{
    if (!FActive)
        return TMotionAction::None;
    FLengthMs = NowMs - FStartMs;
    if (NowMs - FLastMotionMs >= static_cast<uint64_t>(FSettings.Gap) * 1000)
        return End(NowMs);
    if (FSettings.Interval > 0 && NowMs >= FNextPictureMs) {
        FNextPictureMs = NowMs + static_cast<uint64_t>(FSettings.Interval) * 1000;
        return TMotionAction::Picture;
    }
    return TMotionAction::None;
}

TMotionAction TMotionDetector::SignalLost(uint64_t NowMs)
{
    FExamined = false;
    FRun = 0;
    return FActive ? End(NowMs) : TMotionAction::None;
}

void TMotionDetector::Reset()
{
    FExamined = false;
    FRun = 0;
    FActive = false;
    FBackground.clear();
}

TMotionAction TMotionDetector::End(uint64_t NowMs)
{
    FActive = false;
    FRun = 0;
    FLengthMs = NowMs - FStartMs;
    return TMotionAction::Ended;
}
