// xoon-fontmake: renders the 16 x 6 cell font atlas (codes 32..127) from an outline font.
//
// usage: xoon-fontmake FONT.ttf OUTPUT.png WIDTH HEIGHT
// Each glyph is laid out in the 32 x 64 unit box that the panel draws at scale 4 and
// rendered into the part of its cell that the text drawing samples, so that the box's
// stretch of that part gives the font's own proportions. White glyphs, alpha = coverage.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

constexpr int atlasColumns = 16;
constexpr int atlasRows = 6;
constexpr int firstCode = 32;
constexpr int lastCode = 126;  // 127 has no glyph: its cell stays empty
// The sampled part of a cell, in texture coordinates, as the text drawing insets it.
constexpr float cellU = 0.0625f;
constexpr float cellV = 0.16666667f;
constexpr float insetUV = 0.002f;
constexpr float sampledU = 0.0585f;
constexpr float sampledV = 0.16266666f;
// The drawn glyph box at the panel's scale, in virtual-screen units.
constexpr double boxWidth = 32.0;
constexpr double boxHeight = 64.0;
constexpr double rowPitch = 55.0;  // panel rows overlap the box's last 9 units
constexpr double rowGap = 5.0;     // units of clear space kept between rows' ink
constexpr double sideGap = 1.5;    // units of clear space kept beside each glyph's ink

static void die(const char* what, int code = 0) {
    fprintf(stderr, "xoon-fontmake: %s (%d)\n", what, code);
    exit(1);
}

struct Ink {
    double left = 1e9, right = -1e9, top = -1e9, bottom = 1e9;  // font units, y up
};

// The extreme ink of all printable ASCII glyphs, and the (monospace) advance.
static Ink measureInk(FT_Face face, double& advance) {
    Ink ink;
    advance = 0;
    for (int code = firstCode + 1; code <= lastCode; code++) {
        FT_UInt index = FT_Get_Char_Index(face, code);
        if (!index) die("the font lacks a printable ASCII glyph", code);
        int error = FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING);
        if (error) die("cannot load a glyph outline", code);
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
    FILE* file = fopen(path, "wb");
    if (!file) die("cannot write the atlas");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (!png || !info || setjmp(png_jmpbuf(png))) die("libpng failed");
    png_init_io(png, file);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; y++) png_write_row(png, &rgba[(size_t)y * width * 4]);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) die("cannot finish the atlas");
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: xoon-fontmake FONT.ttf OUTPUT.png WIDTH HEIGHT\n");
        return 2;
    }
    const int width = atoi(argv[3]), height = atoi(argv[4]);
    if (width < atlasColumns * 8 || height < atlasRows * 16) die("the atlas is too small");
    FT_Library library;
    FT_Face face;
    if (int error = FT_Init_FreeType(&library)) die("cannot start FreeType", error);
    if (int error = FT_New_Face(library, argv[1], 0, &face)) die("cannot open the font", error);
    if (!FT_IS_SCALABLE(face)) die("the font is not an outline font");

    // Choose the em size (in units of the drawn box) that fits every glyph's ink between
    // the side gaps and within one row pitch less the row gap.
    double advance;
    const Ink ink = measureInk(face, advance);
    const double perUnit = 1.0 / face->units_per_EM;  // em per font unit
    const double inkHalfWidth = fmax(advance / 2 - ink.left, ink.right - advance / 2) * perUnit;
    const double emByWidth = (boxWidth / 2 - sideGap) / inkHalfWidth;
    const double emByHeight = (rowPitch - rowGap) / ((ink.top - ink.bottom) * perUnit);
    const double em = fmin(emByWidth, emByHeight);
    const double inkTop = (rowPitch - (ink.top - ink.bottom) * perUnit * em) / 2;  // units
    const double baseline = inkTop + ink.top * perUnit * em;                       // units

    std::vector<png_byte> rgba((size_t)width * height * 4, 0);
    for (int code = firstCode; code <= lastCode; code++) {
        const int column = code & 15, row = (code - firstCode) / 16;
        // The sampled part of the cell, in atlas pixels, and its pixels per box unit.
        const double left = (column * cellU + insetUV) * width;
        const double top = (row * cellV + insetUV) * height;
        const double right = left + sampledU * width, bottom = top + sampledV * height;
        const double scaleX = sampledU * width / boxWidth, scaleY = sampledV * height / boxHeight;
        FT_F26Dot6 ppemX = (FT_F26Dot6)lround(em * scaleX * 64);
        FT_F26Dot6 ppemY = (FT_F26Dot6)lround(em * scaleY * 64);
        if (int error = FT_Set_Char_Size(face, ppemX, ppemY, 72, 72)) die("bad size", error);
        if (int error = FT_Load_Char(face, code, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP))
            die("cannot load a glyph", code);
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
                    die("a glyph does not fit its cell", code);
                png_byte* pixel = &rgba[((size_t)y * width + x) * 4];
                pixel[0] = pixel[1] = pixel[2] = 255;
                pixel[3] = coverage;
            }
        }
    }
    writePng(argv[2], width, height, rgba);
    printf("xoon-fontmake: %s, %d x %d, em %.2f box units (%.1f x %.1f pixels), "
           "ink rows %.1f..%.1f of 64\n",
           argv[2], width, height, em, em * sampledU * width / boxWidth,
           em * sampledV * height / boxHeight, inkTop, inkTop + (ink.top - ink.bottom) * perUnit * em);
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return 0;
}
