// Inside the score library: the one path from an open decoder to records, which whole-song
// and live scoring share.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "score/analysis.h"
#include "score/score.h"

struct AudioDecoder;

// Who hears of a song's records as they are scored, on the scoring thread: each record as
// it becomes final, in order; and (may be null) the horizon: every record below that many
// ms has come, INT32_MAX once the song is done.
struct ScoreListener {
    OnsetSink record;
    void (*horizon)(int32_t ms, void* user);
    void* user;
    const std::atomic<bool>* stop;  // may be null: once true, scoring ends where it is
};

// Scores everything an open decoder yields (scoreChannels at analysisRateHz), the decoding a
// few blocks ahead on a thread of its own. False with a reason when it yields no audio at
// all, or when stopped.
bool scoreDecoder(AudioDecoder* decoder, const ScoreListener& listener, std::string* error,
                  const ScoreProgress& progress, double* decodedSeconds, int64_t* decodedFrames = nullptr);
