// Mipmap levels as box averages read from the summed-area table of level 0.
#include "gfx/mipmap.h"

static constexpr int channelCount = 4;  // red, green, blue, alpha: bytes 0 to 3 of a word
static constexpr int channelBits = 8;
static constexpr uint32_t channelMask = 0xFF;
static constexpr uint32_t alphaMask = 0xFF000000u;
// Up to this many pixels, the sum of a channel over the whole image fits an unsigned 32-bit
// word (4096 x 4096 does); larger images take 64-bit sums.
static constexpr uint64_t narrowSumPixelLimit = UINT32_MAX / channelMask;
static constexpr uint64_t maxScratchBytesPerPixel = 40;

static int32_t halved(int32_t size) { return size / 2 > 0 ? size / 2 : 1; }

static bool usesWideSums(int32_t width, int32_t height) {
    return (uint64_t)width * (uint64_t)height > narrowSumPixelLimit;
}

// The table (four sums per pixel), then room for level 1, the largest level, which every
// level is built in after it has been handed over.
size_t mipmapScratchBytes(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > SIZE_MAX / maxScratchBytesPerPixel) return 0;
    const uint64_t sumBytes = usesWideSums(width, height) ? sizeof(uint64_t) : sizeof(uint32_t);
    const uint64_t levelOne = (uint64_t)halved(width) * (uint64_t)halved(height);
    return (size_t)(pixels * channelCount * sumBytes + levelOne * sizeof(uint32_t));
}

void clearTransparentPixels(uint32_t* pixels, size_t count) {
    for (size_t i = 0; i < count; i++)
        if ((pixels[i] & alphaMask) == 0) pixels[i] = 0;
}

// Sums wrap modulo the width of Sum, but a block's sum is exact: no block holds more than
// the whole image.
template <typename Sum>
static void buildLevels(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                        MipmapLevelSink sink, void* context) {
    // table[(y * width + x) * 4 + c]: channel c summed over rows 0..y and columns 0..x.
    Sum* table = static_cast<Sum*>(scratch);
    const size_t rowSums = (size_t)width * channelCount;
    for (int32_t y = 0; y < height; y++) {
        Sum rowSum[channelCount] = {};
        Sum* sums = table + (size_t)y * rowSums;
        for (int32_t x = 0; x < width; x++) {
            const uint32_t pixel = pixels[(size_t)y * width + x];
            for (int c = 0; c < channelCount; c++) {
                rowSum[c] += (pixel >> (channelBits * c)) & channelMask;
                sums[x * channelCount + c] = rowSum[c] + (y > 0 ? sums[x * channelCount + c - rowSums] : 0);
            }
        }
    }
    // The table at (x, y), 0 left of or above the image.
    auto at = [&](int32_t x, int32_t y, int c) -> Sum {
        return x < 0 || y < 0 ? 0 : table[((size_t)y * width + x) * channelCount + c];
    };
    uint32_t* texels = reinterpret_cast<uint32_t*>(table + (size_t)height * rowSums);
    int32_t w = width, h = height;
    for (int32_t level = 1; w > 1 || h > 1; level++) {
        w = halved(w);
        h = halved(h);
        // Blocks come from the full-size image every time, never from the level before.
        const int32_t bw = width / w, bh = height / h;
        // A block's corners are its own first row and column, which the sum therefore leaves
        // out; a block one pixel wide or high is averaged whole instead.
        const int32_t skip = bw > 1 && bh > 1 ? 1 : 0;
        const Sum count = (Sum)(bw - skip) * (Sum)(bh - skip);
        for (int32_t j = 0; j < h; j++)
            for (int32_t i = 0; i < w; i++) {
                const int32_t x0 = i * bw + skip - 1, y0 = j * bh + skip - 1;
                const int32_t x1 = i * bw + bw - 1, y1 = j * bh + bh - 1;
                uint32_t texel = 0;
                for (int c = 0; c < channelCount; c++) {
                    const Sum sum = at(x1, y1, c) - at(x0, y1, c) - at(x1, y0, c) + at(x0, y0, c);
                    texel |= (uint32_t)(sum / count) << (channelBits * c);
                }
                texels[(size_t)j * w + i] = texel & alphaMask ? texel : 0;
            }
        sink(context, level, w, h, texels);
    }
}

void buildMipmaps(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                  MipmapLevelSink sink, void* context) {
    if (width < 1 || height < 1) return;
    if (usesWideSums(width, height)) buildLevels<uint64_t>(pixels, width, height, scratch, sink, context);
    else buildLevels<uint32_t>(pixels, width, height, scratch, sink, context);
}
