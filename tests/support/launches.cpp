// The launcher seen from the tests.
#include "support/launches.h"

#include "data/onset_table.h"
#include "platform/window.h"

std::vector<Launch> launches;

void recordLaunch(int32_t slot, float targetX, float targetY, int32_t flightMs) {
    launches.push_back({slot, targetX, targetY, flightMs});
}

float columnX(int column) { return (float)(column * virtualScreenWidth) * (1.0f / onsetColumnCount); }
