// Where the show's things stand on the virtual screen (800 x 400 units, platform/window.h):
// the bars, the particles' aim and launch, the message panel. Every layout number of the
// show lives here, read by the show, the tools and the tests alike.
#pragma once
#include <cstdint>

#include "data/message_script.h"
#include "data/onset_table.h"
#include "platform/window.h"

// The bars: one per column along the bottom edge, from barTop down to the screen's bottom.
// The particles land on barTop.
constexpr int waveCellCount = onsetColumnCount;
constexpr float barTop = 368.0f;
constexpr float barSpacing = (float)virtualScreenWidth / waveCellCount;  // units
constexpr float barWidth = 2.0f;  // wider than the spacing: neighbours overlap
constexpr float barHeight = virtualScreenHeight - barTop;

// The x a column's particles aim at: its number times the screen width, then times
// 1 / columns in single precision, a hair off the bars' own spacing for some columns.
constexpr float columnScale = 1.0f / onsetColumnCount;
inline float columnTargetX(int column) {
    return (float)((double)(float)(column * virtualScreenWidth) * columnScale);
}
// Particles start at the screen's right edge, above its top.
constexpr double particleLaunchX = virtualScreenWidth;

// The message panel: six rows of panelColumns (data/message_script.h) characters. Rows are
// closer than the glyph cells are high (64 units): a cell's bottom 9 units lie under the
// next row's cells, and the font keeps its ink above them. The glyphs are drawn at
// panelTextScale times their 8 x 16 units.
constexpr int panelRows = 6;
constexpr int panelRowStorage = 80;  // characters per row; only 0..panelColumns - 1 are written
constexpr float panelTextLeft = 20.0f;
constexpr int32_t panelRowTop = 15;    // top of row 0
constexpr int32_t panelRowPitch = 55;  // between row tops
constexpr float panelTextScale = 4.0f;
