// Tests of xoon-compose: the rendered song's format, levels, passages, ground truth and
// determinism, read back through libvorbisfile and measured by libebur128.
#include <ebur128.h>
#include <gtest/gtest.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support/support.h"

namespace {

struct Decoded {
    long rate = 0;
    int channels = 0;
    std::vector<float> left, right;
    double seconds() const { return rate ? (double)left.size() / rate : 0.0; }
};

Decoded decodeOgg(const std::string& path) {
    Decoded d;
    OggVorbis_File vf;
    if (ov_fopen(path.c_str(), &vf) != 0) throw std::runtime_error("not an Ogg Vorbis file: " + path);
    vorbis_info* vi = ov_info(&vf, -1);
    d.rate = vi->rate;
    d.channels = vi->channels;
    for (;;) {
        float** pcm;
        int section;
        long n = ov_read_float(&vf, &pcm, 4096, &section);
        if (n <= 0) break;
        d.left.insert(d.left.end(), pcm[0], pcm[0] + n);
        d.right.insert(d.right.end(), pcm[d.channels > 1 ? 1 : 0], pcm[d.channels > 1 ? 1 : 0] + n);
    }
    ov_clear(&vf);
    return d;
}

struct Onset {
    double seconds;
    std::string instrument;
    int pitch;
};

const std::map<std::string, std::set<int>> drumNumbers = {
    {"kick", {35, 36}}, {"snare", {38, 40}}, {"clap", {39}}, {"hat", {42, 44}},
    {"openhat", {46}},  {"crash", {49, 57}}};
const std::set<std::string> tonalNames = {"bass", "chord", "lead", "arp"};

// Reads a ground truth file; every malformed line is an assertion failure.
std::vector<Onset> readTruth(const std::string& path) {
    std::vector<Onset> onsets;
    std::istringstream in(readFile(path));
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        lineNo++;
        if (!line.empty() && line[0] == '#') continue;
        char time[32], name[32];
        int pitch;
        char extra;
        bool parsed = sscanf(line.c_str(), "%31[0-9.] %31[a-z] %d %c", time, name, &pitch, &extra) == 3;
        EXPECT_TRUE(parsed) << "line " << lineNo << ": " << line;
        if (!parsed) continue;
        std::string t = time;
        EXPECT_EQ(t.size() - t.find('.'), 7u) << "six decimals, line " << lineNo << ": " << line;
        EXPECT_EQ(std::to_string(pitch), line.substr(line.rfind(' ') + 1)) << "line " << lineNo;
        auto drum = drumNumbers.find(name);
        if (drum != drumNumbers.end())
            EXPECT_TRUE(drum->second.count(pitch)) << "drum number, line " << lineNo << ": " << line;
        else if (tonalNames.count(name))
            EXPECT_TRUE(pitch >= 21 && pitch <= 108) << "pitch, line " << lineNo << ": " << line;
        else
            ADD_FAILURE() << "unknown instrument, line " << lineNo << ": " << line;
        onsets.push_back({atof(time), name, pitch});
    }
    return onsets;
}

ProcessResult compose(const std::string& dir, const std::string& stem,
                      const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {binPath("xoon-compose"), dir + "/" + stem + ".ogg",
                                     dir + "/" + stem + ".txt"};
    argv.insert(argv.end(), options.begin(), options.end());
    return runProcess(argv, dir, {}, 300);
}

double dbfs(double amplitude) { return 20.0 * log10(amplitude); }

// Energy of both channels over [from, from + seconds).
double energy(const Decoded& d, double from, double seconds) {
    long first = lround(from * d.rate), last = lround((from + seconds) * d.rate);
    double e = 1e-12;
    for (long i = std::max(first, 0L); i < last && i < (long)d.left.size(); i++)
        e += d.left[i] * d.left[i] + d.right[i] * d.right[i];
    return e;
}

