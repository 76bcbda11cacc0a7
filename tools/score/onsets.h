// The scorer's core: a song read through the decoder and scored by the onset analysis as
// it streams, giving the show's onset table; and the table as C++ source.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "onset_table.h"

struct AudioDecoder;

// The decoder's output the scorer asks for: stereo at the analysis rate (a mono song
// comes as two equal channels, a wider one mixed down).
constexpr int scoreChannels = 2;

// Reports progress while a song is scored: the share done (0..1) and the song's length in
// seconds (0 when the file does not say). May be empty.
using ScoreProgress = std::function<void(double done, double songSeconds)>;

// Scores everything an open decoder yields (scoreChannels at analysisRateHz) into *table:
// records in ascending, distinct timeMs, each with at least one column set. Decoding runs
// on a thread of its own, a few blocks ahead of the analysis, so memory stays bounded.
// False with a reason when it yields no audio at all.
bool scoreDecoder(AudioDecoder* decoder, std::vector<OnsetFrame>* table, std::string* error,
                  const ScoreProgress& progress = {});

// Opens a song (any format the decoder reads) and scores it; false with a one-line
// reason when it cannot be opened or holds no audio. Called by xoon-score's main.
bool scoreFile(const char* path, std::vector<OnsetFrame>* table, std::string* error,
               const ScoreProgress& progress = {});

// The same on bytes in memory (tests and the fuzzer); safe on any bytes.
bool scoreMemory(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error, const ScoreProgress& progress = {});

// The table as a C++ source file that defines onsetTable and onsetFrameCount. An empty
// table becomes one empty record, since a C++ array cannot be empty.
std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName);

// Reads back a source written by tableSource; false if it is not one.
bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table);
