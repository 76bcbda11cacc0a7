// The window: display mode, letterboxed viewport and the virtual screen's projection, the
// event pump, and the frame shown or read back.
#pragma once
#include <cstdint>

// The virtual screen that all drawing uses, in units: x 0..800 from the left, y 0..400 from
// the top. A window opens at this size in pixels; a full screen letterboxes it.
constexpr int32_t virtualScreenWidth = 800;
constexpr int32_t virtualScreenHeight = 400;

enum class DisplayMode {
    fullScreen,  // the display's current resolution, pointer hidden
    window,      // a window of the virtual screen's size, pixel for pixel
    sized,       // a window of the size given: a resize request, a capture's picture
};

struct ScreenSize {
    int32_t width, height;  // pixels
};

struct Viewport {
    int32_t x, y, width, height;  // pixels, y from the bottom edge as OpenGL counts
};

// Start-up: the video system, shut down again at every end of the process. Exits through
// videoFailure when it cannot start.
void startVideo();
// Start-up, after the mode: key repeat, key translation and the caption.
void setWindowHabits(const char* caption);
// Sets a mode (width x height pixels for DisplayMode::sized, at least 1 x 1), then viewport,
// projection and texture reload. Exits through videoFailure when the mode cannot be set.
void setVideoMode(DisplayMode mode, int32_t width = 0, int32_t height = 0);
// The pixel size last asked of the video system.
ScreenSize screenSize();
// The 2:1 virtual screen fitted into a w x h screen with black bars on two sides.
Viewport letterboxViewport(int32_t w, int32_t h);
// The video system failed: "<what> failed: <its error>" (a program that named itself
// through the command-line habits says "cannot open a window: <why>" under its name), the
// video system shut down, status 1.
[[noreturn]] void videoFailure(const char* what);
// Shows the frame just drawn.
void presentFrame();
// The frame just drawn, before it is shown: RGB24, top row first, screenSize() pixels.
void readFrame(uint8_t* rgb);
// Empties the event queue once per main-loop iteration: releasing Escape or closing the
// window ends the process (status 0); a resize request sets the mode again; a key of Key
// pressed (or repeated while held) goes to the key handler.
void pollEvents();

// The keys a program may act on besides Escape (the player's).
enum class Key { space, left, right, up, down, pageUp, pageDown, n, p, f, nine, zero, q };
// Who gets them; null (the default): nobody.
void setKeyHandler(void (*handler)(Key key));
// The window's caption (UTF-8).
void setWindowCaption(const char* caption);
// Between the whole screen and an 800 x 400 window. False, with nothing changed, where the
// display does not allow the other.
bool toggleFullScreen();
