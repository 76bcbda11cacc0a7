// The wave line: 448 bar brightness cells that flash on onsets, spread sideways and fade.
#pragma once

constexpr int waveCellCount = 448;  // one cell per column

// Start-up: every cell to 0.0.
void clearWaveLine();
// One tick of diffusion and decay, in place from cell 0 to 447.
void diffuseWaveLine();
// Draws the 448 bars (y 368..400) in their brightness colours; once per drawn frame.
void drawWaveLine();
// The onset fire writes a column's cell (0..447) through this; tests read with waveCell.
void setWaveCell(int column, float value);
float waveCell(int column);
