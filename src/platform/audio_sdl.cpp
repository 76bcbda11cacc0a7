// SDL's audio as the sound layer's output: 16-bit buffers filled from the ring on SDL's
// audio thread.
#include <SDL.h>

#include <cstdio>
#include <cstring>

#include "platform/audio_backend.h"
#include "platform/audio_format.h"

constexpr float pcmScale = 32767.0f;

static int queueFrames = 0;  // frames SDL's driver holds ahead of the one heard
static char outputName[48] = "none";

static void sdlCallback(void*, Uint8* out, int length) {
    static float frames[deviceFrames * audioChannels];
    int16_t* samples = (int16_t*)out;
    int left = length / (int)(sizeof(int16_t) * audioChannels);
    while (left > 0) {
        const int n = left < deviceFrames ? left : deviceFrames;
        fillDeviceBuffer(frames, n, queueFrames);
        for (int i = 0; i < n * audioChannels; i++) {
            const float v = frames[i] > 1.0f ? 1.0f : (frames[i] < -1.0f ? -1.0f : frames[i]);
            samples[i] = (int16_t)(v * pcmScale);
        }
        samples += n * audioChannels;
        left -= n;
    }
}

static bool openSdl(int rate, const AudioFeed&) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) return false;
    SDL_AudioSpec want;
    memset(&want, 0, sizeof want);
    want.freq = rate;
    want.format = AUDIO_S16SYS;
    want.channels = audioChannels;
    want.samples = deviceFrames;
    want.callback = sdlCallback;
    // No obtained spec: SDL converts to whatever the device takes.
    if (SDL_OpenAudio(&want, nullptr) < 0) return false;
    char driver[32] = "";
    SDL_AudioDriverName(driver, sizeof driver);
    // The dummy driver plays each buffer from its callback on; real drivers hold one more.
    queueFrames = strcmp(driver, "dummy") == 0 ? 0 : deviceFrames;
    snprintf(outputName, sizeof outputName, "sdl:%s", driver);
    return true;
}

static void startSdl() { SDL_PauseAudio(0); }
static void kickSdl() {}
static void pauseSdl(bool) {}  // the buffers it fills say it
static const char* sdlName() { return outputName; }

const char* sdlAudioError() { return SDL_GetError(); }

const AudioBackend sdlBackend = {openSdl, startSdl, kickSdl, deviceHeardFrames, pauseSdl, sdlName};
