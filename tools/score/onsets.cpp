// Decodes an Ogg Vorbis song and finds its note onsets, one detector per frequency band.
#include "onsets.h"

#include <fftw3.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>

double columnFrequency(double column) {
    return lowestColumnHz * pow(highestColumnHz / lowestColumnHz, column / (scoreColumns - 1));
}

double frequencyColumn(double hz) {
    return (scoreColumns - 1) * log(hz / lowestColumnHz) / log(highestColumnHz / lowestColumnHz);
}

// ---- decoding ----

struct MemorySource {
    const uint8_t* bytes;
    size_t size;
    size_t at;
};

static size_t readMemory(void* into, size_t size, size_t count, void* source) {
    MemorySource* s = (MemorySource*)source;
    if (size == 0) return 0;
    size_t items = std::min(count, (s->size - s->at) / size);
    if (items == 0) return 0;  // an empty song has no bytes at all: memcpy must not see null
    memcpy(into, s->bytes + s->at, items * size);
    s->at += items * size;
    return items;
}

static int seekMemory(void* source, ogg_int64_t offset, int whence) {
    MemorySource* s = (MemorySource*)source;
    ogg_int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (ogg_int64_t)s->at
                                                                   : (ogg_int64_t)s->size;
    ogg_int64_t to = base + offset;
    if (to < 0 || to > (ogg_int64_t)s->size) return -1;
    s->at = (size_t)to;
    return 0;
}

static long tellMemory(void* source) { return (long)((MemorySource*)source)->at; }

static std::string openError(int code) {
    switch (code) {
        case OV_ENOTVORBIS: return "not an Ogg Vorbis stream";
        case OV_EREAD: return "read error";
        case OV_EVERSION: return "unsupported Vorbis version";
        case OV_EBADHEADER: return "damaged Vorbis header";
        default: return "not a readable Ogg Vorbis stream";
    }
}

bool decodeVorbis(const uint8_t* bytes, size_t size, DecodedSong* song, std::string* error,
                  const ScoreProgress& progress) {
    const double longestSeconds = 15 * 60;  // bounds memory (~0.6 GB) on hostile or huge input
    const long lowestRate = 4000, highestRate = 384000;  // Hz
    const int chunk = 4096;  // samples per channel asked of the decoder at once
    song->samples.clear();
    MemorySource source = {bytes, size, 0};
    ov_callbacks callbacks = {readMemory, seekMemory, nullptr, tellMemory};
    OggVorbis_File vf;
    int opened = ov_open_callbacks(&source, &vf, nullptr, 0, callbacks);
    if (opened != 0) {
        *error = openError(opened);
        return false;
    }
    vorbis_info* info = ov_info(&vf, -1);
    if (!info || info->rate < lowestRate || info->rate > highestRate || info->channels < 1) {
        *error = "unsupported sample rate or channel count";
        ov_clear(&vf);
        return false;
    }
    song->rate = info->rate;
    song->channels = info->channels;
    const double limit = longestSeconds * song->rate;
    ogg_int64_t total = ov_pcm_total(&vf, -1);
    if (total > 0 && total < limit) song->samples.reserve((size_t)total);
    bool ok = true;
    for (;;) {
        float** pcm = nullptr;
        int link = 0;
        long n = ov_read_float(&vf, &pcm, chunk, &link);
        if (n == 0) break;
        if (n == OV_HOLE) continue;  // a gap in the stream: carry on after it
        if (n < 0) {
            *error = "damaged Vorbis data";
            ok = false;
            break;
        }
        vorbis_info* linkInfo = ov_info(&vf, link);
        if (!linkInfo || linkInfo->rate != song->rate) {
            *error = "the sample rate changes within the song";
            ok = false;
            break;
        }
        int channels = linkInfo->channels;
        for (long i = 0; i < n; i++) {
            double sum = 0;
            for (int c = 0; c < channels; c++) sum += pcm[c][i];
            song->samples.push_back((float)(sum / channels));
        }
        if ((double)song->samples.size() > limit) {
            *error = "longer than 15 minutes";
            ok = false;
            break;
        }
        if (progress && total > 0)
            progress(std::min(1.0, (double)song->samples.size() / total), (double)total / song->rate);
    }
    ov_clear(&vf);
    if (ok && song->samples.empty()) {
        *error = "holds no audio";
        ok = false;
    }
    if (!ok) song->samples.clear();
    return ok;
}

