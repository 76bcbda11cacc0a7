// Mipmap levels as box averages read from the summed-area table of level 0.
//
// The table is streamed rather than stored: one running row of sums goes down the image, and
// each level keeps, per texel, only what its block's top corners held until the row of its
// bottom corners comes by. A texel costs four table reads per channel whatever its block's
// size, no level is built from another, and the scratch stays a few bytes per pixel.
#include "gfx/mipmap.h"

#include <cstring>
#include <limits>
#include <type_traits>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "pixel words are read as their bytes red, green, blue, alpha");

static constexpr int channelCount = 4;  // red, green, blue, alpha, in that order in a word
static constexpr uint32_t alphaMask = 0xFF000000u;
static constexpr uint64_t channelMax = 255;
// The most pixels whose channel total, every pixel at 255, still fits an unsigned 32-bit
// sum (4096 x 4096 does); larger images take 64-bit sums.
static constexpr uint64_t narrowSumPixelLimit = UINT32_MAX / channelMax;
static constexpr uint64_t maxScratchBytesPerPixel = 40;
static constexpr int maxLevels = 32;    // a size below 2^31 halves to 1 in at most 31 steps
static constexpr int32_t pixelsPerLoad = 4;  // one 16-byte load

// One level below level 0: its size in texels and the block of level-0 pixels behind a texel.
struct LevelShape {
    int32_t width, height;
    int32_t blockWidth, blockHeight;
    // A block one pixel wide or high: averaged whole, corners just outside it. Otherwise the
    // corners are the block's own first row and column, which the sum therefore leaves out.
    bool whole;
    // A 2 x 2 block counts its one pixel at (1, 1): read that rather than four sums.
    bool picksPixel() const { return !whole && blockWidth == 2 && blockHeight == 2; }
    // Whole blocks in a single texel row have their top corners above the image: no memory.
    bool keepsTop() const { return !picksPixel() && (!whole || height > 1); }
};

static int32_t halved(int32_t size) { return size / 2 > 0 ? size / 2 : 1; }

static int planLevels(int32_t width, int32_t height, LevelShape (&shapes)[maxLevels]) {
    int count = 0;
    int32_t w = width, h = height;
    while (w > 1 || h > 1) {
        w = halved(w);
        h = halved(h);
        // Blocks come from the full-size image every time, never from the level before.
        const int32_t bw = width / w, bh = height / h;
        shapes[count++] = {w, h, bw, bh, bw == 1 || bh == 1};
    }
    return count;
}

static bool usesWideSums(int32_t width, int32_t height) {
    return (uint64_t)width * (uint64_t)height > narrowSumPixelLimit;
}

size_t mipmapScratchBytes(int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > SIZE_MAX / maxScratchBytesPerPixel) return 0;
    const uint64_t sumBytes = usesWideSums(width, height) ? sizeof(uint64_t) : sizeof(uint32_t);
    LevelShape shapes[maxLevels];
    const int levels = planLevels(width, height, shapes);
    uint64_t sums = (uint64_t)width * channelCount;  // the running row
    uint64_t texels = 0;  // room for every level; over the image, level 1 may leave some unused
    for (int k = 0; k < levels; k++) {
        const LevelShape& s = shapes[k];
        texels += (uint64_t)s.width * (uint64_t)s.height;
        if (s.keepsTop()) sums += (uint64_t)s.width * channelCount;
    }
    return (size_t)(sums * sumBytes + texels * sizeof(uint32_t));
}

// The four channels of a pixel side by side in one vector, so that the compiler can keep
// them in one register whatever the instruction set.
template <typename Sum>
struct Channels {
    typedef Sum Lanes __attribute__((vector_size(channelCount * sizeof(Sum)), aligned(sizeof(Sum))));
};
typedef uint32_t Words __attribute__((vector_size(16), aligned(4)));
typedef uint16_t Halves __attribute__((vector_size(16)));
typedef uint8_t Bytes __attribute__((vector_size(16)));
typedef uint8_t PixelBytes __attribute__((vector_size(channelCount)));
typedef uint64_t Pairs __attribute__((vector_size(16)));
typedef double Doubles __attribute__((vector_size(channelCount * sizeof(double))));
typedef float Floats __attribute__((vector_size(channelCount * sizeof(float))));

