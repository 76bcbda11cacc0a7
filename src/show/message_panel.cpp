// The typewriter message panel.
#include "show/message_panel.h"

static char grid[panelRows][panelRowStorage];

void clearMessagePanel() {
    for (int r = 0; r < panelRows; r++)
        for (int c = 0; c < panelRowStorage; c++) grid[r][c] = 0;
}

void advanceTypewriter(int32_t) {}

void drawMessagePanel(int32_t) {}
