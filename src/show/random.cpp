// MT19937 for the particle launcher.
#include "show/random.h"

MersenneTwister particleRandom(5489u);

MersenneTwister::MersenneTwister(uint32_t s) : left(1), next(0) { seed(s); }

void MersenneTwister::seed(uint32_t s) {
    state[0] = s;
    left = 1;
}

int32_t MersenneTwister::nextInt31() { return 0; }

void MersenneTwister::regenerate() {}
