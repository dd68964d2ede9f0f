#include <algorithm>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "app/Snapshot.h"
#include "capture/CaptureDriver.h"
#include "capture/TestPatternDriver.h"
#include "capture/Video.h"
#include "imaging/BmpFile.h"
#include "imaging/ImagingTestSupport.h"
#include "imaging/JpegWriter.h"
#include "imaging/TextRenderer.h"

namespace {

TBitmap Flat(int W, int H, uint8_t R, uint8_t G, uint8_t B)
{
    TBitmap b(W, H);
    b.Fill(R, G, B);
    return b;
}

// A camera whose frames the test sets; a closed one writes nothing.
struct TScriptedCamera {
    bool Open = true;
    TBitmap Frame;
    int Grabs = 0;
    TGrabToFile Grab()
    {
        return [this](const std::string& File) {
            ++Grabs;
            if (!Open)
                return;
            try {  // as the capture window: a failed save is a false result
                SaveBitmapFile(Frame, File);
            } catch (const std::exception&) {
            }
        };
    }
};

struct TSnapshotFixture : ::testing::Test {
    TTempDir Dir;
    TScriptedCamera Camera;
    TSnapshotInput Input;
    TSnapshotStamp Stamp = std::chrono::system_clock::from_time_t(1796000000);

    void SetUp() override { Input.AppDir = Dir.Path(); }

    TDecodedJpeg Snap(const std::string& Name = "http.jpg")
    {
        TakeSnapshot(Camera.Grab(), Input, Name, Stamp);
        TDecodedJpeg j = DecodeJpegFile(Dir / Name);
        EXPECT_TRUE(j.Ok) << j.Error;
        return j;
    }
};

double Mean(const TBitmap& b, int Channel, int X0, int Y0, int X1, int Y1, int RowStep = 1)
{
    double sum = 0;
    int n = 0;
    for (int y = Y0; y < Y1; y += RowStep)
        for (int x = X0; x < X1; ++x, ++n)
            sum += b.ScanLine(y)[x * 3 + Channel];
    return n ? sum / n : 0;
}

double Luma(const TBitmap& b, int x, int y)
{
    const uint8_t* p = b.ScanLine(y) + x * 3;
    return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

TEST(CameraEffect, TintsOddRowsOnlyClampedAt255)
{
    TBitmap b = Flat(3, 5, 250, 100, 240);
    b.ScanLine(3)[0] = 0;
    ApplyCameraEffect(b, 55, 45, 20);
    for (int y = 0; y < 5; ++y) {
        const uint8_t* p = b.ScanLine(y) + 3;
        if (y % 2 == 0) {
            EXPECT_EQ(p[0], 250) << y;
            EXPECT_EQ(p[1], 100);
            EXPECT_EQ(p[2], 240);
        } else {
            EXPECT_EQ(p[0], 255) << y;  // not 305, not 49
            EXPECT_EQ(p[1], 145);
            EXPECT_EQ(p[2], 255);
        }
    }
    EXPECT_EQ(b.ScanLine(3)[0], 55);
    // Offsets from an edited settings file: negative and huge ones stay in range.
    TBitmap c = Flat(2, 2, 10, 200, 0);
    ApplyCameraEffect(c, -50, INT32_MAX, INT32_MIN);
    EXPECT_EQ(c.ScanLine(1)[0], 0);
    EXPECT_EQ(c.ScanLine(1)[1], 255);
    EXPECT_EQ(c.ScanLine(1)[2], 0);
    EXPECT_EQ(c.ScanLine(0)[0], 10);
}

TEST_F(TSnapshotFixture, WritesABaselineJfifOfTheFrameAndKeepsTheBitmap)
{
    Camera.Frame = TestPicture(352, 288);
    const TDecodedJpeg j = Snap();
    EXPECT_EQ(j.Picture.Width(), 352);
    EXPECT_EQ(j.Picture.Height(), 288);
    EXPECT_EQ(j.Components, 3);
    EXPECT_TRUE(j.JFIF);
    EXPECT_FALSE(j.Progressive);
    EXPECT_EQ(Camera.Grabs, 1);
    const TBitmap bmp = LoadBitmapFile(Dir / "http.bmp");
    EXPECT_EQ(std::memcmp(bmp.Data(), Camera.Frame.Data(), bmp.ByteSize()), 0);
    // The same pixels at quality 80 away from the caption.
    const TDecodedJpeg plain = DecodeJpeg(EncodeJpeg(Camera.Frame, 80));
    for (int y = 0; y < 240; y += 7)
        for (int x = 0; x < 352; x += 5)
            ASSERT_EQ(std::memcmp(j.Picture.ScanLine(y) + x * 3, plain.Picture.ScanLine(y) + x * 3, 3), 0);
    auto names = Dir.Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"http.bmp", "http.jpg"}));
}

