// Scores a song: the decoder's stream through the onset analysis, the decoding a few blocks
// ahead on a thread of its own; whole, or live on a background thread for the player.
#include "score/score.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/cli.h"
#include "platform/decoder.h"
#include "score/analysis.h"
#include "score/score_cache.h"

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
    bool stopped = false;         // the analysis gave up: decode no further
};

// Who hears of a song's records as they are scored, on the scoring thread: each record as
// it becomes final, in order; and (may be null) the horizon: every record below that many
// ms has come, INT32_MAX once the song is done.
struct ScoreListener {
    OnsetSink record;
    void (*horizon)(int32_t ms, void* user);
    void* user;
    const std::atomic<bool>* stop;  // may be null: once true, scoring ends where it is
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

// Scores everything an open decoder yields (scoreChannels at analysisRateHz). False with a
// reason when it yields no audio at all, or when stopped.
static bool scoreDecoder(AudioDecoder* decoder, const ScoreListener& listener, std::string* error,
                         const ScoreProgress& progress, double* decodedSeconds,
                         int64_t* decodedFrames = nullptr) {
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

// ---- live scoring ----

// Times are whole ms and strictly ascending: at most one record per ms of song. The table
// reserves that much address space for a long song; only pages written take memory.
constexpr int64_t recordsPerSecond = 1000;
constexpr int64_t reservedSeconds = 4 * 3600;
constexpr int scoringNiceness = 10;
static_assert(analysisRateHz == audioRateHz, "a song's frames count alike for the scorer and the sound");

struct LiveScore {
    OnsetFrame* table = nullptr;
    int64_t capacity = 0;
    std::atomic<int32_t> count{0};
    std::atomic<int32_t> horizon{0};
    std::atomic<bool> done{false};
    std::atomic<bool> stop{false};
    std::atomic<int64_t> frames{0};
    bool fromCache = false;
    AudioDecoder* decoder = nullptr;
    std::string cacheKey;
    std::thread scoring;
};

static void keepRecord(const OnsetFrame& record, void* user) {
    LiveScore* s = (LiveScore*)user;
    const int32_t n = s->count.load(std::memory_order_relaxed);
    if (n == s->capacity) return;  // beyond hours of song: the show goes on without them
    s->table[n] = record;
    s->count.store(n + 1, std::memory_order_release);
}

static void keepHorizon(int32_t ms, void* user) {
    ((LiveScore*)user)->horizon.store(ms, std::memory_order_release);
}

static void scoreLoop(LiveScore* s) {
    // The scorer runs far ahead of the music: it yields the processor to the show and the
    // sound (the decoding thread it starts inherits this).
    setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), scoringNiceness);
    std::string error;
    int64_t frames = 0;
    const bool scored = scoreDecoder(s->decoder, {keepRecord, keepHorizon, s, &s->stop}, &error, {},
                                     nullptr, &frames);
    closeAudioDecoder(s->decoder);
    s->decoder = nullptr;
    s->frames.store(frames);
    s->horizon.store(INT32_MAX, std::memory_order_release);
    s->done.store(true, std::memory_order_release);
    if (scored && !s->cacheKey.empty() &&
        !writeCachedTable(s->cacheKey, s->table, s->count.load(), frames, &error))
        cliWarn("cannot keep the score: %s", error.c_str());
}

static bool reserveTable(LiveScore* s, int64_t records) {
    s->capacity = records;
    void* at = mmap(nullptr, (size_t)records * sizeof(OnsetFrame), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    s->table = at == MAP_FAILED ? nullptr : (OnsetFrame*)at;
    return s->table != nullptr;
}

static void readFacts(const AudioDecoder* decoder, SongFacts* facts) {
    if (!facts) return;
    facts->title = audioTag(decoder, "title");
    facts->artist = audioTag(decoder, "artist");
    facts->album = audioTag(decoder, "album");
    facts->seconds = audioDurationSeconds(decoder);
    facts->coverArt.clear();
    facts->coverExtension.clear();
    audioCoverArt(decoder, &facts->coverArt, &facts->coverExtension);
}

LiveScore* startLiveScore(const char* songPath, std::string* error, SongFacts* facts) {
    // The song must play whatever the cache holds: it is opened in any case.
    AudioDecoder* decoder = openAudioDecoder(songPath, analysisRateHz, scoreChannels, error);
    if (!decoder) return nullptr;
    readFacts(decoder, facts);
    std::unique_ptr<LiveScore> s(new LiveScore());
    if (!scoreCacheEnabled() || !scoreCacheKey(songPath, &s->cacheKey)) s->cacheKey.clear();
    std::vector<OnsetFrame> cached;
    int64_t frames = 0;
    if (!s->cacheKey.empty() && readCachedTable(s->cacheKey, &cached, &frames)) {
        closeAudioDecoder(decoder);
        if (!reserveTable(s.get(), (int64_t)cached.size() + 1)) {
            *error = "out of memory";
            return nullptr;
        }
        for (const OnsetFrame& r : cached) keepRecord(r, s.get());
        s->fromCache = true;
        s->frames.store(frames);
        s->horizon.store(INT32_MAX);
        s->done.store(true);
        return s.release();
    }
    const double stated = audioDurationSeconds(decoder);
    const int64_t seconds = stated * 2 > reservedSeconds ? (int64_t)(stated * 2) : reservedSeconds;
    if (!reserveTable(s.get(), seconds * recordsPerSecond)) {
        closeAudioDecoder(decoder);
        *error = "out of memory";
        return nullptr;
    }
    s->decoder = decoder;
    s->scoring = std::thread(scoreLoop, s.get());
    return s.release();
}

void stopLiveScore(LiveScore* s) {
    if (!s) return;
    s->stop.store(true);
    if (s->scoring.joinable()) s->scoring.join();
    munmap(s->table, (size_t)s->capacity * sizeof(OnsetFrame));
    delete s;
}

const OnsetFrame* liveScoreTable(const LiveScore* s) { return s->table; }
int32_t liveScoreCount(const LiveScore* s) { return s->count.load(std::memory_order_acquire); }
int32_t liveScoreHorizonMs(const LiveScore* s) { return s->horizon.load(std::memory_order_acquire); }
bool liveScoreDone(const LiveScore* s) { return s->done.load(std::memory_order_acquire); }
int64_t liveScoreFrames(const LiveScore* s) { return s->frames.load(std::memory_order_acquire); }
bool liveScoreFromCache(const LiveScore* s) { return s->fromCache; }
