// Caption text through FreeType, with fonts chosen by Fontconfig: the
// default sans-serif face, falling back per character to whichever font
// Fontconfig ranks next that has the glyph (Japanese included).
#pragma once

#include <memory>
#include <string>

#include "imaging/Bitmap.h"
#include "imaging/PixelView.h"

struct TTextExtent {
    int Width = 0;
    int Height = 0;
};

struct TRGBColor {
    uint8_t R = 0, G = 0, B = 0;
};

class TTextRenderer {
public:
    // A font of PointSize points on a device of Dpi dots an inch; Family is
    // a Fontconfig family name or generic ("sans-serif").
    explicit TTextRenderer(double PointSize = 9, int Dpi = 96,
                           const std::string& Family = "sans-serif");
    ~TTextRenderer();
    TTextRenderer(const TTextRenderer&) = delete;
    TTextRenderer& operator=(const TTextRenderer&) = delete;

    // Width (sum of advances) and height (ascent + descent) of UTF-8 text.
    TTextExtent TextExtent(const std::string& Text);
    // Draws Text with its top-left corner at (X, Y), clipped to Bitmap.
    // With Opaque, the text's extent is first filled with Background.
    void TextOut(TBitmap& Bitmap, int X, int Y, const std::string& Text,
                 TRGBColor Foreground, TRGBColor Background, bool Opaque = true);
    void TextOut(const TPixelView& Pixels, int X, int Y, const std::string& Text,
                 TRGBColor Foreground, TRGBColor Background, bool Opaque = true);

    // The file of the primary face (for diagnostics).
    std::string PrimaryFontFile() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
