// The show behind one entry point: a setup, then one frame per main-loop iteration until the
// song has ended. The show itself (xoon), the player and the capture tool all start here.
#pragma once
#include <cstdint>

#include "data/onset_table.h"
#include "platform/window.h"
#include "show/onset_scans.h"

// The files the show reads beside it, by relative name.
constexpr const char* showSongFile = "xoon09.ogg";
constexpr const char* showFontFile = "fona.png";
// A song of the user's (the player, a capture of it) starts after this much silence (ms)
// that the clock counts, so that even an onset at its very start gets a particle with its
// whole flight: the look-ahead.
constexpr int32_t songLeadInMs = onsetLookAheadMs;
// A clock further ahead of the next tick than this (ms) is jumped to instead of caught up.
constexpr int32_t resyncThresholdMs = 1000;

// What a frame needs from the outside world. The show uses the song clock, a real wait and
// the buffer swap; tests and the capture tool put in a scripted clock and their own steps.
struct FrameHooks {
    int32_t (*readClock)();  // ms of music time
    void (*wait)(uint32_t ms);
    void (*present)();
};

struct ShowSetup {
    DisplayMode display = DisplayMode::window;
    int32_t width = 0, height = 0;  // pixels, for DisplayMode::sized
    const char* fontFile = showFontFile;
    // Null: no sound at all, and the hooks' clock is the only clock (the capture tool).
    const char* songFile = showSongFile;
    // Silence before the song that the clock counts (ms): the song starts at this position.
    int32_t leadInMs = 0;
    // The song is handed to the output only up to this clock position (ms), asked as it
    // goes, on the decoder's thread; null: no limit (see soundSetFeedLimit).
    int32_t (*feedLimitMs)() = nullptr;
    // The onset table; null: the compiled-in one. It may grow (showExtendTable).
    const OnsetFrame* table = nullptr;
    int32_t tableCount = 0;
    // A message text file the panel types instead of the built-in message, checked before
    // any window opens: its findings go to standard error, and a fault ends the process
    // with status 1. Null: the built-in message.
    const char* messageFile = nullptr;
    // The display's own delay (ms): positive shows the picture later.
    int32_t pictureDelayMs = 0;
    // Members left null: the show's own.
    FrameHooks hooks = {nullptr, nullptr, nullptr};
};

// Start-up: seed, video, cleared state, display mode, font, caption, then the song playing.
// May end the process: a bad message file, a window that cannot open.
void showStart(const ShowSetup& setup);
// One main-loop iteration: the events, then one frame. False once the song has ended (the
// frame under way has run); Escape and closing the window end the process from inside.
bool showFrame();
// The table given to showStart has grown to `count` records, every one of them final.
void showExtendTable(int32_t count);
// The frame just drawn, before it is shown: RGB24, top row first, the size of the mode.
void showReadFrame(uint8_t* rgb);

// The player's hold on the song and the window (xoon never calls these). Songs follow one
// another on the clock's one timeline; frames count at audioRateHz from the timeline's
// start, lead-in included (see platform/audio.h).
//
// Queues a song after the last one queued, with nothing between them: from its frame
// fromFrame for `frames` frames (-1: to its end). False when it cannot be queued now.
bool showQueueSong(const char* path, int64_t fromFrame, int64_t frames);
// Plays a song (or another place in one) right after the sound already on its way out,
// dropping what was queued; returns the timeline frame where it starts, -1 once the last
// song has been handed out.
int64_t showPlayNow(const char* path, int64_t fromFrame, int64_t frames);
// Holds the sound and with it the clock (the picture stands, particles in the air), or
// lets them go on.
void showPause(bool paused);
// Volume, 0..255.
void showSetVolume(int volume);
// The timeline position heard now (ms), without the picture's lead.
int32_t showSoundPosition();
// The one cut the player makes in the show: a seek or a change of song made the table's
// records from `keep` on stale, and the table now holds `count` (the new ones after the
// kept). The scans forget the stale ones, and the particles in the air are flown again
// from the records there are, over one particle's life before the next tick, so the air
// holds what it would hold had the table always been as it is now: none of the dropped
// ones, and the new ones mid-flight. The bars keep what was heard.
void showCutTable(int32_t keep, int32_t count);
// The window's caption; who gets the keys besides Escape; full screen or a window (false
// where the display does not allow the other).
void showSetCaption(const char* caption);
void showSetKeyHandler(void (*handler)(Key key));
bool showToggleFullScreen();

// The process's entry for xoon: start-up, then frames until the song ends. Only the
// number of words matters: with any after the program's name, an 800 x 400 window, with
// none the whole screen. Returns 0.
int runShow(int argc, char** argv);

// For tests and tools that drive the frame loop themselves.
// One frame: read the clock once, resynchronise, idle, or run due ticks and draw.
void runFrame();
// One tick of tickMs: typewriter, diffusion, particles, fire scan, look-ahead scan.
void simulateTick(int32_t tickTime);
// Music time (ms) of the next tick to run; it only moves forward, or jumps on a resync.
int32_t nextTick();
void setNextTick(int32_t tickTime);
void setFrameHooks(const FrameHooks& hooks);
// The hooks the show itself runs with.
FrameHooks showFrameHooks();
