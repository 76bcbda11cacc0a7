// The scorer's core: decodes an Ogg Vorbis song held in memory and finds its note onsets
// in 448 log-spaced frequency bands, giving the show's onset table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "onset_table.h"

constexpr int scoreColumns = onsetColumnCount;  // one band per column of the show
constexpr double lowestColumnHz = 30.0;      // centre of column 0
constexpr double highestColumnHz = 16000.0;  // centre of column 447

// Centre frequency of a column (fractional columns allowed), Hz, and the inverse.
double columnFrequency(double column);
double frequencyColumn(double hz);

// A decoded song: all channels mixed down to one, at the song's own rate.
struct DecodedSong {
    long rate = 0;                // samples per second
    int channels = 0;             // channels of the source before the mix-down
    std::vector<float> samples;   // mono, nominally -1..1
};

// Reports progress while a song is decoded and analysed: the share done (0..1) and the
// song's length in seconds (as far as known). May be empty.
using ScoreProgress = std::function<void(double done, double songSeconds)>;

// Decodes Ogg Vorbis bytes (any rate, any channel count). Safe on any bytes: on garbage,
// a damaged header, no audio or a song too long to score it returns false with a
// one-line reason; a song cut short decodes as far as it goes.
bool decodeVorbis(const uint8_t* bytes, size_t size, DecodedSong* song, std::string* error,
                  const ScoreProgress& progress = {});

// Finds the onsets of a decoded song: records in ascending, distinct timeMs (ms of play
// position at which the onsets are heard), each with at least one column set.
std::vector<OnsetFrame> findOnsets(const DecodedSong& song, const ScoreProgress& progress = {});

// decodeVorbis then findOnsets: the whole scorer on bytes in memory. Called by
// xoon-score's main, the tests and the fuzzer.
bool scoreVorbis(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error, const ScoreProgress& progress = {});

// The table as a C++ source file that defines onsetTable and onsetFrameCount. An empty
// table becomes one empty record, since a C++ array cannot be empty.
std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName);

// Reads back a source written by tableSource; false if it is not one.
bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table);
