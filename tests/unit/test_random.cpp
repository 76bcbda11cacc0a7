// The particle generator: known draws, reseeding, range, agreement with the standard MT19937.
#include <gtest/gtest.h>

#include <random>

#include "show/particles.h"
#include "show/random.h"

// Runs first in this program, before anything has drawn from the global.
TEST(Random, GlobalStartsWithSeed5489) {
    EXPECT_EQ(particleRandom().nextInt31(), 1749605806);
    EXPECT_EQ(particleRandom().nextInt31(), 290934651);
}

TEST(Random, KnownDrawsOfBothSeeds) {
    MersenneTwister a(5489u);
    EXPECT_EQ(a.nextInt31(), 1749605806);
    EXPECT_EQ(a.nextInt31(), 290934651);
    EXPECT_EQ(a.nextInt31(), 1945173367);
    for (int i = 4; i < 10000; i++) a.nextInt31();
    EXPECT_EQ(a.nextInt31(), 2061829997);  // output 4123659995 >> 1

    MersenneTwister show(particleSeed);
    EXPECT_EQ(show.nextInt31(), 450072767);
    EXPECT_EQ(show.nextInt31(), 1067886412);
    EXPECT_EQ(show.nextInt31(), 1765191747);
    EXPECT_EQ(show.nextInt31(), 63148104);
}

TEST(Random, SeedRestartsWhereverTheStateStood) {
    // Draw counts either side of a regeneration, so a stale count of draws left would show.
    for (int drawn : {0, 1, 622, 623, 624, 625, 1247, 1248, 5000}) {
        MersenneTwister g(particleSeed);
        for (int i = 0; i < drawn; i++) g.nextInt31();
        g.seed(5489u);
        EXPECT_EQ(g.nextInt31(), 1749605806) << "after " << drawn << " draws";
        EXPECT_EQ(g.nextInt31(), 290934651);
        EXPECT_EQ(g.nextInt31(), 1945173367);
    }
}

TEST(Random, MatchesStandardOutputsShiftedAndStaysInRange) {
    for (uint32_t s : {0u, 1u, 5489u, particleSeed, 0xFFFFFFFFu}) {
        MersenneTwister g(s);
        std::mt19937 reference(s);
        bool sawHighHalf = false;
        for (int i = 0; i < 200000; i++) {
            const int32_t draw = g.nextInt31();
            ASSERT_EQ(draw, (int32_t)(reference() >> 1)) << "seed " << s << " draw " << i;
            ASSERT_GE(draw, 0);
            if (draw > 0x40000000) sawHighHalf = true;
        }
        EXPECT_TRUE(sawHighHalf);  // the top bit of a draw is used, not shifted away
    }
}
