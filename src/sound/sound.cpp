// Our sound layer: a decoder thread feeds a ring of 44.1 kHz stereo frames that SDL's
// audio callback plays; the music clock is the position of the audio being heard.
#include "sound/sound.h"

#include <SDL.h>
#include <vorbis/vorbisfile.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

constexpr int outChannels = 2;
constexpr int deviceFrames = 1024;          // SDL buffer: about 23 ms at 44.1 kHz
constexpr uint32_t ringFrames = 32768;      // decoded audio kept ahead of the device
constexpr int decodeChunkFrames = 1024;     // song frames per decoder read
constexpr int resampleFrames = 8192;        // resampled frames handed to the ring at a time
constexpr int decoderNapMs = 2;             // decoder sleep while the ring is full
constexpr float pcmScale = 32767.0f;

struct SoundStream {
    OggVorbis_File file;
    double durationMs;
    StreamEndCallback endCallback;
    void* userValue;
    std::atomic<bool> endCalled{false};
    int32_t lastPosition;  // ms; the clock never goes backwards
};

static int mixRate = 44100;
static bool haveDevice = false;
static std::atomic<int> volume{255};

// The one stream that plays, and the wall clock that stands in without a device.
static SoundStream* playing = nullptr;
static bool clockStarted = false;
static std::chrono::steady_clock::time_point playStart;

// Single-producer (decoder thread), single-consumer (audio callback) ring of frames.
static int16_t ring[ringFrames * outChannels];
static std::atomic<uint32_t> ringWrite{0};
static std::atomic<uint32_t> ringRead{0};
static std::atomic<bool> decodeDone{false};

// Written by the audio callback, read by the main thread: frames heard at anchorMs.
static std::atomic<uint64_t> anchor{0};  // heard frames << 32 | wall clock ms
static uint64_t handedFrames = 0;        // audio thread only

static uint32_t wallMs() {
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    return (uint32_t)duration_cast<milliseconds>(steady_clock::now() - origin).count();
}

static void callEnd(SoundStream* s) {
    bool expected = false;
    if (s->endCallback && s->endCalled.compare_exchange_strong(expected, true))
        s->endCallback(s, nullptr, 0, s->userValue);
}

static void audioCallback(void*, Uint8* out, int length) {
    int16_t* samples = (int16_t*)out;
    const int frames = length / (int)(sizeof(int16_t) * outChannels);
    // Read before the ring: once the decoder is done, every frame it made is already in it.
    const bool decoderDone = decodeDone.load(std::memory_order_acquire);
    const uint32_t read = ringRead.load(std::memory_order_relaxed);
    const uint32_t available = ringWrite.load(std::memory_order_acquire) - read;
    const int copied = available < (uint32_t)frames ? (int)available : frames;
    const int gain = volume.load(std::memory_order_relaxed);
    for (int i = 0; i < copied; i++) {
        const uint32_t at = ((read + i) % ringFrames) * outChannels;
        for (int c = 0; c < outChannels; c++)
            samples[i * outChannels + c] = (int16_t)(ring[at + c] * gain / 255);
    }
    memset(samples + copied * outChannels, 0, (size_t)(frames - copied) * sizeof(int16_t) * outChannels);
    ringRead.store(read + copied, std::memory_order_release);

    // What the listener hears now is what was handed over before this call, less the
    // buffer still queued in the device ahead of it.
    const uint64_t heard = handedFrames > (uint64_t)deviceFrames ? handedFrames - deviceFrames : 0;
    anchor.store(heard << 32 | wallMs(), std::memory_order_release);
    handedFrames += copied;

    if (decoderDone && copied == (int)available && playing)
        callEnd(playing);
}

// Turns song frames (any rate, any channel count) into stereo at the mixing rate by linear
// interpolation. It stops when its output is full and goes on from there on the next call.
struct Resampler {
    double step = 1.0;  // song frames per output frame
    double phase = 2.0; // above 1: the next song frame is needed
    float previous[outChannels] = {0, 0};
    float current[outChannels] = {0, 0};

    int run(float** pcm, int channels, int frames, int* next, int16_t* out, int room) {
        int produced = 0;
        while (produced < room) {
            if (phase > 1.0) {
                if (*next == frames) break;
                const int f = (*next)++;
                float frame[outChannels];
                if (channels == 1) {
                    frame[0] = frame[1] = pcm[0][f];
                } else if (channels == 2) {
                    frame[0] = pcm[0][f];
                    frame[1] = pcm[1][f];
                } else {  // more than two: every channel to both sides
                    float sum = 0;
                    for (int c = 0; c < channels; c++) sum += pcm[c][f];
                    frame[0] = frame[1] = sum / channels;
                }
                for (int c = 0; c < outChannels; c++) {
                    previous[c] = current[c];
                    current[c] = frame[c];
                }
                phase -= 1.0;
                continue;
            }
            for (int c = 0; c < outChannels; c++) {
                float v = previous[c] + (current[c] - previous[c]) * (float)phase;
                v = v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
                out[produced * outChannels + c] = (int16_t)(v * pcmScale);
            }
            produced++;
            phase += step;
        }
        return produced;
    }
};

