// Start-up, the main loop, the music-clocked frame and the order of a tick.
#include "show/show.h"

#include <SDL.h>

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform/draw.h"
#include "platform/texture.h"
#include "platform/window.h"
#include "platform/events.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/tick.h"
#include "show/wave_line.h"
#include "platform/audio.h"

std::atomic<bool> showFinished{false};
int32_t nextTickTime = 0;

static SoundStream* songStream = nullptr;

constexpr uint32_t videoInitFlags = SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE;
constexpr int keyRepeatDelayMs = 500;
constexpr int keyRepeatIntervalMs = 30;
constexpr int mixRateHz = 44100;
constexpr int fullVolume = 255;
constexpr uint32_t drawnFrameWaitMs = 10;
constexpr uint32_t idleFrameWaitMs = 1;

// How long a drawn frame takes from its clock reading to being shown (drawing, the wait,
// the swap), and how far apart drawn frames come, measured as the show runs: both start
// at the wait alone.
constexpr double presentLagShare = 0.1;  // weight of each new frame in the running means
constexpr double longestFrameGapMs = 50;  // a longer gap is a stall, not the frame rate
static double presentLagMs = drawnFrameWaitMs;
static double frameGapMs = drawnFrameWaitMs;
static std::chrono::steady_clock::time_point clockReadAt, lastPresentAt;
static int32_t pictureDelayMs = 0;
static int32_t lastSongClock = INT32_MIN;

// The clock a frame reads is the song position heard when the frame it draws appears:
// what is heard now, plus the frame's way to the screen, less the display's own delay.
// An onset then shows on the first tick after it and in the first frame after that tick,
// half a tick and half a frame late on average: the clock leads by those halves too.
static int32_t songClock() {
    clockReadAt = std::chrono::steady_clock::now();
    const double lead = presentLagMs + (tickMs + frameGapMs) * 0.5 - pictureDelayMs;
    const int64_t clock = (int64_t)soundPosition(songStream) + (int64_t)lround(lead);
    int32_t c = clock > INT32_MAX ? INT32_MAX : (clock < INT32_MIN ? INT32_MIN : (int32_t)clock);
    if (c < lastSongClock) c = lastSongClock;  // the lead's changes never turn time back
    lastSongClock = c;
    return c;
}

static void presentAndMeasure() {
    presentFrame();
    using Ms = std::chrono::duration<double, std::milli>;
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    presentLagMs += (Ms(now - clockReadAt).count() - presentLagMs) * presentLagShare;
    const double gap = Ms(now - lastPresentAt).count();
    if (gap < longestFrameGapMs) frameGapMs += (gap - frameGapMs) * presentLagShare;
    lastPresentAt = now;
}

static void sdlWait(uint32_t ms) { SDL_Delay(ms); }

static FrameHooks frameHooks = {songClock, sdlWait, presentAndMeasure};

FrameHooks showFrameHooks() { return {songClock, sdlWait, presentAndMeasure}; }

void setPictureDelay(int32_t delayMs) { pictureDelayMs = delayMs; }

void setFrameHooks(const FrameHooks& hooks) { frameHooks = hooks; }

signed char onStreamEnd(SoundStream*, void*, int, void*) {
    showFinished.store(true);
    return 1;
}

void simulateTick(int32_t tickTime) {
    advanceTypewriter(tickTime);
    diffuseWaveLine();
    updateParticles();
    fireDueOnsets(tickTime);
    launchUpcomingOnsets(tickTime);
}

void runFrame() {
    const int32_t now = frameHooks.readClock();
    // Unsigned subtraction: the signed 32-bit difference wraps instead of overflowing.
    const int32_t ahead = (int32_t)((uint32_t)now - (uint32_t)nextTickTime);
    if (ahead > resyncThresholdMs) {
        nextTickTime = now;
        frameHooks.wait(idleFrameWaitMs);
        return;
    }
    if (nextTickTime >= now) {
        frameHooks.wait(idleFrameWaitMs);
        return;
    }
    do {
        simulateTick(nextTickTime);
        nextTickTime += tickMs;
    } while (nextTickTime < now);

    clearScreen();
    drawWaveLine();
    drawParticles();
    drawMessagePanel(now);
    frameHooks.wait(drawnFrameWaitMs);
    frameHooks.present();
}

void startShow(int32_t modeSelector, const char* fontFile) {
    particleRandom.seed(particleSeed);
    // SDL 1.2 registers no exit-time shut-down of its own here; every end of the process
    // must leave the video system shut down.
    atexit(SDL_Quit);
    if (SDL_Init(videoInitFlags) < 0) videoFailure("Video initialization");
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    setVideoMode(modeSelector);
    fontTexture = getTexture(fontFile, 1);
    useNearestFiltering();
    SDL_EnableKeyRepeat(keyRepeatDelayMs, keyRepeatIntervalMs);
    SDL_EnableUNICODE(1);
    SDL_WM_SetCaption("xOOn 2009", nullptr);
}

void startSong(const char* songFile, int32_t leadInMs, int32_t (*feedLimitMs)()) {
    soundInit(mixRateHz);
    songStream = soundOpenStream(songFile);
    soundSetEndCallback(songStream, onStreamEnd, nullptr);
    soundSetLeadIn(songStream, leadInMs);
    soundSetFeedLimit(songStream, feedLimitMs);
    soundPlay(songStream);
    soundSetVolume(fullVolume);
}

int runShow(int argc, char** argv) {
    (void)argv;  // only the count matters
    startShow(argc);
    startSong();
    while (!showFinished.load()) {
        pollEvents();
        runFrame();
    }
    return 0;
}
