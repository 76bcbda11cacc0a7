// Texture loading with box-filtered mipmaps, and the texture cache by file name.
#pragma once
#include <cstdint>

// The texture of an image file, loaded on its first request (names compared ignoring
// ASCII case; the first request's clamp flag is kept). A new texture is left bound.
uint32_t getTexture(const char* name, int32_t clamp);
// Loads the file into the bound texture: level 0 and the whole mipmap chain.
void loadTextureImage(const char* name, int32_t clamp);
// After a mode change: every cached texture uploaded again into its own name.
void reloadTextures();
// Nearest filtering for the bound texture (start-up sets it on the font once).
void useNearestFiltering();
