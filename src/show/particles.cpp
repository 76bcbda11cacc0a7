// The particle pool, its aimed launcher, motion and drawing.
#include "show/particles.h"

static Particle pool[particleSlotCount];

void clearParticles() {
    for (int i = 0; i < particleSlotCount; i++) pool[i].life = 0;
}

void launchParticle(float, float, int32_t) {}

void updateParticles() {}

void drawParticles() {}

const Particle& particleSlot(int i) { return pool[i]; }
