// The font atlas fona.png: its cell layout, clear margins and rows that do not bleed,
// its regeneration, and its glyphs as the running show types them in the first panel row.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/draw.h"
#include "platform/window.h"
#include "show/message_panel.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

// A glyph as the panel draws it, virtual-screen units (pixels in the show's window).
constexpr double boxWidth = glyphWidth * panelTextScale, boxHeight = glyphHeight * panelTextScale;

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* at(int x, int y) const { return &rgba[((size_t)y * width + x) * 4]; }
};

Image readPng(const std::string& path) {
    Image image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGBA;
    image.rgba.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.rgba.data(), 0, nullptr)) return Image();
    image.width = (int)png.width;
    image.height = (int)png.height;
    return image;
}

std::string cacheValue(const std::string& name) {
    std::ifstream cache(std::string(XOON_BUILD_DIR) + "/CMakeCache.txt");
    std::string line;
    while (std::getline(cache, line))
        if (line.rfind(name + ":", 0) == 0) return line.substr(line.find('=') + 1);
    return "";
}

// Pixel bounds of the sampled part of the cell of code (left/top inclusive, right/bottom
// exclusive), rounded inwards.
struct Cell {
    double left, top, right, bottom;
};
Cell sampledPart(int code, int width, int height) {
    const int column = code % atlasColumns, row = (code - firstAtlasCode) / atlasColumns;
    const double left = (column * atlasCellU + atlasCellInset) * width;
    const double top = (row * atlasCellV + atlasCellInset) * height;
    return {left, top, left + atlasGlyphU * width, top + atlasGlyphV * height};
}

// Ink of one glyph in drawn box units (32 x 64), from the pixels whose alpha is not 0.
struct Ink {
    double left = 1e9, top = 1e9, right = -1e9, bottom = -1e9;
    int pixels = 0, solid = 0;
    double centreY = 0;
};
Ink glyphInk(const Image& atlas, int code) {
    const Cell c = sampledPart(code, atlas.width, atlas.height);
    const double perX = boxWidth / (c.right - c.left), perY = boxHeight / (c.bottom - c.top);
    Ink ink;
    for (int y = (int)c.top; y < (int)std::ceil(c.bottom); y++)
        for (int x = (int)c.left; x < (int)std::ceil(c.right); x++) {
            const uint8_t alpha = atlas.at(x, y)[3];
            if (!alpha) continue;
            ink.left = std::fmin(ink.left, (x - c.left) * perX);
            ink.right = std::fmax(ink.right, (x + 1 - c.left) * perX);
            ink.top = std::fmin(ink.top, (y - c.top) * perY);
            ink.bottom = std::fmax(ink.bottom, (y + 1 - c.top) * perY);
            ink.pixels++;
            ink.solid += alpha == 255;
            ink.centreY += (y + 0.5 - c.top) * perY;
        }
    if (ink.pixels) ink.centreY /= ink.pixels;
    return ink;
}

class FontAtlas : public ::testing::Test {
protected:
    static void SetUpTestSuite() { atlas = readPng(std::string(XOON_RUN_DIR) + "/fona.png"); }
    static Image atlas;
};
Image FontAtlas::atlas;

}  // namespace

TEST_F(FontAtlas, HasTheShowsSize) {
    ASSERT_GT(atlas.width, 0) << "fona.png unreadable";
    EXPECT_EQ(atlas.width, fontAtlasWidth);
    EXPECT_EQ(atlas.height, fontAtlasHeight);
}

TEST_F(FontAtlas, GlyphsAreWhiteAndStayInsideTheSampledPartOfTheirCells) {
    ASSERT_GT(atlas.width, 0);
    std::vector<bool> inside((size_t)atlas.width * atlas.height, false);
    for (int code = 32; code < 128; code++) {
        const Cell c = sampledPart(code, atlas.width, atlas.height);
        // Whole pixels lying within the sampled part; ink must stay on them.
        for (int y = (int)std::ceil(c.top); y + 1 <= c.bottom; y++)
            for (int x = (int)std::ceil(c.left); x + 1 <= c.right; x++)
                inside[(size_t)y * atlas.width + x] = true;
    }
    int stray = 0, tinted = 0;
    for (int y = 0; y < atlas.height; y++)
        for (int x = 0; x < atlas.width; x++) {
            const uint8_t* p = atlas.at(x, y);
            if (!p[3]) continue;
            stray += !inside[(size_t)y * atlas.width + x];
            tinted += p[0] != 255 || p[1] != 255 || p[2] != 255;
        }
    EXPECT_EQ(stray, 0) << "coverage outside the sampled parts: clipped or bleeding glyphs";
    EXPECT_EQ(tinted, 0) << "glyph pixels that are not white";
}

