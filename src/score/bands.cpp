// The bands: a frame's spectra to column bands, their floors, log levels, rises and band onsets.
#include "score/bands.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstring>

// Each track counts its own frames, stride frames apart: the timing's are the analyser's
// frames, the spread's every other one. What is heard (a rise, a band onset) is placed in
// the analyser's frames.

// Natural log to about 1e-7, the same on every machine: the bands take logs every frame,
// and the library's were the largest cost of the analysis.
static inline float fastLog(float x) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof bits);
    const int exponent = (int)((bits >> 23) & 0xFF) - 127;
    bits = (bits & 0x007FFFFFu) | 0x3F800000u;  // the mantissa, 1..2
    float m;
    memcpy(&m, &bits, sizeof m);
    // log2 of the mantissa from the series of atanh around 1.5 (|t| <= 0.2: five terms).
    const float t = (m - 1.5f) / (m + 1.5f);
    const float t2 = t * t;
    const float log2m = 0.5849625f + t * (2.8853901f + t2 * (0.9617967f + t2 * (0.5770780f + t2 * 0.4121985f)));
    return (exponent + log2m) * 0.69314718f;
}

static void openBand(ColumnBand* b, int level, double fewestBins, int c) {
    const double binHz = (double)(analysisRateHz >> level) / fftSize;
    double lo = columnFrequency(c - 0.5) / binHz, hi = columnFrequency(c + 0.5) / binHz;
    if (hi - lo < fewestBins) {  // too narrow: widen around the centre
        double mid = columnFrequency(c) / binHz;
        lo = mid - 0.5 * fewestBins, hi = mid + 0.5 * fewestBins;
    }
    int first = std::max(1, (int)floor(lo + 0.5)), last = std::min(fftBins - 1, (int)floor(hi + 0.5));
    b->firstBin = first;
    b->bins = 0;
    for (int k = first; k <= last; k++) {
        double overlap = std::min(hi, k + 0.5) - std::max(lo, k - 0.5);
        assert(b->bins < mostBandBins);
        b->weights[b->bins++] = (float)(std::max(0.0, overlap) / (hi - lo));
    }
    b->inner = 1.0 / (hi - lo);
}

// Bands from the 46-ms frames below 'midHz', from the 23-ms ones up to the crossover and
// from the 11.6-ms ones above it.
static void openLayout(BandLayout* layout, double midHz) {
    for (int c = 0; c < onsetColumnCount; c++) {
        double hz = columnFrequency(c);
        int level = hz < midHz ? longLevel : hz < crossoverHz ? midLevel : shortLevel;
        layout->level[c] = level;
        openBand(&layout->bands[c], level, level == shortLevel ? shortFewestBins : 1, c);
        const double binHz = (double)(analysisRateHz >> level) / fftSize;
        const ColumnBand& b = layout->bands[c];
        double from = std::max(lowestColumnHz / 2, (b.firstBin - 1) * binHz), to = (b.firstBin + b.bins) * binHz;
        layout->freshFrom[c] = std::max(0, (int)floor(frequencyColumn(from)) - freshSlackColumns);
        layout->freshTo[c] = std::min(onsetColumnCount - 1, (int)ceil(frequencyColumn(to)) + freshSlackColumns);
        double delay = level == longLevel ? longDelaySeconds : level == midLevel ? midDelaySeconds : shortDelaySeconds;
        layout->delayFrames[c] = delay * framesPerSecond;
    }
}

// How a run of columns is summed: narrow bands tap by tap (those of two bins by their
// two), wide ones from prefix sums, the rest bin by bin.
enum SumKind { narrowSum, twoBinSum, prefixSum, plainSum };

static int sumKind(const ColumnBand& b) {
    if (b.bins <= narrowBandBins) return b.bins == 2 ? twoBinSum : narrowSum;
    return b.bins >= prefixBandBins ? prefixSum : plainSum;
}

