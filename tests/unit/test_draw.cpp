// Quads and bitmap text on a real GL context: vertices, colours and texture coordinates
// read back through feedback mode, GL state through glGet, glyph pixels through glReadPixels.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "platform/draw.h"
#include "support/gl_feedback.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

constexpr float positionTolerance = 1e-3f;  // window mapping of the projection, in units

void expectAt(const FeedbackVertex& v, float x, float y, const char* what) {
    EXPECT_NEAR(v.x, x, positionTolerance) << what;
    EXPECT_NEAR(v.y, y, positionTolerance) << what;
}

void expectColour(const float* c, float r, float g, float b, float a) {
    EXPECT_EQ(c[0], r);
    EXPECT_EQ(c[1], g);
    EXPECT_EQ(c[2], b);
    EXPECT_EQ(c[3], a);
}

void expectCurrentColour(float r, float g, float b, float a) {
    float c[4];
    glGetFloatv(GL_CURRENT_COLOR, c);
    expectColour(c, r, g, b, a);
}

// Texture coordinates equal as single-precision values, or one unit in the last place
// apart where the expected figure is a rounded decimal.
void expectTexel(float actual, float expected) {
    EXPECT_LE(std::fabs(actual - expected), std::nextafter(std::fabs(expected), INFINITY) - std::fabs(expected))
        << "got " << actual << ", expected " << expected;
}

void expectGlyphRect(const FeedbackStrip& s, float left, float top, float right, float bottom) {
    const float expected[4][2] = {{left, top}, {left, bottom}, {right, top}, {right, bottom}};
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE("vertex " + std::to_string(k));
        expectTexel(s.v[k].texture[0], expected[k][0]);
        expectTexel(s.v[k].texture[1], expected[k][1]);
    }
}

class Draw : public ::testing::Test {
protected:
    static void SetUpTestSuite() { openGlWindowPatiently(); }
    void SetUp() override {
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_BLEND);
        glBindTexture(GL_TEXTURE_2D, 0);
    }
};

TEST_F(Draw, QuadSetsColourAndEmitsOneStripInOrder) {
    drawQuad(100.0f, 50.0f, 30.0f, 20.0f, 0xFF7F7FFF);
    expectCurrentColour(0.49609375f, 0.49609375f, 0.99609375f, 0.99609375f);

    // Distinct channels catch a swapped channel order.
    std::vector<FeedbackStrip> strips = captureStrips([] { drawQuad(100.0f, 50.0f, 30.0f, 20.0f, 0x80402010); });
    ASSERT_EQ(strips.size(), 1u);
    expectAt(strips[0].v[0], 100.0f, 50.0f, "x, y");
    expectAt(strips[0].v[1], 100.0f, 70.0f, "x, y + h");
    expectAt(strips[0].v[2], 130.0f, 50.0f, "x + w, y");
    expectAt(strips[0].v[3], 130.0f, 70.0f, "x + w, y + h");
    for (const FeedbackVertex& v : strips[0].v) expectColour(v.colour, 0.25f, 0.125f, 0.0625f, 0.5f);
}

TEST_F(Draw, ZeroSizeQuadsStillEmitFourVertices) {
    std::vector<FeedbackVertex> point = captureTriangles([] { drawQuad(10.0f, 20.0f, 0.0f, 0.0f, 0xFFFFFFFF); });
    ASSERT_EQ(point.size(), 6u);
    for (const FeedbackVertex& v : point) expectAt(v, 10.0f, 20.0f, "zero-size quad");

    std::vector<FeedbackStrip> line = captureStrips([] { drawQuad(10.0f, 20.0f, 0.0f, 5.0f, 0xFFFFFFFF); });
    ASSERT_EQ(line.size(), 1u);
    expectAt(line[0].v[0], 10.0f, 20.0f, "x, y");
    expectAt(line[0].v[1], 10.0f, 25.0f, "x, y + h");
    expectAt(line[0].v[2], 10.0f, 20.0f, "x + w, y");
    expectAt(line[0].v[3], 10.0f, 25.0f, "x + w, y + h");
}

