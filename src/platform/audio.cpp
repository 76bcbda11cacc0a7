// Our sound layer: a decoder thread feeds a ring of stereo float frames at the mixing rate;
// one back end (the sound server, SDL audio or a stand-in on the wall clock) plays them, and
// the music clock is the position of the audio being heard.
#include "platform/audio.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "platform/audio_backend.h"
#include "platform/audio_format.h"
#include "platform/decoder.h"

constexpr uint32_t ringFrames = 32768;      // decoded audio kept ahead of the output
constexpr int decodeChunkFrames = 1024;     // frames per decoder read
constexpr int decoderNapMs = 2;             // decoder sleep while the ring is full
constexpr int32_t prefillMs = 250;          // ring filled this far before output starts
constexpr int prefillWaitMs = 2000;         // but a stuck decoder never holds the start longer

static const AudioBackend* backend = &standInBackend;
static int mixRate = audioRateHz;
static std::atomic<int> volume{fullVolume};

struct SoundStream {
    AudioDecoder* decoder;
    StreamEndCallback endCallback;
    void* userValue;
    std::atomic<bool> endCalled{false};
    int64_t leadInFrames;
    int32_t (*feedLimitMs)();
    int32_t lastPosition;  // ms; the clock never goes backwards
};

// The one stream that plays, and the wall clock that stands in for a null stream.
static SoundStream* playing = nullptr;
static bool clockStarted = false;
static std::chrono::steady_clock::time_point playStart;

// Single-producer (decoder thread), single-consumer (output thread) ring of frames.
static float ring[ringFrames * audioChannels];
static std::atomic<uint32_t> ringWrite{0};
static std::atomic<uint32_t> ringRead{0};
static std::atomic<bool> decodeDone{false};
static std::atomic<int64_t> songEndFrames{INT64_MAX};  // lead-in + song, once all decoded

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
    for (int i = 0; i < copied; i++) {
        const uint32_t at = ((read + i) % ringFrames) * audioChannels;
        for (int c = 0; c < audioChannels; c++) out[i * audioChannels + c] = ring[at + c] * gain;
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

static void pushToRing(const float* frames, int count) {
    int pushed = 0;
    while (pushed < count) {
        const uint32_t write = ringWrite.load(std::memory_order_relaxed);
        const uint32_t space = ringFrames - (write - ringRead.load(std::memory_order_acquire));
        if (space == 0) {
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
        pushed += n;
        backend->kick();
    }
}

static void decodeLoop(SoundStream* s) {
    static float chunk[decodeChunkFrames * audioChannels];
    int64_t total = 0;
    memset(chunk, 0, sizeof chunk);
    while (total < s->leadInFrames) {
        const int n = (int)std::min<int64_t>(decodeChunkFrames, s->leadInFrames - total);
        pushToRing(chunk, n);
        total += n;
    }
    int got;
    while ((got = readAudioFrames(s->decoder, chunk, decodeChunkFrames)) > 0) {
        const int64_t endMs = (total + got) * 1000 / mixRate;
        while (s->feedLimitMs && endMs > s->feedLimitMs())
            std::this_thread::sleep_for(std::chrono::milliseconds(decoderNapMs));
        pushToRing(chunk, got);
        total += got;
    }
    songEndFrames.store(total);
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