// The track's rings, and how it sums its bands; stride: frames between the track's own.
static void openTrack(BandTrack* t, const BandLayout* l, int cols, int frames, int step) {
    t->layout = l;
    t->columns = cols;
    t->levelFrames = frames;
    t->stride = step;
    // A frame's powers are logged once its floors are known, and read as the reference a
    // lag later.
    t->rawRows = framesOf(floorAheadSeconds, step) + std::max(1, framesOf(lagSeconds, step)) + 1;
    assert(t->rawRows <= rawFrames);
    t->rawLevel.assign((size_t)t->rawRows * cols, 0.0f);
    t->rawReference.assign((size_t)t->rawRows * cols, 0.0f);
    t->loud.assign(cols, 0.0f);
    t->level.assign((size_t)frames * cols, 0.0f);
    t->reference.assign((size_t)referenceFrames * cols, 0.0f);
    t->rise.assign((size_t)riseFrames * cols, 0.0f);
    t->sums.assign(cols, BandSum());
    t->runs.clear();
    t->runs.reserve(cols);
    for (int c = 0; c < cols; c++) {
        const ColumnBand& b = l->bands[c];
        const int level = l->level[c], kind = sumKind(b);
        BandSum& s = t->sums[c];
        int lastRead = b.firstBin + b.bins - 1;
        if (kind == narrowSum || kind == twoBinSum) {
            for (int j = 0; j < narrowBandBins; j++) {
                s.bin[j] = b.firstBin + std::min(j, b.bins - 1);
                s.weight[j] = j < b.bins ? b.weights[j] : 0.0f;
                lastRead = std::max(lastRead, s.bin[j]);
            }
        } else if (kind == prefixSum) {
            s.bin[0] = b.firstBin;
            s.bin[1] = b.firstBin + b.bins - 1;
            s.weight[0] = b.weights[0];
            s.weight[1] = b.weights[b.bins - 1];
            s.inner = b.inner;
            t->prefixed[level] = true;
        }
        t->binsRead[level] = std::max(t->binsRead[level], lastRead + 1);
        if (t->runs.empty() || t->runs.back().level != level || t->runs.back().kind != kind)
            t->runs.push_back({level, c, c, kind});
        t->runs.back().to = c + 1;
    }
}

// A level's bins with their widening side by side: one operation serves both, each lane
// computed exactly as it would be alone.
typedef float Pair __attribute__((vector_size(8)));
typedef double PairSum __attribute__((vector_size(16)));

static inline Pair pairAt(const float* pairs, int bin) {
    Pair v;
    memcpy(&v, pairs + 2 * bin, sizeof v);
    return v;
}

static inline Pair both(float x) { return Pair{x, x}; }

typedef float Quad __attribute__((vector_size(16)));

static inline Quad quadAt(const float* x) {
    Quad v;
    memcpy(&v, x, sizeof v);
    return v;
}

static inline Quad both4(float x) { return Quad{x, x, x, x}; }

static inline bool anyAbove(Quad x, Quad least) {
    const auto above = x > least;
    return (above[0] | above[1] | above[2] | above[3]) != 0;
}

