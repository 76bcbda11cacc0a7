// The running show's window on the test's X server: the bottom 32 rows carry the bars'
// resting colour wherever the show cannot yet have lit a bar or passed a particle, and in a
// busy stretch of the song bars flash and particles fly.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "data/onset_table.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/show.h"
#include "show/wave_line.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

const char* const caption = "xOOn 2009";
constexpr int windowWidth = 800, windowHeight = 400;
constexpr int barRows = 32;                       // y 368..399
constexpr uint8_t resting[3] = {63, 31, 31};      // 0xFF3F1F1F as the 8-bit screen shows it
constexpr float barSpacing = 800.0f / 448.0f;
constexpr float barWidth = 2.0f;
constexpr int32_t tickMs = 10;
// A cell below this cannot move an 8-bit colour channel by a step, whatever its gain.
constexpr float invisibleCell = 1.0f / 256;
// The song's clock against the process's age: the dummy device may run a little fast and
// starts with two buffers handed over at once.
constexpr double clockRunsFast = 1.02;
constexpr int32_t clockLeadMs = 100;

// Pixel columns whose bar rows the show may have drawn in another colour than the resting
// one by music time musicMs: under a bar bright enough to show or a particle reaching into
// the bars' rows, at any tick up to then. Found by running the show's own ticks here.
std::vector<bool> columnsTouchedBy(int32_t musicMs) {
    particleRandom().seed(particleSeed);
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    useOnsetTable(onsetTable, onsetFrameCount);
    std::vector<bool> touched(windowWidth, false);
    auto touch = [&](float left, float right) {  // the pixels a span of units reaches
        const int from = std::max(0, (int)std::floor(left) - 1);
        const int to = std::min(windowWidth - 1, (int)std::ceil(right) + 1);
        for (int x = from; x <= to; x++) touched[x] = true;
    };
    for (int32_t t = 0; t <= musicMs; t += tickMs) {
        simulateTick(t);
        for (int n = 0; n < waveCellCount; n++)
            if (waveCell(n) >= invisibleCell) touch(n * barSpacing, n * barSpacing + barWidth);
        for (int i = 0; i < particleSlotCount; i++) {
            const Particle& p = particleSlot(i);
            if (p.life != 0 && p.y + 2 >= windowHeight - barRows) touch(p.x - 1, p.x + 2);
        }
    }
    return touched;
}

bool bottomDrawn(const RgbImage& image) {
    for (int x = 0; x < image.width; x++)
        if (image.at(x, windowHeight - 1)[0] != 0) return true;
    return false;
}

// Stops the show and grabs its window until a grab shows a drawn frame; gives the bound on
// the music time of that frame, or -1 if the show ended or never drew within the guard.
// The show stands while it is grabbed, so a slow grab does not loosen the bound.
int32_t grabFirstDrawnFrame(pid_t pid, const std::string& shot) {
    std::string window;
    if (!waitForShowWindow(pid, &window)) return -1;
    const std::string self = std::to_string(pid);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < hangSeconds) {
        if (!stopProcess(pid)) return -1;
        const double age = processAgeSeconds(pid);
        const bool drawn = runCommand({binPath("xoon-xwin"), "grab", caption, shot, "--pid", self}).status == 0 &&
                           bottomDrawn(readPpm(shot));
        kill(pid, SIGCONT);
        if (drawn) return (int32_t)(age * clockRunsFast * 1000) + clockLeadMs;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

}  // namespace

TEST(EndToEndBars, RestingBarsShowTheFloorColour) {
    if (!builtWithOurSong) GTEST_SKIP() << needsOurSong << ": its opening may light every bar";
    const std::string shot = makeScratchDir("bars") + "/window.ppm";
    int32_t musicBoundMs = -1;
    ProcessResult show = runShowWindow([&](pid_t pid) {
        musicBoundMs = grabFirstDrawnFrame(pid, shot);
        runCommand({binPath("xoon-xwin"), "close", caption, "--pid", std::to_string(pid)});
    }, 3 * hangSeconds);
    ASSERT_GE(musicBoundMs, 0) << "no drawn frame within " << hangSeconds << " s\n" << show.err;
    EXPECT_EQ(show.status, 0) << show.err;

    const RgbImage image = readPpm(shot);
    ASSERT_EQ(image.width, windowWidth);
    ASSERT_EQ(image.height, windowHeight);
    const std::vector<bool> touched = columnsTouchedBy(musicBoundMs);
    int checked = 0, wrong = 0;
    for (int x = 0; x < windowWidth; x++) {
        if (touched[x]) continue;
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
    EXPECT_GT(checked, 0) << "every column may have been lit by " << musicBoundMs << " ms";
    printf("frame grabbed by %d ms of music: %d pixel columns checked\n", musicBoundMs, checked);
}

// From ten seconds in, our song has several onset records a second.
constexpr double busyFromSeconds = 10;

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
    if (!builtWithOurSong) GTEST_SKIP() << needsOurSong;
    const std::string shot = makeScratchDir("busy") + "/window.ppm";
    int particles = 0, flashed = 0, grabs = 0;
    ProcessResult show = runShowWindow([&](pid_t pid) {
        particles = flashed = grabs = 0;
        std::string window;
        if (!waitForShowWindow(pid, &window)) return;
        // The music is no further on than the process is old; grabs go on until one shows
        // both, or the guard.
        while (!processEnded(pid) && processAgeSeconds(pid) < busyFromSeconds)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string self = std::to_string(pid);
        while (!processEnded(pid) && processAgeSeconds(pid) < busyFromSeconds + hangSeconds &&
               (particles < 9 || flashed == 0)) {
            if (runCommand({binPath("xoon-xwin"), "grab", caption, shot, "--pid", self}).status != 0) continue;
            grabs++;
            const RgbImage image = readPpm(shot);
            particles = particlePixels(image);
            flashed = flashedBarColumns(image);
        }
        runCommand({binPath("xoon-xwin"), "close", caption, "--pid", self});
    }, busyFromSeconds + 2 * hangSeconds);
    EXPECT_EQ(show.status, 0) << show.err;
    ASSERT_GT(grabs, 0) << "no grab of the window in the busy stretch\n" << show.err;
    EXPECT_GE(particles, 9) << "no particle in view in " << grabs << " grabs";  // one 3 x 3 square
    EXPECT_GT(flashed, 0) << "no bar above its resting colour in " << grabs << " grabs";
    printf("%d grabs: %d particle pixels, %d flashed bar pixel columns\n", grabs, particles, flashed);
}
