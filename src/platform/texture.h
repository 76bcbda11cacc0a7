// Texture loading with box-filtered mipmaps, and the texture cache by file name.
#pragma once
#include <cstddef>
#include <cstdint>

// One cached file: its name as first requested, its GL texture name and its wrap flag
// (non-zero: clamped). Entries stand in the order their files were first requested.
struct TextureEntry {
    char* name;
    uint32_t textureId;
    int32_t clamp;
};

// The texture of an image file, loaded on its first request (names compared ignoring
// ASCII case; the first request's clamp flag is kept). A new texture is left bound.
uint32_t getTexture(const char* name, int32_t clamp);
// Loads the file into the bound texture: level 0 and the whole mipmap chain. A file that
// cannot be read gets one line on standard error and leaves the texture as it was.
void loadTextureImage(const char* name, int32_t clamp);
// After a mode change: every cached texture uploaded again into its own name.
void reloadTextures();
// Nearest filtering for the bound texture (start-up sets it on the font once).
void useNearestFiltering();

// Read access to the cache, for tests and diagnostics: index 0 .. textureCacheCount() - 1.
int32_t textureCacheCount();
const TextureEntry& textureCacheEntry(int32_t index);
// Most scratch bytes one load may take for its mipmaps (default: no limit). A load that
// would need more keeps level 0 only, with linear filters, as when memory runs out.
void setTextureScratchLimit(size_t bytes);
