// The pyramid: a song's samples, halved in rate level by level, to windowed power spectra.
#include "score/pyramid.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <mutex>

// Frames count at stride 1, the analyser's; a level's samples count at its own rate, so
// frame f's windows end at level-L sample f * (hopSamples >> L).

static_assert(halfBandReach == 11, "decimate() spells the taps out");
static_assert(maxAnalysisChannels == 2, "takeSamples() takes one or two channels");

// The 11.6 and 46-ms levels' spectra are kept; keptSlot is where.
static bool keptLevel(int level) { return level == 0 || level == 2; }
static int keptSlot(int level) { return level == 0 ? 0 : 1; }

// The filter's taps by distance from the centre (a Blackman-windowed sinc) and the
// transform's window, made once for every analyser.
struct Tables {
    float halfBand[halfBandReach + 1];
    float hann[fftSize];
    double hannScale;  // makes a full-scale sine's peak bin near 1
};

static const Tables& tables() {
    static const Tables t = [] {
        Tables made;
        double taps[halfBandReach + 1], sum = 0;
        for (int k = 0; k <= halfBandReach; k++) {
            double x = 0.5 * k;
            double sinc = k == 0 ? 1.0 : sin(M_PI * x) / (M_PI * x);
            double w = 0.42 + 0.5 * cos(M_PI * k / (halfBandReach + 1)) + 0.08 * cos(2 * M_PI * k / (halfBandReach + 1));
            taps[k] = sinc * w;
            sum += k == 0 ? taps[k] : 2 * taps[k];
        }
        for (int k = 0; k <= halfBandReach; k++) made.halfBand[k] = (float)(taps[k] / sum);
        double windowSum = 0;
        for (int i = 0; i < fftSize; i++) {
            made.hann[i] = (float)(0.5 - 0.5 * cos(2 * M_PI * (i + 0.5) / fftSize));
            windowSum += made.hann[i];
        }
        made.hannScale = 4.0 / (windowSum * windowSum);
        return made;
    }();
    return t;
}

// Samples a level keeps: the frames kept reach back, a window and the filter's reach.
static int levelKept(int level) {
    const int frames = keptLevel(level) ? 1 : lookBackFrames;
    return (frames * hopSamples >> level) + fftSize + 4 * halfBandReach + feedChunk;
}

static float levelSample(const Level& l, long long i) {
    if (i < 0 || i >= l.count) return 0.0f;
    assert(i >= l.first);
    return l.buffer[i - l.first];
}

// Room for n samples after a level's last, made by dropping the oldest ones no stage
// reads any more. The caller writes them and counts them in.
static float* levelEnd(Level* l, int n) {
    assert(n <= l->kept);
    if (l->count - l->first + n > (long long)l->buffer.size()) {
        long long drop = l->count - l->first - l->kept;
        memmove(l->buffer.data(), l->buffer.data() + drop, (size_t)l->kept * sizeof(float));
        l->first += drop;
    }
    return l->buffer.data() + (l->count - l->first);
}

// Makes every sample of the deeper levels that the level above now allows: level L+1
// sample j is centred on level-L sample 2j, so it needs 2j + reach.
wideLoops static void decimate(Pyramid* p, int channel) {
    const float* h = tables().halfBand;
    for (int level = 0; level + 1 < pyramidLevels; level++) {
        const Level& from = p->levels[channel][level];
        Level& to = p->levels[channel][level + 1];
        const long long begin = to.count, end = (from.count - halfBandReach + 1) / 2;  // j with 2j + reach < count
        if (end <= begin) continue;
        const int n = (int)(end - begin);
        assert(n <= feedChunk);
        float* made = levelEnd(&to, n);
        // Outputs whose taps all lie in the buffer take the quick way (all but the song's first).
        const long long firstWhole = std::max(begin, (from.first + halfBandReach + 1) / 2);
        for (long long j = begin; j < std::min(end, firstWhole); j++) {
            auto at = [&](long long k) { return levelSample(from, 2 * j + k); };
            made[j - begin] = h[0] * at(0) + h[1] * (at(-1) + at(1)) + h[3] * (at(-3) + at(3)) + h[5] * (at(-5) + at(5)) +
                              h[7] * (at(-7) + at(7)) + h[9] * (at(-9) + at(9)) + h[11] * (at(-11) + at(11));
        }
        if (firstWhole < end) {
            // By phases: the centre tap reads the even samples, the others the odd ones, so
            // each tap reads consecutive samples. odd[m] is the sample 2m - reach from the
            // first output's centre.
            const float* x = from.buffer.data() + (2 * firstWhole - from.first);
            const int whole = (int)(end - firstWhole);
            float even[feedChunk], odd[feedChunk + halfBandReach];
            for (int i = 0; i < whole; i++) even[i] = x[2 * i];
            for (int m = 0; m < whole + halfBandReach; m++) odd[m] = x[2 * m - halfBandReach];
            float* y = made + (firstWhole - begin);
            for (int i = 0; i < whole; i++) {
                const float* o = odd + i;
                y[i] = h[0] * even[i] + h[1] * (o[5] + o[6]) + h[3] * (o[4] + o[7]) + h[5] * (o[3] + o[8]) +
                       h[7] * (o[2] + o[9]) + h[9] * (o[1] + o[10]) + h[11] * (o[0] + o[11]);
            }
        }
        to.count += n;
    }
}

