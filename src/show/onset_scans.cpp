// The fire and look-ahead scans over the onset table.
#include "show/onset_scans.h"

#include <cstring>

#include "onset_table.h"
#include "show/particles.h"
#include "show/wave_line.h"

constexpr int32_t flightBaseMs = 4000;  // flight = this minus the onset's lead over the tick
constexpr float targetY = 368.0f;       // top edge of the bars, virtual-screen units
constexpr float firedCellValue = 1.0f;
constexpr int32_t columnSpan = 800;     // virtual-screen units across the 448 columns
constexpr uint32_t oneOver448Bits = 0x3B124925u;  // single precision nearest 1/448
constexpr int bitsPerMaskWord = 32;

static const OnsetFrame* table = onsetTable;
static int32_t tableCount = onsetFrameCount;
static int32_t fireCursor = 0;
static int32_t launchCursor = 0;

static float oneOver448() {
    float f;
    std::memcpy(&f, &oneOver448Bits, sizeof f);
    return f;
}

void fireDueOnsets(int32_t t) {
    while (fireCursor < tableCount && table[fireCursor].timeMs < t) {
        const OnsetFrame& frame = table[fireCursor];
        for (int w = 0; w < onsetMaskWords; w++) {
            for (int k = 0; k < bitsPerMaskWord; k++) {
                if (frame.mask[w] & (1u << k)) setWaveCell(bitsPerMaskWord * w + k, firedCellValue);
            }
        }
        fireCursor++;
    }
}

void launchUpcomingOnsets(int32_t t) {
    const float columnScale = oneOver448();
    // Unsigned addition: t + 2000 wraps instead of overflowing near the top of the range.
    const int32_t windowEnd = (int32_t)((uint32_t)t + (uint32_t)onsetLookAheadMs);
    while (launchCursor < tableCount && table[launchCursor].timeMs < windowEnd) {
        const OnsetFrame& frame = table[launchCursor];
        const int32_t flightMs = t - frame.timeMs + flightBaseMs;
        for (int w = 0; w < onsetMaskWords; w++) {
            for (int k = 0; k < bitsPerMaskWord; k++) {
                if (!(frame.mask[w] & (1u << k))) continue;
                const int32_t column = bitsPerMaskWord * w + k;
                const float targetX = (float)((double)(float)(column * columnSpan) * columnScale);
                launchParticle(targetX, targetY, flightMs);
            }
        }
        launchCursor++;
    }
}

void useOnsetTable(const OnsetFrame* frames, int32_t count) {
    table = frames;
    tableCount = count;
    fireCursor = 0;
    launchCursor = 0;
}

void extendOnsetTable(int32_t count) {
    if (count > tableCount) tableCount = count;
}

int32_t fireCursorPosition() { return fireCursor; }
int32_t launchCursorPosition() { return launchCursor; }
