// Box-filtered mipmap levels of an RGBA image from summed-area tables; no GL, so the
// texture loader, tools and fuzzers all drive the same code on a plain pixel array.
#pragma once
#include <cstddef>
#include <cstdint>

// Receives one finished level: its number (1 and up), its size in texels and its texels row
// after row as RGBA words (red in bits 0-7, alpha in 24-31). They live in the caller's
// scratch and only until sink returns.
typedef void (*MipmapLevelSink)(void* context, int32_t level, int32_t width, int32_t height,
                                const uint32_t* texels);

// Bytes of scratch buildMipmaps needs for a width x height image: every level's texels (about
// 1.4 per pixel) and one table row per level, at most 40 per pixel for the thinnest shapes;
// 0 for an empty image or one too large to address.
size_t mipmapScratchBytes(int32_t width, int32_t height);

// Turns every pixel whose alpha byte is 0 into 0, transparent black, so that no hidden colour
// leaks into level 0 or the averages. The loader runs it before level 0 is uploaded.
void clearTransparentPixels(uint32_t* pixels, size_t count);

// Builds every level below level 0 down to 1 x 1, each straight from level 0, and hands them
// to sink in order. pixels: width x height words, rows without gaps, left as they are.
// scratch: mipmapScratchBytes(width, height) bytes, 8-byte aligned (malloc's is enough).
void buildMipmaps(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                  MipmapLevelSink sink, void* context);