TEST_F(Draw, QuadLeavesTexturingBlendingAndBindingAlone) {
    GLuint texture;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glEnable(GL_TEXTURE_2D);
    drawQuad(0.0f, 0.0f, 8.0f, 8.0f, 0xFF000000);
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
    EXPECT_FALSE(glIsEnabled(GL_BLEND));

    glDisable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    drawQuad(0.0f, 0.0f, 8.0f, 8.0f, 0xFF000000);
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ((GLuint)bound, texture);
    glDeleteTextures(1, &texture);
}

TEST_F(Draw, GlyphsSampleTheirAtlasCells) {
    auto glyph = [](int32_t code) {
        std::vector<FeedbackStrip> s = captureStrips([code] { drawGlyph(code, 40.0f, 60.0f, 16.0f, 32.0f); });
        EXPECT_EQ(s.size(), 1u) << "code " << code;
        return s.empty() ? FeedbackStrip{} : s[0];
    };
    glEnable(GL_TEXTURE_2D);
    FeedbackStrip space = glyph(32);
    expectAt(space.v[0], 40.0f, 60.0f, "x, y");
    expectAt(space.v[1], 40.0f, 92.0f, "x, y + h");
    expectAt(space.v[2], 56.0f, 60.0f, "x + w, y");
    expectAt(space.v[3], 56.0f, 92.0f, "x + w, y + h");
    {
        SCOPED_TRACE("code 32");
        expectGlyphRect(space, 0.002f, 0.002f, 0.0605f, 0.16466667f);
    }
    {
        SCOPED_TRACE("code 65");
        expectGlyphRect(glyph(65), 0.0645f, 0.33533335f, 0.123f, 0.498f);
    }
    {
        SCOPED_TRACE("code 127");
        expectGlyphRect(glyph(127), 0.9395f, 0.83533335f, 0.998f, 0.998f);
    }
    {
        // (17 - 32) / 16 truncates to row 0: code 17 shows the glyph of code 33.
        SCOPED_TRACE("code 17");
        expectGlyphRect(glyph(17), 0.0645f, 0.002f, 0.123f, 0.16466667f);
    }
    {
        // Column -1 & 15 = 15, row -33 / 16 = -2: above the atlas.
        SCOPED_TRACE("code -1");
        expectGlyphRect(glyph(-1), 0.9395f, -0.33133334f, 0.998f, -0.16866668f);
    }
}

TEST_F(Draw, TextAdvancesOneGlyphWidthPerCharacter) {
    GLuint texture;
    glGenTextures(1, &texture);
    const std::string line = "ABCDEFGHIJKLMNOPQRSTUVWX";  // 24 characters
    std::vector<FeedbackStrip> strips =
        captureStrips([&] { drawText(texture, line.c_str(), 20.0f, 15.0f, 0xFFFFFFFF, 1.0f, 4.0f); });
    ASSERT_EQ(strips.size(), 24u);
    for (int k = 0; k < 24; k++) {
        SCOPED_TRACE("glyph " + std::to_string(k));
        const float left = 20.0f + 32.0f * k;
        expectAt(strips[k].v[0], left, 15.0f, "x, y");
        expectAt(strips[k].v[3], left + 32.0f, 79.0f, "x + w, y + h");
        expectColour(strips[k].v[0].colour, 0.99609375f, 0.99609375f, 0.99609375f, 1.0f);
        const int code = line[k];
        expectTexel(strips[k].v[0].texture[0], (float)((code & 15) * 0.0625 + 0.002));
    }
    EXPECT_NEAR(strips[23].v[3].x, 788.0f, positionTolerance);
    glDeleteTextures(1, &texture);
}

