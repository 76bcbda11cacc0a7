// The fire and look-ahead scans over the onset table.
#include "show/onset_scans.h"

#include "data/onset_table.h"
#include "show/layout.h"
#include "show/particles.h"
#include "show/wave_line.h"

constexpr int32_t flightBaseMs = 4000;  // flight = this minus the onset's lead over the tick
constexpr float firedCellValue = 1.0f;

static const OnsetFrame* table = onsetTable;
static int32_t tableCount = onsetFrameCount;
static int32_t fireCursor = 0;
static int32_t launchCursor = 0;

void fireDueOnsets(int32_t t) {
    while (fireCursor < tableCount && table[fireCursor].timeMs < t) {
        const OnsetFrame& frame = table[fireCursor];
        for (int w = 0; w < onsetMaskWords; w++) {
            for (int k = 0; k < maskWordBits; k++) {
                if (frame.mask[w] & (1u << k)) setWaveCell(maskWordBits * w + k, firedCellValue);
            }
        }
        fireCursor++;
    }
}

void launchUpcomingOnsets(int32_t t) {
    // Unsigned addition: t + 2000 wraps instead of overflowing near the top of the range.
    const int32_t windowEnd = (int32_t)((uint32_t)t + (uint32_t)onsetLookAheadMs);
    while (launchCursor < tableCount && table[launchCursor].timeMs < windowEnd) {
        const OnsetFrame& frame = table[launchCursor];
        const int32_t flightMs = t - frame.timeMs + flightBaseMs;
        for (int w = 0; w < onsetMaskWords; w++) {
            for (int k = 0; k < maskWordBits; k++) {
                if (!(frame.mask[w] & (1u << k))) continue;
                const int32_t column = maskWordBits * w + k;
                launchParticle(columnTargetX(column), barTop, flightMs);
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

void cutOnsetTable(int32_t count) {
    if (count < 0 || count >= tableCount) return;
    tableCount = count;
    if (fireCursor > count) fireCursor = count;
    if (launchCursor > count) launchCursor = count;
}

void rewindLaunchCursor(int32_t timeMs) {
    while (launchCursor > 0 && table[launchCursor - 1].timeMs >= timeMs) launchCursor--;
}

int32_t fireCursorPosition() { return fireCursor; }
int32_t launchCursorPosition() { return launchCursor; }
