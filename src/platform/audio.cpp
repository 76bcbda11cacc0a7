// Our sound layer: a decoder thread feeds a ring of stereo float frames at the mixing rate,
// song after song on one timeline; one back end (the sound server, SDL audio or a stand-in
// on the wall clock) plays them, and the music clock is the position of the audio heard.
#include "platform/audio.h"

#include <limits.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "platform/audio_backend.h"
#include "platform/audio_format.h"
#include "platform/decoder.h"

constexpr uint32_t ringFrames = 32768;      // the ring's room
constexpr int32_t ringAheadMs = 300;        // decoded audio kept ahead of the output: what a
                                            // change of song or place waits behind
constexpr int decodeChunkFrames = 1024;     // frames per decoder read
constexpr int decoderNapMs = 2;             // decoder sleep while the ring is full
constexpr int32_t prefillMs = 250;          // ring filled this far before output starts
constexpr int prefillWaitMs = 2000;         // but a stuck decoder never holds the start longer
constexpr int queueSlots = 12;              // songs queued behind the one decoding

static const AudioBackend* backend = &standInBackend;
static int mixRate = audioRateHz;
static std::atomic<int> volume{fullVolume};
static std::atomic<bool> paused{false};

struct SoundStream {
    AudioDecoder* decoder;
    StreamEndCallback endCallback;
    void* userValue;
    std::atomic<bool> endCalled{false};
    int64_t leadInFrames;
    int32_t (*feedLimitMs)();
    int32_t lastPosition;  // ms; the clock never goes backwards
};

// A song on the timeline: its file, the frame it starts from, how many frames it lasts.
struct Segment {
    char path[PATH_MAX];
    int64_t fromFrame;
    int64_t frames;  // -1: to its end
};

// The songs after the one decoding, and a song to play at once, under queueLock.
static std::mutex queueLock;
static std::condition_variable restartTaken;
static Segment queue[queueSlots];
static int queued = 0;
static Segment restart;
static bool restartPending = false;
static int64_t restartFrame = -1;
static bool outOfSongs = false;

// The one stream that plays, and the wall clock that stands in for a null stream.
static SoundStream* playing = nullptr;
static bool clockStarted = false;
static std::chrono::steady_clock::time_point playStart;

// Single-producer (decoder thread), single-consumer (output thread) ring of frames.
static float ring[ringFrames * audioChannels];
static std::atomic<uint32_t> ringWrite{0};
static std::atomic<uint32_t> ringRead{0};
static std::atomic<bool> decodeDone{false};
static std::atomic<int64_t> songEndFrames{INT64_MAX};  // the timeline's end, once all decoded
static int64_t pushedFrames = 0;                        // decoder thread (and queueLock)

// SDL and the stand-in device: what was heard at the last buffer, written by the output
// thread, read by the main thread in one word: heard frames (bits 32..63), song frames
// handed over with that buffer (20..31), the wall clock's ms then (0..19, wrapping).
static std::atomic<uint64_t> anchor{0};
constexpr int anchorWallBits = 20;
constexpr uint32_t anchorWallMask = (1u << anchorWallBits) - 1;
static_assert(deviceFrames < (1 << (32 - anchorWallBits)), "a buffer's frames fit their bits");
static uint64_t handedFrames = 0;  // output thread only

static uint32_t wallMs() {
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    return (uint32_t)duration_cast<milliseconds>(steady_clock::now() - origin).count();
}

static void callEnd(SoundStream* s) {
    bool expected = false;
    if (s && s->endCalled.compare_exchange_strong(expected, true) && s->endCallback)
        s->endCallback(s, s->userValue);
}

static int pullFrames(float* out, int frames) {
    const uint32_t read = ringRead.load(std::memory_order_relaxed);
    const uint32_t available = ringWrite.load(std::memory_order_acquire) - read;
    const int copied = available < (uint32_t)frames ? (int)available : frames;
    const float gain = (float)volume.load(std::memory_order_relaxed) / fullVolume;
    if (out) {
        for (int i = 0; i < copied; i++) {
            const uint32_t at = ((read + i) % ringFrames) * audioChannels;
            for (int c = 0; c < audioChannels; c++) out[i * audioChannels + c] = ring[at + c] * gain;
        }
    }
    ringRead.store(read + copied, std::memory_order_release);
    return copied;
}

