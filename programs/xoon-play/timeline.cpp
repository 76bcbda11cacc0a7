// xoon-play: segments of songs on one timeline and the table the show scans over them,
// filled from each song's score as it is scored, cut where a restart replaces what follows.
#include "programs/xoon-play/timeline.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>

#include "cli/cli.h"
#include "show/show.h"

constexpr int segmentSlots = 12;
// The timeline's table reserves a record per ms for this long (address space; only pages
// written take memory, and pages long played are given back).
constexpr int64_t reservedRecords = 48LL * 3600 * 1000;
// Records this far behind the sound heard are behind both of the show's scans for good.
constexpr int32_t playedMarginMs = 10000;
// The song is handed to the output this much before the table would have to be final up
// to it, on top of the look-ahead: room for the clock's lead over the sound heard.
constexpr int32_t feedMarginMs = 1000;

static Segment segments[segmentSlots];
static int segmentCount = 0;
static OnsetFrame* table = nullptr;
static int32_t count = 0;
static size_t givenBackBytes = 0;  // the table's pages that went back to the system
static int32_t givenBack = 0;      // and the first record wholly after them
static bool lastSong = false;
static std::atomic<int32_t> feedLimit{0};
static int32_t pictureDelayMs = 0;
static int32_t reflyFromMs = INT32_MAX;  // a restart's start: its particles fly again

static int32_t msOf(int64_t frames) { return (int32_t)std::min<int64_t>(INT32_MAX, frames * 1000 / audioRateHz); }

