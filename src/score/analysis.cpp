// The onset analysis: feeds a song frame by frame through the pyramid, the bands and the moments.
#include "score/analysis.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "score/bands.h"
#include "score/moments.h"
#include "score/pyramid.h"
#include "score/tuning.h"

// A decimation pyramid with one short FFT per level, band onsets pooled into moments for
// the timing, and each moment's columns taken from the spectral peaks that its bands show
// new, every region of the spectrum at the resolution its notes need.

double columnFrequency(double column) {
    return lowestColumnHz * pow(highestColumnHz / lowestColumnHz, column / (onsetColumnCount - 1));
}

double frequencyColumn(double hz) {
    return (onsetColumnCount - 1) * log(hz / lowestColumnHz) / log(highestColumnHz / lowestColumnHz);
}

// Made value-initialised: the stages' rings and counts start at zero.
struct AnalyserState {
    int channels = 1;
    long long nextFrame = 0;  // the next frame to analyse (stride 1)
    bool finished = false;
    Pyramid pyramid;
    Bands bands;
    Moments moments;
};

OnsetAnalyser::OnsetAnalyser(OnsetSink sink, void* user, int channels) : state(new AnalyserState()) {
    assert(channels >= 1 && channels <= maxAnalysisChannels);
    AnalyserState* s = state;
    s->channels = channels;
    openPyramid(&s->pyramid, channels);
    openBands(&s->bands, channels);
    openMoments(&s->moments, sink, user);
}

OnsetAnalyser::~OnsetAnalyser() {
    closePyramid(&state->pyramid);
    delete state;
}

// Frame f's whole analysis: its spectra, then the bands, which run behind by the frames
// they read ahead, then the moments behind the frame the bands tested.
static void analyseFrame(AnalyserState* s, long long f) {
    FrameSpectra spectra;
    takeSpectra(&s->pyramid, f, spreadDue(s->bands, f), &spectra);
    const long long tested = analyseBands(&s->bands, spectra, f);
    if (tested >= 0) analyseMoments(&s->moments, &s->pyramid, s->bands, tested);
}

void OnsetAnalyser::feed(const float* samples, int frames) {
    AnalyserState* s = state;
    assert(!s->finished);
    for (int done = 0; done < frames;) {
        const int n = std::min(feedChunk, frames - done);
        takeSamples(&s->pyramid, samples + (size_t)done * s->channels, n);
        done += n;
        while (frameReady(s->pyramid, s->nextFrame)) analyseFrame(s, s->nextFrame++);
    }
}

void OnsetAnalyser::finish() {
    AnalyserState* s = state;
    if (s->finished) return;
    static const float silence[maxAnalysisChannels * feedChunk] = {};
    for (long long left = (long long)(flushSeconds * analysisRateHz); left > 0; left -= feedChunk)
        feed(silence, (int)std::min((long long)feedChunk, left));
    s->finished = true;
    finishMoments(&s->moments);
}

int32_t OnsetAnalyser::horizonMs() const { return state->moments.horizon; }
