// xoon-fontmake: renders the show's font atlas (16 x 6 cells, codes 32..127) from an
// outline font.
//
// Each glyph is laid out in the box that the panel draws it in and rendered into the part
// of its cell that the text drawing samples, so that the box's stretch of that part gives
// the font's own proportions. White glyphs, alpha = coverage.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <vector>

#include "cli/cli.h"
#include "platform/draw.h"
#include "show/layout.h"

constexpr int lastCode = 126;  // 127 has no glyph: its cell stays empty
// The drawn glyph box at the panel's scale, in virtual-screen units.
constexpr double boxWidth = glyphWidth * panelTextScale;
constexpr double boxHeight = glyphHeight * panelTextScale;
constexpr double rowGap = 5.0;     // units of clear space kept between rows' ink
constexpr double sideGap = 1.5;    // units of clear space kept beside each glyph's ink
// The smallest atlas: a pixel per unit of a glyph box at scale 1.
constexpr int smallestWidth = atlasColumns * (int)glyphWidth;
constexpr int smallestHeight = atlasRows * (int)glyphHeight;
constexpr int largestSide = 16384;  // pixels

static const char usage[] =
    "Usage: xoon-fontmake FONT OUTPUT.png [--size WxH]\n"
    "Renders the show's font atlas from an outline font (TrueType or OpenType, monospace):\n"
    "16 x 6 cells for codes 32 to 127, white glyphs whose alpha is their coverage, each\n"
    "scaled to the panel's glyph box and row pitch.\n"
    "\n"
    "  --size WxH     atlas size in pixels (default 512x384, the show's)\n"
    "  -h, --help     this text\n"
    "      --version  the program's version\n";

static const char* fontPath = "";

[[noreturn]] static void die(const char* what, int code) {
    cliFail("%s: %s (FreeType error %d)", fontPath, what, code);
}

struct Ink {
    double left = 1e9, right = -1e9, top = -1e9, bottom = 1e9;  // font units, y up
};

// The extreme ink of all printable ASCII glyphs, and the (monospace) advance.
static Ink measureInk(FT_Face face, double& advance) {
    Ink ink;
    advance = 0;
    for (int code = firstAtlasCode + 1; code <= lastCode; code++) {
        FT_UInt index = FT_Get_Char_Index(face, code);
        if (!index) cliFail("%s: the font lacks a glyph for '%c'", fontPath, code);
        int error = FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING);
        if (error) die("cannot load a glyph outline", error);
        FT_BBox box;
        FT_Outline_Get_CBox(&face->glyph->outline, &box);
        ink.left = fmin(ink.left, box.xMin);
        ink.right = fmax(ink.right, box.xMax);
        ink.top = fmax(ink.top, box.yMax);
        ink.bottom = fmin(ink.bottom, box.yMin);
        advance = fmax(advance, face->glyph->advance.x);
    }
    return ink;
}

static void writePng(const char* path, int width, int height, const std::vector<png_byte>& rgba) {
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    png.width = (png_uint_32)width;
    png.height = (png_uint_32)height;
    png.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&png, path, 0, rgba.data(), 0, nullptr))
        cliFail("cannot write %s: %s", path, png.message);
}

