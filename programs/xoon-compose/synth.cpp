// The composer's instruments: drum voices and subtractive synth voices with their envelopes.
#include "synth.h"

#include <algorithm>
#include <cmath>

static const double twoPi = 6.283185307179586;
static const double secondsPerSample = 1.0 / sampleRate;

const char* instrumentName(Instrument instrument) {
    static const char* const names[instrumentCount] = {
        "kick", "snare", "clap", "hat", "openhat", "crash", "bass", "chord", "lead", "arp", "tom", "piano"};
    return names[instrument];
}

static double midiHz(double pitch) { return 440.0 * pow(2.0, (pitch - 69.0) / 12.0); }

static int64_t samplesOf(double seconds) { return (int64_t)llround(seconds * sampleRate); }

// Held chords are pads: softer attack, slower fall. Short ones are stabs.
static bool isPad(const Note& n) { return n.gate > samplesOf(0.5); }

// Release times in seconds, short enough that a note has faded before the next one of its
// instrument starts, so every onset stands out from what came before.
static double releaseOf(const Note& n) {
    if (n.release > 0) return n.release;
    switch (n.instrument) {
    case bass: return 0.03;
    case chord: return isPad(n) ? 0.15 : 0.12;
    case lead: return 0.06;
    case arp: return 0.05;
    case piano: return 0.12;
    default: return 0.0;
    }
}

// Our own noise: xorshift32, seeded per note, so every render hears the same hiss.
struct Noise {
    uint32_t state;
    explicit Noise(uint32_t seed) : state(seed * 2654435761u + 0x9E3779B9u) {
        if (state == 0) state = 1;
    }
    double next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state * (2.0 / 4294967296.0) - 1.0;
    }
};

// Topology-preserving state-variable filter: low, band and high pass from one state.
struct Filter {
    double ic1 = 0, ic2 = 0, a1 = 1, a2 = 0, a3 = 0, k = 1;
    double low = 0, band = 0, high = 0;
    void tune(double hz, double q) {
        const double maxHz = 0.45 * sampleRate;  // tan() blows up towards Nyquist
        hz = hz < 20.0 ? 20.0 : (hz > maxHz ? maxHz : hz);
        double g = tan(M_PI * hz / sampleRate);
        k = 1.0 / q;
        a1 = 1.0 / (1.0 + g * (g + k));
        a2 = g * a1;
        a3 = g * a2;
    }
    void run(double in) {
        double v3 = in - ic2;
        double v1 = a1 * ic1 + a2 * v3;
        double v2 = ic2 + a2 * ic1 + a3 * v3;
        ic1 = 2.0 * v1 - ic1;
        ic2 = 2.0 * v2 - ic2;
        low = v2;
        band = v1;
        high = in - k * v1 - v2;
    }
};

// Band-limited sawtooth: the polynomial step correction keeps aliasing out of the highs.
struct Saw {
    double phase = 0;
    double next(double hz) {
        double dt = hz * secondsPerSample;
        double v = 2.0 * phase - 1.0;
        if (phase < dt) {
            double x = phase / dt;
            v -= x + x - x * x - 1.0;
        } else if (phase > 1.0 - dt) {
            double x = (phase - 1.0) / dt;
            v -= x * x + x + x + 1.0;
        }
        phase += dt;
        if (phase >= 1.0) phase -= 1.0;
        return v;
    }
};

// Tonal envelope: linear attack from 0, exponential fall to the sustain level, and after the
// gate a linear release that lands on exactly 0.
struct Envelope {
    int64_t attack, gate, release;
    double decayPerSample, sustain;
    double level = 0, releaseFrom = 0;
    Envelope(double attackS, double decayS, double sustainLevel, int64_t gateSamples,
             double releaseS)
        : attack(samplesOf(attackS)), gate(gateSamples), release(samplesOf(releaseS)),
          decayPerSample(exp(-1.0 / (decayS * sampleRate))), sustain(sustainLevel) {
        if (gate < attack) gate = attack;
    }
    int64_t length() const { return gate + release + 1; }
    double at(int64_t i) {
        if (i < attack) {
            level = (double)i / attack;
            return level;
        }
        if (i < gate) {
            level = sustain + (level - sustain) * decayPerSample;
            releaseFrom = level;
            return level;
        }
        double left = 1.0 - (double)(i - gate) / release;
        return left > 0 ? releaseFrom * left : 0.0;
    }
};