// The decoder's flag is read first: once it is set, every frame it made is in the ring.
static bool songPulled() {
    return decodeDone.load(std::memory_order_acquire) &&
           ringWrite.load(std::memory_order_acquire) == ringRead.load(std::memory_order_relaxed);
}

static void heardEnd() { callEnd(playing); }

void fillDeviceBuffer(float* out, int frames, int queuedFrames) {
    // What the listener hears now is what was handed over before this call, less what the
    // driver still holds ahead of it.
    const uint64_t heard = handedFrames > (uint64_t)queuedFrames ? handedFrames - queuedFrames : 0;
    if (paused.load(std::memory_order_relaxed)) {
        // Silence that is no played time: the clock holds at what was heard.
        anchor.store(heard << 32 | (wallMs() & anchorWallMask), std::memory_order_release);
        memset(out, 0, (size_t)frames * audioChannels * sizeof(float));
        return;
    }
    const bool ended = songPulled();
    const int copied = pullFrames(out, frames);
    const uint64_t audible = ended ? frames : copied;
    anchor.store(heard << 32 | audible << anchorWallBits | (wallMs() & anchorWallMask),
                 std::memory_order_release);
    memset(out + copied * audioChannels, 0, (size_t)(frames - copied) * audioChannels * sizeof(float));
    // Silence after the song's end is played time; a starved ring mid-song is not.
    handedFrames += ended ? frames : copied;
    if (ended && (int64_t)heard >= songEndFrames.load()) callEnd(playing);
}

int64_t deviceHeardFrames() {
    const uint64_t a = anchor.load(std::memory_order_acquire);
    if (a == 0) return 0;  // no buffer played yet
    // Between buffers the listener moves on in real time, never past what that buffer
    // brought: a ring the player keeps short stops the clock there.
    const uint64_t audible = (a & 0xFFFFFFFFu) >> anchorWallBits;
    uint64_t elapsed = (uint64_t)((wallMs() - (uint32_t)a) & anchorWallMask) * mixRate / 1000;
    if (elapsed > audible) elapsed = audible;
    return (int64_t)((a >> 32) + elapsed);
}

bool deviceSongHeard() { return playing && playing->endCalled.load(); }

static bool restartWaiting() {
    std::lock_guard<std::mutex> hold(queueLock);
    return restartPending;
}

// Pushes frames into the ring as it makes room; gives up on the rest when a song is to
// play at once (they are what it replaces).
static void pushToRing(const float* frames, int count) {
    const uint32_t ahead = (uint32_t)((int64_t)ringAheadMs * mixRate / 1000);
    int pushed = 0;
    while (pushed < count) {
        const uint32_t write = ringWrite.load(std::memory_order_relaxed);
        const uint32_t held = write - ringRead.load(std::memory_order_acquire);
        const uint32_t limit = std::min(ringFrames, ahead);
        const uint32_t space = held >= limit ? 0 : limit - held;
        if (space == 0) {
            // An output that asked for more than the ring may hold takes what it holds.
            backend->kick();
            if (restartWaiting()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(decoderNapMs));
            continue;
        }
        int n = count - pushed;
        if ((uint32_t)n > space) n = (int)space;
        for (int i = 0; i < n; i++) {
            const uint32_t at = ((write + i) % ringFrames) * audioChannels;
            for (int c = 0; c < audioChannels; c++) ring[at + c] = frames[(pushed + i) * audioChannels + c];
        }
        ringWrite.store(write + n, std::memory_order_release);
        {
            std::lock_guard<std::mutex> hold(queueLock);
            pushedFrames += n;
        }
        pushed += n;
        backend->kick();
    }
}