TEST_F(Draw, TextBytesAboveAsciiAreNegativeCodes) {
    GLuint texture;
    glGenTextures(1, &texture);
    std::vector<FeedbackStrip> strips =
        captureStrips([&] { drawText(texture, "\x80\xff", 0.0f, 0.0f, 0xFFFFFFFF, 1.0f, 1.0f); });
    ASSERT_EQ(strips.size(), 2u);
    {
        SCOPED_TRACE("byte 0x80: column 0, row -10");
        expectGlyphRect(strips[0], 0.002f, -1.66466677f, 0.0605f, -1.50200009f);
    }
    {
        SCOPED_TRACE("byte 0xff: column 15, row -2");
        expectGlyphRect(strips[1], 0.9395f, -0.33133334f, 0.998f, -0.16866668f);
    }
    glDeleteTextures(1, &texture);
}

TEST_F(Draw, TextLeavesTextureBoundBlendingOnTexturingOff) {
    GLuint texture;
    glGenTextures(1, &texture);
    glEnable(GL_TEXTURE_2D);  // drawText turns it off whatever it was
    std::vector<FeedbackVertex> drawn =
        captureTriangles([&] { drawText(texture, "", 5.0f, 5.0f, 0xFF102030, 0.75f, 2.0f); });
    EXPECT_TRUE(drawn.empty());
    GLint bound = 0, source = 0, destination = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glGetIntegerv(GL_BLEND_SRC, &source);
    glGetIntegerv(GL_BLEND_DST, &destination);
    EXPECT_EQ((GLuint)bound, texture);
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    EXPECT_EQ(source, GL_SRC_ALPHA);
    EXPECT_EQ(destination, GL_ONE_MINUS_SRC_ALPHA);
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    expectCurrentColour(16 / 256.0f, 32 / 256.0f, 48 / 256.0f, 0.75f);
    glDeleteTextures(1, &texture);
}

TEST_F(Draw, TextAlphaComesFromTheFloatNotTheColourWord) {
    GLuint texture;
    glGenTextures(1, &texture);
    drawText(texture, "x", 0.0f, 0.0f, 0xFFFFFFFF, 1.0f, 1.0f);
    expectCurrentColour(0.99609375f, 0.99609375f, 0.99609375f, 1.0f);
    for (uint32_t colour : {0x00FFFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::vector<FeedbackStrip> strips =
            captureStrips([&] { drawText(texture, "x", 0.0f, 0.0f, colour, 0.5f, 1.0f); });
        ASSERT_EQ(strips.size(), 1u);
        expectColour(strips[0].v[0].colour, 0.99609375f, 0.99609375f, 0.99609375f, 0.5f);
    }
    glDeleteTextures(1, &texture);
}

// A 128 x 96 atlas of 8 x 16 texel cells: the cell of "A" opaque green, all else clear.
// Drawn text must show the cell, modulated by the text colour, blended over the screen.
TEST_F(Draw, TextShowsItsAtlasCellsBlendedOverTheScreen) {
    constexpr int atlasWidth = 128, atlasHeight = 96, cellWidth = 8, cellHeight = 16;
    std::vector<uint8_t> atlas(atlasWidth * atlasHeight * 4, 0);
    const int cellX = ('A' & 15) * cellWidth, cellY = ('A' - 32) / 16 * cellHeight;
    for (int y = cellY; y < cellY + cellHeight; y++)
        for (int x = cellX; x < cellX + cellWidth; x++) {
            uint8_t* p = &atlas[(y * atlasWidth + x) * 4];
            p[1] = 255;
            p[3] = 255;
        }
    GLuint texture;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, atlasWidth, atlasHeight, 0, GL_RGBA, GL_UNSIGNED_BYTE, atlas.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);

    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    drawText(texture, "AB", 100.0f, 100.0f, 0xFFFFFFFF, 1.0f, 4.0f);
    glFinish();
    auto pixel = [](int x, int y) {  // virtual-screen position, y down
        uint8_t p[4];
        glReadPixels(x, 400 - 1 - y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
        return std::vector<int>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(pixel(116, 132), (std::vector<int>{0, 254, 0})) << "A: green times 255/256";
    EXPECT_EQ(pixel(148, 132), (std::vector<int>{0, 0, 255})) << "B: clear texels, background shows";
    EXPECT_EQ(pixel(90, 132), (std::vector<int>{0, 0, 255})) << "left of the text";
    glDeleteTextures(1, &texture);
}

}  // namespace
