// Texture loader, mipmap chain and cache, on a real GL context read back level by level.
#include <gtest/gtest.h>
#include <GL/gl.h>
#include <SDL.h>

#include <cctype>
#include <cstdio>
#include <utility>
#include <string>
#include <vector>

#include "platform/mipmap.h"
#include "platform/texture.h"
#include "platform/window.h"
#include "support/support.h"

namespace {

using Pixels = std::vector<uint32_t>;  // RGBA words, red in bits 0-7

uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | g << 8 | b << 16 | a << 24;
}

// Pixels whose channels all differ, so a wrong corner or divisor shows. Alpha is never 0
// (nothing gets cleared) unless holes asks for some fully transparent pixels with colour.
Pixels patterned(int w, int h, uint32_t seed = 1, bool holes = false) {
    Pixels p((size_t)w * h);
    for (uint32_t& v : p) {
        seed = seed * 1103515245u + 12345u;
        v = holes && (seed >> 29) == 0 ? (seed >> 8) & 0xFFFFFF : (seed >> 8) | 0x01000000u;
    }
    return p;
}

// The average of the pixels in columns x0..x1 and rows y0..y1 (inclusive), summed directly.
uint32_t blockAverage(const Pixels& p, int w, int x0, int y0, int x1, int y1) {
    uint64_t sum[4] = {};
    for (int y = y0; y <= y1; y++)
        for (int x = x0; x <= x1; x++)
            for (int c = 0; c < 4; c++) sum[c] += (p[(size_t)y * w + x] >> (8 * c)) & 0xFF;
    const uint64_t n = (uint64_t)(x1 - x0 + 1) * (y1 - y0 + 1);
    if (sum[3] / n == 0) return 0;
    return rgba(sum[0] / n, sum[1] / n, sum[2] / n, sum[3] / n);
}

std::string writeImage(const std::string& file, const Pixels& p, int w, int h) {
    const std::string path = makeScratchDir("texture") + "/" + file;
    writePngRgba(path, w, h, reinterpret_cast<const uint8_t*>(p.data()));
    return path;
}

uint32_t loadImage(const Pixels& p, int w, int h, int32_t clamp = 0) {
    openGlWindow();
    return getTexture(writeImage("image.png", p, w, h).c_str(), clamp);
}

struct Level {
    int width = 0, height = 0;
    Pixels texels;
};

Level readLevel(uint32_t texture, int level) {
    glBindTexture(GL_TEXTURE_2D, texture);
    Level l;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &l.width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &l.height);
    l.texels.resize((size_t)l.width * l.height);
    if (!l.texels.empty()) glGetTexImage(GL_TEXTURE_2D, level, GL_RGBA, GL_UNSIGNED_BYTE, l.texels.data());
    return l;
}

GLint texParameter(uint32_t texture, GLenum name) {
    glBindTexture(GL_TEXTURE_2D, texture);
    GLint value = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
    return value;
}

int linesNaming(const std::string& text, const std::string& name) {
    int count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (text.substr(start, end - start).find(name) != std::string::npos) count++;
        start = end + 1;
    }
    return count;
}

}  // namespace

