// Flat quads and bitmap-font text in the virtual screen, immediate mode.
#pragma once
#include <cstdint>

// The font atlas: 16 x 6 equal cells, the cell in column k and row j holding the glyph of
// code 32 + 16 j + k; row 0 at the top of the image (texture coordinate v = 0).
constexpr int32_t atlasColumns = 16;
constexpr int32_t atlasRows = 6;
constexpr int32_t firstAtlasCode = 32;
// A cell in texture coordinates, and the part of it a glyph samples: inset on every side
// so that neighbours never bleed in.
constexpr float atlasCellU = 0.0625f;      // one sixteenth of the atlas width
constexpr float atlasCellV = 0.16666667f;  // one sixth of the atlas height
constexpr float atlasCellInset = 0.002f;
constexpr float atlasGlyphU = 0.0585f;     // the cell less the inset on both sides
constexpr float atlasGlyphV = 0.16266666f;
// The show's atlas image, fona.png, as xoon-fontmake renders it: pixels, 32 x 64 per cell.
constexpr int32_t fontAtlasWidth = 512;
constexpr int32_t fontAtlasHeight = 384;
// A glyph's box at scale 1, virtual-screen units.
constexpr float glyphWidth = 8.0f;
constexpr float glyphHeight = 16.0f;

// Flat rectangle (x, y)..(x + w, y + h); colour is ARGB, each channel / 256.
void drawQuad(float x, float y, float w, float h, uint32_t colour);
// One atlas cell over the rectangle; texture and colour must already be set. Used only by
// drawText.
void drawGlyph(int32_t code, float x, float y, float w, float h);
// One line of text, first glyph's top left at (x, y), glyphs glyphWidth x glyphHeight times
// scale.
// Colour's alpha byte is ignored: alpha comes from the float. Leaves blending on,
// the texture bound and texturing off.
void drawText(uint32_t texture, const char* text, float x, float y, uint32_t colour,
              float alpha, float scale);
// Frame start: clears colour and depth to black.
void clearScreen();
