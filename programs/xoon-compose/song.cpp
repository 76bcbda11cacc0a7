// The song's score: an A-minor electronic track at 128 beats per minute, bar by bar.
// Passages, in bars of 1.875 s: 0-7 sparse opening (pads, then hats, then the kick),
// 8-15 first build, 16-31 first peak (the theme), 32-39 groove with the arpeggio, 40-47
// second build (snare roll), 48-63 second peak (theme, then its answer), 64-75 breakdown
// (no drums, the theme held; a roll brings the kick back), 76-91 finale (answer, then
// theme, in thirds), 92-99 outro thinning out, 100 the last chord and its ring-out.
#include "song.h"

#include <cmath>

static const double beatsPerMinute = 128.0;
static const int stepsPerBar = 16;  // sixteenth notes
static const double samplesPerStep = sampleRate * 60.0 / beatsPerMinute / 4.0;
static const int finalBar = 100;    // the closing chord; the ring-out fills the rest

// The loop under the whole song: Am, F, C, G, one bar each, voiced close around middle C.
static const int chordTones[4][4] = {{57, 60, 64, 69}, {57, 60, 65, 69}, {55, 60, 64, 67},
                                     {55, 59, 62, 67}};
static const int bassRoots[4] = {45, 41, 48, 43};
// The same loop coloured for the breakdown and the outro: Am add 9, F major 7, C add 9, G 6.
static const int lushTones[4][4] = {{57, 60, 64, 71}, {53, 57, 60, 64}, {55, 60, 62, 64},
                                    {55, 59, 62, 64}};

struct MelodyNote {
    int bar, step, steps, pitch;  // bar within the eight-bar phrase
};
// The lead's eight-bar phrase: dotted three-three-two figures that rise, then answer.
static const MelodyNote melody[] = {
    {0, 0, 3, 69}, {0, 3, 3, 72}, {0, 6, 2, 76}, {0, 8, 4, 81}, {0, 12, 2, 79}, {0, 14, 2, 76},
    {1, 0, 3, 77}, {1, 3, 3, 76}, {1, 6, 2, 72}, {1, 8, 6, 69},
    {2, 0, 3, 67}, {2, 3, 3, 72}, {2, 6, 2, 76}, {2, 8, 4, 79}, {2, 12, 2, 77}, {2, 14, 2, 76},
    {3, 0, 3, 74}, {3, 3, 3, 76}, {3, 6, 2, 74}, {3, 8, 6, 71},
    {4, 0, 3, 69}, {4, 3, 3, 72}, {4, 6, 2, 76}, {4, 8, 4, 81}, {4, 12, 2, 79}, {4, 14, 2, 76},
    {5, 0, 3, 77}, {5, 3, 3, 81}, {5, 6, 2, 84}, {5, 8, 4, 81}, {5, 12, 2, 79}, {5, 14, 2, 77},
    {6, 0, 3, 76}, {6, 3, 3, 79}, {6, 6, 2, 76}, {6, 8, 4, 72}, {6, 12, 2, 74}, {6, 14, 2, 76},
    {7, 0, 3, 74}, {7, 3, 3, 76}, {7, 6, 2, 79}, {7, 8, 8, 83},
};

// The answering phrase of the second peak and the finale: higher, longer notes.
static const MelodyNote answer[] = {
    {0, 0, 4, 76}, {0, 4, 4, 81}, {0, 8, 6, 84}, {0, 14, 2, 83},
    {1, 0, 6, 81}, {1, 6, 2, 79}, {1, 8, 4, 77}, {1, 12, 4, 76},
    {2, 0, 4, 79}, {2, 4, 4, 84}, {2, 8, 6, 88}, {2, 14, 2, 86},
    {3, 0, 6, 86}, {3, 6, 2, 84}, {3, 8, 8, 83},
    {4, 0, 4, 76}, {4, 4, 4, 81}, {4, 8, 6, 84}, {4, 14, 2, 83},
    {5, 0, 6, 81}, {5, 6, 2, 84}, {5, 8, 4, 81}, {5, 12, 4, 77},
    {6, 0, 3, 79}, {6, 3, 3, 76}, {6, 6, 2, 79}, {6, 8, 4, 84}, {6, 12, 2, 83}, {6, 14, 2, 84},
    {7, 0, 4, 86}, {7, 4, 4, 83}, {7, 8, 4, 79}, {7, 12, 4, 83},
};

