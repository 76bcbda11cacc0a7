// The moments: band onsets pooled into moments, their timing, and which stand out as records.
#include "score/moments.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "score/columns.h"

// Frames count at stride 1, the analyser's; what is heard is placed at fractional frames.

// Takes the band onsets a frame's test found, in the order found.
static void queueBandOnsets(Moments* moments, const BandOnset* heard, int count) {
    for (int i = 0; i < count; i++) {
        const BandOnset& b = heard[i];
        QueuedOnset o = {b.frame, b.strength, b.level, b.column, moments->onsetsFound++};
        const int c = o.column;
        for (int k = latestKept - 1; k > 0; k--) moments->latest[c][k] = moments->latest[c][k - 1];
        moments->latest[c][0] = o;
        auto at = std::upper_bound(moments->onsets.begin(), moments->onsets.end(), o.frame,
                                   [](double x, const QueuedOnset& q) { return x < q.frame; });
        moments->onsets.insert(at, o);
    }
}

// ---- pooling ----

static float pooledAt(const Moments* moments, long long f) {
    return f < 0 ? 0.0f : moments->pooled[f & (lookBackFrames - 1)];
}

static double smoothed(const Moments* moments, long long f) {
    double sum = 0;
    for (int d = -smoothHalf; d <= smoothHalf; d++) sum += pooledAt(moments, f + d) * (smoothHalf + 1 - abs(d));
    return sum;
}

static bool isPeak(const Moments* moments, long long f) {
    double v = smoothed(moments, f);
    return v > 0 && smoothed(moments, f - 1) < v && smoothed(moments, f + 1) <= v;
}

// A moment is a peak of the smoothed, pooled rise that no stronger peak (or equal and
// earlier one) stands close to.
static bool isMoment(const Moments* moments, long long f) {
    if (!isPeak(moments, f)) return false;
    double v = smoothed(moments, f);
    for (long long q = f - apartFrames; q <= f + apartFrames; q++) {
        if (q == f || !isPeak(moments, q)) continue;
        double w = smoothed(moments, q);
        if (w > v || (w == v && q < f)) return false;
    }
    return true;
}

// Band onsets heard before 'known' have all been found: decide which keep their
// columns, pool those, settle the moments the pool allows and hand each band onset to the
// nearest moment.
static void formMoments(Moments* moments, double known) {
    const double decidable = known - neighbourFrames;
    std::vector<QueuedOnset>& on = moments->onsets;
    // A band onset counts only where it is the loudest among its neighbours: the spectral
    // peaks of a sound, not the smear around them or its sidelobes.
    for (size_t i = 0; i < on.size() && on[i].frame < decidable; i++) {
        if (on[i].decided) continue;
        // Neighbours heard earlier win ties.
        const QueuedOnset& o = on[i];
        bool kept = true;
        for (int c = std::max(0, o.column - peakColumns); c <= std::min(onsetColumnCount - 1, o.column + peakColumns) && kept; c++)
            for (const QueuedOnset& n : moments->latest[c]) {
                if (n.order == o.order || n.order < 0 || fabs(n.frame - o.frame) > neighbourFrames) continue;
                bool earlier = n.frame < o.frame || (n.frame == o.frame && n.order < o.order);
                if (earlier ? n.level >= o.level : n.level > o.level) kept = false;
            }
        // Bass needs several periods to build up, so a low band hears a note too late to
        // place it: only prompt bands make moments.
        on[i].prompt = bassPeriods / columnFrequency(on[i].column) * framesPerSecond <= mergeFrames;
        on[i].decided = true;
        on[i].kept = kept;
        if (kept && on[i].prompt) moments->pooled[(long long)std::max(0.0, on[i].frame + 0.5) & (lookBackFrames - 1)] += on[i].strength;
    }
    // Pooled frames up to 'final' hold everything they will.
    const long long final = (long long)floor(decidable - 0.5) - 1;
    for (long long f = moments->nextPeakFrame; f + apartFrames + 1 + smoothHalf <= final; f = ++moments->nextPeakFrame) {
        if (isMoment(moments, f)) {
            Moment m;
            m.peak = f;
            moments->forming.push_back(m);
        }
        // The slot falls out of every later test's reach: clear it for the frame a ring ahead.
        moments->pooled[(f - apartFrames - smoothHalf - 2) & (lookBackFrames - 1)] = 0;
    }
    // Each band onset joins the nearest moment within the merge reach, once every moment
    // that near is known (the earlier one on a tie).
    const double assignable = moments->nextPeakFrame - mergeFrames;
    size_t done = 0;
    for (; done < on.size() && on[done].frame < assignable; done++) {
        const QueuedOnset& o = on[done];
        assert(o.decided);
        if (!o.kept || !o.prompt) continue;
        Moment* best = nullptr;
        for (Moment& m : moments->forming) {
            double d = fabs(m.peak - o.frame);
            if (d <= mergeFrames && (!best || d < fabs(best->peak - o.frame))) best = &m;
        }
        if (!best) continue;
        best->strength += o.strength;
        best->weighted += o.frame * o.strength;
        if (columnFrequency(o.column) < crossoverHz) {
            best->lowStrength += o.strength;
            best->lowStrongest = std::max(best->lowStrongest, (double)o.strength);
        }
    }
    on.erase(on.begin(), on.begin() + done);
}

