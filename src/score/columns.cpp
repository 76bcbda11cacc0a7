// The columns: a moment to the columns it lights, from the spectral peaks its bands show new.
#include "score/columns.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

// Frames here count at stride 1; a moment's frame t is fractional.

// Each column's centre frequency, Hz, made once for every analyser.
struct ColumnTable {
    double hz[onsetColumnCount];
};

static const double* columnHzTable() {
    static const ColumnTable t = [] {
        ColumnTable made;
        for (int c = 0; c < onsetColumnCount; c++) made.hz[c] = columnFrequency(c);
        return made;
    }();
    return t.hz;
}

struct Peak {
    float db;        // power after the onset, dB
    float rise;      // over the frame before, dB
    float evidence;  // the sharpest band rise that shows it new, nats
    float score;
    int column, region;
};

// The sharpest rise of each band heard near the moment (nats; 0: none).
static void bandRises(const Bands& bands, double t, float* rose) {
    const double* hz = columnHzTable();
    for (int c = 0; c < onsetColumnCount; c++) {
        double late = std::min(freshLateCap, std::max(freshEarly, bassPeriods / hz[c] * framesPerSecond));
        rose[c] = 0;
        for (int i = 0; i < roseKept; i++)
            if (bands.rose[c][i] >= t - freshEarly && bands.rose[c][i] <= t + late) rose[c] = std::max(rose[c], bands.roseBy[c][i]);
    }
}

// The peaks of the spectrum just after t (frames), region by region, with how much each
// rose over the window just before.
static int findPeaks(Pyramid* pyramid, double t, Peak* peaks) {
    int count = 0;
    float scratch[pyramidLevels][2][fftBins];
    const float* after[pyramidLevels] = {};
    const float* before[pyramidLevels] = {};
    for (int b = 0; b < regionCount; b++) {
        const Region& region = regions[b];
        const int level = region.level;
        if (!after[level]) {
            const double windowFrames = fftSize * (double)(1 << level) / hopSamples;
            after[level] = levelSpectrum(pyramid, level, lround(t + windowFrames), scratch[level][0]);
            before[level] = levelSpectrum(pyramid, level, lround(t), scratch[level][1]);
        }
        const float* a = after[level];
        const float* w = before[level];
        const double binHz = (double)(analysisRateHz >> level) / fftSize;
        int first = std::max(1, (int)ceil(region.lowHz / binHz) - 1), last = std::min(fftBins - 2, (int)floor(region.highHz / binHz) + 1);
        for (int k = first; k <= last; k++) {
            if (!(a[k] > a[k - 1] && a[k] >= a[k + 1])) continue;
            double l = log(a[k - 1] + silencePower), c = log(a[k] + silencePower), r = log(a[k + 1] + silencePower);
            double den = l - 2 * c + r;
            double shift = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
            double hz = (k + shift) * binHz;
            if (hz < region.lowHz || hz >= region.highHz) continue;
            float was = std::max({w[k - 1], w[k], w[k + 1]});
            Peak& p = peaks[count++];
            p.db = (float)(10 * log10(a[k] + silencePower));
            p.rise = (float)(10 * log10((a[k] + silencePower) / (was + silencePower)));
            p.evidence = 0;
            p.score = 0;
            p.column = std::clamp((int)lround(frequencyColumn(hz)), 0, onsetColumnCount - 1);
            p.region = b;
        }
    }
    return count;
}