static bool reserve() {
    void* at = mmap(nullptr, (size_t)reservedRecords * sizeof(OnsetFrame), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    table = at == MAP_FAILED ? nullptr : (OnsetFrame*)at;
    return table != nullptr;
}

static int32_t firstRecordFrom(const LiveScore* score, int32_t ms) {
    const OnsetFrame* t = liveScoreTable(score);
    const int32_t n = liveScoreCount(score);
    return (int32_t)(std::lower_bound(t, t + n, ms, [](const OnsetFrame& r, int32_t v) { return r.timeMs < v; }) - t);
}

const OnsetFrame* timelineTable() { return table; }
int32_t timelineCount() { return count; }
int32_t timelineFeedLimitMs() { return feedLimit.load(std::memory_order_acquire); }
void timelineSetPictureDelay(int32_t ms) { pictureDelayMs = ms; }
void timelineSetLastSong(bool last) { lastSong = last; }
int timelineSegments() { return segmentCount; }
const Segment* timelineLast() { return segmentCount ? &segments[segmentCount - 1] : nullptr; }

void timelineSongInserted(int at) {
    for (int i = 0; i < segmentCount; i++)
        if (segments[i].song >= at) segments[i].song++;
}

bool timelineUses(const LiveScore* score) {
    for (int i = 0; i < segmentCount; i++)
        if (segments[i].score == score) return true;
    return false;
}

static void append(const OnsetFrame& record, int32_t timeMs) {
    if (count == reservedRecords) return;  // two days on: the show goes on without them
    if (count > 0 && timeMs <= table[count - 1].timeMs) {
        // Two songs' records in one ms: one record.
        for (int w = 0; w < onsetMaskWords; w++) table[count - 1].mask[w] |= record.mask[w];
        return;
    }
    table[count] = record;
    table[count].timeMs = timeMs;
    count++;
}

// Appends what a segment's score has; false while more is to come (the segments after it
// wait). Its end comes once the song is scored, or with the restart that cuts it.
static bool fill(Segment& s) {
    const int32_t scored = liveScoreHorizonMs(s.score);  // read first: the records below it are in
    if (s.end < 0 && liveScoreDone(s.score)) s.end = s.start + std::max<int64_t>(0, liveScoreFrames(s.score) - s.from);
    const OnsetFrame* records = liveScoreTable(s.score);
    const int32_t n = liveScoreCount(s.score);
    const int32_t shift = msOf(s.start) - msOf(s.from);
    const int32_t endMs = s.end < 0 ? INT32_MAX : msOf(s.end);
    for (; s.nextRecord < n; s.nextRecord++) {
        const int32_t at = records[s.nextRecord].timeMs + shift;
        if (at >= endMs) break;
        append(records[s.nextRecord], at);
    }
    return s.end >= 0 && (scored == INT32_MAX || (int64_t)scored + shift >= endMs);
}

// Every record below this (timeline ms) is in the table for good.
static int32_t horizon() {
    for (int i = 0; i < segmentCount; i++) {
        Segment& s = segments[i];
        if (!fill(s)) {
            const int32_t scored = liveScoreHorizonMs(s.score);
            if (scored == INT32_MAX) return s.end < 0 ? msOf(s.start) : msOf(s.end);
            return std::min<int64_t>(INT32_MAX, (int64_t)msOf(s.start) + scored - msOf(s.from));
        }
    }
    if (segmentCount == 0) return 0;
    return lastSong ? INT32_MAX : msOf(segments[segmentCount - 1].end);
}

static int32_t refreshLimit() {
    const int32_t h = horizon();
    const int64_t limit = h == INT32_MAX ? INT32_MAX
                                         : (int64_t)h - songLeadInMs - feedMarginMs - (pictureDelayMs < 0 ? -pictureDelayMs : 0);
    feedLimit.store((int32_t)std::max<int64_t>(INT32_MIN, limit), std::memory_order_release);
    return h;
}

void timelineStart(int song, LiveScore* score, int64_t startFrame) {
    if (!reserve()) cliFail("cannot reserve the onset table: out of memory");
    segments[0] = {song, score, startFrame, 0, -1, 0};
    segmentCount = 1;
    refreshLimit();
}

// The first record at or after timeMs, looked for only among records not given back: a
// page given back and read again would take memory again.
static int32_t firstRecordAt(int32_t timeMs) {
    return (int32_t)(std::lower_bound(table + givenBack, table + count, timeMs,
                                      [](const OnsetFrame& r, int32_t v) { return r.timeMs < v; }) -
                     table);
}

// Pages of records the show has long passed go back to the system; they are never read
// again (a cut reads no further back than a particle's life).
static void giveBackPlayed(int32_t heardMs) {
    const int32_t played = firstRecordAt(heardMs - playedMarginMs);
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const uintptr_t from = (uintptr_t)table + givenBackBytes;
    const uintptr_t to = (uintptr_t)(table + played) / page * page;
    if (to > from && madvise((void*)from, to - from, MADV_DONTNEED) == 0) {
        givenBackBytes = to - (uintptr_t)table;
        // The first record wholly after them: one across the edge is never read again.
        givenBack = (int32_t)((givenBackBytes + sizeof(OnsetFrame) - 1) / sizeof(OnsetFrame));
    }
}

void timelineUpdate(int32_t heardMs) {
    const int32_t h = refreshLimit();
    if (reflyFromMs != INT32_MAX && (h == INT32_MAX || h >= reflyFromMs + songLeadInMs)) {
        showCutTable(count, count);
        reflyFromMs = INT32_MAX;
    }
    showExtendTable(count);
    if (heardMs > 0) giveBackPlayed(heardMs);
}

const Segment* timelineHeard(int32_t heardMs) {
    int heard = 0;
    while (heard + 1 < segmentCount && msOf(segments[heard + 1].start) <= heardMs) heard++;
    if (heard > 0) {
        std::copy(segments + heard, segments + segmentCount, segments);
        segmentCount -= heard;
    }
    return segmentCount ? &segments[0] : nullptr;
}

void timelineQueue(int song, LiveScore* score, const char* path) {
    if (segmentCount == segmentSlots || segmentCount == 0) return;
    const Segment& last = segments[segmentCount - 1];
    if (last.end < 0 || !showQueueSong(path, 0, -1)) return;
    segments[segmentCount++] = {song, score, last.end, 0, -1, 0};
}

bool timelineRestart(int song, LiveScore* score, const char* path, int64_t from) {
    const int64_t frames = liveScoreDone(score) ? std::max<int64_t>(0, liveScoreFrames(score) - from) : -1;
    const int64_t at = showPlayNow(path, from, frames);
    if (at < 0) return false;
    // The segments on from `at` go; the one it falls in ends there.
    int kept = 0;
    while (kept < segmentCount && segments[kept].start < at) kept++;
    segmentCount = kept;
    if (kept > 0 && (segments[kept - 1].end < 0 || segments[kept - 1].end > at)) segments[kept - 1].end = at;
    const int32_t atMs = msOf(at);
    const int32_t keep = firstRecordAt(atMs);
    count = std::max(keep, givenBack);
    if (segmentCount == segmentSlots) segmentCount--;
    segments[segmentCount++] = {song, score, at, from, frames < 0 ? -1 : at + frames,
                                firstRecordFrom(score, msOf(from))};
    refreshLimit();  // what the new segment's score already has comes in now
    showCutTable(keep, count);
    reflyFromMs = atMs;  // and flies again once its first seconds are in
    timelineUpdate(showSoundPosition());
    return true;
}
