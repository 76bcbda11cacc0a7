// Scores a song: the decoder's stream through the onset analysis, the decoding a few blocks
// ahead on a thread of its own.
#include "score/score.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/decoder.h"
#include "score/analysis.h"
#include "score/score_decoder.h"

// Blocks of decoded frames passed from the decoding thread to the analysis: enough to
// keep both busy, few enough that memory does not follow the song's length, and large,
// for each hand-over wakes a thread (a context switch where both share one core).
constexpr int blockFrames = 16384;
constexpr int blockCount = 2;
// The analysis takes a block this many frames at a time, telling its horizon after each.
constexpr int feedFrames = 4096;

namespace {

struct Block {
    float samples[blockFrames * scoreChannels];
    int frames = 0;  // 0: the end of the song
};

// The blocks in flight: the decoder fills them in turn, the analysis empties them in turn.
struct Pipe {
    Block blocks[blockCount];
    std::mutex lock;
    std::condition_variable changed;
    int filled = 0, emptied = 0;  // blocks handed over so far, each way
    bool stopped = false;         // the analysis gave up: decode no further
};

void decodeInto(AudioDecoder* decoder, Pipe* pipe) {
    for (;;) {
        std::unique_lock<std::mutex> hold(pipe->lock);
        pipe->changed.wait(hold, [&] { return pipe->filled - pipe->emptied < blockCount || pipe->stopped; });
        if (pipe->stopped) return;
        Block& b = pipe->blocks[pipe->filled % blockCount];
        hold.unlock();
        b.frames = readAudioFrames(decoder, b.samples, blockFrames);
        hold.lock();
        pipe->filled++;
        pipe->changed.notify_all();
        if (b.frames == 0) return;
    }
}

// A whole song's table, its records shifted by the offset.
struct WholeSong {
    std::vector<OnsetFrame>* table;
    int32_t offsetMs;
};

void keepWholeSongRecord(const OnsetFrame& record, void* user) {
    WholeSong* song = (WholeSong*)user;
    song->table->push_back(record);
    song->table->back().timeMs += song->offsetMs;
}

}  // namespace

bool scoreDecoder(AudioDecoder* decoder, const ScoreListener& listener, std::string* error,
                  const ScoreProgress& progress, double* decodedSeconds, int64_t* decodedFrames) {
    OnsetAnalyser analyser(listener.record, listener.user, scoreChannels);
    const double songSeconds = audioDurationSeconds(decoder);
    auto pipe = std::make_unique<Pipe>();
    std::thread decoding(decodeInto, decoder, pipe.get());
    long long frames = 0;
    for (;;) {
        std::unique_lock<std::mutex> hold(pipe->lock);
        pipe->changed.wait(hold, [&] { return pipe->filled > pipe->emptied; });
        Block& b = pipe->blocks[pipe->emptied % blockCount];
        hold.unlock();
        if (b.frames == 0) break;
        if (listener.stop && listener.stop->load()) {
            hold.lock();
            pipe->stopped = true;
            pipe->changed.notify_all();
            hold.unlock();
            decoding.join();
            *error = "stopped";
            return false;
        }
        for (int at = 0; at < b.frames; at += feedFrames) {
            const int n = std::min(feedFrames, b.frames - at);
            analyser.feed(b.samples + at * scoreChannels, n);
            frames += n;
            if (listener.horizon) listener.horizon(analyser.horizonMs(), listener.user);
        }
        hold.lock();
        pipe->emptied++;
        pipe->changed.notify_all();
        hold.unlock();
        if (progress && songSeconds > 0)
            progress(std::min(1.0, (double)frames / analysisRateHz / songSeconds), songSeconds);
    }
    decoding.join();
    if (decodedSeconds) *decodedSeconds = (double)frames / analysisRateHz;
    if (decodedFrames) *decodedFrames = frames;
    if (frames == 0) {
        *error = "holds no audio";
        return false;
    }
    analyser.finish();
    if (listener.horizon) listener.horizon(INT32_MAX, listener.user);
    if (progress) progress(1.0, songSeconds);
    return true;
}

static bool scoreWhole(AudioDecoder* decoder, int32_t offsetMs, std::vector<OnsetFrame>* table,
                       std::string* error, const ScoreProgress& progress, double* decodedSeconds) {
    if (!decoder) return false;
    table->clear();
    WholeSong whole = {table, offsetMs};
    const bool ok = scoreDecoder(decoder, {keepWholeSongRecord, nullptr, &whole, nullptr}, error,
                                 progress, decodedSeconds);
    closeAudioDecoder(decoder);
    if (!ok) table->clear();
    return ok;
}

bool scoreFile(const char* path, int32_t offsetMs, std::vector<OnsetFrame>* table,
               std::string* error, const ScoreProgress& progress, double* decodedSeconds) {
    return scoreWhole(openAudioDecoder(path, analysisRateHz, scoreChannels, error), offsetMs, table,
                      error, progress, decodedSeconds);
}

bool scoreMemory(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error) {
    return scoreWhole(openAudioDecoderMemory(bytes, size, analysisRateHz, scoreChannels, error), 0,
                      table, error, {}, nullptr);
}

bool songFileSeconds(const char* path, double* seconds, std::string* error) {
    // Any rate will do: only the file's head is read.
    constexpr int probeRateHz = 8000;
    AudioDecoder* song = openAudioDecoder(path, probeRateHz, 1, error);
    if (!song) return false;
    *seconds = audioDurationSeconds(song);
    closeAudioDecoder(song);
    return true;
}

