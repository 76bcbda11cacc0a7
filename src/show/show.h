// The show driver: start-up, the main loop, the music-clocked frame and the tick.
#pragma once
#include <atomic>
#include <cstdint>

struct SoundStream;

// Raised once by the end-of-stream callback; the main loop reads it before each iteration.
extern std::atomic<bool> showFinished;
// Music time (ms) of the next tick to run; only moves forward, or jumps on a resync.
extern int32_t nextTickTime;
// A clock further ahead of the next tick than this (ms) is jumped to instead of caught up.
constexpr int32_t resyncThresholdMs = 1000;

// The files the show reads beside it, by relative name.
constexpr const char* showSongFile = "xoon09.ogg";
constexpr const char* showFontFile = "fona.png";

// The process's entry: start-up, then events and frames until the song ends. Returns 0.
int runShow(int argc, char** argv);
// Start-up up to the song: seed, video, cleared state, display mode, font, caption.
// The capture tool calls it alone, with mode selector 0 and its own screen size; the
// player gives the font's path.
void startShow(int32_t modeSelector, const char* fontFile = showFontFile);
// Start-up's last part: sound output, the song opened, its end callback, play, volume.
// The player plays its own song after leadInMs of silence that the clock counts, handed
// to the output no further than feedLimitMs allows (see soundSetFeedLimit).
void startSong(const char* songFile = showSongFile, int32_t leadInMs = 0,
               int32_t (*feedLimitMs)() = nullptr);
// Display delay the user knows of (television, projector), in ms: positive shows the
// picture later. 0 by default.
void setPictureDelay(int32_t delayMs);
// One frame: read the clock once, resynchronise, idle, or run due ticks and draw.
void runFrame();
// One tick of tickMs: typewriter, diffusion, particles, fire scan, look-ahead scan.
void simulateTick(int32_t tickTime);
// End-of-stream callback: raises showFinished.
signed char onStreamEnd(SoundStream* stream, void* buffer, int length, void* userValue);

// What a frame needs from the outside world. The show uses the song clock, SDL_Delay and
// the buffer swap; tests and the capture tool put in a scripted clock and their own steps.
struct FrameHooks {
    int32_t (*readClock)();
    void (*wait)(uint32_t ms);
    void (*present)();
};
void setFrameHooks(const FrameHooks& hooks);
// The hooks the show itself runs with.
FrameHooks showFrameHooks();
