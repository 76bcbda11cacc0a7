// The typewriter message panel: types the compiled-in script, wraps, scrolls, blinks.
#include "show/message_panel.h"

#include <cstring>

#include "data/message_script.h"
#include "platform/draw.h"
#include "show/tick.h"

constexpr int32_t firstWaitTicks = 10;
constexpr int32_t pauseTicks = messagePauseMs / tickMs;
constexpr int32_t intervalBaseTicks = 12;
constexpr int32_t intervalStepMs = 16;    // the interval grows by one tick every 16 ms...
constexpr int32_t intervalSteps = 15;     // ...and starts over every 15 steps: 12..26 ticks
constexpr char lineFeed = '\n';
constexpr int32_t cellWidth = (int32_t)(glyphWidth * panelTextScale);  // units
constexpr uint32_t textColour = 0xFFFFFFFFu;
constexpr float textAlpha = 1.0f;
constexpr int32_t cursorBlinkBit = 0x200;  // ms of music clock: shown in the second half

static MessagePanel panel = {{}, 0, 0, 0, firstWaitTicks};
static uint32_t fontTexture = 0;  // GL texture name
static const char* script = messageScript;

void setPanelFont(uint32_t texture) { fontTexture = texture; }

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
            } else if (ch == messagePauseMark) {
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
        drawText(fontTexture, panel.grid[r], panelTextLeft, (float)(panelRowTop + panelRowPitch * r),
                 textColour, textAlpha, panelTextScale);
    if (clock & cursorBlinkBit)
        drawText(fontTexture, "_", (float)(panelTextLeft + cellWidth * panel.cursorColumn),
                 (float)(panelRowTop + panelRowPitch * panel.cursorRow), textColour, textAlpha,
                 panelTextScale);
}

const MessagePanel& messagePanel() { return panel; }

void useMessageScript(const char* newScript) {
    script = newScript;
    panel = MessagePanel{{}, 0, 0, 0, firstWaitTicks};
}
