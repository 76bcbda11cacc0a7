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
#include <thread>
#include <vector>

#include "driver/show.h"
#include "support/support.h"

namespace {

constexpr int32_t frameMs = 16;  // a scripted frame's share of music time
constexpr int32_t tickMs = 10;

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
    int32_t lead;  // nextTickTime - clock afterwards
};

// Ticks, presents and lead after each frame; the clock comes from the hooks in place.
Frame observeFrame(int32_t (*clock)()) {
    const int32_t before = nextTickTime;
    const int presentsBefore = presents;
    runFrame();
    Frame f;
    f.clock = clock();
    f.presented = presents > presentsBefore;
    f.ticks = f.presented ? (nextTickTime - before) / tickMs : 0;
    f.lead = nextTickTime - f.clock;
    return f;
}

class ScriptedClockFaults : public ::testing::Test {
protected:
    void SetUp() override {
        openGlWindow();
        setFrameHooks({readScripted, noWait, countPresent});
        scriptedClock = 0;
        nextTickTime = 0;
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
    EXPECT_EQ(nextTickTime, scriptedClock);
    int total = 0;
    EXPECT_LE(steadyFrames(100, &total), 2) << "no burst after the resync";
    EXPECT_NEAR(total, 100 * frameMs / tickMs, 1);
}

TEST_F(ScriptedClockFaults, StalledDeviceFreezesThenGoesOnFromWhereItWas) {
    steadyFrames(100);
    const int presentsBefore = presents;
    const int32_t tickBefore = nextTickTime;
    // The device stalls: the clock stands still for 500 frames.
    for (int i = 0; i < 500; i++) observeFrame(readScripted);
    EXPECT_EQ(presents, presentsBefore) << "a frozen clock presents nothing";
    EXPECT_EQ(nextTickTime, tickBefore);
    EXPECT_LE(steadyFrames(100), 2);
    // Stalled for 900 ms and then caught up in one step: under the threshold, every tick
    // of the gap runs once, in one frame, none twice.
    const int32_t before = nextTickTime;
    scriptedClock += 900;
    Frame catchUp = observeFrame(readScripted);
    EXPECT_EQ(catchUp.ticks, (scriptedClock - before + tickMs - 1) / tickMs);
    EXPECT_LE(steadyFrames(50), 2);
}

TEST_F(ScriptedClockFaults, ClockSteppingBackFreezesUntilItCatchesUp) {
    steadyFrames(600);
    const int32_t resumeAt = nextTickTime;
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
    EXPECT_EQ(nextTickTime, resumeAt) << "no tick ran twice and none was skipped";
    EXPECT_LE(steadyFrames(100), 2);
}

// The real show's start-up, sound layer and frame loop in this process, on a song of ours,
// with the show's own clock, wait and present wrapped only to count.
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

class RealClockFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string dir = makeScratchDir("clock-faults");
        makeTestSong(dir + "/xoon09.ogg", 20.0);
        copyFile(std::string(XOON_RUN_DIR) + "/fona.png", dir + "/fona.png");
        ASSERT_EQ(chdir(dir.c_str()), 0);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        startShow(2);
        startSong();
        realHooks = showFrameHooks();
        setFrameHooks({recordingClock, realHooks.wait, countingPresent});
        nextTickTime = 0;  // the scripted tests left it far ahead of the song
    }
    // Runs real frames for the given wall time; returns them.
    static std::vector<Frame> runFor(double seconds) {
        std::vector<Frame> frames;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) frames.push_back(observeFrame(lastRead));
        return frames;
    }
    static double secondsSince(std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    }
};

int mostTicks(const std::vector<Frame>& frames) {
    int most = 0;
    for (const Frame& f : frames) most = std::max(most, f.ticks);
    return most;
}

// A frame of a busy machine may run a few ticks; 3 s of catching up would run 100 at once
// (or resynchronise), so anything up to 200 ms is not a burst.
constexpr int burstTicks = 20;

// Music-time rate against wall time over a stretch of frames.
void expectRealSpeed(const std::vector<Frame>& frames, double seconds) {
    ASSERT_GE(frames.size(), 2u);
    const double musicSeconds = (frames.back().clock - frames.front().clock) / 1000.0;
    EXPECT_NEAR(musicSeconds / seconds, 1.0, 0.1) << musicSeconds << " s of music in " << seconds;
    int ticks = 0;  // those of the first frame belong to music before the stretch
    for (const Frame& f : frames) {
        if (&f != &frames.front()) ticks += f.ticks;
        if (f.presented) {
            EXPECT_GE(f.lead, 0);
            EXPECT_LT(f.lead, tickMs);
        }
    }
    // In sync: every 10 ms of music ran exactly one tick, none skipped, none twice.
    const double musicTicks = (frames.back().clock - frames.front().clock) / (double)tickMs;
    EXPECT_NEAR(ticks, musicTicks, 1.0);
}

