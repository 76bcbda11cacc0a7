// The show's worst tick, the whole song's ticks, and one drawn frame on the software rasteriser.
#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "data/message_script.h"
#include "data/onset_table.h"
#include "platform/audio_format.h"
#include "platform/decoder.h"
#include "platform/draw.h"
#include "platform/window.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/show.h"
#include "show/wave_line.h"

constexpr int columnCount = 448;
constexpr int32_t tickMs = 10;
constexpr int32_t lookAheadMs = 2000;
constexpr int32_t worstRecordCount = 4096;  // one due per scan per tick; rewound when used up
constexpr int32_t worstFillFlightMs = 60000;  // fill particles live 9000 ticks: none frees
constexpr float targetY = 368.0f;
constexpr float columnWidth = 800.0f / 448;

static int liveParticles() {
    int live = 0;
    for (int i = 0; i < particleSlotCount; i++) live += particleSlot(i).life != 0;
    return live;
}

// Launches until every slot is live; the slot is random, so this takes a few tens of thousands.
static void fillPool(int32_t flightMs) {
    for (int32_t k = 0; liveParticles() < particleSlotCount; k++)
        for (int i = 0; i < particleSlotCount; i++)
            launchParticle((float)((k * particleSlotCount + i) % columnCount) * columnWidth,
                           targetY, flightMs);
}

static void resetShowState() {
    particleRandom().seed(particleSeed);
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    useMessageScript(messageScript);
}

// Records 10 ms apart with all 448 columns set: in steady running each tick fires one and
// launches one (448 dropped launches, the pool being full).
static std::vector<OnsetFrame> fullRecords() {
    std::vector<OnsetFrame> table(worstRecordCount);
    for (int32_t i = 0; i < worstRecordCount; i++) {
        table[i].timeMs = i * tickMs;
        for (uint32_t& word : table[i].mask) word = 0xFFFFFFFFu;
    }
    return table;
}

// Rewinds to the steady state: pool full, the scans caught up to the tick before t0.
static int32_t primeWorstTick(const std::vector<OnsetFrame>& table) {
    resetShowState();
    fillPool(worstFillFlightMs);
    useOnsetTable(table.data(), (int32_t)table.size());
    const int32_t t0 = lookAheadMs + tickMs;
    simulateTick(t0 - tickMs);
    return t0;
}

static void BM_TickWorstCase(benchmark::State& state) {
    const std::vector<OnsetFrame> table = fullRecords();
    int32_t t = primeWorstTick(table);
    const int32_t lastT = table.back().timeMs - lookAheadMs;
    int64_t ticks = 0;
    for (auto _ : state) {
        if (t > lastT) {
            state.PauseTiming();
            t = primeWorstTick(table);
            state.ResumeTiming();
        }
        simulateTick(t);
        t += tickMs;
        ticks++;
    }
    // Proof that the case held: every slot live, and one record per scan per tick.
    state.counters["live"] = liveParticles();
    state.counters["fireCursorLag"] = (t - tickMs) / tickMs - fireCursorPosition();
    state.SetItemsProcessed(ticks);
}
BENCHMARK(BM_TickWorstCase)->Unit(benchmark::kMicrosecond);

static int32_t songLengthMs() {
    AudioDecoder* song = openAudioDecoder(XOON_RUN_DIR "/xoon09.ogg", audioRateHz, 1, nullptr);
    if (!song) return 0;
    const double seconds = audioDurationSeconds(song);
    closeAudioDecoder(song);
    return (int32_t)(seconds * 1000);
}

// Every tick of the song, as the show runs them, with nothing drawn.
static void BM_WholeSongTicks(benchmark::State& state) {
    const int32_t endMs = songLengthMs();
    if (endMs <= 0) {
        state.SkipWithError("cannot read the song's length from the run folder");
        return;
    }
    int32_t ticks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetShowState();
        useOnsetTable(onsetTable, onsetFrameCount);
        state.ResumeTiming();
        ticks = 0;
        for (int32_t t = 0; t < endMs; t += tickMs, ticks++) simulateTick(t);
        benchmark::DoNotOptimize(particleSlot(0));
    }
    state.counters["ticks"] = ticks;
    state.counters["ticksPerSecond"] =
        benchmark::Counter(ticks, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["songSeconds"] = endMs / 1000.0;
}
BENCHMARK(BM_WholeSongTicks)->Unit(benchmark::kMillisecond);

