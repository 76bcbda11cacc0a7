// The show's one source of randomness: MT19937, drawn from only by the particle launcher.
#pragma once
#include <cstdint>

constexpr int mtStateWords = 624;
constexpr uint32_t mtDefaultSeed = 5489u;  // the generator's own seed, before any reseeding
constexpr uint32_t particleSeed = 2057772775u;  // start-up seed: same particles every run

class MersenneTwister {
public:
    explicit MersenneTwister(uint32_t s);
    // Restarts the sequence of seed s; the next draw regenerates the state.
    void seed(uint32_t s);
    // One draw: the top 31 bits of the standard 32-bit output, 0..2147483647.
    int32_t nextInt31();
    // Refills the whole state; called only by nextInt31.
    void regenerate();

private:
    uint32_t state[mtStateWords];
    int32_t left;
    int32_t next;  // index into state of the word the next draw returns
};
