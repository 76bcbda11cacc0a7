// The launcher seen from the tests: every launch recorded, and the x each column aims at.
#pragma once
#include <cstdint>
#include <vector>

struct Launch {
    int32_t slot;  // the slot filled, -1 when the launch was dropped
    float targetX, targetY;
    int32_t flightMs;
};

// Launches since the test last cleared the list, in order; recordLaunch appends to it and is
// what tests hand setLaunchObserver.
extern std::vector<Launch> launches;
void recordLaunch(int32_t slot, float targetX, float targetY, int32_t flightMs);

// The x the look-ahead scan aims a column's particles at: the column's share of the screen
// width, the product taken in single precision as the scan does.
float columnX(int column);