// A window of the given size with the show's own start-up; later sizes are mode changes.
static void openShowWindow(int32_t w, int32_t h) {
    static bool started = false;
    if (!started) {
        if (chdir(XOON_RUN_DIR) != 0) perror(XOON_RUN_DIR);
        ShowSetup setup;
        setup.display = DisplayMode::sized;
        setup.width = w;
        setup.height = h;
        setup.songFile = nullptr;
        showStart(setup);
        started = true;
    } else {
        setVideoMode(DisplayMode::sized, w, h);
    }
}

// 143 characters: rows 0..4 full (24 each) and 23 in row 5, the most the panel holds.
static void fillPanel() {
    static char text[panelRows * panelColumns];
    const int fullCount = panelRows * panelColumns - 1;
    for (int i = 0; i < fullCount; i++) text[i] = (char)('A' + i % 26);
    text[fullCount] = 0;
    useMessageScript(text);
    for (int32_t t = 0; messagePanel().scriptIndex < fullCount; t += tickMs) advanceTypewriter(t);
}

// Particles spread over the screen: launched together, then flown most of their way.
static int spreadParticles() {
    constexpr int32_t flightMs = 4000;
    constexpr int flownTicks = 375;  // of 400: a falling arc is high until its last quarter
    clearParticles();
    fillPool(flightMs);
    for (int i = 0; i < flownTicks; i++) updateParticles();
    int onScreen = 0;
    for (int i = 0; i < particleSlotCount; i++) {
        const Particle& p = particleSlot(i);
        onScreen += p.x >= 0 && p.x < 800 && p.y >= 0 && p.y < 400;
    }
    return onScreen;
}

static void drawFrame(int32_t clock) {
    clearScreen();
    drawWaveLine();
    drawParticles();
    drawMessagePanel(clock);
}

// One frame's drawing with 4096 live particles and six full rows, finished by the GL;
// with present = 1 the buffer swap (the copy to the X server) is included.
static void BM_DrawnFrame(benchmark::State& state) {
    const int32_t w = (int32_t)state.range(0), h = (int32_t)state.range(1);
    const bool present = state.range(2) != 0;
    openShowWindow(w, h);
    resetShowState();
    for (int c = 0; c < columnCount; c++) setWaveCell(c, (float)(c % 10) / 10.0f);
    fillPanel();
    const int onScreen = spreadParticles();
    constexpr int32_t cursorShownClock = 0x200;
    constexpr int warmUpFrames = 10;  // the rasteriser sets up its pipelines on first use
    for (int i = 0; i < warmUpFrames; i++) {
        drawFrame(cursorShownClock);
        presentFrame();
    }
    glFinish();
    for (auto _ : state) {
        drawFrame(cursorShownClock);
        if (present) presentFrame();
        glFinish();
    }
    state.counters["live"] = liveParticles();
    state.counters["onScreen"] = onScreen;
    state.counters["textChars"] = messagePanel().scriptIndex;
}
BENCHMARK(BM_DrawnFrame)
    ->Args({800, 400, 0})
    ->Args({1920, 1080, 0})
    ->Args({800, 400, 1})
    ->Args({1920, 1080, 1})
    ->ArgNames({"w", "h", "present"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char cpu[256] = "unknown";
    if (FILE* f = fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "model name : %255[^\n]", cpu) == 1) break;
        fclose(f);
    }
    benchmark::AddCustomContext("cpu_model", cpu);
    benchmark::RunSpecifiedBenchmarks();
    if (const GLubyte* renderer = glGetString(GL_RENDERER))
        printf("GL renderer: %s\n", (const char*)renderer);
    benchmark::Shutdown();
    return 0;
}
