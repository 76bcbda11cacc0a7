// The onset analysis: a song's samples in, one pass with bounded look-ahead, onset records
// out whose columns are the frequencies where new notes sound. Used by the scorer, the
// player and the capture tool; it needs FFTW and nothing of the show.
#pragma once
#include <cstdint>

#include "data/onset_table.h"
#include "platform/audio_format.h"

constexpr int analysisRateHz = audioRateHz;  // the analyser takes float samples at this rate
// Stereo is analysed as such: a note whose voices cancel in a mono mix (detuned saws
// spread left and right) still shows in the channels' powers. Mono is taken too.
constexpr int maxAnalysisChannels = 2;
// Records come out at most this far behind the samples fed: a moment is weighed against
// its neighbours two seconds either side, and the bands need a moment more.
constexpr int32_t analysisLookAheadMs = 3000;

// The columns are a frequency axis: log-spaced centres from 30 Hz (column 0) to 16 kHz
// (the last column), some 49 columns to the octave.
constexpr double lowestColumnHz = 30.0;
constexpr double highestColumnHz = 16000.0;

// Centre frequency of a column (fractional columns allowed), Hz, and the inverse.
double columnFrequency(double column);
double frequencyColumn(double hz);

// Receives each record, in strictly ascending timeMs, each with at least one column set.
// Called from inside feed() and finish() only, on the caller's thread.
using OnsetSink = void (*)(const OnsetFrame& record, void* user);

struct AnalyserState;

// One song's analysis. Everything is allocated when it is made; feed() and finish() only
// compute, so its memory does not grow with the song. The records depend on the samples
// alone: not on how they are split between feed() calls, nor on the run. Analysers may be
// made, used and destroyed on any threads, each used by one thread at a time.
class OnsetAnalyser {
public:
    // channels: 1 (mono) or 2 (interleaved left, right). The same song scores differently
    // in mono and in stereo; xoon-score feeds stereo.
    explicit OnsetAnalyser(OnsetSink sink, void* user, int channels = 1);
    ~OnsetAnalyser();
    OnsetAnalyser(const OnsetAnalyser&) = delete;
    OnsetAnalyser& operator=(const OnsetAnalyser&) = delete;

    // The song's next frames (channels floats each, analysisRateHz, nominally -1..1), in
    // chunks of any size.
    void feed(const float* samples, int frames);
    // The end of the song: emits every record left. Nothing may be fed after it.
    void finish();
    // Every record with timeMs below this has been emitted. It never decreases; after
    // feeding S seconds it is at least S * 1000 - analysisLookAheadMs.
    int32_t horizonMs() const;

private:
    AnalyserState* state;
};
