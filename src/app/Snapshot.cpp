#include "app/Snapshot.h"

#include <algorithm>
#include <clocale>
#include <ctime>
#include <locale.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "app/main.h"
#include "imaging/BmpFile.h"
#include "imaging/JpegWriter.h"
#include "imaging/TextRenderer.h"

namespace {

// The caption font, loaded once: finding and opening fonts costs far more
// than drawing a caption.
TTextRenderer& CaptionFont()
{
    static TTextRenderer font(CaptionPointSize, 96);
    return font;
}

// The time locale of the environment, whatever the process's C locale.
locale_t TimeLocale()
{
    static locale_t loc = [] {
        locale_t l = newlocale(LC_TIME_MASK, "", nullptr);
        return l ? l : newlocale(LC_TIME_MASK, "C", nullptr);
    }();
    return loc;
}

// The last frame's memory, kept for the next snapshot unless it grew
// beyond the size of a 1920 x 1080 frame.
class TFrameMemory {
public:
    TFrameMemory() : FImage(KeptImage()), FCopy(KeptCopy()) {}
    ~TFrameMemory()
    {
        if (FImage.Capacity() > KeptBytes)
            FImage.Release();
        if (FCopy.ByteSize() > KeptBytes)
            FCopy = TBitmap();
    }
    TFrameMemory(const TFrameMemory&) = delete;
    TFrameMemory& operator=(const TFrameMemory&) = delete;

    TBitmapFileImage& Image() { return FImage; }
    TBitmap& Copy() { return FCopy; }

private:
    static constexpr size_t KeptBytes = 1920 * 1080 * 3 + 4096;
    static TBitmapFileImage& KeptImage()
    {
        static thread_local TBitmapFileImage image;
        return image;
    }
    static TBitmap& KeptCopy()
    {
        static thread_local TBitmap copy;
        return copy;
    }
    TBitmapFileImage& FImage;
    TBitmap& FCopy;
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

} // namespace

void ApplyCameraEffect(const TPixelView& Pixels, int32_t R, int32_t G, int32_t B)
{
    int64_t offsets[3];  // per byte of a pixel in memory order
    offsets[Pixels.RedOffset()] = R;
    offsets[1] = G;
    offsets[Pixels.BlueOffset()] = B;
    const TRowTint tint(offsets);
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
    if (grabbed && !grabbed->Empty()) {
        // The pixels just written, not read back from the file.
        memory.Copy() = *grabbed;
        frame = ViewOf(memory.Copy());
    } else {
        // The frame is worked on where the file's rows lie in memory.
        LoadBitmapFile(bitmapFile, memory.Image());
        frame = memory.Image().View();
    }
    if (Input.Effect)
        ApplyCameraEffect(frame, Input.EffectR, Input.EffectG, Input.EffectB);
    DrawCaption(frame, CaptionText(Input.Message, Stamp));
    SaveJpegFile(frame, Input.AppDir + FileName, SnapshotQuality);
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