void clearTransparentPixels(uint32_t* pixels, size_t count) {
    constexpr size_t wordsPerLoad = sizeof(Words) / sizeof(uint32_t);
    constexpr size_t loadsPerStep = 4;
    const Words alpha = {alphaMask, alphaMask, alphaMask, alphaMask};
    const Words none = {};
    size_t i = 0;
    for (; i + wordsPerLoad * loadsPerStep <= count; i += wordsPerLoad * loadsPerStep) {
        Words words[loadsPerStep];
        memcpy(words, pixels + i, sizeof words);
        const Words transparent = ((words[0] & alpha) == 0) | ((words[1] & alpha) == 0) |
                                  ((words[2] & alpha) == 0) | ((words[3] & alpha) == 0);
        // Most of most images is opaque: write only where something changes.
        if (memcmp(&transparent, &none, sizeof none) == 0) continue;
        for (Words& w : words) w &= (Words)((w & alpha) != 0);
        memcpy(pixels + i, words, sizeof words);
    }
    for (; i < count; i++)
        if ((pixels[i] & alphaMask) == 0) pixels[i] = 0;
}

// Exact integer division by a block's pixel count d through its reciprocal. With n at most
// 255 d, (n + 1/2) / d lies at least 1 / (2d) from any integer; the product's relative error
// is below 2^-23 in float and 2^-52 in double, so below 255.5 times that in absolute terms.
// Float is exact for d up to 8192 (n + 1/2 also stays below 2^23), double for d below 2^32;
// larger counts divide directly. Sums go through signed lanes, which convert in one step.
template <typename Sum>
struct Divisor {
    typedef typename Channels<Sum>::Lanes Lanes;
    typedef typename std::make_signed<Sum>::type Signed;
    typedef Signed SignedLanes __attribute__((vector_size(sizeof(Lanes)), aligned(sizeof(Sum))));
    static constexpr Sum floatLimit = 8192;
    Sum count = 1;
    float floatReciprocal = 1.0f;
    double reciprocal = 1.0;
    enum { viaFloat, viaDouble, direct } way = viaFloat;
    Divisor() = default;
    explicit Divisor(Sum pixels)
        : count(pixels), floatReciprocal(1.0f / (float)pixels), reciprocal(1.0 / (double)pixels),
          way(pixels <= floatLimit ? viaFloat
              : pixels <= UINT32_MAX && pixels <= (Sum)std::numeric_limits<Signed>::max() / channelMax
                  ? viaDouble
                  : direct) {}
    void divide(const Lanes& n, Lanes& quotient) const {
        if (way == viaFloat) {
            const Floats exact = __builtin_convertvector((SignedLanes)n, Floats);
            quotient = (Lanes)__builtin_convertvector((exact + 0.5f) * floatReciprocal, SignedLanes);
        } else if (way == viaDouble) {
            const Doubles exact = __builtin_convertvector((SignedLanes)n, Doubles);
            quotient = (Lanes)__builtin_convertvector((exact + 0.5) * reciprocal, SignedLanes);
        } else {
            quotient = n / count;
        }
    }
};

// Averages each channel; the texel is 0 when the averaged alpha is. Sums arrive modulo 2^32
// or 2^64 but are exact, since a block never holds more than the whole image.
template <typename Sum>
static uint32_t texelOf(const typename Channels<Sum>::Lanes& sum, const Divisor<Sum>& divisor) {
    typename Channels<Sum>::Lanes average;
    divisor.divide(sum, average);
    // Averages are at most 255: as two 64-bit lanes {red, green} and {blue, alpha}, one shift
    // brings each pair together in the low 16 bits.
    Pairs pairs = (Pairs)__builtin_convertvector(average, Words);
    pairs |= pairs >> 24;
    const uint32_t blueAlpha = (uint32_t)pairs[1] & 0xFFFF;
    if (blueAlpha >> 8 == 0) return 0;
    return ((uint32_t)pairs[0] & 0xFFFF) | blueAlpha << 16;
}

template <typename Sum>
struct Level {
    typedef typename Channels<Sum>::Lanes Lanes;
    LevelShape shape;
    Divisor<Sum> divisor;  // pixels counted per block
    Lanes* top;            // per texel: the top corner row's right minus left; null: all 0
    uint32_t* texels;      // this level's share of the output
    int32_t row;           // the texel row being summed
    bool topTaken;         // its top corners are in top