static void pushToRing(const int16_t* frames, int count) {
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
    }
}

static void decodeLoop(SoundStream* s) {
    static int16_t chunk[resampleFrames * outChannels];
    Resampler resampler;
    for (;;) {
        float** pcm = nullptr;
        int link = -1;
        const long got = ov_read_float(&s->file, &pcm, decodeChunkFrames, &link);
        if (got == OV_HOLE) continue;  // a gap in the data: skip it and go on
        if (got <= 0) break;
        // A chained file may change rate and channels at a link: the frames just read are
        // laid out as their own link says.
        const vorbis_info* info = ov_info(&s->file, link);
        if (!info || info->channels < 1 || info->rate < 1) break;
        resampler.step = (double)info->rate / mixRate;
        int next = 0;
        int produced;
        do {
            produced = resampler.run(pcm, info->channels, (int)got, &next, chunk, resampleFrames);
            pushToRing(chunk, produced);
        } while (produced == resampleFrames);
    }
    decodeDone.store(true, std::memory_order_release);
}

void soundInit(int rate) {
    mixRate = rate;
    wallMs();  // starts the callbacks' time base before the first callback
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
        fprintf(stderr, "xoon: no audio device (%s); the song plays silently\n", SDL_GetError());
        return;
    }
    SDL_AudioSpec want;
    memset(&want, 0, sizeof want);
    want.freq = rate;
    want.format = AUDIO_S16SYS;
    want.channels = outChannels;
    want.samples = deviceFrames;
    want.callback = audioCallback;
    // No obtained spec: SDL converts to whatever the device takes.
    if (SDL_OpenAudio(&want, nullptr) < 0) {
        fprintf(stderr, "xoon: no audio device (%s); the song plays silently\n", SDL_GetError());
        return;
    }
    haveDevice = true;
}

SoundStream* soundOpenStream(const char* name) {
    FILE* f = fopen(name, "rb");
    if (!f) {
        fprintf(stderr, "xoon: cannot open song %s: %s\n", name, strerror(errno));
        return nullptr;
    }
    SoundStream* s = new SoundStream();
    if (ov_open_callbacks(f, &s->file, nullptr, 0, OV_CALLBACKS_DEFAULT) != 0) {
        fprintf(stderr, "xoon: cannot play song %s: not an Ogg Vorbis file\n", name);
        fclose(f);
        delete s;
        return nullptr;
    }
    vorbis_info* info = ov_info(&s->file, -1);
    if (!info || info->channels < 1 || info->rate < 1) {
        fprintf(stderr, "xoon: cannot play song %s: no audio in it\n", name);
        ov_clear(&s->file);
        delete s;
        return nullptr;
    }
    const double seconds = ov_time_total(&s->file, -1);
    s->durationMs = seconds > 0 ? seconds * 1000.0 : 0.0;
    return s;
}

void soundSetEndCallback(SoundStream* stream, StreamEndCallback callback, void* userValue) {
    if (!stream) return;
    stream->endCallback = callback;
    stream->userValue = userValue;
}

void soundPlay(SoundStream* stream) {
    playStart = std::chrono::steady_clock::now();
    clockStarted = true;
    if (!stream) return;
    playing = stream;
    if (haveDevice) {
        std::thread(decodeLoop, stream).detach();
        SDL_PauseAudio(0);
    }
}

static int32_t wallClockPosition() {
    if (!clockStarted) return 0;
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(steady_clock::now() - playStart).count();
    return ms > INT32_MAX ? INT32_MAX : (int32_t)ms;
}

int32_t soundPosition(SoundStream* stream) {
    if (!stream) return wallClockPosition();
    int32_t position;
    if (haveDevice && stream == playing) {
        const uint64_t a = anchor.load(std::memory_order_acquire);
        const uint64_t heard = a >> 32;
        if (heard == 0 && (uint32_t)a == 0) {
            position = 0;  // no callback yet
        } else {
            // Between callbacks the listener moves on in real time, at most one device
            // buffer: never past what was handed over.
            uint64_t elapsed = (uint64_t)(uint32_t)(wallMs() - (uint32_t)a) * mixRate / 1000;
            if (elapsed > (uint64_t)deviceFrames) elapsed = deviceFrames;
            position = (int32_t)((heard + elapsed) * 1000 / mixRate);
        }
    } else {
        position = wallClockPosition();
        if (stream == playing && position >= stream->durationMs) {
            position = (int32_t)stream->durationMs;
            callEnd(stream);
        }
    }
    if (position < stream->lastPosition) position = stream->lastPosition;
    stream->lastPosition = position;
    return position;
}

void soundSetVolume(int v) { volume.store(v < 0 ? 0 : (v > 255 ? 255 : v)); }
