// The onset analysis: a decimation pyramid with one short FFT per level, band onsets pooled
// into moments for the timing, and each moment's columns taken from the spectral peaks that
// its bands show new, every region of the spectrum at the resolution its notes need.
#include "score/analysis.h"
#include "score/bands.h"
#include "score/pyramid.h"
#include "score/tuning.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

double columnFrequency(double column) {
    return lowestColumnHz * pow(highestColumnHz / lowestColumnHz, column / (onsetColumnCount - 1));
}

double frequencyColumn(double hz) {
    return (onsetColumnCount - 1) * log(hz / lowestColumnHz) / log(highestColumnHz / lowestColumnHz);
}

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


// ---- moments ----

// A band onset as the moments weigh it.
struct QueuedOnset {
    double frame;    // heard at this frame (detector delay taken off)
    float strength;  // rise of log power, nats
    float level;     // mean log power over the sound's body
    int column;
    long long order; // found so many onsets after the first: orders onsets heard together
    bool decided = false, kept = false;
    bool prompt = false;  // heard soon enough to place a moment
};

struct Moment {
    long long peak = 0;      // frame where the pooled rise peaks
    double strength = 0;     // summed rise of its members, nats
    double lowStrength = 0;  // the part of it below the crossover
    double weighted = 0;     // members' frames weighted by their strength
    bool passes = false;     // the song rose there as a whole: not the tail of an ending
    OnsetFrame record = {};
};

struct AnalyserState {
    OnsetSink sink;
    void* user;
    int channels = 1;
    long long nextFrame = 0;  // the next frame to analyse
    bool finished = false;
    Pyramid pyramid;

    Bands bands;

    std::vector<QueuedOnset> onsets;  // found and not yet pooled, sorted by frame
    long long onsetsFound = 0;
    // Each band's latest onsets (a band fires at most once a gap, so these reach further
    // back than any test of neighbours).
    QueuedOnset latest[onsetColumnCount][latestKept];
    float pooled[lookBackFrames];   // per frame: summed strength of the onsets heard there
    long long nextPeakFrame = 0;    // frames below this are settled as moments or not
    std::vector<Moment> forming;    // moments whose members may still come
    std::vector<Moment> waiting;    // moments waiting for their neighbours' strengths
    size_t undecided = 0;           // waiting moments before this are emitted or dropped
    int32_t lastMs = -1;
    int32_t horizon = 0;  // no record comes before the song starts
};


// ---- moments ----

// Takes the band onsets a frame's test found, in the order found.
static void queueBandOnsets(AnalyserState* s, const BandOnset* heard, int count) {
    for (int i = 0; i < count; i++) {
        const BandOnset& b = heard[i];
        QueuedOnset o = {b.frame, b.strength, b.level, b.column, s->onsetsFound++};
        const int c = o.column;
        for (int k = latestKept - 1; k > 0; k--) s->latest[c][k] = s->latest[c][k - 1];
        s->latest[c][0] = o;
        auto at = std::upper_bound(s->onsets.begin(), s->onsets.end(), o.frame,
                                   [](double x, const QueuedOnset& q) { return x < q.frame; });
        s->onsets.insert(at, o);
    }
}

// ---- columns ----

struct Peak {
    float db;        // power after the onset, dB
    float rise;      // over the frame before, dB
    float evidence;  // the sharpest band rise that shows it new, nats
    float score;
    int column, region;
};

// The sharpest rise of each band heard near the moment (nats; 0: none).
static void bandRises(const AnalyserState* s, double t, float* rose) {
    const double* hz = columnHzTable();
    for (int c = 0; c < onsetColumnCount; c++) {
        double late = std::min(freshLateCap, std::max(freshEarly, bassPeriods / hz[c] * framesPerSecond));
        rose[c] = 0;
        for (int i = 0; i < roseKept; i++)
            if (s->bands.rose[c][i] >= t - freshEarly && s->bands.rose[c][i] <= t + late) rose[c] = std::max(rose[c], s->bands.roseBy[c][i]);
    }
}

