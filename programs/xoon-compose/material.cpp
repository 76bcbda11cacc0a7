// Test material for the scorer: short arrangements of one kind of sound each, at 120 beats
// per minute, with our song's instruments and the tom and piano that only they play.
#include "material.h"

#include <cmath>
#include <cstring>

const char materialNames[] = "hats kit bass-tom piano";

static const double stepSeconds = 0.125;  // a sixteenth at 120 beats per minute
static const int stepsPerBar = 16;

static void put(std::vector<Note>* notes, Instrument instrument, int bar, double step, double steps, int pitch,
                double velocity) {
    Note n;
    n.start = llround((bar * stepsPerBar + step) * stepSeconds * sampleRate);
    n.gate = llround(steps * stepSeconds * sampleRate);
    n.instrument = instrument;
    n.pitch = pitch;
    n.velocity = velocity;
    n.bright = 0.7;
    notes->push_back(n);
}

// Closed hats, open hats and crashes alone, then the same over a held chord.
static void hatsAlone(std::vector<Note>* notes) {
    for (int bar = 0; bar < 8; bar++) {
        for (int s = 2; s < stepsPerBar; s += 4) put(notes, hat, bar, s, 1, 42, s == 6 ? 0.5 : 0.8);
        put(notes, bar % 2 ? openhat : crash, bar, 0, 1, bar % 2 ? 46 : 49, 0.8);
        if (bar >= 4 && bar % 2 == 0) put(notes, chord, bar, 8, 24, bar % 4 ? 60 : 57, 0.5);
    }
}

// A rock kit: kick, snare, eighth hats, a crash on each phrase and tom fills.
static void drumKit(std::vector<Note>* notes) {
    static const int toms[] = {55, 50, 45, 40};  // high, middle, low and floor tom
    for (int bar = 0; bar < 8; bar++) {
        const bool fill = bar % 4 == 3;
        for (int s = 0; s < (fill ? 8 : stepsPerBar); s += 2) put(notes, hat, bar, s, 1, 42, s % 4 ? 0.5 : 0.75);
        put(notes, kick, bar, 0, 1, 36, 1.0);
        put(notes, kick, bar, 10, 1, 36, 0.9);
        put(notes, snare, bar, 4, 1, 38, 0.9);
        if (!fill) put(notes, snare, bar, 12, 1, 38, 0.9);
        if (fill)
            for (int s = 8; s < stepsPerBar; s++) put(notes, tom, bar, s, 1, toms[(s - 8) / 2], 0.85);
        if (bar % 4 == 0) put(notes, crash, bar, 0, 1, 49, 0.8);
        if (bar % 2 == 1) put(notes, clap, bar, 14, 1, 39, 0.7);
    }
}

// A bass line in the kick's and the toms' octave: kicks on the beats, toms on and off them.
static void bassUnderToms(std::vector<Note>* notes) {
    static const int roots[4] = {33, 36, 41, 38};  // A1, C2, F2, D2: 55 to 87 Hz
    for (int bar = 0; bar < 8; bar++) {
        const int root = roots[bar % 4];
        for (int s = 0; s < stepsPerBar; s += 2) put(notes, bass, bar, s, 1.5, s % 8 == 6 ? root + 12 : root, 0.9);
        for (int s = 0; s < stepsPerBar; s += 4) put(notes, kick, bar, s, 1, 36, 0.95);
        put(notes, tom, bar, 6, 1, 43 - bar % 3 * 2, 0.9);
        put(notes, tom, bar, 10, 1, 40 + bar % 2 * 5, 0.9);
        put(notes, tom, bar, 13, 1, 38, 0.85);
    }
}

// A piano tune alone, single notes from middle C up two octaves.
static void pianoTune(std::vector<Note>* notes) {
    static const int tune[] = {60, 64, 67, 72, 71, 67, 64, 65, 69, 72, 77, 76, 72, 69, 67, 71, 74, 79, 77, 74,
                               71, 72, 76, 79, 84, 81, 77, 74, 72, 67, 64, 60};
    static const int lengths[] = {2, 2, 2, 4, 2, 2, 2, 2};  // sixteenths, a cycle
    double step = 0;
    int i = 0;
    for (int note : tune) {
        const int steps = lengths[i % 8];
        put(notes, piano, 0, step, steps * 0.9, note, 0.6 + 0.1 * (i % 3));
        step += steps;
        i++;
    }
}

bool arrangeMaterial(const char* name, std::vector<Note>* notes, double* seconds) {
    notes->clear();
    if (!strcmp(name, "hats")) hatsAlone(notes), *seconds = 17;
    else if (!strcmp(name, "kit")) drumKit(notes), *seconds = 17;
    else if (!strcmp(name, "bass-tom")) bassUnderToms(notes), *seconds = 17;
    else if (!strcmp(name, "piano")) pianoTune(notes), *seconds = 12;
    else return false;
    return true;
}