TEST_F(TSnapshotFixture, TintSurvivesEncodingOnOddRowsOnly)
{
    // Red 250 on odd rows becomes 255; green 0 -> 45, blue 0 -> 20.
    Camera.Frame = Flat(160, 120, 250, 0, 0);
    Input.Effect = true;
    Input.Message = ".";
    const TDecodedJpeg j = Snap();
    const TBitmap& p = j.Picture;
    // Chroma is shared by row pairs, so compare pair means; a red of 49
    // (305 cut to 8 bits) or an untinted frame would be far off.
    EXPECT_NEAR(Mean(p, 0, 8, 8, 150, 96), (250 + 255) / 2.0, 8);
    EXPECT_NEAR(Mean(p, 1, 8, 8, 150, 96), 45 / 2.0, 4);
    EXPECT_NEAR(Mean(p, 2, 8, 8, 150, 96), 20 / 2.0, 4);
    // Brightness is kept per row: odd rows are brighter, even rows as grabbed.
    const double even = 0.299 * 250, odd = 0.299 * 255 + 0.587 * 45 + 0.114 * 20;
    for (int y = 0; y < 96; ++y)
        EXPECT_NEAR(Luma(p, 40, y), y % 2 ? odd : even, 8) << "row " << y;

    Input.Effect = false;
    const TDecodedJpeg off = Snap();
    EXPECT_NEAR(Luma(off.Picture, 40, 1), even, 4);
}

TEST_F(TSnapshotFixture, CaptionIsWhiteOnBlackThreePixelsFromTheCorner)
{
    Camera.Frame = Flat(320, 240, 128, 128, 128);
    const TDecodedJpeg j = Snap();
    const TBitmap& p = j.Picture;
    TTextRenderer font(9, 96);
    const TTextExtent e = font.TextExtent(StampText(Stamp));
    const int left = 320 - e.Width - 3, top = 240 - e.Height - 3;
    ASSERT_GT(e.Width, 40);

    int dark = 0, bright = 0, total = 0;
    for (int y = top + 1; y < 237 - 1; ++y)
        for (int x = left + 1; x < 317 - 1; ++x, ++total) {
            const uint8_t* px = p.ScanLine(y) + x * 3;
            ASSERT_LT(std::abs(px[0] - px[2]), 24) << "not neutral at " << x << "," << y;
            dark += px[1] < 50;
            bright += px[1] > 190;
        }
    EXPECT_GT(dark, total / 2);
    EXPECT_GT(bright, total / 20);
    // The frame shows around the box: right and bottom margins, left and
    // above; the box's own edges are mostly black (glyphs may touch them).
    int darkLeft = 0, darkTop = 0;
    for (int y = top; y < 237; ++y) {
        EXPECT_NEAR(Luma(p, 318, y), 128, 16) << y;
        EXPECT_NEAR(Luma(p, left - 3, y), 128, 16) << y;
        darkLeft += Luma(p, left, y) < 64;
    }
    for (int x = left; x < 317; ++x) {
        EXPECT_NEAR(Luma(p, x, 238), 128, 16) << x;
        EXPECT_NEAR(Luma(p, x, top - 3), 128, 16) << x;
        darkTop += Luma(p, x, top) < 64;
    }
    EXPECT_GT(darkLeft, e.Height * 2 / 3);
    EXPECT_GT(darkTop, e.Width * 2 / 3);
}

