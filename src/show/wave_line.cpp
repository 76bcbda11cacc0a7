// The wave line's cells, their sideways diffusion and fading, and the bars drawn from them.
#include "show/wave_line.h"

#include <cstdint>

#include "platform/draw.h"

static float cells[waveCellCount];

constexpr double lossFraction = 0.05;     // of a cell's value, leaves it per pass
constexpr double passedOnFraction = 0.95; // of the loss, reaches the neighbours; the rest vanishes
constexpr double sideSplit = 0.5;         // each neighbour's half of what is passed on


void clearWaveLine() {
    for (int i = 0; i < waveCellCount; i++) cells[i] = 0.0f;
}

void diffuseWaveLine() {
    // In place: the right neighbour's share is part of what it loses on its own turn, the
    // left neighbour's stays with it until the next pass. Shares past either end are lost.
    for (int i = 0; i < waveCellCount; i++) {
        const double v = cells[i];
        const double loss = v * lossFraction;
        cells[i] = (float)(v - loss);
        const double share = loss * passedOnFraction * sideSplit;
        if (i > 0) cells[i - 1] = (float)((double)cells[i - 1] + share);
        if (i < waveCellCount - 1) cells[i + 1] = (float)((double)cells[i + 1] + share);
    }
}

static uint32_t waveColour(float value) {
    const uint32_t red = (uint32_t)(int32_t)((double)value * barRedGain);
    const uint32_t green = (uint32_t)(int32_t)((double)value * barGreenGain);
    const uint32_t blue = (uint32_t)(int32_t)((double)value * barBlueGain);
    return barRestingColour + (red << 16) + (green << 8) + blue;
}

void drawWaveLine() {
    for (int i = 0; i < waveCellCount; i++)
        drawQuad((float)i * barSpacing, barTop, barWidth, barHeight, waveColour(cells[i]));
}

void setWaveCell(int column, float value) { cells[column] = value; }

float waveCell(int column) { return cells[column]; }
