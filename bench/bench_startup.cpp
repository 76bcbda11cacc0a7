// Start-up to the first presented frame: the show's own start-up, song and frame loop, timed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "first_frame.h"
#include "show/show.h"

// Run once per process (start-up cannot be repeated in one). XOON_T0_NS, the wall clock in
// ns just before the exec, lets the figure include loading the program and its libraries.
int main() {
    const double mainWall = nowMs(CLOCK_REALTIME), mainMono = nowMs(CLOCK_MONOTONIC);
    const char* t0 = getenv("XOON_T0_NS");
    const double launchMs = t0 ? mainWall - atof(t0) * 1e-6 : 0;
    if (chdir(XOON_RUN_DIR) != 0) perror(XOON_RUN_DIR);
    showHooks = showFrameHooks();
    ShowSetup setup;
    setup.hooks.present = presentAndNote;
    showStart(setup);
    const double playing = nowMs(CLOCK_MONOTONIC);
    while (!presented && showFrame()) {
    }
    const double first = nowMs(CLOCK_MONOTONIC);
    printf("launch %.1f ms, window, font and song %.1f ms, first frame %.1f ms: total %.1f ms\n",
           launchMs, playing - mainMono, first - playing, launchMs + first - mainMono);
    return presented ? 0 : 1;
}
