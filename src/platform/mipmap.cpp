// Mipmap levels as box averages read from the summed-area table of level 0.
//
// The table is not stored: one row of it goes down the image, and each level keeps only
// the sums at its blocks' top corners until the row of their bottom corners comes by. A
// texel costs four table reads per channel whatever its block's size, and no level is built
// from another.
#include "platform/mipmap.h"

static constexpr int channelCount = 4;  // red, green, blue, alpha: bytes 0 to 3 of a word
static constexpr int channelBits = 8;
static constexpr uint32_t channelMask = 0xFF;
static constexpr uint32_t alphaMask = 0xFF000000u;
// Up to this many pixels, the sum of a channel over the whole image fits an unsigned 32-bit
// word (4096 x 4096 does); larger images take 64-bit sums.
static constexpr uint64_t narrowSumPixelLimit = UINT32_MAX / channelMask;
static constexpr uint64_t maxScratchBytesPerPixel = 40;
static constexpr int maxLevels = 32;  // a size below 2^31 halves to 1 in at most 31 steps

// One level below level 0: its size in texels and the block of level-0 pixels behind a texel.
struct Level {
    int32_t width, height;
    int32_t blockWidth, blockHeight;
    // A block's corners are its own first row and column, which the sum therefore leaves out;
    // a block one pixel wide or high is averaged whole instead, its corners just outside it.
    int32_t skip;
    // A 2 x 2 block counts its one pixel at (1, 1): read that rather than four sums.
    bool picksPixel() const { return skip == 1 && blockWidth == 2 && blockHeight == 2; }
    // Whole blocks in a single texel row have their top corners above the image: 0, unstored.
    bool keepsTop() const { return !picksPixel() && (skip == 1 || height > 1); }
    int32_t topRow(int32_t j) const { return j * blockHeight + skip - 1; }
    int32_t bottomRow(int32_t j) const { return j * blockHeight + blockHeight - 1; }
};

static int32_t halved(int32_t size) { return size / 2 > 0 ? size / 2 : 1; }

static int planLevels(int32_t width, int32_t height, Level (&levels)[maxLevels]) {
    int count = 0;
    for (int32_t w = width, h = height; w > 1 || h > 1;) {
        w = halved(w);
        h = halved(h);
        // Blocks come from the full-size image every time, never from the level before.
        const int32_t bw = width / w, bh = height / h;
        levels[count++] = {w, h, bw, bh, bw > 1 && bh > 1 ? 1 : 0};
    }
    return count;
}

static bool usesWideSums(int32_t width, int32_t height) {
    return (uint64_t)width * (uint64_t)height > narrowSumPixelLimit;
}

// The running table row, then each level's top corners, then every level's texels.
size_t mipmapScratchBytes(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > SIZE_MAX / maxScratchBytesPerPixel) return 0;
    const uint64_t sumBytes = usesWideSums(width, height) ? sizeof(uint64_t) : sizeof(uint32_t);
    Level levels[maxLevels];
    const int count = planLevels(width, height, levels);
    uint64_t sums = (uint64_t)width * channelCount, texels = 0;
    for (int k = 0; k < count; k++) {
        if (levels[k].keepsTop()) sums += (uint64_t)levels[k].width * channelCount;
        texels += (uint64_t)levels[k].width * (uint64_t)levels[k].height;
    }
    return (size_t)(sums * sumBytes + texels * sizeof(uint32_t));
}

void clearTransparentPixels(uint32_t* pixels, size_t count) {
    for (size_t i = 0; i < count; i++)
        if ((pixels[i] & alphaMask) == 0) pixels[i] = 0;
}

// The average of a block: sum / count rounded down, as a product with the reciprocal. With
// sum at most 255 count, (sum + 1/2) / count lies at least 1 / (2 count) from any whole
// number, and the double product errs by less than 256 x 2^-52: exact below 2^32 pixels.
static uint32_t average(uint64_t sum, double reciprocal) {
    return (uint32_t)(((double)sum + 0.5) * reciprocal);
}

// The four channels of texel i's block along the running row: its right corner's sums less
// its left corner's (0 left of the image).
template <typename Sum>
static void blockSpan(const Sum* row, const Level& l, int32_t i, Sum span[channelCount]) {
    const int32_t left = i * l.blockWidth + l.skip - 1;
    const Sum* right = row + ((size_t)i * l.blockWidth + l.blockWidth - 1) * channelCount;
    const Sum* leftSums = left >= 0 ? row + (size_t)left * channelCount : nullptr;
    for (int c = 0; c < channelCount; c++) span[c] = right[c] - (leftSums ? leftSums[c] : 0);
}

