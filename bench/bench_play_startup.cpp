// The player's start-up to its first presented frame with the song playing, timed: the
// player's own options, checks, score (cache or scoring thread), window and song.
// Usage: bench_play_startup SONG   (XDG_CACHE_HOME chooses a cold or a warm cache)
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "first_frame.h"
#include "programs/xoon-play/player.h"
#include "score/score.h"
#include "show/show.h"

// Once per process, as start-up cannot be repeated in one. XOON_T0_NS, the wall clock in
// ns just before the exec, lets the figure include loading the program and its libraries.
int main(int argc, char** argv) {
    const double mainWall = nowMs(CLOCK_REALTIME), mainMono = nowMs(CLOCK_MONOTONIC);
    const char* t0 = getenv("XOON_T0_NS");
    const double launchMs = t0 ? mainWall - atof(t0) * 1e-6 : 0;
    char* args[] = {argv[0], (char*)"--window", argc > 1 ? argv[1] : nullptr, nullptr};
    const PlayerOptions options = parsePlayerOptions(3, args);
    startPlayer(options);
    showHooks = showFrameHooks();
    setFrameHooks({showHooks.readClock, showHooks.wait, presentAndNote});
    const double started = nowMs(CLOCK_MONOTONIC);
    while (!presented && runPlayerIteration()) {
    }
    const double first = nowMs(CLOCK_MONOTONIC);
    printf("%s cache: launch %.1f ms, start-up %.1f ms, first frame %.1f ms: total %.1f ms\n",
           playerFirstScoreFromCache() ? "warm" : "cold", launchMs, started - mainMono, first - started,
           launchMs + first - mainMono);
    return presented ? 0 : 1;
}