// ---- analysis ----

// Windows are fixed in seconds, not samples, so every rate sees the same time smearing
// and gives the same onset times. Bass needs a long window to be told apart; hats and
// other short sounds above the crossover are sharper, and earlier, in a short one.
static const double longWindowSeconds = 2048.0 / 44100;  // ~46 ms: bins ~22 Hz apart
static const double shortWindowSeconds = 512.0 / 44100;  // ~12 ms
static const double crossoverHz = 1500.0;                // short window above this
// A short window's bins are wide and noisy: each of its bands averages at least this
// many, so noise in one bin is not taken for an onset.
static const double shortFewestBins = 8;
static const double hopSeconds = 256.0 / 44100;          // frame step, ~5.8 ms
// How long after the heard onset each window's rise peaks (sharp attacks, 12 ms lag).
static const double longDelaySeconds = 0.020;
static const double shortDelaySeconds = 0.012;
// A rise is measured against the frame this much earlier; longer lags see soft attacks
// whole but also let reverb and noise through.
static const double lagSeconds = 0.012;

// Frames analysed before they are stored column by column: fits a core's cache.
static const int chunkFrames = 128;

// Smallest length >= n with only factors 2, 3, 5 and 7, which FFTW transforms fast.
static int fastLength(int n) {
    for (int m = n;; m++) {
        int r = m;
        for (int f : {2, 3, 5, 7})
            while (r % f == 0) r /= f;
        if (r == 1) return m;
    }
}

// Spectrum bins summed into one column: bins first.. with the given weights.
struct ColumnBand {
    int firstBin;
    std::vector<float> weights;
};

static std::vector<ColumnBand> columnBands(int window, long rate, double fewestBins) {
    const double binHz = (double)rate / window;
    const int lastBin = window / 2;
    std::vector<ColumnBand> bands(scoreColumns);
    for (int c = 0; c < scoreColumns; c++) {
        double lo = columnFrequency(c - 0.5) / binHz, hi = columnFrequency(c + 0.5) / binHz;
        if (hi - lo < fewestBins) {  // too narrow: widen around the centre
            double mid = columnFrequency(c) / binHz;
            lo = mid - 0.5 * fewestBins, hi = mid + 0.5 * fewestBins;
        }
        int first = std::max(1, (int)floor(lo + 0.5)), last = std::min(lastBin, (int)floor(hi + 0.5));
        bands[c].firstBin = first;
        for (int k = first; k <= last; k++) {
            double overlap = std::min(hi, k + 0.5) - std::max(lo, k - 0.5);
            bands[c].weights.push_back((float)(std::max(0.0, overlap) / (hi - lo)));
        }
    }
    return bands;
}

// One band's onset: when it is heard, how sharp it is and how loud it becomes.
struct BandOnset {
    double frame;    // heard at this frame, with a fraction (detector delay taken off)
    float strength;  // rise of log power, nats
    float level;     // mean log power over the sound's body
    int column;
};

// Log power of every column in every frame (frame f's window ends at sample f * hop),
// and the same from a spectrum widened by one bin each way: the reference a later
// frame must rise above, so a note that slides or wobbles in pitch is not new.
struct Spectrogram {
    int frames = 0;
    std::vector<float> level, reference;  // column-major: [column * frames + frame], natural log
    std::vector<double> delayFrames;      // per column: rise peak behind the heard onset
};

// One window length's transform and the columns it serves.
struct Analyser {
    int window = 0, firstColumn = 0, endColumn = 0;
    double binHz = 0;
    std::vector<float> shape;
    double scale = 0;  // makes a full-scale sine's peak bin near 1
    float* in = nullptr;
    fftwf_complex* out = nullptr;
    fftwf_plan plan = nullptr;
    std::vector<ColumnBand> bands;
    int usedBins = 0;  // bins below this feed the analyser's columns (with one spare)
    std::vector<float> power, widened;
};