// Syncopated stab rhythm (three, three, four, two, four sixteenths).
static const int stabSteps[] = {0, 3, 6, 10, 12};
// Order of chord tones in the sixteenth-note arpeggio.
static const int arpOrder[stepsPerBar] = {0, 1, 2, 3, 1, 2, 3, 2, 0, 1, 2, 3, 2, 3, 1, 2};

static std::vector<Note> notes;

static int64_t stepSample(int bar, int step) {
    return (int64_t)llround((bar * stepsPerBar + step) * samplesPerStep);
}

static void add(Instrument instrument, int bar, int step, double steps, int pitch,
                double velocity, double bright) {
    Note n;
    n.start = stepSample(bar, step);
    n.gate = (int64_t)llround(steps * samplesPerStep);
    n.instrument = instrument;
    n.pitch = pitch;
    n.velocity = velocity;
    n.bright = bright;
    notes.push_back(n);
}

// Drums carry their General MIDI numbers.
static void drum(Instrument instrument, int bar, int step, double velocity) {
    static const int drumPitch[] = {36, 38, 39, 42, 46, 49};
    add(instrument, bar, step, 1, drumPitch[instrument], velocity, 1.0);
}

// A third below in A minor, for the lead's second voice.
static int thirdBelow(int pitch) {
    static const int scale[] = {0, 2, 3, 5, 7, 8, 10};  // A minor from A
    int rel = ((pitch - 57) % 12 + 12) % 12, octave = (pitch - 57 - rel) / 12;
    int degree = 0;
    while (degree < 6 && scale[degree] != rel) degree++;
    int d = degree - 2, oct = octave;
    if (d < 0) {
        d += 7;
        oct--;
    }
    return 57 + oct * 12 + scale[d];
}

static double ramp(int bar, int from, int to, double a, double b) {
    return a + (b - a) * (double)(bar - from) / (double)(to - from);
}

// How far the filters stand open in each passage: closed in the opening, swept open in the
// builds, wide in the peaks.
static double brightness(int bar) {
    if (bar < 8) return ramp(bar, 0, 8, 0.15, 0.35);
    if (bar < 16) return ramp(bar, 8, 16, 0.35, 0.8);
    if (bar < 32) return 0.85;
    if (bar < 40) return 0.6;
    if (bar < 48) return ramp(bar, 40, 48, 0.4, 0.9);
    if (bar < 64) return 0.9;
    if (bar < 72) return 0.3;
    if (bar < 76) return ramp(bar, 72, 76, 0.3, 0.9);
    if (bar < 92) return 1.0;
    return ramp(bar, 92, finalBar, 0.8, 0.3);
}

static bool inBars(int bar, int from, int to) { return bar >= from && bar < to; }

static bool isPeak(int bar) {
    return inBars(bar, 16, 32) || inBars(bar, 48, 64) || inBars(bar, 76, 92);
}