    int32_t topRow(int32_t j) const { return j * shape.blockHeight - (shape.whole ? 1 : 0); }
    int32_t bottomRow(int32_t j) const { return j * shape.blockHeight + shape.blockHeight - 1; }
    // The next image row whose sums this level reads; past the image when it has them all.
    int32_t nextRow() const {
        if (row >= shape.height) return INT32_MAX;
        return topTaken ? bottomRow(row) : topRow(row);
    }
    void start(Lanes* topCorners) {
        top = topCorners;
        row = 0;
        // Whole blocks on the first texel row have their top corners on row -1: all zero.
        topTaken = !top || topRow(0) < 0;
    }

    // For texel i: the running row's sums at the block's right corner minus its left corner.
    // A left corner left of the image reads 0. (Vectors go by reference: no ABI questions.)
    void span(const Lanes* sums, int32_t i, Lanes& out) const {
        const size_t right = (size_t)i * shape.blockWidth + shape.blockWidth - 1;
        if (!shape.whole) out = sums[right] - sums[right - (shape.blockWidth - 1)];
        else out = i == 0 ? sums[right] : sums[right] - sums[right - shape.blockWidth];
    }
    // Copies of the fields go into the loops: stores through texels could alias them.
    void keepTopCorners(const Lanes* sums) {
        const Level self = *this;
        for (int32_t i = 0; i < self.shape.width; i++) self.span(sums, i, self.top[i]);
        topTaken = true;
    }
    void finishTexelRow(const Lanes* sums) {
        const Level self = *this;
        uint32_t* out = self.texels + (size_t)row * self.shape.width;
        for (int32_t i = 0; i < self.shape.width; i++) {
            Lanes sum;
            self.span(sums, i, sum);
            if (self.top) sum -= self.top[i];
            out[i] = texelOf<Sum>(sum, self.divisor);
        }
        row++;
        topTaken = !top;
    }
    // sums hold table row y.
    void takeRow(const Lanes* sums, int32_t y) {
        if (!topTaken && y == topRow(row)) keepTopCorners(sums);
        if (row < shape.height && y == bottomRow(row)) {
            finishTexelRow(sums);
            // A whole block's top row is the bottom row of the block above.
            if (!topTaken && row < shape.height && y == topRow(row)) keepTopCorners(sums);
        }
    }
};

// The running row moves down `rows` image rows at once: each column's sum over the rows so
// far and columns 0..x. Rows whose sums nobody reads are added together first, in 16 bits.
template <typename Sum>
static void addRows(const uint32_t* in, int32_t rows, int32_t width,
                    typename Channels<Sum>::Lanes* sums) {
    typedef typename Channels<Sum>::Lanes Lanes;
    const Bytes zeroBytes = {};
    const Halves zeroHalves = {};
    Lanes rowSum = {};
    int32_t x = 0;
    for (; x + pixelsPerLoad <= width; x += pixelsPerLoad) {
        Halves low = {}, high = {};
        for (int32_t r = 0; r < rows; r++) {
            Bytes four;
            memcpy(&four, in + (size_t)r * width + x, sizeof four);
            low += (Halves)__builtin_shufflevector(four, zeroBytes, 0, 16, 1, 17, 2, 18, 3, 19, 4,
                                                   20, 5, 21, 6, 22, 7, 23);
            high += (Halves)__builtin_shufflevector(four, zeroBytes, 8, 24, 9, 25, 10, 26, 11, 27,
                                                    12, 28, 13, 29, 14, 30, 15, 31);
        }
        rowSum += __builtin_convertvector(
            (Words)__builtin_shufflevector(low, zeroHalves, 0, 8, 1, 9, 2, 10, 3, 11), Lanes);
        sums[x] += rowSum;
        rowSum += __builtin_convertvector(
            (Words)__builtin_shufflevector(low, zeroHalves, 4, 12, 5, 13, 6, 14, 7, 15), Lanes);
        sums[x + 1] += rowSum;
        rowSum += __builtin_convertvector(
            (Words)__builtin_shufflevector(high, zeroHalves, 0, 8, 1, 9, 2, 10, 3, 11), Lanes);
        sums[x + 2] += rowSum;
        rowSum += __builtin_convertvector(
            (Words)__builtin_shufflevector(high, zeroHalves, 4, 12, 5, 13, 6, 14, 7, 15), Lanes);
        sums[x + 3] += rowSum;
    }
    for (; x < width; x++) {
        for (int32_t r = 0; r < rows; r++) {
            PixelBytes bytes;
            memcpy(&bytes, in + (size_t)r * width + x, sizeof bytes);
            rowSum += __builtin_convertvector(bytes, Lanes);
        }
        sums[x] += rowSum;
    }
}

