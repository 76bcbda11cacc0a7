// The event pump on a real window, with events queued by the test. Cases that end the
// process run in a child process and report what was left at exit.
#include <GL/gl.h>
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "platform/texture.h"
#include "platform/window.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

void push(SDL_Event event) { ASSERT_EQ(SDL_PushEvent(&event), 0) << SDL_GetError(); }

void pushKey(Uint8 type, SDLKey key) {
    SDL_Event e{};
    e.type = type;
    e.key.type = type;
    e.key.state = type == SDL_KEYUP ? SDL_RELEASED : SDL_PRESSED;
    e.key.keysym.sym = key;
    push(e);
}

void pushResize(int w, int h) {
    SDL_Event e{};
    e.type = SDL_VIDEORESIZE;
    e.resize.w = w;
    e.resize.h = h;
    push(e);
}

void pushQuit() {
    SDL_Event e{};
    e.type = SDL_QUIT;
    push(e);
}

void pushButton(Uint8 type, Uint8 button) {
    SDL_Event e{};
    e.type = type;
    e.button.type = type;
    e.button.button = button;
    e.button.state = type == SDL_MOUSEBUTTONUP ? SDL_RELEASED : SDL_PRESSED;
    e.button.x = 10;
    e.button.y = 10;
    push(e);
}

int queuedEvents() {
    SDL_Event e;
    SDL_PumpEvents();
    return SDL_PeepEvents(&e, 1, SDL_PEEKEVENT, SDL_ALLEVENTS);
}

std::vector<GLint> viewport() {
    std::vector<GLint> v(4);
    glGetIntegerv(GL_VIEWPORT, v.data());
    return v;
}

// ---- Events that leave the process running ----

// An exit from inside these tests would end the whole test program with status 0 and pass
// unseen; the exit-time check turns it into a failure.
bool insideRunningCase = false;

void failIfExitedInsideRunningCase() {
    if (!insideRunningCase) return;
    fprintf(stderr, "pollEvents ended the process on events that must leave it running\n");
    _exit(1);
}

class EventPump : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openGlWindowPatiently();
        atexit(failIfExitedInsideRunningCase);
    }
    void SetUp() override { insideRunningCase = true; }
    void TearDown() override { insideRunningCase = false; }
};

TEST_F(EventPump, EverythingButTheThreeIsTakenAndIgnored) {
    GLuint texture;  // lost if the pump set a new mode, which brings a new context
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    SDL_Surface* surface = SDL_GetVideoSurface();

    pushKey(SDL_KEYDOWN, SDLK_ESCAPE);  // held: repeated presses, no release
    pushKey(SDL_KEYDOWN, SDLK_ESCAPE);
    pushKey(SDL_KEYDOWN, SDLK_ESCAPE);
    pushKey(SDL_KEYDOWN, SDLK_q);
    pushKey(SDL_KEYUP, SDLK_q);
    pushKey(SDL_KEYUP, SDLK_RETURN);
    SDL_Event motion{};
    motion.type = SDL_MOUSEMOTION;
    motion.motion.x = 400;
    motion.motion.y = 200;
    push(motion);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT);
    pushButton(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP);
    pushButton(SDL_MOUSEBUTTONUP, SDL_BUTTON_WHEELUP);
    SDL_Event active{};
    active.type = SDL_ACTIVEEVENT;
    active.active.gain = 0;
    active.active.state = SDL_APPINPUTFOCUS;
    push(active);
    SDL_Event user{};
    user.type = SDL_USEREVENT;
    push(user);
    SDL_Event expose{};
    expose.type = SDL_VIDEOEXPOSE;
    push(expose);

    pollEvents();

    EXPECT_EQ(queuedEvents(), 0);
    EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
    EXPECT_EQ(screenSize().width, 800);
    EXPECT_EQ(screenSize().height, 400);
    EXPECT_EQ(SDL_GetVideoSurface(), surface);
    EXPECT_EQ(viewport(), (std::vector<GLint>{0, 0, 800, 400}));
    EXPECT_TRUE(glIsTexture(texture));
    glDeleteTextures(1, &texture);
}