// The song a segment names, at its first frame; null when it cannot be opened.
static AudioDecoder* openSegment(const Segment& segment) {
    std::string error;
    AudioDecoder* d = openAudioDecoder(segment.path, mixRate, audioChannels, &error);
    if (!d) {
        cliWarn("cannot play song %s: %s", segment.path, error.c_str());
        return nullptr;
    }
    if (segment.fromFrame > 0 && !seekAudioDecoder(d, segment.fromFrame)) {
        // A stream that cannot seek is read up to there.
        static float skipped[decodeChunkFrames * audioChannels];
        for (int64_t left = segment.fromFrame; left > 0;) {
            const int got = readAudioFrames(d, skipped, (int)std::min<int64_t>(left, decodeChunkFrames));
            if (got == 0) break;
            left -= got;
        }
    }
    return d;
}

// The next song to decode: one to play at once, else the next queued; false when none.
static bool nextSegment(Segment* segment, bool* atOnce) {
    std::lock_guard<std::mutex> hold(queueLock);
    *atOnce = restartPending;
    if (restartPending) {
        *segment = restart;
        restartPending = false;
        queued = 0;
        restartFrame = pushedFrames;
        restartTaken.notify_all();
        return true;
    }
    if (queued == 0) {
        outOfSongs = true;
        restartTaken.notify_all();  // a soundPlayNow waiting now gets -1
        return false;
    }
    *segment = queue[0];
    std::copy(queue + 1, queue + queued, queue);
    queued--;
    return true;
}

static void decodeLoop(SoundStream* s) {
    static float chunk[decodeChunkFrames * audioChannels];
    memset(chunk, 0, sizeof chunk);
    for (int64_t total = 0; total < s->leadInFrames;) {
        const int n = (int)std::min<int64_t>(decodeChunkFrames, s->leadInFrames - total);
        pushToRing(chunk, n);
        total += n;
    }
    AudioDecoder* decoder = s->decoder;
    int64_t left = -1;  // frames the song still has on the timeline; -1: to its end
    for (;;) {
        if (restartWaiting() || left == 0) {
            closeAudioDecoder(decoder);
            decoder = nullptr;
            Segment next;
            bool atOnce;
            if (!nextSegment(&next, &atOnce)) break;
            decoder = openSegment(next);
            left = next.frames;
            continue;
        }
        int want = decodeChunkFrames;
        if (left >= 0 && left < want) want = (int)left;
        int got = decoder && want > 0 ? readAudioFrames(decoder, chunk, want) : 0;
        if (got == 0 && left > 0) {
            // Silence keeps the timeline the player planned.
            got = want;
            memset(chunk, 0, (size_t)got * audioChannels * sizeof(float));
        }
        if (got == 0) {
            closeAudioDecoder(decoder);
            decoder = nullptr;
            left = 0;
            continue;
        }
        int64_t endMs;
        {
            std::lock_guard<std::mutex> hold(queueLock);
            endMs = (pushedFrames + got) * 1000 / mixRate;
        }
        while (s->feedLimitMs && endMs > s->feedLimitMs() && !restartWaiting())
            std::this_thread::sleep_for(std::chrono::milliseconds(decoderNapMs));
        if (restartWaiting()) continue;
        pushToRing(chunk, got);
        if (left > 0) left -= got;
    }
    {
        std::lock_guard<std::mutex> hold(queueLock);
        songEndFrames.store(pushedFrames);
    }
    decodeDone.store(true, std::memory_order_release);
    backend->kick();  // an output waiting for frames learns the end
}

void soundInit(int rate) {
    mixRate = rate;
    wallMs();  // starts the callbacks' time base before the first callback
    const AudioFeed feed = {pullFrames, songPulled, heardEnd};
    // Someone who names an SDL driver (tests name the dummy one) wants SDL's audio.
    const char* sdlDriver = getenv("SDL_AUDIODRIVER");
    if (!(sdlDriver && *sdlDriver) && pulseBackend.open(rate, feed)) {
        backend = &pulseBackend;
        return;
    }
    if (sdlBackend.open(rate, feed)) {
        backend = &sdlBackend;
        return;
    }
    standInBackend.open(rate, feed);
    cliWarn("no audio device (%s); the song plays silently", sdlAudioError());
}

