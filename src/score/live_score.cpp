// Live scoring for the player: a song's table scored on a thread of its own while it
// plays, or taken from the score cache; any number of songs at once.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <memory>
#include <thread>

#include "cli/cli.h"
#include "platform/decoder.h"
#include "score/analysis.h"
#include "score/score.h"
#include "score/score_cache.h"
#include "score/score_decoder.h"

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
