#include "app/Snapshot.h"

#include <algorithm>
#include <clocale>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>
#include <locale.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "app/main.h"
#include "imaging/BmpFile.h"
#include "imaging/JpegWriter.h"
#include "imaging/TextRenderer.h"
#include "platform/WorkerThread.h"

namespace {

// The caption font, loaded once: finding and opening fonts costs far more
// than drawing a caption.
TTextRenderer& CaptionFont()
{
    static TTextRenderer font(CaptionPointSize, 96);
    return font;
}

// The thread that writes the bitmap file while the JPEG is encoded; none
// when no thread could be made.
TWorkerThread* BitmapWriter()
{
    static const std::unique_ptr<TWorkerThread> writer = []() -> std::unique_ptr<TWorkerThread> {
        try {
            return std::make_unique<TWorkerThread>();
        } catch (const std::system_error&) {
            return nullptr;
        }
    }();
    return writer.get();
}

// Waits for the writer's job when the snapshot ends early: the job uses
// the snapshot's frame and names.
struct TWriterWait {
    TWorkerThread* Writer = nullptr;
    ~TWriterWait()
    {
        if (Writer)
            try {
                Writer->Wait();
            } catch (const std::exception&) {
            }
    }
};

// The time locale of the environment, whatever the process's C locale.
locale_t TimeLocale()
{
    static locale_t loc = [] {
        locale_t l = newlocale(LC_TIME_MASK, "", nullptr);
        return l ? l : newlocale(LC_TIME_MASK, "C", nullptr);
    }();
    return loc;
}

// The bitmap file's memory, kept for the next snapshot that reads the file
// unless it grew beyond the size of a 1920 x 1080 frame.
class TFrameMemory {
public:
    TFrameMemory() : FImage(KeptImage()) {}
    ~TFrameMemory()
    {
        if (FImage.Capacity() > KeptBytes)
            FImage.Release();
    }
    TFrameMemory(const TFrameMemory&) = delete;
    TFrameMemory& operator=(const TFrameMemory&) = delete;

    TBitmapFileImage& Image() { return FImage; }

private:
    static constexpr size_t KeptBytes = 1920 * 1080 * 3 + 4096;
    static TBitmapFileImage& KeptImage()
    {
        static thread_local TBitmapFileImage image;
        return image;
    }
    TBitmapFileImage& FImage;
};

// Adds an offset to each byte of a pixel, the sums clamped to 0..255: with
// SSE2 as a saturating addition of the positive offset and subtraction of
// the negative one, 16 pixels at a time; through a table for the rest.
class TRowTint {
public:
    explicit TRowTint(const int64_t (&Offsets)[3])
    {
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v)
                FTable[c][v] = static_cast<uint8_t>(std::clamp<int64_t>(v + Offsets[c], 0, 255));
#ifdef __SSE2__
        uint8_t add[48], sub[48];
        for (int k = 0; k < 48; ++k) {
            add[k] = static_cast<uint8_t>(std::clamp<int64_t>(Offsets[k % 3], 0, 255));
            sub[k] = static_cast<uint8_t>(std::clamp<int64_t>(-Offsets[k % 3], 0, 255));
        }
        for (int k = 0; k < 3; ++k) {
            FAdd[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(add + 16 * k));
            FSub[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sub + 16 * k));
        }
#endif
    }

    void operator()(uint8_t* Row, size_t Bytes) const
    {
        size_t i = 0;
#ifdef __SSE2__
        for (; i + 48 <= Bytes; i += 48)
            for (int k = 0; k < 3; ++k) {
                auto* p = reinterpret_cast<__m128i*>(Row + i + 16 * k);
                _mm_storeu_si128(p, _mm_subs_epu8(_mm_adds_epu8(_mm_loadu_si128(p), FAdd[k]), FSub[k]));
            }
#endif
        for (; i < Bytes; i += 3) {
            Row[i] = FTable[0][Row[i]];
            Row[i + 1] = FTable[1][Row[i + 1]];
            Row[i + 2] = FTable[2][Row[i + 2]];
        }
    }

private:
    uint8_t FTable[3][256];
#ifdef __SSE2__
    __m128i FAdd[3], FSub[3];
#endif
};

// Per-byte offsets of a pixel in the view's byte order.
TRowTint TintFor(const TPixelView& Pixels, int32_t R, int32_t G, int32_t B)
{
    int64_t offsets[3];
    offsets[Pixels.RedOffset()] = R;
    offsets[1] = G;
    offsets[Pixels.BlueOffset()] = B;
    return TRowTint(offsets);
}

// The frame's rows as the snapshot shows them, the frame left as it is:
// odd rows tinted into a spare row when the effect is on, and the bottom
// rows, where the caption goes, from a band copied, tinted and captioned
// once. The band reaches a caption's height above the caption's box, so
// glyphs reaching out of the box land as they would on the frame.
class TSnapshotRows {
public:
    TSnapshotRows(const TPixelView& Frame, const TSnapshotInput& Input, const std::string& Caption)
        : FFrame(Frame), FEffect(Input.Effect), FTint(TintFor(Frame, Input.EffectR, Input.EffectG, Input.EffectB))
    {
        const int h = CaptionFont().TextExtent(Caption).Height;
        FBandTop = std::clamp(Frame.Height - 2 * h - 3, 0, Frame.Height);
        FBand.SetSize(Frame.Width, Frame.Height - FBandTop);
        const TPixelView band{FBand.Data(), static_cast<ptrdiff_t>(RowBytes()), Frame.Width, FBand.Height(), Frame.Bgr};
        for (int y = 0; y < band.Height; ++y)
            Row(FBandTop + y, band.ScanLine(y));
        DrawCaption(band, Caption);
    }

