#include "imaging/TextRenderer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

#include <dlfcn.h>
#include <fontconfig/fontconfig.h>
#include <malloc.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include "platform/Classes.h"

namespace {

// Decodes UTF-8; malformed sequences become U+FFFD.
std::u32string DecodeUtf8(const std::string& Text)
{
    std::u32string out;
    const auto* p = reinterpret_cast<const unsigned char*>(Text.data());
    const size_t n = Text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > n) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        char32_t cp = len == 1 ? c : c & (0x7F >> len);
        bool ok = true;
        for (int k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += len;
    }
    return out;
}

// Fontconfig, mapped while fonts are chosen and let go of afterwards,
// unless something else in the program uses it too: its configuration and
// the library would cost a small daemon about a megabyte for good.
class TFontconfig {
public:
    TFontconfig()
    {
        if (void* loaded = ::dlopen(SoName, RTLD_NOW | RTLD_NOLOAD)) {
            ::dlclose(loaded);
            FShared = true;
        }
        FHandle = ::dlopen(SoName, RTLD_NOW | RTLD_LOCAL);
        if (!FHandle)
            throw Exception(std::string("Cannot load Fontconfig: ") + ::dlerror());
    }
    ~TFontconfig()
    {
        if (!FShared) {
            if (auto fini = Function<decltype(&FcFini)>("FcFini"))
                fini();
            ::malloc_trim(0);
        }
#ifndef __SANITIZE_ADDRESS__  // leak reports name the library only while it is mapped
        ::dlclose(FHandle);
#endif
    }
    TFontconfig(const TFontconfig&) = delete;
    TFontconfig& operator=(const TFontconfig&) = delete;

    template <class F>
    F Function(const char* Name) const
    {
        return reinterpret_cast<F>(::dlsym(FHandle, Name));
    }

private:
    static constexpr char SoName[] = "libfontconfig.so.1";
    void* FHandle = nullptr;
    bool FShared = false;
};

// The code points a font has, kept as Fontconfig's pages of 256 bits.
class TCharSet {
public:
    void Add(FcChar32 Base, const FcChar32 (&Map)[FC_CHARSET_MAP_SIZE])
    {
        TPage page{Base, {}};
        std::copy(std::begin(Map), std::end(Map), page.Bits.begin());
        FPages.push_back(page);
    }
    bool Has(char32_t Code) const
    {
        const FcChar32 base = Code & ~0xFFu;
        const auto it = std::lower_bound(FPages.begin(), FPages.end(), base,
                                         [](const TPage& p, FcChar32 b) { return p.Base < b; });
        return it != FPages.end() && it->Base == base && (it->Bits[(Code & 0xFF) >> 5] >> (Code & 31) & 1);
    }

private:
    struct TPage {
        FcChar32 Base;
        std::array<FcChar32, FC_CHARSET_MAP_SIZE> Bits;
    };
    std::vector<TPage> FPages;  // in ascending order, as Fontconfig gives them
};

struct TGlyph {
    std::vector<uint8_t> Coverage;
    int Width = 0, Rows = 0, Left = 0, Top = 0;
    FT_Pos Advance = 0;  // 26.6
};

} // namespace

struct TTextRenderer::TImpl {
    struct TFont {
        std::string File;
        int Index = 0;
        bool HasCharset = false;
        TCharSet Charset;
        FT_Face Face = nullptr;
        bool Failed = false;
    };

    FT_Library Library = nullptr;
    std::vector<TFont> Fonts;
    double PointSize;
    int Dpi;
    int Ascent = 0, Descent = 0;
    std::unordered_map<char32_t, TGlyph> Glyphs;

    TImpl(double APointSize, int ADpi, const std::string& Family) : PointSize(APointSize), Dpi(ADpi)
    {
        if (FT_Init_FreeType(&Library) != 0)
            throw Exception("Cannot initialise FreeType");
        try {
            FindFonts(Family);
            TFont* primary = nullptr;
            for (auto& f : Fonts)
                if (OpenFace(f)) {
                    primary = &f;
                    break;
                }
            if (!primary)
                throw Exception("No usable font for \"" + Family + "\"");
            const FT_Size_Metrics& m = primary->Face->size->metrics;
            Ascent = static_cast<int>((m.ascender + 63) >> 6);
            Descent = static_cast<int>((-m.descender + 63) >> 6);
        } catch (...) {
            Release();
            throw;
        }
    }

    ~TImpl() { Release(); }

