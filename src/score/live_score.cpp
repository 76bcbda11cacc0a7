// Scores the player's song on a background thread: the decoder's mono stream through the
// onset analysis into a table reserved up front, published record by record.
#include "score/live_score.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "score/score.h"
#include "score/score_cache.h"
#include "platform/decoder.h"

// Times are whole ms and strictly ascending: at most one record per ms of song. The table
// reserves that much address space for a long song; only pages written take memory.
constexpr int64_t recordsPerSecond = 1000;
constexpr int64_t reservedSeconds = 4 * 3600;
constexpr int scoringNiceness = 10;

static OnsetFrame* table = nullptr;
static int64_t capacity = 0;
static std::atomic<int32_t> count{0};
static std::atomic<int32_t> horizon{0};
static std::atomic<bool> done{false};
static bool fromCache = false;
static int32_t offset = 0;
static AudioDecoder* decoder = nullptr;
static std::string cacheKey;

static void keepRecord(const OnsetFrame& record, void*) {
    const int32_t n = count.load(std::memory_order_relaxed);
    if (n == capacity) return;  // beyond hours of song: the show goes on without them
    table[n] = record;
    table[n].timeMs = record.timeMs + offset;
    count.store(n + 1, std::memory_order_release);
}

static void keepHorizon(int32_t ms, void*) {
    const int32_t shifted = ms > INT32_MAX - offset ? INT32_MAX : ms + offset;
    horizon.store(shifted, std::memory_order_release);
}

static void scoreLoop() {
    // The scorer runs far ahead of the music: it yields the processor to the show and the
    // sound (the decoding thread it starts inherits this).
    setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), scoringNiceness);
    std::string error;
    const bool scored = scoreDecoder(decoder, {keepRecord, keepHorizon, nullptr}, &error);
    closeAudioDecoder(decoder);
    decoder = nullptr;
    horizon.store(INT32_MAX, std::memory_order_release);
    done.store(true, std::memory_order_release);
    // Kept without the offset: the same table the scorer writes for the file.
    const int32_t n = count.load();
    std::vector<OnsetFrame> plain(table, table + n);
    for (OnsetFrame& r : plain) r.timeMs -= offset;
    if (scored && !cacheKey.empty() && !writeCachedTable(cacheKey, plain.data(), n, &error))
        fprintf(stderr, "xoon-play: cannot keep the score: %s\n", error.c_str());
}

static bool reserveTable(int64_t records) {
    capacity = records;
    void* at = mmap(nullptr, (size_t)records * sizeof(OnsetFrame), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    table = at == MAP_FAILED ? nullptr : (OnsetFrame*)at;
    return table != nullptr;
}

bool startLiveScore(const char* songPath, int32_t offsetMs, std::string* error) {
    offset = offsetMs;
    if (!scoreCacheKey(songPath, &cacheKey)) cacheKey.clear();
    std::vector<OnsetFrame> cached;
    if (!cacheKey.empty() && readCachedTable(cacheKey, &cached)) {
        if (!reserveTable((int64_t)cached.size() + 1)) {
            *error = "out of memory";
            return false;
        }
        for (const OnsetFrame& r : cached) keepRecord(r, nullptr);
        fromCache = true;
        horizon.store(INT32_MAX);
        done.store(true);
        return true;
    }
    decoder = openAudioDecoder(songPath, analysisRateHz, scoreChannels, error);
    if (!decoder) return false;
    const double stated = audioDurationSeconds(decoder);
    const int64_t seconds = stated * 2 > reservedSeconds ? (int64_t)(stated * 2) : reservedSeconds;
    if (!reserveTable(seconds * recordsPerSecond)) {
        closeAudioDecoder(decoder);
        *error = "out of memory";
        return false;
    }
    horizon.store(offset);
    std::thread(scoreLoop).detach();
    return true;
}

const OnsetFrame* liveScoreTable() { return table; }
int32_t liveScoreCount() { return count.load(std::memory_order_acquire); }
int32_t liveScoreHorizonMs() { return horizon.load(std::memory_order_acquire); }
bool liveScoreDone() { return done.load(std::memory_order_acquire); }
bool liveScoreFromCache() { return fromCache; }

namespace {
struct WholeSong {
    std::vector<OnsetFrame>* table;
    int32_t offsetMs;
};
}  // namespace

static void keepWholeSongRecord(const OnsetFrame& record, void* user) {
    WholeSong* song = (WholeSong*)user;
    song->table->push_back(record);
    song->table->back().timeMs += song->offsetMs;
}

bool scoreWholeSong(const char* songPath, int32_t offsetMs, std::vector<OnsetFrame>* table,
                    double* seconds, std::string* error) {
    AudioDecoder* song = openAudioDecoder(songPath, analysisRateHz, scoreChannels, error);
    if (!song) return false;
    table->clear();
    WholeSong whole = {table, offsetMs};
    const bool ok = scoreDecoder(song, {keepWholeSongRecord, nullptr, &whole}, error, {}, seconds);
    closeAudioDecoder(song);
    return ok;
}
