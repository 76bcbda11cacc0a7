// Golden frames: the shipped show captured at chosen moments, compared with reference PNGs.
#include <SDL.h>
#include <gtest/gtest.h>
#include <png.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/window.h"
#include "show/wave_line.h"
#include "support/support.h"

// Golden frames are the virtual screen a pixel per unit.
constexpr int goldenWidth = virtualScreenWidth;
constexpr int goldenHeight = virtualScreenHeight;
// Per channel, out of 255: room for rounding differences between software rasterisers,
// far below what a moved particle, a changed bar colour or a wrong glyph gives.
constexpr int channelTolerance = 6;
// A golden frame must show more than the bars: particles or text light this many pixels above.
constexpr int minLitAboveBars = 20;
constexpr int barsTop = (int)barTop;  // picture rows from the top; the bars fill the rest

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

static Image readPng(const std::string& path) {
    Image img;
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return img;
    png.format = PNG_FORMAT_RGB;
    img.rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, img.rgb.data(), 0, nullptr)) {
        img.rgb.clear();
        return img;
    }
    img.width = png.width;
    img.height = png.height;
    return img;
}

struct GoldenFrame {
    std::string name;
    std::vector<std::string> options;
};

static std::vector<GoldenFrame> goldenList() {
    std::ifstream in(std::string(XOON_SOURCE_DIR) + "/tests/golden/frames.txt");
    std::vector<GoldenFrame> list;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        GoldenFrame g;
        if (!(words >> g.name) || g.name[0] == '#') continue;
        for (std::string w; words >> w;) g.options.push_back(w);
        list.push_back(g);
    }
    return list;
}

class Golden : public ::testing::Test {
public:
    // Holding a display connection keeps Xvfb from resetting between the captures.
    static void SetUpTestSuite() { ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError(); }
    static void TearDownTestSuite() { SDL_Quit(); }

    static ProcessResult capture(std::vector<std::string> options) {
        std::vector<std::string> argv = {binPath("xoon-capture"), "--size",
                                         std::to_string(goldenWidth) + "x" + std::to_string(goldenHeight)};
        argv.insert(argv.end(), options.begin(), options.end());
        return runProcess(argv, XOON_RUN_DIR, {"LIBGL_ALWAYS_SOFTWARE=1"}, 600);
    }
};

static int litAboveBars(const Image& img) {
    int lit = 0;
    for (size_t i = 0; i < (size_t)barsTop * img.width * 3; i += 3)
        lit += img.rgb[i] != 0 || img.rgb[i + 1] != 0 || img.rgb[i + 2] != 0;
    return lit;
}

// Captures one golden entry and compares it with its reference, pixel by pixel.
static void checkAgainstReference(const GoldenFrame& g, const Image& want) {
    const std::string dir = makeScratchDir("golden-" + g.name);
    std::vector<std::string> options = g.options;
    options.insert(options.end(), {"--out", dir});
    ProcessResult r = Golden::capture(options);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> files;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d))
        if (std::string(e->d_name).find(".png") != std::string::npos) files.push_back(e->d_name);
    closedir(d);
    ASSERT_EQ(files.size(), 1u) << "each golden entry must capture exactly one frame";
    const Image got = readPng(dir + "/" + files[0]);
    ASSERT_EQ(got.width, goldenWidth);
    ASSERT_EQ(got.height, goldenHeight);

    int bad = 0, firstBad = -1, worst = 0;
    for (size_t p = 0; p < got.rgb.size() / 3; p++) {
        int diff = 0;
        for (int c = 0; c < 3; c++)
            diff = std::max(diff, std::abs(got.rgb[p * 3 + c] - want.rgb[p * 3 + c]));
        if (diff > channelTolerance) {
            if (firstBad < 0) firstBad = (int)p;
            bad++;
        }
        worst = std::max(worst, diff);
    }
    EXPECT_EQ(bad, 0) << bad << " pixels differ by more than " << channelTolerance << " (worst "
                      << worst << "), first at x " << firstBad % goldenWidth << " y "
                      << firstBad / goldenWidth << "; captured frame in " << dir;
}

TEST_F(Golden, FramesMatchTheirReferences) {
    // The references show our song's onsets and our message.
    if (!builtWithOurSong) GTEST_SKIP() << needsOurSong;
    if (!builtWithOurMessage) GTEST_SKIP() << needsOurMessage;
    const std::vector<GoldenFrame> list = goldenList();
    ASSERT_GE(list.size(), 5u) << "tests/golden/frames.txt lists too few frames";
    std::vector<std::vector<uint8_t>> seen;
    for (const GoldenFrame& g : list) {
        SCOPED_TRACE(g.name);
        const Image want = readPng(std::string(XOON_SOURCE_DIR) + "/tests/golden/" + g.name +
                                   ".png");
        if (want.width != goldenWidth || want.height != goldenHeight) {
            ADD_FAILURE() << "missing, unreadable or wrong-sized reference; see "
                             "programs/scripts/regenerate-golden";
            continue;
        }
        EXPECT_GE(litAboveBars(want), minLitAboveBars) << "the reference shows only the bars";
        for (const auto& other : seen) EXPECT_NE(want.rgb, other) << "two references are equal";
        seen.push_back(want.rgb);
        checkAgainstReference(g, want);
    }
}

// The PNG path and the raw path give the same pixels, top row first.
TEST_F(Golden, PngFramesEqualRawFrames) {
    const std::string dir = makeScratchDir("golden-png-raw");
    const std::vector<std::string> stretch = {"--from", "3", "--to", "3.05"};
    std::vector<std::string> png = stretch, raw = stretch;
    png.insert(png.end(), {"--out", dir});
    raw.push_back("--raw");
    ASSERT_EQ(capture(png).status, 0);
    ProcessResult r = capture(raw);
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t frameBytes = (size_t)goldenWidth * goldenHeight * 3;
    ASSERT_EQ(r.out.size(), 3 * frameBytes);
    for (int i = 0; i < 3; i++) {
        char name[32];
        snprintf(name, sizeof name, "/%06d.png", 180 + i);
        const Image img = readPng(dir + name);
        ASSERT_EQ(img.rgb.size(), frameBytes) << "frame " << 180 + i;
        EXPECT_TRUE(std::equal(img.rgb.begin(), img.rgb.end(),
                               (const uint8_t*)r.out.data() + i * frameBytes))
            << "frame " << 180 + i;
    }
    // Top row first: the wave line's bars are at the bottom of the picture.
    const Image first = readPng(dir + "/000180.png");
    ASSERT_FALSE(first.rgb.empty());
    const uint8_t* bottomRow = &first.rgb[(size_t)(goldenHeight - 1) * goldenWidth * 3];
    const uint8_t* topRow = first.rgb.data();
    EXPECT_NE(bottomRow[0] | bottomRow[1] | bottomRow[2], 0);
    EXPECT_EQ(topRow[0] | topRow[1] | topRow[2], 0);
}
