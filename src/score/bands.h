// The bands: a frame's spectra to column bands, their floors, log levels, rises and band onsets.
#pragma once
#include <vector>

#include "score/pyramid.h"
#include "score/tuning.h"

// A column's band: the weights of its bins in its level's spectrum.
struct ColumnBand {
    int firstBin = 0, bins = 0;
    float weights[mostBandBins];
    double inner = 0;  // the weight of every bin but the first and last (wide bands sum by prefix)
};

// Which bins of which level make each column's band.
struct BandLayout {
    ColumnBand bands[onsetColumnCount];
    int level[onsetColumnCount];
    double delayFrames[onsetColumnCount];                  // its rise peaks this long after the onset
    int freshFrom[onsetColumnCount], freshTo[onsetColumnCount];  // columns its bins cover
};

// A column's band as the track sums it. Narrow bands: three bins (repeated past the
// band's last) and their weights (0 past it). Wide ones: the first and last bins and
// their weights, and the inner bins' weight (they come from prefix sums).
struct BandSum {
    int bin[narrowBandBins];
    float weight[narrowBandBins];
    double inner;
};

// Columns of one level whose bands are summed the same way.
struct BandRun {
    int level, from, to;  // columns from to to - 1
    int kind;             // how: see sumBands
};

// One view of the bands over time: powers, their floors, log levels and rises. Each ring
// row holds one of the track's frames' columns; its frame k is frame k * stride.
struct BandTrack {
    const BandLayout* layout = nullptr;
    int columns = onsetColumnCount;  // the bands it follows: columns 0 to this
    int levelFrames = 1;             // frames of log levels kept (a power of two)
    int stride = 1;                  // frames between its own: the spread moves at half the pace
    int binsRead[framedLevels] = {};  // bins of each level its bands read (0: none)
    bool prefixed[framedLevels] = {};  // whether the level's wide bands need prefix sums
    std::vector<BandSum> sums;  // by column
    std::vector<BandRun> runs;  // the columns in order
    int rawRows = rawFrames;  // frames of band powers kept: as long as the floors and the lag wait
    std::vector<float> rawLevel, rawReference;  // rawRows rows
    std::vector<float> loud;
    float songLoud = 0;
    std::vector<float> level;      // levelFrames rows
    std::vector<float> reference;  // referenceFrames rows: the widened level a lag before
    std::vector<float> rise;       // riseFrames rows

    size_t rawRow(long long f) const { return (size_t)((f % rawRows + rawRows) % rawRows); }
    float* rawLevelAt(long long f) { return &rawLevel[rawRow(f) * columns]; }
    float* rawReferenceAt(long long f) { return &rawReference[rawRow(f) * columns]; }
    float* levelAt(long long f) { return &level[(f & (levelFrames - 1)) * columns]; }
    const float* levelAt(long long f) const { return &level[(f & (levelFrames - 1)) * columns]; }
    float* referenceAt(long long f) { return &reference[(f & (referenceFrames - 1)) * columns]; }
    float* riseAt(long long f) { return &rise[(f & (riseFrames - 1)) * columns]; }
    const float* riseAt(long long f) const { return &rise[(f & (riseFrames - 1)) * columns]; }
};

// A band onset of the timing track, as the moments take it.
struct BandOnset {
    double frame;    // heard at this frame (detector delay taken off)
    float strength;  // rise of log power, nats
    float level;     // mean log power over the sound's body
    int column;
};

// The timing track counts frames at stride 1, the spread at spreadStride; the frames
// things are heard at (band onsets, rises) count at stride 1.
struct Bands {
    bool stereo = false;
    BandLayout timingLayout, spreadLayout;
    BandTrack timing;  // the channels' mix, as a listener hears onsets
    BandTrack spread;  // the channels' powers summed: notes whose phases cancel in the mix
    long long lastFired[onsetColumnCount];
    double rose[onsetColumnCount][roseKept];  // recent rises of each band, even weak ones: heard frames
    float roseBy[onsetColumnCount][roseKept];  // and by how much, nats
    unsigned roseCount[onsetColumnCount] = {};
    BandOnset heard[onsetColumnCount];  // the timing's band onsets of the frame tested last, by column
    int heardCount = 0;
};

// The analyser opens them with its channel count (1 or 2); all they keep is allocated
// here. In mono the spread's layout is the timing's, and only the timing is run.
void openBands(Bands* b, int channels);
// Whether frame f (stride 1) is one of the spread's: the pyramid makes its mid level then.
bool spreadDue(const Bands& b, long long f);
// Frame f's spectra (stride 1) into both tracks, and each track's stages as far as their
// look-ahead allows. Returns the frame whose band onsets are now in heard, or -1 while none is.
long long analyseBands(Bands* b, const FrameSpectra& spectra, long long f);