    void Release()
    {
        for (auto& f : Fonts)
            if (f.Face)
                FT_Done_Face(f.Face);
        Fonts.clear();
        if (Library)
            FT_Done_FreeType(Library);
        Library = nullptr;
    }

    void FindFonts(const std::string& Family)
    {
        const TFontconfig fc;
        const auto init = fc.Function<decltype(&FcInit)>("FcInit");
        const auto nameParse = fc.Function<decltype(&FcNameParse)>("FcNameParse");
        const auto addDouble = fc.Function<decltype(&FcPatternAddDouble)>("FcPatternAddDouble");
        const auto substitute = fc.Function<decltype(&FcConfigSubstitute)>("FcConfigSubstitute");
        const auto defaults = fc.Function<decltype(&FcDefaultSubstitute)>("FcDefaultSubstitute");
        const auto sort = fc.Function<decltype(&FcFontSort)>("FcFontSort");
        const auto prepare = fc.Function<decltype(&FcFontRenderPrepare)>("FcFontRenderPrepare");
        const auto getString = fc.Function<decltype(&FcPatternGetString)>("FcPatternGetString");
        const auto getInteger = fc.Function<decltype(&FcPatternGetInteger)>("FcPatternGetInteger");
        const auto getCharSet = fc.Function<decltype(&FcPatternGetCharSet)>("FcPatternGetCharSet");
        const auto firstPage = fc.Function<decltype(&FcCharSetFirstPage)>("FcCharSetFirstPage");
        const auto nextPage = fc.Function<decltype(&FcCharSetNextPage)>("FcCharSetNextPage");
        const auto destroyPattern = fc.Function<decltype(&FcPatternDestroy)>("FcPatternDestroy");
        const auto destroySet = fc.Function<decltype(&FcFontSetDestroy)>("FcFontSetDestroy");
        if (!init || !nameParse || !addDouble || !substitute || !defaults || !sort || !prepare || !getString ||
            !getInteger || !getCharSet || !firstPage || !nextPage || !destroyPattern || !destroySet || !init())
            throw Exception("Cannot initialise Fontconfig");
        FcPattern* pattern = nameParse(reinterpret_cast<const FcChar8*>(Family.c_str()));
        if (!pattern)
            throw Exception("Bad font name \"" + Family + "\"");
        addDouble(pattern, FC_SIZE, PointSize);
        addDouble(pattern, FC_DPI, Dpi);
        substitute(nullptr, pattern, FcMatchPattern);
        defaults(pattern);
        FcResult result;
        FcFontSet* set = sort(nullptr, pattern, FcTrue, nullptr, &result);
        if (set) {
            for (int i = 0; i < set->nfont; ++i) {
                FcPattern* font = prepare(nullptr, pattern, set->fonts[i]);
                if (!font)
                    continue;
                FcChar8* file = nullptr;
                int index = 0;
                FcCharSet* charset = nullptr;
                if (getString(font, FC_FILE, 0, &file) == FcResultMatch) {
                    getInteger(font, FC_INDEX, 0, &index);
                    TFont f;
                    f.File = reinterpret_cast<const char*>(file);
                    f.Index = index;
                    if (getCharSet(font, FC_CHARSET, 0, &charset) == FcResultMatch) {
                        f.HasCharset = true;
                        FcChar32 map[FC_CHARSET_MAP_SIZE], next;
                        for (FcChar32 base = firstPage(charset, map, &next); base != FC_CHARSET_DONE;
                             base = nextPage(charset, map, &next))
                            f.Charset.Add(base, map);
                    }
                    Fonts.push_back(std::move(f));
                }
                destroyPattern(font);
            }
            destroySet(set);
        }
        destroyPattern(pattern);
    }

