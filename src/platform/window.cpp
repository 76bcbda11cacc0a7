// Display mode, letterboxed viewport and the virtual screen's projection.
#include "platform/window.h"

#include <SDL.h>
#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdio>
#include <cstdlib>

#include "platform/texture.h"

int32_t screenWidth = 0;
int32_t screenHeight = 0;

constexpr double virtualAspect = (double)virtualScreenWidth / virtualScreenHeight;
constexpr int glColourBits = 5;
constexpr int glDepthBits = 16;

void videoFailure(const char* what) {
    fprintf(stderr, "%s failed: %s\n", what, SDL_GetError());
    SDL_Quit();
    exit(1);
}

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

void setVideoMode(int32_t modeSelector) {
    const SDL_VideoInfo* info = SDL_GetVideoInfo();
    if (!info) videoFailure("Video query");
    Uint32 flags = SDL_OPENGL;
    if (modeSelector > 1) {
        // The window is the virtual screen, pixel for pixel.
        screenWidth = virtualScreenWidth;
        screenHeight = virtualScreenHeight;
    } else if (modeSelector == 1) {
        SDL_ShowCursor(SDL_DISABLE);
        screenWidth = info->current_w;
        screenHeight = info->current_h;
        flags |= SDL_FULLSCREEN;
    } else {
        // A resize request: a window of exactly the size asked for.
        if (screenWidth < 1) screenWidth = 1;
        if (screenHeight < 1) screenHeight = 1;
    }
    const int depth = info->vfmt->BitsPerPixel;
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, glColourBits);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, glColourBits);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, glColourBits);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, glDepthBits);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    if (!SDL_SetVideoMode(screenWidth, screenHeight, depth, flags)) videoFailure("Video mode set");

    const Viewport v = letterboxViewport(screenWidth, screenHeight);
    glViewport(v.x, v.y, v.width, v.height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0, virtualScreenWidth, virtualScreenHeight, 0);
    reloadTextures();
}

void presentFrame() { SDL_GL_SwapBuffers(); }