TEST_F(FontAtlas, EveryPrintableCodeHasItsOwnGlyphAndSpaceIsEmpty) {
    ASSERT_GT(atlas.width, 0);
    EXPECT_EQ(glyphInk(atlas, ' ').pixels, 0);
    EXPECT_EQ(glyphInk(atlas, 127).pixels, 0);
    std::vector<std::vector<uint8_t>> shapes;
    for (int code = 33; code <= 126; code++) {
        const Ink ink = glyphInk(atlas, code);
        EXPECT_GT(ink.solid, 0) << "code " << code << " has no solid stroke";
        const Cell c = sampledPart(code, atlas.width, atlas.height);
        std::vector<uint8_t> shape;
        for (int y = (int)c.top; y < (int)c.bottom; y++)
            for (int x = (int)c.left; x < (int)c.right; x++) shape.push_back(atlas.at(x, y)[3]);
        for (size_t k = 0; k < shapes.size(); k++)
            EXPECT_NE(shapes[k], shape) << "codes " << 33 + k << " and " << code << " alike";
        shapes.push_back(shape);
    }
    // The code-to-cell order: marks that sit high, in the middle and low.
    EXPECT_LT(glyphInk(atlas, '\'').centreY, glyphInk(atlas, '-').centreY);
    EXPECT_LT(glyphInk(atlas, '-').centreY, glyphInk(atlas, '.').centreY);
    EXPECT_LT(glyphInk(atlas, '.').centreY, glyphInk(atlas, '_').centreY);
}

TEST_F(FontAtlas, RowsDrawnFiftyFiveUnitsApartDoNotTouch) {
    ASSERT_GT(atlas.width, 0);
    double top = 1e9, bottom = -1e9, left = 1e9, right = -1e9;
    for (int code = 33; code <= 126; code++) {
        const Ink ink = glyphInk(atlas, code);
        top = std::fmin(top, ink.top);
        bottom = std::fmax(bottom, ink.bottom);
        left = std::fmin(left, ink.left);
        right = std::fmax(right, ink.right);
    }
    std::printf("ink within x %.1f..%.1f, y %.1f..%.1f of the 32 x 64 box\n", left, right, top,
                bottom);
    EXPECT_LT(bottom - top, panelRowPitch) << "a glyph would run into the next row's glyphs";
    EXPECT_GT(bottom - top, 0.8 * panelRowPitch) << "glyphs needlessly small";
    EXPECT_GT(left, 0);
    EXPECT_LT(right, boxWidth);
    EXPECT_GT(right - left, 0.8 * boxWidth);
}

TEST_F(FontAtlas, GlyphsKeepTheirProportionsWhenDrawn) {
    ASSERT_GT(atlas.width, 0);
    // The plus sign's arms are equally long in the font: drawn, they still are.
    const Ink plus = glyphInk(atlas, '+');
    const double aspect = (plus.right - plus.left) / (plus.bottom - plus.top);
    EXPECT_NEAR(aspect, 1.0, 0.08);
    // Capitals stand about as high as the digits and well over half the row pitch.
    const Ink h = glyphInk(atlas, 'H'), zero = glyphInk(atlas, '0');
    EXPECT_NEAR(h.bottom - h.top, zero.bottom - zero.top, 2.0);
    EXPECT_GT(h.bottom - h.top, panelRowPitch / 2);
    EXPECT_NEAR(h.bottom, zero.bottom, 1.0) << "one baseline";
}

TEST_F(FontAtlas, RegeneratingGivesTheSameFile) {
    const std::string font = cacheValue("XOON_FONT_SOURCE");
    ASSERT_FALSE(font.empty());
    const std::string dir = makeScratchDir("font_again");
    const ProcessResult r = runProcess({binPath("xoon-fontmake"), font, dir + "/fona.png"}, dir, {}, 60);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string again = readFile(dir + "/fona.png");
    EXPECT_FALSE(again.empty());
    EXPECT_TRUE(again == readFile(std::string(XOON_RUN_DIR) + "/fona.png"));
}

