// The typewriter message panel: types the compiled-in script, wraps, scrolls, blinks.
#include "show/message_panel.h"

#include <cstring>

#include "message_script.h"
#include "gfx/draw.h"

constexpr int32_t firstWaitTicks = 10;
constexpr int32_t pauseTicks = 50;        // one '#': 500 ms
constexpr int32_t intervalBaseTicks = 12;
constexpr int32_t intervalStepMs = 16;    // the interval grows by one tick every 16 ms...
constexpr int32_t intervalSteps = 15;     // ...and starts over every 15 steps: 12..26 ticks
constexpr char pauseMark = '#';
constexpr char lineFeed = '\n';
constexpr float textLeft = 20.0f;         // virtual-screen units
constexpr int32_t rowTop = 15;            // units: top of row 0
constexpr int32_t rowPitch = 55;          // units between row tops; cells overlap by 9
constexpr int32_t cellWidth = 32;         // units: 8 x scale
constexpr float textScale = 4.0f;
constexpr uint32_t textColour = 0xFFFFFFFFu;
constexpr float textAlpha = 1.0f;
constexpr int32_t cursorBlinkBit = 0x200;  // ms of music clock: shown in the second half

static MessagePanel panel = {{}, 0, 0, 0, firstWaitTicks};
static const char* script = messageScript;

void clearMessagePanel() { memset(panel.grid, 0, sizeof panel.grid); }

static void newLine() {
    panel.cursorColumn = 0;
    panel.cursorRow++;
    if (panel.cursorRow == panelRows) {
        panel.cursorRow = panelRows - 1;
        memmove(panel.grid[0], panel.grid[1], sizeof panel.grid[0] * (panelRows - 1));
        memset(panel.grid[panelRows - 1], 0, sizeof panel.grid[0]);
    }
}

void advanceTypewriter(int32_t t) {
    if (panel.typingCountdown == 0) {
        panel.typingCountdown = intervalBaseTicks + (t / intervalStepMs) % intervalSteps;
        const char ch = script[panel.scriptIndex];
        if (ch != 0) {
            if (ch == lineFeed) {
                newLine();
            } else if (ch == pauseMark) {
                panel.typingCountdown = pauseTicks;
            } else {
                panel.grid[panel.cursorRow][panel.cursorColumn] = ch;
                panel.cursorColumn++;
                if (panel.cursorColumn == panelColumns) newLine();
            }
            panel.scriptIndex++;
        }
    }
    panel.typingCountdown--;
}

void drawMessagePanel(int32_t clock) {
    for (int r = 0; r < panelRows; r++)
        drawText(fontTexture, panel.grid[r], textLeft, (float)(rowTop + rowPitch * r), textColour,
                 textAlpha, textScale);
    if (clock & cursorBlinkBit)
        drawText(fontTexture, "_", (float)(textLeft + cellWidth * panel.cursorColumn),
                 (float)(rowTop + rowPitch * panel.cursorRow), textColour, textAlpha, textScale);
}

const MessagePanel& messagePanel() { return panel; }

void useMessageScript(const char* newScript) {
    script = newScript;
    panel = MessagePanel{{}, 0, 0, 0, firstWaitTicks};
}
