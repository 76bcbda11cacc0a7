// Start-up, the main loop, the music-clocked frame and the order of a tick.
#include "show/show.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "message/message_check.h"
#include "platform/audio.h"
#include "platform/audio_format.h"
#include "platform/draw.h"
#include "platform/texture.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/tick.h"
#include "show/wave_line.h"

static std::atomic<bool> showFinished{false};
static int32_t nextTickTime = 0;
static SoundStream* songStream = nullptr;
static std::string messageText;  // a message file's script; the panel types it for the run

constexpr const char* caption = "xOOn 2009";
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

static void realWait(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

static FrameHooks frameHooks = {songClock, realWait, presentAndMeasure};

FrameHooks showFrameHooks() { return {songClock, realWait, presentAndMeasure}; }

void setFrameHooks(const FrameHooks& hooks) { frameHooks = hooks; }

int32_t nextTick() { return nextTickTime; }
void setNextTick(int32_t tickTime) { nextTickTime = tickTime; }

static signed char onStreamEnd(SoundStream*, void*) {
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

// Read and checked whole before any window opens, as the build checks a message.
static void useMessageFile(const char* path) {
    std::string bytes, error, diagnostics;
    if (!readMessageFile(path, &bytes, &error)) cliFail("%s: %s", path, error.c_str());
    const bool ok = checkMessageText(bytes, path, &messageText, &diagnostics);
    fputs(diagnostics.c_str(), stderr);
    if (!ok) exit(cliStatusFailure);
    useMessageScript(messageText.c_str());
}

static void startSong(const ShowSetup& setup) {
    soundInit(audioRateHz);
    songStream = soundOpenStream(setup.songFile);
    soundSetEndCallback(songStream, onStreamEnd, nullptr);
    soundSetLeadIn(songStream, setup.leadInMs);
    soundSetFeedLimit(songStream, setup.feedLimitMs);
    soundPlay(songStream);
    soundSetVolume(fullVolume);
}

void showStart(const ShowSetup& setup) {
    if (setup.messageFile) useMessageFile(setup.messageFile);
    if (setup.table) useOnsetTable(setup.table, setup.tableCount);
    pictureDelayMs = setup.pictureDelayMs;
    const FrameHooks own = showFrameHooks();
    frameHooks = {setup.hooks.readClock ? setup.hooks.readClock : own.readClock,
                  setup.hooks.wait ? setup.hooks.wait : own.wait,
                  setup.hooks.present ? setup.hooks.present : own.present};

    particleRandom().seed(particleSeed);
    startVideo();
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    setVideoMode(setup.display, setup.width, setup.height);
    setPanelFont(getTexture(setup.fontFile, 1));
    useNearestFiltering();
    setWindowHabits(caption);
    if (setup.songFile) startSong(setup);
}

bool showFrame() {
    if (showFinished.load()) return false;
    pollEvents();
    runFrame();
    return !showFinished.load();
}

void showExtendTable(int32_t count) { extendOnsetTable(count); }

bool showQueueSong(const char* path, int64_t fromFrame, int64_t frames) {
    return soundQueueSong(songStream, path, fromFrame, frames);
}

int64_t showPlayNow(const char* path, int64_t fromFrame, int64_t frames) {
    return soundPlayNow(songStream, path, fromFrame, frames);
}

void showPause(bool paused) { soundPause(paused); }
void showSetVolume(int volume) { soundSetVolume(volume); }
int32_t showSoundPosition() { return soundPosition(songStream); }

void showCutTable(int32_t keep, int32_t count) {
    constexpr int32_t longestLifeMs = (int32_t)(particleLifeShare * onsetLookAheadMs);
    cutOnsetTable(keep);
    extendOnsetTable(count);
    clearParticles();
    // The ticks flown again are the ticks of the moment (nextTick() says which, to a
    // launch observer); then the frame loop goes on from where it was.
    const int32_t resume = nextTickTime;
    rewindLaunchCursor(resume - longestLifeMs - tickMs + onsetLookAheadMs);
    for (nextTickTime = resume - longestLifeMs; nextTickTime < resume; nextTickTime += tickMs) {
        updateParticles();
        launchUpcomingOnsets(nextTickTime);
    }
    nextTickTime = resume;
}

void showSetCaption(const char* text) { setWindowCaption(text); }
void showSetKeyHandler(void (*handler)(Key key)) { setKeyHandler(handler); }
bool showToggleFullScreen() { return toggleFullScreen(); }

void showReadFrame(uint8_t* rgb) { readFrame(rgb); }

int runShow(int argc, char** argv) {
    (void)argv;  // only the count matters
    ShowSetup setup;
    setup.display = argc > 1 ? DisplayMode::window : DisplayMode::fullScreen;
    showStart(setup);
    while (showFrame()) {
    }
    return 0;
}