    const uint8_t* operator()(int Y, uint8_t* Spare) const
    {
        if (Y >= FBandTop)
            return FBand.ScanLine(Y - FBandTop);
        if (!FEffect || Y % 2 == 0)
            return FFrame.ScanLine(Y);
        Row(Y, Spare);
        return Spare;
    }

private:
    size_t RowBytes() const { return static_cast<size_t>(FFrame.Width) * 3; }
    // Row Y of the frame into Out, tinted when it is to be.
    void Row(int Y, uint8_t* Out) const
    {
        std::memcpy(Out, FFrame.ScanLine(Y), RowBytes());
        if (FEffect && Y % 2 == 1)
            FTint(Out, RowBytes());
    }

    TPixelView FFrame;
    bool FEffect;
    TRowTint FTint;
    int FBandTop = 0;
    TBitmap FBand;
};

} // namespace

void ApplyCameraEffect(const TPixelView& Pixels, int32_t R, int32_t G, int32_t B)
{
    const TRowTint tint = TintFor(Pixels, R, G, B);
    const size_t rowBytes = static_cast<size_t>(Pixels.Width) * 3;
    for (int y = 1; y < Pixels.Height; y += 2)
        tint(Pixels.ScanLine(y), rowBytes);
}

void ApplyCameraEffect(TBitmap& Bitmap, int32_t R, int32_t G, int32_t B)
{
    ApplyCameraEffect(ViewOf(Bitmap), R, G, B);
}

std::string StampText(TSnapshotStamp Stamp)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(Stamp);
    std::tm local {};
    localtime_r(&t, &local);
    char text[256];
    const size_t n = strftime_l(text, sizeof text, "%x %X", &local, TimeLocale());
    return std::string(text, n);
}

std::string CaptionText(const std::string& Message, TSnapshotStamp Stamp)
{
    return Message.empty() ? StampText(Stamp) : Message;
}

void DrawCaption(const TPixelView& Pixels, const std::string& Text)
{
    TTextRenderer& font = CaptionFont();
    const TTextExtent e = font.TextExtent(Text);
    font.TextOut(Pixels, Pixels.Width - e.Width - 3, Pixels.Height - e.Height - 3, Text,
                 TRGBColor{255, 255, 255}, TRGBColor{0, 0, 0}, true);
}

TBitmap CaptionPicture(const std::string& Text)
{
    TTextRenderer& font = CaptionFont();
    const TTextExtent e = font.TextExtent(Text);
    TBitmap box(std::max(e.Width, 1), std::max(e.Height, 1));
    font.TextOut(box, 0, 0, Text, TRGBColor{255, 255, 255}, TRGBColor{0, 0, 0}, true);
    return box;
}

void DrawCaption(TBitmap& Bitmap, const std::string& Text)
{
    DrawCaption(ViewOf(Bitmap), Text);
}

void TakeSnapshot(const TGrabToFile& Grab, const TSnapshotInput& Input,
                  const std::string& FileName, TSnapshotStamp Stamp)
{
    TakeSnapshot(
        TGrabFrame([&Grab](const std::string& BitmapFile) -> const TBitmap* {
            if (Grab)
                Grab(BitmapFile);
            return nullptr;
        }),
        Input, FileName, Stamp);
}

void TakeSnapshot(const TGrabFrame& Grab, const TSnapshotInput& Input,
                  const std::string& FileName, TSnapshotStamp Stamp)
{
    const std::string bitmapFile = Input.AppDir + SnapshotBitmapName;
    const TBitmap* grabbed = Grab ? Grab(bitmapFile) : nullptr;
    TFrameMemory memory;
    TPixelView frame;
    TWriterWait written;
    if (grabbed && !grabbed->Empty()) {
        // The bitmap file is written from the same pixels while they are
        // encoded; neither changes them.
        frame = ViewOf(*grabbed);
        written.Writer = BitmapWriter();
        if (written.Writer)
            written.Writer->Start([grabbed, &bitmapFile] { SaveBitmapFile(*grabbed, bitmapFile); });
        else
            SaveBitmapFile(*grabbed, bitmapFile);
    } else {
        // The frame is read where the file's rows lie in memory.
        LoadBitmapFile(bitmapFile, memory.Image());
        frame = memory.Image().View();
    }
    const TSnapshotRows rows(frame, Input, CaptionText(Input.Message, Stamp));
    SaveJpegFile(frame, std::cref(rows), Input.AppDir + FileName, SnapshotQuality);
    if (TWorkerThread* writer = std::exchange(written.Writer, nullptr))
        writer->Wait();
}

void Tcapmain::TakeSnapshot(const std::string& FileName, TSnapshotStamp Stamp)
{
    TSnapshotInput input;
    input.AppDir = AppDir;
    input.Message = Edit2->Text();
    input.Effect = Effect1->Checked;
    input.EffectR = EffectR;
    input.EffectG = EffectG;
    input.EffectB = EffectB;
    ::TakeSnapshot(GrabberToFile(*FrameGrabber1), input, FileName, Stamp);
    if (FrameGrabber1->DriverOpen() && !CameraLost)
        LastFrameTime = std::time(nullptr);
}
