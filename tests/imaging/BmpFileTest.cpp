#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "imaging/BmpFile.h"
#include "imaging/ImagingTestSupport.h"

namespace {

uint32_t U32(const std::vector<uint8_t>& d, size_t at)
{
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | uint32_t(d[at + 3]) << 24;
}
uint16_t U16(const std::vector<uint8_t>& d, size_t at) { return uint16_t(d[at] | d[at + 1] << 8); }

void Set32(std::vector<uint8_t>& d, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        d[at + i] = uint8_t(v >> (8 * i));
}

bool SamePixels(const TBitmap& a, const TBitmap& b)
{
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.Data(), b.Data(), a.ByteSize()) == 0;
}

// 32-bit bitmap file image, optionally top-down, optionally with bit fields.
std::vector<uint8_t> Make32(const TBitmap& src, bool topDown, bool bitFields)
{
    const size_t off = 54 + (bitFields ? 12 : 0);
    const int w = src.Width(), h = src.Height();
    std::vector<uint8_t> d(off + size_t(w) * 4 * h, 0);
    d[0] = 'B';
    d[1] = 'M';
    Set32(d, 2, uint32_t(d.size()));
    Set32(d, 10, uint32_t(off));
    Set32(d, 14, 40);
    Set32(d, 18, uint32_t(w));
    Set32(d, 22, uint32_t(topDown ? -h : h));
    d[26] = 1;
    d[28] = 32;
    Set32(d, 30, bitFields ? 3 : 0);
    if (bitFields) {  // R in the low byte, B in bits 16-23
        Set32(d, 54, 0x000000FF);
        Set32(d, 58, 0x0000FF00);
        Set32(d, 62, 0x00FF0000);
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = src.ScanLine(topDown ? y : h - 1 - y);
        uint8_t* p = d.data() + off + size_t(y) * w * 4;
        for (int x = 0; x < w; ++x, s += 3, p += 4) {
            if (bitFields) {
                p[0] = s[0], p[1] = s[1], p[2] = s[2];
            } else {
                p[0] = s[2], p[1] = s[1], p[2] = s[0];
            }
            p[3] = 0x77;
        }
    }
    return d;
}

TEST(BmpFile, HeaderAndRowLayoutAreTheStandardOnes)
{
    const TBitmap pic = TestPicture(5, 3);  // 15 bytes a row, padded to 16
    const std::vector<uint8_t> d = EncodeBitmapFile(pic);
    ASSERT_EQ(d.size(), 54u + 16 * 3);
    EXPECT_EQ(d[0], 'B');
    EXPECT_EQ(d[1], 'M');
    EXPECT_EQ(U32(d, 2), d.size());
    EXPECT_EQ(U32(d, 6), 0u);   // reserved
    EXPECT_EQ(U32(d, 10), 54u); // pixel offset
    EXPECT_EQ(U32(d, 14), 40u);
    EXPECT_EQ(U32(d, 18), 5u);
    EXPECT_EQ(U32(d, 22), 3u);  // positive: bottom-up
    EXPECT_EQ(U16(d, 26), 1);
    EXPECT_EQ(U16(d, 28), 24);
    EXPECT_EQ(U32(d, 30), 0u);  // BI_RGB
    EXPECT_EQ(U32(d, 34), 48u);
    for (int y = 0; y < 3; ++y) {
        const uint8_t* row = d.data() + 54 + 16 * y;
        const uint8_t* src = pic.ScanLine(2 - y);  // first file row = bottom row
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(row[x * 3 + 0], src[x * 3 + 2]);
            EXPECT_EQ(row[x * 3 + 1], src[x * 3 + 1]);
            EXPECT_EQ(row[x * 3 + 2], src[x * 3 + 0]);
        }
        EXPECT_EQ(row[15], 0) << "padding byte of row " << y;
    }
}

TEST(BmpFile, RoundTripsThroughFilesOfEveryPaddingWidth)
{
    TTempDir dir;
    for (int w : {1, 2, 3, 4, 7, 320}) {
        const TBitmap pic = TestPicture(w, 9);
        SaveBitmapFile(pic, dir / "pic.bmp");
        EXPECT_TRUE(SamePixels(LoadBitmapFile(dir / "pic.bmp"), pic)) << "width " << w;
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"pic.bmp"}) << "no temporary file left";
}