// One channel's transform of a level's window ending at 'end' (in the level's samples).
// The second channel's transform goes to a buffer of its own, so both stay in hand.
wideLoops static void transform(Pyramid* p, int channel, int level, long long end) {
    const Level& l = p->levels[channel][level];
    const float* w = tables().hann;
    const long long start = end - fftSize;
    if (start >= l.first && end <= l.count) {
        const float* x = l.buffer.data() + (start - l.first);
        for (int i = 0; i < fftSize; i++) p->in[i] = x[i] * w[i];
    } else {
        for (int i = 0; i < fftSize; i++) p->in[i] = levelSample(l, start + i) * w[i];
    }
    if (channel == 0) fftwf_execute(p->plan);
    else fftwf_execute_dft_r2c(p->plan, p->in, p->outOther);
}

// The channels' powers summed, of the window of a level that ends with frame f; and, for
// the bands, the power of their mix.
wideLoops static void levelPower(Pyramid* p, int level, long long f, float* power, float* mix) {
    const float scale = (float)tables().hannScale / p->channels;
    const float mixScale = (float)tables().hannScale * 0.25f;
    const long long end = f * (hopSamples >> level);
    const fftwf_complex* first = p->out;
    for (int ch = 0; ch < p->channels; ch++) {
        transform(p, ch, level, end);
        const fftwf_complex* z = ch == 0 ? p->out : p->outOther;
        if (ch == 0) {
            for (int k = 0; k < fftBins; k++) power[k] = (z[k][0] * z[k][0] + z[k][1] * z[k][1]) * scale;
        } else {
            for (int k = 0; k < fftBins; k++) power[k] += (z[k][0] * z[k][0] + z[k][1] * z[k][1]) * scale;
            if (mix)
                for (int k = 0; k < fftBins; k++) {
                    float re = first[k][0] + z[k][0], im = first[k][1] + z[k][1];
                    mix[k] = (re * re + im * im) * mixScale;
                }
        }
    }
    if (mix && p->channels == 1) memcpy(mix, power, fftBins * sizeof(float));
}

// FFTW's planner is one for the process: plans are made and destroyed under this lock.
static std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

void openPyramid(Pyramid* p, int channels) {
    p->channels = channels;
    for (int ch = 0; ch < channels; ch++)
        for (int level = 0; level < pyramidLevels; level++) {
            Level& l = p->levels[ch][level];
            l.kept = levelKept(level);
            l.buffer.assign(levelBufferTimes * (size_t)l.kept, 0.0f);
        }
    p->in = fftwf_alloc_real(fftSize);
    p->out = fftwf_alloc_complex(fftBins);
    p->outOther = fftwf_alloc_complex(fftBins);
    std::lock_guard<std::mutex> hold(plannerLock());
    p->plan = fftwf_plan_dft_r2c_1d(fftSize, p->in, p->out, FFTW_ESTIMATE);
}

void closePyramid(Pyramid* p) {
    {
        std::lock_guard<std::mutex> hold(plannerLock());
        fftwf_destroy_plan(p->plan);
    }
    fftwf_free(p->out);
    fftwf_free(p->outOther);
    fftwf_free(p->in);
}

// takeSamples' work: a static function, as every cloned one is (some compilers name a
// clone's dispatcher apart from the function, and other files would not find it).
wideLoops static void takeChunk(Pyramid* p, const float* samples, int frames) {
    assert(frames <= feedChunk);
    // Samples far beyond full scale (or not numbers at all) are a damaged source, not
    // music: they are clipped (or silenced) so the sums stay finite.
    auto clean = [](float x) {
        x = x > sampleLimit ? sampleLimit : x;
        x = x < -sampleLimit ? -sampleLimit : x;
        return x == x ? x : 0.0f;
    };
    float* left = levelEnd(&p->levels[0][0], frames);
    if (p->channels == 1) {
        for (int i = 0; i < frames; i++) left[i] = clean(samples[i]);
    } else {
        float* right = levelEnd(&p->levels[1][0], frames);
        for (int i = 0; i < frames; i++) {
            left[i] = clean(samples[2 * i]);
            right[i] = clean(samples[2 * i + 1]);
        }
    }
    for (int ch = 0; ch < p->channels; ch++) {
        p->levels[ch][0].count += frames;
        decimate(p, ch);
    }
}

void takeSamples(Pyramid* p, const float* samples, int frames) { takeChunk(p, samples, frames); }

// Input samples frame f needs before it can be analysed: the framed levels' windows end
// there, and each level's filter reaches a little ahead.
static long long samplesForFrame(long long f) {
    long long need = f * hopSamples;
    for (int level = 1; level < framedLevels; level++) need += (long long)halfBandReach << level;
    return need + 1;
}

bool frameReady(const Pyramid& p, long long f) { return p.levels[0][0].count >= samplesForFrame(f); }

void takeSpectra(Pyramid* p, long long f, bool withMid, FrameSpectra* spectra) {
    for (int level = 0; level < framedLevels; level++) {
        spectra->mix[level] = spectra->sum[level] = nullptr;
        if (!keptLevel(level)) continue;
        float* power = p->power[keptSlot(level)][f & (lookBackFrames - 1)];
        levelPower(p, level, f, power, spectra->mixPower[level]);
        spectra->sum[level] = power;
        spectra->mix[level] = spectra->mixPower[level];
    }
    if (withMid) {
        levelPower(p, midLevel, f, spectra->midPower, nullptr);
        spectra->sum[midLevel] = spectra->midPower;
    }
    p->framesMade = f + 1;
}

const float* levelSpectrum(Pyramid* p, int level, long long f, float* scratch) {
    if (keptLevel(level)) {
        assert(f < p->framesMade && f > p->framesMade - lookBackFrames);
        return p->power[keptSlot(level)][f & (lookBackFrames - 1)];
    }
    levelPower(p, level, f, scratch, nullptr);
    return scratch;
}
