// Scores a song: the decoder's stream through the onset analysis, the decoding a few
// blocks ahead on a thread of its own.
#include "score/score.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/decoder.h"

// Blocks of decoded frames passed from the decoding thread to the analysis: enough to
// keep both busy, few enough that memory does not follow the song's length.
constexpr int blockFrames = 4096;
constexpr int blockCount = 4;

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
};

void decodeInto(AudioDecoder* decoder, Pipe* pipe) {
    for (;;) {
        std::unique_lock<std::mutex> hold(pipe->lock);
        pipe->changed.wait(hold, [&] { return pipe->filled - pipe->emptied < blockCount; });
        Block& b = pipe->blocks[pipe->filled % blockCount];
        hold.unlock();
        b.frames = readAudioFrames(decoder, b.samples, blockFrames);
        hold.lock();
        pipe->filled++;
        pipe->changed.notify_all();
        if (b.frames == 0) return;
    }
}

void collect(const OnsetFrame& record, void* user) { ((std::vector<OnsetFrame>*)user)->push_back(record); }

}  // namespace

bool scoreDecoder(AudioDecoder* decoder, const ScoreListener& listener, std::string* error,
                  const ScoreProgress& progress, double* decodedSeconds) {
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
        analyser.feed(b.samples, b.frames);
        frames += b.frames;
        if (listener.horizon) listener.horizon(analyser.horizonMs(), listener.user);
        hold.lock();
        pipe->emptied++;
        pipe->changed.notify_all();
        hold.unlock();
        if (progress && songSeconds > 0)
            progress(std::min(1.0, (double)frames / analysisRateHz / songSeconds), songSeconds);
    }
    decoding.join();
    if (decodedSeconds) *decodedSeconds = (double)frames / analysisRateHz;
    if (frames == 0) {
        *error = "holds no audio";
        return false;
    }
    analyser.finish();
    if (listener.horizon) listener.horizon(INT32_MAX, listener.user);
    if (progress) progress(1.0, songSeconds);
    return true;
}

bool scoreDecoder(AudioDecoder* decoder, std::vector<OnsetFrame>* table, std::string* error,
                  const ScoreProgress& progress) {
    table->clear();
    const bool ok = scoreDecoder(decoder, {collect, nullptr, table}, error, progress);
    if (!ok) table->clear();
    return ok;
}

bool scoreFile(const char* path, std::vector<OnsetFrame>* table, std::string* error,
               const ScoreProgress& progress) {
    AudioDecoder* decoder = openAudioDecoder(path, analysisRateHz, scoreChannels, error);
    if (!decoder) return false;
    bool ok = scoreDecoder(decoder, table, error, progress);
    closeAudioDecoder(decoder);
    return ok;
}

bool scoreMemory(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error, const ScoreProgress& progress) {
    AudioDecoder* decoder = openAudioDecoderMemory(bytes, size, analysisRateHz, scoreChannels, error);
    if (!decoder) return false;
    bool ok = scoreDecoder(decoder, table, error, progress);
    closeAudioDecoder(decoder);
    return ok;
}