static void openAnalyser(Analyser* a, int window, long rate, int firstColumn, int endColumn,
                         double fewestBins) {
    a->window = window;
    a->binHz = (double)rate / window;
    a->firstColumn = firstColumn;
    a->endColumn = endColumn;
    a->shape.resize(window);
    double sum = 0;
    for (int i = 0; i < window; i++) {
        a->shape[i] = (float)(0.5 - 0.5 * cos(2 * M_PI * (i + 0.5) / window));
        sum += a->shape[i];
    }
    a->scale = 4.0 / (sum * sum);
    const int bins = window / 2 + 1;
    a->in = fftwf_alloc_real(window);
    a->out = fftwf_alloc_complex(bins);
    a->plan = fftwf_plan_dft_r2c_1d(window, a->in, a->out, FFTW_ESTIMATE);
    a->bands = columnBands(window, rate, fewestBins);
    for (int c = firstColumn; c < endColumn; c++)
        a->usedBins = std::max(a->usedBins, a->bands[c].firstBin + (int)a->bands[c].weights.size() + 1);
    a->usedBins = std::min(a->usedBins, bins);
    a->power.resize(bins);
    a->widened.resize(bins);
}

static void closeAnalyser(Analyser* a) {
    fftwf_destroy_plan(a->plan);
    fftwf_free(a->out);
    fftwf_free(a->in);
}

// Power of the analyser's columns for the window ending just before sample 'end'.
static void analyseFrame(Analyser* a, const std::vector<float>& samples, long end, float* level,
                         float* reference) {
    // Below ~100 Hz a bin is a large step in pitch, and a kick's falling body must still
    // count as rising there.
    const double unwidenedHz = 100.0;
    const int unwidenedBins = (int)ceil(unwidenedHz / a->binHz);
    const long count = (long)samples.size(), start = end - a->window;
    for (int i = 0; i < a->window; i++) {
        long at = start + i;
        a->in[i] = at >= 0 && at < count ? samples[at] * a->shape[i] : 0.0f;
    }
    fftwf_execute(a->plan);
    const int bins = a->usedBins;
    for (int k = 0; k < bins; k++)
        a->power[k] = (float)(((double)a->out[k][0] * a->out[k][0] + (double)a->out[k][1] * a->out[k][1]) * a->scale);
    for (int k = 0; k < bins; k++)
        a->widened[k] = k < unwidenedBins ? a->power[k]
                                          : std::max({a->power[k], a->power[std::max(0, k - 1)],
                                                      a->power[std::min(bins - 1, k + 1)]});
    for (int c = a->firstColumn; c < a->endColumn; c++) {
        const ColumnBand& b = a->bands[c];
        double sum = 0, wide = 0;
        for (size_t j = 0; j < b.weights.size(); j++) {
            sum += b.weights[j] * a->power[b.firstBin + j];
            wide += b.weights[j] * a->widened[b.firstBin + j];
        }
        level[c] = (float)sum;
        reference[c] = (float)wide;
    }
}

