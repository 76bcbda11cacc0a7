// The pyramid: a song's samples, halved in rate level by level, to windowed power spectra.
#pragma once
#include <fftw3.h>

#include <vector>

#include "score/tuning.h"

// The stages' per-frame loops run over every frame of a song: where the processor has
// AVX2 they take eight floats at a time. The operations and their order are the same
// (nothing is fused or reordered), so the results are too. For static functions only.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define wideLoops __attribute__((target_clones("avx2", "default")))
#else
#define wideLoops
#endif

// A level's recent samples, one channel: as many as the frames kept reach back, and a
// window and the filter's reach more. buffer[0] is sample 'first' (in the level's
// samples); samples before the song are silence.
struct Level {
    std::vector<float> buffer;
    long long first = 0;  // index of buffer[0]
    long long count = 0;  // samples produced so far
    int kept = 0;         // samples the stages behind may still read
};

// Frames count at stride 1: frame f's windows end at input sample f * hopSamples.
struct Pyramid {
    int channels = 1;
    Level levels[maxAnalysisChannels][pyramidLevels];
    float* in = nullptr;  // the transform's input and outputs (one a channel), and its plan
    fftwf_complex* out = nullptr;
    fftwf_complex* outOther = nullptr;
    fftwf_plan plan = nullptr;
    long long framesMade = 0;  // frames whose spectra are made
    // Power spectra of the kept levels, per frame (ring); the channels' powers summed.
    float power[keptLevels][lookBackFrames][fftBins];
};

// One frame's spectra as the bands read them, by framed level; null where not made.
struct FrameSpectra {
    const float* mix[framedLevels];  // the power of the channels' mix: the timing's (no mid level)
    const float* sum[framedLevels];  // the channels' powers summed: the spread's
    float mixPower[framedLevels][fftBins];
    float midPower[fftBins];
};

// The analyser opens one with its channel count (1 or 2); everything it needs is
// allocated here. Closing frees it.
void openPyramid(Pyramid* p, int channels);
void closePyramid(Pyramid* p);

// Up to feedChunk input frames (interleaved channels): clipped, then every level made
// that they allow.
void takeSamples(Pyramid* p, const float* samples, int frames);
// Whether every level has the samples that frame f's spectra need.
bool frameReady(const Pyramid& p, long long f);
// Frame f's spectra, frames in order: the kept levels' and their mixes, and with withMid
// the mid level's summed powers too (the spread reads it every other frame).
void takeSpectra(Pyramid* p, long long f, bool withMid, FrameSpectra* spectra);
// A level's power spectrum for the window ending with frame f: kept for the kept levels
// (f among the last lookBackFrames made), made into scratch (fftBins) for the others.
const float* levelSpectrum(Pyramid* p, int level, long long f, float* scratch);