// The track's raw band powers at its frame f, and those of its widened spectrum.
wideLoops static void sumBands(BandTrack* track, const float* const* power, long long f) {
    float* rawLevel = track->rawLevelAt(f);
    float* rawReference = track->rawReferenceAt(f);
    // Below unwidenedHz the reference is the bin itself.
    static const auto unwidened = [] {
        std::array<int, framedLevels> bins;
        for (int level = 0; level < framedLevels; level++)
            bins[level] = std::max(1, (int)ceil(unwidenedHz / ((double)(analysisRateHz >> level) / fftSize)));
        return bins;
    }();
    float pairs[framedLevels][2 * fftBins];
    // Wide bands (the short frames' high ones) overlap each other almost whole: their inner
    // bins come from running sums, in double so a quiet band keeps its digits.
    PairSum prefix[framedLevels][fftBins + 1];
    for (int level = 0; level < framedLevels; level++) {
        const int bins = track->binsRead[level];
        if (bins == 0) continue;
        const float* p = power[level];
        float* pq = pairs[level];
        const int plain = std::min(bins, unwidened[level]), middle = std::min(bins, fftBins - 1);
        for (int k = 0; k < plain; k++) pq[2 * k] = pq[2 * k + 1] = p[k];
        for (int k = unwidened[level]; k < middle; k++) {
            pq[2 * k] = p[k];
            pq[2 * k + 1] = std::max(p[k], std::max(p[k - 1], p[k + 1]));
        }
        if (bins == fftBins) {
            pq[2 * fftBins - 2] = p[fftBins - 1];
            pq[2 * fftBins - 1] = std::max(p[fftBins - 1], p[fftBins - 2]);
        }
        if (!track->prefixed[level]) continue;
        PairSum* sum = prefix[level];
        sum[0] = PairSum{0, 0};
        for (int k = 0; k < bins; k++) sum[k + 1] = sum[k] + __builtin_convertvector(pairAt(pq, k), PairSum);
    }
    const BandSum* sums = track->sums.data();
    for (const BandRun& run : track->runs) {
        const float* pq = pairs[run.level];
        if (run.kind == narrowSum) {
            static_assert(narrowBandBins == 3, "three taps a narrow band");
            for (int c = run.from; c < run.to; c++) {
                const BandSum& s = sums[c];
                const Pair v = both(s.weight[0]) * pairAt(pq, s.bin[0]) + both(s.weight[1]) * pairAt(pq, s.bin[1]) +
                               both(s.weight[2]) * pairAt(pq, s.bin[2]);
                rawLevel[c] = v[0];
                rawReference[c] = v[1];
            }
        } else if (run.kind == twoBinSum) {
            // The third tap (weight 0) would add +0 to a sum of products of non-negative
            // numbers, which leaves it as it is. Both bins and their widenings at once.
            for (int c = run.from; c < run.to; c++) {
                const BandSum& s = sums[c];
                const Quad x = Quad{s.weight[0], s.weight[0], s.weight[1], s.weight[1]} * quadAt(pq + 2 * s.bin[0]);
                const Pair v = __builtin_shufflevector(x, x, 0, 1) + __builtin_shufflevector(x, x, 2, 3);
                rawLevel[c] = v[0];
                rawReference[c] = v[1];
            }
        } else if (run.kind == prefixSum) {
            const PairSum* sum = prefix[run.level];
            for (int c = run.from; c < run.to; c++) {
                const BandSum& s = sums[c];
                const Pair edges = both(s.weight[0]) * pairAt(pq, s.bin[0]) + both(s.weight[1]) * pairAt(pq, s.bin[1]);
                const PairSum v = __builtin_convertvector(edges, PairSum) +
                                  PairSum{s.inner, s.inner} * (sum[s.bin[1]] - sum[s.bin[0] + 1]);
                rawLevel[c] = (float)v[0];
                rawReference[c] = (float)v[1];
            }
        } else {
            for (int c = run.from; c < run.to; c++) {
                const ColumnBand& b = track->layout->bands[c];
                Pair v = {0, 0};
                for (int j = 0; j < b.bins; j++) v += both(b.weights[j]) * pairAt(pq, b.firstBin + j);
                rawLevel[c] = v[0];
                rawReference[c] = v[1];
            }
        }
    }
}

// ---- floors ----

wideLoops static void trackLoudness(BandTrack* t, long long f) {
    // How far "loud" sinks in a frame of each stride.
    static const auto sinks = [] {
        std::array<float, spreadStride + 1> sink;
        for (int stride = 0; stride <= spreadStride; stride++)
            sink[stride] = (float)pow(10.0, -loudSinkDbPerSecond / 10 / framesPerSecond * stride);
        return sink;
    }();
    assert(t->stride >= 1 && t->stride <= spreadStride);
    const float sink = sinks[t->stride];
    float* loud = t->loud.data();
    const float* raw = t->rawLevelAt(f);
    for (int c = 0; c < t->columns; c++) loud[c] = std::max(raw[c], loud[c] * sink);
    // The loudest sought four bands at a time (a maximum is the same whichever way it is
    // sought).
    Quad lanes = {0, 0, 0, 0};
    int c = 0;
    for (; c + 4 <= t->columns; c += 4) {
        const Quad x = quadAt(raw + c);
        lanes = lanes < x ? x : lanes;
    }
    float loudest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    for (; c < t->columns; c++) loudest = std::max(loudest, raw[c]);
    t->songLoud = std::max(loudest, t->songLoud * sink);
}

