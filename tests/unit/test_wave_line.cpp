// The wave line: diffusion figures as single-precision values, the colour of each value and
// the 448 bars as a real GL context receives (feedback mode) and rasterises them (pixels).
#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "show/wave_line.h"
#include "support/gl_feedback.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

// A figure given as a rounded decimal: the cell must lie within one unit of the figure's
// last decimal place (the figure "0.950564" allows 0.000001 either way).
void expectFigure(int column, const char* figure) {
    const char* point = std::strchr(figure, '.');
    const int decimals = point ? (int)std::strlen(point + 1) : 0;
    const double unit = std::pow(10.0, -decimals);
    const double expected = std::atof(figure);
    EXPECT_LE(std::fabs((double)waveCell(column) - expected), unit)
        << "cell " << column << " is " << waveCell(column) << ", expected " << figure;
}

double lineTotal() {
    double total = 0;
    for (int i = 0; i < waveCellCount; i++) total += waveCell(i);
    return total;
}

void passes(int count) {
    for (int k = 0; k < count; k++) diffuseWaveLine();
}

class WaveLine : public ::testing::Test {
protected:
    void SetUp() override { clearWaveLine(); }
};

TEST_F(WaveLine, ClearedCellsStayExactlyZero) {
    setWaveCell(0, 0.5f);
    setWaveCell(447, 1.0f);
    clearWaveLine();
    passes(1000);
    for (int i = 0; i < waveCellCount; i++) {
        EXPECT_EQ(waveCell(i), 0.0f) << "cell " << i;
        EXPECT_FALSE(std::signbit(waveCell(i))) << "cell " << i;
    }
}

TEST_F(WaveLine, LoneFlashSpreadsOneCellLeftAndCascadesRight) {
    setWaveCell(100, 1.0f);
    diffuseWaveLine();
    for (int i = 0; i <= 98; i++) EXPECT_EQ(waveCell(i), 0.0f) << "cell " << i;
    EXPECT_EQ(waveCell(99), 0.02375f);
    expectFigure(100, "0.950564");
    expectFigure(101, "0.0225759");
    expectFigure(102, "0.000536178");
    expectFigure(103, "0.0000127342");
    // The cascade shrinks by about 0.0238 per cell, down to zero, never below.
    for (int i = 104; i < waveCellCount; i++) {
        EXPECT_GE(waveCell(i), 0.0f) << "cell " << i;
        EXPECT_LE(waveCell(i), waveCell(i - 1) * 0.03f) << "cell " << i;
    }
}

TEST_F(WaveLine, SharesPastTheEndsAreLost) {
    setWaveCell(0, 1.0f);
    diffuseWaveLine();
    expectFigure(0, "0.950564");
    expectFigure(1, "0.0225759");
    EXPECT_NEAR(lineTotal(), 0.973689, 0.000001);

    clearWaveLine();
    setWaveCell(447, 1.0f);
    diffuseWaveLine();
    EXPECT_EQ(waveCell(446), 0.02375f);
    EXPECT_EQ(waveCell(447), 0.95f);
    for (int i = 0; i <= 445; i++) EXPECT_EQ(waveCell(i), 0.0f) << "cell " << i;
}

TEST_F(WaveLine, FullLineDropsBelowOneInOnePass) {
    for (int i = 0; i < waveCellCount; i++) setWaveCell(i, 1.0f);
    diffuseWaveLine();
    expectFigure(0, "0.974314");
    expectFigure(447, "0.973111");
    // The right neighbour's share has settled by cell 3: the rest of the middle agrees.
    for (int i = 3; i <= 446; i++) expectFigure(i, "0.997439");
    for (int i = 0; i < waveCellCount; i++) EXPECT_LT(waveCell(i), 1.0f) << "cell " << i;
}

TEST_F(WaveLine, LoneFlashFadesSlowlyAtItsCentre) {
    constexpr int centre = 224;
    setWaveCell(centre, 1.0f);
    passes(10);
    expectFigure(centre, "0.634813");
    passes(40);
    expectFigure(centre, "0.241189");
    passes(50);
    expectFigure(centre, "0.144002");
}

// The GL tests draw into the show's own 800 x 400 window.
class WaveLineBars : public WaveLine {
protected:
    static void SetUpTestSuite() { openGlWindowPatiently(); }
    void SetUp() override {
        WaveLine::SetUp();
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_BLEND);
    }
};

