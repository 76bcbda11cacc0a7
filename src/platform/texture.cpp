// Texture cache by file name, and the loader that uploads an image with its mipmap chain.
#include "platform/texture.h"

#include <SDL.h>
#include <SDL_image.h>
#include <GL/gl.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "platform/mipmap.h"

struct TextureCache {
    TextureEntry* entries;  // grows by one per new file, never shrinks, never freed
    int32_t count;
};

static TextureCache textureCache = {nullptr, 0};
static size_t scratchLimit = SIZE_MAX;  // bytes

// The layout every level is uploaded in: bytes red, green, blue, alpha in memory.
static constexpr Uint8 rgbaBits = 32;
static constexpr Uint8 rgbaBytes = 4;
static constexpr Uint32 redMask = 0x000000FFu, greenMask = 0x0000FF00u;
static constexpr Uint32 blueMask = 0x00FF0000u, alphaMask = 0xFF000000u;

static bool sameNameIgnoringCase(const char* a, const char* b) {
    for (;; a++, b++) {
        char ca = *a, cb = *b;
        if (ca >= 'A' && ca <= 'Z') ca = (char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (char)(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

static void uploadLevel(void*, int32_t level, int32_t width, int32_t height,
                        const uint32_t* texels) {
    glTexImage2D(GL_TEXTURE_2D, level, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 texels);
}

uint32_t getTexture(const char* name, int32_t clamp) {
    for (int32_t i = 0; i < textureCache.count; i++)
        if (sameNameIgnoringCase(textureCache.entries[i].name, name))
            return textureCache.entries[i].textureId;

    GLuint textureId = 0;
    glGenTextures(1, &textureId);
    glBindTexture(GL_TEXTURE_2D, textureId);
    loadTextureImage(name, clamp);

    // Appended even when the file failed, so that every later reload tries it again.
    char* nameCopy = strdup(name);
    TextureEntry* grown = static_cast<TextureEntry*>(
        realloc(textureCache.entries, sizeof(TextureEntry) * (size_t)(textureCache.count + 1)));
    if (grown) textureCache.entries = grown;
    if (!nameCopy || !grown) {
        cliWarn("Texture \"%s\" not cached, out of memory: it will not be reloaded", name);
        free(nameCopy);
        return textureId;
    }
    textureCache.entries[textureCache.count] = {nameCopy, textureId, clamp};
    textureCache.count++;
    return textureId;
}

void loadTextureImage(const char* name, int32_t clamp) {
    SDL_Surface* loaded = IMG_Load(name);
    if (!loaded) {
        cliWarn("Texture \"%s\" not loaded: %s", name, IMG_GetError());
        return;
    }
    SDL_PixelFormat rgba;
    memset(&rgba, 0, sizeof rgba);
    rgba.BitsPerPixel = rgbaBits;
    rgba.BytesPerPixel = rgbaBytes;
    rgba.Rshift = 0;
    rgba.Gshift = 8;
    rgba.Bshift = 16;
    rgba.Ashift = 24;
    rgba.Rmask = redMask;
    rgba.Gmask = greenMask;
    rgba.Bmask = blueMask;
    rgba.Amask = alphaMask;
    SDL_Surface* image = SDL_ConvertSurface(loaded, &rgba, 0);
    SDL_FreeSurface(loaded);
    if (!image) {
        cliWarn("Texture \"%s\" not converted: %s", name, SDL_GetError());
        return;
    }
    SDL_LockSurface(image);
    const int32_t width = image->w, height = image->h;
    // Rows are uploaded and summed as one gapless array; 32-bit rows never get padding.
    assert(image->pitch == width * rgbaBytes);
    uint32_t* pixels = static_cast<uint32_t*>(image->pixels);

    const size_t scratchBytes = mipmapScratchBytes(width, height);
    void* scratch = scratchBytes > 0 && scratchBytes <= scratchLimit ? malloc(scratchBytes) : nullptr;
    if (!scratch)
        cliWarn("Texture \"%s\": no memory for mipmaps, level 0 only", name);

    clearTransparentPixels(pixels, (size_t)width * (size_t)height);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    if (scratch) {
        buildMipmaps(pixels, width, height, scratch, uploadLevel, nullptr);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        free(scratch);
    } else {
        // Without its chain the texture would be incomplete under a mipmap filter.
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);

    SDL_UnlockSurface(image);
    SDL_FreeSurface(image);

    const GLfloat wrap = clamp ? (GLfloat)GL_CLAMP : (GLfloat)GL_REPEAT;
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, wrap);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, wrap);
}

void reloadTextures() {
    // The names are bound again as they are: in a new context binding one makes it anew.
    for (int32_t i = 0; i < textureCache.count; i++) {
        glBindTexture(GL_TEXTURE_2D, textureCache.entries[i].textureId);
        loadTextureImage(textureCache.entries[i].name, textureCache.entries[i].clamp);
    }
}

void useNearestFiltering() {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
}

int32_t textureCacheCount() { return textureCache.count; }

const TextureEntry& textureCacheEntry(int32_t index) {
    assert(index >= 0 && index < textureCache.count);
    return textureCache.entries[index];
}

void setTextureScratchLimit(size_t bytes) { scratchLimit = bytes; }
