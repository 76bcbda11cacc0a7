// The composer's instruments: one note in, its rendered stereo samples out.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/audio_format.h"

constexpr int sampleRate = audioRateHz;  // Hz, the song's rate

// Ordered as the ground truth lists notes that start on the same sample. The tom and the
// piano play only in the test material, never in our song.
enum Instrument { kick, snare, clap, hat, openhat, crash, bass, chord, lead, arp, tom, piano, instrumentCount };

struct Note {
    int64_t start = 0;          // sample where the attack begins: the moment the onset is heard
    int64_t gate = 0;           // samples held before the release (ignored by drums)
    Instrument instrument = kick;
    int pitch = 36;             // MIDI note; drums carry their General MIDI drum number, a tom its shell's note
    double velocity = 1.0;      // 0..1
    double bright = 0.5;        // 0..1, how far the passage has opened the filters
    double release = 0.0;       // seconds of fade after the gate; 0: the instrument's own
};

// The lowercase one-word name the ground truth file uses.
const char* instrumentName(Instrument instrument);

// Renders one note, from its attack to the end of its release, into left and right
// (resized to the note's length; unscaled by the mix). seed makes its noise differ from
// other notes' while every render stays identical. The last sample is always 0.
void renderNote(const Note& note, uint32_t seed, std::vector<float>& left,
                std::vector<float>& right);
