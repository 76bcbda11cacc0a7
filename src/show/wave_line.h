// The wave line: one bar brightness cell per column that flashes on onsets, spreads
// sideways and fades.
#pragma once

#include <cstdint>

#include "show/layout.h"

// A bar's colour: each channel's gain times the cell's value, truncated, on top of the
// resting colour (alpha 255; red 63, green 31, blue 31), so red runs from 63 to 238.
constexpr double barRedGain = 175.0, barGreenGain = 127.0, barBlueGain = 95.0;
constexpr uint32_t barRestingColour = 0xFF3F1F1F;

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