    bool OpenFace(TFont& Font)
    {
        if (Font.Face)
            return true;
        if (Font.Failed)
            return false;
        FT_Face face = nullptr;
        if (FT_New_Face(Library, Font.File.c_str(), Font.Index, &face) != 0) {
            Font.Failed = true;
            return false;
        }
        if (FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(PointSize * 64 + 0.5), Dpi, Dpi) != 0) {
            FT_Done_Face(face);
            Font.Failed = true;
            return false;
        }
        Font.Face = face;
        return true;
    }

    // The face and glyph index to draw Code with: the first font that has
    // it, else the primary font's missing-glyph shape.
    std::pair<FT_Face, FT_UInt> Lookup(char32_t Code)
    {
        FT_Face fallback = nullptr;
        for (auto& f : Fonts) {
            if (f.HasCharset && !f.Charset.Has(Code))
                continue;
            if (!OpenFace(f))
                continue;
            if (!fallback)
                fallback = f.Face;
            if (FT_UInt index = FT_Get_Char_Index(f.Face, Code))
                return {f.Face, index};
        }
        if (!fallback)
            for (auto& f : Fonts)
                if (OpenFace(f)) {
                    fallback = f.Face;
                    break;
                }
        return {fallback, 0};
    }

    const TGlyph& Glyph(char32_t Code)
    {
        auto it = Glyphs.find(Code);
        if (it != Glyphs.end())
            return it->second;
        TGlyph g;
        auto [face, index] = Lookup(Code);
        if (face && FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) == 0 &&
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) == 0) {
            const FT_GlyphSlot slot = face->glyph;
            const FT_Bitmap& bm = slot->bitmap;
            g.Advance = slot->advance.x;
            g.Left = slot->bitmap_left;
            g.Top = slot->bitmap_top;
            if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
                g.Width = static_cast<int>(bm.width);
                g.Rows = static_cast<int>(bm.rows);
                g.Coverage.resize(static_cast<size_t>(g.Width) * g.Rows);
                for (int y = 0; y < g.Rows; ++y)
                    std::memcpy(g.Coverage.data() + static_cast<size_t>(y) * g.Width,
                                bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch, g.Width);
            }
        }
        return Glyphs.emplace(Code, std::move(g)).first->second;
    }
};

TTextRenderer::TTextRenderer(double PointSize, int Dpi, const std::string& Family)
    : FImpl(std::make_unique<TImpl>(PointSize, Dpi, Family))
{
}

TTextRenderer::~TTextRenderer() = default;

std::string TTextRenderer::PrimaryFontFile() const
{
    for (const auto& f : FImpl->Fonts)
        if (f.Face)
            return f.File;
    return std::string();
}

TTextExtent TTextRenderer::TextExtent(const std::string& Text)
{
    FT_Pos pen = 0;
    for (char32_t c : DecodeUtf8(Text))
        pen += FImpl->Glyph(c).Advance;
    return {static_cast<int>((pen + 32) >> 6), FImpl->Ascent + FImpl->Descent};
}

void TTextRenderer::TextOut(TBitmap& Bitmap, int X, int Y, const std::string& Text,
                            TRGBColor Foreground, TRGBColor Background, bool Opaque)
{
    TextOut(ViewOf(Bitmap), X, Y, Text, Foreground, Background, Opaque);
}

void TTextRenderer::TextOut(const TPixelView& Pixels, int X, int Y, const std::string& Text,
                            TRGBColor Foreground, TRGBColor Background, bool Opaque)
{
    const std::u32string codes = DecodeUtf8(Text);
    if (Opaque) {
        FT_Pos width = 0;
        for (char32_t c : codes)
            width += FImpl->Glyph(c).Advance;
        FillRect(Pixels, X, Y, static_cast<int>((width + 32) >> 6), FImpl->Ascent + FImpl->Descent,
                 Background.R, Background.G, Background.B);
    }
    unsigned fg[3];
    fg[Pixels.RedOffset()] = Foreground.R;
    fg[1] = Foreground.G;
    fg[Pixels.BlueOffset()] = Foreground.B;
    const int baseline = Y + FImpl->Ascent;
    const int bw = Pixels.Width, bh = Pixels.Height;
    FT_Pos pen = 0;
    for (char32_t c : codes) {
        const TGlyph& g = FImpl->Glyph(c);
        const int gx = X + static_cast<int>((pen + 32) >> 6) + g.Left;
        const int gy = baseline - g.Top;
        pen += g.Advance;
        for (int row = 0; row < g.Rows; ++row) {
            const int y = gy + row;
            if (y < 0 || y >= bh)
                continue;
            uint8_t* line = Pixels.ScanLine(y);
            const uint8_t* cov = g.Coverage.data() + static_cast<size_t>(row) * g.Width;
            for (int col = 0; col < g.Width; ++col) {
                const int x = gx + col;
                const unsigned a = cov[col];
                if (x < 0 || x >= bw || a == 0)
                    continue;
                uint8_t* p = line + x * 3;
                for (int k = 0; k < 3; ++k)
                    p[k] = static_cast<uint8_t>((fg[k] * a + p[k] * (255 - a) + 127) / 255);
            }
        }
    }
}
