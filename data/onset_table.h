// The compiled-in onset table: the song's score, one bit per column for each moment.
#pragma once
#include <cstddef>
#include <cstdint>

// The show's columns: one bar each along the bottom, one bit each in a record's mask.
constexpr int onsetColumnCount = 448;
constexpr int maskWordBits = 32;
constexpr int onsetMaskWords = 14;
static_assert(onsetMaskWords * maskWordBits == onsetColumnCount, "one mask bit per column");
// A record as stored in files: its time, then its mask words, each 4 bytes little-endian.
constexpr size_t onsetRecordBytes = 4 + 4 * onsetMaskWords;

// One moment of the song. Column n is bit (n mod 32) of mask[n / 32]. Laid out in memory
// as it is stored.
struct OnsetFrame {
    int32_t timeMs;                  // ms of play position, strictly ascending
    uint32_t mask[onsetMaskWords];
};
static_assert(sizeof(OnsetFrame) == onsetRecordBytes, "an OnsetFrame as stored");
static_assert(offsetof(OnsetFrame, timeMs) == 0, "timeMs at offset 0");
static_assert(offsetof(OnsetFrame, mask) == 4, "mask at offset 4");

// Generated at build time from the song by the scorer.
extern const OnsetFrame onsetTable[];
extern const int32_t onsetFrameCount;
