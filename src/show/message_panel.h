// The typewriter message panel: six rows of 24 characters typed at an uneven pace.
#pragma once
#include <cstdint>

#include "show/layout.h"

// The panel's one instance; the counters keep their load-time values until the first tick.
struct MessagePanel {
    char grid[panelRows][panelRowStorage];  // row 0 on top; each row a zero-ended string
    int32_t cursorColumn;                   // 0..23: column of the next character
    int32_t cursorRow;                      // 0..5: row of the next character
    int32_t scriptIndex;                    // script position of the next character
    int32_t typingCountdown;                // ticks until a tick that finds 0 types
};

// Start-up: the character grid to zeros (cursor, script position and countdown keep theirs).
void clearMessagePanel();
// Tick step 1: one typing step; t is the tick's music time in ms, never negative.
void advanceTypewriter(int32_t t);
// Start-up: the font atlas's texture the panel draws with.
void setPanelFont(uint32_t texture);
// Draws the six rows and, while clock & 0x200, the cursor; clock is the frame's reading in ms.
void drawMessagePanel(int32_t clock);
// Read access for tests and tools.
const MessagePanel& messagePanel();
// Tests and tools: types script (zero-terminated, outliving its use) from the start, with
// the grid cleared and the counters back at their load-time values.
void useMessageScript(const char* script);
