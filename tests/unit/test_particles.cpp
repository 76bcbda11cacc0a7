// The particle pool: launch aiming, motion, the single bounce, drops, fading colours.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "data/onset_table.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "support/launches.h"
#include "support/support.h"

namespace {

class Particles : public ::testing::Test {
protected:
    void SetUp() override {
        clearParticles();
        launches.clear();
        setLaunchObserver(recordLaunch);
        particleRandom().seed(particleSeed);
    }
    void TearDown() override { setLaunchObserver(nullptr); }
};

// Skips generator draws until the next launch lands in a free slot with speed draw r,
// then launches. Returns the slot filled.
int32_t launchWithSpeed(int32_t r, float targetX, int32_t flightMs, float targetY = 368.0f) {
    for (;;) {
        MersenneTwister probe = particleRandom();
        const int32_t slot = probe.nextInt31() % particleSlotCount;
        if (particleSlot(slot).life == 0 && probe.nextInt31() % 200 == r) break;
        particleRandom().nextInt31();
    }
    launches.clear();
    launchParticle(targetX, targetY, flightMs);
    EXPECT_EQ(launches.size(), 1u);
    EXPECT_GE(launches[0].slot, 0);
    return launches[0].slot;
}

bool bouncedLastUpdate(float vyBefore, const Particle& p) {
    return std::fabs((double)p.vy - ((double)vyBefore + 0.01)) > 1e-4;
}

}  // namespace

TEST_F(Particles, ColumnHundredArrivesBouncesOnceAndFrees) {
    EXPECT_NEAR(columnX(100), 178.571442f, 1e-5);
    const int32_t slot = launchWithSpeed(0, columnX(100), 2005);
    const Particle& p = particleSlot(slot);
    EXPECT_EQ(p.x, 800.0f);
    EXPECT_NEAR(p.y, -32.0, 1e-3);
    EXPECT_NEAR(p.vx, -3.107143, 1e-6);
    EXPECT_EQ(p.vy, 1.0f);
    EXPECT_EQ(p.life, 300);

    for (int n = 1; n <= 200; n++) {
        const float vyBefore = p.vy;
        updateParticles();
        ASSERT_FALSE(bouncedLastUpdate(vyBefore, p)) << "update " << n;
    }
    // Single-precision stores over 200 updates leave x 0.002 past the exact target.
    EXPECT_NEAR(p.x, 178.5734, 1e-4);
    EXPECT_NEAR(p.y, 366.9999, 1e-4);
    EXPECT_EQ(p.life, 100);

    updateParticles();
    EXPECT_NEAR(p.y, 366.9898, 1e-4);
    EXPECT_NEAR(p.vx, -2.175, 1e-4);
    EXPECT_NEAR(p.vy, -1.505, 1e-3);
    EXPECT_EQ(p.life, 99);

    for (int n = 202; n <= 299; n++) {
        const float vyBefore = p.vy;
        updateParticles();
        ASSERT_FALSE(bouncedLastUpdate(vyBefore, p)) << "second bounce at update " << n;
    }
    EXPECT_EQ(p.life, 1);
    const Particle lastLive = p;
    updateParticles();  // the last update still moves it
    EXPECT_EQ(p.life, 0);
    EXPECT_NE(p.x, lastLive.x);
    EXPECT_NEAR(p.x, -39.9, 0.05);
    EXPECT_NEAR(p.y, 266.5, 0.05);

    const Particle freed = p;
    updateParticles();
    EXPECT_EQ(std::memcmp(&freed, &p, sizeof p), 0);  // free slots are skipped
}

TEST_F(Particles, FastestSpeedAtRightmostColumn) {
    const int32_t slot = launchWithSpeed(199, columnX(447), 2005);
    const Particle& p = particleSlot(slot);
    // Aimed from the speed before its rounding to single precision (that would give -297.33331).
    EXPECT_EQ(p.y, -297.333344f);
    EXPECT_NEAR(p.vy, 2.3266666, 1e-6);
    EXPECT_NEAR(p.vx, -0.008929, 1e-6);
    for (int n = 0; n < 200; n++) updateParticles();
    EXPECT_NEAR(p.x, 798.2178, 1e-4);
    EXPECT_NEAR(p.y, 366.9999, 1e-4);
}

