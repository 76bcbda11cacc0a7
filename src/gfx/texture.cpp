// Texture cache and mipmap loader.
#include "gfx/texture.h"

#include <GL/gl.h>

uint32_t getTexture(const char*, int32_t) { return 0; }

void loadTextureImage(const char*, int32_t) {}

void reloadTextures() {}

void useNearestFiltering() {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
}