TEST(TextureLevels, OneByOneHasLevelZeroOnlyAndMipmapFilters) {
    const Pixels p = {rgba(10, 20, 30, 40)};
    const uint32_t t = loadImage(p, 1, 1);
    EXPECT_EQ(readLevel(t, 0).texels, p);
    EXPECT_EQ(readLevel(t, 1).width, 0);
    EXPECT_EQ(texParameter(t, GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR);
    EXPECT_EQ(texParameter(t, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
}

TEST(TextureLevels, SmallSquaresCountTheBlockLessItsFirstRowAndColumn) {
    const Pixels two = patterned(2, 2);
    const uint32_t t2 = loadImage(two, 2, 2);
    EXPECT_EQ(readLevel(t2, 0).texels, two);
    EXPECT_EQ(readLevel(t2, 1).texels, Pixels{two[3]});

    const Pixels four = patterned(4, 4, 7);
    const uint32_t t4 = loadImage(four, 4, 4);
    const Level l1 = readLevel(t4, 1);
    ASSERT_EQ(l1.width, 2);
    ASSERT_EQ(l1.height, 2);
    for (int j = 0; j < 2; j++)
        for (int i = 0; i < 2; i++)
            EXPECT_EQ(l1.texels[j * 2 + i], four[(2 * j + 1) * 4 + 2 * i + 1]) << i << "," << j;
    EXPECT_EQ(readLevel(t4, 2).texels, Pixels{blockAverage(four, 4, 1, 1, 3, 3)});
    EXPECT_EQ(readLevel(t4, 3).width, 0);

    // Row 4 and column 4 enter no texel of level 1.
    const Pixels five = patterned(5, 5, 11);
    const uint32_t t5 = loadImage(five, 5, 5);
    EXPECT_EQ(readLevel(t5, 1).texels, (Pixels{five[6], five[8], five[16], five[18]}));
    EXPECT_EQ(readLevel(t5, 2).texels, Pixels{blockAverage(five, 5, 1, 1, 4, 4)});
    EXPECT_EQ(readLevel(t5, 3).width, 0);
}

TEST(TextureLevels, EightByTwoDividesByOneThreeAndSeven) {
    const Pixels p = patterned(8, 2, 5);
    const uint32_t t = loadImage(p, 8, 2);
    const Level l1 = readLevel(t, 1), l2 = readLevel(t, 2), l3 = readLevel(t, 3);
    ASSERT_EQ(std::make_pair(l1.width, l1.height), std::make_pair(4, 1));
    ASSERT_EQ(std::make_pair(l2.width, l2.height), std::make_pair(2, 1));
    ASSERT_EQ(std::make_pair(l3.width, l3.height), std::make_pair(1, 1));
    for (int i = 0; i < 4; i++) EXPECT_EQ(l1.texels[i], p[8 + 2 * i + 1]);
    for (int i = 0; i < 2; i++) EXPECT_EQ(l2.texels[i], blockAverage(p, 8, 4 * i + 1, 1, 4 * i + 3, 1));
    EXPECT_EQ(l3.texels[0], blockAverage(p, 8, 1, 1, 7, 1));
    EXPECT_EQ(readLevel(t, 4).width, 0);
}

TEST(TextureLevels, AlphaAndTransparency) {
    // Level 2 of a 4x4 image counts rows and columns 1 to 3: nine pixels.
    const uint32_t clearRed = rgba(200, 0, 0, 0);
    Pixels p(16, clearRed);
    p[5] = rgba(255, 255, 255, 8);  // alpha 8 / 9 averages to 0: the texel is 0
    uint32_t t = loadImage(p, 4, 4);
    EXPECT_EQ(readLevel(t, 2).texels, Pixels{0});
    const Level l0 = readLevel(t, 0);
    EXPECT_EQ(l0.texels[0], 0u) << "fully transparent pixels are cleared in level 0";
    EXPECT_EQ(l0.texels[5], p[5]) << "alpha 8 is kept as it is";

    p[5] = rgba(255, 255, 255, 9);  // alpha 9 / 9 = 1: colour 255 / 9 = 28 survives
    t = loadImage(p, 4, 4);
    EXPECT_EQ(readLevel(t, 2).texels, Pixels{rgba(28, 28, 28, 1)});

    // Four opaque white and five transparent pixels: 1020 / 9 = 113 in every channel.
    for (int k : {5, 7, 13, 15}) p[k] = rgba(255, 255, 255, 255);
    t = loadImage(p, 4, 4);
    EXPECT_EQ(readLevel(t, 2).texels, Pixels{rgba(113, 113, 113, 113)});
}

TEST(TextureLevels, ThinImagesAverageWholeBlocks) {
    struct Shape { int w, h; };
    for (Shape s : {Shape{1, 8}, Shape{8, 1}, Shape{1, 5}, Shape{3, 1}}) {
        const Pixels p = patterned(s.w, s.h, s.w * 16 + s.h);
        const uint32_t t = loadImage(p, s.w, s.h);
        int w = s.w, h = s.h;
        for (int level = 1; w > 1 || h > 1; level++) {
            w = w / 2 ? w / 2 : 1;
            h = h / 2 ? h / 2 : 1;
            const int bw = s.w / w, bh = s.h / h;
            const Level l = readLevel(t, level);
            ASSERT_EQ(l.width, w) << s.w << "x" << s.h << " level " << level;
            ASSERT_EQ(l.height, h);
            for (int j = 0; j < h; j++)
                for (int i = 0; i < w; i++)
                    EXPECT_EQ(l.texels[j * w + i],
                              blockAverage(p, s.w, i * bw, j * bh, i * bw + bw - 1, j * bh + bh - 1))
                        << s.w << "x" << s.h << " level " << level << " texel " << i << "," << j;
        }
    }
}

TEST(TextureLevels, WrapModesFollowTheClampFlag) {
    const Pixels p = patterned(2, 2);
    const uint32_t clamped = loadImage(p, 2, 2, 1), repeated = loadImage(p, 2, 2, 0);
    EXPECT_EQ(texParameter(clamped, GL_TEXTURE_WRAP_S), GL_CLAMP);
    EXPECT_EQ(texParameter(clamped, GL_TEXTURE_WRAP_T), GL_CLAMP);
    EXPECT_EQ(texParameter(repeated, GL_TEXTURE_WRAP_S), GL_REPEAT);
    EXPECT_EQ(texParameter(repeated, GL_TEXTURE_WRAP_T), GL_REPEAT);
}

TEST(TextureLevels, NoScratchKeepsLevelZeroWithLinearFilters) {
    const Pixels p = patterned(4, 4);
    setTextureScratchLimit(mipmapScratchBytes(4, 4) - 1);
    testing::internal::CaptureStderr();
    const std::string path = writeImage("big.png", p, 4, 4);
    openGlWindow();
    const uint32_t t = getTexture(path.c_str(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    setTextureScratchLimit(SIZE_MAX);
    EXPECT_EQ(linesNaming(err, path), 1) << err;
    EXPECT_EQ(readLevel(t, 0).texels, p);
    EXPECT_EQ(readLevel(t, 1).width, 0);
    EXPECT_EQ(texParameter(t, GL_TEXTURE_MIN_FILTER), GL_LINEAR);
    EXPECT_EQ(texParameter(t, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
}

TEST(TextureCache, NamesIgnoreCaseAndTheFirstRequestWins) {
    openGlWindow();
    const std::string path = writeImage("fona.png", patterned(2, 2), 2, 2);
    const int32_t countBefore = textureCacheCount();
    const uint32_t t = getTexture(path.c_str(), 1);
    EXPECT_NE(t, 0u);
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ((uint32_t)bound, t) << "a new texture stays bound";

    std::string upper = path;
    for (char& c : upper) c = (char)toupper((unsigned char)c);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(getTexture(upper.c_str(), 0), t);
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(bound, 0) << "a hit binds nothing";
    ASSERT_EQ(textureCacheCount(), countBefore + 1);
    EXPECT_STREQ(textureCacheEntry(countBefore).name, path.c_str());
    EXPECT_EQ(textureCacheEntry(countBefore).clamp, 1);
    EXPECT_EQ(texParameter(t, GL_TEXTURE_WRAP_S), GL_CLAMP);
}

TEST(TextureCache, ReloadReadsTheFilesAgainIntoTheSameNames) {
    openGlWindow();
    const std::string dir = makeScratchDir("reload");
    const std::string a = dir + "/a.png", b = dir + "/b.png";
    const Pixels before = patterned(2, 2, 3), after = patterned(2, 2, 4);
    writePngRgba(a, 2, 2, reinterpret_cast<const uint8_t*>(before.data()));
    writePngRgba(b, 2, 2, reinterpret_cast<const uint8_t*>(before.data()));
    const uint32_t ta = getTexture(a.c_str(), 0), tb = getTexture(b.c_str(), 1);
    glBindTexture(GL_TEXTURE_2D, ta);
    useNearestFiltering();
    writePngRgba(a, 2, 2, reinterpret_cast<const uint8_t*>(after.data()));
    writePngRgba(b, 2, 2, reinterpret_cast<const uint8_t*>(after.data()));

    reloadTextures();
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ((uint32_t)bound, textureCacheEntry(textureCacheCount() - 1).textureId);
    EXPECT_EQ(readLevel(ta, 0).texels, after);
    EXPECT_EQ(readLevel(tb, 0).texels, after);
    EXPECT_EQ(readLevel(tb, 1).texels, Pixels{after[3]});
    EXPECT_EQ(texParameter(ta, GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR)
        << "a reload sets the loader's filters again";
    EXPECT_EQ(texParameter(tb, GL_TEXTURE_WRAP_S), GL_CLAMP);
}

TEST(TextureCache, AFileGoneBeforeAReloadLeavesNoImageInANewContext) {
    openGlWindow();
    const Pixels p = patterned(4, 4, 9);
    const std::string kept = writeImage("kept.png", p, 4, 4), gone = writeImage("gone.png", p, 4, 4);
    const uint32_t tk = getTexture(kept.c_str(), 0), tg = getTexture(gone.c_str(), 0);
    ASSERT_EQ(std::remove(gone.c_str()), 0);

    // The same window again keeps its context: the texture keeps what it had.
    testing::internal::CaptureStderr();
    setVideoMode(DisplayMode::window);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(linesNaming(err, gone), 1) << err;
    EXPECT_EQ(linesNaming(err, kept), 0) << err;
    EXPECT_EQ(readLevel(tg, 0).texels, p);

    // A new context starts without textures: only the files still there come back.
    // The X server resets when its last client leaves and refuses connections meanwhile.
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    int attempts = 0;
    while (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0 && ++attempts < 100) SDL_Delay(20);
    ASSERT_LT(attempts, 100) << SDL_GetError();
    testing::internal::CaptureStderr();
    setVideoMode(DisplayMode::window);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(linesNaming(err, gone), 1) << err;
    EXPECT_EQ(readLevel(tg, 0).width, 0);
    EXPECT_EQ(readLevel(tk, 0).texels, p);
    EXPECT_EQ(readLevel(tk, 2).texels, Pixels{blockAverage(p, 4, 1, 1, 3, 3)});
}

TEST(TextureCache, AnUnreadableFileIsCachedWithoutAnImage) {
    openGlWindow();
    const std::string path = makeScratchDir("broken") + "/broken.png";
    writeFile(path, "not an image");
    const int32_t countBefore = textureCacheCount();
    testing::internal::CaptureStderr();
    const uint32_t t = getTexture(path.c_str(), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(linesNaming(err, path), 1) << err;
    EXPECT_NE(t, 0u);
    EXPECT_EQ(textureCacheCount(), countBefore + 1);
    EXPECT_EQ(readLevel(t, 0).width, 0);
}

// Levels straight from the builder, no GL: every texel of every level of many small sizes
// against sums taken pixel by pixel. Transparent pixels keep their colour here, as a
// fuzzer's would: the alpha rule alone must turn their blocks to 0.
TEST(MipmapBuilder, EveryLevelOfSmallSizesMatchesDirectSums) {
    struct Check {
        const Pixels* image;
        int width, height, levels;
        bool ok;
    };
    const MipmapLevelSink check = [](void* context, int32_t level, int32_t lw, int32_t lh,
                                     const uint32_t* texels) {
        Check& c = *static_cast<Check*>(context);
        c.levels++;
        c.ok = c.ok && level == c.levels;
        const int bw = c.width / lw, bh = c.height / lh;
        const bool thin = bw == 1 || bh == 1;
        for (int j = 0; j < lh; j++)
            for (int i = 0; i < lw; i++)
                c.ok = c.ok && texels[j * lw + i] == blockAverage(*c.image, c.width,
                                                                  thin ? i * bw : i * bw + 1,
                                                                  thin ? j * bh : j * bh + 1,
                                                                  i * bw + bw - 1, j * bh + bh - 1);
    };
    for (int h = 1; h <= 20; h++) {
        for (int w = 1; w <= 20; w++) {
            const Pixels p = patterned(w, h, w * 100 + h, true);
            int levels = 0;
            for (int s = w > h ? w : h; s > 1; s /= 2) levels++;
            Pixels used = p;
            std::vector<uint64_t> scratch(mipmapScratchBytes(w, h) / 8 + 1);
            Check c = {&p, w, h, 0, true};
            buildMipmaps(used.data(), w, h, scratch.data(), check, &c);
            EXPECT_TRUE(c.ok) << w << "x" << h;
            EXPECT_EQ(c.levels, levels) << w << "x" << h;
            EXPECT_EQ(used, p) << "the image is left as it was";
        }
    }
}

// The largest image whose sums fit 32 bits, and one with more pixels than a 32-bit sum of
// 255s can hold: the top texel must still be the exact average.
TEST(MipmapBuilder, TheLargestSumsStayExact) {
    struct Shape { int w, h, levels; };
    for (Shape s : {Shape{4096, 4096, 12}, Shape{4112, 4100, 12}}) {
        Pixels p((size_t)s.w * s.h);
        for (int y = 0; y < s.h; y++)
            for (int x = 0; x < s.w; x++)
                p[(size_t)y * s.w + x] = rgba(255, (x * 7 + y) & 0xFF, 250 - (y & 0x3F), 255 - (x & 1));
        const uint32_t wholeImage = blockAverage(p, s.w, 1, 1, s.w - 1, s.h - 1);
        const uint32_t levelOneTexel = p[(size_t)2001 * s.w + 1555];
        const uint32_t levelTwoTexel = blockAverage(p, s.w, 4 * 77 + 1, 4 * 99 + 1, 4 * 77 + 3, 4 * 99 + 3);
        const size_t bytes = mipmapScratchBytes(s.w, s.h);
        std::vector<uint64_t> scratch(bytes / 8 + 1);
        struct Seen { int32_t levels, width, height; uint32_t top, one, two; } seen = {};
        buildMipmaps(p.data(), s.w, s.h, scratch.data(), [](void* context, int32_t level, int32_t lw,
                                                           int32_t lh, const uint32_t* texels) {
            Seen& seen = *static_cast<Seen*>(context);
            if (level == 1) seen.one = texels[(size_t)1000 * lw + 777];
            if (level == 2) seen.two = texels[(size_t)99 * lw + 77];
            seen.levels = level;
            seen.width = lw;
            seen.height = lh;
            seen.top = texels[0];
        }, &seen);
        EXPECT_EQ(seen.levels, s.levels);
        EXPECT_EQ(seen.width * seen.height, 1);
        EXPECT_EQ(seen.top, wholeImage) << s.w << "x" << s.h;
        EXPECT_EQ(seen.one, levelOneTexel) << s.w << "x" << s.h;
        EXPECT_EQ(seen.two, levelTwoTexel) << s.w << "x" << s.h;
    }
}

// Scratch stays within 40 bytes per pixel for any shape, thin or huge (no memory is taken).
TEST(MipmapBuilder, ScratchStaysWithinFortyBytesPerPixel) {
    for (int64_t w : {1, 2, 3, 4, 5, 7, 8, 1000, 4096, 16384, 8500000, 17000000, 1 << 30})
        for (int64_t h : {1, 2, 3, 4, 5, 8, 4096, 16384, 9000000}) {
            if (w * h > (int64_t)1 << 40) continue;
            const size_t bytes = mipmapScratchBytes((int32_t)w, (int32_t)h);
            EXPECT_GT(bytes, 0u) << w << "x" << h;
            EXPECT_LE(bytes, (size_t)(w * h * 40)) << w << "x" << h;
        }
}
