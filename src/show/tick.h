// The simulation's fixed step, shared by the frame loop that runs ticks and the modules that
// count in them.
#pragma once
#include <cstdint>

constexpr int32_t tickMs = 10;  // ms of music time per tick
