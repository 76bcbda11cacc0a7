// Whether a table's bits stand where the song's own sound rose, measured on its samples.
#include "programs/xoon-score-eval/rises.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/decoder.h"
#include "programs/xoon-score-eval/evaluate.h"
#include "score/analysis.h"

namespace {

constexpr double stepSeconds = 0.005;  // moments tried within the reach
constexpr int resolutions = 3;
constexpr int windowSizes[resolutions] = {4096, 2048, 1024};
constexpr double resolutionBelowHz[resolutions] = {250, 1000, 1e9};
constexpr double quietPower = 1e-12;  // digital silence, on a full-scale sine's scale

// One window length's transform and the band power of a column.
class Spectrum {
public:
    explicit Spectrum(int size) : n(size), window(size), in(fftwf_alloc_real(size)), out(fftwf_alloc_complex(size / 2 + 1)) {
        double sum = 0;
        for (int i = 0; i < n; i++) sum += window[i] = (float)(0.5 - 0.5 * cos(2 * M_PI * (i + 0.5) / n));
        scale = 4.0 / (sum * sum);
        plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    }
    ~Spectrum() {
        fftwf_destroy_plan(plan);
        fftwf_free(in);
        fftwf_free(out);
    }
    Spectrum(const Spectrum&) = delete;
    Spectrum& operator=(const Spectrum&) = delete;

    // The power spectrum of the window starting at sample 'start' (silence outside).
    void take(const std::vector<float>& x, long start, std::vector<double>* power) {
        for (int i = 0; i < n; i++) {
            const long at = start + i;
            in[i] = at >= 0 && at < (long)x.size() ? x[at] * window[i] : 0.0f;
        }
        fftwf_execute(plan);
        power->resize(n / 2 + 1);
        for (int k = 0; k <= n / 2; k++) (*power)[k] = (out[k][0] * out[k][0] + out[k][1] * out[k][1]) * scale;
    }
    double band(const std::vector<double>& power, int column) const {
        const double binHz = (double)analysisRateHz / n;
        const int centre = (int)lround(columnFrequency(column) / binHz);
        const int from = std::max(1, std::min(centre - 1, (int)ceil(columnFrequency(column - riseBandColumns) / binHz)));
        const int to = std::min(n / 2, std::max(centre + 1, (int)floor(columnFrequency(column + riseBandColumns) / binHz)));
        double sum = 0;
        for (int k = from; k <= to; k++) sum += power[k];
        return sum;
    }

private:
    int n;
    std::vector<float> window;
    float* in;
    fftwf_complex* out;
    fftwf_plan plan;
    double scale;
};

int resolutionOf(int column) {
    int r = 0;
    while (columnFrequency(column) >= resolutionBelowHz[r]) r++;
    return r;
}

}  // namespace

bool decodeMono(const char* songPath, std::vector<float>* samples, std::string* error) {
    AudioDecoder* decoder = openAudioDecoder(songPath, analysisRateHz, 1, error);
    if (!decoder) return false;
    float block[4096];
    for (int n; (n = readAudioFrames(decoder, block, 4096)) > 0;) samples->insert(samples->end(), block, block + n);
    closeAudioDecoder(decoder);
    return true;
}

void columnLevels(const std::vector<float>& samples, long at, float levelsDb[onsetColumnCount]) {
    std::vector<double> power;
    for (int r = 0; r < resolutions; r++) {
        Spectrum s(windowSizes[r]);
        s.take(samples, at - windowSizes[r] / 2, &power);
        for (int c = 0; c < onsetColumnCount; c++)
            if (resolutionOf(c) == r) levelsDb[c] = (float)(10 * log10(s.band(power, c) + quietPower));
    }
}

bool checkRises(const char* songPath, const std::vector<OnsetFrame>& table, RiseCheck* check, std::string* error) {
    std::vector<float> samples;
    if (!decodeMono(songPath, &samples, error)) return false;
    std::unique_ptr<Spectrum> spectra[resolutions];
    for (int r = 0; r < resolutions; r++) spectra[r] = std::make_unique<Spectrum>(windowSizes[r]);
    const int steps = (int)lround(riseNearSeconds / stepSeconds);
    std::vector<double> before, after;
    *check = {};
    for (const OnsetFrame& record : table) {
        std::vector<int> columns = recordColumns(record);
        std::vector<bool> risen(columns.size(), false);
        for (int r = 0; r < resolutions; r++) {
            bool wanted = false;
            for (int c : columns) wanted = wanted || resolutionOf(c) == r;
            if (!wanted) continue;
            Spectrum& s = *spectra[r];
            for (int d = -steps; d <= steps; d++) {
                const long at = lround((record.timeMs / 1000.0 + d * stepSeconds) * analysisRateHz);
                s.take(samples, at - windowSizes[r], &before);
                s.take(samples, at, &after);
                for (size_t i = 0; i < columns.size(); i++) {
                    if (risen[i] || resolutionOf(columns[i]) != r) continue;
                    const double gain = (s.band(after, columns[i]) + quietPower) / (s.band(before, columns[i]) + quietPower);
                    risen[i] = 10 * log10(gain) >= riseDb;
                }
            }
        }
        check->bits += (int)columns.size();
        check->risen += (int)std::count(risen.begin(), risen.end(), true);
    }
    return true;
}