// Row j of a level of 2 x 2 blocks: the pixels at odd columns of pixel row 2j + 1. Written over
// the image itself, row j lands before pixel row 2j + 1, over rows the sums already hold.
static void pickPixelRow(const uint32_t* pixels, int32_t width, const LevelShape& shape,
                         int32_t j, uint32_t* levelTexels) {
    const uint32_t* in = pixels + (size_t)(2 * j + 1) * width + 1;
    uint32_t* out = levelTexels + (size_t)j * shape.width;
    for (int32_t i = 0; i < shape.width; i++) {
        const uint32_t pixel = in[2 * i];
        out[i] = pixel & alphaMask ? pixel : 0;
    }
}

// levelOne: where a level 1 of 2 x 2 blocks goes; null for the scratch after the other levels.
template <typename Sum>
static void buildLevels(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                        uint32_t* levelOne, MipmapLevelSink sink, void* context) {
    typedef typename Channels<Sum>::Lanes Lanes;
    LevelShape shapes[maxLevels];
    const int count = planLevels(width, height, shapes);
    // Only level 1 can pick pixels; later levels have blocks of 4 or more on a side.
    const bool picking = count > 0 && shapes[0].picksPixel();
    const int firstSummed = picking ? 1 : 0;

    Level<Sum> levels[maxLevels];
    Lanes* sums = static_cast<Lanes*>(scratch);
    Lanes* nextTop = sums + width;
    for (int k = firstSummed; k < count; k++) {
        const LevelShape& s = shapes[k];
        levels[k].shape = s;
        levels[k].divisor = Divisor<Sum>(s.whole ? (Sum)s.blockWidth * (Sum)s.blockHeight
                                                 : (Sum)(s.blockWidth - 1) * (Sum)(s.blockHeight - 1));
        levels[k].start(s.keepsTop() ? nextTop : nullptr);
        if (s.keepsTop()) nextTop += s.width;
    }
    memset(static_cast<void*>(sums), 0, (size_t)(nextTop - sums) * sizeof(Lanes));
    uint32_t* nextTexels = reinterpret_cast<uint32_t*>(nextTop);
    for (int k = firstSummed; k < count; k++) {
        levels[k].texels = nextTexels;
        nextTexels += (size_t)shapes[k].width * shapes[k].height;
    }
    if (!levelOne) levelOne = nextTexels;

    // Byte sums of this many rows still fit 16 bits.
    constexpr int32_t maxRowsAtOnce = UINT16_MAX / channelMax;
    for (int32_t y = 0; y < height;) {
        int32_t wanted = INT32_MAX;  // the next row whose sums some level reads
        for (int k = firstSummed; k < count; k++)
            if (levels[k].nextRow() < wanted) wanted = levels[k].nextRow();
        int32_t last = height - 1;
        if (wanted < height) {
            last = wanted - y < maxRowsAtOnce ? wanted : y + maxRowsAtOnce - 1;
            addRows<Sum>(pixels + (size_t)y * width, last - y + 1, width, sums);
        }
        // While the rows are still in the cache.
        if (picking)
            for (int32_t r = y | 1; r <= last && r / 2 < shapes[0].height; r += 2)
                pickPixelRow(pixels, width, shapes[0], r / 2, levelOne);
        if (last == wanted)
            for (int k = firstSummed; k < count; k++) levels[k].takeRow(sums, last);
        y = last + 1;
    }
    if (picking) sink(context, 1, shapes[0].width, shapes[0].height, levelOne);
    for (int k = firstSummed; k < count; k++)
        sink(context, k + 1, shapes[k].width, shapes[k].height, levels[k].texels);
}

static void build(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                  uint32_t* levelOne, MipmapLevelSink sink, void* context) {
    if (width < 1 || height < 1) return;
    if (usesWideSums(width, height))
        buildLevels<uint64_t>(pixels, width, height, scratch, levelOne, sink, context);
    else
        buildLevels<uint32_t>(pixels, width, height, scratch, levelOne, sink, context);
}

void buildMipmaps(const uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                  MipmapLevelSink sink, void* context) {
    build(pixels, width, height, scratch, nullptr, sink, context);
}

void buildMipmapsOverImage(uint32_t* pixels, int32_t width, int32_t height, void* scratch,
                           MipmapLevelSink sink, void* context) {
    build(pixels, width, height, scratch, pixels, sink, context);
}