// The whole song: the build's own when it made ours (one test checks that it is what the
// composer renders), otherwise rendered here.
class Song : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string songPath = std::string(XOON_RUN_DIR) + "/xoon09.ogg", truthPath = XOON_SONG_TRUTH;
        if (truthPath.empty()) {
            const std::string dir = makeScratchDir("compose-song");
            ProcessResult r = compose(dir, "song");
            ASSERT_EQ(r.status, 0) << r.err;
            songPath = dir + "/song.ogg";
            truthPath = dir + "/song.txt";
        }
        song = new Decoded(decodeOgg(songPath));
        truth = new std::vector<Onset>(readTruth(truthPath));
    }
    void SetUp() override {
        if (!song || !truth) GTEST_FAIL() << "the composer did not render the song";
    }
    static Decoded* song;
    static std::vector<Onset>* truth;
};
Decoded* Song::song;
std::vector<Onset>* Song::truth;

TEST_F(Song, IsStereoAt44100HzAndAboutThreeMinutesLong) {
    EXPECT_EQ(song->rate, 44100);
    EXPECT_EQ(song->channels, 2);
    EXPECT_GE(song->seconds(), 190.0);
    EXPECT_LE(song->seconds(), 200.0);
    printf("length %.3f s\n", song->seconds());
}

