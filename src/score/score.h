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

// Live scoring, for the player: one song's table, from the cache when it holds one (the
// song is still opened once, so a song that cannot play is refused), else scored on a
// thread of its own and kept in the cache when done. Times are the song's own ms. Any
// number of songs at once, each its own LiveScore.
struct LiveScore;
// What the file says of the song, read when its scoring starts.
struct SongFacts {
    std::string title, artist, album;  // its tags; empty when it has none
    double seconds = 0;                // the length it states; 0 when it states none
    std::string coverArt;              // the picture it holds (bytes), and its file extension
    std::string coverExtension;
};
// Null with a reason when the song cannot be read.
LiveScore* startLiveScore(const char* songPath, std::string* error, SongFacts* facts = nullptr);
// The table; it does not move while it grows.
const OnsetFrame* liveScoreTable(const LiveScore* score);
// Records final so far. Any thread.
int32_t liveScoreCount(const LiveScore* score);
// Every record with a time (ms) below this is counted; INT32_MAX once the whole song is
// scored. Any thread.
int32_t liveScoreHorizonMs(const LiveScore* score);
// True once the whole song is scored (or came from the cache).
bool liveScoreDone(const LiveScore* score);
// The song's length in frames at audioRateHz (what the decoder yields of it), once done.
int64_t liveScoreFrames(const LiveScore* score);
// Whether the table came from the cache (benchmarks and messages).
bool liveScoreFromCache(const LiveScore* score);
// Stops the scoring where it is and frees the score and its table.
void stopLiveScore(LiveScore* score);

// The score cache's bound (bytes): past it, entries of songs no longer there go first, then
// the least recently used. 0: no cache at all, neither read nor written.
constexpr int64_t scoreCacheMegabyte = 1000 * 1000;
constexpr int64_t defaultScoreCacheBytes = 100 * scoreCacheMegabyte;
void setScoreCacheLimit(int64_t bytes);
// A song's cover art kept as a file in the score cache, an entry like its score; its path,
// or empty when there is no cache to keep it in.
std::string keepCoverArt(const char* songPath, const std::string& bytes, const std::string& extension);

// The table as a C++ source file that defines onsetTable and onsetFrameCount, its first
// comment naming songName. An empty table becomes one empty record, since a C++ array
// cannot be empty.
std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName);
// Reads back a source written by tableSource; false if it is not one.
bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table);
// Writes bytes to path whole or not at all (beside it, then renamed into place), with
// the usual mode for a new file. False with strerror's reason.
bool writeFileWhole(const std::string& path, const std::string& bytes, std::string* error);
