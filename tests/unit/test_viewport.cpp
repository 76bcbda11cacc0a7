// Letterbox and pillarbox viewports, computed and as set on a real GL context.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include "platform/window.h"
#include "support/support.h"

struct ViewportCase {
    int32_t w, h;
    Viewport expected;
};

static const ViewportCase cases[] = {
    {800, 400, {0, 0, 800, 400}},      {1920, 1080, {0, 60, 1920, 960}},
    {1280, 1024, {0, 192, 1280, 640}}, {1366, 768, {0, 42, 1366, 683}},
    {1365, 768, {0, 42, 1365, 682}},   {2560, 1080, {200, 0, 2160, 1080}},
    {2561, 1080, {200, 0, 2160, 1080}},
};

TEST(Viewport, RealContextGetsTheLetterboxOfEachSize) {
    openGlWindow();
    for (const ViewportCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        setVideoMode(DisplayMode::sized, c.w, c.h);
        EXPECT_EQ(screenSize().width, c.w);
        EXPECT_EQ(screenSize().height, c.h);
        GLint v[4];
        glGetIntegerv(GL_VIEWPORT, v);
        EXPECT_EQ(v[0], c.expected.x);
        EXPECT_EQ(v[1], c.expected.y);
        EXPECT_EQ(v[2], c.expected.width);
        EXPECT_EQ(v[3], c.expected.height);
    }
}

TEST(Viewport, BarsNeverLeaveTheTopOrRightSmaller) {
    // 1366x768: bottom 42, top 43; 2561x1080: left 200, right 201.
    Viewport a = letterboxViewport(1366, 768);
    EXPECT_EQ(a.y, 42);
    EXPECT_EQ(768 - a.y - a.height, 43);
    Viewport b = letterboxViewport(2561, 1080);
    EXPECT_EQ(b.x, 200);
    EXPECT_EQ(2561 - b.x - b.width, 201);
    for (int w = 100; w < 3000; w += 37)
        for (int h = 100; h < 2000; h += 41) {
            Viewport v = letterboxViewport(w, h);
            ASSERT_GE(h - v.y - v.height, v.y) << w << "x" << h;
            ASSERT_GE(w - v.x - v.width, v.x) << w << "x" << h;
        }
}

TEST(Viewport, WindowModeIsTheVirtualScreenAndProjectionMapsIt) {
    openGlWindow();
    setVideoMode(DisplayMode::window);
    EXPECT_EQ(screenSize().width, 800);
    EXPECT_EQ(screenSize().height, 400);
    GLint v[4];
    glGetIntegerv(GL_VIEWPORT, v);
    EXPECT_EQ(v[2], 800);
    EXPECT_EQ(v[3], 400);
    GLint mode;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_PROJECTION);
    // (0,0) of the virtual screen is the top left: clip (-1, 1); (800,400) is (1, -1).
    GLfloat m[16];
    glGetFloatv(GL_PROJECTION_MATRIX, m);
    EXPECT_FLOAT_EQ(m[0] * 0 + m[12], -1.0f);
    EXPECT_FLOAT_EQ(m[5] * 0 + m[13], 1.0f);
    EXPECT_FLOAT_EQ(m[0] * 800 + m[12], 1.0f);
    EXPECT_FLOAT_EQ(m[5] * 400 + m[13], -1.0f);
}

TEST(Viewport, ResizeToZeroIsClampedToOnePixel) {
    openGlWindow();
    setVideoMode(DisplayMode::sized, 0, -4);
    EXPECT_EQ(screenSize().width, 1);
    EXPECT_EQ(screenSize().height, 1);
}
