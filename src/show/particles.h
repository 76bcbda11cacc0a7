// The particle pool: 4096 slots of aimed arcs that fall onto the bars, bounce once and fade.
#pragma once
#include <cstdint>

#include "show/random.h"

constexpr int particleSlotCount = 4096;
// A particle lives this many times its flight: it bounces and fades for half as long again.
constexpr double particleLifeShare = 1.5;

struct Particle {
    int32_t life;  // ticks left; 0 marks a free slot
    float x, y;    // virtual-screen units
    float vx, vy;  // units per tick; vy > 0 is downwards
};

// The show's one generator, drawn from only by launchParticle: constructed with
// mtDefaultSeed, reseeded with particleSeed by start-up. Tests read and step it.
MersenneTwister& particleRandom();
// Start-up: frees every slot (life 0); other fields untouched.
void clearParticles();
// Called by the look-ahead scan: aims a particle from the screen's right edge so that after
// flightMs / tickMs updates it stands at (targetX, just above targetY). Dropped if its random
// slot is live.
void launchParticle(float targetX, float targetY, int32_t flightMs);
// One tick: every live particle moves, feels gravity, may bounce, ages by one.
void updateParticles();
// Draws every live particle as a 3 x 3 square; once per drawn frame.
void drawParticles();
// Read access to slot i (0..4095) for tests and tools.
const Particle& particleSlot(int i);
// Test hook: after every launch, observer gets the slot filled (-1 if dropped) and the
// launch's arguments. nullptr (the default) turns it off.
using LaunchObserver = void (*)(int32_t slot, float targetX, float targetY, int32_t flightMs);
void setLaunchObserver(LaunchObserver observer);
