// Flat quads and bitmap-font text in the 800 x 400 virtual screen, immediate mode.
#pragma once
#include <cstdint>

// OpenGL name of the font atlas; set by start-up, drawn with by the message panel.
extern uint32_t fontTexture;

// Flat rectangle (x, y)..(x + w, y + h); colour is ARGB, each channel / 256.
void drawQuad(float x, float y, float w, float h, uint32_t colour);
// One atlas cell (16 x 6 cells, codes 32..127) over the rectangle; texture and colour
// must already be set. Used only by drawText.
void drawGlyph(int32_t code, float x, float y, float w, float h);
// One line of text, first glyph's top left at (x, y), glyphs 8 x 16 times scale.
// Colour's alpha byte is ignored: alpha comes from the float. Leaves blending on,
// the texture bound and texturing off.
void drawText(uint32_t texture, const char* text, float x, float y, uint32_t colour,
              float alpha, float scale);
// Frame start: clears colour and depth to black.
void clearScreen();