// As a player decodes it: -14 LUFS integrated, true peaks at or below -1 dBTP.
TEST_F(Song, MeetsItsLoudnessWithoutDcAndNeverFallsSilentMidway) {
    ebur128_state* meter = ebur128_init(2, (unsigned long)song->rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ASSERT_NE(meter, nullptr);
    std::vector<float> frames(2 * song->left.size());
    double sumL = 0, sumR = 0;
    for (size_t i = 0; i < song->left.size(); i++) {
        frames[2 * i] = song->left[i];
        frames[2 * i + 1] = song->right[i];
        sumL += song->left[i];
        sumR += song->right[i];
    }
    ebur128_add_frames_float(meter, frames.data(), song->left.size());
    double lufs = 0, peakLeft = 0, peakRight = 0;
    ebur128_loudness_global(meter, &lufs);
    ebur128_true_peak(meter, 0, &peakLeft);
    ebur128_true_peak(meter, 1, &peakRight);
    ebur128_destroy(&meter);
    const double truePeak = dbfs(std::max(peakLeft, peakRight));
    printf("integrated %.2f LUFS, true peak %.2f dBTP, DC %.2e / %.2e\n", lufs, truePeak,
           sumL / song->left.size(), sumR / song->right.size());
    EXPECT_NEAR(lufs, -14.0, 0.5);
    EXPECT_LE(truePeak, -1.0);
    EXPECT_GE(truePeak, -6.0) << "the master should use its headroom";
    EXPECT_LT(fabs(sumL / song->left.size()), 1e-4);
    EXPECT_LT(fabs(sumR / song->right.size()), 1e-4);

    // Every 10 s stretch but the last is audible and centred.
    const size_t stretch = 10 * song->rate;
    for (size_t at = 0; at + stretch <= song->left.size() - 5 * song->rate; at += stretch) {
        double mean = 0, power = 0;
        for (size_t i = at; i < at + stretch; i++) {
            mean += song->left[i] + song->right[i];
            power += song->left[i] * song->left[i] + song->right[i] * song->right[i];
        }
        mean /= 2.0 * stretch;
        double rms = sqrt(power / (2.0 * stretch));
        EXPECT_LT(fabs(mean), 1e-3) << "at " << at / song->rate << " s";
        EXPECT_GT(dbfs(rms), -40.0) << "at " << at / song->rate << " s";
    }
}

TEST_F(Song, StartsFromSilenceAndRingsOutToSilence) {
    // A song that starts or stops mid-waveform clicks when the player opens or closes it.
    EXPECT_LT(fabs(song->left[0]) + fabs(song->right[0]), 1e-3);
    double tail = 0;
    for (size_t i = song->left.size() - song->rate / 2; i < song->left.size(); i++)
        tail = std::max(tail, (double)std::max(fabs(song->left[i]), fabs(song->right[i])));
    EXPECT_LT(dbfs(tail), -60.0) << "the last half second should be silent";
}

TEST(Compose, RendersTheSameFilesAsTheBuildPutInTheRunFolder) {
    // Two whole renders in separate processes, byte for byte: the build's and this test's.
    std::string truthPath = XOON_SONG_TRUTH;
    if (truthPath.empty()) GTEST_SKIP() << "the run folder holds a user's song";
    const std::string dir = makeScratchDir("compose-again");
    ProcessResult r = compose(dir, "song");
    ASSERT_EQ(r.status, 0) << r.err;
    printf("render of the whole song: %.2f s\n", r.seconds);
    EXPECT_TRUE(readFile(std::string(XOON_RUN_DIR) + "/xoon09.ogg") == readFile(dir + "/song.ogg"));
    EXPECT_TRUE(readFile(truthPath) == readFile(dir + "/song.txt"));
    EXPECT_NE(r.out.find("true peak"), std::string::npos) << "it tells its figures: " << r.out;
}

TEST_F(Song, GroundTruthIsSortedAndShapedInPassages) {
    ASSERT_GT(truth->size(), 2000u);
    std::map<std::string, int> perInstrument;
    for (size_t i = 0; i < truth->size(); i++) {
        perInstrument[(*truth)[i].instrument]++;
        if (i > 0) {
            ASSERT_LE((*truth)[i - 1].seconds, (*truth)[i].seconds) << "line " << i;
        }
    }
    for (const char* name : {"kick", "snare", "clap", "hat", "openhat", "bass", "chord", "lead"})
        EXPECT_GT(perInstrument[name], 0) << name;
    EXPECT_GE(truth->front().seconds, 0.0);
    EXPECT_LT(truth->back().seconds, song->seconds() - 2.0) << "the last note needs room to ring";

    std::vector<int> perTen(20, 0);
    for (const Onset& o : *truth) perTen[(int)(o.seconds / 10.0)]++;
    std::string counts;
    for (int c : perTen) counts += std::to_string(c) + " ";
    printf("onsets per 10 s: %s\n", counts.c_str());
    EXPECT_GE(perTen[0], 30);
    EXPECT_LE(perTen[0], 60);
    int densest = *std::max_element(perTen.begin(), perTen.end());
    EXPECT_GE(densest, 6 * perTen[0]) << "the peaks should be far denser than the opening";
    // A breakdown: some stretch after the first peak falls below a third of the densest.
    int firstPeak = (int)(std::find_if(perTen.begin(), perTen.end(),
                                       [&](int c) { return c > densest / 2; }) - perTen.begin());
    bool breakdown = false;
    for (int i = firstPeak + 1; i < 17; i++)
        if (perTen[i] < densest / 3 && perTen[i + 1] > densest / 2) breakdown = true;
    EXPECT_TRUE(breakdown) << "a quiet stretch followed by a return to the peaks";
}

TEST(Compose, SameBytesEveryRunAndTheScoreDoesNotDependOnLength) {
    std::string dir = makeScratchDir("compose-repeat");
    ProcessResult a = compose(dir, "a", {"--seconds", "12"});
    ProcessResult b = compose(dir, "b", {"--seconds", "12"});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    std::string oggA = readFile(dir + "/a.ogg");
    EXPECT_GT(oggA.size(), 10000u);
    EXPECT_TRUE(oggA == readFile(dir + "/b.ogg")) << "two renders differ";
    EXPECT_EQ(readFile(dir + "/a.txt"), readFile(dir + "/b.txt"));

    Decoded d = decodeOgg(dir + "/a.ogg");
    EXPECT_NEAR(d.seconds(), 12.0, 0.001);
    std::vector<Onset> shortTruth = readTruth(dir + "/a.txt");
    ASSERT_FALSE(shortTruth.empty());
    EXPECT_LT(shortTruth.back().seconds, 12.0);
}

TEST(Compose, GroundTruthTimesAreWhereTheAttacksAreHeard) {
    // Each instrument alone: its sound must rise at each listed onset, not before and not
    // after. A truth 10 ms early finds quiet after it; 10 ms late finds the attack before it.
    const double window = 0.010;  // s
    std::string dir = makeScratchDir("compose-attacks");
    for (const char* name : {"kick", "clap", "hat", "bass", "chord", "lead"}) {
        SCOPED_TRACE(name);
        ProcessResult r = compose(dir, name, {"--seconds", "40", "--only", name});
        ASSERT_EQ(r.status, 0) << r.err;
        Decoded d = decodeOgg(dir + "/" + name + ".ogg");
        std::vector<Onset> onsets = readTruth(dir + "/" + name + ".txt");
        ASSERT_GT(onsets.size(), 10u);
        int rising = 0, counted = 0;
        double worst = 1e9;
        for (size_t i = 0; i < onsets.size(); i++) {
            double t = onsets[i].seconds;
            if (i > 0 && t == onsets[i - 1].seconds) continue;  // one chord, one attack
            if (t < 2 * window || t > d.seconds() - 2 * window) continue;
            double before = energy(d, t - window, window), after = energy(d, t, window);
            counted++;
            worst = std::min(worst, after / before);
            if (after > 2.0 * before) rising++;
        }
        printf("%s: %d of %d onsets rise at their listed time (weakest rise x%.1f)\n", name,
               rising, counted, worst);
        EXPECT_GE(rising, counted * 90 / 100);
    }
}

TEST(Compose, TonalVoicesStartAndStopWithoutClicks) {
    // A click is a burst of curvature far beyond what the sound around it has: a voice cut
    // off before its release ends, or a raw waveform switched on. The tonal voices alone,
    // exactly as mastered in the song, must show none.
    std::string dir = makeScratchDir("compose-clicks");
    ProcessResult r =
        compose(dir, "tonal", {"--only", "bass,chord,lead,arp", "--pcm", dir + "/tonal.f32"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string bytes = readFile(dir + "/tonal.f32");
    ASSERT_EQ(bytes.size() % (2 * sizeof(float)), 0u);
    std::vector<float> pcm(bytes.size() / sizeof(float));
    memcpy(pcm.data(), bytes.data(), bytes.size());
    const size_t frames = pcm.size() / 2, block = 441;  // 10 ms
    ASSERT_GT(frames, 190u * 44100u);
    const double floor = 1e-3;  // -60 dBFS: curvature below this is inaudible anyway
    double worst = 0, worstAt = 0;
    for (int c = 0; c < 2; c++) {
        std::vector<double> rms(frames / block, 0.0), peak(frames / block, 0.0);
        for (size_t i = 2; i < rms.size() * block; i++) {
            double d = pcm[2 * i + c] - 2.0 * pcm[2 * (i - 1) + c] + pcm[2 * (i - 2) + c];
            rms[i / block] += d * d;
            peak[i / block] = std::max(peak[i / block], fabs(d));
        }
        for (double& v : rms) v = sqrt(v / block);
        for (size_t b = 1; b + 1 < rms.size(); b++) {
            double ratio = peak[b] / std::max({rms[b - 1], rms[b + 1], floor});
            if (ratio > worst) worst = ratio, worstAt = b * block / 44100.0;
        }
    }
    printf("worst curvature burst x%.1f at %.2f s\n", worst, worstAt);
    EXPECT_LT(worst, 20.0) << "a click near " << worstAt << " s";
}

TEST(Compose, RefusesBadArgumentsAndUnwritableOutputsLeavingNothing) {
    std::string dir = makeScratchDir("compose-args");
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{"--only", "tuba"}, {"--seconds", "0"},
                                               {"--seconds"}, {"--frobnicate", "1"}}) {
        ProcessResult r = compose(dir, "x", options);
        EXPECT_EQ(r.status, 2) << options[0];
        EXPECT_NE(r.err.find("Usage: xoon-compose"), std::string::npos);
    }
    EXPECT_FALSE(std::ifstream(dir + "/x.ogg").good());
    EXPECT_FALSE(std::ifstream(dir + "/x.txt").good());

    // One output it cannot write: it says so and leaves neither file, whole or partial.
    ProcessResult r = runProcess({binPath("xoon-compose"), dir + "/y.ogg", dir + "/no/such/y.txt",
                                  "--seconds", "2"}, dir, {}, 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("y.txt"), std::string::npos) << r.err;
    EXPECT_EQ(runProcess({"/bin/ls", dir}, dir, {}, 10).out, "");
}

}  // namespace
