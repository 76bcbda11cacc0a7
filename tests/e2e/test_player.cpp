// xoon-play: refusals before any window (songs, pipes, the font, the message), a song
// played to its end with its table kept in the cache exactly as the scorer writes it,
// damaged and unwritable caches, the scorer reading a pipe, the feed limit that keeps the
// music from outrunning the scorer, and whole flights for early onsets.
#include <gtest/gtest.h>

#include <SDL.h>
#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "data/onset_table.h"
#include "platform/audio.h"
#include "platform/audio_format.h"
#include "programs/xoon-play/player.h"
#include "score/score.h"
#include "score/score_cache.h"
#include "show/particles.h"
#include "show/show.h"
#include "support/support.h"

namespace {

std::string playerPath() { return std::string(XOON_RUN_DIR) + "/xoon-play"; }

// A clip whose first sound starts at its very first sample.
std::string makeClip(const std::string& dir, const std::string& name, double seconds) {
    const std::string path = dir + "/" + name;
    ProcessResult r = runProcess({binPath("xoon-clip"), path, "--seconds", std::to_string(seconds),
                                  "kick:0", "tone:0.5:440:0.3", "noise:1.0:6000:12000:0.08", "tone:1.5:110:0.4"},
                                 dir, {}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

std::vector<OnsetFrame> scorerTable(const std::string& dir, const std::string& song) {
    const std::string out = dir + "/table.cpp";
    ProcessResult r = runProcess({binPath("xoon-score"), song, "-o", out}, dir, {}, 120);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<OnsetFrame> table;
    EXPECT_TRUE(parseTableSource(readFile(out), &table));
    return table;
}

std::vector<std::string> cacheFiles(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(folder + "/" + e->d_name);
        closedir(d);
    }
    return names;
}

bool sameTables(const std::vector<OnsetFrame>& a, const std::vector<OnsetFrame>& b) {
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(OnsetFrame)) == 0;
}

class Player : public ::testing::Test {
protected:
    void SetUp() override { dir = makeScratchDir("player"); }
    ProcessResult play(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv = {playerPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> environment = {"SDL_AUDIODRIVER=dummy", "XDG_CACHE_HOME=" + dir + "/cache"};
        environment.insert(environment.end(), env.begin(), env.end());
        // A guard against hanging only: every song here lasts a few seconds.
        return runProcess(argv, dir, environment, 120);
    }
    std::string dir;
};

TEST_F(Player, RefusesBadSongsAndMessagesBeforeAnyWindow) {
    const std::string song = makeClip(dir, "song.ogg", 2.0);
    writeFile(dir + "/text.mp3", "not a song\n");
    writeFile(dir + "/empty.flac", "");
    writeFile(dir + "/bad-message.txt", "tab\there\n");
    mkdir((dir + "/no-songs").c_str(), 0755);
    writeFile(dir + "/no-songs/notes.txt", "not a song\n");
    mkfifo((dir + "/fifo.ogg").c_str(), 0644);
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--window", dir + "/missing.mp3"}, dir + "/missing.mp3: No such file or directory"},
        {{"--window", dir + "/no-songs"}, dir + "/no-songs: holds no audio files"},
        {{"--window", dir + "/fifo.ogg"}, dir + "/fifo.ogg: not a regular file"},
        {{"--window", "/dev/zero"}, "/dev/zero: not a regular file"},
        {{"--window", dir + "/text.mp3"}, dir + "/text.mp3: not an audio file"},
        {{"--window", dir + "/empty.flac"}, dir + "/empty.flac: is empty"},
        {{"--window", std::string(XOON_RUN_DIR) + "/fona.png"}, "fona.png: no audio track"},
        {{"--window", "--message", dir + "/bad-message.txt", song}, "bad-message.txt:1:4: error"},
        {{"--window", "--message", dir + "/none.txt", song}, "none.txt: No such file or directory"},
    };
    for (const Case& c : cases) {
        // No display at all: a window would be a video failure, not this message.
        ProcessResult r = play(c.args, {"DISPLAY="});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Video"), std::string::npos) << r.err;
    }
    // Without its font beside it or under its prefix: the font named, no window.
    mkdir((dir + "/bin").c_str(), 0755);
    copyFile(playerPath(), dir + "/bin/xoon-play");
    chmod((dir + "/bin/xoon-play").c_str(), 0755);
    ProcessResult fontless = runProcess({dir + "/bin/xoon-play", "--window", song}, dir, {"DISPLAY="}, 60);
    EXPECT_EQ(fontless.status, 1) << fontless.err;
    EXPECT_NE(fontless.err.find(dir + "/bin/fona.png: no font"), std::string::npos) << fontless.err;

