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

// The columns within harmonicToleranceColumns of a column's harmonic, harmonicDistance
// columns above it.
static void harmonicSpan(double column, double harmonicDistance, int* from, int* to) {
    const double hc = column + harmonicDistance;
    *from = std::max(0, (int)ceil(hc - harmonicToleranceColumns));
    *to = std::min(onsetColumnCount - 1, (int)floor(hc + harmonicToleranceColumns));
}

struct Peak {
    float db;          // power after the onset, dB
    float rise;        // over the window before, in the region's frames, dB
    float shortRise;   // the same in frames half as long (below the high regions), dB
    float prominence;  // over the bins two either side, after the onset, dB
    float evidence;    // the sharpest band rise that shows it new, nats
    float score;
    int column, region;
};

// What a moment's peaks and spectra say about it as a whole.
struct MomentShape {
    float loudest = -1000, regionLoudest[regionCount];
    float lowHitRise = -1000;  // the rise of the loudest sound below the middle, dB
    float middleGainDb = 0;    // power the middle's peaks gained over that gained below it, dB
    float gainDb[regionCount] = {};  // power each region from the middle up gained, per octave, dB
    float highGainDb = -1000, middleGainMostDb = -1000;  // the most a high, a middle region gained
    float lowRise[onsetColumnCount];  // below the middle: each column's rise in its region's frames, dB
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

static float db(double power) { return (float)(10 * log10(power + silencePower)); }

// Power of the three bins around a frequency, in a spectrum of a level.
static double around(const float* power, int level, double hz) {
    const double binHz = (double)(analysisRateHz >> level) / fftSize;
    const int k = std::clamp((int)lround(hz / binHz), 1, fftBins - 2);
    return (double)power[k - 1] + power[k] + power[k + 1];
}

// The peaks of the spectrum just after t (frames), region by region, with how much each
// rose over the window just before, in the region's frames and in frames half as long;
// and the power each region from the middle up gained.
static int findPeaks(Pyramid* pyramid, double t, Peak* peaks, MomentShape* shape) {
    int count = 0;
    float scratch[pyramidLevels][2][fftBins];
    const float* after[pyramidLevels] = {};
    const float* before[pyramidLevels] = {};
    for (const Region& region : regions)
        for (int level = region.level; level >= std::max(0, region.level - 1); level--) {
            if (after[level]) continue;
            const double windowFrames = fftSize * (double)(1 << level) / hopSamples;
            after[level] = levelSpectrum(pyramid, level, lround(t + windowFrames), scratch[level][0]);
            before[level] = levelSpectrum(pyramid, level, lround(t), scratch[level][1]);
        }
    const double* columnHz = columnHzTable();
    for (int c = 0; columnHz[c] < regions[firstMiddleRegion].lowHz; c++) {
        const int level = regions[columnHz[c] < regions[1].lowHz ? 0 : 1].level;
        shape->lowRise[c] = db(around(after[level], level, columnHz[c])) - db(around(before[level], level, columnHz[c]));
    }
    for (int b = 0; b < regionCount; b++) {
        const Region& region = regions[b];
        const int level = region.level;
        const float* a = after[level];
        const float* w = before[level];
        const double binHz = (double)(analysisRateHz >> level) / fftSize;
        int first = std::max(2, (int)ceil(region.lowHz / binHz) - 1), last = std::min(fftBins - 3, (int)floor(region.highHz / binHz) + 1);
        if (b >= firstMiddleRegion) {
            double gained = 0;
            for (int k = first; k <= last; k++) gained += std::max(0.0f, a[k] - w[k]);
            shape->gainDb[b] = db(gained / log2(region.highHz / region.lowHz));
            float& most = b >= firstHighRegion ? shape->highGainDb : shape->middleGainMostDb;
            most = std::max(most, shape->gainDb[b]);
        }
        for (int k = first; k <= last; k++) {
            if (!(a[k] > a[k - 1] && a[k] >= a[k + 1])) continue;
            double l = log(a[k - 1] + silencePower), c = log(a[k] + silencePower), r = log(a[k + 1] + silencePower);
            double den = l - 2 * c + r;
            double shift = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
            double hz = (k + shift) * binHz;
            if (hz < region.lowHz || hz >= region.highHz) continue;
            Peak& p = peaks[count++];
            p.db = db(a[k]);
            p.rise = db(a[k]) - db(std::max({w[k - 1], w[k], w[k + 1]}));
            p.shortRise = b < firstHighRegion ? db(around(after[level - 1], level - 1, hz)) - db(around(before[level - 1], level - 1, hz)) : p.rise;
            p.prominence = db(a[k]) - db(std::max(a[k - 2], a[k + 2]));
            p.evidence = 0;
            p.score = 0;
            p.column = std::clamp((int)lround(frequencyColumn(hz)), 0, onsetColumnCount - 1);
            p.region = b;
        }
    }
    return count;
}

// The moment's loudest peaks, and whether a hit below the middle (a kick, a tom) brought
// far more new power than the middle gained.
static void shapeOf(const Peak* peaks, int count, MomentShape* shape) {
    MomentShape& s = *shape;
    for (float& r : s.regionLoudest) r = -1000;
    for (int i = 0; i < count; i++) {
        s.regionLoudest[peaks[i].region] = std::max(s.regionLoudest[peaks[i].region], peaks[i].db);
        s.loudest = std::max(s.loudest, peaks[i].db);
    }
    double gained[2] = {silencePower, silencePower};  // below the middle, in it
    for (int i = 0; i < count; i++) {
        const Peak& p = peaks[i];
        if (p.region >= firstHighRegion) continue;
        const bool middle = p.region >= firstMiddleRegion;
        if (!middle && p.db >= s.loudest - lowHitRangeDb) s.lowHitRise = std::max(s.lowHitRise, p.rise);
        if (p.rise > 0) gained[middle] += pow(10.0, p.db / 10) * (1 - pow(10.0, -p.rise / 10));
    }
    s.middleGainDb = db(gained[1]) - db(gained[0]);
}

// A peak that rose in both kinds of frames and stands out as a tone: a note that began.
static bool sureNote(const Peak& p) {
    return p.rise >= ownRiseDb && p.shortRise >= ownRiseDb && p.prominence >= toneProminenceDb;
}

// Whether one of harmonics 2 to 'highest' of a column rose near the moment (rose > 0),
// anywhere or above the crossover only.
static bool partialRose(const float* rose, int column, int highest, bool aboveCrossoverOnly) {
    const double* columnHz = columnHzTable();
    for (int h = 2; h <= highest; h++) {
        int from, to;
        harmonicSpan(column, frequencyColumn(h * lowestColumnHz), &from, &to);
        for (int c = from; c <= to; c++)
            if (rose[c] > 0 && (!aboveCrossoverOnly || columnHz[c] >= crossoverHz)) return true;
    }
    return false;
}

// The fundamental of the harmonic series the moment's new tones form, below the middle
// (a column, or -1): the candidate whose harmonics up to seriesReachHz began most, each
// one missing costing seriesMissWeight of one found (the lowest on a tie), if at least
// seriesFewestHarmonics began. A bass note's fundamental under a kick's sweep or a tom's
// ring shows no peak of its own, but its overtones above the drum do.
static int seriesFundamental(const Peak* peaks, int count) {
    const double* columnHz = columnHzTable();
    bool began[onsetColumnCount] = {};
    for (int i = 0; i < count; i++) {
        const Peak& p = peaks[i];
        if (p.region == 0 || p.region >= firstHighRegion || p.evidence <= 0 || p.prominence < toneProminenceDb) continue;
        if (std::max(p.rise, p.shortRise) >= ownRiseDb) began[p.column] = true;
    }
    int best = -1, bestFound = 0;
    double bestScore = 0;
    const int highest = (int)floor(frequencyColumn(regions[firstMiddleRegion].lowHz));
    for (int c0 = (int)ceil(frequencyColumn(seriesLowestHz)); c0 < highest; c0++) {
        int found = 0, tested = 0;
        for (int h = 2; h <= seriesMostHarmonic && h * columnHz[c0] < seriesReachHz; h++, tested++) {
            int from, to;
            harmonicSpan(c0, frequencyColumn(h * lowestColumnHz), &from, &to);
            bool any = false;
            for (int c = from; c <= to && !any; c++) any = began[c];
            found += any;
        }
        const double score = found - seriesMissWeight * (tested - found);
        if (score > bestScore) best = c0, bestScore = score, bestFound = found;
    }
    return bestFound >= seriesFewestHarmonics ? best : -1;
}

// The moment's columns: the peaks its bands show new, best first, within each region's
// share and the moment's budget.
bool lightColumns(Pyramid* pyramid, const Bands& bands, double t, const MomentOnsets& onsets, OnsetFrame* record) {
    // Columns from a frequency to its h-th harmonic.
    static const double harmonicColumns[harmonicsCounted + 1] = {
        0, 0, frequencyColumn(2 * lowestColumnHz), frequencyColumn(3 * lowestColumnHz), frequencyColumn(4 * lowestColumnHz)};
    static_assert(harmonicsCounted == 4, "one distance per harmonic");
    float rose[onsetColumnCount];
    bandRises(bands, t, rose);
    Peak peaks[regionCount * fftBins];
    MomentShape shape;
    const int count = findPeaks(pyramid, t, peaks, &shape);
    shapeOf(peaks, count, &shape);
    // Each band that rose shows the peaks within its bins new.
    const BandLayout& layout = *bands.spread.layout;
    const double* columnHz = columnHzTable();
    bool highSure = false;
    float lowestRose = 0, shown[onsetColumnCount] = {};
    for (int c = 0; c < onsetColumnCount; c++) {
        if (rose[c] <= 0) continue;
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
    // The loudest new note: what lies further down must sound nearly as loud, or start its
    // own partials, to be a note of its own (a hammer's thump under a piano's note is not).
    // The clearest new note: where one rose this clearly, what fell is the last notes' tail.
    int noteColumn = -1;
    float noteDb = -1000, clearestRise = -1000;
    float highNewLoudest = -1000;  // the loudest high peak that rose
    float risen[onsetColumnCount] = {};  // 1 at the columns of the sure notes
    float risenBelow[onsetColumnCount] = {};  // and of those below the high regions
    bool sure[regionCount * fftBins];
    for (int i = 0; i < count; i++) {
        Peak& p = peaks[i];
        for (int h = 2; h <= harmonicsCounted; h++) {
            int from, to;
            harmonicSpan(p.column, harmonicColumns[h], &from, &to);
            for (int c = from; c <= to; c++) p.evidence = std::max(p.evidence, own[c]);
        }
        if (p.region == 0) p.evidence = std::max(p.rise, p.shortRise) >= lowestGrowDb ? lowestRose : 0.0f;
        const double hz = columnHz[p.column];
        if (p.region >= firstHighRegion)
            p.score = (float)(p.db + highRiseWeight * std::clamp((double)p.rise, -riseCapDb, highRiseCapDb));
        else
            p.score = (float)(p.db + riseWeight * std::clamp((double)p.rise, -riseCapDb, riseCapDb) -
                              tiltDbPerOctave * std::max(0.0, log2(std::min(hz, tiltToHz) / tiltFromHz)));
        sure[i] = p.region >= firstHighRegion || sureNote(p);
        if (p.region >= firstHighRegion && p.rise >= highRiseDb) highNewLoudest = std::max(highNewLoudest, p.db);
        if (p.evidence > 0 && sureNote(p)) {
            risen[p.column] = 1;
            if (p.region < firstHighRegion) risenBelow[p.column] = 1;
            if (p.region >= firstMiddleRegion && p.region < firstHighRegion) {
                if (p.db > noteDb) noteDb = p.db, noteColumn = p.column;
                clearestRise = std::max(clearestRise, std::min(p.rise, p.shortRise));
            }
        }
    }
    int order[regionCount * fftBins];
    for (int i = 0; i < count; i++) order[i] = i;
    std::sort(order, order + count, [&](int a, int b) {
        return peaks[a].score != peaks[b].score ? peaks[a].score > peaks[b].score : peaks[a].column < peaks[b].column;
    });
    // The notes' regions light where a band onset below the crossover says a note began;
    // or where the moment brought nothing but new overtones (an arpeggio's pluck alone),
    // or no bright hit; a hat or a cymbal's leakage and a held chord's beating do not.
    const bool notesOnset = onsets.lowStrength >= notesOnsetNats || onsets.lowStrongest >= noteOnsetNats;
    const bool overtonesOnly = std::max(shape.gainDb[firstHighRegion + 2], shape.gainDb[firstHighRegion + 3]) <
                               std::max(shape.gainDb[firstHighRegion], shape.gainDb[firstHighRegion + 1]) - overtoneTiltDb;
    const bool brightHit = onsets.highStrength >= brightHitNats;
    const bool notesMayRise = notesOnset || overtonesOnly || !brightHit;
    const bool noteLed = !brightHit || overtonesOnly;  // a note leads the moment, not a hit's ring
    // A hit below the middle that brought far more new power than the middle gained ducks
    // and colours what sounds above it; a hit whose new power lies far above the middle
    // leaks into it. Under either, only the middle's sure notes light.
    const bool lowHit = shape.lowHitRise >= lowHitRiseDb && shape.middleGainDb < -lowHitShadowDb;
    const bool highHit = shape.highGainDb - shape.middleGainMostDb >= highShadowDb;
    const int lowBudget = std::min(lowBudgetMost, (int)lround(lowBudgetBase + lowBudgetPerNat * onsets.lowStrength));
    const int highBudget = brightHit ? brightHighBudget : dullHighBudget;
    bool noted = false;  // a sure note lit where its own band rose
    int lit[onsetColumnCount], litCount = 0, perRegion[regionCount] = {}, lowCount = 0, highCount = 0;
    for (int n = 0; n < count; n++) {
        const Peak& p = peaks[order[n]];
        const bool high = p.region >= firstHighRegion, middle = p.region >= firstMiddleRegion && !high;
        if (p.evidence <= 0 || p.rise < -fallDb) continue;
        if (p.db < shape.loudest - rangeDb || p.db < shape.regionLoudest[p.region] - regionRangeDb) continue;
        if (high) {
            if ((!highSure && p.rise < highLoneRiseDb) || p.rise < highRiseDb || p.db < shape.loudest - highRangeDb) continue;
            if (shape.gainDb[p.region] < shape.highGainDb - highSpreadDb) continue;
        } else {
            const bool lonely = std::min(p.rise, p.shortRise) >= lonelyRiseDb && p.prominence >= toneProminenceDb &&
                                p.db >= shape.loudest - lonelyRangeDb;
            const bool ownOnset = own[p.column] >= heldEvidenceNats;  // its own bands show it new
            if (p.region > 0 && !notesMayRise && !lonely && !(sureNote(p) && ownOnset)) continue;
            // What fell is the last notes' tail where a note rose clearly or sounds well above it.
            if (std::max(p.rise, p.shortRise) < -fadingDb && (clearestRise >= clearNoteDb || p.db < noteDb - belowNoteDb)) continue;
            if (middle && !sure[order[n]] && !notesOnset && !partialRose(rose, p.column, overtonesCounted, true)) continue;
            if (middle && lowHit && !(sureNote(p) && std::min(p.rise, p.shortRise) >= underHitRiseDb)) continue;
            if (middle && highHit && (!sureNote(p) || p.db < shape.loudest - underHitRangeDb)) continue;
            // Under a bright hit where no note leads, what the middle shows far under the hit's
            // own new sound is its skirt; and a peak lit only through partials the hit's noise
            // set off is a held tone, unless a note nearly as loud as the moment began there.
            if (middle && !noteLed && p.db < highNewLoudest - hitSkirtDb) continue;
            if (middle && !noteLed && !sureNote(p) && own[p.column] <= 0 && noteDb < shape.loudest - leakNoteRangeDb) continue;
            if (p.column < noteColumn - apartColumns && p.db < noteDb - belowNoteDb && !partialRose(risen, p.column, 3, false)) continue;
            const bool underNote = p.column < noteColumn - apartColumns || noteColumn < 0;
            // Whatever leads the moment, a peak that did not rise is held where the frames are
            // long (up to 345 Hz: a bass note struck again) unless its own bands rose, and
            // where it is faint, unless it lies above the loudest new note.
            const bool stayed = std::max(p.rise, p.shortRise) < heldRiseDb;
            if (stayed && p.region <= firstMiddleRegion && !ownOnset) continue;
            if (stayed && p.db < shape.loudest - faintDb && (noteColumn < 0 || p.column <= noteColumn + apartColumns)) continue;
            // Where no bright hit sounds, or its new power is a note's overtones, the loudest
            // new note is a note, not a hit's ring: below it (everywhere, if no note began),
            // what neither rose nor shows a band onset of its own nor starts its partials is
            // a held note's partial (a soft hat's sure peaks up high start no partials).
            if (noteLed && underNote && stayed && !ownOnset &&
                !partialRose(risenBelow, p.column, 3, false))
                continue;
            // There too, below the loudest new note and quieter than it, what is no sure note
            // and lit only through its partials is held: the new note an octave up is its
            // second partial (an arpeggio over a held chord).
            if (noteLed && underNote && p.db < noteDb && !sureNote(p) && own[p.column] <= 0)
                continue;
            // Under a bright hit, a tone that held steady and whose own bands did not rise at
            // all is a held note: the hit's partials beside its harmonics do not start it again.
            if (!noteLed && underNote && fabs(p.rise) < steadyDb && fabs(p.shortRise) < steadyDb && own[p.column] <= 0)
                continue;
        }
        if (perRegion[p.region] >= regions[p.region].most) continue;
        if (p.region >= firstMiddleRegion && (high ? highCount : lowCount) >= (high ? highBudget : lowBudget)) continue;
        bool clear = true;
        for (int j = 0; j < litCount && clear; j++) clear = abs(lit[j] - p.column) >= apartColumns;
        if (!clear) continue;
        lit[litCount++] = p.column;
        noted = noted || (middle && sureNote(p) && own[p.column] > 0);
        perRegion[p.region]++;
        if (p.region >= firstMiddleRegion) (high ? highCount : lowCount)++;
    }
    // A drum that lit in the octave of a series' fundamental (not on its partials) hides
    // it: the fundamental lights too, beyond its region's share, unless it stands near a
    // lit column or its octave lit as a note of its own (a chord's root in the middle; in
    // the bass's octave, one whose fundamental did not itself rise).
    const int fundamental = seriesFundamental(peaks, count);
    if (fundamental >= 0) {
        bool clear = true, drum = false;
        for (int j = 0; j < litCount && clear; j++) {
            const int d = lit[j] - fundamental;
            clear = abs(d) >= apartColumns;
            if (fabs(d - harmonicColumns[2]) <= harmonicToleranceColumns &&
                (columnHz[lit[j]] >= regions[firstMiddleRegion].lowHz || shape.lowRise[fundamental] < ownRiseDb))
                clear = false;
            const bool partial = fabs(d - harmonicColumns[2]) <= harmonicToleranceColumns || fabs(d - harmonicColumns[3]) <= harmonicToleranceColumns;
            if (columnHz[lit[j]] < regions[firstMiddleRegion].lowHz && abs(d) <= harmonicColumns[2] && !partial) drum = true;
        }
        if (clear && drum) lit[litCount++] = fundamental;
    }
    // The moment itself is sure (its bands rose together): it flashes at least its
    // likeliest new sound, or else its likeliest note or sound.
    for (int n = 0; n < count && litCount == 0; n++) {
        const Peak& p = peaks[order[n]];
        if (p.evidence > 0 && std::max(p.rise, p.shortRise) >= likeliestRiseDb) lit[litCount++] = p.column;
    }
    for (int n = 0; n < count && litCount == 0; n++)
        if (peaks[order[n]].evidence > 0) lit[litCount++] = peaks[order[n]].column;
    for (int j = 0; j < litCount; j++) record->mask[lit[j] / maskWordBits] |= 1u << (lit[j] % maskWordBits);
    return noted;
}
