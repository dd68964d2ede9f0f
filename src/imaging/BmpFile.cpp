#include "imaging/BmpFile.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr int64_t MaxDimension = 32768;

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

[[noreturn]] void Invalid(const char* Why)
{
    throw EInvalidGraphic(std::string("Bitmap image is not valid: ") + Why);
}

// Shift and width of a contiguous bit-field mask.
struct TField {
    int Shift = 0;
    int Bits = 0;
};

TField FieldOf(uint32_t Mask)
{
    TField f;
    if (Mask == 0)
        return f;
    while (!(Mask & 1)) {
        Mask >>= 1;
        ++f.Shift;
    }
    while (Mask & 1) {
        Mask >>= 1;
        ++f.Bits;
    }
    if (Mask != 0)
        Invalid("colour mask is not contiguous");
    return f;
}

uint8_t Extract(uint32_t Pixel, TField F)
{
    if (F.Bits == 0)
        return 0;
    uint32_t v = (Pixel >> F.Shift) & ((F.Bits >= 32) ? 0xFFFFFFFFu : ((1u << F.Bits) - 1));
    if (F.Bits >= 8)
        return static_cast<uint8_t>(v >> (F.Bits - 8));
    return static_cast<uint8_t>((v * 255 + ((1u << F.Bits) - 1) / 2) / ((1u << F.Bits) - 1));
}

size_t StrideOf(int Width) { return (static_cast<size_t>(Width) * 3 + 3) & ~size_t(3); }

// The two headers of a 24-bit bottom-up file of Width x Height pixels.
void PutHeaders(uint8_t* P, int Width, int Height)
{
    const size_t imageSize = StrideOf(Width) * Height;
    const size_t offset = BmpFileHeaderSize + BmpInfoHeaderSize;
    std::memset(P, 0, offset);
    P[0] = 'B';
    P[1] = 'M';
    Put32(P + 2, static_cast<uint32_t>(offset + imageSize));
    Put32(P + 10, static_cast<uint32_t>(offset));
    P += BmpFileHeaderSize;
    Put32(P + 0, BmpInfoHeaderSize);
    Put32(P + 4, static_cast<uint32_t>(Width));
    Put32(P + 8, static_cast<uint32_t>(Height));
    Put16(P + 12, 1);
    Put16(P + 14, 24);
    Put32(P + 16, BI_RGB);
    Put32(P + 20, static_cast<uint32_t>(imageSize));
}

size_t FileSizeOf(const TBitmap& Bitmap)
{
    return BmpFileHeaderSize + BmpInfoHeaderSize + StrideOf(Bitmap.Width()) * Bitmap.Height();
}

// The file image of Bitmap into Out, FileSizeOf(Bitmap) bytes, every one
// of them written.
void PutFile(const TBitmap& Bitmap, uint8_t* Out)
{
    PutHeaders(Out, Bitmap.Width(), Bitmap.Height());
    Out += BmpFileHeaderSize + BmpInfoHeaderSize;
    const size_t rowBytes = static_cast<size_t>(Bitmap.Width()) * 3;
    const size_t padding = StrideOf(Bitmap.Width()) - rowBytes;
    for (int row = Bitmap.Height() - 1; row >= 0; --row, Out += rowBytes + padding) {
        SwapRedBlue(Bitmap.ScanLine(row), Out, Bitmap.Width());
        std::memset(Out + rowBytes, 0, padding);
    }
}

} // namespace

std::vector<uint8_t> EncodeBitmapFile(const TBitmap& Bitmap)
{
    std::vector<uint8_t> out(FileSizeOf(Bitmap));
    PutFile(Bitmap, out.data());
    return out;
}

