// The music-clocked frame loop driven by a scripted clock: resync, idle and drawn frames.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/onset_table.h"
#include "platform/window.h"
#include "show/onset_scans.h"
#include "show/show.h"
#include "show/wave_line.h"
#include "support/support.h"

static int32_t scriptedClock = 0;
static int presents = 0;
static std::vector<uint32_t> waits;
static std::vector<std::string> steps;  // waits and presents in the order they came

static int32_t readScriptedClock() { return scriptedClock; }
static void recordWait(uint32_t ms) {
    waits.push_back(ms);
    steps.push_back("wait " + std::to_string(ms));
}
static void countPresent() {
    presents++;
    steps.push_back("present");
}

class FrameLoop : public ::testing::Test {
protected:
    void SetUp() override {
        openGlWindow();
        setFrameHooks({readScriptedClock, recordWait, countPresent});
        setNextTick(0);
        presents = 0;
        waits.clear();
        steps.clear();
    }
    // One frame at the given clock; the number of ticks it ran.
    int frameAt(int32_t clock) {
        scriptedClock = clock;
        const int32_t before = nextTick();
        const int before_presents = presents;
        runFrame();
        ticksRan = presents > before_presents ? (nextTick() - before) / 10 : 0;
        return ticksRan;
    }
    int ticksRan = 0;
};

TEST_F(FrameLoop, ClockNotAheadOnlyWaitsOneMillisecond) {
    for (int32_t clock : {0, -5}) {
        waits.clear();
        EXPECT_EQ(frameAt(clock), 0);
        EXPECT_EQ(nextTick(), 0);
        EXPECT_EQ(presents, 0);
        EXPECT_EQ(waits, std::vector<uint32_t>{1});
    }
}

TEST_F(FrameLoop, ThousandAheadRunsHundredTicksAndPresents) {
    EXPECT_EQ(frameAt(1000), 100);
    EXPECT_EQ(nextTick(), 1000);
    EXPECT_EQ(presents, 1);
    EXPECT_EQ(steps, (std::vector<std::string>{"wait 10", "present"}));
}

TEST_F(FrameLoop, MoreThanThousandAheadResynchronises) {
    EXPECT_EQ(frameAt(1001), 0);
    EXPECT_EQ(nextTick(), 1001);
    EXPECT_EQ(presents, 0);
    EXPECT_EQ(waits, std::vector<uint32_t>{1});
    // The music before the jump is never simulated: the next tick runs at the new time.
    EXPECT_EQ(frameAt(1002), 1);
    EXPECT_EQ(nextTick(), 1011);
}

TEST_F(FrameLoop, TwentyFiveAheadRunsThreeTicksAndLeavesFiveAhead) {
    setNextTick(500);
    EXPECT_EQ(frameAt(525), 3);
    EXPECT_EQ(nextTick(), 530);
    EXPECT_EQ(presents, 1);
}

// The time each tick runs at shows in when an onset fires: a record at 505 fires in the
// tick at 510 (its time strictly before the tick's) and is diffused once, by the tick at 520.
TEST_F(FrameLoop, TicksRunAtTheirOwnTimes) {
    clearWaveLine();
    setWaveCell(100, 1.0f);
    diffuseWaveLine();
    const float diffusedOnce = waveCell(100);
    ASSERT_NE(diffusedOnce, 1.0f);

    OnsetFrame table[1] = {};
    table[0].timeMs = 505;
    table[0].mask[100 / 32] = 1u << (100 % 32);
    useOnsetTable(table, 1);
    clearWaveLine();
    setNextTick(500);
    EXPECT_EQ(frameAt(525), 3);
    EXPECT_EQ(waveCell(100), diffusedOnce) << "ticks ran at other times than 500, 510 and 520";
    EXPECT_EQ(fireCursorPosition(), 1);
    useOnsetTable(onsetTable, onsetFrameCount);
}

TEST_F(FrameLoop, ClockGoingBackwardsFreezesThePicture) {
    EXPECT_EQ(frameAt(2000 - 1000), 100);
    const int32_t frozen = nextTick();
    for (int32_t clock = 990; clock >= 400; clock -= 70) EXPECT_EQ(frameAt(clock), 0);
    EXPECT_EQ(nextTick(), frozen);
    EXPECT_EQ(presents, 1);
    EXPECT_EQ(frameAt(frozen), 0);      // equal is not ahead
    EXPECT_EQ(frameAt(frozen + 1), 1);  // passing it runs again
}

TEST_F(FrameLoop, StallBeforeFirstFrameSkipsTheMusicBefore) {
    EXPECT_EQ(frameAt(4321), 0);
    EXPECT_EQ(nextTick(), 4321);
    EXPECT_EQ(frameAt(4330), 1);
}

TEST_F(FrameLoop, DrawnFrameClearsToBlack) {
    glClearColor(1, 1, 1, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    frameAt(10);
    unsigned char pixel[4] = {9, 9, 9, 9};
    glReadPixels(400, 200, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_EQ(pixel[0], 0);
    EXPECT_EQ(pixel[1], 0);
    EXPECT_EQ(pixel[2], 0);
}
