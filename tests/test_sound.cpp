// The sound layer on SDL's dummy audio driver: real-speed clock, end callback, rates.
#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>
#include <algorithm>

#include "sound/sound.h"
#include "support/support.h"

static std::atomic<int> endCalls{0};
static signed char countEnd(SoundStream*, void*, int, void*) {
    endCalls++;
    return 1;
}

static double wallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Plays a test song once and samples the clock every millisecond until the end callback
// (or a limit). Every case runs in a child process: the layer plays one song per process.
struct PlayLog {
    double firstMoveWall = -1, endWall = -1, startWall = 0;
    int32_t positionAtThreeSeconds = -1;
    bool wentBackwards = false;
    int largestStep = 0;
    std::vector<int> steps;  // every non-zero move of the clock, in ms
    int endCount = 0;
};

static PlayLog playSong(const std::string& path) {
    PlayLog log;
    SDL_Init(SDL_INIT_NOPARACHUTE);
    soundInit(44100);
    SoundStream* s = soundOpenStream(path.c_str());
    if (!s) return log;
    soundSetEndCallback(s, countEnd, nullptr);
    soundPlay(s);
    soundSetVolume(255);
    log.startWall = wallSeconds();
    int32_t last = 0;
    double moveStart = -1;
    int32_t moveStartPos = 0;
    while (wallSeconds() - log.startWall < 12) {
        int32_t p = soundPosition(s);
        if (p < last) log.wentBackwards = true;
        if (p - last > log.largestStep && last > 0) log.largestStep = p - last;
        if (p > last && last > 0) log.steps.push_back(p - last);
        if (p > 0 && moveStart < 0) {
            moveStart = wallSeconds();
            moveStartPos = p;
        }
        if (moveStart > 0 && log.positionAtThreeSeconds < 0 && wallSeconds() - moveStart >= 3.0)
            log.positionAtThreeSeconds = p - moveStartPos;
        last = p;
        if (endCalls.load() > 0 && log.endWall < 0) log.endWall = wallSeconds();
        if (log.endWall > 0 && wallSeconds() - log.endWall > 0.5) break;
        SDL_Delay(1);
    }
    log.firstMoveWall = moveStart;
    log.endCount = endCalls.load();
    return log;
}

static void expectRealSpeed(const std::string& song) {
    PlayLog log = playSong(song);
    ASSERT_GT(log.firstMoveWall, 0) << "the clock never moved";
    // Over 3 s of wall time the song position moves 3000 ms, within 5 %.
    EXPECT_NEAR(log.positionAtThreeSeconds, 3000, 150);
    EXPECT_FALSE(log.wentBackwards);
    EXPECT_LE(log.largestStep, 30) << "the clock should move in small steps";
    // Sampled every millisecond, the clock moves in steps of about 1 ms between callbacks.
    ASSERT_FALSE(log.steps.empty());
    std::sort(log.steps.begin(), log.steps.end());
    EXPECT_LE(log.steps[log.steps.size() / 2], 2);
    EXPECT_EQ(log.endCount, 1);
    EXPECT_GT(log.endWall, 0);
    // The song is 4 s long: the end comes after about 4 s of play.
    EXPECT_NEAR(log.endWall - log.startWall, 4.0, 0.4);
}

class Sound : public ::testing::Test {
protected:
    void SetUp() override { dir = makeScratchDir("sound"); }
    std::string dir;
};

TEST_F(Sound, PlaysFortyFourKilohertzStereoAtRealSpeed) {
    makeTestSong(dir + "/a.ogg", 4.0, 44100, 2);
    EXPECT_EXIT({ expectRealSpeed(dir + "/a.ogg"); exit(::testing::Test::HasFailure() ? 1 : 0); },
                ::testing::ExitedWithCode(0), "");
}

TEST_F(Sound, PlaysFortyEightKilohertzMonoAtRealSpeed) {
    makeTestSong(dir + "/b.ogg", 4.0, 48000, 1);
    EXPECT_EXIT({ expectRealSpeed(dir + "/b.ogg"); exit(::testing::Test::HasFailure() ? 1 : 0); },
                ::testing::ExitedWithCode(0), "");
}

// Two songs joined into one file: the rate and the channel count change at the link.
TEST_F(Sound, PlaysAChainedSongWhoseSecondLinkHasAnotherLayout) {
    const std::string first = dir + "/first.ogg", second = dir + "/second.ogg", joined = dir + "/joined.ogg";
    makeTestSong(first, 2.0, 44100, 2);
    makeTestSong(second, 2.0, 22050, 1, 777);
    writeFile(joined, readFile(first) + readFile(second));
    EXPECT_EXIT({ expectRealSpeed(joined); exit(::testing::Test::HasFailure() ? 1 : 0); },
                ::testing::ExitedWithCode(0), "");
}

TEST_F(Sound, WithoutADeviceTheSongRunsOnTheWallClockAndEnds) {
    makeTestSong(dir + "/c.ogg", 4.0, 44100, 2);
    EXPECT_EXIT(
        {
            setenv("SDL_AUDIODRIVER", "nosuchdriver", 1);
            expectRealSpeed(dir + "/c.ogg");
            exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "no audio device");
}

TEST_F(Sound, MissingOrBadSongIsNamedAndTheClockStillRuns) {
    writeFile(dir + "/bad.ogg", "this is not an ogg file at all");
    EXPECT_EXIT(
        {
            SDL_Init(SDL_INIT_NOPARACHUTE);
            soundInit(44100);
            bool ok = soundOpenStream((dir + "/missing.ogg").c_str()) == nullptr;
            SoundStream* s = soundOpenStream((dir + "/bad.ogg").c_str());
            ok = ok && s == nullptr;
            soundSetEndCallback(s, countEnd, nullptr);
            soundPlay(s);
            SDL_Delay(300);
            int32_t p = soundPosition(s);
            ok = ok && p >= 250 && p <= 600 && endCalls.load() == 0;
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "missing.ogg: No such file.*\n.*bad.ogg: not an audio file");
}
