// Display mode, letterboxed viewport and the virtual screen's projection.
#pragma once
#include <cstdint>

// The virtual screen that all drawing uses, in units: x 0..800 from the left, y 0..400 from
// the top. A window opens at this size in pixels; a full screen letterboxes it.
constexpr int32_t virtualScreenWidth = 800;
constexpr int32_t virtualScreenHeight = 400;

// Pixel size last asked of the video system; the event pump writes it before a resize.
extern int32_t screenWidth;
extern int32_t screenHeight;

struct Viewport {
    int32_t x, y, width, height;  // pixels, y from the bottom edge as OpenGL counts
};

// Sets a mode: selector > 1 a window of the virtual screen's size, 1 the whole screen, 0 a window of
// screenWidth x screenHeight (resize). Then viewport, projection, texture reload.
// On failure prints the video system's error and exits with status 1.
void setVideoMode(int32_t modeSelector);
// The 2:1 virtual screen fitted into a w x h screen with black bars on two sides.
Viewport letterboxViewport(int32_t w, int32_t h);
// Prints "<what> failed: <video system error>", shuts the video system down, exits 1.
[[noreturn]] void videoFailure(const char* what);
// Shows the frame just drawn.
void presentFrame();
