// xoon-capture run as a process: options, frame counts, exact pre-roll, stalls, letterbox, video.
#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/window.h"
#include "support/support.h"

using Args = std::vector<std::string>;

class Capture : public ::testing::Test {
protected:
    // Holding a display connection keeps Xvfb from resetting between the captures.
    static void SetUpTestSuite() { ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError(); }
    static void TearDownTestSuite() { SDL_Quit(); }

    static ProcessResult capture(const Args& options) {
        Args argv = {binPath("xoon-capture")};
        argv.insert(argv.end(), options.begin(), options.end());
        return runProcess(argv, XOON_RUN_DIR, {"LIBGL_ALWAYS_SOFTWARE=1"}, 300);
    }
    // Raw frames of a successful capture, one string per frame.
    static std::vector<std::string> frames(const Args& options, int w, int h) {
        Args all = options;
        all.insert(all.end(), {"--raw", "--size", std::to_string(w) + "x" + std::to_string(h)});
        ProcessResult r = capture(all);
        EXPECT_EQ(r.status, 0) << r.err;
        const size_t frameBytes = (size_t)w * h * 3;
        EXPECT_EQ(r.out.size() % frameBytes, 0u);
        std::vector<std::string> out;
        for (size_t at = 0; at + frameBytes <= r.out.size(); at += frameBytes)
            out.push_back(r.out.substr(at, frameBytes));
        return out;
    }
};

TEST_F(Capture, BadOptionsAreNamedAsUsageErrors) {
    const std::vector<std::pair<Args, std::string>> cases = {
        {{"--raw", "--fps", "23"}, "--fps"},
        {{"--raw", "--fps", "121"}, "--fps"},
        {{"--raw", "--fps", "6O"}, "--fps"},
        {{"--raw", "--size", "800"}, "--size"},
        {{"--raw", "--size", "0x400"}, "--size"},
        {{"--raw", "--size", "800x400x3"}, "--size"},
        {{"--raw", "--from", "-0"}, "--from"},
        {{"--raw", "--from", "--1"}, "--from"},
        {{"--raw", "--to", "ten"}, "--to"},
        {{"--raw", "--from", "5", "--to", "5"}, "--to"},
        {{"--raw", "--stall", "5"}, "--stall"},
        {{"--raw", "--stall", "5:0"}, "--stall"},
        {{"--raw", "--fps"}, "needs a value"},
        {{"--raw", "--frobnicate"}, "unknown option"},
        {{}, "--out DIR, --raw and --check"},
        {{"--raw", "--out", "x"}, "--out DIR, --raw and --check"},
        {{"--raw", "--check"}, "--out DIR, --raw and --check"},
        // Past the song's end: named before anything renders.
        {{"--raw", "--from", "100000", "--to", "100005"}, "--from 100000 is not before the end of xoon09.ogg"},
        {{"--raw", "--to", "100000"}, "--to 100000 is past the end of xoon09.ogg"},
    };
    for (const auto& c : cases) {
        ProcessResult r = capture(c.first);
        std::string args;
        for (const auto& a : c.first) args += a + " ";
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_NE(r.err.find(c.second), std::string::npos) << args << ": " << r.err;
    }
}

TEST_F(Capture, FrameCountFollowsFpsAndStretch) {
    EXPECT_EQ(frames({"--from", "1", "--to", "1.5"}, 64, 32).size(), 30u);
    EXPECT_EQ(frames({"--fps", "24", "--to", "1"}, 64, 32).size(), 24u);
    // Decimal seconds that are not exact in binary still give whole frames: 6..11.
    EXPECT_EQ(frames({"--fps", "60", "--from", "0.1", "--to", "0.2"}, 64, 32).size(), 6u);
    // A negative --from counts whole frames back from the end: the last frame, the last second.
    std::vector<std::string> last = frames({"--from", "-0.01", "--to", "2"}, 64, 32);
    std::vector<std::string> lastSecond = frames({"--from", "-1", "--to", "2"}, 64, 32);
    ASSERT_EQ(last.size(), 1u);
    ASSERT_EQ(lastSecond.size(), 60u);
    EXPECT_EQ(last[0], lastSecond.back());
    EXPECT_EQ(frames({"--from", "-5", "--to", "2"}, 64, 32).size(), 120u);
}