TEST_F(Particles, FlightTicksAndLife) {
    struct Case {
        int32_t flightMs, ticks, life;
    };
    for (const Case c : {Case{2001, 200, 300}, Case{2009, 200, 300}, Case{2010, 201, 301},
                         Case{3931, 393, 589}}) {
        clearParticles();
        const int32_t slot = launchWithSpeed(7, columnX(300), c.flightMs);
        const Particle& p = particleSlot(slot);
        EXPECT_EQ(p.life, c.life) << c.flightMs;
        for (int n = 1; n <= c.ticks + 1; n++) {
            const float vyBefore = p.vy;
            updateParticles();
            EXPECT_EQ(bouncedLastUpdate(vyBefore, p), n == c.ticks + 1)
                << "flight " << c.flightMs << " update " << n;
            if (n == c.ticks) {
                EXPECT_NEAR(p.x, columnX(300), 0.05);
                EXPECT_NEAR(p.y, 368.0 - 0.005 * c.ticks, 0.05);
            }
        }
    }
}

TEST_F(Particles, LaunchIntoBusySlotChangesNothingAndDrawsOnce) {
    const int32_t busy = launchWithSpeed(50, columnX(10), 2005);
    while (MersenneTwister(particleRandom()).nextInt31() % particleSlotCount != busy)
        particleRandom().nextInt31();
    std::vector<Particle> before(particleSlotCount);
    for (int i = 0; i < particleSlotCount; i++) before[i] = particleSlot(i);
    MersenneTwister expected = particleRandom();
    expected.nextInt31();

    launches.clear();
    launchParticle(columnX(200), 368.0f, 3000);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].slot, -1);
    for (int i = 0; i < particleSlotCount; i++)
        ASSERT_EQ(std::memcmp(&before[i], &particleSlot(i), sizeof(Particle)), 0) << "slot " << i;
    EXPECT_EQ(particleRandom().nextInt31(), expected.nextInt31());
}

TEST_F(Particles, MovingOntoTheFloorExactlyDoesNotBounce) {
    // Targets a few single-precision steps either side of 369 bring some particles,
    // after their move, onto 368.0 itself.
    float targetY = 368.99f;
    std::vector<int32_t> slots;
    while (targetY < 369.01f) {
        launches.clear();
        launchParticle(columnX(224), targetY, 2005);
        if (launches[0].slot >= 0) slots.push_back(launches[0].slot);
        targetY = std::nextafter(targetY, 400.0f);
    }
    int exactHits = 0, bounces = 0;
    for (int n = 1; n <= 205; n++) {
        std::vector<Particle> before(slots.size());
        for (size_t i = 0; i < slots.size(); i++) before[i] = particleSlot(slots[i]);
        updateParticles();
        for (size_t i = 0; i < slots.size(); i++) {
            const Particle& p = particleSlot(slots[i]);
            const float moved = (float)((double)before[i].y + before[i].vy);
            const bool bounced = bouncedLastUpdate(before[i].vy, p);
            bounces += bounced;
            if (moved == 368.0f) {
                exactHits++;
                EXPECT_FALSE(bounced) << "slot " << slots[i] << " update " << n;
                EXPECT_EQ(p.y, 368.0f);
            } else {
                EXPECT_EQ(bounced, moved > 368.0f) << "slot " << slots[i] << " update " << n;
            }
        }
    }
    EXPECT_GT(exactHits, 0);  // else the targets above no longer exercise the case
    EXPECT_GT(bounces, 0);
}

TEST_F(Particles, FirstLaunchOfTheShow) {
    const OnsetFrame first[] = {{69, {0x00001000u}}};  // column 12
    useOnsetTable(first, 1);
    launchUpcomingOnsets(0);
    useOnsetTable(onsetTable, onsetFrameCount);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].slot, 191);
    EXPECT_NEAR(launches[0].targetX, 21.428572, 1e-6);
    EXPECT_EQ(launches[0].flightMs, 3931);
    const Particle& p = particleSlot(191);
    EXPECT_NEAR(p.vy, 1.08, 1e-6);  // speed draw 12
    EXPECT_EQ(p.life, 589);
    EXPECT_EQ(p.x, 800.0f);
    EXPECT_NEAR(p.y, -828.685, 1e-3);
    EXPECT_NEAR(p.vx, -1.981098, 1e-6);
}