// Sums wrap modulo the width of Sum, but a block's sum is exact: no block holds more than
// the whole image.
template <typename Sum>
static void buildLevels(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                        MipmapLevelSink sink, void* context) {
    Level levels[maxLevels];
    const int count = planLevels(width, height, levels);
    // row[x * 4 + c]: channel c summed over the rows so far and columns 0..x.
    Sum* row = static_cast<Sum*>(scratch);
    Sum* tops[maxLevels];  // per texel of a texel row: its block's top corners, right - left
    Sum* next = row + (size_t)width * channelCount;
    for (int k = 0; k < count; k++) {
        tops[k] = levels[k].keepsTop() ? next : nullptr;
        if (tops[k]) next += (size_t)levels[k].width * channelCount;
    }
    uint32_t* texels[maxLevels];
    uint32_t* nextTexel = reinterpret_cast<uint32_t*>(next);
    for (int k = 0; k < count; k++) {
        texels[k] = nextTexel;
        nextTexel += (size_t)levels[k].width * levels[k].height;
    }
    for (size_t i = 0; i < (size_t)width * channelCount; i++) row[i] = 0;

    for (int32_t y = 0; y < height; y++) {
        const uint32_t* in = pixels + (size_t)y * width;
        Sum red = 0, green = 0, blue = 0, alpha = 0;  // this row's, columns 0..x
        for (size_t x = 0; x < (size_t)width; x++) {
            const uint32_t pixel = in[x];
            red += pixel & channelMask;
            green += pixel >> channelBits & channelMask;
            blue += pixel >> 2 * channelBits & channelMask;
            alpha += pixel >> 3 * channelBits;
            Sum* sums = row + x * channelCount;
            sums[0] += red;
            sums[1] += green;
            sums[2] += blue;
            sums[3] += alpha;
        }
        for (int k = 0; k < count; k++) {
            const Level& l = levels[k];
            // A texel row ends here; then (for whole blocks) the next one's top corners are
            // this very row.
            const int32_t j = (y + 1) / l.blockHeight - 1;
            if (j >= 0 && j < l.height && l.bottomRow(j) == y && l.picksPixel()) {
                uint32_t* out = texels[k] + (size_t)j * l.width;
                for (int32_t i = 0; i < l.width; i++) {
                    const uint32_t pixel = in[(size_t)i * 2 + 1];
                    out[i] = pixel & alphaMask ? pixel : 0;
                }
            } else if (j >= 0 && j < l.height && l.bottomRow(j) == y) {
                const double reciprocal =
                    1.0 / ((double)(l.blockWidth - l.skip) * (double)(l.blockHeight - l.skip));
                const Sum* top = l.topRow(j) >= 0 ? tops[k] : nullptr;
                uint32_t* out = texels[k] + (size_t)j * l.width;
                for (int32_t i = 0; i < l.width; i++) {
                    Sum sum[channelCount];
                    blockSpan(row, l, i, sum);
                    uint32_t texel = 0;
                    for (int c = 0; c < channelCount; c++) {
                        if (top) sum[c] -= top[(size_t)i * channelCount + c];
                        texel |= average(sum[c], reciprocal) << (channelBits * c);
                    }
                    out[i] = texel & alphaMask ? texel : 0;
                }
            }
            const int32_t nextJ = (y + 1 - l.skip) / l.blockHeight;
            if (tops[k] && nextJ < l.height && l.topRow(nextJ) == y)
                for (int32_t i = 0; i < l.width; i++) blockSpan(row, l, i, tops[k] + (size_t)i * channelCount);
        }
    }
    for (int k = 0; k < count; k++) sink(context, k + 1, levels[k].width, levels[k].height, texels[k]);
}

void buildMipmaps(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                  MipmapLevelSink sink, void* context) {
    if (width < 1 || height < 1) return;
    if (usesWideSums(width, height)) buildLevels<uint64_t>(pixels, width, height, scratch, sink, context);
    else buildLevels<uint32_t>(pixels, width, height, scratch, sink, context);
}
