// The whole show without window or sound: scripted ticks over an onset table from the first
// tick to past its last record, checking every particle against the onset it was aimed at.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "data/onset_table.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/show.h"
#include "show/tick.h"
#include "show/wave_line.h"
#include "support/launches.h"
#include "support/support.h"

namespace {

bool columnSet(const OnsetFrame& f, int n) { return (f.mask[n / 32] >> (n % 32)) & 1u; }

// One launched particle that got a slot, followed until its slot frees.
struct Flight {
    int32_t slot;
    int32_t record;      // table index of its onset
    float targetX;
    int32_t ticks;       // flight in ticks
    int32_t life;        // at launch
    int32_t launchTick;  // ms
    int32_t updates = 0;
    int32_t bounces = 0;
    int32_t bounceUpdate = -1;
    bool steady;  // taken with a lead of 1990..1999 ms
    bool checkedAtFire = false;
};

struct ShowFigures {
    int64_t launches = 0, drops = 0, ticks = 0, steadyChecked = 0;
    int mostLive = 0;
};

constexpr int32_t lookAheadMs = 2000;

int failures = 0;
#define SHOW_CHECK(cond, ...)                                       \
    do {                                                            \
        if (!(cond) && ++failures <= 20) ADD_FAILURE() << __VA_ARGS__; \
    } while (0)

// Runs every tick from 0 until past the table's last onset and every particle's life.
ShowFigures runWholeShow(const OnsetFrame* table, int32_t count) {
    failures = 0;
    particleRandom().seed(particleSeed);
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    useOnsetTable(table, count);
    setLaunchObserver(recordLaunch);

    // Past the last record: its fire, then the longest life a late launch can have.
    const int32_t endMs = table[count - 1].timeMs + lookAheadMs + 3 * lookAheadMs;
    std::vector<Flight> flying;
    std::vector<int32_t> slotOwner(particleSlotCount, -1);  // index into flying
    std::vector<float> vyBefore(particleSlotCount);
    std::vector<int32_t> fireTickOf(count, -1);
    ShowFigures fig;

    for (int32_t t = 0; t <= endMs; t += tickMs) {
        const int32_t fireFrom = fireCursorPosition(), launchFrom = launchCursorPosition();
        for (int i = 0; i < particleSlotCount; i++) vyBefore[i] = particleSlot(i).vy;
        launches.clear();
        simulateTick(t);
        fig.ticks++;
        const int32_t fireTo = fireCursorPosition(), launchTo = launchCursorPosition();
        SHOW_CHECK(fireTo <= launchTo, "tick " << t << ": fire cursor " << fireTo
                                               << " past launch cursor " << launchTo);

        // The fire scan took records fireFrom..fireTo-1: all their columns now read 1.0.
        for (int32_t r = fireFrom; r < fireTo; r++) {
            SHOW_CHECK(table[r].timeMs < t, "record " << r << " fired early at " << t);
            SHOW_CHECK(table[r].timeMs >= t - tickMs, "record " << r << " fired late at " << t);
            fireTickOf[r] = t;
            for (int n = 0; n < waveCellCount; n++)
                if (columnSet(table[r], n))
                    SHOW_CHECK(waveCell(n) == 1.0f, "record " << r << " column " << n);
        }

        // Particles launched before this tick: one update each, here.
        for (int i = 0; i < particleSlotCount; i++) {
            const int32_t owner = slotOwner[i];
            if (owner < 0) continue;
            Flight& f = flying[owner];
            f.updates++;
            const bool relaunched = std::any_of(launches.begin(), launches.end(),
                                                [&](const Launch& l) { return l.slot == i; });
            if (f.updates == f.life) {
                slotOwner[i] = -1;
                SHOW_CHECK(relaunched || particleSlot(i).life == 0,
                           "slot " << i << " still live after its life, tick " << t);
                SHOW_CHECK(f.bounces == 1 && f.bounceUpdate == f.ticks + 1,
                           "record " << f.record << " bounced " << f.bounces << " times, at update "
                                     << f.bounceUpdate << " of a " << f.ticks << "-tick flight");
                continue;
            }
            const Particle& p = particleSlot(i);
            SHOW_CHECK(p.life == f.life - f.updates, "slot " << i << " life " << p.life);
            if (std::fabs((double)p.vy - ((double)vyBefore[i] + 0.01)) > 1e-4) {
                f.bounces++;
                f.bounceUpdate = f.updates;
            }
            if (f.updates == f.ticks) {
                SHOW_CHECK(std::fabs(p.x - f.targetX) < 0.05 &&
                               std::fabs(p.y - (barTop - 0.005 * f.ticks)) < 0.05,
                           "record " << f.record << " at (" << p.x << ", " << p.y
                                     << ") after its flight, target x " << f.targetX);
                // In steady running it arrives on the tick that fires its onset, or the
                // next one for a lead of exactly 1990 ms.
                if (f.steady) {
                    const int32_t lag = f.ticks == 201 ? tickMs : 0;
                    SHOW_CHECK(fireTickOf[f.record] >= 0 && t == fireTickOf[f.record] + lag,
                               "record " << f.record << " arrived at " << t << ", fired at "
                                         << fireTickOf[f.record]);
                    f.checkedAtFire = true;
                    fig.steadyChecked++;
                }
            }
        }

        // The look-ahead scan took records launchFrom..launchTo-1, one launch per set bit.
        size_t next = 0;
        for (int32_t r = launchFrom; r < launchTo; r++) {
            const int32_t s = table[r].timeMs;
            for (int n = 0; n < waveCellCount; n++) {
                if (!columnSet(table[r], n)) continue;
                if (next >= launches.size()) {
                    SHOW_CHECK(false, "tick " << t << ": missing launch for record " << r);
                    continue;
                }
                const Launch& l = launches[next++];
                fig.launches++;
                SHOW_CHECK(l.targetX == columnX(n) && l.targetY == barTop &&
                               l.flightMs == t - s + 2 * lookAheadMs,
                           "tick " << t << ": launch for record " << r << " column " << n);
                if (l.slot < 0) {
                    fig.drops++;
                    continue;
                }
                Flight f;
                f.slot = l.slot;
                f.record = r;
                f.targetX = l.targetX;
                f.ticks = l.flightMs / tickMs;
                f.life = particleSlot(l.slot).life;
                SHOW_CHECK(f.life == f.ticks * 3 / 2, "record " << r << " life " << f.life);
                f.launchTick = t;
                f.steady = s - t >= 1990 && s - t < lookAheadMs;
                SHOW_CHECK(slotOwner[l.slot] < 0, "slot " << l.slot << " taken while live");
                slotOwner[l.slot] = (int32_t)flying.size();
                flying.push_back(f);
            }
        }
        SHOW_CHECK(next == launches.size(), "tick " << t << ": unexpected launches");

        int live = 0;
        for (int i = 0; i < particleSlotCount; i++) live += particleSlot(i).life != 0;
        fig.mostLive = std::max(fig.mostLive, live);
    }

    SHOW_CHECK(fireCursorPosition() == count && launchCursorPosition() == count,
               "cursors end at " << fireCursorPosition() << ", " << launchCursorPosition());
    for (const Flight& f : flying) {
        SHOW_CHECK(f.updates == f.life, "record " << f.record << " never freed");
        SHOW_CHECK(!f.steady || f.checkedAtFire, "record " << f.record << " never checked");
    }
    setLaunchObserver(nullptr);
    useOnsetTable(onsetTable, onsetFrameCount);
    EXPECT_EQ(failures, 0);
    return fig;
}

void report(const char* name, int32_t records, const ShowFigures& f) {
    std::printf("%s: %d records, %lld ticks, %lld launches, %lld dropped, %lld steady arrivals "
                "checked at their fire, at most %d particles live at once\n",
                name, records, (long long)f.ticks, (long long)f.launches, (long long)f.drops,
                (long long)f.steadyChecked, f.mostLive);
}

int64_t setBits(const OnsetFrame* table, int32_t count) {
    int64_t bits = 0;
    for (int32_t r = 0; r < count; r++)
        for (int n = 0; n < waveCellCount; n++) bits += columnSet(table[r], n);
    return bits;
}

}  // namespace