static Spectrogram spectrogram(const DecodedSong& song, int hop, int frames, const ScoreProgress& progress) {
    const double silence = 1e-10;  // power floor for digital silence (-100 dB)
    const double bandFloor = 1e-3;  // a band's floor below its own loud level (-30 dB)
    const double songFloor = 1e-6;  // and below the song's loudest bands (-60 dB)
    const double loudQuantile = 0.95;  // a band's "loud level" is this quantile of its frames
    const int crossover = std::clamp((int)ceil(frequencyColumn(crossoverHz)), 0, scoreColumns);
    const double framesPerSecond = (double)song.rate / hop;
    Analyser analysers[2];
    openAnalyser(&analysers[0], fastLength((int)lround(song.rate * longWindowSeconds)), song.rate, 0,
                 crossover, 1);
    openAnalyser(&analysers[1], fastLength((int)lround(song.rate * shortWindowSeconds)), song.rate,
                 crossover, scoreColumns, shortFewestBins);
    Spectrogram s;
    s.frames = frames;
    s.level.resize((size_t)frames * scoreColumns);
    s.reference.resize((size_t)frames * scoreColumns);
    s.delayFrames.resize(scoreColumns);
    for (int c = 0; c < scoreColumns; c++) {
        bool longer = c < crossover;
        s.delayFrames[c] = (longer ? longDelaySeconds : shortDelaySeconds) * framesPerSecond;
    }
    // Frames come out a row of columns at a time; a chunk of rows is turned into runs of
    // each column, which every later pass reads in order.
    std::vector<float> rowLevel((size_t)chunkFrames * scoreColumns), rowReference(rowLevel.size());
    std::vector<float> loudest(frames);  // per frame: its loudest column's power
    for (int first = 0; first < frames; first += chunkFrames) {
        int n = std::min(chunkFrames, frames - first);
        for (int i = 0; i < n; i++) {
            float* level = &rowLevel[(size_t)i * scoreColumns];
            float* reference = &rowReference[(size_t)i * scoreColumns];
            for (Analyser& a : analysers)
                analyseFrame(&a, song.samples, (long)(first + i) * hop, level, reference);
            loudest[first + i] = *std::max_element(level, level + scoreColumns);
        }
        for (int c = 0; c < scoreColumns; c++) {
            float* level = &s.level[(size_t)c * frames + first];
            float* reference = &s.reference[(size_t)c * frames + first];
            for (int i = 0; i < n; i++) {
                level[i] = rowLevel[(size_t)i * scoreColumns + c];
                reference[i] = rowReference[(size_t)i * scoreColumns + c];
            }
        }
        if (progress) progress(0.8 * (first + n) / frames, (double)song.samples.size() / song.rate);
    }
    for (Analyser& a : analysers) closeAnalyser(&a);

    // Floors keep leakage, codec noise and far sidelobes from counting as onsets: a
    // band must rise well above what is negligible for it and for the whole song.
    const size_t q = (size_t)(loudQuantile * (frames - 1));
    std::nth_element(loudest.begin(), loudest.begin() + q, loudest.end());
    const double songLevel = loudest[q];
    // A band's loud level from a sample of its frames: the same figure for a fraction
    // of the work on long songs.
    const int sampled = 8192, stride = std::max(1, frames / sampled);
    std::vector<float> column;
    for (int c = 0; c < scoreColumns; c++) {
        float* level = &s.level[(size_t)c * frames];
        float* reference = &s.reference[(size_t)c * frames];
        column.clear();
        for (int f = 0; f < frames; f += stride) column.push_back(level[f]);
        size_t k = (size_t)(loudQuantile * (column.size() - 1));
        std::nth_element(column.begin(), column.begin() + k, column.end());
        float floor = (float)std::max({silence, column[k] * bandFloor, songLevel * songFloor});
        for (int f = 0; f < frames; f++) {
            level[f] = logf(level[f] + floor);
            reference[f] = logf(reference[f] + floor);
        }
    }
    return s;
}

static std::vector<BandOnset> bandOnsets(const Spectrogram& s, double framesPerSecond) {
    const double peakSeconds = 0.020;    // a peak is the largest rise within this reach
    const double pastSeconds = 0.070;    // the adaptive threshold averages this far back
    const double aheadSeconds = 0.035;   // and this far ahead
    const double gapSeconds = 0.060;     // one band fires at most once in this time
    const double riseOver = 1.2;         // nats above the local mean rise (~5 dB)
    const double bodySeconds = 0.050;    // a band's level is its mean over this much
    const int frames = s.frames;
    const int reach = std::max(1, (int)lround(peakSeconds * framesPerSecond));
    const int past = (int)lround(pastSeconds * framesPerSecond);
    const int ahead = (int)lround(aheadSeconds * framesPerSecond);
    const int gap = (int)lround(gapSeconds * framesPerSecond);
    const int lag = std::max(1, (int)lround(lagSeconds * framesPerSecond));
    const int body = (int)lround(bodySeconds * framesPerSecond);

    std::vector<BandOnset> found;
    std::vector<float> col(frames, 0.0f);
    std::vector<double> prefix(frames + 1);
    for (int c = 0; c < scoreColumns; c++) {
        const float* levels = &s.level[(size_t)c * frames];
        const float* references = &s.reference[(size_t)c * frames];
        for (int f = lag; f < frames; f++) col[f] = std::max(0.0f, levels[f] - references[f - lag]);
        prefix[0] = 0;
        for (int f = 0; f < frames; f++) prefix[f + 1] = prefix[f] + col[f];
        int last = -gap;
        for (int f = 1; f + 1 < frames; f++) {
            float v = col[f];
            if (v <= riseOver || f - last < gap) continue;
            bool peak = true;
            for (int d = 1; d <= reach && peak; d++) {
                if (f - d >= 0 && col[f - d] >= v) peak = false;
                if (f + d < frames && col[f + d] > v) peak = false;
            }
            if (!peak) continue;
            int a = std::max(0, f - past), b = std::min(frames, f + ahead + 1);
            double mean = (prefix[b] - prefix[a]) / (b - a);
            if (v < mean + riseOver) continue;
            double l = col[f - 1], r = col[f + 1], den = l - 2.0 * v + r;
            double shift = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
            // How loud the band becomes over the sound's body, not just its first instant:
            // a kick's first instant is high, its body low.
            double level = 0;
            for (int d = 0; d <= body; d++) level += levels[std::min(frames - 1, f + lag + d)];
            level /= body + 1;
            found.push_back({f + shift - s.delayFrames[c], v, (float)level, c});
            last = f;
        }
    }
    return found;
}

