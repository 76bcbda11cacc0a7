// The music clock's figures on the real sound layer: speed of play, step sizes, how late the
// end comes, and what a stopped process or a stalled device costs the frame loop.
#include <SDL.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/audio.h"
#include "platform/audio_format.h"
#include "show/show.h"
#include "show/tick.h"

namespace {

constexpr int mixRate = audioRateHz;
constexpr double stopSeconds = 3;     // the process stands this long
constexpr double stallSeconds = 0.8;  // the audio device is held this long
constexpr double afterSeconds = 2;    // frames watched after a stop or a stall
constexpr int maxSamples = 1 << 20;   // clock reads kept while a song plays

const char* usageText =
    "Usage: bench_clock play SONG.ogg    the sound layer alone: speed, steps, end\n"
    "       bench_clock faults           the show in this folder (xoon09.ogg, fona.png):\n"
    "                                    a stopped process, a stalled device\n";

double wallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::atomic<double> endWall{-1};
signed char noteEnd(SoundStream*, void*) {
    endWall.store(wallSeconds());
    return 1;
}

double percentile(std::vector<int> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (v.size() - 1) + 0.5))];
}

int play(const char* song) {
    SDL_Init(SDL_INIT_NOPARACHUTE);
    soundInit(mixRate);
    SoundStream* s = soundOpenStream(song);
    if (!s) return 1;
    soundSetEndCallback(s, noteEnd, nullptr);
    static int32_t clocks[maxSamples];
    static double walls[maxSamples];
    int n = 0;
    const double start = wallSeconds();
    soundPlay(s);
    while (endWall.load() < 0 && n < maxSamples) {
        clocks[n] = soundPosition(s);
        walls[n++] = wallSeconds();
        SDL_Delay(1);
    }
    const double ended = endWall.load();
    const int32_t last = soundPosition(s);
    int first = 0;
    while (first < n && clocks[first] == 0) first++;
    if (first == n || ended < 0) {
        fprintf(stderr, "bench_clock: %s: the clock never moved or the end never came\n", song);
        return 1;
    }
    std::vector<int> steps;
    for (int i = first + 1; i < n; i++)
        if (clocks[i] != clocks[i - 1]) steps.push_back(clocks[i] - clocks[i - 1]);
    const double playedWall = walls[n - 1] - walls[first];
    printf("first move of the clock: %.1f ms after play\n", (walls[first] - start) * 1000);
    printf("speed: %.4f s of music per second (%d ms of music in %.3f s)\n",
           (clocks[n - 1] - clocks[first]) / 1000.0 / playedWall, clocks[n - 1] - clocks[first], playedWall);
    printf("clock steps, read every ms: median %.0f ms, 99th percentile %.0f ms, largest %.0f ms (%zu steps)\n",
           percentile(steps, 0.5), percentile(steps, 0.99), percentile(steps, 1.0), steps.size());
    printf("end callback: %.1f ms of wall time after play; the clock then read %d ms\n",
           (ended - start) * 1000, last);
    return 0;
}

// The show's own frame loop, its clock and present wrapped only to count.
FrameHooks showHooks;
int32_t lastClock = 0;
int presents = 0;
int32_t readingClock() { return lastClock = showHooks.readClock(); }
void countingPresent() {
    presents++;
    showHooks.present();
}

struct Stretch {
    int frames = 0, drawn = 0, resyncs = 0, mostTicks = 0;
    int32_t musicMs = 0;
    double wall = 0;
};

Stretch runFrames(double seconds) {
    Stretch s;
    const double start = wallSeconds();
    const int32_t from = readingClock();
    while (wallSeconds() - start < seconds) {
        const int32_t before = nextTick();
        const int drawnBefore = presents;
        pollEvents();
        runFrame();
        s.frames++;
        if (presents > drawnBefore) {
            s.drawn++;
            s.mostTicks = std::max(s.mostTicks, (nextTick() - before) / tickMs);
        } else if (nextTick() != before) {
            s.resyncs++;
        }
    }
    s.musicMs = lastClock - from;
    s.wall = wallSeconds() - start;
    return s;
}

void report(const char* what, const Stretch& s) {
    printf("%s: %d frames, %d drawn, most ticks in one frame %d, resynchronised %d times; "
           "%d ms of music in %.3f s\n",
           what, s.frames, s.drawn, s.mostTicks, s.resyncs, s.musicMs, s.wall);
}

// /proc/PID/stat's state letter, with async-signal-safe calls only (used after a fork).
char processState(pid_t pid) {
    char path[64];
    int at = 0;
    for (const char* p = "/proc/"; *p;) path[at++] = *p++;
    char digits[16];
    int n = 0;
    for (pid_t p = pid; p > 0; p /= 10) digits[n++] = (char)('0' + p % 10);
    while (n > 0) path[at++] = digits[--n];
    for (const char* p = "/stat"; *p;) path[at++] = *p++;
    path[at] = 0;
    char buffer[512];
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    for (ssize_t i = got - 1; i > 0; i--)
        if (buffer[i] == ')') return i + 2 < got ? buffer[i + 2] : 0;
    return 0;
}

int faults() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    showStart(ShowSetup());
    showHooks = showFrameHooks();
    setFrameHooks({readingClock, showHooks.wait, countingPresent});
    report("first 1 s", runFrames(1.0));

    const int32_t beforeStop = showHooks.readClock();
    const pid_t parent = getpid();
    const pid_t helper = fork();
    if (helper == 0) {
        while (processState(parent) != 'T') usleep(1000);
        usleep((useconds_t)(stopSeconds * 1e6));
        kill(parent, SIGCONT);
        _exit(0);
    }
    raise(SIGSTOP);
    waitpid(helper, nullptr, 0);
    printf("process stopped %.0f s: the clock stepped %d ms across the stop\n", stopSeconds,
           showHooks.readClock() - beforeStop);
    report("after the stop", runFrames(afterSeconds));

    SDL_LockAudio();
    const int32_t atStall = showHooks.readClock();
    const Stretch stalled = runFrames(stallSeconds);
    const int32_t endOfStall = showHooks.readClock();
    SDL_UnlockAudio();
    printf("audio device held %.1f s: the clock moved %d ms\n", stallSeconds, endOfStall - atStall);
    report("during the stall", stalled);
    report("after the stall", runFrames(afterSeconds));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
        if (c == 'h') {
            fputs(usageText, stdout);
            return 0;
        }
        fputs(usageText, stderr);
        return 2;
    }
    const int rest = argc - optind;
    if (rest == 2 && !strcmp(argv[optind], "play")) return play(argv[optind + 1]);
    if (rest == 1 && !strcmp(argv[optind], "faults")) return faults();
    fputs(usageText, stderr);
    return 2;
}
