// Flat quads and bitmap text.
#include "gfx/draw.h"

#include <GL/gl.h>

uint32_t fontTexture = 0;

void drawQuad(float, float, float, float, uint32_t) {}

void drawGlyph(int32_t, float, float, float, float) {}

void drawText(uint32_t, const char*, float, float, uint32_t, float, float) {}

void clearScreen() {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}
