// Nothing is allocated in the frame loop: every allocation of the process is counted while
// 10,000 scripted frames run their ticks and drawing calls. No GL context is current, so the
// GL calls land in the dispatcher's no-op table: the software rasteriser allocates for its
// own state changes, and those allocations are the driver's, not the show's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "platform/draw.h"
#include "platform/texture.h"
#include "show/message_panel.h"
#include "show/particles.h"
#include "show/random.h"
#include "show/show.h"
#include "show/wave_line.h"
#include "support/support.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

static std::atomic<bool> counting{false};
static std::atomic<long> allocations{0};

extern "C" void* malloc(size_t n) {
    if (counting.load(std::memory_order_relaxed)) allocations++;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
    if (counting.load(std::memory_order_relaxed)) allocations++;
    return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
    if (counting.load(std::memory_order_relaxed)) allocations++;
    return __libc_realloc(p, n);
}

static int32_t clockNow = 0;
static int32_t scripted() { return clockNow; }
static void noWait(uint32_t) {}
static void noPresent() {}

TEST(FrameAllocation, TenThousandFramesAllocateNothing) {
    particleRandom().seed(particleSeed);
    clearMessagePanel();
    clearWaveLine();
    clearParticles();
    setPanelFont(getTexture((std::string(XOON_RUN_DIR) + "/fona.png").c_str(), 1));
    useNearestFiltering();
    setFrameHooks({scripted, noWait, noPresent});
    setNextTick(0);
    // Warm up: the first frames let the GL driver size its buffers.
    for (int i = 0; i < 100; i++) {
        clockNow += 17;
        runFrame();
    }
    counting = true;
    for (int i = 0; i < 10000; i++) {
        clockNow += 17;  // about 60 frames a second of music
        runFrame();
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_GT(nextTick(), 170000);  // the frames really ran ticks
}