namespace {

// What the headers say about the pixel rows.
struct TLayout {
    int Width = 0, Height = 0;
    bool TopDown = false;
    int BytesPerPixel = 3;
    TField Red{16, 8}, Green{8, 8}, Blue{0, 8};
    uint32_t OffBits = 0;
    uint64_t Stride = 0;
    uint64_t Needed = 0;  // bytes of pixel data; the last row's padding may be missing
};

// The headers need at most this many leading bytes (masks included).
constexpr size_t HeadBytes = BmpFileHeaderSize + BmpInfoHeaderSize + 12;

// Head holds the first min(FileSize, HeadBytes) bytes of a file of FileSize bytes.
TLayout ParseHeaders(const uint8_t* Head, uint64_t FileSize)
{
    if (FileSize < BmpFileHeaderSize + BmpInfoHeaderSize)
        Invalid("file too short");
    if (Head[0] != 'B' || Head[1] != 'M')
        Invalid("no bitmap file signature");
    TLayout l;
    l.OffBits = Get32(Head + 10);
    const uint8_t* info = Head + BmpFileHeaderSize;
    const uint32_t infoSize = Get32(info);
    if (infoSize < BmpInfoHeaderSize || infoSize > FileSize - BmpFileHeaderSize)
        Invalid("unsupported header");
    const int32_t width = static_cast<int32_t>(Get32(info + 4));
    const int32_t rawHeight = static_cast<int32_t>(Get32(info + 8));
    const uint16_t planes = Get16(info + 12);
    const uint16_t bitCount = Get16(info + 14);
    const uint32_t compression = Get32(info + 16);

    l.TopDown = rawHeight < 0;
    const int64_t height = l.TopDown ? -int64_t(rawHeight) : int64_t(rawHeight);
    if (width <= 0 || height == 0 || width > MaxDimension || height > MaxDimension)
        Invalid("bad dimensions");
    if (planes != 1)
        Invalid("bad plane count");
    if (bitCount != 24 && bitCount != 32)
        Invalid("unsupported pixel format");
    l.Width = width;
    l.Height = static_cast<int>(height);
    l.BytesPerPixel = bitCount / 8;

    if (compression == BI_BITFIELDS) {
        if (bitCount != 32)
            Invalid("bit fields need 32 bits a pixel");
        // The masks follow a 40-byte header, or sit inside a larger one.
        if (FileSize < HeadBytes)
            Invalid("file too short");
        const uint8_t* masks = Head + BmpFileHeaderSize + BmpInfoHeaderSize;
        l.Red = FieldOf(Get32(masks));
        l.Green = FieldOf(Get32(masks + 4));
        l.Blue = FieldOf(Get32(masks + 8));
    } else if (compression != BI_RGB) {
        Invalid("compressed bitmaps are not supported");
    }

    l.Stride = (uint64_t(width) * l.BytesPerPixel + 3) & ~uint64_t(3);
    l.Needed = l.Stride * uint64_t(height - 1) + uint64_t(width) * l.BytesPerPixel;
    if (l.OffBits < BmpFileHeaderSize + infoSize || l.OffBits > FileSize || FileSize - l.OffBits < l.Needed)
        Invalid("pixel data truncated");
    return l;
}

// Converts file row Row (counted in file order) into the bitmap.
void ConvertRow(const TLayout& L, const uint8_t* Src, int Row, TBitmap& Bitmap)
{
    uint8_t* dst = Bitmap.ScanLine(L.TopDown ? Row : L.Height - 1 - Row);
    if (L.BytesPerPixel == 3) {
        SwapRedBlue(Src, dst, L.Width);
    } else {
        for (int x = 0; x < L.Width; ++x, Src += 4, dst += 3) {
            const uint32_t px = Get32(Src);
            dst[0] = Extract(px, L.Red);
            dst[1] = Extract(px, L.Green);
            dst[2] = Extract(px, L.Blue);
        }
    }
}

} // namespace

TBitmap DecodeBitmapFile(const uint8_t* Data, size_t Size)
{
    uint8_t head[HeadBytes] = {};
    if (Size > 0)
        std::memcpy(head, Data, std::min(Size, HeadBytes));
    const TLayout l = ParseHeaders(head, Size);
    TBitmap bitmap(l.Width, l.Height);
    for (int row = 0; row < l.Height; ++row)
        ConvertRow(l, Data + l.OffBits + l.Stride * row, row, bitmap);
    return bitmap;
}

// One write of the whole file (ext4 charges much more for a file written in
// pieces), from memory that is not cleared first.
void SaveBitmapFile(const TBitmap& Bitmap, const std::string& FileName)
{
    // In pieces of about 64 KB, turned around in a buffer that stays in
    // the cache, rather than a second whole picture in fresh memory.
    TAtomicFile file(FileName);
    uint8_t head[BmpFileHeaderSize + BmpInfoHeaderSize];
    PutHeaders(head, Bitmap.Width(), Bitmap.Height());
    file.Write(head, sizeof head);
    const size_t rowBytes = static_cast<size_t>(Bitmap.Width()) * 3;
    const size_t stride = StrideOf(Bitmap.Width());
    const size_t rowsPerPiece = std::max<size_t>(1, 65536 / std::max<size_t>(stride, 1));
    std::vector<uint8_t> piece(stride * rowsPerPiece);
    for (int row = Bitmap.Height() - 1; row >= 0;) {
        uint8_t* out = piece.data();
        for (size_t n = 0; n < rowsPerPiece && row >= 0; ++n, --row, out += stride) {
            SwapRedBlue(Bitmap.ScanLine(row), out, Bitmap.Width());
            std::memset(out + rowBytes, 0, stride - rowBytes);
        }
        file.Write(piece.data(), static_cast<size_t>(out - piece.data()));
    }
    file.Commit();
}