// Many launches of every flight the scans can ask for: each lands on its target after
// exactly its flight's ticks, bounces once on the next update and frees on time.
TEST_F(Particles, RandomFlightsLandBounceOnceAndFree) {
    std::mt19937 rng(20091);
    std::uniform_int_distribution<int> columnDist(0, 447), flightDist(2001, 7000);
    constexpr int batches = 8, launchesPerBatch = 500;
    int checked = 0, failures = 0;
    auto fail = [&](const char* what, const Launch& l, int n) {
        if (++failures <= 10)
            ADD_FAILURE() << what << ": slot " << l.slot << " target " << l.targetX << " flight "
                          << l.flightMs << " update " << n;
    };
    for (int b = 0; b < batches; b++) {
        clearParticles();
        std::vector<Launch> batch;
        for (int i = 0; i < launchesPerBatch; i++) {
            launches.clear();
            launchParticle(columnX(columnDist(rng)), 368.0f, flightDist(rng));
            if (launches[0].slot >= 0) batch.push_back(launches[0]);
        }
        std::vector<int> bounceCount(batch.size(), 0);
        for (int n = 1; n <= 1050; n++) {
            std::vector<float> vyBefore(batch.size());
            for (size_t i = 0; i < batch.size(); i++) vyBefore[i] = particleSlot(batch[i].slot).vy;
            updateParticles();
            for (size_t i = 0; i < batch.size(); i++) {
                const Launch& l = batch[i];
                const int ticks = l.flightMs / 10, life = ticks * 3 / 2;
                if (n > life) continue;
                const Particle& p = particleSlot(l.slot);
                if (bouncedLastUpdate(vyBefore[i], p)) {
                    bounceCount[i]++;
                    if (n != ticks + 1) fail("bounce off its update", l, n);
                }
                if (n == ticks && (std::fabs(p.x - l.targetX) > 0.05 ||
                                   std::fabs(p.y - (368.0 - 0.005 * ticks)) > 0.05))
                    fail("not at its target", l, n);
                if (p.life != life - n) fail("life", l, n);
            }
        }
        for (size_t i = 0; i < batch.size(); i++)
            if (bounceCount[i] != 1) fail("bounce count", batch[i], bounceCount[i]);
        checked += (int)batch.size();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(checked, batches * launchesPerBatch * 9 / 10);
}

// Reads the pixel under virtual-screen point (x, y) of the 800 x 400 window.
static void readPixel(double x, double y, unsigned char rgba[4]) {
    glReadPixels((int)std::floor(x), 399 - (int)std::floor(y), 1, 1, GL_RGBA, GL_UNSIGNED_BYTE,
                 rgba);
}

TEST_F(Particles, DrawnAsFadingSquares) {
    openGlWindow();
    const int32_t slot = launchWithSpeed(30, columnX(400), 2005);
    const Particle& p = particleSlot(slot);
    struct Shade {
        int life, red, green, blue;
    };
    int updates = 0;
    for (const Shade s : {Shade{121, 127, 127, 255}, Shade{120, 120, 120, 240},
                          Shade{100, 100, 100, 200}, Shade{60, 60, 60, 120}, Shade{1, 1, 1, 2}}) {
        while (updates < 300 - s.life) {
            updateParticles();
            updates++;
        }
        ASSERT_EQ(p.life, s.life);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        drawParticles();
        unsigned char inside[4], outside[4];
        // The square runs from (x - 1, y - 1) to (x + 2, y + 2).
        readPixel(p.x + 0.5, p.y + 0.5, inside);
        EXPECT_NEAR(inside[0], s.red, 1) << "life " << s.life;
        EXPECT_NEAR(inside[1], s.green, 1) << "life " << s.life;
        EXPECT_NEAR(inside[2], s.blue, 1) << "life " << s.life;
        readPixel(p.x + 3.0, p.y + 0.5, outside);
        EXPECT_EQ(outside[0] + outside[1] + outside[2], 0) << "life " << s.life;
        readPixel(p.x + 0.5, p.y - 2.0, outside);
        EXPECT_EQ(outside[0] + outside[1] + outside[2], 0) << "life " << s.life;
    }
    const float x = p.x, y = p.y;
    updateParticles();
    ASSERT_EQ(p.life, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    drawParticles();
    unsigned char gone[4];
    readPixel(x + 0.5, y + 0.5, gone);
    EXPECT_EQ(gone[0] + gone[1] + gone[2], 0);
}