// Pixels of the greeting's glyphs in a grab of the window that stand off the atlas: the
// most in any one glyph, or -1 when a glyph is not inked at all.
static int greetingMismatch(const Image& atlas, const RgbImage& screen) {
    // "Hello": each glyph box in the first row, a pixel per unit in the window, sampled
    // from its atlas cell with nearest filtering.
    const char greeting[] = "Hello";
    int worst = 0;
    for (int c = 0; c < 5; c++) {
        const Cell cell = sampledPart(greeting[c], atlas.width, atlas.height);
        const int boxLeft = (int)(panelTextLeft + boxWidth * c);
        int white = 0, differing = 0;
        // The box's last units lie under the second row's glyphs: compare above them.
        for (int y = panelRowTop; y < panelRowTop + panelRowPitch; y++)
            for (int x = boxLeft; x < boxLeft + (int)boxWidth; x++) {
                const double u = cell.left + (x + 0.5 - boxLeft) / boxWidth * (cell.right - cell.left);
                const double v = cell.top + (y + 0.5 - panelRowTop) / boxHeight * (cell.bottom - cell.top);
                const int expected = atlas.at((int)u, (int)v)[3];
                const uint8_t* p = screen.at(x, y);
                white += p[0] > 200 && p[1] > 200 && p[2] > 200;
                differing += std::abs(p[0] - expected) > 12;
            }
        if (white <= 60) return -1;
        worst = std::max(worst, differing);
    }
    return worst;
}

TEST_F(FontAtlas, RunningShowTypesTheGreetingInTheFirstRow) {
    ASSERT_GT(atlas.width, 0);
    if (!builtWithOurMessage) GTEST_SKIP() << needsOurMessage;
    // Typing starts after the opening pauses, 5.6 s into the music (the music is never
    // further on than the process is old), and the greeting stays on the first row for
    // half a minute: the window is grabbed until it shows the greeting, or the guard.
    constexpr double firstGlyphSeconds = 5.6;
    constexpr int mismatchAllowed = 20;  // pixels a passing particle may cover in a glyph
    const std::string dir = makeShowFolder("font-screen", 2 * hangSeconds);
    const std::string shot = dir + "/window.ppm";
    int mismatch = -1, grabs = 0;
    RgbImage screen;
    const ProcessResult show = runShowWindow(
        [&](pid_t pid) {
            mismatch = -1;
            grabs = 0;
            std::string window;
            if (!waitForShowWindow(pid, &window)) return;
            const std::string self = std::to_string(pid);
            while (!processEnded(pid) && processAgeSeconds(pid) < firstGlyphSeconds)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            while (!processEnded(pid) && processAgeSeconds(pid) < hangSeconds) {
                if (runCommand({binPath("xoon-xwin"), "grab", "xOOn 2009", shot, "--pid", self}).status != 0)
                    continue;
                grabs++;
                screen = readPpm(shot);
                mismatch = greetingMismatch(atlas, screen);
                if (mismatch >= 0 && mismatch <= mismatchAllowed) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            runCommand({binPath("xoon-xwin"), "close", "xOOn 2009", "--pid", self});
        },
        2 * hangSeconds, dir);
    ASSERT_GT(grabs, 0) << show.err;
    ASSERT_EQ(screen.width, virtualScreenWidth);
    ASSERT_EQ(screen.height, virtualScreenHeight);
    EXPECT_GE(mismatch, 0) << "a glyph of the greeting not inked in any of " << grabs << " grabs";
    EXPECT_LE(mismatch, mismatchAllowed) << "the greeting's glyphs stand off the atlas in every grab";
    // Nothing glyph-like in the left margin or above the first row.
    int marginWhite = 0;
    for (int y = 0; y < panelRowTop + panelRowPitch; y++)
        for (int x = 0; x < virtualScreenWidth; x++)
            if (x < panelTextLeft || y < panelRowTop)
                marginWhite += screen.at(x, y)[0] > 200 && screen.at(x, y)[1] > 200;
    EXPECT_EQ(marginWhite, 0);
}