namespace {

// Opens an existing file for loading; Size receives its size.
std::unique_ptr<TFileStream> OpenForLoad(const std::string& FileName, int64_t& Size)
{
    if (!FileExists(FileName))
        throw EFOpenError("Cannot open file " + FileName);
    auto stream = std::make_unique<TFileStream>(FileName, fmOpenRead | fmShareDenyWrite);
    Size = stream->Size();
    if (Size < 0)
        throw EReadError("Stream read error");
    return stream;
}

// The layout the headers give; a bad file is named in the error.
TLayout ParseFileHeaders(const uint8_t* Head, uint64_t Size, const std::string& FileName)
{
    try {
        return ParseHeaders(Head, Size);
    } catch (const EInvalidGraphic& e) {
        throw EInvalidGraphic(std::string(e.what()) + " (" + FileName + ")");
    }
}

} // namespace

// Reads the rows in pieces straight from the file: no second copy of the
// whole picture in memory.
TBitmap LoadBitmapFile(const std::string& FileName)
{
    int64_t size = 0;
    std::unique_ptr<TFileStream> stream = OpenForLoad(FileName, size);
    uint8_t head[HeadBytes] = {};
    stream->ReadBuffer(head, static_cast<int32_t>(std::min<int64_t>(size, HeadBytes)));
    const TLayout l = ParseFileHeaders(head, static_cast<uint64_t>(size), FileName);
    TBitmap bitmap(l.Width, l.Height);
    if (stream->Seek(l.OffBits, soFromBeginning) != l.OffBits)
        throw EReadError("Stream read error");
    const int rowsPerPiece = static_cast<int>(std::max<uint64_t>(1, 65536 / l.Stride));
    std::vector<uint8_t> piece(static_cast<size_t>(l.Stride) * rowsPerPiece);
    uint64_t left = l.Needed;
    for (int row = 0; row < l.Height; row += rowsPerPiece) {
        const int rows = std::min(rowsPerPiece, l.Height - row);
        const uint64_t bytes = std::min<uint64_t>(left, l.Stride * rows);
        stream->ReadBuffer(piece.data(), static_cast<int32_t>(bytes));
        left -= bytes;
        for (int r = 0; r < rows; ++r)
            ConvertRow(l, piece.data() + l.Stride * r, row + r, bitmap);
    }
    return bitmap;
}

// The whole file in one read; a 24-bit file's rows are then used where
// they lie.
void LoadBitmapFile(const std::string& FileName, TBitmapFileImage& Image)
{
    Image.FView = TPixelView();
    int64_t size = 0;
    std::unique_ptr<TFileStream> stream = OpenForLoad(FileName, size);
    if (static_cast<uint64_t>(size) > Image.FFile.size())
        Image.FFile.resize(static_cast<size_t>(size));
    for (int64_t done = 0; done < size;) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, 1 << 30));
        stream->ReadBuffer(Image.FFile.data() + done, n);
        done += n;
    }
    uint8_t head[HeadBytes] = {};
    std::memcpy(head, Image.FFile.data(), static_cast<size_t>(std::min<int64_t>(size, HeadBytes)));
    const TLayout l = ParseFileHeaders(head, static_cast<uint64_t>(size), FileName);
    TPixelView& v = Image.FView;
    if (l.BytesPerPixel == 3) {
        // In place: B, G, R rows as they lie in the file.
        uint8_t* first = Image.FFile.data() + l.OffBits;
        v.Stride = l.TopDown ? ptrdiff_t(l.Stride) : -ptrdiff_t(l.Stride);
        v.Top = l.TopDown ? first : first + l.Stride * (l.Height - 1);
        v.Width = l.Width;
        v.Height = l.Height;
        v.Bgr = true;
    } else {
        Image.FConverted.SetSize(l.Width, l.Height);
        for (int row = 0; row < l.Height; ++row)
            ConvertRow(l, Image.FFile.data() + l.OffBits + l.Stride * row, row, Image.FConverted);
        v = ViewOf(Image.FConverted);
    }
}

void TBitmapFileImage::Release()
{
    FView = TPixelView();
    std::vector<uint8_t>().swap(FFile);
    FConverted = TBitmap();
}
