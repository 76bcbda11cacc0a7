// Clock faults in the running show: a stopped and continued process, a stalling audio
// device and a clock that steps backwards; first on a scripted clock, then on the real
// sound layer (dummy audio driver) with a real stop signal and a real device stall.
#include <gtest/gtest.h>

#include <SDL.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "show/show.h"
#include "support/support.h"

namespace {

constexpr int32_t frameMs = 16;  // a scripted frame's share of music time
constexpr int32_t tickMs = 10;
constexpr double stallSeconds = 0.5;   // the audio device is held this long
constexpr int32_t deviceHoldsMs = 60;  // music the device may still play through a stall

int32_t scriptedClock = 0;
int presents = 0;
int32_t readScripted() { return scriptedClock; }
void noWait(uint32_t) {}
void countPresent() { presents++; }

// What one frame did.
struct Frame {
    int32_t clock;
    int ticks;
    bool presented;
    int32_t lead;  // nextTick() - clock afterwards
};

// Ticks, presents and lead after each frame; the clock comes from the hooks in place.
Frame observeFrame(int32_t (*clock)()) {
    const int32_t before = nextTick();
    const int presentsBefore = presents;
    runFrame();
    Frame f;
    f.clock = clock();
    f.presented = presents > presentsBefore;
    f.ticks = f.presented ? (nextTick() - before) / tickMs : 0;
    f.lead = nextTick() - f.clock;
    return f;
}

class ScriptedClockFaults : public ::testing::Test {
protected:
    void SetUp() override {
        openGlWindow();
        setFrameHooks({readScripted, noWait, countPresent});
        scriptedClock = 0;
        setNextTick(0);
        presents = 0;
    }
    // Frames at a steady 16 ms of music each; returns the largest tick count of any frame.
    int steadyFrames(int count, int* totalTicks = nullptr) {
        int most = 0, total = 0;
        for (int i = 0; i < count; i++) {
            scriptedClock += frameMs;
            Frame f = observeFrame(readScripted);
            most = std::max(most, f.ticks);
            total += f.ticks;
            if (f.presented) {
                // In sync: the next tick is due within one tick of the clock.
                EXPECT_GE(f.lead, 0);
                EXPECT_LT(f.lead, tickMs);
            }
        }
        if (totalTicks) *totalTicks = total;
        return most;
    }
};

TEST_F(ScriptedClockFaults, StoppedThreeSecondsResynchronisesWithoutABurst) {
    steadyFrames(300);
    // Stopped for 3 s while the clock ran on (the wall clock stands in for the song).
    scriptedClock += 3000;
    Frame jump = observeFrame(readScripted);
    EXPECT_EQ(jump.ticks, 0);
    EXPECT_FALSE(jump.presented);
    EXPECT_EQ(nextTick(), scriptedClock);
    int total = 0;
    EXPECT_LE(steadyFrames(100, &total), 2) << "no burst after the resync";
    EXPECT_NEAR(total, 100 * frameMs / tickMs, 1);
}

TEST_F(ScriptedClockFaults, StalledDeviceFreezesThenGoesOnFromWhereItWas) {
    steadyFrames(100);
    const int presentsBefore = presents;
    const int32_t tickBefore = nextTick();
    // The device stalls: the clock stands still for 500 frames.
    for (int i = 0; i < 500; i++) observeFrame(readScripted);
    EXPECT_EQ(presents, presentsBefore) << "a frozen clock presents nothing";
    EXPECT_EQ(nextTick(), tickBefore);
    EXPECT_LE(steadyFrames(100), 2);
    // Stalled for 900 ms and then caught up in one step: under the threshold, every tick
    // of the gap runs once, in one frame, none twice.
    const int32_t before = nextTick();
    scriptedClock += 900;
    Frame catchUp = observeFrame(readScripted);
    EXPECT_EQ(catchUp.ticks, (scriptedClock - before + tickMs - 1) / tickMs);
    EXPECT_LE(steadyFrames(50), 2);
}

TEST_F(ScriptedClockFaults, ClockSteppingBackFreezesUntilItCatchesUp) {
    steadyFrames(600);
    const int32_t resumeAt = nextTick();
    const int presentsBefore = presents;
    scriptedClock -= 5000;
    int frozenFrames = 0;
    while (scriptedClock + frameMs <= resumeAt) {
        Frame f = observeFrame(readScripted);
        scriptedClock += frameMs;
        EXPECT_FALSE(f.presented);
        frozenFrames++;
    }
    EXPECT_GT(frozenFrames, 300);
    EXPECT_EQ(presents, presentsBefore);
    EXPECT_EQ(nextTick(), resumeAt) << "no tick ran twice and none was skipped";
    EXPECT_LE(steadyFrames(100), 2);
}

// The real show's start-up, sound layer and frame loop in this process, on a test song,
// with the show's own clock, wait and present wrapped only to count. They assert outcomes
// only: the show goes on, in sync by the clock each frame read. What a stop or a stall
// costs (the clock's step, ticks in one frame) is measured by bench/bench_clock.
FrameHooks realHooks;
int32_t lastRealClock = 0;
int32_t recordingClock() {
    lastRealClock = realHooks.readClock();
    return lastRealClock;
}
int32_t lastRead() { return lastRealClock; }
void countingPresent() {
    presents++;
    realHooks.present();
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class RealClockFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string dir = makeShowFolder("clock-faults", 20.0);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        showStart(ShowSetup());
        realHooks = showFrameHooks();
        setFrameHooks({recordingClock, realHooks.wait, countingPresent});
        setNextTick(0);  // the scripted tests left it far ahead of the song
    }
    // Runs real frames until the clock has moved musicMs on (or the hang guard); returns them.
    static std::vector<Frame> runMusic(int32_t musicMs) {
        std::vector<Frame> frames;
        const int32_t from = realHooks.readClock();
        const auto start = std::chrono::steady_clock::now();
        do frames.push_back(observeFrame(lastRead));
        while (frames.back().clock - from < musicMs && secondsSince(start) < hangSeconds);
        EXPECT_GE(frames.back().clock - from, musicMs) << "the clock stood for " << hangSeconds << " s";
        return frames;
    }
};