int main(int argc, char** argv) {
    cliStart("xoon-fontmake", usage);
    static const option longOptions[] = {
        {"size", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'}, {}};
    int width = fontAtlasWidth, height = fontAtlasHeight;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;) {
        int used = 0;
        if (c == 's' && (sscanf(optarg, "%dx%d%n", &width, &height, &used) != 2 || optarg[used] ||
                         width < smallestWidth || height < smallestHeight ||
                         width > largestSide || height > largestSide))
            cliUsageError("--size wants WIDTHxHEIGHT from %dx%d to %dx%d pixels, not '%s'",
                          smallestWidth, smallestHeight, largestSide, largestSide, optarg);
    }
    if (argc - optind != 2) cliUsageError("give the outline font and the atlas to write");
    fontPath = argv[optind];
    const char* outPath = argv[optind + 1];
    // FreeType tells an unreadable file by a number only: the system says why.
    if (FILE* file = fopen(fontPath, "rb")) fclose(file);
    else cliFail("cannot read %s: %s", fontPath, strerror(errno));
    FT_Library library;
    FT_Face face;
    if (int error = FT_Init_FreeType(&library)) die("cannot start FreeType", error);
    if (int error = FT_New_Face(library, fontPath, 0, &face)) die("cannot open the font", error);
    if (!FT_IS_SCALABLE(face)) cliFail("%s: not an outline font", fontPath);

    // Choose the em size (in units of the drawn box) that fits every glyph's ink between
    // the side gaps and within one row pitch less the row gap.
    double advance;
    const Ink ink = measureInk(face, advance);
    const double perUnit = 1.0 / face->units_per_EM;  // em per font unit
    const double inkHalfWidth = fmax(advance / 2 - ink.left, ink.right - advance / 2) * perUnit;
    const double emByWidth = (boxWidth / 2 - sideGap) / inkHalfWidth;
    const double emByHeight = (panelRowPitch - rowGap) / ((ink.top - ink.bottom) * perUnit);
    const double em = fmin(emByWidth, emByHeight);
    const double inkTop = (panelRowPitch - (ink.top - ink.bottom) * perUnit * em) / 2;  // units
    const double baseline = inkTop + ink.top * perUnit * em;                       // units

    std::vector<png_byte> rgba((size_t)width * height * 4, 0);
    for (int code = firstAtlasCode; code <= lastCode; code++) {
        const int column = code % atlasColumns, row = (code - firstAtlasCode) / atlasColumns;
        // The sampled part of the cell, in atlas pixels, and its pixels per box unit.
        const double left = (column * atlasCellU + atlasCellInset) * width;
        const double top = (row * atlasCellV + atlasCellInset) * height;
        const double right = left + atlasGlyphU * width, bottom = top + atlasGlyphV * height;
        const double scaleX = atlasGlyphU * width / boxWidth, scaleY = atlasGlyphV * height / boxHeight;
        FT_F26Dot6 ppemX = (FT_F26Dot6)lround(em * scaleX * 64);
        FT_F26Dot6 ppemY = (FT_F26Dot6)lround(em * scaleY * 64);
        if (int error = FT_Set_Char_Size(face, ppemX, ppemY, 72, 72)) die("cannot scale the font", error);
        if (int error = FT_Load_Char(face, code, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP))
            die("cannot load a glyph", error);
        // Pen at the box's centred advance and the common baseline, split into whole
        // pixels and a fraction that moves the outline before rendering.
        const double penX = left + (boxWidth / 2 - advance * perUnit * em / 2) * scaleX;
        const double penY = top + baseline * scaleY;
        const double wholeX = floor(penX), wholeY = floor(penY);
        FT_Outline_Translate(&face->glyph->outline, lround((penX - wholeX) * 64),
                             -lround((penY - wholeY) * 64));
        if (int error = FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL))
            die("cannot render a glyph", error);
        const FT_Bitmap& bitmap = face->glyph->bitmap;
        const int x0 = (int)wholeX + face->glyph->bitmap_left;
        const int y0 = (int)wholeY - face->glyph->bitmap_top;
        for (unsigned by = 0; by < bitmap.rows; by++) {
            for (unsigned bx = 0; bx < bitmap.width; bx++) {
                const png_byte coverage = bitmap.buffer[by * bitmap.pitch + bx];
                if (!coverage) continue;
                const int x = x0 + (int)bx, y = y0 + (int)by;
                if (x < left || x + 1 > right || y < top || y + 1 > bottom)
                    cliFail("%s: the glyph of '%c' does not fit its cell", fontPath, code);
                png_byte* pixel = &rgba[((size_t)y * width + x) * 4];
                pixel[0] = pixel[1] = pixel[2] = 255;
                pixel[3] = coverage;
            }
        }
    }
    writePng(outPath, width, height, rgba);
    printf("xoon-fontmake: %s, %d x %d, em %.2f box units (%.1f x %.1f pixels), "
           "ink rows %.1f..%.1f of 64\n",
           outPath, width, height, em, em * atlasGlyphU * width / boxWidth,
           em * atlasGlyphV * height / boxHeight, inkTop, inkTop + (ink.top - ink.bottom) * perUnit * em);
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return 0;
}