// The peaks of the spectrum just after t (frames), region by region, with how much each
// rose over the window just before.
static int findPeaks(AnalyserState* s, double t, Peak* peaks) {
    int count = 0;
    float scratch[pyramidLevels][2][fftBins];
    const float* after[pyramidLevels] = {};
    const float* before[pyramidLevels] = {};
    for (int b = 0; b < regionCount; b++) {
        const Region& region = regions[b];
        const int level = region.level;
        if (!after[level]) {
            const double windowFrames = fftSize * (double)(1 << level) / hopSamples;
            after[level] = levelSpectrum(&s->pyramid, level, lround(t + windowFrames), scratch[level][0]);
            before[level] = levelSpectrum(&s->pyramid, level, lround(t), scratch[level][1]);
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
static void pickColumns(AnalyserState* s, double t, double lowStrength, OnsetFrame* record) {
    // Columns from a frequency to its h-th harmonic.
    static const double harmonicColumns[harmonicsCounted + 1] = {
        0, 0, frequencyColumn(2 * lowestColumnHz), frequencyColumn(3 * lowestColumnHz), frequencyColumn(4 * lowestColumnHz)};
    static_assert(harmonicsCounted == 4, "one distance per harmonic");
    float rose[onsetColumnCount];
    bandRises(s, t, rose);
    Peak peaks[regionCount * fftBins];
    const int count = findPeaks(s, t, peaks);
    // Each band that rose shows the peaks within its bins new.
    const BandLayout& layout = *s->bands.spread.layout;
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

// ---- pooling ----

static float pooledAt(const AnalyserState* s, long long f) {
    return f < 0 ? 0.0f : s->pooled[f & (lookBackFrames - 1)];
}

static double smoothed(const AnalyserState* s, long long f) {
    double sum = 0;
    for (int d = -smoothHalf; d <= smoothHalf; d++) sum += pooledAt(s, f + d) * (smoothHalf + 1 - abs(d));
    return sum;
}

static bool isPeak(const AnalyserState* s, long long f) {
    double v = smoothed(s, f);
    return v > 0 && smoothed(s, f - 1) < v && smoothed(s, f + 1) <= v;
}

// A moment is a peak of the smoothed, pooled rise that no stronger peak (or equal and
// earlier one) stands close to.
static bool isMoment(const AnalyserState* s, long long f) {
    if (!isPeak(s, f)) return false;
    double v = smoothed(s, f);
    for (long long q = f - apartFrames; q <= f + apartFrames; q++) {
        if (q == f || !isPeak(s, q)) continue;
        double w = smoothed(s, q);
        if (w > v || (w == v && q < f)) return false;
    }
    return true;
}

// Band onsets heard before 'known' have all been found: decide which keep their
// columns, pool those, settle the moments the pool allows and hand each band onset to the
// nearest moment.
static void formMoments(AnalyserState* s, double known) {
    const double decidable = known - neighbourFrames;
    std::vector<QueuedOnset>& on = s->onsets;
    // A band onset counts only where it is the loudest among its neighbours: the spectral
    // peaks of a sound, not the smear around them or its sidelobes.
    for (size_t i = 0; i < on.size() && on[i].frame < decidable; i++) {
        if (on[i].decided) continue;
        // Neighbours heard earlier win ties.
        const QueuedOnset& o = on[i];
        bool kept = true;
        for (int c = std::max(0, o.column - peakColumns); c <= std::min(onsetColumnCount - 1, o.column + peakColumns) && kept; c++)
            for (const QueuedOnset& n : s->latest[c]) {
                if (n.order == o.order || n.order < 0 || fabs(n.frame - o.frame) > neighbourFrames) continue;
                bool earlier = n.frame < o.frame || (n.frame == o.frame && n.order < o.order);
                if (earlier ? n.level >= o.level : n.level > o.level) kept = false;
            }
        // Bass needs several periods to build up, so a low band hears a note too late to
        // place it: only prompt bands make moments.
        on[i].prompt = bassPeriods / columnFrequency(on[i].column) * framesPerSecond <= mergeFrames;
        on[i].decided = true;
        on[i].kept = kept;
        if (kept && on[i].prompt) s->pooled[(long long)std::max(0.0, on[i].frame + 0.5) & (lookBackFrames - 1)] += on[i].strength;
    }
    // Pooled frames up to 'final' hold everything they will.
    const long long final = (long long)floor(decidable - 0.5) - 1;
    for (long long f = s->nextPeakFrame; f + apartFrames + 1 + smoothHalf <= final; f = ++s->nextPeakFrame) {
        if (isMoment(s, f)) {
            Moment m;
            m.peak = f;
            s->forming.push_back(m);
        }
        // The slot falls out of every later test's reach: clear it for the frame a ring ahead.
        s->pooled[(f - apartFrames - smoothHalf - 2) & (lookBackFrames - 1)] = 0;
    }
    // Each band onset joins the nearest moment within the merge reach, once every moment
    // that near is known (the earlier one on a tie).
    const double assignable = s->nextPeakFrame - mergeFrames;
    size_t done = 0;
    for (; done < on.size() && on[done].frame < assignable; done++) {
        const QueuedOnset& o = on[done];
        assert(o.decided);
        if (!o.kept || !o.prompt) continue;
        Moment* best = nullptr;
        for (Moment& m : s->forming) {
            double d = fabs(m.peak - o.frame);
            if (d <= mergeFrames && (!best || d < fabs(best->peak - o.frame))) best = &m;
        }
        if (!best) continue;
        best->strength += o.strength;
        best->weighted += o.frame * o.strength;
        if (columnFrequency(o.column) < crossoverHz) best->lowStrength += o.strength;
    }
    on.erase(on.begin(), on.begin() + done);
}

// ---- moments to records ----

// Where the song as a whole grows quieter, some bands rising are the tail of an ending
// (a release, a reverb swell), not a new sound.
static bool songRises(const AnalyserState* s, double frame) {
    const int lag = std::max(1, framesOf(lagSeconds));
    double change = 0;  // summed over all bands, nats
    for (int c = 0; c < onsetColumnCount; c++) {
        long long f = std::max((long long)lag, (long long)lround(frame + s->bands.timingLayout.delayFrames[c]));
        change += s->bands.timing.levelAt(f)[c] - s->bands.timing.levelAt(f - lag)[c];
    }
    return change >= 0;
}

// Moments whose members are all in: their time, whether the song rose, and their columns.
static void completeMoments(AnalyserState* s) {
    const double assignable = s->nextPeakFrame - mergeFrames;
    size_t done = 0;
    for (; done < s->forming.size() && s->forming[done].peak + mergeFrames < assignable; done++) {
        Moment m = s->forming[done];
        if (m.strength > 0) {
            double frame = m.weighted / m.strength;
            m.record.timeMs = (int32_t)std::max(0L, lround(seconds(frame) * 1000));
            m.passes = songRises(s, frame);
            if (m.passes) pickColumns(s, frame, m.lowStrength, &m.record);
        }
        s->waiting.push_back(m);
    }
    s->forming.erase(s->forming.begin(), s->forming.begin() + done);
}

// A moment must stand out from its surroundings: weak stirrings between notes (codec
// noise, a filter moving) are dropped; the median keeps quiet passages their own scale.
// Decides the waiting moments whose neighbours within the median's reach are all known.
static void decideMoments(AnalyserState* s, bool all) {
    const int local = framesOf(localSeconds);
    // Every moment that peaks before this is waiting.
    const long long known = s->forming.empty() ? s->nextPeakFrame : s->forming.front().peak;
    std::vector<Moment>& w = s->waiting;
    double strengths[mostNearby];
    for (; s->undecided < w.size() && (all || w[s->undecided].peak + local < known); s->undecided++) {
        Moment& m = w[s->undecided];
        int n = 0;
        for (const Moment& o : w)
            if (llabs(o.peak - m.peak) <= local && n < mostNearby) strengths[n++] = o.strength;
        std::nth_element(strengths, strengths + n / 2, strengths + n);
        bool strong = m.strength >= std::max(weakestMoment, relativeMoment * strengths[n / 2]);
        bool any = false;
        for (uint32_t word : m.record.mask) any = any || word;
        if (!strong || !m.passes || !any) continue;
        if (m.record.timeMs <= s->lastMs) m.record.timeMs = s->lastMs + 1;
        s->lastMs = m.record.timeMs;
        s->sink(m.record, s->user);
    }
    // Moments out of every later median's reach are let go.
    size_t gone = 0;
    const long long oldest = s->undecided < w.size() ? w[s->undecided].peak : known;
    while (gone < s->undecided && w[gone].peak + local < oldest) gone++;
    w.erase(w.begin(), w.begin() + gone);
    s->undecided -= gone;
}

// Every record still to come is heard at or after this time: no moment that peaks before
// the earliest undecided one is still to come, and a record lies within the merge reach of
// its peak.
static void updateHorizon(AnalyserState* s) {
    long long first = s->nextPeakFrame;
    if (!s->forming.empty()) first = std::min(first, s->forming.front().peak);
    if (s->undecided < s->waiting.size()) first = std::min(first, s->waiting[s->undecided].peak);
    double ms = floor(seconds(first - mergeFrames) * 1000);
    int32_t bound = std::max((int32_t)std::max(ms, (double)INT32_MIN), s->lastMs + 1);
    s->horizon = std::max(s->horizon, bound);
}

// ---- construction ----


OnsetAnalyser::OnsetAnalyser(OnsetSink sink, void* user, int channels) : state(new AnalyserState()) {
    assert(channels >= 1 && channels <= maxAnalysisChannels);
    AnalyserState* s = state;
    s->sink = sink;
    s->user = user;
    s->channels = channels;
    openPyramid(&s->pyramid, channels);
    openBands(&s->bands, channels);
    for (int c = 0; c < onsetColumnCount; c++)
        for (QueuedOnset& n : s->latest[c]) n.order = -1;
    s->onsets.reserve(onsetsReserved);
    s->forming.reserve(formingReserved);
    s->waiting.reserve(waitingReserved);
}

OnsetAnalyser::~OnsetAnalyser() {
    closePyramid(&state->pyramid);
    delete state;
}

// Frame f's whole analysis; each stage runs behind the one before by the frames it reads ahead.
static void runFrame(AnalyserState* s, long long f) {
    FrameSpectra spectra;
    takeSpectra(&s->pyramid, f, spreadDue(s->bands, f), &spectra);
    const long long h = analyseBands(&s->bands, spectra, f);
    if (h < 0) return;
    queueBandOnsets(s, s->bands.heard, s->bands.heardCount);
    // Band onsets found later come from frames after h, heard at most a detector delay
    // (and half a frame) before it.
    formMoments(s, h + 0.5 - maxDelayFrames);
    completeMoments(s);
    decideMoments(s, false);
    updateHorizon(s);
}

void OnsetAnalyser::feed(const float* samples, int frames) {
    AnalyserState* s = state;
    assert(!s->finished);
    for (int done = 0; done < frames;) {
        const int n = std::min(feedChunk, frames - done);
        takeSamples(&s->pyramid, samples + (size_t)done * s->channels, n);
        done += n;
        while (frameReady(s->pyramid, s->nextFrame)) runFrame(s, s->nextFrame++);
    }
}

void OnsetAnalyser::finish() {
    AnalyserState* s = state;
    if (s->finished) return;
    static const float silence[maxAnalysisChannels * feedChunk] = {};
    for (long long left = (long long)(flushSeconds * analysisRateHz); left > 0; left -= feedChunk)
        feed(silence, (int)std::min((long long)feedChunk, left));
    s->finished = true;
    decideMoments(s, true);
    s->horizon = INT32_MAX;
}

int32_t OnsetAnalyser::horizonMs() const { return state->horizon; }
