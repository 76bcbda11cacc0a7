// Our sound layer: a decoder thread feeds a ring of stereo float frames at the mixing rate;
// the sound server, SDL audio or a stand-in device on the wall clock plays them, and the
// music clock is the position of the audio being heard.
#include "platform/audio.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/decoder.h"
#include "platform/audio_pulse.h"

constexpr int outChannels = 2;
constexpr int deviceFrames = 1024;          // SDL's buffer, and the stand-in device's
constexpr uint32_t ringFrames = 32768;      // decoded audio kept ahead of the output
constexpr int decodeChunkFrames = 1024;     // frames per decoder read
constexpr int decoderNapMs = 2;             // decoder sleep while the ring is full
constexpr int32_t prefillMs = 250;          // ring filled this far before output starts
constexpr int prefillWaitMs = 2000;         // but a stuck decoder never holds the start longer
constexpr float pcmScale = 32767.0f;
constexpr int fullVolume = 255;

enum class Output { none, pulse, sdl };
static Output output = Output::none;
static char outputName[48] = "none";
static int mixRate = 44100;
static int sdlQueueFrames = 0;  // frames SDL's driver holds ahead of the one heard
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
static float ring[ringFrames * outChannels];
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
        s->endCallback(s, nullptr, 0, s->userValue);
}

// Up to `frames` frames from the ring at the current volume; the rest of out untouched.
static int pullFrames(float* out, int frames) {
    const uint32_t read = ringRead.load(std::memory_order_relaxed);
    const uint32_t available = ringWrite.load(std::memory_order_acquire) - read;
    const int copied = available < (uint32_t)frames ? (int)available : frames;
    const float gain = (float)volume.load(std::memory_order_relaxed) / fullVolume;
    for (int i = 0; i < copied; i++) {
        const uint32_t at = ((read + i) % ringFrames) * outChannels;
        for (int c = 0; c < outChannels; c++) out[i * outChannels + c] = ring[at + c] * gain;
    }
    ringRead.store(read + copied, std::memory_order_release);
    return copied;
}

// The whole song has left the ring (the decoder's flag is read first: once it is set,
// every frame it made is in the ring).
static bool songPulled() {
    return decodeDone.load(std::memory_order_acquire) &&
           ringWrite.load(std::memory_order_acquire) == ringRead.load(std::memory_order_relaxed);
}

static void pulseDrained() { callEnd(playing); }

// One device buffer for SDL or the stand-in: frames after the song are silence.
static void fillDevice(float* out, int frames) {
    // What the listener hears now is what was handed over before this call, less what the
    // driver still holds ahead of it.
    const uint64_t heard = handedFrames > (uint64_t)sdlQueueFrames ? handedFrames - sdlQueueFrames : 0;
    const bool ended = songPulled();
    const int copied = pullFrames(out, frames);
    const uint64_t audible = ended ? frames : copied;
    anchor.store(heard << 32 | audible << anchorWallBits | (wallMs() & anchorWallMask),
                 std::memory_order_release);
    memset(out + copied * outChannels, 0, (size_t)(frames - copied) * outChannels * sizeof(float));
    // Silence after the song's end is played time; a starved ring mid-song is not.
    handedFrames += ended ? frames : copied;
    if (ended && (int64_t)heard >= songEndFrames.load()) callEnd(playing);
}

static void sdlCallback(void*, Uint8* out, int length) {
    static float frames[deviceFrames * outChannels];
    int16_t* samples = (int16_t*)out;
    int left = length / (int)(sizeof(int16_t) * outChannels);
    while (left > 0) {
        const int n = left < deviceFrames ? left : deviceFrames;
        fillDevice(frames, n);
        for (int i = 0; i < n * outChannels; i++) {
            const float v = frames[i] > 1.0f ? 1.0f : (frames[i] < -1.0f ? -1.0f : frames[i]);
            samples[i] = (int16_t)(v * pcmScale);
        }
        samples += n * outChannels;
        left -= n;
    }
}