static void arrangeDrums(int bar) {
    bool fourOnFloor = inBars(bar, 4, 15) || inBars(bar, 16, 46) || inBars(bar, 48, 64) ||
                       inBars(bar, 76, 100);
    for (int beat = 0; beat < 4; beat++) {
        if (fourOnFloor || (bar == 15 && beat < 2) || inBars(bar, 72, 74) ||
            (bar == finalBar && beat == 0))
            drum(kick, bar, beat * 4, beat == 0 ? 1.0 : 0.95);
    }
    bool claps = inBars(bar, 8, 15) || inBars(bar, 16, 46) || inBars(bar, 48, 64) ||
                 inBars(bar, 76, 96);
    if (claps) {
        drum(clap, bar, 4, 0.9);
        drum(clap, bar, 12, 0.9);
    }
    // Snare rolls that tighten towards each peak.
    int rollStep = 0;
    double rollFrom = 0.3, rollTo = 1.0;
    int rollStart = 0, rollEnd = 0;
    if (bar == 15) rollStep = 2, rollStart = 15, rollEnd = 16;
    if (inBars(bar, 40, 48)) {
        rollStep = bar < 42 ? 4 : (bar < 45 ? 2 : 1);
        rollStart = 40, rollEnd = 48;
    }
    if (inBars(bar, 72, 76)) {
        rollStep = bar < 73 ? 4 : (bar < 74 ? 2 : 1);
        rollStart = 72, rollEnd = 76;
    }
    if (rollStep) {
        for (int s = 0; s < stepsPerBar; s += rollStep) {
            double at = (bar - rollStart) + s / (double)stepsPerBar;
            drum(snare, bar, s, rollFrom + (rollTo - rollFrom) * at / (rollEnd - rollStart));
        }
    } else if (bar % 8 == 7 && (isPeak(bar) || inBars(bar, 32, 40))) {
        for (int s = 12; s < stepsPerBar; s++) drum(snare, bar, s, 0.5 + 0.1 * (s - 12));
    }
    // Hats: off-beats in the opening and builds, sixteenths with open off-beats in the peaks.
    bool peakHats = isPeak(bar) || inBars(bar, 92, 96);
    bool sixteenths = peakHats || inBars(bar, 12, 16) || inBars(bar, 32, 40);
    bool offbeats = inBars(bar, 2, 12) || inBars(bar, 40, 48) || inBars(bar, 72, 76) ||
                    inBars(bar, 96, 100);
    for (int s = 0; s < stepsPerBar; s++) {
        if (peakHats && s % 4 == 2) {
            drum(openhat, bar, s, 0.75);
        } else if (sixteenths) {
            drum(hat, bar, s, s % 4 == 2 ? 0.8 : (s % 2 ? 0.4 : 0.55));
        } else if (offbeats && s % 4 == 2) {
            drum(hat, bar, s, bar < 8 ? 0.55 : 0.75);
        }
    }
    if (bar == 16 || bar == 32 || bar == 48 || bar == 56 || bar == 76 || bar == 84 ||
        bar == finalBar)
        drum(crash, bar, 0, 0.8);
}

static void arrangeBass(int bar, int c, double br) {
    int root = bassRoots[c];
    if (isPeak(bar) || inBars(bar, 92, 96)) {
        for (int s = 0; s < stepsPerBar; s++) {
            if (s % 4 == 0) continue;  // the kick owns the beat
            add(bass, bar, s, 0.7, s % 4 == 2 ? root + 12 : root, s % 4 == 2 ? 0.9 : 0.75, br);
        }
    } else if (inBars(bar, 32, 40)) {
        static const int groove[] = {2, 3, 6, 10, 11, 14};
        for (int s : groove) add(bass, bar, s, s % 4 == 3 ? 0.7 : 1.2, root, 0.85, br);
    } else if (inBars(bar, 6, 32) || inBars(bar, 40, 48) || inBars(bar, 72, 76) ||
               inBars(bar, 96, 98)) {
        for (int s = 2; s < stepsPerBar; s += 4) add(bass, bar, s, 1.4, root, 0.9, br);
    } else if (inBars(bar, 64, 72)) {
        add(bass, bar, 0, 14, root - 12, 0.8, 0.2);
    } else if (bar == finalBar) {
        add(bass, bar, 0, 24, bassRoots[0] - 12, 0.9, 0.3);
        notes.back().release = 1.5;
    }
}

static void chordNotes(int bar, int step, double steps, int c, int voices, double velocity,
                       double br) {
    for (int v = 0; v < voices; v++) add(chord, bar, step, steps, chordTones[c][v], velocity, br);
}

