// Flat quads and bitmap text in the virtual screen, one triangle strip per quad or glyph.
#include "platform/draw.h"

#include <GL/gl.h>

constexpr double channelScale = 1.0 / 256.0;  // 255 gives 0.99609375, never 1.0

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
    const float left = (float)((double)column * atlasCellU + atlasCellInset);
    const float top = (float)((double)row * atlasCellV + atlasCellInset);
    const float right = (float)((double)left + atlasGlyphU);
    const float bottom = (float)((double)top + atlasGlyphV);
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