// ---- moments to records ----

// Where the song as a whole grows quieter, some bands rising are the tail of an ending
// (a release, a reverb swell), not a new sound.
static bool songRises(const Bands& bands, double frame) {
    const int lag = std::max(1, framesOf(lagSeconds));
    double change = 0;  // summed over all bands, nats
    for (int c = 0; c < onsetColumnCount; c++) {
        long long f = std::max((long long)lag, (long long)lround(frame + bands.timingLayout.delayFrames[c]));
        change += bands.timing.levelAt(f)[c] - bands.timing.levelAt(f - lag)[c];
    }
    return change >= 0;
}

// Moments whose members are all in: their time, whether the song rose, and their columns.
static void completeMoments(Moments* moments, Pyramid* pyramid, const Bands& bands) {
    const double assignable = moments->nextPeakFrame - mergeFrames;
    size_t done = 0;
    for (; done < moments->forming.size() && moments->forming[done].peak + mergeFrames < assignable; done++) {
        Moment m = moments->forming[done];
        if (m.strength > 0) {
            double frame = m.weighted / m.strength;
            m.record.timeMs = (int32_t)std::max(0L, lround(seconds(frame) * 1000));
            m.passes = songRises(bands, frame);
            if (m.passes) {
                MomentOnsets onsets;
                onsets.lowStrength = m.lowStrength;
                onsets.lowStrongest = m.lowStrongest;
                onsets.highStrength = m.strength - m.lowStrength;
                m.noted = lightColumns(pyramid, bands, frame, onsets, &m.record);
            }
        }
        moments->waiting.push_back(m);
    }
    moments->forming.erase(moments->forming.begin(), moments->forming.begin() + done);
}

// A moment must stand out from its surroundings: weak stirrings between notes (codec
// noise, a filter moving) are dropped; the median keeps quiet passages their own scale.
// Decides the waiting moments whose neighbours within the median's reach are all known.
static void decideMoments(Moments* moments, bool all) {
    const int local = framesOf(localSeconds);
    // Every moment that peaks before this is waiting.
    const long long known = moments->forming.empty() ? moments->nextPeakFrame : moments->forming.front().peak;
    std::vector<Moment>& w = moments->waiting;
    double strengths[mostNearby];
    for (; moments->undecided < w.size() && (all || w[moments->undecided].peak + local < known); moments->undecided++) {
        Moment& m = w[moments->undecided];
        int n = 0;
        for (const Moment& o : w)
            if (llabs(o.peak - m.peak) <= local && n < mostNearby) strengths[n++] = o.strength;
        std::nth_element(strengths, strengths + n / 2, strengths + n);
        const double median = strengths[n / 2];
        bool strong = m.strength >= std::max(weakestMoment, relativeMoment * median) ||
                      (m.noted && m.strength >= std::max(weakestNotedMoment, relativeNotedMoment * median));
        bool any = false;
        for (uint32_t word : m.record.mask) any = any || word;
        if (!strong || !m.passes || !any) continue;
        if (m.record.timeMs <= moments->lastMs) m.record.timeMs = moments->lastMs + 1;
        moments->lastMs = m.record.timeMs;
        moments->sink(m.record, moments->user);
    }
    // Moments out of every later median's reach are let go.
    size_t gone = 0;
    const long long oldest = moments->undecided < w.size() ? w[moments->undecided].peak : known;
    while (gone < moments->undecided && w[gone].peak + local < oldest) gone++;
    w.erase(w.begin(), w.begin() + gone);
    moments->undecided -= gone;
}

// Every record still to come is heard at or after this time: no moment that peaks before
// the earliest undecided one is still to come, and a record lies within the merge reach of
// its peak.
static void updateHorizon(Moments* moments) {
    long long first = moments->nextPeakFrame;
    if (!moments->forming.empty()) first = std::min(first, moments->forming.front().peak);
    if (moments->undecided < moments->waiting.size()) first = std::min(first, moments->waiting[moments->undecided].peak);
    double ms = floor(seconds(first - mergeFrames) * 1000);
    int32_t bound = std::max((int32_t)std::max(ms, (double)INT32_MIN), moments->lastMs + 1);
    moments->horizon = std::max(moments->horizon, bound);
}

void openMoments(Moments* moments, OnsetSink sink, void* user) {
    moments->sink = sink;
    moments->user = user;
    for (int c = 0; c < onsetColumnCount; c++)
        for (QueuedOnset& n : moments->latest[c]) n.order = -1;
    moments->onsets.reserve(onsetsReserved);
    moments->forming.reserve(formingReserved);
    moments->waiting.reserve(waitingReserved);
}

void analyseMoments(Moments* moments, Pyramid* pyramid, const Bands& bands, long long tested) {
    queueBandOnsets(moments, bands.heard, bands.heardCount);
    // Band onsets found later come from frames after the one tested, heard at most a
    // detector delay (and half a frame) before it.
    formMoments(moments, tested + 0.5 - maxDelayFrames);
    completeMoments(moments, pyramid, bands);
    decideMoments(moments, false);
    updateHorizon(moments);
}

void finishMoments(Moments* moments) {
    decideMoments(moments, true);
    moments->horizon = INT32_MAX;
}
