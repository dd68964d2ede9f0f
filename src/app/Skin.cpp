#include "app/Skin.h"

#include <cstdlib>

namespace {

struct Rgb {
    uint8_t R, G, B;
};

constexpr Rgb White{255, 255, 255};
constexpr Rgb Outline{28, 36, 64};
constexpr Rgb Frame{58, 76, 128};
constexpr Rgb Highlight{132, 152, 204};

// The title bar's vertical gradient, rows 0 to 20.
Rgb TitleColor(int y)
{
    auto mix = [y](int a, int b) { return static_cast<uint8_t>(a + (b - a) * y / 20); };
    return Rgb{mix(104, 52), mix(128, 70), mix(186, 122)};
}

void Put(TBitmap& b, int x, int y, Rgb c)
{
    if (x < 0 || y < 0 || x >= b.Width() || y >= b.Height())
        return;
    uint8_t* p = b.ScanLine(y) + x * 3;
    p[0] = c.R;
    p[1] = c.G;
    p[2] = c.B;
}

void Fill(TBitmap& b, int x, int y, int w, int h, Rgb c) { b.FillRect(x, y, w, h, c.R, c.G, c.B); }

void Disc(TBitmap& b, int cx, int cy, int r, Rgb c)
{
    for (int y = -r; y <= r; ++y)
        for (int x = -r; x <= r; ++x)
            if (x * x + y * y <= r * r)
                Put(b, cx + x, cy + y, c);
}

void Ring(TBitmap& b, int cx, int cy, int r, Rgb c)
{
    for (int y = -r; y <= r; ++y)
        for (int x = -r; x <= r; ++x) {
            int d = x * x + y * y;
            if (d <= r * r && d > (r - 1) * (r - 1))
                Put(b, cx + x, cy + y, c);
        }
}

void Line(TBitmap& b, int x0, int y0, int x1, int y1, Rgb c, int thick = 1)
{
    int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        Fill(b, x0 - thick / 2, y0 - thick / 2, thick, thick, c);
        if (x0 == x1 && y0 == y1)
            break;
        int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

TBitmap Mirror(const TBitmap& src)
{
    TBitmap out(src.Width(), src.Height());
    for (int y = 0; y < src.Height(); ++y)
        for (int x = 0; x < src.Width(); ++x) {
            const uint8_t* s = src.ScanLine(y) + (src.Width() - 1 - x) * 3;
            Put(out, x, y, Rgb{s[0], s[1], s[2]});
        }
    return out;
}

// The left border, 6 wide: outline, frame, inner highlight.
void LeftBorder(TBitmap& b, int y0, int h)
{
    Fill(b, 0, y0, 1, h, Outline);
    Fill(b, 1, y0, 4, h, Frame);
    Fill(b, 5, y0, 1, h, Highlight);
}

TBitmap TopLeft()
{
    TBitmap b(32, 21);
    for (int y = 0; y < 21; ++y)
        Fill(b, 0, y, 32, 1, TitleColor(y));
    Fill(b, 0, 0, 32, 1, Outline);
    Fill(b, 0, 0, 1, 21, Outline);
    Fill(b, 1, 1, 31, 1, Highlight);
    // Rounded outer corner.
    Put(b, 0, 0, White);
    Put(b, 1, 0, White);
    Put(b, 0, 1, White);
    Put(b, 1, 1, Outline);
    return b;
}

TBitmap BottomLeft()
{
    TBitmap b(32, 6);
    Fill(b, 0, 0, 32, 6, Frame);
    Fill(b, 0, 0, 32, 1, Highlight);
    LeftBorder(b, 0, 1);
    Fill(b, 0, 5, 32, 1, Outline);
    Fill(b, 0, 0, 1, 6, Outline);
    Put(b, 0, 5, White);
    Put(b, 1, 5, White);
    Put(b, 0, 4, White);
    Put(b, 1, 4, Outline);
    return b;
}

TBitmap LeftEdge()
{
    TBitmap b(6, 15);
    LeftBorder(b, 0, 15);
    return b;
}

void Camera(TBitmap& b, bool on)
{
    Rgb body = on ? Rgb{40, 60, 110} : Rgb{120, 120, 120};
    Fill(b, 1, 5, 14, 9, body);
    Fill(b, 4, 3, 5, 2, body);
    Disc(b, 8, 9, 3, White);
    Disc(b, 8, 9, 2, on ? Rgb{60, 150, 230} : Rgb{170, 170, 170});
    if (on)
        Disc(b, 13, 6, 1, Rgb{230, 40, 40});
}

void Globe(TBitmap& b, bool running)
{
    Rgb c = running ? Rgb{30, 150, 60} : Rgb{130, 130, 130};
    Disc(b, 8, 8, 7, c);
    Rgb l = running ? Rgb{190, 240, 200} : Rgb{210, 210, 210};
    Ring(b, 8, 8, 4, l);
    Line(b, 1, 8, 15, 8, l);
    Line(b, 8, 1, 8, 15, l);
}

void Upload(TBitmap& b)
{
    Rgb c{40, 90, 170};
    Line(b, 8, 2, 8, 11, c, 2);
    Line(b, 8, 2, 4, 6, c, 2);
    Line(b, 8, 2, 12, 6, c, 2);
    Fill(b, 2, 13, 13, 2, Rgb{90, 90, 90});
    Fill(b, 2, 10, 2, 4, Rgb{90, 90, 90});
    Fill(b, 13, 10, 2, 4, Rgb{90, 90, 90});
}

void Gear(TBitmap& b)
{
    Rgb c{90, 90, 100};
    for (int i = 0; i < 4; ++i) {
        static const int d[4][4] = {{8, 1, 8, 15}, {1, 8, 15, 8}, {3, 3, 13, 13}, {3, 13, 13, 3}};
        Line(b, d[i][0], d[i][1], d[i][2], d[i][3], c, 3);
    }
    Disc(b, 8, 8, 5, c);
    Disc(b, 8, 8, 2, White);
}

} // namespace

TBitmap MakeSkinPiece(TSkinPiece Piece)
{
    switch (Piece) {
    case TSkinPiece::Left: return LeftEdge();
    case TSkinPiece::Right: return Mirror(LeftEdge());
    case TSkinPiece::TopLeft: return TopLeft();
    case TSkinPiece::TopRight: return Mirror(TopLeft());
    case TSkinPiece::BottomLeft: return BottomLeft();
    case TSkinPiece::BottomRight: return Mirror(BottomLeft());
    }
    return TBitmap();
}

TBitmap MakeGlyph(TGlyph Glyph)
{
    TBitmap b;
    switch (Glyph) {
    case TGlyph::CameraOff:
    case TGlyph::CameraOn:
        b.SetSize(16, 16);
        b.Fill(255, 255, 255);
        Camera(b, Glyph == TGlyph::CameraOn);
        break;
    case TGlyph::ServerStopped:
    case TGlyph::ServerRunning:
        b.SetSize(17, 17);
        b.Fill(255, 255, 255);
        Globe(b, Glyph == TGlyph::ServerRunning);
        break;
    case TGlyph::Ftp:
        b.SetSize(17, 17);
        b.Fill(255, 255, 255);
        Upload(b);
        break;
    case TGlyph::Setting:
        b.SetSize(17, 17);
        b.Fill(255, 255, 255);
        Gear(b);
        break;
    case TGlyph::Option: {
        b.SetSize(25, 25);
        b.Fill(255, 255, 255);
        Rgb c{70, 70, 80};
        for (int i = 0; i < 3; ++i)
            Fill(b, 6, 6 + i * 4, 13, 2, c);
        for (int i = 0; i < 4; ++i)
            Fill(b, 9 + i, 19 + i, 7 - 2 * i, 1, c);
        break;
    }
    case TGlyph::Minimize:
    case TGlyph::Close: {
        // Drawn over the title bar rows 3 to 18, where the buttons sit.
        b.SetSize(16, 16);
        for (int y = 0; y < 16; ++y)
            Fill(b, 0, y, 16, 1, TitleColor(y + 3));
        if (Glyph == TGlyph::Minimize)
            Fill(b, 4, 10, 8, 2, White);
        else {
            Line(b, 4, 4, 11, 11, White, 2);
            Line(b, 11, 4, 4, 11, White, 2);
        }
        break;
    }
    }
    return b;
}
