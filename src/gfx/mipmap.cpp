// Mipmap levels as box averages read from summed-area tables of level 0.
#include "gfx/mipmap.h"

static constexpr int channelCount = 4;  // red, green, blue, alpha, in that order in a word
static constexpr uint32_t channelBits = 8;
static constexpr uint32_t channelMask = 0xFF;
static constexpr uint32_t alphaMask = 0xFF000000u;
// The most pixels whose channel total, every pixel at 255, still fits an unsigned 32-bit
// sum (4096 x 4096 does); larger images take 64-bit sums.
static constexpr uint64_t narrowSumPixelLimit = UINT32_MAX / channelMask;
static constexpr uint64_t maxScratchBytesPerPixel = 40;

static int32_t halved(int32_t size) { return size / 2 > 0 ? size / 2 : 1; }

size_t mipmapScratchBytes(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > SIZE_MAX / maxScratchBytesPerPixel) return 0;
    const uint64_t sumBytes = pixels <= narrowSumPixelLimit ? sizeof(uint32_t) : sizeof(uint64_t);
    // The output plane only ever holds level 1 or a smaller level.
    const uint64_t outputTexels = (uint64_t)halved(width) * (uint64_t)halved(height);
    return (size_t)(pixels * channelCount * sumBytes + outputTexels * sizeof(uint32_t));
}

void clearTransparentPixels(uint32_t* pixels, size_t count) {
    for (size_t i = 0; i < count; i++)
        if ((pixels[i] & alphaMask) == 0) pixels[i] = 0;
}

// One row of the tables, channels interleaved per pixel so that a block corner is one read
// of 16 or 32 bytes. above is the previous row's sums, or null on row 0.
template <typename Sum, bool firstRow>
static void sumRow(const uint32_t* in, int32_t width, const Sum* above, Sum* out) {
    Sum row[channelCount] = {};
    for (int32_t x = 0; x < width; x++) {
        const uint32_t pixel = in[x];
        for (int c = 0; c < channelCount; c++) {
            row[c] += (pixel >> (c * channelBits)) & channelMask;
            const size_t k = (size_t)x * channelCount + c;
            out[k] = firstRow ? row[c] : above[k] + row[c];
        }
    }
}

// Sums arrive modulo 2^32 or 2^64 but are exact: a block never holds more than the image.
template <typename Sum>
static uint32_t texelOf(const Sum (&sum)[channelCount], Sum divisor) {
    Sum average[channelCount];
    for (int c = 0; c < channelCount; c++) average[c] = sum[c] / divisor;
    if (average[channelCount - 1] == 0) return 0;
    uint32_t texel = 0;
    for (int c = 0; c < channelCount; c++)
        texel |= ((uint32_t)average[c] & channelMask) << (c * channelBits);
    return texel;
}

// The usual rule: the four corners are the block's own first and last row and column, so the
// sum leaves out the block's first row and column and the divisor counts what is left.
template <typename Sum>
static void averageInnerBlocks(const Sum* sums, int32_t width, int32_t w, int32_t h,
                               int32_t bw, int32_t bh, uint32_t* texels) {
    const size_t rowLength = (size_t)width * channelCount;
    const Sum divisor = (Sum)(bw - 1) * (Sum)(bh - 1);
    for (int32_t j = 0; j < h; j++) {
        const Sum* top = sums + (size_t)j * bh * rowLength;
        const Sum* bottom = top + (size_t)(bh - 1) * rowLength;
        uint32_t* out = texels + (size_t)j * w;
        for (int32_t i = 0; i < w; i++) {
            const size_t left = (size_t)i * bw * channelCount;
            const size_t right = left + (size_t)(bw - 1) * channelCount;
            Sum sum[channelCount];
            for (int c = 0; c < channelCount; c++)
                sum[c] = bottom[right + c] - top[right + c] - bottom[left + c] + top[left + c];
            out[i] = texelOf(sum, divisor);
        }
    }
}

// Blocks one pixel wide or high would leave nothing to count under the usual rule: they
// average every pixel of the block instead, with the corners just outside it (0 past an edge).
template <typename Sum>
static void averageWholeBlocks(const Sum* sums, int32_t width, int32_t w, int32_t h,
                               int32_t bw, int32_t bh, uint32_t* texels) {
    auto at = [&](int64_t y, int64_t x, int c) -> Sum {
        return y < 0 || x < 0 ? 0 : sums[((size_t)y * width + (size_t)x) * channelCount + c];
    };
    const Sum divisor = (Sum)bw * (Sum)bh;
    for (int32_t j = 0; j < h; j++) {
        for (int32_t i = 0; i < w; i++) {
            const int64_t x0 = (int64_t)i * bw - 1, y0 = (int64_t)j * bh - 1;
            const int64_t x1 = x0 + bw, y1 = y0 + bh;
            Sum sum[channelCount];
            for (int c = 0; c < channelCount; c++)
                sum[c] = at(y1, x1, c) - at(y0, x1, c) - at(y1, x0, c) + at(y0, x0, c);
            texels[(size_t)j * w + i] = texelOf(sum, divisor);
        }
    }
}

template <typename Sum>
static void buildLevels(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                        MipmapLevelSink sink, void* context) {
    Sum* sums = static_cast<Sum*>(scratch);
    const size_t rowLength = (size_t)width * channelCount;
    uint32_t* texels = reinterpret_cast<uint32_t*>(sums + rowLength * (size_t)height);

    sumRow<Sum, true>(pixels, width, nullptr, sums);
    for (int32_t y = 1; y < height; y++)
        sumRow<Sum, false>(pixels + (size_t)y * width, width, sums + (size_t)(y - 1) * rowLength,
                           sums + (size_t)y * rowLength);

    int32_t w = width, h = height;
    for (int32_t level = 1; w > 1 || h > 1; level++) {
        w = halved(w);
        h = halved(h);
        // Blocks come from the full-size image every time, never from the level before.
        const int32_t bw = width / w, bh = height / h;
        if (bw > 1 && bh > 1) averageInnerBlocks(sums, width, w, h, bw, bh, texels);
        else averageWholeBlocks(sums, width, w, h, bw, bh, texels);
        sink(context, level, w, h, texels);
    }
}

void buildMipmaps(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                  MipmapLevelSink sink, void* context) {
    if (width < 1 || height < 1) return;
    if ((uint64_t)width * (uint64_t)height <= narrowSumPixelLimit)
        buildLevels<uint32_t>(pixels, width, height, scratch, sink, context);
    else
        buildLevels<uint64_t>(pixels, width, height, scratch, sink, context);
}
