// The composer's mastering: the song's loudness and true peak, and the gain that brings a
// mix to the target with its true peaks under the ceiling.
#pragma once
#include <vector>

#include "synth.h"

constexpr double targetLufs = -14.0;            // integrated loudness of the master
constexpr double truePeakCeilingDbtp = -1.0;    // of the encoded song, as a player decodes it
// The encoder moves peaks a little: the master aims this far below the ceiling.
constexpr double encoderMarginDb = 0.5;
constexpr int stereo = 2;

struct Mix {
    std::vector<float> left, right, send;
};

// Integrated loudness (LUFS) and true peak (dBTP) of a stereo signal, as the standard
// defines them, measured by libebur128.
struct Loudness {
    double integratedLufs, truePeakDbtp;
};

// The encoded file read back as a player would decode it, measured; false if it does not decode.
bool measureEncoded(const char* path, Loudness* m);
// Gain for every sample of the mix, and the master it makes, measured.
std::vector<float> masterGain(const Mix& mix, Loudness* mastered);
// The mix times the gain, sample by sample.
void applyGain(const Mix& mix, const std::vector<float>& gain, std::vector<float>& outL, std::vector<float>& outR);