TEST_F(TSnapshotFixture, TheMessageReplacesTheDateAndTime)
{
    Camera.Frame = TestPicture(200, 100);
    Input.Message = StampText(Stamp);
    TakeSnapshot(Camera.Grab(), Input, "as-message.jpg", Stamp);
    Input.Message.clear();
    TakeSnapshot(Camera.Grab(), Input, "as-stamp.jpg", Stamp);
    EXPECT_EQ(ReadFileBytes(Dir / "as-message.jpg"), ReadFileBytes(Dir / "as-stamp.jpg"));

    Camera.Frame = Flat(200, 100, 128, 128, 128);
    Input.Message = "ライブカメラ";
    const TDecodedJpeg j = Snap();
    TTextRenderer font(9, 96);
    const int left = 200 - font.TextExtent(Input.Message).Width - 3;
    const int mid = 100 - 3 - font.TextExtent("x").Height / 2;
    EXPECT_NEAR(Luma(j.Picture, left - 3, mid), 128, 16);
    EXPECT_LT(Luma(j.Picture, left + 1, mid + 5), 64);
    EXPECT_NE(StampText(Stamp), StampText(Stamp + std::chrono::hours(25)));
}

TEST_F(TSnapshotFixture, ACaptionWiderThanThePictureIsCutOnTheLeft)
{
    Camera.Frame = Flat(48, 32, 128, 128, 128);
    Input.Message = "a message far wider than this little picture";
    const TDecodedJpeg j = Snap();
    EXPECT_EQ(j.Picture.Width(), 48);
    EXPECT_LT(Luma(j.Picture, 0, 28), 100);
    EXPECT_NEAR(Luma(j.Picture, 0, 2), 128, 16);
}

TEST_F(TSnapshotFixture, AClosedCameraRepeatsTheLastFrame)
{
    Camera.Frame = TestPicture(160, 120);
    TakeSnapshot(Camera.Grab(), Input, "first.jpg", Stamp);
    Camera.Open = false;
    Camera.Frame = Flat(160, 120, 0, 0, 255);
    TakeSnapshot(Camera.Grab(), Input, "second.jpg", Stamp);
    TakeSnapshot(Camera.Grab(), Input, "third.jpg", Stamp + std::chrono::seconds(3));
    EXPECT_EQ(Camera.Grabs, 3);
    EXPECT_EQ(ReadFileBytes(Dir / "first.jpg"), ReadFileBytes(Dir / "second.jpg"));
    const TDecodedJpeg a = DecodeJpegFile(Dir / "first.jpg"), c = DecodeJpegFile(Dir / "third.jpg");
    ASSERT_TRUE(a.Ok && c.Ok);
    EXPECT_EQ(std::memcmp(a.Picture.Data(), c.Picture.Data(), 160 * 3 * 96), 0);
}

TEST_F(TSnapshotFixture, FailuresReachTheCallerAndTheOldFilesStay)
{
    Camera.Open = false;  // never grabbed: no bitmap file
    EXPECT_THROW(TakeSnapshot(Camera.Grab(), Input, "http.jpg", Stamp), EFOpenError);
    EXPECT_TRUE(Dir.Names().empty());

    Camera.Open = true;
    Camera.Frame = TestPicture(64, 48);
    Snap();
    const std::vector<uint8_t> jpeg = ReadFileBytes(Dir / "http.jpg");
    Camera.Open = false;
    WriteFileBytes(Dir / "http.bmp", {'B', 'M', 0, 0});  // a broken frame
    EXPECT_THROW(TakeSnapshot(Camera.Grab(), Input, "http.jpg", Stamp), EInvalidGraphic);
    EXPECT_EQ(ReadFileBytes(Dir / "http.jpg"), jpeg);

    Camera.Open = true;
    ::mkdir((Dir / "sub").c_str(), 0755);
    WriteFileBytes(Dir / "sub/x", {1});
    EXPECT_THROW(TakeSnapshot(Camera.Grab(), Input, "sub", Stamp), EFCreateError);
    Input.AppDir = Dir / "missing/";
    EXPECT_THROW(TakeSnapshot(Camera.Grab(), Input, "http.jpg", Stamp), EFOpenError);
    const TGrabFrame inMemory = [this](const std::string&) { return &Camera.Frame; };
    EXPECT_THROW(TakeSnapshot(inMemory, Input, "http.jpg", Stamp), EFCreateError);
    auto names = Dir.Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"http.bmp", "http.jpg", "sub"}));
}

