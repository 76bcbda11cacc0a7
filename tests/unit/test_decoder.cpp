// The audio decoder on real files of every format we promise, made by our clip tool and
// converted with the ffmpeg program: timing, length, resampling, chains, refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/decoder.h"
#include "support/support.h"

namespace {

constexpr int outRate = 44100;

struct Decoded {
    std::vector<float> samples;  // mono at outRate
    std::string error;
};

Decoded decodeAll(AudioDecoder* d) {
    Decoded out;
    float buffer[777];  // an odd size: reads must not depend on the decoder's own frames
    int n;
    while ((n = readAudioFrames(d, buffer, 777)) > 0) out.samples.insert(out.samples.end(), buffer, buffer + n);
    closeAudioDecoder(d);
    return out;
}

Decoded decodeFile(const std::string& path) {
    Decoded out;
    AudioDecoder* d = openAudioDecoder(path.c_str(), outRate, 1, &out.error);
    return d ? decodeAll(d) : out;
}

double firstLoudSeconds(const std::vector<float>& s, float threshold) {
    for (size_t i = 0; i < s.size(); i++)
        if (fabsf(s[i]) > threshold) return (double)i / outRate;
    return -1;
}

void convert(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {systemProgram("ffmpeg"), "-nostdin", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = runProcess(argv, "", {}, 120);
    ASSERT_EQ(r.status, 0) << r.err;
}

class Decoder : public ::testing::Test {
protected:
    void SetUp() override { dir = makeScratchDir("decoder"); }
    std::string dir;
};

TEST_F(Decoder, EveryFormatGivesTheSongAtItsTimeAndLength) {
    // A 48 kHz stereo clip: silence, then a tone from 1.0 s.
    const std::string clip = dir + "/clip.ogg";
    ProcessResult r = runProcess({binPath("xoon-clip"), clip, "--seconds", "3", "--rate", "48000",
                                  "--channels", "2", "tone:1.0:440:0.5"},
                                 dir, {}, 60);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> files = {clip};
    for (const char* ext : {"mp3", "flac", "opus", "wav", "m4a"}) {
        files.push_back(dir + "/clip." + ext);
        convert({"-i", clip, files.back()});
    }
    // The audio track of a video.
    files.push_back(dir + "/clip.mp4");
    convert({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-i", clip, "-t", "3", "-c:v",
             "libx264", "-c:a", "aac", files.back()});
    const double tolerance = 0.005;  // s: codecs' priming is taken off, not heard as delay
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        Decoded d = decodeFile(f);
        ASSERT_TRUE(d.error.empty()) << d.error;
        EXPECT_NEAR(firstLoudSeconds(d.samples, 0.05f), 1.0, tolerance);
        EXPECT_NEAR((double)d.samples.size() / outRate, 3.0, 0.05);
    }
}

TEST_F(Decoder, ResamplesWithoutFoldingHighTonesIntoTheBand) {
    // 30 kHz at 96 kHz lies above the output's Nyquist frequency: it must vanish, not
    // come back as a 14 kHz whistle.
    const std::string f = dir + "/high.flac";
    convert({"-f", "lavfi", "-i", "sine=frequency=30000:sample_rate=96000:duration=1", f});
    Decoded d = decodeFile(f);
    ASSERT_TRUE(d.error.empty()) << d.error;
    ASSERT_NEAR((double)d.samples.size(), outRate, 10);
    double power = 0;
    const size_t edge = 2000;  // the tone's abrupt start and end are broadband
    for (size_t i = edge; i + edge < d.samples.size(); i++) power += d.samples[i] * d.samples[i];
    const double rms = sqrt(power / (d.samples.size() - 2 * edge));
    EXPECT_LT(rms, 1e-3) << "the 0.125-amplitude tone was folded back into the band";
}

TEST_F(Decoder, ChainedOggPlaysEveryLinkAtItsOwnRateAndLayout) {
    const std::string first = dir + "/first.ogg", second = dir + "/second.ogg", joined = dir + "/joined.ogg";
    makeTestSong(first, 2.0, 44100, 2);
    makeTestSong(second, 2.0, 22050, 1, 777);
    writeFile(joined, readFile(first) + readFile(second));
    Decoded d = decodeFile(joined);
    ASSERT_TRUE(d.error.empty()) << d.error;
    EXPECT_NEAR((double)d.samples.size() / outRate, 4.0, 0.03);
}

TEST_F(Decoder, RefusesWhatIsNotAudioWithAReason) {
    writeFile(dir + "/text.mp3", "this is not a song\n");
    writeFile(dir + "/empty.ogg", "");
    struct Case {
        std::string path, reason;
    } cases[] = {{dir + "/missing.ogg", "No such file or directory"},
                 {dir, "is a folder"},
                 {dir + "/text.mp3", "not an audio file"},
                 {dir + "/empty.ogg", "is empty"},
                 {std::string(XOON_RUN_DIR) + "/fona.png", "no audio track"}};
    for (const Case& c : cases) {
        Decoded d = decodeFile(c.path);
        EXPECT_EQ(d.error, c.reason) << c.path;
        EXPECT_TRUE(d.samples.empty());
    }
}

TEST_F(Decoder, DamagedFilePlaysAsFarAsItDecodesAndMemoryReadsTheSame) {
    const std::string song = dir + "/song.ogg", mp3 = dir + "/song.mp3";
    makeTestSong(song, 3.0);
    convert({"-i", song, mp3});
    const std::string whole = readFile(mp3);
    const std::string cut = whole.substr(0, whole.size() / 2);
    writeFile(dir + "/cut.mp3", cut);
    Decoded fromFile = decodeFile(dir + "/cut.mp3");
    ASSERT_TRUE(fromFile.error.empty()) << fromFile.error;
    EXPECT_GT(fromFile.samples.size(), (size_t)outRate);
    EXPECT_LT(fromFile.samples.size(), (size_t)(2 * outRate));
    std::string error;
    AudioDecoder* d = openAudioDecoderMemory((const uint8_t*)cut.data(), cut.size(), outRate, 1, &error);
    ASSERT_NE(d, nullptr) << error;
    Decoded fromMemory = decodeAll(d);
    EXPECT_EQ(fromMemory.samples, fromFile.samples);
}

}  // namespace