// The state at any frame is what a frame-by-frame run from the start gives, whatever the
// pre-roll skipped; and two captures agree byte for byte.
TEST_F(Capture, StretchesMatchTheWholeRunAndRepeat) {
    // A long stall makes the show jump; a short one only holds the picture a while.
    for (auto run : {std::pair<const char*, const char*>{"60", "2.5:1.7"}, {"120", "2.5:1.7"},
                     {"60", "2.3:0.6"}}) {
        const char* fps = run.first;
        const Args common = {"--fps", fps, "--stall", run.second};
        Args whole = common, again = common;
        whole.insert(whole.end(), {"--to", "6"});
        std::vector<std::string> all = frames(whole, 96, 48);
        ASSERT_EQ(all.size(), (size_t)6 * atoi(fps));
        for (const char* from : {"1.95", "2.6", "2.9", "4.2", "4.23", "5.5"}) {
            Args part = whole;
            part.insert(part.end(), {"--from", from});
            std::vector<std::string> tail = frames(part, 96, 48);
            ASSERT_FALSE(tail.empty());
            ASSERT_LE(tail.size(), all.size());
            for (size_t i = 0; i < tail.size(); i++)
                ASSERT_EQ(tail[i], all[all.size() - tail.size() + i])
                    << "fps " << fps << ", from " << from << ", frame " << i;
        }
        EXPECT_EQ(frames(whole, 96, 48), all) << "a second capture differs";
    }
}

