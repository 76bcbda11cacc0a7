// Scoring a whole song: the decoder's stream through the onset analysis, the decoding on a
// thread of its own a few blocks ahead. The one way xoon-score, the player and the capture
// tool score a song, so all three come to the same table bit for bit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "score/analysis.h"

struct AudioDecoder;

// What a song is decoded to for scoring: stereo at the analysis rate (a mono song comes as
// two equal channels, a wider one mixed down).
constexpr int scoreChannels = 2;

// Reports progress while a song is scored: the share done (0..1) and the song's length in
// seconds (0 when the file does not say). May be empty.
using ScoreProgress = std::function<void(double done, double songSeconds)>;

// Who hears of a song's records as they are scored, on the scoring thread: each record as
// it becomes final, in order; and (may be null) the horizon: every record below that many
// ms has come, INT32_MAX once the song is done.
struct ScoreListener {
    OnsetSink record;
    void (*horizon)(int32_t ms, void* user);
    void* user;
};

// Scores everything an open decoder yields (scoreChannels at analysisRateHz), and gives
// the seconds it decoded when asked. False with a reason when it yields no audio at all.
bool scoreDecoder(AudioDecoder* decoder, const ScoreListener& listener, std::string* error,
                  const ScoreProgress& progress = {}, double* decodedSeconds = nullptr);
// The same, collected into *table: records in ascending, distinct timeMs, each with at
// least one column set.
bool scoreDecoder(AudioDecoder* decoder, std::vector<OnsetFrame>* table, std::string* error,
                  const ScoreProgress& progress = {});

// Opens a song (any format the decoder reads) and scores it; false with a one-line
// reason when it cannot be opened or holds no audio.
bool scoreFile(const char* path, std::vector<OnsetFrame>* table, std::string* error,
               const ScoreProgress& progress = {});

// The same on bytes in memory (tests and the fuzzer); safe on any bytes.
bool scoreMemory(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error, const ScoreProgress& progress = {});
