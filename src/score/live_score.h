// The player's onset table: read from the cache, or scored by a background thread while
// the song plays, in a table that only grows and whose records, once counted, are final.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "data/onset_table.h"

// Gets the song's table ready: from the cache when it holds one, else a thread starts
// scoring the song (and keeps the result in the cache when it is done). Record times are
// shifted by offsetMs, the silence the player plays first. False with a reason when the
// song cannot be read; called once, before the show starts.
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

// Scores a whole song at once, as the capture tool needs before its first frame: the
// records shifted by offsetMs, and the song's decoded length in seconds. False with a
// reason when the song cannot be read.
bool scoreWholeSong(const char* songPath, int32_t offsetMs, std::vector<OnsetFrame>* table,
                    double* seconds, std::string* error);