// Without any device the song still plays, silently, at the wall clock's pace. Like a
// device, it pauses with a stopped process instead of racing to catch up.
static void standInDevice() {
    static float frames[deviceFrames * outChannels];
    using namespace std::chrono;
    const steady_clock::duration period =
        duration_cast<steady_clock::duration>(duration<double>((double)deviceFrames / mixRate));
    steady_clock::time_point next = steady_clock::now();
    while (!(playing && playing->endCalled.load())) {
        fillDevice(frames, deviceFrames);
        next += period;
        const steady_clock::time_point now = steady_clock::now();
        if (now > next + period) next = now;
        std::this_thread::sleep_until(next);
    }
}

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
            const uint32_t at = ((write + i) % ringFrames) * outChannels;
            for (int c = 0; c < outChannels; c++) ring[at + c] = frames[(pushed + i) * outChannels + c];
        }
        ringWrite.store(write + n, std::memory_order_release);
        pushed += n;
        if (output == Output::pulse) pulseKick();
    }
}

static void decodeLoop(SoundStream* s) {
    static float chunk[decodeChunkFrames * outChannels];
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
    if (output == Output::pulse) pulseKick();  // an output waiting for frames learns the end
}

static bool openSdlAudio(int rate) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) return false;
    SDL_AudioSpec want;
    memset(&want, 0, sizeof want);
    want.freq = rate;
    want.format = AUDIO_S16SYS;
    want.channels = outChannels;
    want.samples = deviceFrames;
    want.callback = sdlCallback;
    // No obtained spec: SDL converts to whatever the device takes.
    if (SDL_OpenAudio(&want, nullptr) < 0) return false;
    char driver[32] = "";
    SDL_AudioDriverName(driver, sizeof driver);
    // The dummy driver plays each buffer from its callback on; real drivers hold one more.
    sdlQueueFrames = strcmp(driver, "dummy") == 0 ? 0 : deviceFrames;
    snprintf(outputName, sizeof outputName, "sdl:%s", driver);
    return true;
}

void soundInit(int rate) {
    mixRate = rate;
    wallMs();  // starts the callbacks' time base before the first callback
    // Someone who names an SDL driver (tests name the dummy one) wants SDL's audio.
    const char* sdlDriver = getenv("SDL_AUDIODRIVER");
    if (!(sdlDriver && *sdlDriver) && pulseOpen(rate, {pullFrames, songPulled, pulseDrained})) {
        output = Output::pulse;
        snprintf(outputName, sizeof outputName, "pulse");
        return;
    }
    if (openSdlAudio(rate)) {
        output = Output::sdl;
        return;
    }
    fprintf(stderr, "xoon: no audio device (%s); the song plays silently\n", SDL_GetError());
}

SoundStream* soundOpenStream(const char* name) {
    std::string error;
    AudioDecoder* decoder = openAudioDecoder(name, mixRate, outChannels, &error);
    if (!decoder) {
        fprintf(stderr, "xoon: cannot play song %s: %s\n", name, error.c_str());
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
        SDL_Delay(1);
    playStart = std::chrono::steady_clock::now();
    switch (output) {
    case Output::pulse: pulseStart(); break;
    case Output::sdl: SDL_PauseAudio(0); break;
    case Output::none: std::thread(standInDevice).detach(); break;
    }
}

static int32_t wallClockPosition() {
    if (!clockStarted) return 0;
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(steady_clock::now() - playStart).count();
    return ms > INT32_MAX ? INT32_MAX : (int32_t)ms;
}

static int64_t heardFrames() {
    if (output == Output::pulse) {
        const int64_t heard = pulseHeardFrames();
        return heard < 0 ? 0 : heard;
    }
    const uint64_t a = anchor.load(std::memory_order_acquire);
    if (a == 0) return 0;  // no buffer played yet
    // Between buffers the listener moves on in real time, never past what that buffer
    // brought: a ring the player keeps short stops the clock there.
    const uint64_t audible = (a & 0xFFFFFFFFu) >> anchorWallBits;
    uint64_t elapsed = (uint64_t)((wallMs() - (uint32_t)a) & anchorWallMask) * mixRate / 1000;
    if (elapsed > audible) elapsed = audible;
    return (int64_t)((a >> 32) + elapsed);
}

int32_t soundPosition(SoundStream* stream) {
    if (!stream) return wallClockPosition();
    int32_t position = stream->lastPosition;
    if (stream == playing) {
        const int64_t ms = heardFrames() * 1000 / mixRate;
        position = ms > INT32_MAX ? INT32_MAX : (int32_t)ms;
    }
    if (position < stream->lastPosition) position = stream->lastPosition;
    stream->lastPosition = position;
    return position;
}

void soundSetVolume(int v) { volume.store(v < 0 ? 0 : (v > fullVolume ? fullVolume : v)); }

const char* soundOutputName() { return outputName; }