// Reads level 0 of a 2 x 2 texture: four RGBA pixels.
std::vector<uint8_t> texturePixels(GLuint texture) {
    std::vector<uint8_t> pixels(2 * 2 * 4);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

TEST_F(EventPump, ResizeSetsTheModeThenGoesOnWithTheQueue) {
    const std::string dir = makeScratchDir("events-resize");
    const std::string image = dir + "/cached.png";
    const std::vector<uint8_t> red = {255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255};
    const std::vector<uint8_t> green = {0, 255, 0, 255, 0, 255, 0, 255, 0, 255, 0, 255, 0, 255, 0, 255};
    writePngRgba(image, 2, 2, red.data());
    const GLuint texture = getTexture(image.c_str(), 1);
    ASSERT_EQ(texturePixels(texture), red);
    // The file changes on disk: only an upload after the mode change can show green.
    writePngRgba(image, 2, 2, green.data());

    pushResize(640, 480);
    pushKey(SDL_KEYDOWN, SDLK_a);
    pushKey(SDL_KEYUP, SDLK_a);
    pollEvents();

    EXPECT_EQ(queuedEvents(), 0);
    EXPECT_EQ(screenSize().width, 640);
    EXPECT_EQ(screenSize().height, 480);
    ASSERT_NE(SDL_GetVideoSurface(), nullptr);
    EXPECT_EQ(SDL_GetVideoSurface()->w, 640);
    EXPECT_EQ(SDL_GetVideoSurface()->h, 480);
    EXPECT_EQ(viewport(), (std::vector<GLint>{0, 80, 640, 320}));  // letterbox of 640 x 480
    GLfloat projection[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    EXPECT_FLOAT_EQ(projection[0], 2.0f / 800.0f);
    EXPECT_FLOAT_EQ(projection[5], -2.0f / 400.0f);
    EXPECT_EQ(texturePixels(texture), green);

    // Two requests in one call: each sets its mode in queue order, the last one stays.
    pushResize(700, 500);
    pushResize(1000, 300);
    pollEvents();
    EXPECT_EQ(screenSize().width, 1000);
    EXPECT_EQ(screenSize().height, 300);
    EXPECT_EQ(viewport(), (std::vector<GLint>{200, 0, 600, 300}));  // pillarbox of 1000 x 300
    EXPECT_EQ(texturePixels(texture), green);

    pushResize(800, 400);
    pollEvents();
    EXPECT_EQ(viewport(), (std::vector<GLint>{0, 0, 800, 400}));
}

// ---- Events that end the process: each case runs in a child of its own ----

// The child sets up as the show does: the exit-time shut-down first, then the video
// system and the window. Its own exit-time report runs before that shut-down.
void reportAtExit() {
    if (SDL_WasInit(SDL_INIT_VIDEO)) {
        std::vector<GLint> v = viewport();
        fprintf(stderr, "at exit: video up, screen %dx%d, viewport %d %d %d %d\n", screenSize().width, screenSize().height,
                v[0], v[1], v[2], v[3]);
    } else {
        fprintf(stderr, "at exit: video down, screen %dx%d\n", screenSize().width, screenSize().height);
    }
}

void startLikeTheShow() {
    atexit(SDL_Quit);
    openGlWindowPatiently();
    atexit(reportAtExit);
}

// pollEvents must not return in these cases; a child that gets past it exits with 3.
[[noreturn]] void pollAndFailIfItReturns() {
    pollEvents();
    fprintf(stderr, "pollEvents returned\n");
    exit(3);
}

class EventPumpEnds : public ::testing::Test {
protected:
    // A fresh process per case: the parent's window is never shared with the child.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(EventPumpEnds, EscapeReleaseExitsAtOnceWithoutShuttingVideoDown) {
    EXPECT_EXIT(
        {
            startLikeTheShow();
            pushKey(SDL_KEYDOWN, SDLK_ESCAPE);
            pushKey(SDL_KEYUP, SDLK_ESCAPE);
            pushResize(640, 480);  // behind the release: never handled
            pushQuit();
            pollAndFailIfItReturns();
        },
        ::testing::ExitedWithCode(0), "at exit: video up, screen 800x400, viewport 0 0 800 400\n");
}

TEST_F(EventPumpEnds, EscapeReleaseComesAfterTheEventsAheadOfIt) {
    EXPECT_EXIT(
        {
            startLikeTheShow();
            pushResize(640, 480);
            pushKey(SDL_KEYUP, SDLK_q);
            pushKey(SDL_KEYUP, SDLK_ESCAPE);
            pushResize(320, 200);
            pollAndFailIfItReturns();
        },
        ::testing::ExitedWithCode(0), "at exit: video up, screen 640x480, viewport 0 80 640 320\n");
}

TEST_F(EventPumpEnds, QuitRequestShutsVideoDownThenExits) {
    EXPECT_EXIT(
        {
            startLikeTheShow();
            pushKey(SDL_KEYDOWN, SDLK_ESCAPE);
            pushQuit();
            pushKey(SDL_KEYUP, SDLK_ESCAPE);
            pushResize(640, 480);
            pollAndFailIfItReturns();
        },
        ::testing::ExitedWithCode(0), "at exit: video down, screen 800x400\n");
}

TEST_F(EventPumpEnds, QuitRequestAfterAResizeSeesTheNewMode) {
    EXPECT_EXIT(
        {
            startLikeTheShow();
            pushResize(1000, 300);
            pushQuit();
            pollAndFailIfItReturns();
        },
        ::testing::ExitedWithCode(0), "at exit: video down, screen 1000x300\n");
}

}  // namespace