// A moment of the song: band onsets heard together, one record of the table.
struct Moment {
    double frame;                 // where the pooled rise peaks
    std::vector<size_t> members;  // indices of its band onsets
    double strength = 0;          // summed rise of its members, nats
    bool hasLow = false;          // something low starts here, which bass bands may join
};

// Moments from some band onsets: peaks of their summed rise, smoothed over the merge
// reach, taken highest first and at least that reach apart; each onset then joins the
// nearest moment within reach.
static std::vector<Moment> poolMoments(const std::vector<BandOnset>& onsets,
                                       const std::vector<size_t>& which, double merge, int frames) {
    const int span = frames + 2;
    std::vector<double> pooled(span, 0.0), smooth(span, 0.0);
    for (size_t i : which) pooled[(size_t)std::max(0.0, onsets[i].frame + 0.5)] += onsets[i].strength;
    const int half = std::max(1, (int)lround(merge / 2));
    for (int f = 0; f < span; f++)
        for (int d = -half; d <= half; d++)
            if (f + d >= 0 && f + d < span) smooth[f] += pooled[f + d] * (half + 1 - abs(d));
    std::vector<int> peaks;
    for (int f = 0; f < span; f++)
        if (smooth[f] > 0 && (f == 0 || smooth[f - 1] < smooth[f]) && (f + 1 == span || smooth[f + 1] <= smooth[f]))
            peaks.push_back(f);
    std::stable_sort(peaks.begin(), peaks.end(), [&](int a, int b) { return smooth[a] > smooth[b]; });
    std::vector<bool> blocked(span, false);
    const int apart = (int)ceil(merge) - 1;
    std::vector<Moment> moments;
    for (int p : peaks) {
        if (blocked[p]) continue;
        moments.push_back({(double)p, {}});
        for (int d = -apart; d <= apart; d++)
            if (p + d >= 0 && p + d < span) blocked[p + d] = true;
    }
    std::sort(moments.begin(), moments.end(), [](const Moment& a, const Moment& b) { return a.frame < b.frame; });
    for (size_t i : which) {
        auto it = std::lower_bound(moments.begin(), moments.end(), onsets[i].frame,
                                   [](const Moment& m, double f) { return m.frame < f; });
        Moment* best = nullptr;
        double bestDistance = merge;
        for (auto m : {it, it == moments.begin() ? it : it - 1}) {
            if (m == moments.end()) continue;
            double d = fabs(m->frame - onsets[i].frame);
            if (d <= bestDistance) best = &*m, bestDistance = d;
        }
        if (best) {
            best->members.push_back(i);
            best->strength += onsets[i].strength;
        }
    }
    return moments;
}

