// The particle pool, its aimed launcher, motion and drawing.
#include "show/particles.h"

#include "platform/draw.h"
#include "show/layout.h"
#include "show/random.h"
#include "show/tick.h"

constexpr int32_t speedDrawRange = 200;  // second draw taken modulo this
constexpr float speedStep = 0.006666667f;  // vy per speed draw unit, units per tick
constexpr float halfGravity = 0.005f;      // units per tick squared, for aiming
constexpr float gravity = 0.01f;           // added to vy every tick
constexpr double floorY = barTop;          // only y beyond the bars' top bounces
constexpr double bounceVx = 0.7;           // share of vx kept on a bounce
constexpr double bounceVy = -0.5;          // vy turns upwards at half speed on a bounce
constexpr int32_t fadeStartLife = 120;  // ticks of life left at which the colour starts fading
constexpr uint32_t fullColour = 0xFF7F7FFFu;
constexpr uint32_t fadeAlpha = 0xFF000000u;
constexpr uint32_t fadeStep = 0x10102u;  // per tick of life: red 1, green 1, blue 2
constexpr float drawOffset = 1.0f;  // units up and left of the particle's position
constexpr float drawSize = 3.0f;    // units square

static MersenneTwister generator(mtDefaultSeed);
static Particle pool[particleSlotCount];
static LaunchObserver launchObserver = nullptr;

void clearParticles() {
    for (int i = 0; i < particleSlotCount; i++) pool[i].life = 0;
}

void launchParticle(float targetX, float targetY, int32_t flightMs) {
    const int32_t index = generator.nextInt31() % particleSlotCount;
    Particle& p = pool[index];
    // A busy slot drops the launch: no free-list search, no second draw.
    if (p.life != 0) {
        if (launchObserver) launchObserver(-1, targetX, targetY, flightMs);
        return;
    }
    const int32_t ticks = flightMs / tickMs;
    const int32_t r = generator.nextInt31() % speedDrawRange;
    const double vy = 1.0 + r * (double)speedStep;
    p.x = (float)particleLaunchX;
    p.vy = (float)vy;
    p.y = (float)((double)targetY - ticks * (vy + ticks * (double)halfGravity));
    p.life = (int32_t)(particleLifeShare * ticks);
    p.vx = (float)(((double)targetX - particleLaunchX) / ticks);
    if (launchObserver) launchObserver(index, targetX, targetY, flightMs);
}

void updateParticles() {
    for (int i = 0; i < particleSlotCount; i++) {
        Particle& p = pool[i];
        if (p.life == 0) continue;
        p.x = (float)((double)p.x + p.vx);
        p.y = (float)((double)p.y + p.vy);
        const float g = (float)((double)p.vy + (double)gravity);
        p.vy = g;
        if (p.y > floorY) {
            p.y = (float)((double)p.y - g);
            p.vx = (float)(p.vx * bounceVx);
            p.vy = (float)(g * bounceVy);
        }
        p.life--;
    }
}

static uint32_t particleColour(int32_t life) {
    if (life > fadeStartLife) return fullColour;
    return fadeAlpha | ((uint32_t)life * fadeStep);
}

void drawParticles() {
    for (int i = 0; i < particleSlotCount; i++) {
        const Particle& p = pool[i];
        if (p.life == 0) continue;
        drawQuad((float)((double)p.x - drawOffset), (float)((double)p.y - drawOffset), drawSize,
                 drawSize, particleColour(p.life));
    }
}

MersenneTwister& particleRandom() { return generator; }

const Particle& particleSlot(int i) { return pool[i]; }

void setLaunchObserver(LaunchObserver observer) { launchObserver = observer; }
