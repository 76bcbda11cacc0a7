// Cost of the particle update with the pool full, and of one whole tick of the show.
#include <benchmark/benchmark.h>

#include <vector>

#include "data/onset_table.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/show.h"
#include "show/wave_line.h"

constexpr int refillEveryUpdates = 100;  // below the shortest life (300), so none frees

static int liveCount() {
    int live = 0;
    for (int i = 0; i < particleSlotCount; i++) live += particleSlot(i).life != 0;
    return live;
}

// Launches until every slot is live, with flights spread like the scans' (2001..7000 ms).
static void fillPool() {
    clearParticles();
    int32_t k = 0;
    while (liveCount() < particleSlotCount) {
        for (int i = 0; i < particleSlotCount; i++, k++)
            launchParticle((float)(k % 448) * 1.7857143f, 368.0f, 2001 + (k * 7919) % 5000);
    }
}

static void BM_UpdateAllLive(benchmark::State& state) {
    particleRandom().seed(particleSeed);
    fillPool();
    int updates = 0;
    for (auto _ : state) {
        if (updates == refillEveryUpdates) {
            state.PauseTiming();
            fillPool();
            updates = 0;
            state.ResumeTiming();
        }
        updateParticles();
        updates++;
    }
    benchmark::DoNotOptimize(particleSlot(0));
}
BENCHMARK(BM_UpdateAllLive);

static void startShow(const OnsetFrame* table, int32_t count) {
    particleRandom().seed(particleSeed);
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    useOnsetTable(table, count);
}

// Averaged over the whole show, from the first tick to 3 s past the last record.
static void BM_ShowTick(benchmark::State& state) {
    const int32_t endMs = onsetTable[onsetFrameCount - 1].timeMs + 3000;
    startShow(onsetTable, onsetFrameCount);
    int32_t t = 0;
    for (auto _ : state) {
        if (t > endMs) {
            state.PauseTiming();
            startShow(onsetTable, onsetFrameCount);
            t = 0;
            state.ResumeTiming();
        }
        simulateTick(t);
        t += 10;
    }
    state.counters["records"] = onsetFrameCount;
}
BENCHMARK(BM_ShowTick);

// The worst steady case: every slot live and a record with 12 onsets every 23 ms, so a tick
// fires and launches about half a record each.
static void BM_BusyTick(benchmark::State& state) {
    std::vector<OnsetFrame> table;
    for (int32_t t = 23, i = 0; t < 600000; t += 23, i++) {
        OnsetFrame f{t, {}};
        for (int c = 0; c < 12; c++) {
            const int n = (i * 37 + c * 41) % 448;
            f.mask[n / 32] |= 1u << (n % 32);
        }
        table.push_back(f);
    }
    startShow(table.data(), (int32_t)table.size());
    fillPool();
    int32_t t = 0, updates = 0;
    for (auto _ : state) {
        if (updates == refillEveryUpdates) {
            state.PauseTiming();
            fillPool();
            updates = 0;
            if (t > table.back().timeMs) {
                useOnsetTable(table.data(), (int32_t)table.size());
                t = 0;
            }
            state.ResumeTiming();
        }
        simulateTick(t);
        t += 10;
        updates++;
    }
    useOnsetTable(onsetTable, onsetFrameCount);
}
BENCHMARK(BM_BusyTick);

BENCHMARK_MAIN();