static void arrangeChords(int bar, int c, double br) {
    bool stabs = inBars(bar, 12, 32) || inBars(bar, 40, 64) || inBars(bar, 76, 92);
    bool pads = bar < 12 || inBars(bar, 32, 40);
    if (stabs) {
        int voices = isPeak(bar) ? 4 : 3;
        for (int s : stabSteps) chordNotes(bar, s, 1.6, c, voices, 0.8, br);
        // The finale's stabs ride on a held pad, an octave down, for its fuller sound.
        if (inBars(bar, 76, 92))
            for (int v = 0; v < 3; v++) add(chord, bar, 0, 15, chordTones[c][v] - 12, 0.35, br * 0.6);
    } else if (inBars(bar, 64, 76) || inBars(bar, 92, 100)) {
        for (int v = 0; v < 4; v++) add(chord, bar, 0, 15, lushTones[c][v], 0.5, br);
    } else if (pads) {
        chordNotes(bar, 0, 15, c, 3, bar < 8 ? 0.6 : 0.5, br);
    } else if (bar == finalBar) {
        for (int v = 0; v < 4; v++) {
            add(chord, bar, 0, 24, chordTones[0][v], 0.8, 0.5);
            notes.back().release = 2.5;  // the last chord fades slowly into the ring-out
        }
    }
}

static void arrangeLead(int bar, double br) {
    int phraseBar = -1;
    bool harmony = false, slow = false, answering = false;
    double velocity = 0.85;
    if (inBars(bar, 16, 32)) phraseBar = (bar - 16) % 8;
    if (inBars(bar, 44, 48)) phraseBar = bar - 44, velocity = 0.6;
    if (inBars(bar, 48, 64)) phraseBar = (bar - 48) % 8, answering = bar >= 56;
    if (inBars(bar, 64, 72)) phraseBar = bar - 64, slow = true, velocity = 0.7;
    if (inBars(bar, 76, 92)) phraseBar = (bar - 76) % 8, harmony = true, answering = bar < 84;
    // The outro remembers the theme's opening, quietly and darker.
    if (inBars(bar, 92, 96)) phraseBar = bar - 92, velocity = 0.5, br *= 0.5;
    if (phraseBar < 0) return;
    const MelodyNote* phrase = answering ? answer : melody;
    size_t count = answering ? sizeof answer / sizeof answer[0] : sizeof melody / sizeof melody[0];
    for (size_t i = 0; i < count; i++) {
        const MelodyNote& m = phrase[i];
        if (m.bar != phraseBar) continue;
        if (slow) {
            // Half the notes, held: the breakdown sings the phrase's skeleton.
            if (m.step % 8 == 0) add(lead, bar, m.step, 7, m.pitch, velocity, br * 0.8);
            continue;
        }
        add(lead, bar, m.step, m.steps * 0.8, m.pitch, velocity, br);
        if (harmony) add(lead, bar, m.step, m.steps * 0.8, thirdBelow(m.pitch), velocity * 0.6, br);
    }
}

static void arrangeArp(int bar, int c, double br) {
    int every = 0;
    double velocity = 0.6;
    if (inBars(bar, 32, 40) || inBars(bar, 48, 64) || inBars(bar, 76, 92)) every = 1;
    if (inBars(bar, 64, 72)) every = 2, velocity = 0.45;
    if (inBars(bar, 48, 64) || inBars(bar, 76, 92)) velocity = 0.45;
    if (!every) return;
    for (int s = 0; s < stepsPerBar; s += every)
        add(arp, bar, s, every * 0.6, chordTones[c][arpOrder[s]] + 12, velocity, br);
}

std::vector<Note> arrangeSong() {
    notes.clear();
    for (int bar = 0; bar <= finalBar; bar++) {
        int c = bar % 4;
        double br = brightness(bar);
        arrangeDrums(bar);
        arrangeBass(bar, c, br);
        arrangeChords(bar, c, br);
        arrangeLead(bar, br);
        arrangeArp(bar, c, br);
    }
    return notes;
}
