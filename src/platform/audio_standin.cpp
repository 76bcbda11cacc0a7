// The sound layer's output without any device: the song plays silently at the wall clock's
// pace, buffer by buffer, as a device would play it.
#include <chrono>
#include <thread>

#include "platform/audio_backend.h"
#include "platform/audio_format.h"

static int sampleRate = audioRateHz;

static bool openStandIn(int rate, const AudioFeed&) {
    sampleRate = rate;
    return true;
}

// Like a device, it pauses with a stopped process instead of racing to catch up.
static void play() {
    static float frames[deviceFrames * audioChannels];
    using namespace std::chrono;
    const steady_clock::duration period =
        duration_cast<steady_clock::duration>(duration<double>((double)deviceFrames / sampleRate));
    steady_clock::time_point next = steady_clock::now();
    while (!deviceSongHeard()) {
        fillDeviceBuffer(frames, deviceFrames, 0);
        next += period;
        const steady_clock::time_point now = steady_clock::now();
        if (now > next + period) next = now;
        std::this_thread::sleep_until(next);
    }
}

static void startStandIn() { std::thread(play).detach(); }
static void kickStandIn() {}
static void pauseStandIn(bool) {}  // the buffers it fills say it
static const char* standInName() { return "none"; }

const AudioBackend standInBackend = {openStandIn, startStandIn, kickStandIn, deviceHeardFrames,
                                     pauseStandIn, standInName};
