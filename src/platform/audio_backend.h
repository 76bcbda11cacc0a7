// The sound layer's back ends behind one table, chosen once at start-up: the sound server,
// SDL's audio, and a stand-in that plays silently on the wall clock. Only the sound layer
// and the back ends include this.
#pragma once
#include <cstdint>

// What a back end asks of the sound layer, on its own thread.
struct AudioFeed {
    // Up to `frames` stereo float frames of the song at the current volume (fewer when the
    // ring holds fewer); returns how many.
    int (*pull)(float* out, int frames);
    // The whole song has left the ring.
    bool (*songPulled)();
    // Every frame of the song has been heard.
    void (*heardEnd)();
};

struct AudioBackend {
    // Opens the output at rate Hz, stereo float; false, quietly, when it cannot.
    bool (*open)(int rate, const AudioFeed& feed);
    // Starts playing; the ring already holds the song's first frames.
    void (*start)();
    // The sound layer put new frames in its ring: an output that waits for them writes them.
    void (*kick)();
    // Frames heard so far, now, interpolated between the output's own reports. An output
    // that has lost its device goes on counting on the monotonic clock from the last frame
    // heard, taking the song from the ring at that pace, until it has the device back.
    int64_t (*heardFrames)();
    // Holds the output and its count of frames heard, or lets them go on.
    void (*pause)(bool paused);
    // "pulse", "sdl:<driver>", "none": for messages and tests.
    const char* (*name)();
};

extern const AudioBackend pulseBackend;
extern const AudioBackend sdlBackend;
extern const AudioBackend standInBackend;
// Why SDL's audio did not open, for the one line that says the song plays silently.
const char* sdlAudioError();

// SDL and the stand-in play buffers of their own size: both fill them here (the song, then
// silence; silence only while paused) and take the clock from what the last buffer
// brought. queuedFrames: what the driver still holds ahead of the buffer heard now.
constexpr int deviceFrames = 1024;
void fillDeviceBuffer(float* out, int frames, int queuedFrames);
int64_t deviceHeardFrames();
// The stand-in plays until the song has been heard to its end.
bool deviceSongHeard();
