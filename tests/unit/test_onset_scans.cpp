// The fire and look-ahead scans over small tables of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "data/onset_table.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/wave_line.h"
#include "support/launches.h"

namespace {

OnsetFrame frame(int32_t timeMs, std::initializer_list<int> columns) {
    OnsetFrame f{timeMs, {}};
    for (int n : columns) f.mask[n / 32] |= 1u << (n % 32);
    return f;
}

std::vector<int> litColumns() {
    std::vector<int> lit;
    for (int n = 0; n < waveCellCount; n++)
        if (waveCell(n) != 0.0f) lit.push_back(n);
    return lit;
}

class OnsetScans : public ::testing::Test {
protected:
    void SetUp() override {
        clearWaveLine();
        clearParticles();
        particleRandom().seed(particleSeed);
        launches.clear();
        setLaunchObserver(recordLaunch);
    }
    void TearDown() override {
        setLaunchObserver(nullptr);
        useOnsetTable(onsetTable, onsetFrameCount);
    }
    void use(const std::vector<OnsetFrame>& frames) {
        table = frames;
        useOnsetTable(table.data(), (int32_t)table.size());
    }
    std::vector<OnsetFrame> table;
};

}  // namespace

TEST_F(OnsetScans, BoundariesAreStrict) {
    use({frame(100, {5}), frame(2110, {7})});
    fireDueOnsets(100);
    EXPECT_EQ(fireCursorPosition(), 0);
    EXPECT_EQ(waveCell(5), 0.0f);
    fireDueOnsets(110);
    EXPECT_EQ(fireCursorPosition(), 1);
    EXPECT_EQ(litColumns(), std::vector<int>{5});

    // The first record launches at 100 - 2000 < t; the second waits while 2110 == t + 2000.
    launchUpcomingOnsets(110);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].flightMs, 4010);
    EXPECT_EQ(launchCursorPosition(), 1);
    launches.clear();
    launchUpcomingOnsets(120);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].flightMs, 2010);
    EXPECT_EQ(launches[0].targetX, columnX(7));
    EXPECT_EQ(launches[0].targetY, 368.0f);
    EXPECT_EQ(launchCursorPosition(), 2);
}

TEST_F(OnsetScans, EmptyMaskOnlyAdvances) {
    use({frame(50, {}), frame(60, {}), frame(90, {3})});
    const MersenneTwister before = particleRandom();
    fireDueOnsets(70);
    launchUpcomingOnsets(-1930);  // window ends at 70
    EXPECT_EQ(fireCursorPosition(), 2);
    EXPECT_EQ(launchCursorPosition(), 2);
    EXPECT_TRUE(litColumns().empty());
    EXPECT_TRUE(launches.empty());
    EXPECT_EQ(MersenneTwister(particleRandom()).nextInt31(), MersenneTwister(before).nextInt31());
}

TEST_F(OnsetScans, ColumnsAscendWithinARecordAndRecordsKeepTableOrder) {
    const std::vector<int> first = {0, 1, 31, 32, 100, 223, 224, 416, 446, 447};
    use({frame(1000, {447, 0, 32, 31, 1, 446, 100, 224, 223, 416}), frame(1005, {9, 4})});
    launchUpcomingOnsets(-990);  // takes both records, the second lead exactly 1995 ms
    ASSERT_EQ(launches.size(), first.size() + 2);
    for (size_t i = 0; i < first.size(); i++) {
        EXPECT_EQ(launches[i].targetX, columnX(first[i])) << "launch " << i;
        EXPECT_EQ(launches[i].flightMs, 2010);
    }
    EXPECT_EQ(launches[0].targetX, 0.0f);
    EXPECT_NEAR(launches[first.size() - 1].targetX, 798.2143, 1e-4);
    EXPECT_EQ(launches[first.size()].targetX, columnX(4));
    EXPECT_EQ(launches[first.size()].flightMs, 2005);
    EXPECT_EQ(launches[first.size() + 1].targetX, columnX(9));

    fireDueOnsets(1006);
    std::vector<int> all = first;
    all.push_back(4);
    all.push_back(9);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(litColumns(), all);
    EXPECT_EQ(fireCursorPosition(), 2);
}