    EXPECT_EQ(play({}).status, 2);
    EXPECT_EQ(play({"--av-offset", "soon", song}).status, 2);
    ProcessResult help = play({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: xoon-play"), std::string::npos);
}

TEST_F(Player, PlaysToTheEndAndKeepsTheScorersTableInTheCache) {
    const std::string ogg = makeClip(dir, "clip.ogg", 2.5);
    const std::string song = dir + "/clip.mp3";
    ProcessResult convert = runProcess({systemProgram("ffmpeg"), "-nostdin", "-loglevel", "error", "-i", ogg, song}, dir, {}, 60);
    ASSERT_EQ(convert.status, 0) << convert.err;
    const std::vector<OnsetFrame> expected = scorerTable(dir, song);
    ASSERT_FALSE(expected.empty());
    const std::string cache = dir + "/cache/xoon";

    ProcessResult first = play({"--window", song});
    EXPECT_FALSE(first.timedOut);
    EXPECT_EQ(first.status, 0) << first.err;
    std::vector<std::string> kept = cacheFiles(cache);
    ASSERT_EQ(kept.size(), 1u);
    std::string key;
    ASSERT_TRUE(scoreCacheKey(song.c_str(), &key));
    setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
    std::vector<OnsetFrame> cached;
    ASSERT_TRUE(readCachedTable(key, &cached));
    EXPECT_TRUE(sameTables(cached, expected)) << "the table scored while playing differs";

    // A damaged entry is scored again and replaced; a second run takes the sound one.
    std::string bytes = readFile(kept[0]);
    bytes[bytes.size() / 2] ^= 0x55;
    writeFile(kept[0], bytes);
    EXPECT_FALSE(readCachedTable(key, &cached));
    ProcessResult again = play({"--window", song});
    EXPECT_EQ(again.status, 0) << again.err;
    ASSERT_TRUE(readCachedTable(key, &cached));
    EXPECT_TRUE(sameTables(cached, expected));

    // A cache folder that cannot be made costs only the cache.
    writeFile(dir + "/not-a-folder", "");
    ProcessResult unwritable = play({"--window", song}, {"XDG_CACHE_HOME=" + dir + "/not-a-folder"});
    EXPECT_EQ(unwritable.status, 0) << unwritable.err;
    EXPECT_NE(unwritable.err.find("cannot keep the score"), std::string::npos) << unwritable.err;
}

// A song from a pipe is scored as it comes: the same table as from the file.
TEST_F(Player, TheScorerReadsAPipe) {
    const std::string song = makeClip(dir, "song.ogg", 2.0);
    const std::vector<OnsetFrame> expected = scorerTable(dir, song);
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
    std::thread writer([&] { writeFile(dir + "/pipe", readFile(song)); });
    ProcessResult r = runProcess({binPath("xoon-score"), dir + "/pipe", "-o", dir + "/piped.cpp"}, dir, {}, 120);
    writer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<OnsetFrame> piped;
    EXPECT_TRUE(parseTableSource(readFile(dir + "/piped.cpp"), &piped));
    EXPECT_TRUE(sameTables(piped, expected));
}

TEST_F(Player, OddSongsPlayToTheirEnd) {
    const std::string clip = makeClip(dir, "clip.ogg", 2.0);
    const std::string ffmpeg = systemProgram("ffmpeg");
    struct Odd {
        std::string name;
        std::vector<std::string> args;
    } odds[] = {
        {"short-8k-mono.wav", {"-t", "0.5", "-ar", "8000", "-ac", "1"}},
        {"six-192k.flac", {"-ar", "192000", "-ac", "6"}},
        {"stereo-48k.opus", {}},
    };
    for (const Odd& odd : odds) {
        std::vector<std::string> argv = {ffmpeg, "-nostdin", "-loglevel", "error", "-i", clip};
        argv.insert(argv.end(), odd.args.begin(), odd.args.end());
        argv.push_back(dir + "/" + odd.name);
        ProcessResult made = runProcess(argv, dir, {}, 60);
        ASSERT_EQ(made.status, 0) << made.err;
    }
    makeTestSong(dir + "/a.ogg", 1.0, 44100, 2);
    makeTestSong(dir + "/b.ogg", 1.0, 22050, 1, 777);
    writeFile(dir + "/chained.ogg", readFile(dir + "/a.ogg") + readFile(dir + "/b.ogg"));
    for (const char* name : {"short-8k-mono.wav", "six-192k.flac", "stereo-48k.opus", "chained.ogg"}) {
        ProcessResult r = play({"--window", dir + "/" + name});
        EXPECT_FALSE(r.timedOut) << name;
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    }
}

TEST_F(Player, AnOnsetAtTheSongsStartGetsItsWholeFlight) {
    const std::string song = makeClip(dir, "start.ogg", 2.0);
    setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
    std::string error;
    LiveScore* score = startLiveScore(song.c_str(), &error);
    ASSERT_TRUE(score) << error;
    while (!liveScoreDone(score)) SDL_Delay(5);
    ASSERT_GT(liveScoreCount(score), 0);
    // The player's timeline: the song after its lead-in.
    std::vector<OnsetFrame> timeline(liveScoreTable(score), liveScoreTable(score) + liveScoreCount(score));
    for (OnsetFrame& r : timeline) r.timeMs += songLeadInMs;
    stopLiveScore(score);
    const OnsetFrame& first = timeline[0];
    // A table time, not a wall clock: the kick at the song's first sample is scored there.
    EXPECT_LT(first.timeMs - songLeadInMs, 15) << "the kick at 0 ms was scored late in the table";
    static int32_t shortestFlight;
    shortestFlight = INT32_MAX;
    setLaunchObserver([](int32_t, float, float, int32_t flightMs) {
        if (flightMs < shortestFlight) shortestFlight = flightMs;
    });
    clearParticles();
    useOnsetTable(timeline.data(), (int32_t)timeline.size());
    for (int32_t t = 0; t < 6000; t += 10) {
        launchUpcomingOnsets(t);
        fireDueOnsets(t);
    }
    setLaunchObserver(nullptr);
    EXPECT_GE(shortestFlight, onsetLookAheadMs) << "a particle flew less than the look-ahead";
}

// The player hands its song to the output only as far as its scorer allows: while the
// limit holds, the clock never passes it, however the threads are scheduled.
std::atomic<int32_t> feedLimit{1500};
int32_t readFeedLimit() { return feedLimit.load(); }
std::atomic<int> ends{0};
signed char countEnd(SoundStream*, void*) {
    ends++;
    return 1;
}

TEST_F(Player, TheClockWaitsForTheScorer) {
    makeTestSong(dir + "/song.ogg", 3.0);
    EXPECT_EXIT(
        {
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            SDL_Init(SDL_INIT_NOPARACHUTE);
            soundInit(audioRateHz);
            SoundStream* s = soundOpenStream((dir + "/song.ogg").c_str());
            soundSetEndCallback(s, countEnd, nullptr);
            soundSetLeadIn(s, 500);
            soundSetFeedLimit(s, readFeedLimit);
            soundPlay(s);
            int32_t highest = 0;
            int32_t last = 0;
            bool backwards = false;
            for (int i = 0; i < 2500; i++) {  // 2.5 s of wall time, at least
                const int32_t p = soundPosition(s);
                backwards = backwards || p < last;
                last = p;
                if (p > highest) highest = p;
                SDL_Delay(1);
            }
            feedLimit.store(INT32_MAX);
            while (ends.load() == 0) SDL_Delay(1);
            const int32_t end = soundPosition(s);
            fprintf(stderr, "highest %d under a limit of 1500, end at %d, ends %d\n", highest, end, ends.load());
            exit(!backwards && highest <= 1500 && highest > 0 && end >= 3450 && ends.load() == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