TEST(WholeShow, CompiledInTable) {
    // A user's table may hold anything a scored song gives, down to no record at all; the
    // dense table below runs whatever is compiled in.
    if (!builtWithOurSong) GTEST_SKIP() << needsOurSong;
    const ShowFigures fig = runWholeShow(onsetTable, onsetFrameCount);
    report("compiled-in table", onsetFrameCount, fig);
    EXPECT_EQ(fig.launches, setBits(onsetTable, onsetFrameCount));
}

// A table of our own with the shape of a scored song (a 23 ms cadence, quiet stretches and
// dense passages, a few onsets inside the first two seconds), so that the run means
// something whatever table is compiled in.
TEST(WholeShow, DenseScoredTable) {
    std::mt19937 rng(448);
    std::vector<OnsetFrame> table;
    for (int32_t t = 23; t < 90000; t += (rng() % 4 == 0) ? 24 : 23) {
        OnsetFrame f{t, {}};
        const bool passage = (t / 10000) % 2 == 1;
        const int onsets = t < 2000 ? (t % 500 < 23) : passage ? rng() % 14 : (rng() % 6 == 0);
        for (int i = 0; i < onsets; i++) {
            const int n = rng() % waveCellCount;
            f.mask[n / 32] |= 1u << (n % 32);
        }
        table.push_back(f);
    }
    const ShowFigures fig = runWholeShow(table.data(), (int32_t)table.size());
    report("dense test table", (int32_t)table.size(), fig);
    EXPECT_EQ(fig.launches, setBits(table.data(), (int32_t)table.size()));
    EXPECT_GT(fig.steadyChecked, 5000);
    EXPECT_GT(fig.drops, 0);  // the passages crowd the pool
}
