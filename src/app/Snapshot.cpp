#include "app/Snapshot.h"

#include <algorithm>
#include <clocale>
#include <ctime>
#include <locale.h>

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

} // namespace

void ApplyCameraEffect(TBitmap& Bitmap, int32_t R, int32_t G, int32_t B)
{
    uint8_t table[3][256];
    const int64_t offsets[3] = {R, G, B};
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v)
            table[c][v] = static_cast<uint8_t>(std::clamp<int64_t>(v + offsets[c], 0, 255));
    const int w = Bitmap.Width();
    for (int y = 1; y < Bitmap.Height(); y += 2) {
        uint8_t* p = Bitmap.ScanLine(y);
        for (int x = 0; x < w; ++x, p += 3) {
            p[0] = table[0][p[0]];
            p[1] = table[1][p[1]];
            p[2] = table[2][p[2]];
        }
    }
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

void DrawCaption(TBitmap& Bitmap, const std::string& Text)
{
    TTextRenderer& font = CaptionFont();
    const TTextExtent e = font.TextExtent(Text);
    font.TextOut(Bitmap, Bitmap.Width() - e.Width - 3, Bitmap.Height() - e.Height - 3, Text,
                 TRGBColor{255, 255, 255}, TRGBColor{0, 0, 0}, true);
}

void TakeSnapshot(const TGrabToFile& Grab, const TSnapshotInput& Input,
                  const std::string& FileName, TSnapshotStamp Stamp)
{
    const std::string bitmapFile = Input.AppDir + SnapshotBitmapName;
    if (Grab)
        Grab(bitmapFile);
    TBitmap bitmap = LoadBitmapFile(bitmapFile);
    if (Input.Effect)
        ApplyCameraEffect(bitmap, Input.EffectR, Input.EffectG, Input.EffectB);
    DrawCaption(bitmap, CaptionText(Input.Message, Stamp));
    SaveJpegFile(bitmap, Input.AppDir + FileName, SnapshotQuality);
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
}