// A frame's log levels, and its rise over the widened spectrum a lag before, both over
// the floors this frame gets: a floor that rises (something loud is coming) must not
// look like a rise of the band.
wideLoops static void takeLogs(BandTrack* t, long long f) {
    const float songLevel = (float)std::max(silencePower, t->songLoud * songFloor);
    const int lag = std::max(1, framesOf(lagSeconds, t->stride));
    float* level = t->levelAt(f);
    float* before = t->referenceAt(f);
    float* rise = t->riseAt(f);
    const float* loud = t->loud.data();
    const float* rawLevel = t->rawLevelAt(f);
    const float* rawBefore = t->rawReferenceAt(f - lag);
    for (int c = 0; c < t->columns; c++) {
        float floor = std::max(songLevel, loud[c] * (float)bandFloor);
        level[c] = fastLog(rawLevel[c] + floor);
        before[c] = fastLog(rawBefore[c] + floor);
    }
    for (int c = 0; c < t->columns; c++) rise[c] = f >= lag ? std::max(0.0f, level[c] - before[c]) : 0.0f;
}

// A track's frames after a frame that its band onset test reads.
static int bandLookAhead(int stride) {
    return std::max({framesOf(peakSeconds, stride), framesOf(aheadSeconds, stride),
                     framesOf(lagSeconds, stride) + framesOf(bodySeconds, stride)}) + 1;
}

// The rises of a track at its frame f (frames up to lastFrame known): the timing track's
// band onsets make moments; the weak rises of the track that sees every note (the spread,
// or in mono the mix) show where a moment's notes are.
wideLoops static void findBandOnsets(Bands* bands, const BandTrack* t, bool timing, int from, int weakFrom, long long f,
                           long long lastFrame) {
    const int stride = t->stride;
    const int reach = std::max(1, framesOf(peakSeconds, stride));
    const int past = framesOf(pastSeconds, stride), ahead = framesOf(aheadSeconds, stride);
    const int gap = framesOf(gapSeconds, stride), lag = std::max(1, framesOf(lagSeconds, stride));
    const int body = framesOf(bodySeconds, stride);
    if (f < 1) return;
    // The rows of rises the test reads, reach or past before f to reach or ahead after it
    // (none before the song, nor after the last frame known).
    static const float none[onsetColumnCount] = {};
    const int first = -std::max(past, reach), last = std::max(ahead, reach);
    const float* rows[riseFrames];
    assert(last - first + 1 <= riseFrames);
    for (int d = first; d <= last; d++) rows[d - first] = f + d < 0 || f + d > lastFrame ? none : t->riseAt(f + d);
    auto rise = [&](int d, int c) { return rows[d - first][c]; };
    const float* now = rows[-first];
    const int a = (int)(std::max(0LL, f - past) - f), b = (int)(std::min(lastFrame, f + ahead) - f);
    // Most bands rise past neither threshold: four at a time are passed over.
    const Quad lowest = both4((float)std::min(weakRiseOver, riseOver));
    for (int c = from; c < t->columns; c++) {
        if (c % 4 == 0 && c + 4 <= t->columns && !anyAbove(quadAt(now + c), lowest)) {
            c += 3;
            continue;
        }
        const bool weakToo = c >= weakFrom;
        const float least = weakToo ? (float)weakRiseOver : (float)riseOver;
        const float v = now[c];
        if (v <= least) continue;
        bool peak = true;
        for (int d = 1; d <= reach && peak; d++) {
            if (rise(-d, c) >= v) peak = false;
            if (d <= b && rise(d, c) > v) peak = false;
        }
        if (!peak) continue;
        double sum = 0;
        for (int d = a; d <= b; d++) sum += rise(d, c);
        double mean = sum / (b - a + 1);
        if (v < mean + least) continue;
        double l = rise(-1, c), r = rise(1, c), den = l - 2.0 * v + r;
        double shift = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
        double heard = (f + shift) * stride - t->layout->delayFrames[c];
        if (weakToo) {
            bands->roseBy[c][bands->roseCount[c] % roseKept] = v;
            bands->rose[c][bands->roseCount[c]++ % roseKept] = heard;
        }
        if (!timing || v <= riseOver || v < mean + riseOver || f - bands->lastFired[c] < gap) continue;
        // How loud the band becomes over the sound's body, not just its first instant.
        double level = 0;
        for (int d = 0; d <= body; d++) level += t->levelAt(std::min(lastFrame, f + lag + d))[c];
        level /= body + 1;
        bands->heard[bands->heardCount++] = {heard, v, (float)level, c};
        bands->lastFired[c] = f;
    }
}