TEST_F(OnsetScans, FirstTickLaunchesEverythingInsideTheWindow) {
    use({frame(23, {}), frame(69, {12}), frame(500, {1, 2}), frame(1999, {3}), frame(2000, {4}),
         frame(2500, {5})});
    fireDueOnsets(0);
    launchUpcomingOnsets(0);
    EXPECT_EQ(fireCursorPosition(), 0);
    EXPECT_TRUE(litColumns().empty());
    EXPECT_EQ(launchCursorPosition(), 4);
    ASSERT_EQ(launches.size(), 4u);
    const int32_t flights[] = {3931, 3500, 3500, 2001};
    for (int i = 0; i < 4; i++) EXPECT_EQ(launches[i].flightMs, flights[i]) << "launch " << i;
}

// The onsets of a stretch of music: records every 23 ms, a column for every third.
std::vector<OnsetFrame> cadence(int32_t endMs) {
    std::vector<OnsetFrame> frames;
    for (int32_t t = 23, i = 0; t < endMs; t += 23, i++)
        frames.push_back(i % 3 ? frame(t, {}) : frame(t, {(i * 37) % 448}));
    return frames;
}

TEST_F(OnsetScans, ForwardJumpCatchesUpInOneTick) {
    use(cadence(12000));
    for (int32_t t = 0; t <= 1000; t += 10) {
        fireDueOnsets(t);
        launchUpcomingOnsets(t);
    }
    const int32_t fired = fireCursorPosition(), launched = launchCursorPosition();
    clearWaveLine();
    launches.clear();

    const int32_t jump = 6000;
    fireDueOnsets(jump);
    launchUpcomingOnsets(jump);
    std::vector<int> skipped, flights;
    for (int32_t i = fired; i < (int32_t)table.size() && table[i].timeMs < jump; i++)
        for (int n = 0; n < waveCellCount; n++)
            if (table[i].mask[n / 32] >> (n % 32) & 1u) skipped.push_back(n);
    std::sort(skipped.begin(), skipped.end());
    skipped.erase(std::unique(skipped.begin(), skipped.end()), skipped.end());
    EXPECT_EQ(litColumns(), skipped);
    for (int n : skipped) EXPECT_EQ(waveCell(n), 1.0f);

    int32_t expected = 0, aboveBase = 0;
    for (int32_t i = launched; i < (int32_t)table.size() && table[i].timeMs < jump + 2000; i++)
        for (int n = 0; n < waveCellCount; n++)
            if (table[i].mask[n / 32] >> (n % 32) & 1u) {
                ASSERT_LT((size_t)expected, launches.size());
                EXPECT_EQ(launches[expected].flightMs, jump - table[i].timeMs + 4000);
                EXPECT_EQ(launches[expected].targetX, columnX(n));
                aboveBase += launches[expected].flightMs > 4000;
                expected++;
            }
    EXPECT_EQ((size_t)expected, launches.size());
    EXPECT_GT(aboveBase, 40);  // the onsets of the three seconds already past
    EXPECT_LE(fireCursorPosition(), launchCursorPosition());
}

TEST_F(OnsetScans, NothingMoreOnceBothCursorsReachTheEnd) {
    use(cadence(3000));
    for (int32_t t = 0; t <= 3100; t += 10) {
        fireDueOnsets(t);
        launchUpcomingOnsets(t);
    }
    const int32_t n = (int32_t)table.size();
    EXPECT_EQ(fireCursorPosition(), n);
    EXPECT_EQ(launchCursorPosition(), n);
    clearWaveLine();
    launches.clear();
    const MersenneTwister before = particleRandom();
    for (int32_t t = 3110; t <= 60000; t += 10) {
        fireDueOnsets(t);
        launchUpcomingOnsets(t);
    }
    EXPECT_EQ(fireCursorPosition(), n);
    EXPECT_EQ(launchCursorPosition(), n);
    EXPECT_TRUE(litColumns().empty());
    EXPECT_TRUE(launches.empty());
    EXPECT_EQ(MersenneTwister(particleRandom()).nextInt31(), MersenneTwister(before).nextInt31());
}

TEST_F(OnsetScans, FiredCellIsExactlyOne) {
    use({frame(10, {200, 201, 202})});
    setWaveCell(200, 7.5f);
    setWaveCell(201, 0.25f);
    setWaveCell(199, 1.0f);
    diffuseWaveLine();  // raises 200 from its left neighbour, as in a tick before the fire
    fireDueOnsets(20);
    EXPECT_EQ(waveCell(200), 1.0f);
    EXPECT_EQ(waveCell(201), 1.0f);
    EXPECT_EQ(waveCell(202), 1.0f);
}
