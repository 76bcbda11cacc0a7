// Fuzzes the mipmap builder: any size (within a pixel budget) and any pixels. Checks the
// chain's shape, the scratch bound, and on small images every texel against plain loops.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/mipmap.h"

constexpr uint32_t maxSide = 1 << 16;           // sides from 1 to 65536
constexpr uint64_t pixelBudget = 1 << 16;       // keeps one run fast; shape still arbitrary
constexpr uint64_t checkedPixels = 64 * 64;     // images this small are checked texel by texel
constexpr uint64_t maxScratchBytesPerPixel = 40;

struct Chain {
    const uint32_t* pixels;
    int32_t width, height;
    int32_t expectLevel, w, h;
    bool checkTexels;
};

[[noreturn]] static void fail(const char* what, const Chain& c, int32_t level) {
    fprintf(stderr, "mipmap fault: %s (image %d x %d, level %d)\n", what, c.width, c.height, level);
    abort();
}

static int32_t halved(int32_t size) { return size / 2 > 0 ? size / 2 : 1; }

// The block rule written out plainly: blocks of width/w by height/h pixels; when both are
// above 1 the block's first row and column are left out, otherwise every pixel counts.
static uint32_t expectedTexel(const Chain& c, int32_t w, int32_t h, int32_t i, int32_t j) {
    const int32_t bw = c.width / w, bh = c.height / h;
    const bool inner = bw > 1 && bh > 1;
    const int32_t skip = inner ? 1 : 0;
    uint64_t sum[4] = {0, 0, 0, 0};
    for (int32_t y = j * bh + skip; y < (j + 1) * bh; y++)
        for (int32_t x = i * bw + skip; x < (i + 1) * bw; x++) {
            const uint32_t p = c.pixels[(size_t)y * c.width + x];
            for (int k = 0; k < 4; k++) sum[k] += (p >> (8 * k)) & 0xFF;
        }
    const uint64_t divisor = (uint64_t)(bw - skip) * (uint64_t)(bh - skip);
    if (sum[3] / divisor == 0) return 0;
    uint32_t texel = 0;
    for (int k = 0; k < 4; k++) texel |= (uint32_t)(sum[k] / divisor) << (8 * k);
    return texel;
}

static void onLevel(void* context, int32_t level, int32_t w, int32_t h, const uint32_t* texels) {
    Chain& c = *static_cast<Chain*>(context);
    if (level != c.expectLevel) fail("levels out of order", c, level);
    c.w = halved(c.w);
    c.h = halved(c.h);
    if (w != c.w || h != c.h) fail("level size is not the halved size", c, level);
    c.expectLevel++;
    for (int64_t k = 0; k < (int64_t)w * h; k++) {
        const uint32_t t = texels[k];  // every texel is read: ASan sees any short plane
        if ((t >> 24) == 0 && t != 0) fail("transparent texel keeps colour", c, level);
        if (c.checkTexels && t != expectedTexel(c, w, h, (int32_t)(k % w), (int32_t)(k / w)))
            fail("texel differs from the block average", c, level);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int32_t width = 1 + (int32_t)(((uint32_t)data[0] | (uint32_t)data[1] << 8) % maxSide);
    int32_t height = 1 + (int32_t)(((uint32_t)data[2] | (uint32_t)data[3] << 8) % maxSide);
    if ((uint64_t)width * (uint64_t)height > pixelBudget) height = (int32_t)(pixelBudget / (uint64_t)width);
    if (height < 1) height = 1;
    const uint64_t count = (uint64_t)width * (uint64_t)height;

    std::vector<uint32_t> pixels(count);
    const uint8_t* body = data + 4;
    const size_t bodySize = size - 4;
    if (bodySize > 0) {
        uint8_t* bytes = reinterpret_cast<uint8_t*>(pixels.data());
        for (size_t k = 0; k < count * 4; k++) bytes[k] = body[k % bodySize];
    }
    clearTransparentPixels(pixels.data(), pixels.size());
    for (uint32_t p : pixels)
        if ((p >> 24) == 0 && p != 0) abort();

    const size_t scratchBytes = mipmapScratchBytes(width, height);
    if (scratchBytes == 0 || scratchBytes > count * maxScratchBytesPerPixel) {
        fprintf(stderr, "mipmap fault: scratch %zu bytes for %d x %d\n", scratchBytes, width, height);
        abort();
    }
    void* scratch = malloc(scratchBytes);  // exactly the size asked for: ASan guards its end
    Chain chain{pixels.data(), width, height, 1, width, height, count <= checkedPixels};
    buildMipmaps(pixels.data(), width, height, scratch, onLevel, &chain);
    free(scratch);
    if (chain.w != 1 || chain.h != 1) fail("chain does not end at 1 x 1", chain, chain.expectLevel);
    return 0;
}