// Seconds are seconds of song for another song too: its picture starts 2 s before its
// music, and --from 0 is the music's start.
TEST_F(Capture, AnotherSongsSecondsCountFromItsMusic) {
    const std::string dir = makeScratchDir("capture-song");
    makeTestSong(dir + "/song.ogg", 2.5);
    const Args song = {"--song", dir + "/song.ogg"};
    auto check = [&](Args options) {
        options.insert(options.begin(), song.begin(), song.end());
        options.push_back("--check");
        const ProcessResult r = capture(options);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    EXPECT_EQ(check({}), "-2.000000 4.500000\n");
    EXPECT_EQ(check({"--from", "0", "--to", "1"}), "0.000000 1.000000\n");
    EXPECT_EQ(check({"--from", "-0.5", "--to", "1"}), "0.500000 0.500000\n");
    Args fromStart = song, fromMusic = song;
    fromStart.insert(fromStart.end(), {"--to", "1"});
    fromMusic.insert(fromMusic.end(), {"--from", "0", "--to", "1"});
    const std::vector<std::string> all = frames(fromStart, 64, 32), music = frames(fromMusic, 64, 32);
    ASSERT_EQ(all.size(), 180u);
    ASSERT_EQ(music.size(), 60u);
    for (size_t i = 0; i < music.size(); i++) ASSERT_EQ(music[i], all[120 + i]) << "frame " << i;
}

// While the show stalls its picture holds; afterwards it moves again.
TEST_F(Capture, StallHoldsThePicture) {
    std::vector<std::string> all = frames({"--from", "3", "--to", "8", "--stall", "4:2"}, 96, 48);
    ASSERT_EQ(all.size(), 300u);
    // Frame 240 (clock 4000, index 60 here) is the last the show ran; the stall swallows
    // clocks to 6000, and the frame at 6016 only resynchronises: indices 60..181 hold.
    for (int i = 61; i <= 181; i++) ASSERT_EQ(all[i], all[60]) << "frame " << i;
    int changes = 0;
    for (int i = 182; i < 300; i++) changes += all[i] != all[i - 1];
    EXPECT_GT(changes, 0) << "the show never moved again after the stall";
}

static bool rowBlack(const std::string& f, int w, int y, int x0, int x1) {
    for (int x = x0; x < x1; x++)
        for (int c = 0; c < 3; c++)
            if (f[((size_t)y * w + x) * 3 + c] != 0) return false;
    return true;
}

// The picture is the show full screen at that size: black bars exactly where the
// viewport leaves them, the wave line's bars along the viewport's bottom edge.
TEST_F(Capture, LetterboxAndPillarboxAsFullScreen) {
    for (auto size : {std::pair<int, int>{300, 200}, {500, 200}, {301, 203}}) {
        const int w = size.first, h = size.second;
        const Viewport v = letterboxViewport(w, h);
        std::vector<std::string> f = frames({"--from", "1", "--to", "1.01"}, w, h);
        ASSERT_EQ(f.size(), 1u);
        const int top = h - v.y - v.height;  // picture rows from the top
        for (int y = 0; y < h; y++) {
            const bool outside = y < top || y >= top + v.height;
            if (outside) {
                EXPECT_TRUE(rowBlack(f[0], w, y, 0, w)) << w << "x" << h << " row " << y;
            } else {
                EXPECT_TRUE(rowBlack(f[0], w, y, 0, v.x)) << w << "x" << h << " row " << y;
                EXPECT_TRUE(rowBlack(f[0], w, y, v.x + v.width, w)) << w << "x" << h;
            }
        }
        // The bars (never black, even unlit) fill the viewport's bottom row edge to edge.
        const int bottom = top + v.height - 1;
        for (int x = v.x; x < v.x + v.width; x += 7)
            EXPECT_FALSE(rowBlack(f[0], w, bottom, x, x + 1)) << w << "x" << h << " x " << x;
    }
}

// Mono 16-bit samples at 8 kHz of an audio file (or stretch of one), decoded by ffmpeg.
static std::vector<int16_t> decodeAudio(const std::vector<std::string>& input) {
    std::vector<std::string> argv = {"/usr/bin/env", "ffmpeg", "-v", "error"};
    argv.insert(argv.end(), input.begin(), input.end());
    argv.insert(argv.end(), {"-f", "s16le", "-ac", "1", "-ar", "8000", "-"});
    ProcessResult r = runProcess(argv, ".", {}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<int16_t> samples(r.out.size() / 2);
    memcpy(samples.data(), r.out.data(), samples.size() * 2);
    return samples;
}

// The lag (in samples, within +-maxLag) at which b best matches a.
static int bestLag(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int maxLag) {
    int best = 0;
    double bestSum = -1e300;
    const int n = (int)std::min(a.size(), b.size());
    for (int lag = -maxLag; lag <= maxLag; lag++) {
        double sum = 0;
        for (int i = maxLag; i < n - maxLag; i++) sum += (double)a[i] * b[i + lag];
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

TEST_F(Capture, RecordVideoGivesH264AndAacOfTheSameLengthInSync) {
    // The video is recorded from the run folder's song, which a user's build may keep short.
    const std::string runSong = std::string(XOON_RUN_DIR) + "/xoon09.ogg";
    if (decodableSeconds(runSong) < 5) GTEST_SKIP() << "the run folder's song is shorter than the stretch recorded";
    const std::string dir = makeScratchDir("record-video");
    const std::string mp4 = dir + "/clip.mp4";
    // 2.51 s is not on a frame at 30 frames/s: the video starts at frame 76, 2.5333 s.
    ProcessResult r =
        runProcess({std::string(XOON_SOURCE_DIR) + "/programs/scripts/record-video", XOON_BUILD_DIR, mp4,
                    "--fps", "30", "--size", "160x80", "--from", "2.51", "--to", "4.51"},
                   dir, {}, 300);
    ASSERT_EQ(r.status, 0) << r.err;
    ProcessResult probe = runProcess(
        {"/usr/bin/env", "ffprobe", "-v", "error", "-show_entries",
         "stream=codec_type,codec_name,duration,nb_frames,width,height", "-of", "compact", mp4},
        dir, {}, 60);
    ASSERT_EQ(probe.status, 0) << probe.err;
    const std::string& s = probe.out;
    EXPECT_NE(s.find("codec_name=h264|codec_type=video|width=160|height=80"), std::string::npos)
        << s;
    EXPECT_NE(s.find("nb_frames=60"), std::string::npos) << s;
    EXPECT_NE(s.find("codec_name=aac|codec_type=audio"), std::string::npos) << s;
    // Both streams last the two seconds asked for (AAC rounds to its 1024-sample frames).
    size_t at = 0;
    int streams = 0;
    while ((at = s.find("duration=", at)) != std::string::npos) {
        const double d = atof(s.c_str() + at + 9);
        EXPECT_NEAR(d, 2.0, 0.03) << s;
        at++;
        streams++;
    }
    EXPECT_EQ(streams, 2) << s;

    // The sound is the song from the first frame's time on: the best match lies within
    // a quarter of a millisecond (2 samples at 8 kHz) of no shift, out of +-25 ms tried.
    const std::vector<int16_t> heard = decodeAudio({"-i", mp4});
    const std::vector<int16_t> song = decodeAudio(
        {"-ss", "2.533333", "-t", "2", "-i", runSong});
    ASSERT_GT(heard.size(), 15000u);
    ASSERT_GT(song.size(), 15000u);
    EXPECT_LE(std::abs(bestLag(song, heard, 200)), 2);
}

// record-video's usage errors are its own (status 2, its usage), found by the capture's
// check before anything renders or any file is written.
TEST_F(Capture, RecordVideoRefusesBadOptionsBeforeRecording) {
    const std::string dir = makeScratchDir("record-video-usage");
    makeTestSong(dir + "/song.ogg", 2.0);
    const std::string mp4 = dir + "/clip.mp4";
    const struct {
        Args options;
        std::string line;
    } cases[] = {
        {{"--bogus"}, "record-video: unknown option --bogus"},
        {{"--fps", "1000"}, "record-video: --fps wants a whole number from 24 to 120, not '1000'"},
        {{"--to", "10", "--from", "20"}, "record-video: --to (10) must be after --from (20)"},
        {{"--raw"}, "record-video: --raw: the video chooses it"},
        {{"--song", "song.ogg", "--from", "500", "--to", "505"},
         "record-video: --from 500 is not before the end of " + dir + "/song.ogg (2.000 s)"},
    };
    for (const auto& c : cases) {
        Args argv = {std::string(XOON_SOURCE_DIR) + "/programs/scripts/record-video", XOON_BUILD_DIR, mp4};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const ProcessResult r = runProcess(argv, dir, {}, 60);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.line);
        EXPECT_NE(r.err.find("Usage: record-video [BUILD_DIR] OUTPUT.mp4"), std::string::npos) << r.err;
        EXPECT_TRUE(readFile(mp4).empty());
    }
}

// Another song's video starts 2 s before its music: silence, then the song from its start.
TEST_F(Capture, RecordVideoOfAnotherSongLeadsInWithSilence) {
    const std::string dir = makeScratchDir("record-video-song");
    // Noise bursts: no lag but the true one lines them up.
    ProcessResult clip = runProcess({binPath("xoon-clip"), dir + "/song.ogg", "--seconds", "2", "noise:0.1:300:3000:0.2",
                                     "kick:0.4", "noise:0.6:500:2500:0.1"},
                                    dir, {}, 60);
    ASSERT_EQ(clip.status, 0) << clip.err;
    const std::string mp4 = dir + "/clip.mp4";
    ProcessResult r = runProcess({std::string(XOON_SOURCE_DIR) + "/programs/scripts/record-video", XOON_BUILD_DIR,
                                  mp4, "--fps", "30", "--size", "64x32", "--song", "song.ogg", "--to", "1"},
                                 dir, {}, 300);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<int16_t> heard = decodeAudio({"-i", mp4});
    const std::vector<int16_t> song = decodeAudio({"-t", "1", "-i", dir + "/song.ogg"});
    ASSERT_NEAR(heard.size(), 24000u, 1100u);  // 3 s at 8 kHz, to an AAC frame
    ASSERT_GT(song.size(), 7900u);
    int loudest = 0;
    for (size_t i = 0; i < 15600; i++) loudest = std::max(loudest, std::abs((int)heard[i]));
    EXPECT_LT(loudest, 100) << "the lead-in is not silent";
    const std::vector<int16_t> music(heard.begin() + 16000, heard.end());
    EXPECT_LE(std::abs(bestLag(song, music, 200)), 2);
}
