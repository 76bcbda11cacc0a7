// The running show's window on the test's X server: the bottom 32 rows carry the bars'
// resting colour wherever no onset can have flashed by the time of the grab, and in a busy
// stretch of the song bars flash and particles fly.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "onset_table.h"
#include "show/wave_line.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

const char* const caption = "xOOn 2009";
constexpr int windowWidth = 800, windowHeight = 400;
constexpr int barRows = 32;                       // y 368..399
constexpr uint8_t resting[3] = {63, 31, 31};      // 0xFF3F1F1F as the 8-bit screen shows it
constexpr float barSpacing = 800.0f / 448.0f;
constexpr double grabLimitSeconds = 8;
constexpr int32_t clockMarginMs = 100;            // music time never runs ahead of wall time by more

// Bars that an onset due by musicMs may have lit, or that its particle may cover. Left of
// the column: one cell of spread per tick plus the particle's drift after its bounce (about
// 1.2 columns per tick); right: the diffusion's cascade, well inside one column per tick.
std::vector<bool> barsTouchedBy(int32_t musicMs) {
    std::vector<bool> touched(waveCellCount, false);
    for (int32_t f = 0; f < onsetFrameCount; f++) {
        const OnsetFrame& frame = onsetTable[f];
        if (frame.timeMs > musicMs) break;
        const int ticks = (musicMs - frame.timeMs) / 10 + 2;
        for (int column = 0; column < waveCellCount; column++) {
            if (!(frame.mask[column / 32] >> (column % 32) & 1)) continue;
            for (int b = column - 3 * ticks - 4; b <= column + ticks + 4; b++)
                if (b >= 0 && b < waveCellCount) touched[b] = true;
        }
    }
    return touched;
}

bool bottomDrawn(const RgbImage& image) {
    for (int x = 0; x < image.width; x++)
        if (image.at(x, windowHeight - 1)[0] != 0) return true;
    return false;
}

TEST(EndToEndBars, RestingBarsShowTheFloorColour) {
    const std::string shot = makeScratchDir("bars") + "/window.ppm";
    bool grabbed = false;
    int32_t musicBoundMs = 0;
    ProcessResult show = runShowWindow([&](pid_t pid) {
        grabbed = false;
        const auto start = std::chrono::steady_clock::now();
        std::string window;
        if (!waitForShowWindow(pid, &window)) return;
        const std::string self = std::to_string(pid);
        // The first grab that shows a drawn frame: early, so few onsets can have fired.
        while (!grabbed && !processEnded(pid) &&
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < grabLimitSeconds) {
            if (runCommand({binPath("xoon-xwin"), "grab", caption, shot, "--pid", self}).status == 0 &&
                bottomDrawn(readPpm(shot))) {
                grabbed = true;
                musicBoundMs =
                    (int32_t)(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 1000) +
                    clockMarginMs;
            }
        }
        runCommand({binPath("xoon-xwin"), "close", caption, "--pid", self});
    }, 20);
    ASSERT_TRUE(grabbed) << "no drawn frame within " << grabLimitSeconds << " s\n" << show.err;
    EXPECT_EQ(show.status, 0) << show.err;

    const RgbImage image = readPpm(shot);
    ASSERT_EQ(image.width, windowWidth);
    ASSERT_EQ(image.height, windowHeight);
    const std::vector<bool> touched = barsTouchedBy(musicBoundMs);
    int checked = 0, wrong = 0;
    for (int x = 0; x < windowWidth; x++) {
        bool anyTouched = false;  // any bar that overlaps this pixel column
        for (int b = 0; b < waveCellCount; b++) {
            const float left = (float)b * barSpacing;
            if (left < x + 1 && left + 2.0f > x) anyTouched |= touched[b];
        }
        if (anyTouched) continue;
        checked++;
        for (int y = windowHeight - barRows; y < windowHeight; y++) {
            const uint8_t* p = image.at(x, y);
            if (p[0] != resting[0] || p[1] != resting[1] || p[2] != resting[2]) {
                if (wrong++ < 10)
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << (int)p[0] << "," << (int)p[1] << ","
                                  << (int)p[2];
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(checked, 0) << "every column may have flashed by " << musicBoundMs << " ms";
    RecordProperty("pixelColumnsChecked", checked);
    RecordProperty("musicTimeBoundMs", musicBoundMs);
}

// Half a minute in, our song has 7 to 9 onset records a second.
constexpr double busyFromSeconds = 30;
constexpr double busyUntilSeconds = 40;

// Particles are bluish (blue twice red and green, fading or not); the text is white and
// grey and the bars are red-brown, so only a particle, alone or under text, makes blue lead.
int particlePixels(const RgbImage& image) {
    int count = 0;
    for (int y = 0; y < windowHeight - barRows; y++)
        for (int x = 0; x < image.width; x++) {
            const uint8_t* p = image.at(x, y);
            if (p[2] > p[0] + 16 && p[2] > p[1] + 16) count++;
        }
    return count;
}

int flashedBarColumns(const RgbImage& image) {
    int count = 0;
    for (int x = 0; x < image.width; x++) {
        const uint8_t* p = image.at(x, windowHeight - 1);
        if (p[0] > resting[0] + 16) count++;
    }
    return count;
}

TEST(EndToEndBars, BusyStretchFlashesBarsAndShowsParticles) {
    const std::string shot = makeScratchDir("busy") + "/window.ppm";
    int particles = 0, flashed = 0, grabs = 0;
    ProcessResult show = runShowWindow([&](pid_t pid) {
        particles = flashed = grabs = 0;
        std::string window;
        if (!waitForShowWindow(pid, &window)) return;
        const auto shown = std::chrono::steady_clock::now();
        auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - shown).count(); };
        while (!processEnded(pid) && seconds() < busyFromSeconds)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string self = std::to_string(pid);
        while (!processEnded(pid) && seconds() < busyUntilSeconds && (particles == 0 || flashed == 0)) {
            if (runCommand({binPath("xoon-xwin"), "grab", caption, shot, "--pid", self}).status != 0) continue;
            grabs++;
            const RgbImage image = readPpm(shot);
            particles = particlePixels(image);
            flashed = flashedBarColumns(image);
        }
        runCommand({binPath("xoon-xwin"), "close", caption, "--pid", self});
    }, busyUntilSeconds + 20);
    EXPECT_EQ(show.status, 0) << show.err;
    ASSERT_GT(grabs, 0) << "no grab of the window in the busy stretch\n" << show.err;
    EXPECT_GE(particles, 9) << "no particle in view in " << grabs << " grabs";  // one 3 x 3 square
    EXPECT_GT(flashed, 0) << "no bar above its resting colour in " << grabs << " grabs";
    RecordProperty("grabs", grabs);
    RecordProperty("particlePixels", particles);
    RecordProperty("flashedBarPixelColumns", flashed);
}

}  // namespace