SoundStream* soundOpenStream(const char* name) {
    std::string error;
    AudioDecoder* decoder = openAudioDecoder(name, mixRate, audioChannels, &error);
    if (!decoder) {
        cliWarn("cannot play song %s: %s", name, error.c_str());
        return nullptr;
    }
    SoundStream* s = new SoundStream();
    s->decoder = decoder;
    return s;
}

void soundSetEndCallback(SoundStream* stream, StreamEndCallback callback, void* userValue) {
    if (!stream) return;
    stream->endCallback = callback;
    stream->userValue = userValue;
}

void soundSetLeadIn(SoundStream* stream, int32_t leadInMs) {
    if (stream && leadInMs > 0) stream->leadInFrames = (int64_t)leadInMs * mixRate / 1000;
}

void soundSetFeedLimit(SoundStream* stream, int32_t (*limitMs)()) {
    if (stream) stream->feedLimitMs = limitMs;
}

static bool fillSegment(Segment* segment, const char* path, int64_t fromFrame, int64_t frames) {
    if (strlen(path) >= sizeof segment->path) return false;
    strcpy(segment->path, path);
    segment->fromFrame = fromFrame < 0 ? 0 : fromFrame;
    segment->frames = frames;
    return true;
}

bool soundQueueSong(SoundStream* stream, const char* path, int64_t fromFrame, int64_t frames) {
    if (!stream) return false;
    std::lock_guard<std::mutex> hold(queueLock);
    if (outOfSongs || queued == queueSlots) return false;
    if (!fillSegment(&queue[queued], path, fromFrame, frames)) return false;
    queued++;
    return true;
}

int64_t soundPlayNow(SoundStream* stream, const char* path, int64_t fromFrame, int64_t frames) {
    if (!stream) return -1;
    std::unique_lock<std::mutex> hold(queueLock);
    if (outOfSongs || !fillSegment(&restart, path, fromFrame, frames)) return -1;
    restartPending = true;
    restartFrame = -1;
    restartTaken.wait(hold, [] { return !restartPending || outOfSongs; });
    if (restartPending) {  // the decoder ran out of songs first
        restartPending = false;
        return -1;
    }
    return restartFrame;
}

void soundPlay(SoundStream* stream) {
    playStart = std::chrono::steady_clock::now();
    clockStarted = true;
    if (!stream) return;
    playing = stream;
    std::thread(decodeLoop, stream).detach();
    // The output starts with audio in hand, so its first requests are never short.
    const uint32_t prefill = (uint32_t)((int64_t)prefillMs * mixRate / 1000);
    for (int waited = 0; waited < prefillWaitMs && !decodeDone.load() &&
                         ringWrite.load() - ringRead.load() < prefill;
         waited++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    playStart = std::chrono::steady_clock::now();
    backend->start();
}

void soundPause(bool pause) {
    if (paused.exchange(pause) == pause) return;
    backend->pause(pause);
}

static int32_t wallClockPosition() {
    if (!clockStarted) return 0;
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(steady_clock::now() - playStart).count();
    return ms > INT32_MAX ? INT32_MAX : (int32_t)ms;
}

int32_t soundPosition(SoundStream* stream) {
    if (!stream) return wallClockPosition();
    int32_t position = stream->lastPosition;
    if (stream == playing) {
        const int64_t heard = std::max<int64_t>(0, backend->heardFrames());
        const int64_t ms = heard * 1000 / mixRate;
        position = ms > INT32_MAX ? INT32_MAX : (int32_t)ms;
    }
    if (position < stream->lastPosition) position = stream->lastPosition;
    stream->lastPosition = position;
    return position;
}

void soundSetVolume(int v) { volume.store(v < 0 ? 0 : (v > fullVolume ? fullVolume : v)); }

const char* soundOutputName() { return backend->name(); }
