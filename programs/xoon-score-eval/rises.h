// Whether a table's bits stand where the song's own sound rose: each lit column's band
// measured on the decoded samples, independently of the scorer's analysis.
#pragma once
#include <string>
#include <vector>

#include "data/onset_table.h"

// A bit has a rise when its column's band (the column +-riseBandColumns, at least the
// nearest bin and one either side) holds riseDb more power in a window just after some
// moment within +-riseNearSeconds of its record than in the window just before. The
// windows are long enough to resolve the band: 93 ms below 250 Hz, 46 ms below 1 kHz,
// 23 ms above.
constexpr double riseDb = 3.0;
constexpr double riseNearSeconds = 0.050;
constexpr int riseBandColumns = 4;

struct RiseCheck {
    int bits = 0, risen = 0;
};

// Decodes the song (mono) and checks every bit of the table. False with a reason when
// the song cannot be read.
bool checkRises(const char* songPath, const std::vector<OnsetFrame>& table, RiseCheck* check, std::string* error);

// The song's samples, mono at analysisRateHz, decoded whole. False with a reason when the
// song cannot be read.
bool decodeMono(const char* songPath, std::vector<float>* samples, std::string* error);

// The power in each column's band, dB of a full-scale sine's, in the window
// centred on sample 'at', at that column's resolution: a spectrogram on the columns' own axis.
void columnLevels(const std::vector<float>& samples, long at, float levelsDb[onsetColumnCount]);
