// The typewriter message panel: six rows of 24 characters typed at an uneven pace.
#pragma once
#include <cstdint>

constexpr int panelRows = 6;
constexpr int panelRowStorage = 80;  // characters per row; only 0..23 are ever written

// Start-up: the character grid to zeros (cursor, script position and countdown keep theirs).
void clearMessagePanel();
// Tick step 1: one typing step; t is the tick's music time in ms, never negative.
void advanceTypewriter(int32_t t);
// Draws the six rows and, while clock & 0x200, the cursor; clock is the frame's reading in ms.
void drawMessagePanel(int32_t clock);