TEST_F(TSnapshotFixture, GivesTheBytesOfTheStepsDoneOnAPlainBitmap)
{
    // Odd sizes (row padding, a tint tail that is no multiple of 16 pixels),
    // a clamped channel, and both captions; from the bitmap file's rows and
    // from the grabbed pixels in memory, which are written to the file.
    Camera.Frame = TestPicture(101, 37);
    Camera.Frame.FillRect(0, 0, 50, 37, 250, 30, 240);
    const TGrabFrame inMemory = [this](const std::string&) { return &Camera.Frame; };
    for (bool fromMemory : {false, true})
        for (bool effect : {false, true})
            for (const char* message : {"", "ライブ"}) {
                Input.Effect = effect;
                Input.Message = message;
                Input.EffectR = effect && *message ? 300 : 55;
                ::unlink((Dir / "http.bmp").c_str());
                if (fromMemory)
                    TakeSnapshot(inMemory, Input, "http.jpg", Stamp);
                else
                    TakeSnapshot(Camera.Grab(), Input, "http.jpg", Stamp);
                EXPECT_EQ(ReadFileBytes(Dir / "http.bmp"), EncodeBitmapFile(Camera.Frame));
                TBitmap reference = Camera.Frame;
                if (effect)
                    for (int y = 1; y < reference.Height(); y += 2)
                        for (int x = 0; x < reference.Width(); ++x) {
                            uint8_t* p = reference.ScanLine(y) + x * 3;
                            const int32_t sums[3] = {p[0] + Input.EffectR, p[1] + Input.EffectG, p[2] + Input.EffectB};
                            for (int c = 0; c < 3; ++c)
                                p[c] = static_cast<uint8_t>(std::min(sums[c], 255));
                        }
                TTextRenderer font(9, 96);
                const std::string text = CaptionText(Input.Message, Stamp);
                const TTextExtent e = font.TextExtent(text);
                font.TextOut(reference, 101 - e.Width - 3, 37 - e.Height - 3, text, TRGBColor{255, 255, 255},
                             TRGBColor{0, 0, 0}, true);
                EXPECT_EQ(ReadFileBytes(Dir / "http.jpg"), EncodeJpeg(reference, 80))
                    << "memory " << fromMemory << " effect " << effect << " message " << message;
            }
}

} // namespace

namespace {

// Only the built-in test pattern, whatever cameras the machine has.
class TPatternOnly : public TDriverTable {
public:
    bool Describe(int Index, std::string& Name, std::string& Version) override
    {
        Name = TTestPatternDriver::DriverName;
        Version = TTestPatternDriver::DriverVersion;
        return Index == 0;
    }
    std::unique_ptr<TCaptureDriver> Create(int Index) override
    {
        return Index == 0 ? std::make_unique<TTestPatternDriver>() : nullptr;
    }
};

TEST_F(TSnapshotFixture, TheCaptureControlsFramesAndItsClosedDriver)
{
    TPatternOnly table;
    SetDriverTable(&table);
    struct TRestore {
        ~TRestore() { SetDriverTable(nullptr); }
    } restore;
    {
        TFrameGrabber grabber(nullptr);
        grabber.SetDriverIndex(0);
        grabber.SetDriverOpen(true);
        ASSERT_TRUE(grabber.DriverOpen());
        TakeSnapshot(GrabberToFile(grabber), Input, "open.jpg", Stamp);
        EXPECT_EQ(grabber.SingleImageFile, Dir / "http.bmp");
        const TDecodedJpeg open = DecodeJpegFile(Dir / "open.jpg");
        ASSERT_TRUE(open.Ok) << open.Error;
        EXPECT_EQ(open.Picture.Width(), 320);
        EXPECT_EQ(open.Picture.Height(), 240);

        // Closed: the grab and the save do nothing, the last frame returns.
        grabber.SetDriverOpen(false);
        const std::vector<uint8_t> frame = ReadFileBytes(Dir / "http.bmp");
        TakeSnapshot(GrabberToFile(grabber), Input, "closed1.jpg", Stamp);
        TakeSnapshot(GrabberToFile(grabber), Input, "closed2.jpg", Stamp);
        EXPECT_EQ(ReadFileBytes(Dir / "http.bmp"), frame);
        EXPECT_EQ(ReadFileBytes(Dir / "closed1.jpg"), ReadFileBytes(Dir / "open.jpg"));
        EXPECT_EQ(ReadFileBytes(Dir / "closed2.jpg"), ReadFileBytes(Dir / "open.jpg"));
    }
}

} // namespace