// Feedback through a viewport and projection twice the size of the screen, one unit per
// pixel, so the last bar (reaching x 800.21) is not clipped before feedback sees it.
std::vector<FeedbackStrip> unclippedBars() {
    GLint saved[4];
    glGetIntegerv(GL_VIEWPORT, saved);
    glViewport(0, 0, 1600, 800);
    glLoadIdentity();
    gluOrtho2D(0, 1600, 800, 0);
    std::vector<FeedbackStrip> bars = captureStrips(drawWaveLine);
    glViewport(saved[0], saved[1], saved[2], saved[3]);
    glLoadIdentity();
    gluOrtho2D(0, 800, 400, 0);
    return bars;
}

uint32_t colourWord(const float* c) {
    auto byte = [](float f) { return (uint32_t)(f * 256.0f); };
    return byte(c[3]) << 24 | byte(c[0]) << 16 | byte(c[1]) << 8 | byte(c[2]);
}

TEST_F(WaveLineBars, EachValueHasItsColour) {
    const float values[] = {0.0f, 0.25f, 0.5f, 0.95f, 1.0f, 0.9999f};
    const uint32_t colours[] = {0xFF3F1F1F, 0xFF6A3E36, 0xFF965E4E, 0xFFE59779, 0xFFEE9E7E,
                                0xFF000000 | (174 + 63) << 16 | (126 + 31) << 8 | (94 + 31)};
    for (int i = 0; i < 6; i++) setWaveCell(i, values[i]);
    std::vector<FeedbackStrip> bars = unclippedBars();
    ASSERT_EQ(bars.size(), (size_t)waveCellCount);
    for (int i = 0; i < 6; i++) {
        for (const FeedbackVertex& v : bars[i].v)
            EXPECT_EQ(colourWord(v.colour), colours[i]) << std::hex << "value " << values[i];
    }
    for (int i = 6; i < waveCellCount; i++) EXPECT_EQ(colourWord(bars[i].v[0].colour), 0xFF3F1F1Fu) << "bar " << i;
}

TEST_F(WaveLineBars, BarsStandAlongTheBottomInColumnOrder) {
    std::vector<FeedbackStrip> bars = unclippedBars();
    ASSERT_EQ(bars.size(), (size_t)waveCellCount);
    constexpr float tolerance = 1e-3f;
    for (int i = 0; i < waveCellCount; i++) {
        SCOPED_TRACE("bar " + std::to_string(i));
        const float x = (float)i * 1.7857143f;
        const float corners[4][2] = {{x, 368.0f}, {x, 400.0f}, {x + 2.0f, 368.0f}, {x + 2.0f, 400.0f}};
        for (int k = 0; k < 4; k++) {
            EXPECT_NEAR(bars[i].v[k].x, corners[k][0], tolerance);
            EXPECT_NEAR(bars[i].v[k].y, corners[k][1], tolerance);
        }
    }
    EXPECT_NEAR(bars[447].v[3].x, 800.21429f, tolerance);
}

// What the screen shows: every pixel column of rows 368..399 carries the colour of the
// last bar drawn over its centre; the rows above stay clear.
TEST_F(WaveLineBars, PixelsShowTheLastBarOverEachColumn) {
    for (int i = 0; i < waveCellCount; i++) setWaveCell(i, (float)(i % 8) / 7.0f);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    drawWaveLine();
    glFinish();
    std::vector<uint8_t> pixels(800 * 33 * 4);
    glReadPixels(0, 0, 800, 33, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());

    auto toByte = [](int channel) { return (int)std::lround(channel / 256.0 * 255.0); };
    int mismatches = 0;
    for (int px = 0; px < 800; px++) {
        const double centre = px + 0.5;
        int bar = -1;
        for (int i = 0; i < waveCellCount; i++) {
            const float x = (float)i * 1.7857143f;
            if (x <= centre && centre < x + 2.0f) bar = i;
        }
        ASSERT_GE(bar, 0) << "no bar covers column " << px;
        const float v = waveCell(bar);
        const int expected[3] = {toByte(63 + (int)(v * 175.0)), toByte(31 + (int)(v * 127.0)),
                                 toByte(31 + (int)(v * 95.0))};
        for (int row = 0; row < 32; row++) {  // read-back row 0 is the bottom row, y 399
            const uint8_t* p = &pixels[(row * 800 + px) * 4];
            if (p[0] != expected[0] || p[1] != expected[1] || p[2] != expected[2]) {
                if (mismatches++ < 10)
                    ADD_FAILURE() << "pixel (" << px << ", " << 399 - row << ") is " << (int)p[0] << ","
                                  << (int)p[1] << "," << (int)p[2] << " but bar " << bar << " gives "
                                  << expected[0] << "," << expected[1] << "," << expected[2];
            }
        }
        const uint8_t* above = &pixels[(32 * 800 + px) * 4];
        EXPECT_EQ(above[0] + above[1] + above[2], 0) << "row 367 at column " << px;
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
