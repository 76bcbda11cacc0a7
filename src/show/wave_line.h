// The wave line: one bar brightness cell per column that flashes on onsets, spreads
// sideways and fades.
#pragma once

#include "onset_table.h"

constexpr int waveCellCount = onsetColumnCount;  // one cell per column
// Top edge of the bars, virtual-screen units; the bars reach down to the screen's bottom
// edge, and the particles land on this line.
constexpr float barTop = 368.0f;

// Start-up: every cell to 0.0.
void clearWaveLine();
// One tick of diffusion and decay, in place from cell 0 to 447.
void diffuseWaveLine();
// Draws the bars (y barTop to the bottom edge) in their brightness colours; once per drawn
// frame.
void drawWaveLine();
// The onset fire writes a column's cell (0..waveCellCount - 1) through this; tests read
// with waveCell.
void setWaveCell(int column, float value);
float waveCell(int column);