// Linear fade over a hit's last 8 ms, long enough that its cut-off never clicks.
static double endFade(int64_t i, int64_t length) {
    const double fadeS = 0.008;
    double fade = (double)(length - 1 - i) / samplesOf(fadeS);
    return fade > 1.0 ? 1.0 : (fade < 0.0 ? 0.0 : fade);
}

// Percussive envelope: short linear attack, exponential decay, then the end fade.
static double hitEnvelope(int64_t i, int64_t length, double attackS, double decayS) {
    double t = i * secondsPerSample;
    double a = t < attackS ? t / attackS : 1.0;
    return a * exp(-t / decayS) * endFade(i, length);
}

// Kick: a sine whose pitch falls from about 210 Hz to 47 Hz within 0.1 s (times in s),
// a 4 ms knock of low-passed noise for the beater, and gentle saturation for punch.
static void renderKick(const Note& n, uint32_t seed, float* l, float* r, int64_t len) {
    Noise noise(seed);
    Filter click;
    click.tune(3500.0, 0.7);
    double phase = 0;
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        double hz = 47.0 + 140.0 * exp(-t / 0.028) + 25.0 * exp(-t / 0.12);
        phase += hz * secondsPerSample;
        double body = sin(twoPi * phase) * hitEnvelope(i, len, 0.0006, 0.26);
        click.run(noise.next());
        double knock = click.low * hitEnvelope(i, len, 0.0004, 0.004) * 0.6;
        double v = tanh(1.8 * (body + knock)) / tanh(1.8) * n.velocity;
        l[i] = r[i] = (float)v;
    }
}

// Snare: two drum-shell tones (185 and 330 Hz) under a longer burst of bright noise.
static void renderSnare(const Note& n, uint32_t seed, float* l, float* r, int64_t len) {
    Noise noise(seed);
    Filter hiss;
    hiss.tune(2600.0, 0.6);
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        double tone = (0.7 * sin(twoPi * 185.0 * t) + 0.35 * sin(twoPi * 330.0 * t)) *
                      hitEnvelope(i, len, 0.0008, 0.055);
        hiss.run(noise.next());
        double snap = (hiss.high + 0.5 * hiss.band) * hitEnvelope(i, len, 0.0008, 0.11);
        double v = (0.55 * tone + 0.75 * snap) * n.velocity;
        l[i] = r[i] = (float)v;
    }
}

// Clap: three quick bursts of band-passed noise 10.5 ms apart (hands that never quite meet
// together), then a short room tail. Its onset is the first burst.
static void renderClap(const Note& n, uint32_t seed, float* l, float* r, int64_t len) {
    Noise noise(seed);
    Filter body;
    body.tune(1250.0, 1.6);
    const double burstGapS = 0.0105, burstDecayS = 0.0045, tailStartS = 0.03;
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        double env = 0;
        for (int b = 0; b < 3; b++) {
            double tb = t - b * burstGapS;
            if (tb >= 0) env += (tb < 0.0004 ? tb / 0.0004 : 1.0) * exp(-tb / burstDecayS);
        }
        if (t >= tailStartS) env += 0.55 * exp(-(t - tailStartS) / 0.12);
        else env += 0.55 * t / tailStartS;
        body.run(noise.next());
        double v = (body.band * 1.4 + body.high * 0.25) * env * endFade(i, len) * n.velocity;
        l[i] = r[i] = (float)v;
    }
}

// Hats and crash: high-passed noise, different on each side, with a resonance near 10.5 kHz
// for the metal; decayS sets closed, open or crash.
static void renderCymbal(const Note& n, uint32_t seed, float* l, float* r, int64_t len,
                         double decayS, double cutHz) {
    Noise noiseL(seed), noiseR(seed + 7919u);
    Filter fl, fr, ring;
    fl.tune(cutHz, 0.8);
    fr.tune(cutHz, 0.8);
    ring.tune(10500.0, 3.0);
    for (int64_t i = 0; i < len; i++) {
        double env = hitEnvelope(i, len, 0.0005, decayS) * n.velocity;
        double a = noiseL.next(), b = noiseR.next();
        fl.run(a);
        fr.run(b);
        ring.run(a + b);
        l[i] = (float)((fl.high + 0.4 * ring.band) * env);
        r[i] = (float)((fr.high + 0.4 * ring.band) * env);
    }
}

