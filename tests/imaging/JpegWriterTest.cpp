#include <cstdlib>

#include <gtest/gtest.h>

#include "imaging/ImagingTestSupport.h"
#include "imaging/JpegWriter.h"

namespace {

double MeanError(const TBitmap& a, const TBitmap& b)
{
    double sum = 0;
    for (size_t i = 0; i < a.ByteSize(); ++i)
        sum += std::abs(int(a.Data()[i]) - int(b.Data()[i]));
    return sum / double(a.ByteSize());
}

TEST(JpegWriter, WritesABaselineColourJfifFileThatDecodes)
{
    TTempDir dir;
    const TBitmap pic = TestPicture(97, 61);  // sizes that are no multiple of 8
    SaveJpegFile(pic, dir / "a.jpg", 80);
    const TDecodedJpeg jpeg = DecodeJpegFile(dir / "a.jpg");
    ASSERT_TRUE(jpeg.Ok) << jpeg.Error;
    EXPECT_EQ(jpeg.Picture.Width(), 97);
    EXPECT_EQ(jpeg.Picture.Height(), 61);
    EXPECT_EQ(jpeg.Components, 3);
    EXPECT_TRUE(jpeg.JFIF);
    EXPECT_FALSE(jpeg.Progressive);
    EXPECT_LT(MeanError(jpeg.Picture, pic), 8.0);  // an unrelated picture is far above
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"a.jpg"});
}

TEST(JpegWriter, QualityIsHonouredAndClamped)
{
    const TBitmap pic = TestPicture(128, 96);
    const size_t low = EncodeJpeg(pic, 10).size();
    const size_t mid = EncodeJpeg(pic, 80).size();
    const size_t high = EncodeJpeg(pic, 100).size();
    EXPECT_LT(low, mid);
    EXPECT_LT(mid, high);
    EXPECT_EQ(EncodeJpeg(pic, 0), EncodeJpeg(pic, 1));
    EXPECT_EQ(EncodeJpeg(pic, 250), EncodeJpeg(pic, 100));
    EXPECT_EQ(EncodeJpeg(pic), EncodeJpeg(pic, 90));
}

TEST(JpegWriter, FailuresRaiseAndKeepTheOldFile)
{
    TTempDir dir;
    EXPECT_THROW(EncodeJpeg(TBitmap()), EJPEG);
    SaveJpegFile(TestPicture(8, 8), dir / "keep.jpg", 80);
    const std::vector<uint8_t> old = ReadFileBytes(dir / "keep.jpg");
    EXPECT_THROW(SaveJpegFile(TBitmap(), dir / "keep.jpg", 80), EJPEG);
    EXPECT_THROW(SaveJpegFile(TestPicture(8, 8), dir / "missing/x.jpg", 80), EFCreateError);
    EXPECT_EQ(ReadFileBytes(dir / "keep.jpg"), old);
    EXPECT_EQ(dir.Names().size(), 1u);
}

} // namespace