TEST_F(RealClockFaults, ProcessStoppedThreeSecondsGoesOnInSync) {
    runFor(1.0);
    const int32_t clockBefore = realHooks.readClock();
    // A helper process continues us after 3 s; until then the whole process, audio
    // thread included, is stopped.
    pid_t helper = fork();
    if (helper == 0) {
        usleep(3000000);
        kill(getppid(), SIGCONT);
        _exit(0);
    }
    auto stopped = std::chrono::steady_clock::now();
    raise(SIGSTOP);
    const double stoppedSeconds = secondsSince(stopped);
    waitpid(helper, nullptr, 0);
    EXPECT_GE(stoppedSeconds, 2.9);
    const int32_t clockAfter = realHooks.readClock();
    // The song was stopped with us: the clock goes on from where it was, not 3 s later.
    EXPECT_LT(clockAfter - clockBefore, 200) << "clock jumped across the stop";
    auto start = std::chrono::steady_clock::now();
    std::vector<Frame> frames = runFor(2.0);
    EXPECT_LE(mostTicks(frames), burstTicks) << "a burst of ticks after the stop";
    expectRealSpeed(frames, secondsSince(start));
    RecordProperty("clock_step_across_stop_ms", clockAfter - clockBefore);
    RecordProperty("most_ticks_in_a_frame_after", mostTicks(frames));
}

TEST_F(RealClockFaults, StalledAudioDeviceFreezesThePictureThenGoesOn) {
    runFor(0.5);
    // Holding the audio lock stalls the device's callback: no audio is handed over.
    SDL_LockAudio();
    const int32_t clockAtStall = realHooks.readClock();
    const int presentsAtStall = presents;
    std::vector<Frame> stalled = runFor(0.8);
    const int32_t clockEndOfStall = realHooks.readClock();
    SDL_UnlockAudio();
    // The clock may run on through what the device already holds (one buffer), no more.
    EXPECT_LE(clockEndOfStall - clockAtStall, 60);
    const int stallPresents = presents - presentsAtStall;
    EXPECT_LE(stallPresents, 6) << "frames went on drawing while the clock stood";
    auto start = std::chrono::steady_clock::now();
    std::vector<Frame> frames = runFor(1.5);
    EXPECT_LE(mostTicks(frames), burstTicks);
    expectRealSpeed(frames, secondsSince(start));
    RecordProperty("clock_move_during_stall_ms", clockEndOfStall - clockAtStall);
    RecordProperty("presents_during_stall", stallPresents);
    RecordProperty("frames_during_stall", (int)stalled.size());
    RecordProperty("most_ticks_in_a_frame_after_stall", mostTicks(frames));
}

// The show as a process, stopped 3 s after 1 s of play and continued. The song stops with
// the process, on an audio device and on the stand-in for none alike, so the show ends
// 3 s later than the song's length.
TEST(ShowProcessClockFaults, StoppedAndContinuedShowEndsOnTime) {
    const double songSeconds = 4.0, stopSeconds = 3.0;
    struct Case {
        const char* driver;
        double endsAfter;
    } cases[] = {{"dummy", songSeconds + stopSeconds}, {"nosuchdriver", songSeconds + stopSeconds}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver);
        std::string dir = makeScratchDir("stopped-show");
        makeTestSong(dir + "/xoon09.ogg", songSeconds);
        copyFile(std::string(XOON_RUN_DIR) + "/fona.png", dir + "/fona.png");
        ProcessResult r = runProcess(
            {binPath("xoon"), "window"}, dir, {std::string("SDL_AUDIODRIVER=") + c.driver}, 30,
            [&](pid_t pid) {
                usleep(1000000);
                kill(pid, SIGSTOP);
                usleep((useconds_t)(stopSeconds * 1e6));
                kill(pid, SIGCONT);
            });
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_GE(r.seconds, c.endsAfter - 0.1);
        EXPECT_LE(r.seconds, c.endsAfter + 2.0);
        RecordProperty(std::string("ended_after_ms_") + c.driver, (int)(r.seconds * 1000));
    }
}

}  // namespace