// In sync, judged by the clock each frame read: the clock and the next tick never went
// back, each drawn frame left the next tick due within one tick of its clock, and frames
// were drawn.
void expectInSync(const std::vector<Frame>& frames) {
    int drawn = 0, wrong = 0;
    for (size_t i = 0; i < frames.size(); i++) {
        const Frame& f = frames[i];
        const bool back = i > 0 && (f.clock < frames[i - 1].clock ||
                                    f.clock + f.lead < frames[i - 1].clock + frames[i - 1].lead);
        const bool outOfStep = f.presented && (f.lead < 0 || f.lead >= tickMs);
        drawn += f.presented;
        if ((back || outOfStep) && wrong++ < 5)
            ADD_FAILURE() << "frame " << i << " read " << f.clock << " ms and left the next tick at "
                          << f.clock + f.lead << " ms" << (back ? ", before the frame ahead of it" : "");
    }
    EXPECT_GT(drawn, 0) << "no frame drawn";
}

TEST_F(RealClockFaults, ProcessStoppedThreeSecondsGoesOnInSync) {
    std::vector<Frame> frames = runMusic(500);
    // A helper process continues us 3 s after we stopped; until then the whole process,
    // audio thread included, stands.
    const pid_t parent = getpid();
    const pid_t helper = fork();
    if (helper == 0) {
        while (processState(parent) != 'T') usleep(1000);
        usleep(3000000);
        kill(parent, SIGCONT);
        _exit(0);
    }
    raise(SIGSTOP);
    waitpid(helper, nullptr, 0);
    const std::vector<Frame> after = runMusic(1000);
    frames.insert(frames.end(), after.begin(), after.end());
    expectInSync(frames);
}

TEST_F(RealClockFaults, StalledAudioDeviceFreezesThePictureThenGoesOn) {
    std::vector<Frame> frames = runMusic(500);
    // Holding the audio lock stalls the device's callback: no audio is handed over.
    SDL_LockAudio();
    const int32_t clockAtStall = realHooks.readClock(), tickAtStall = nextTick();
    const int presentsAtStall = presents;
    const auto stalled = std::chrono::steady_clock::now();
    while (secondsSince(stalled) < stallSeconds) frames.push_back(observeFrame(lastRead));
    const int32_t clockEndOfStall = realHooks.readClock();
    SDL_UnlockAudio();
    // The clock may run on through what the device already holds, no more; every frame
    // drawn meanwhile ran at least one tick that clock had reached.
    EXPECT_LE(clockEndOfStall - clockAtStall, deviceHoldsMs);
    EXPECT_LE(presents - presentsAtStall, std::max(0, (clockEndOfStall - tickAtStall + tickMs - 1) / tickMs))
        << "frames went on drawing while the clock stood";
    const std::vector<Frame> after = runMusic(1000);
    frames.insert(frames.end(), after.begin(), after.end());
    expectInSync(frames);
}

// The show as a process, stopped for 3 s after 1 s and continued: with the audio device
// the song stops with the process, and on the stand-in for none alike.
// Either way it ends by itself.
TEST(ShowProcessClockFaults, StoppedAndContinuedShowEndsByItself) {
    for (const char* driver : {"dummy", "nosuchdriver"}) {
        SCOPED_TRACE(driver);
        const std::string dir = makeShowFolder("stopped-show", 4.0);
        ProcessResult r = runProcess(
            {binPath("xoon"), "window"}, dir, {std::string("SDL_AUDIODRIVER=") + driver}, hangSeconds,
            [&](pid_t pid) {
                usleep(1000000);
                kill(pid, SIGSTOP);
                usleep(3000000);
                kill(pid, SIGCONT);
            });
        EXPECT_FALSE(r.timedOut) << "still running after " << hangSeconds << " s";
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

}  // namespace