TEST(BmpFile, ReadsTopDownAnd32BitFiles)
{
    const TBitmap pic = TestPicture(6, 4);
    for (bool topDown : {false, true})
        for (bool fields : {false, true}) {
            const std::vector<uint8_t> d = Make32(pic, topDown, fields);
            EXPECT_TRUE(SamePixels(DecodeBitmapFile(d.data(), d.size()), pic))
                << "top-down " << topDown << " bit fields " << fields;
        }
    // The same from files, which are read in pieces.
    TTempDir dir;
    const TBitmap wide = TestPicture(300, 250);  // several pieces
    WriteFileBytes(dir / "32.bmp", Make32(wide, true, true));
    EXPECT_TRUE(SamePixels(LoadBitmapFile(dir / "32.bmp"), wide));
    // 24-bit top-down: flip our own file.
    std::vector<uint8_t> d = EncodeBitmapFile(pic);
    Set32(d, 22, uint32_t(-4));
    const TBitmap flipped = DecodeBitmapFile(d.data(), d.size());
    EXPECT_EQ(std::memcmp(flipped.ScanLine(0), pic.ScanLine(3), 18), 0);
}

TEST(BmpFile, RejectsMalformedFilesWithoutReadingPastThem)
{
    const std::vector<uint8_t> good = EncodeBitmapFile(TestPicture(7, 5));
    // Every truncation is refused (the last row's padding is optional).
    for (size_t n = 0; n + 1 < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        if (n >= good.size() - 3)
            continue;
        EXPECT_THROW(DecodeBitmapFile(cut.data(), cut.size()), EInvalidGraphic) << n;
    }
    auto broken = [&](size_t at, uint32_t value, int bytes = 4) {
        std::vector<uint8_t> d = good;
        for (int i = 0; i < bytes; ++i)
            d[at + i] = uint8_t(value >> (8 * i));
        return d;
    };
    const std::vector<std::vector<uint8_t>> bad = {
        broken(0, 'X', 1),            // signature
        broken(10, 0xFFFFFFF0),       // pixel offset past the end
        broken(10, 20),               // pixel offset inside the headers
        broken(14, 12),               // core header
        broken(14, 0x7FFFFFFF),       // header larger than the file
        broken(18, 0),                // zero width
        broken(18, 0x80000000),       // negative width
        broken(18, 30000),            // width beyond the data
        broken(22, 0x80000000),       // most negative height
        broken(22, 0),                // zero height
        broken(26, 2, 2),             // planes
        broken(28, 8, 2),             // palette format
        broken(28, 16, 2),
        broken(30, 1),                // RLE
        broken(30, 3),                // bit fields on 24 bits
    };
    TTempDir dir;
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_THROW(DecodeBitmapFile(bad[i].data(), bad[i].size()), EInvalidGraphic) << "case " << i;
        WriteFileBytes(dir / "bad.bmp", bad[i]);
        EXPECT_THROW(LoadBitmapFile(dir / "bad.bmp"), EInvalidGraphic) << "file case " << i;
    }
    for (size_t n : {size_t(0), size_t(13), size_t(54), good.size() - 4}) {
        WriteFileBytes(dir / "cut.bmp", std::vector<uint8_t>(good.begin(), good.begin() + n));
        EXPECT_THROW(LoadBitmapFile(dir / "cut.bmp"), EInvalidGraphic) << n;
    }
}

TEST(BmpFile, FileErrorsNameTheFileAndKeepTheOldOne)
{
    TTempDir dir;
    try {
        LoadBitmapFile(dir / "missing.bmp");
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.bmp"), std::string::npos) << e.what();
    }
    EXPECT_THROW(SaveBitmapFile(TestPicture(2, 2), dir / "no/such/dir.bmp"), EFCreateError);

    WriteFileBytes(dir / "junk.bmp", {'B', 'M', 1, 2, 3});
    EXPECT_THROW(LoadBitmapFile(dir / "junk.bmp"), EInvalidGraphic);

    // A target that cannot be replaced (a non-empty directory) leaves no trace.
    ::mkdir((dir / "taken.bmp").c_str(), 0755);
    WriteFileBytes(dir / "taken.bmp/keep", {1});
    EXPECT_THROW(SaveBitmapFile(TestPicture(2, 2), dir / "taken.bmp"), EFCreateError);
    EXPECT_EQ(dir.Names().size(), 2u);
}

TEST(BmpFile, AReaderOfTheOldFileKeepsAWholeOldPicture)
{
    TTempDir dir;
    const TBitmap first = TestPicture(40, 30);
    SaveBitmapFile(first, dir / "f.bmp");
    const std::vector<uint8_t> firstBytes = ReadFileBytes(dir / "f.bmp");
    const int fd = ::open((dir / "f.bmp").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    SaveBitmapFile(TBitmap(100, 100), dir / "f.bmp");
    std::vector<uint8_t> seen(firstBytes.size() + 10);
    const ssize_t n = ::read(fd, seen.data(), seen.size());
    ::close(fd);
    seen.resize(n > 0 ? size_t(n) : 0);
    EXPECT_EQ(seen, firstBytes);
    EXPECT_EQ(LoadBitmapFile(dir / "f.bmp").Width(), 100);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "f.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"f.bmp"});
}

} // namespace