std::vector<OnsetFrame> findOnsets(const DecodedSong& song, const ScoreProgress& progress) {
    const double mergeSeconds = 0.050;     // band onsets this close are one moment
    const double bassPeriods = 5;          // a bass band may lag its moment by this many periods
    const double bassEarlySeconds = 0.010; // but never come before it by more than this
    const double lowSoundHz = 400;         // a moment with a band below this takes bass
    const int peakColumns = 4;             // a band onset must be the loudest this far either side
    const int neighbourColumns = 14;       // and the show lights one column in this reach
    const int mostColumns = 96;            // columns one record may light
    const double sharpShare = 0.4;         // a lit band rises at least this share of the sharpest
    const double weakestMoment = 3.5;      // summed rise a moment needs, nats
    const double relativeMoment = 0.15;    // and this share of the median moment nearby
    const double localSeconds = 2.0;       // reach of that median
    std::vector<OnsetFrame> table;
    if (song.rate <= 0 || song.samples.empty()) return table;
    const int hop = std::max(1, (int)lround(song.rate * hopSeconds));
    const int frames = (int)(song.samples.size() / hop) + 2;
    const double framesPerSecond = (double)song.rate / hop;
    const double merge = mergeSeconds * framesPerSecond;

    const Spectrogram spec = spectrogram(song, hop, frames, progress);
    std::vector<BandOnset> all = bandOnsets(spec, framesPerSecond);
    std::sort(all.begin(), all.end(), [](const BandOnset& a, const BandOnset& b) { return a.frame < b.frame; });

    // A band counts only where it is the loudest among its neighbours: the spectral peaks
    // of a sound, not the smear around them or its sidelobes.
    std::vector<bool> keep(all.size(), true);
    for (size_t i = 0; i < all.size(); i++) {
        for (size_t j = i + 1; j < all.size() && all[j].frame - all[i].frame <= 1.5; j++) {
            if (abs(all[i].column - all[j].column) > peakColumns) continue;
            if (all[i].level >= all[j].level) keep[j] = false;
            else keep[i] = false;
        }
    }
    std::vector<BandOnset> onsets;
    for (size_t i = 0; i < all.size(); i++)
        if (keep[i]) onsets.push_back(all[i]);

    // Bass needs several periods to build up, so a low band hears a kick or a bass note
    // late: it joins the latest moment before it that is within its reach and starts
    // something low itself (not a hat). Alone it makes no moment: a sustained sub-bass
    // stirs its bands without a new note.
    std::vector<size_t> prompt, late;
    std::vector<double> reach(onsets.size());
    for (size_t i = 0; i < onsets.size(); i++) {
        reach[i] = bassPeriods / columnFrequency(onsets[i].column) * framesPerSecond;
        (reach[i] > merge ? late : prompt).push_back(i);
    }
    std::vector<Moment> moments = poolMoments(onsets, prompt, merge, frames);
    for (Moment& m : moments)
        for (size_t i : m.members) m.hasLow |= columnFrequency(onsets[i].column) < lowSoundHz;
    const double early = bassEarlySeconds * framesPerSecond;
    for (size_t i : late) {
        auto it = std::upper_bound(moments.begin(), moments.end(), onsets[i].frame + early,
                                   [](double f, const Moment& m) { return f < m.frame; });
        if (it != moments.begin() && onsets[i].frame - (it - 1)->frame <= reach[i] && (it - 1)->hasLow)
            (it - 1)->members.push_back(i);  // adds a column, not weight: see below
    }

    // A moment must stand out from its surroundings: weak stirrings between notes (codec
    // noise, a filter moving) are dropped; the median keeps quiet passages their own scale.
    // Late bass bands do not count towards a moment they joined, or a rumble would carry
    // a faint stirring above the bar.
    const double local = localSeconds * framesPerSecond;
    std::vector<double> strengths;
    std::vector<bool> strong(moments.size(), false);
    size_t from = 0, to = 0;
    for (size_t i = 0; i < moments.size(); i++) {
        while (moments[from].frame < moments[i].frame - local) from++;
        while (to < moments.size() && moments[to].frame <= moments[i].frame + local) to++;
        strengths.clear();
        for (size_t j = from; j < to; j++) strengths.push_back(moments[j].strength);
        std::nth_element(strengths.begin(), strengths.begin() + strengths.size() / 2, strengths.end());
        double median = strengths[strengths.size() / 2];
        strong[i] = moments[i].strength >= std::max(weakestMoment, relativeMoment * median);
    }
    // Where the song as a whole grows quieter, some bands rising are the tail of an ending
    // (a release, a reverb swell), not a new sound.
    const int lag = std::max(1, (int)lround(lagSeconds * framesPerSecond));
    for (size_t i = 0; i < moments.size(); i++) {
        if (!strong[i]) continue;
        double change = 0;  // summed over all bands, nats
        for (int c = 0; c < scoreColumns; c++) {
            int f = std::clamp((int)lround(moments[i].frame + spec.delayFrames[c]), lag, frames - 1);
            change += spec.level[(size_t)c * frames + f] - spec.level[(size_t)c * frames + f - lag];
        }
        strong[i] = change >= 0;
    }

    int lastMs = -1;
    for (size_t k = 0; k < moments.size(); k++) {
        Moment& m = moments[k];
        if (!strong[k] || m.members.empty()) continue;
        // The moment is heard when its prompt bands rise; late bass bands only add columns.
        double weighted = 0, weight = 0;
        for (size_t i : m.members)
            if (reach[i] <= merge) weighted += onsets[i].frame * onsets[i].strength, weight += onsets[i].strength;
        if (weight == 0)
            for (size_t i : m.members) weighted += onsets[i].frame * onsets[i].strength, weight += onsets[i].strength;
        double seconds = weighted / weight / framesPerSecond;
        int ms = std::max(0, (int)lround(seconds * 1000));
        if (ms <= lastMs) ms = lastMs + 1;
        // Thin the peaks further for the show: one flash per neighbourhood of columns.
        std::vector<size_t> lit;
        std::sort(m.members.begin(), m.members.end(),
                  [&](size_t a, size_t b) { return onsets[a].level > onsets[b].level; });
        // Bands merely stirring beside sharp ones (a detuned pad swelling under a hat)
        // are left dark; late bass keeps its place, being slow by nature.
        float sharpest = 0;
        for (size_t i : m.members) sharpest = std::max(sharpest, onsets[i].strength);
        for (size_t i : m.members) {
            bool sharp = reach[i] > merge || onsets[i].strength >= sharpShare * sharpest;
            bool clear = sharp && (int)lit.size() < mostColumns;
            for (size_t j : lit)
                if (abs(onsets[i].column - onsets[j].column) <= neighbourColumns) clear = false;
            if (clear) lit.push_back(i);
        }
        OnsetFrame record = {ms, {0}};
        for (size_t i : lit) record.mask[onsets[i].column / 32] |= 1u << (onsets[i].column % 32);
        table.push_back(record);
        lastMs = ms;
    }
    if (progress) progress(1.0, (double)song.samples.size() / song.rate);
    return table;
}

