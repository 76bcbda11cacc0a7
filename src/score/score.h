// Scoring a song's onsets, the one way every program does it: a whole song at once (the
// scorer, the capture tool), or while it plays (the player) with the table kept in the
// user's score cache; and the table as the C++ source the show compiles in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/onset_table.h"
#include "platform/audio_format.h"

// What a song is decoded to for scoring: stereo (a mono song comes as two equal channels,
// a wider one mixed down).
constexpr int scoreChannels = audioChannels;

// Reports progress while a song is scored: the share done (0..1) and the song's length in
// seconds (0 when the file does not say). May be empty.
using ScoreProgress = std::function<void(double done, double songSeconds)>;

// Opens a song (any format the decoder reads) and scores it whole: records in ascending,
// distinct timeMs (shifted by offsetMs), each with at least one column set, and the
// seconds it decoded. False with a one-line reason when it cannot be opened or holds no
// audio.
bool scoreFile(const char* path, int32_t offsetMs, std::vector<OnsetFrame>* table,
               std::string* error, const ScoreProgress& progress = {},
               double* decodedSeconds = nullptr);
// The same on bytes in memory (tests and the fuzzer); safe on any bytes.
bool scoreMemory(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error);
// The length a song file states, in seconds (0 when it states none); false with a reason
// when it cannot be opened as a song.
bool songFileSeconds(const char* path, double* seconds, std::string* error);

// Live scoring, for the player: gets the song's table ready, from the cache when it holds
// one (the song is still opened once, so a song that cannot play is refused), else a thread
// starts scoring it and keeps the result in the cache when done. Record times are shifted
// by offsetMs. False with a reason when the song cannot be read; called once, before the
// show starts.
bool startLiveScore(const char* songPath, int32_t offsetMs, std::string* error);
// The table; it does not move while it grows.
const OnsetFrame* liveScoreTable();
// Records final so far. Main thread, once per frame.
int32_t liveScoreCount();
// Every record with a time (ms, offset included) below this is counted; INT32_MAX once
// the whole song is scored. Any thread.
int32_t liveScoreHorizonMs();
// True once the whole song is scored (or came from the cache).
bool liveScoreDone();
// Whether the table came from the cache (benchmarks and messages).
bool liveScoreFromCache();

// The table as a C++ source file that defines onsetTable and onsetFrameCount, its first
// comment naming songName. An empty table becomes one empty record, since a C++ array
// cannot be empty.
std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName);
// Reads back a source written by tableSource; false if it is not one.
bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table);
// Writes bytes to path whole or not at all (beside it, then renamed into place), with
// the usual mode for a new file. False with strerror's reason.
bool writeFileWhole(const std::string& path, const std::string& bytes, std::string* error);
