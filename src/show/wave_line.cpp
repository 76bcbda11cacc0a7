// The wave line's cells, diffusion and bars.
#include "show/wave_line.h"

static float cells[waveCellCount];

void clearWaveLine() {
    for (int i = 0; i < waveCellCount; i++) cells[i] = 0.0f;
}

void diffuseWaveLine() {}

void drawWaveLine() {}

void setWaveCell(int column, float value) { cells[column] = value; }

float waveCell(int column) { return cells[column]; }
