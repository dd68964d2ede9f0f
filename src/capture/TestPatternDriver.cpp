#include "capture/TestPatternDriver.h"

#include <algorithm>
#include <cstring>

namespace {

// 3x5 digits, one row a byte, bit 2 the left column.
constexpr uint8_t Digits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void FillRect(TBitmap& b, int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t bl)
{
    int x1 = std::min(b.Width(), x0 + w), y1 = std::min(b.Height(), y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    for (int y = y0; y < y1; ++y) {
        uint8_t* p = b.ScanLine(y) + x0 * 3;
        for (int x = x0; x < x1; ++x, p += 3) {
            p[0] = r;
            p[1] = g;
            p[2] = bl;
        }
    }
}

void Background(TBitmap& b, int pattern, unsigned n)
{
    const int w = b.Width(), h = b.Height();
    if (pattern == 1) {
        for (int y = 0; y < h; ++y) {
            uint8_t* p = b.ScanLine(y);
            const uint8_t g = static_cast<uint8_t>(y * 255 / std::max(1, h - 1));
            for (int x = 0; x < w; ++x, p += 3) {
                p[0] = static_cast<uint8_t>(x * 255 / std::max(1, w - 1));
                p[1] = g;
                p[2] = static_cast<uint8_t>(n * 2);
            }
        }
        return;
    }
    if (pattern == 2) {
        const int cell = std::max(4, h / 12);
        for (int y = 0; y < h; ++y) {
            uint8_t* p = b.ScanLine(y);
            for (int x = 0; x < w; ++x, p += 3) {
                const bool on = (((x + static_cast<int>(n % (2u * cell))) / cell) + (y / cell)) % 2 == 0;
                p[0] = p[1] = p[2] = on ? 224 : 32;
            }
        }
        return;
    }
    static constexpr uint8_t Bars[8][3] = {
        {255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
        {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0},
    };
    if (h == 0)
        return;
    uint8_t* row = b.ScanLine(0);
    for (int x = 0; x < w; ++x) {
        const uint8_t* c = Bars[x * 8 / w];
        std::memcpy(row + x * 3, c, 3);
    }
    for (int y = 1; y < h; ++y)
        std::memcpy(b.ScanLine(y), row, static_cast<size_t>(w) * 3);
}

void Number(TBitmap& b, unsigned n, int scale)
{
    char text[16];
    int len = 0;
    do {
        text[len++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n && len < 15);
    std::reverse(text, text + len);
    const int x0 = 2 * scale, y0 = 2 * scale;
    FillRect(b, x0 - scale, y0 - scale, len * 4 * scale + scale, 7 * scale, 0, 0, 0);
    for (int i = 0; i < len; ++i)
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 3; ++c)
                if (Digits[text[i] - '0'][r] & (4 >> c))
                    FillRect(b, x0 + (i * 4 + c) * scale, y0 + r * scale, scale, scale, 255, 255, 255);
}

} // namespace

const std::vector<TTestPatternDriver::TSize>& TTestPatternDriver::Sizes()
{
    static const std::vector<TSize> sizes = {{160, 120}, {320, 240}, {352, 288}, {640, 480}, {1280, 720}, {1920, 1080}};
    return sizes;
}

const std::vector<std::string>& TTestPatternDriver::Patterns()
{
    static const std::vector<std::string> patterns = {"Colour bars", "Gradient", "Checkerboard"};
    return patterns;
}

bool TTestPatternDriver::Open()
{
    FFrame = 0;
    int w = ReadCaptureSetting(DriverName, "width", FWidth), h = ReadCaptureSetting(DriverName, "height", FHeight);
    const bool requested = RequestedCaptureSize(w, h);
    SetSize(w, h);
    SetPattern(ReadCaptureSetting(DriverName, "input", FPattern));
    if (requested)
        Remember();
    return true;
}

void TTestPatternDriver::Remember() const
{
    WriteCaptureSetting(DriverName, "width", FWidth);
    WriteCaptureSetting(DriverName, "height", FHeight);
    WriteCaptureSetting(DriverName, "input", FPattern);
}

void TTestPatternDriver::Close() {}

bool TTestPatternDriver::DlgVideoSource()
{
    const int chosen = ShowCaptureDialog("Video Source", Patterns(), FPattern);
    if (chosen < 0 || chosen >= static_cast<int>(Patterns().size()))
        return false;
    SetPattern(chosen);
    Remember();
    return true;
}

bool TTestPatternDriver::DlgVideoFormat()
{
    std::vector<std::string> names;
    int current = -1;
    for (size_t i = 0; i < Sizes().size(); ++i) {
        names.push_back(std::to_string(Sizes()[i].Width) + "x" + std::to_string(Sizes()[i].Height));
        if (Sizes()[i].Width == FWidth && Sizes()[i].Height == FHeight)
            current = static_cast<int>(i);
    }
    const int chosen = ShowCaptureDialog("Video Format", names, current);
    if (chosen < 0 || chosen >= static_cast<int>(names.size()))
        return false;
    SetSize(Sizes()[chosen].Width, Sizes()[chosen].Height);
    Remember();
    return true;
}

void TTestPatternDriver::SetSize(int AWidth, int AHeight)
{
    FWidth = std::clamp(AWidth, 1, 1920);
    FHeight = std::clamp(AHeight, 1, 1080);
}

void TTestPatternDriver::SetPattern(int Value)
{
    FPattern = std::clamp(Value, 0, static_cast<int>(Patterns().size()) - 1);
}

bool TTestPatternDriver::LatestFrame(TBitmap& Frame)
{
    if (Frame.Width() != FWidth || Frame.Height() != FHeight)
        Frame.SetSize(FWidth, FHeight);
    Render(Frame, FPattern, FFrame++);
    return true;
}

void TTestPatternDriver::Render(TBitmap& Frame, int Pattern, unsigned Number)
{
    const int w = Frame.Width(), h = Frame.Height();
    if (w == 0 || h == 0)
        return;
    Background(Frame, Pattern, Number);
    const int side = std::max(4, h / 6);
    const int travel = std::max(1, w - side + 1);
    const int x = static_cast<int>((Number * 4u) % static_cast<unsigned>(travel));
    const int y = (h - side) / 2;
    FillRect(Frame, x, y, side, side, 255, 255, 255);
    FillRect(Frame, x + side / 4, y + side / 4, side / 2, side / 2, 255, 0, 0);
    ::Number(Frame, Number, std::max(1, h / 60));
}
