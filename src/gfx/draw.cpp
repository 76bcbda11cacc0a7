// Flat quads and bitmap text in the virtual screen, one triangle strip per quad or glyph.
#include "gfx/draw.h"

#include <GL/gl.h>

uint32_t fontTexture = 0;

constexpr double channelScale = 1.0 / 256.0;  // 255 gives 0.99609375, never 1.0

// Atlas of 16 x 6 cells for codes 32..127, sampled inset so neighbours never bleed in.
constexpr int32_t firstAtlasCode = 32;
constexpr int32_t atlasColumns = 16;
constexpr float cellU = 0.0625f;         // one sixteenth of the atlas width
constexpr float cellV = 0.16666667f;     // one sixth of the atlas height
constexpr float cellInset = 0.002f;
constexpr float glyphU = 0.0585f;        // cellU less the inset on both sides
constexpr float glyphV = 0.16266666f;    // cellV less the inset on both sides

constexpr float glyphWidth = 8.0f;   // virtual-screen units at scale 1
constexpr float glyphHeight = 16.0f;

static float channel(uint32_t colour, int shift) {
    return (float)((double)((colour >> shift) & 0xFF) * channelScale);
}

void drawQuad(float x, float y, float w, float h, uint32_t colour) {
    glColor4f(channel(colour, 16), channel(colour, 8), channel(colour, 0), channel(colour, 24));
    const float right = x + w, bottom = y + h;
    glBegin(GL_TRIANGLE_STRIP);
    glVertex2f(x, y);
    glVertex2f(x, bottom);
    glVertex2f(right, y);
    glVertex2f(right, bottom);
    glEnd();
}

void drawGlyph(int32_t code, float x, float y, float w, float h) {
    const int32_t column = code & (atlasColumns - 1);
    const int32_t row = (code - firstAtlasCode) / atlasColumns;  // truncates toward zero
    // Computed in double, each coordinate rounded once to single precision.
    const float left = (float)((double)column * cellU + cellInset);
    const float top = (float)((double)row * cellV + cellInset);
    const float right = (float)((double)left + glyphU);
    const float bottom = (float)((double)top + glyphV);
    const float xRight = x + w, yBottom = y + h;
    glBegin(GL_TRIANGLE_STRIP);
    glTexCoord2f(left, top);
    glVertex2f(x, y);
    glTexCoord2f(left, bottom);
    glVertex2f(x, yBottom);
    glTexCoord2f(right, top);
    glVertex2f(xRight, y);
    glTexCoord2f(right, bottom);
    glVertex2f(xRight, yBottom);
    glEnd();
}

void drawText(uint32_t texture, const char* text, float x, float y, uint32_t colour,
              float alpha, float scale) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(channel(colour, 16), channel(colour, 8), channel(colour, 0), alpha);
    const float w = (float)((double)glyphWidth * scale);
    const float h = (float)((double)glyphHeight * scale);
    for (const char* c = text; *c != 0; c++) {
        drawGlyph((int32_t)(signed char)*c, x, y, w, h);  // bytes 128..255 become negative codes
        x = x + w;
    }
    glDisable(GL_TEXTURE_2D);
}

void clearScreen() {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}
