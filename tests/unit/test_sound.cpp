// The sound layer on SDL's dummy audio driver: the clock runs to the song's end and never
// backwards, and the end comes once; for other rates and layouts, chained and cut songs.
// How fast and in what steps the clock moves is measured by bench/bench_clock.
#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/audio_format.h"
#include "support/support.h"

namespace {

std::atomic<int> endCalls{0};
signed char countEnd(SoundStream*, void*) {
    endCalls++;
    return 1;
}

// Music time (ms) the clock may stand off the song's length when the end has come: the
// device buffer still to be heard, and the resampler's rounding at each link.
constexpr int32_t endToleranceMs = 100;
// Waited after the end for a second end callback that must not come.
constexpr uint32_t afterEndMs = 300;

// Plays the song once, reading the clock every millisecond until the end callback has
// come (or the hang guard), then once more a while later. Runs in a child process (the
// layer plays one song per process) and exits 0 when all went as it should, 1 otherwise;
// what it saw is on standard error either way, where the death test shows it.
void playToTheEndAndExit(const std::string& path, double songSeconds) {
    SDL_Init(SDL_INIT_NOPARACHUTE);
    soundInit(audioRateHz);
    SoundStream* s = soundOpenStream(path.c_str());
    if (!s) exit(1);
    soundSetEndCallback(s, countEnd, nullptr);
    soundPlay(s);
    soundSetVolume(255);
    const auto start = std::chrono::steady_clock::now();
    auto waited = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    int32_t last = 0;
    bool backwards = false;
    while (endCalls.load() == 0 && waited() < hangSeconds) {
        const int32_t p = soundPosition(s);
        backwards |= p < last;
        last = p;
        SDL_Delay(1);
    }
    const bool ended = endCalls.load() == 1;
    const int32_t atEnd = soundPosition(s);
    SDL_Delay(afterEndMs);
    const int32_t after = soundPosition(s);
    backwards |= atEnd < last || after < atEnd;
    const int32_t lengthMs = (int32_t)(songSeconds * 1000);
    const bool ok = ended && !backwards && endCalls.load() == 1 && std::abs(atEnd - lengthMs) <= endToleranceMs;
    fprintf(stderr, "%s: end callbacks %d (1 wanted), clock %d ms at the end (%d ms wanted), %s\n", path.c_str(),
            endCalls.load(), atEnd, lengthMs, backwards ? "went backwards" : "never went backwards");
    exit(ok ? 0 : 1);
}

class Sound : public ::testing::Test {
protected:
    void SetUp() override { dir = makeScratchDir("sound"); }
    std::string dir;
};

}  // namespace

TEST_F(Sound, PlaysEveryLayoutToItsEndOnce) {
    struct Case {
        std::string what;
        double seconds;  // of music the song holds
        std::string path;
    };
    std::vector<Case> cases;
    struct Made {
        const char* what;
        int rate, channels;
        double seconds;
    } made[] = {{"44.1 kHz stereo", 44100, 2, 2.0}, {"48 kHz mono", 48000, 1, 1.5},
                {"8 kHz stereo", 8000, 2, 1.5},     {"96 kHz stereo", 96000, 2, 1.5},
                {"six channels", 44100, 6, 1.5},    {"a tenth of a second", 44100, 2, 0.1}};
    for (const Made& m : made) {
        cases.push_back({m.what, m.seconds, dir + "/" + std::to_string(cases.size()) + ".ogg"});
        makeTestSong(cases.back().path, m.seconds, m.rate, m.channels);
    }
    // Two songs joined into one file: the rate and the channel count change at the link.
    makeTestSong(dir + "/first.ogg", 2.0, 44100, 2);
    makeTestSong(dir + "/second.ogg", 2.0, 22050, 1, 777);
    cases.push_back({"chained", 4.0, dir + "/chained.ogg"});
    writeFile(cases.back().path, readFile(dir + "/first.ogg") + readFile(dir + "/second.ogg"));
    // A song cut short: what is there plays, then the end comes.
    makeTestSong(dir + "/whole.ogg", 3.0);
    const std::string whole = readFile(dir + "/whole.ogg");
    writeFile(dir + "/cut.ogg", whole.substr(0, whole.size() * 7 / 10));
    cases.push_back({"cut to 70 % of its bytes", decodableSeconds(dir + "/cut.ogg"), dir + "/cut.ogg"});
    ASSERT_GT(cases.back().seconds, 1.0) << "the cut must leave audio pages behind the headers";
    ASSERT_LT(cases.back().seconds, 2.9);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(playToTheEndAndExit(c.path, c.seconds), ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(Sound, WithoutADeviceTheSongRunsOnTheWallClockAndEnds) {
    makeTestSong(dir + "/c.ogg", 2.0, 44100, 2);
    EXPECT_EXIT(
        {
            setenv("SDL_AUDIODRIVER", "nosuchdriver", 1);
            playToTheEndAndExit(dir + "/c.ogg", 2.0);
        },
        ::testing::ExitedWithCode(0), "no audio device");
}

TEST_F(Sound, MissingOrBadSongIsNamedAndTheClockStillRuns) {
    writeFile(dir + "/bad.ogg", "this is not an ogg file at all");
    EXPECT_EXIT(
        {
            SDL_Init(SDL_INIT_NOPARACHUTE);
            soundInit(audioRateHz);
            bool ok = soundOpenStream((dir + "/missing.ogg").c_str()) == nullptr;
            SoundStream* s = soundOpenStream((dir + "/bad.ogg").c_str());
            ok = ok && s == nullptr;
            soundSetEndCallback(s, countEnd, nullptr);
            soundPlay(s);
            SDL_Delay(100);
            const int32_t p = soundPosition(s);
            SDL_Delay(100);
            ok = ok && p > 0 && soundPosition(s) > p && endCalls.load() == 0;
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "missing.ogg: No such file.*\n.*bad.ogg: not an audio file");
}
