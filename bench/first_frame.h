// What the two start-up benchmarks share: a clock in ms and a present hook that notes the
// first presented frame. Each benchmark is a program of its own, so the state is static.
#pragma once
#include <ctime>

#include "show/show.h"

static FrameHooks showHooks;
static bool presented = false;

static double nowMs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

static void presentAndNote() {
    showHooks.present();
    presented = true;
}
