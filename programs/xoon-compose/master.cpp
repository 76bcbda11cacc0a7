// The composer's mastering: loudness and true peak measured by libebur128, and a look-ahead
// limiter brought down until the master meets both.
#include "master.h"

#include <ebur128.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <deque>

#include "cli/cli.h"

static const int masteringPasses = 8;  // at most, lowering the limiter each time

class LoudnessMeter {
public:
    explicit LoudnessMeter(long rate)
        : state(ebur128_init(stereo, (unsigned long)rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK)) {
        if (!state) cliFail("cannot start libebur128: out of memory");
    }
    ~LoudnessMeter() { ebur128_destroy(&state); }
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void add(const float* left, const float* right, size_t frames) {
        for (size_t at = 0; at < frames; at += chunkFrames) {
            const size_t n = std::min(chunkFrames, frames - at);
            for (size_t i = 0; i < n; i++) {
                interleaved[stereo * i] = left[at + i];
                interleaved[stereo * i + 1] = right[at + i];
            }
            ebur128_add_frames_float(state, interleaved, n);
        }
    }
    Loudness result() {
        Loudness m = {};
        double peak = 0;
        for (unsigned c = 0; c < stereo; c++) {
            double channelPeak = 0;
            ebur128_true_peak(state, c, &channelPeak);
            peak = std::max(peak, channelPeak);
        }
        ebur128_loudness_global(state, &m.integratedLufs);
        m.truePeakDbtp = 20.0 * log10(std::max(peak, 1e-10));
        return m;
    }

private:
    static constexpr size_t chunkFrames = 4096;
    ebur128_state* state;
    float interleaved[stereo * chunkFrames];
};

static Loudness measure(const std::vector<float>& l, const std::vector<float>& r) {
    LoudnessMeter meter(sampleRate);
    meter.add(l.data(), r.data(), l.size());
    return meter.result();
}

// The encoded file read back as a player would decode it, measured.
bool measureEncoded(const char* path, Loudness* m) {
    OggVorbis_File vf;
    if (ov_fopen(path, &vf) != 0) return false;
    const vorbis_info* vi = ov_info(&vf, -1);
    if (!vi || vi->channels != stereo) {
        ov_clear(&vf);
        return false;
    }
    LoudnessMeter meter(vi->rate);
    for (;;) {
        float** pcm;
        int section;
        const long n = ov_read_float(&vf, &pcm, 4096, &section);
        if (n < 0) {
            ov_clear(&vf);
            return false;
        }
        if (n == 0) break;
        meter.add(pcm[0], pcm[1], (size_t)n);
    }
    ov_clear(&vf);
    *m = meter.result();
    return true;
}

// Look-ahead peak limiter: returns the gain for every sample, which falls before a peak
// arrives (never after), so nothing overshoots the ceiling and nothing is delayed.
static std::vector<float> limiterGain(const std::vector<float>& inL, const std::vector<float>& inR,
                                      double gain, double ceiling) {
    const int lookAhead = 96;  // samples, about 2 ms
    const double releaseS = 0.12;
    const double recover = 1.0 - exp(-1.0 / (releaseS * sampleRate));
    int64_t n = (int64_t)inL.size();
    std::vector<float> need(n);
    for (int64_t i = 0; i < n; i++) {
        double peak = std::max(fabs(inL[i]), fabs(inR[i])) * gain;
        need[i] = (float)(peak > ceiling ? ceiling / peak : 1.0);
    }
    // Sliding minimum over [i, i + lookAhead], then release, then a moving average over
    // [i - lookAhead, i]: every term of that average is at most need[i].
    std::vector<float> held(n);
    std::deque<int64_t> window;
    double level = 1.0;
    for (int64_t i = 0, j = 0; i < n; i++) {
        for (; j < n && j <= i + lookAhead; j++) {
            while (!window.empty() && need[window.back()] >= need[j]) window.pop_back();
            window.push_back(j);
        }
        while (window.front() < i) window.pop_front();
        level = std::min((double)need[window.front()], level + (1.0 - level) * recover);
        held[i] = (float)level;
    }
    std::vector<float> out(n);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) {
        sum += held[i];
        if (i > lookAhead) sum -= held[i - lookAhead - 1];
        out[i] = (float)(gain * sum / (double)(std::min<int64_t>(i, lookAhead) + 1));
    }
    return out;
}

void applyGain(const Mix& mix, const std::vector<float>& gain, std::vector<float>& outL,
                      std::vector<float>& outR) {
    outL.resize(gain.size());
    outR.resize(gain.size());
    for (size_t i = 0; i < gain.size(); i++) {
        outL[i] = (float)((double)mix.left[i] * gain[i]);
        outR[i] = (float)((double)mix.right[i] * gain[i]);
    }
}

// Gain for every sample: toward the loudness target, re-measured after the limiter has
// shaved the peaks; the limiter, which sees sample peaks only, comes down until the true
// peaks (between the samples) stay below the ceiling less the encoder's margin.
std::vector<float> masterGain(const Mix& mix, Loudness* mastered) {
    const double truePeakGoal = truePeakCeilingDbtp - encoderMarginDb;
    double ceilingDbfs = truePeakGoal;  // of sample peaks, which the true peaks exceed
    double gain = pow(10.0, (targetLufs - measure(mix.left, mix.right).integratedLufs) / 20.0);
    std::vector<float> outL, outR, curve;
    for (int pass = 0; pass < masteringPasses; pass++) {
        cliProgress("mastering, pass %d", pass + 1);
        const double ceiling = pow(10.0, ceilingDbfs / 20.0);
        for (int step = 0; step < 3; step++) {
            applyGain(mix, limiterGain(mix.left, mix.right, gain, ceiling), outL, outR);
            gain *= pow(10.0, (targetLufs - measure(outL, outR).integratedLufs) / 20.0);
        }
        curve = limiterGain(mix.left, mix.right, gain, ceiling);
        applyGain(mix, curve, outL, outR);
        *mastered = measure(outL, outR);
        const double excess = mastered->truePeakDbtp - truePeakGoal;
        if (excess <= 0) break;
        ceilingDbfs -= excess;
    }
    return curve;
}