// Bass: a saw through a resonant low-pass that snaps shut after the attack (cut-off in Hz,
// opening further in bright passages), over a sine sub.
static void renderBass(const Note& n, uint32_t, float* l, float* r, int64_t len) {
    Envelope amp(0.002, 0.25, 0.75, n.gate, releaseOf(n));
    double hz = midiHz(n.pitch);
    Saw saw;
    Filter lp;
    double subPhase = 0;
    // The sub sine sits an octave down, unless that would sink below what speakers play.
    const double lowestSubHz = 40.0;
    double subHz = 0.5 * hz >= lowestSubHz ? 0.5 * hz : hz;
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        if ((i & 31) == 0) lp.tune(180.0 + (500.0 + 1700.0 * n.bright) * exp(-t / 0.09), 1.3);
        lp.run(saw.next(hz));
        subPhase += subHz * secondsPerSample;
        double v = (0.75 * lp.low + 0.55 * sin(twoPi * subPhase)) * amp.at(i) * n.velocity;
        l[i] = r[i] = (float)v;
    }
}

// Chord note: three detuned saws spread left and right through a low-pass; stabs close
// their filter fast, pads slowly.
static void renderChord(const Note& n, uint32_t, float* l, float* r, int64_t len) {
    bool pad = isPad(n);
    Envelope amp(pad ? 0.006 : 0.003, pad ? 1.2 : 0.12, pad ? 0.6 : 0.35, n.gate, releaseOf(n));
    const double detune = 0.0045;  // relative pitch spread of the three saws
    double hz = midiHz(n.pitch);
    Saw mid, wideL, wideR;
    mid.phase = 0.0;
    wideL.phase = 0.33;
    wideR.phase = 0.66;
    Filter fl, fr;
    double cut = 500.0 + 4200.0 * n.bright;
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        if ((i & 31) == 0) {
            double c = cut * (0.55 + 0.8 * exp(-t / (pad ? 0.6 : 0.07)));
            fl.tune(c, 0.9);
            fr.tune(c, 0.9);
        }
        double m = mid.next(hz);
        fl.run(0.6 * m + wideL.next(hz * (1.0 + detune)));
        fr.run(0.6 * m + wideR.next(hz * (1.0 - detune)));
        double e = amp.at(i) * n.velocity;
        l[i] = (float)(fl.low * e);
        r[i] = (float)(fr.low * e);
    }
}

// Lead: a square and a slightly sharp saw through a low-pass with a bright attack, and a
// 5.5 Hz vibrato on held notes.
static void renderLead(const Note& n, uint32_t, float* l, float* r, int64_t len) {
    Envelope amp(0.003, 0.4, 0.7, n.gate, releaseOf(n));
    double hz = midiHz(n.pitch);
    Saw a, b, c;
    b.phase = 0.5;
    c.phase = 0.25;
    Filter fl, fr;
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        // Vibrato only on held notes, fading in after the attack.
        double depth = t > 0.18 ? fmin((t - 0.18) / 0.2, 1.0) * 0.004 : 0.0;
        double f = hz * (1.0 + depth * sin(twoPi * 5.5 * t));
        if ((i & 31) == 0) {
            double cut = (900.0 + 3200.0 * n.bright) * (0.7 + 1.4 * exp(-t / 0.12));
            fl.tune(cut, 1.1);
            fr.tune(cut, 1.1);
        }
        double sq = a.next(f) - b.next(f);  // two saws half a cycle apart make a square
        double s2 = c.next(f * 1.003);
        fl.run(0.6 * sq + 0.5 * s2);
        fr.run(0.6 * sq - 0.2 * s2);
        double e = amp.at(i) * n.velocity;
        l[i] = (float)(fl.low * e);
        r[i] = (float)(fr.low * e);
    }
}

// Arpeggio: a two-operator FM pluck (modulator an octave up) whose brightness dies away
// in 0.09 s, drifting slowly between the sides.
static void renderArp(const Note& n, uint32_t, float* l, float* r, int64_t len) {
    Envelope amp(0.0015, 0.22, 0.0, n.gate, releaseOf(n));
    double hz = midiHz(n.pitch);
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        double index = (0.6 + 2.2 * n.bright) * exp(-t / 0.09);
        double v = sin(twoPi * hz * t + index * sin(twoPi * 2.0 * hz * t));
        double e = amp.at(i) * n.velocity;
        l[i] = (float)(v * e * (0.8 + 0.2 * sin(twoPi * 0.7 * t)));
        r[i] = (float)(v * e * (0.8 - 0.2 * sin(twoPi * 0.7 * t)));
    }
}