bool scoreVorbis(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error, const ScoreProgress& progress) {
    DecodedSong song;
    ScoreProgress decodePart, analysePart;
    if (progress) {
        decodePart = [&](double x, double seconds) { progress(0.4 * x, seconds); };
        analysePart = [&](double x, double seconds) { progress(0.4 + 0.6 * x, seconds); };
    }
    if (!decodeVorbis(bytes, size, &song, error, decodePart)) return false;
    *table = findOnsets(song, analysePart);
    return true;
}

// ---- C++ source ----

std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName) {
    static const OnsetFrame empty = {0, {0}};
    const OnsetFrame* records = table.empty() ? &empty : table.data();
    size_t count = table.empty() ? 1 : table.size();
    std::string s;
    s.reserve(count * 140 + 256);
    char line[256];
    snprintf(line, sizeof line,
             "// Onset table of %s, written by xoon-score: do not edit.\n"
             "#include \"onset_table.h\"\n\nconst OnsetFrame onsetTable[%zu] = {\n",
             songName.c_str(), count);
    s += line;
    for (size_t r = 0; r < count; r++) {
        snprintf(line, sizeof line, "    {%d, {", (int)records[r].timeMs);
        s += line;
        for (int w = 0; w < onsetMaskWords; w++) {
            snprintf(line, sizeof line, w ? ", 0x%08X" : "0x%08X", (unsigned)records[r].mask[w]);
            s += line;
        }
        s += "}},\n";
    }
    snprintf(line, sizeof line, "};\n\nconst int32_t onsetFrameCount = %zu;\n", count);
    s += line;
    return s;
}

bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table) {
    table->clear();
    size_t at = text.find("onsetTable[");
    if (at == std::string::npos) return false;
    size_t declared = strtoul(text.c_str() + at + 11, nullptr, 10);
    at = text.find('{', at);
    if (at == std::string::npos) return false;
    const char* p = text.c_str() + at + 1;
    for (;;) {
        while (*p == ' ' || *p == '\n' || *p == ',') p++;
        if (*p == '}') break;
        OnsetFrame r;
        char* end;
        if (*p++ != '{') return false;
        r.timeMs = (int32_t)strtol(p, &end, 10);
        if (end == p) return false;
        p = end;
        while (*p == ' ' || *p == ',') p++;
        if (*p++ != '{') return false;
        for (int w = 0; w < onsetMaskWords; w++) {
            while (*p == ' ' || *p == ',') p++;
            r.mask[w] = (uint32_t)strtoul(p, &end, 16);
            if (end == p) return false;
            p = end;
        }
        if (p[0] != '}' || p[1] != '}') return false;
        p += 2;
        table->push_back(r);
    }
    const char* count = strstr(p, "onsetFrameCount = ");
    return count && strtoul(count + 18, nullptr, 10) == declared && table->size() == declared;
}