// The moment's columns: the peaks its bands show new, best first, within each region's
// share and the moment's budget.
void lightColumns(Pyramid* pyramid, const Bands& bands, double t, double lowStrength, OnsetFrame* record) {
    // Columns from a frequency to its h-th harmonic.
    static const double harmonicColumns[harmonicsCounted + 1] = {
        0, 0, frequencyColumn(2 * lowestColumnHz), frequencyColumn(3 * lowestColumnHz), frequencyColumn(4 * lowestColumnHz)};
    static_assert(harmonicsCounted == 4, "one distance per harmonic");
    float rose[onsetColumnCount];
    bandRises(bands, t, rose);
    Peak peaks[regionCount * fftBins];
    const int count = findPeaks(pyramid, t, peaks);
    // Each band that rose shows the peaks within its bins new.
    const BandLayout& layout = *bands.spread.layout;
    const double* columnHz = columnHzTable();
    bool lowSure = false, highSure = false;
    float lowestRose = 0, shown[onsetColumnCount] = {};
    for (int c = 0; c < onsetColumnCount; c++) {
        if (rose[c] <= 0) continue;
        lowSure = lowSure || (rose[c] >= lowSureRise && columnHz[c] < crossoverHz);
        highSure = highSure || (rose[c] >= highSureRise && columnHz[c] >= crossoverHz);
        if (columnHz[c] < lowestRiseHz) lowestRose = std::max(lowestRose, rose[c]);
        for (int k = layout.freshFrom[c]; k <= layout.freshTo[c]; k++) shown[k] = std::max(shown[k], rose[c]);
    }
    // A note whose partials rose started too: its harmonics' evidence counts for it.
    float own[onsetColumnCount] = {};
    for (int i = 0; i < count; i++) {
        peaks[i].evidence = shown[peaks[i].column];
        own[peaks[i].column] = std::max(own[peaks[i].column], peaks[i].evidence);
    }
    float regionLoudest[regionCount], loudest = -1000;
    for (float& r : regionLoudest) r = -1000;
    for (int i = 0; i < count; i++) {
        Peak& p = peaks[i];
        for (int h = 2; h <= harmonicsCounted; h++) {
            const double hc = p.column + harmonicColumns[h];
            const int from = std::max(0, (int)ceil(hc - harmonicToleranceColumns));
            const int to = std::min(onsetColumnCount - 1, (int)floor(hc + harmonicToleranceColumns));
            for (int c = from; c <= to; c++) p.evidence = std::max(p.evidence, own[c]);
        }
        if (p.region == 0) p.evidence = p.rise >= lowestGrowDb ? lowestRose : 0.0f;
        const double hz = columnHz[p.column];
        if (p.region >= firstHighRegion)
            p.score = (float)(p.db + highRiseWeight * std::clamp((double)p.rise, -riseCapDb, highRiseCapDb));
        else
            p.score = (float)(p.db + riseWeight * std::clamp((double)p.rise, -riseCapDb, riseCapDb) -
                              tiltDbPerOctave * std::max(0.0, log2(std::min(hz, tiltToHz) / tiltFromHz)));
        regionLoudest[p.region] = std::max(regionLoudest[p.region], p.db);
        loudest = std::max(loudest, p.db);
    }
    int order[regionCount * fftBins];
    for (int i = 0; i < count; i++) order[i] = i;
    std::sort(order, order + count, [&](int a, int b) {
        return peaks[a].score != peaks[b].score ? peaks[a].score > peaks[b].score : peaks[a].column < peaks[b].column;
    });
    const int lowBudget = std::min(lowBudgetMost, (int)lround(lowBudgetBase + lowBudgetPerNat * lowStrength));
    int lit[onsetColumnCount], litCount = 0, perRegion[regionCount] = {}, lowCount = 0, highCount = 0;
    for (int n = 0; n < count; n++) {
        const Peak& p = peaks[order[n]];
        const bool high = p.region >= firstHighRegion;
        if (p.evidence <= 0) continue;
        if (high ? !highSure : !lowSure && p.evidence < lowLeastRise) continue;
        if (p.rise < -fallDb || p.db < loudest - rangeDb || p.db < regionLoudest[p.region] - regionRangeDb) continue;
        if (perRegion[p.region] >= regions[p.region].most) continue;
        if ((high ? highCount : lowCount) >= (high ? highBudget : lowBudget)) continue;
        bool clear = true;
        for (int j = 0; j < litCount && clear; j++) clear = abs(lit[j] - p.column) >= apartColumns;
        if (!clear) continue;
        lit[litCount++] = p.column;
        perRegion[p.region]++;
        (high ? highCount : lowCount)++;
    }
    // The moment itself is sure (its bands rose together): it flashes at least its
    // likeliest note or sound.
    for (int n = 0; n < count && litCount == 0; n++)
        if (peaks[order[n]].evidence > 0) lit[litCount++] = peaks[order[n]].column;
    for (int j = 0; j < litCount; j++) record->mask[lit[j] / maskWordBits] |= 1u << (lit[j] % maskWordBits);
}