// Tom: a shell tone that falls a few semitones onto its note in 60 ms, with a second mode
// 1.5 times up and a short stick noise.
static void renderTom(const Note& n, uint32_t seed, float* l, float* r, int64_t len) {
    Noise noise(seed);
    Filter stick;
    stick.tune(1800.0, 0.8);
    const double hz = midiHz(n.pitch);
    double phase = 0, upper = 0;
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        double f = hz * (1.0 + 0.25 * exp(-t / 0.06));
        phase += f * secondsPerSample;
        upper += 1.5 * f * secondsPerSample;
        double shell = (sin(twoPi * phase) + 0.3 * sin(twoPi * upper) * exp(-t / 0.08)) * hitEnvelope(i, len, 0.001, 0.22);
        stick.run(noise.next());
        double v = tanh(1.4 * (shell + 0.25 * stick.band * hitEnvelope(i, len, 0.0005, 0.006))) * n.velocity;
        l[i] = r[i] = (float)v;
    }
}

// Piano-like tone: slightly stretched partials, the higher ones dying sooner, struck by a
// hammer whose felt thumps low and short (a knock near 110 Hz and a burst of dull noise,
// some 20 dB under the note).
static void renderPiano(const Note& n, uint32_t seed, float* l, float* r, int64_t len) {
    Noise noise(seed);
    Filter felt;
    felt.tune(180.0, 0.9);
    const double hz = midiHz(n.pitch);
    const int partials = 10;
    const int64_t gate = std::max(n.gate, samplesOf(0.05));
    const int64_t releaseSamples = samplesOf(releaseOf(n));
    for (int64_t i = 0; i < len; i++) {
        double t = i * secondsPerSample;
        double tone = 0;
        for (int k = 1; k <= partials; k++) {
            double fk = k * hz * sqrt(1.0 + 0.0004 * k * k);
            if (fk > 0.45 * sampleRate) break;
            tone += sin(twoPi * fk * t) / k * exp(-t * (0.8 + 0.6 * k));
        }
        double attack = t < 0.002 ? t / 0.002 : 1.0;
        double damper = i < gate ? 1.0 : std::max(0.0, 1.0 - (double)(i - gate) / releaseSamples);
        felt.run(noise.next());
        double thump = (0.5 * sin(twoPi * 110.0 * t) + 0.8 * felt.band) * hitEnvelope(i, len, 0.0008, 0.012);
        double v = (0.6 * tone * attack * damper + 0.06 * thump) * n.velocity;
        l[i] = r[i] = (float)v;
    }
}

static int64_t noteLength(const Note& n) {
    switch (n.instrument) {
    case kick: return samplesOf(0.5);
    case snare: return samplesOf(0.35);
    case clap: return samplesOf(0.45);
    case hat: return samplesOf(0.12);
    case openhat: return samplesOf(0.6);
    case crash: return samplesOf(3.5);
    case tom: return samplesOf(0.45);
    case piano: return std::max(n.gate, samplesOf(0.05)) + samplesOf(releaseOf(n)) + 1;
    case bass:
    case chord:
    case lead:
    case arp: return std::max(n.gate, samplesOf(0.006)) + samplesOf(releaseOf(n)) + 1;
    default: return 1;
    }
}

void renderNote(const Note& n, uint32_t seed, std::vector<float>& left,
                std::vector<float>& right) {
    int64_t len = noteLength(n);
    left.assign(len, 0.0f);
    right.assign(len, 0.0f);
    float* l = left.data();
    float* r = right.data();
    switch (n.instrument) {
    case kick: renderKick(n, seed, l, r, len); break;
    case snare: renderSnare(n, seed, l, r, len); break;
    case clap: renderClap(n, seed, l, r, len); break;
    case hat: renderCymbal(n, seed, l, r, len, 0.028, 7500.0); break;
    case openhat: renderCymbal(n, seed, l, r, len, 0.16, 6500.0); break;
    case crash: renderCymbal(n, seed, l, r, len, 0.9, 3800.0); break;
    case bass: renderBass(n, seed, l, r, len); break;
    case chord: renderChord(n, seed, l, r, len); break;
    case lead: renderLead(n, seed, l, r, len); break;
    case arp: renderArp(n, seed, l, r, len); break;
    case tom: renderTom(n, seed, l, r, len); break;
    case piano: renderPiano(n, seed, l, r, len); break;
    default: break;
    }
    left[len - 1] = right[len - 1] = 0.0f;
}
