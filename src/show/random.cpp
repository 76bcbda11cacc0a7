// MT19937 for the particle launcher.
#include "show/random.h"

constexpr int mtMiddleDistance = 397;
constexpr uint32_t mtTwistMatrix = 0x9908B0DFu;
constexpr uint32_t mtUpperMask = 0x80000000u;
constexpr uint32_t mtLowerMask = 0x7FFFFFFFu;
constexpr uint32_t mtSeedMultiplier = 1812433253u;

static uint32_t twist(uint32_t u, uint32_t v) {
    const uint32_t mixed = ((u & mtUpperMask) | (v & mtLowerMask)) >> 1;
    return (v & 1u) ? (mixed ^ mtTwistMatrix) : mixed;
}

// next starts at no position; the first draw regenerates and sets it.
MersenneTwister::MersenneTwister(uint32_t s) : left(1), next(-1) { seed(s); }

void MersenneTwister::seed(uint32_t s) {
    state[0] = s;
    for (int i = 1; i < mtStateWords; i++) {
        const uint32_t prev = state[i - 1];
        state[i] = mtSeedMultiplier * (prev ^ (prev >> 30)) + (uint32_t)i;
    }
    left = 1;
}

void MersenneTwister::regenerate() {
    constexpr int n = mtStateWords;
    constexpr int m = mtMiddleDistance;
    left = n;
    next = 0;
    int k = 0;
    for (; k < n - m; k++) state[k] = state[k + m] ^ twist(state[k], state[k + 1]);
    for (; k < n - 1; k++) state[k] = state[k + m - n] ^ twist(state[k], state[k + 1]);
    state[n - 1] = state[m - 1] ^ twist(state[n - 1], state[0]);
}

int32_t MersenneTwister::nextInt31() {
    if (--left == 0) regenerate();
    uint32_t y = state[next++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return (int32_t)(y >> 1);
}