static const int spreadColumns = (int)ceil(frequencyColumn(crossoverHz));
// The first band quick enough to place a moment (see the moments' prompt band onsets).
static const int firstPromptColumn = (int)ceil(frequencyColumn(bassPeriods * framesPerSecond / mergeFrames));

void openBands(Bands* b, int channels) {
    b->stereo = channels > 1;
    openLayout(&b->timingLayout, crossoverHz);
    openLayout(&b->spreadLayout, spreadMidHz);
    // The mix's log levels are read back by the moments (the song rose); the spread's
    // only as they rise. Above the crossover the spread shows nothing the mix does not (no
    // voices cancel there): the mix's bands serve for both.
    openTrack(&b->timing, &b->timingLayout, onsetColumnCount, lookBackFrames, 1);
    if (b->stereo) openTrack(&b->spread, &b->spreadLayout, spreadColumns, 1, spreadStride);
    b->spread.layout = b->stereo ? &b->spreadLayout : &b->timingLayout;
    for (int c = 0; c < onsetColumnCount; c++) {
        b->lastFired[c] = LLONG_MIN / 2;
        for (double& f : b->rose[c]) f = -1e9;
    }
}

bool spreadDue(const Bands& b, long long f) { return b.stereo && f % b.spread.stride == 0; }

// Each track's stages run behind the one before by the frames it reads ahead: the logs
// wait for their floors, the band onset test for the rises after the frame it tests.
long long analyseBands(Bands* b, const FrameSpectra& spectra, long long f) {
    b->heardCount = 0;
    // The spread, every other frame: the same stages in its own frames.
    BandTrack* spread = &b->spread;
    if (spreadDue(*b, f)) {
        const long long k = f / spread->stride;
        sumBands(spread, spectra.sum, k);
        trackLoudness(spread, k);
        const long long logged = k - framesOf(floorAheadSeconds, spread->stride);
        if (logged >= 0) takeLogs(spread, logged);
        const long long tested = logged - bandLookAhead(spread->stride);
        if (tested >= 0) findBandOnsets(b, spread, false, 0, 0, tested, logged);
    }
    sumBands(&b->timing, spectra.mix, f);
    trackLoudness(&b->timing, f);
    const long long logged = f - framesOf(floorAheadSeconds);
    if (logged < 0) return -1;
    takeLogs(&b->timing, logged);
    const long long tested = logged - bandLookAhead(1);
    if (tested < 0) return -1;
    // In stereo the mix's lowest bands rise for nothing: they are too slow to place a
    // moment, and too far below the first prompt band to vie with it for its columns.
    const int from = b->stereo ? std::max(0, firstPromptColumn - peakColumns) : 0;
    findBandOnsets(b, &b->timing, true, from, b->stereo ? spread->columns : 0, tested, logged);
    return tested;
}
