// Display mode, letterboxed viewport, the virtual screen's projection and the event pump.
#include "platform/window.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "platform/texture.h"

static ScreenSize screen = {0, 0};
static DisplayMode currentMode = DisplayMode::window;
// The display's own size, read before the first mode is set: afterwards the video system
// says the size of the mode instead.
static ScreenSize desktop = {0, 0};
static void (*keyHandler)(Key key) = nullptr;

constexpr uint32_t videoInitFlags = SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE;
constexpr double virtualAspect = (double)virtualScreenWidth / virtualScreenHeight;
constexpr int glColourBits = 5;
constexpr int glDepthBits = 16;
constexpr int keyRepeatDelayMs = 500;
constexpr int keyRepeatIntervalMs = 30;
constexpr int rgbBytes = 3;

// The show draws with OpenGL, which SDL 1.2 gives only through X. Left to choose, SDL
// falls back without X to a driver that draws in the terminal: it writes escape codes to
// standard output (into a capture's frame stream) before OpenGL is refused.
constexpr const char* videoDriver = "x11";

static const char* displayName() {
    const char* display = getenv("DISPLAY");
    return display && *display ? display : nullptr;
}

void videoFailure(const char* what) {
    if (cliNamed()) {
        char why[256];
        const char* driver = getenv("SDL_VIDEODRIVER");
        const bool ownDriver = driver && strcmp(driver, videoDriver) == 0;
        if (ownDriver && !displayName())
            snprintf(why, sizeof why, "no X display (DISPLAY is not set)");
        else if (ownDriver && !SDL_WasInit(SDL_INIT_VIDEO))
            snprintf(why, sizeof why, "cannot reach the X display %s", displayName());
        else
            snprintf(why, sizeof why, "%s", SDL_GetError());
        SDL_Quit();
        cliFail("cannot open a window: %s", why);
    }
    fprintf(stderr, "%s failed: %s\n", what, SDL_GetError());
    SDL_Quit();
    exit(1);
}

void startVideo() {
    // SDL 1.2 registers no exit-time shut-down of its own here; every end of the process
    // must leave the video system shut down.
    atexit(SDL_Quit);
    const char* chosen = getenv("SDL_VIDEODRIVER");
    if (!chosen || !*chosen) setenv("SDL_VIDEODRIVER", videoDriver, 1);
    if (SDL_Init(videoInitFlags) < 0) videoFailure("Video initialization");
}

void setWindowHabits(const char* caption) {
    SDL_EnableKeyRepeat(keyRepeatDelayMs, keyRepeatIntervalMs);
    SDL_EnableUNICODE(1);
    SDL_WM_SetCaption(caption, nullptr);
}

ScreenSize screenSize() { return screen; }

Viewport letterboxViewport(int32_t w, int32_t h) {
    const double width = w, height = h;
    Viewport v;
    if (width / height > virtualAspect) {  // wider than the virtual screen: bars left and right
        v.x = (int32_t)((width - virtualAspect * height) * 0.5);
        v.y = 0;
        v.width = (int32_t)(virtualAspect * height);
        v.height = h;
    } else {  // bars top and bottom; y uses the exact half width
        v.x = 0;
        v.y = (int32_t)((height - width / virtualAspect) * 0.5);
        v.width = w;
        v.height = (int32_t)(width / virtualAspect);
    }
    return v;
}

void setVideoMode(DisplayMode mode, int32_t width, int32_t height) {
    const SDL_VideoInfo* info = SDL_GetVideoInfo();
    if (!info) videoFailure("Video query");
    if (desktop.width == 0) desktop = {info->current_w, info->current_h};
    Uint32 flags = SDL_OPENGL;
    currentMode = mode;
    switch (mode) {
    case DisplayMode::window:
        SDL_ShowCursor(SDL_ENABLE);  // back from the whole screen
        screen = {virtualScreenWidth, virtualScreenHeight};
        break;
    case DisplayMode::fullScreen:
        SDL_ShowCursor(SDL_DISABLE);
        screen = desktop;
        flags |= SDL_FULLSCREEN;
        break;
    case DisplayMode::sized:
        screen = {width < 1 ? 1 : width, height < 1 ? 1 : height};
        break;
    }
    const int depth = info->vfmt->BitsPerPixel;
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, glColourBits);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, glColourBits);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, glColourBits);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, glDepthBits);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    if (!SDL_SetVideoMode(screen.width, screen.height, depth, flags)) videoFailure("Video mode set");

    const Viewport v = letterboxViewport(screen.width, screen.height);
    glViewport(v.x, v.y, v.width, v.height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0, virtualScreenWidth, virtualScreenHeight, 0);
    reloadTextures();
}

void presentFrame() { SDL_GL_SwapBuffers(); }

void readFrame(uint8_t* rgb) {
    const size_t rowBytes = (size_t)screen.width * rgbBytes;
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, screen.width, screen.height, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    // GL rows start at the bottom: swap them in place, top row first.
    uint8_t* top = rgb;
    uint8_t* bottom = rgb + (size_t)(screen.height - 1) * rowBytes;
    for (; top < bottom; top += rowBytes, bottom -= rowBytes)
        for (size_t i = 0; i < rowBytes; i++) {
            const uint8_t t = top[i];
            top[i] = bottom[i];
            bottom[i] = t;
        }
}

static bool playerKey(SDLKey sym, Key* key) {
    static const struct {
        SDLKey sym;
        Key key;
    } keys[] = {{SDLK_SPACE, Key::space},   {SDLK_LEFT, Key::left},         {SDLK_RIGHT, Key::right},
                {SDLK_UP, Key::up},         {SDLK_DOWN, Key::down},         {SDLK_PAGEUP, Key::pageUp},
                {SDLK_PAGEDOWN, Key::pageDown}, {SDLK_n, Key::n},           {SDLK_p, Key::p},
                {SDLK_f, Key::f},           {SDLK_9, Key::nine},            {SDLK_KP9, Key::nine},
                {SDLK_0, Key::zero},        {SDLK_KP0, Key::zero},          {SDLK_q, Key::q}};
    for (const auto& k : keys)
        if (k.sym == sym) {
            *key = k.key;
            return true;
        }
    return false;
}

void setKeyHandler(void (*handler)(Key key)) { keyHandler = handler; }

void setWindowCaption(const char* caption) { SDL_WM_SetCaption(caption, nullptr); }

bool toggleFullScreen() {
    const SDL_VideoInfo* info = SDL_GetVideoInfo();
    if (!info) return false;
    const bool toWindow = currentMode == DisplayMode::fullScreen;
    const int w = toWindow ? virtualScreenWidth : desktop.width;
    const int h = toWindow ? virtualScreenHeight : desktop.height;
    const Uint32 flags = SDL_OPENGL | (toWindow ? 0 : SDL_FULLSCREEN);
    if (!SDL_VideoModeOK(w, h, info->vfmt->BitsPerPixel, flags)) return false;
    setVideoMode(toWindow ? DisplayMode::window : DisplayMode::fullScreen);
    return true;
}

void pollEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        Key key;
        switch (event.type) {
        case SDL_KEYDOWN:
            if (keyHandler && playerKey(event.key.keysym.sym, &key)) keyHandler(key);
            break;
        case SDL_KEYUP:
            // The exit-time handler registered at start-up shuts the video system down.
            if (event.key.keysym.sym == SDLK_ESCAPE) exit(0);
            break;
        case SDL_QUIT:
            SDL_Quit();
            exit(0);
        case SDL_VIDEORESIZE:
            setVideoMode(DisplayMode::sized, event.resize.w, event.resize.h);
            break;
        default:
            break;
        }
    }
}
