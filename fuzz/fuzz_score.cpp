// Fuzzes the scorer on arbitrary bytes, two ways: as a song file through the decoder and
// the analysis, and as raw samples fed to the analysis in chunks of any size. Either must
// return, never crash, and give a well-formed onset table.
#include <cmath>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "score/analysis.h"
#include "score/score.h"

static void check(const std::vector<OnsetFrame>& table) {
    int32_t previous = INT32_MIN;
    for (const OnsetFrame& record : table) {
        if (record.timeMs <= previous) {
            fprintf(stderr, "onset times not ascending and distinct: %d after %d\n", record.timeMs, previous);
            abort();
        }
        previous = record.timeMs;
        bool any = false;
        for (uint32_t word : record.mask) any = any || word != 0;
        if (!any) {
            fprintf(stderr, "empty onset record at %d ms\n", record.timeMs);
            abort();
        }
    }
}

static void collect(const OnsetFrame& record, void* user) { ((std::vector<OnsetFrame>*)user)->push_back(record); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<OnsetFrame> table;
    std::string error;
    // An empty file reaches the scorer as an empty vector's data(): a null pointer.
    if (scoreMemory(size ? data : nullptr, size, &table, &error)) {
        check(table);
    } else if (error.empty()) {
        fprintf(stderr, "scorer refused the bytes without a reason\n");
        abort();
    }

    // The bytes as samples (any bit pattern: silence, full scale, NaN), mono or stereo as
    // the first byte says, in chunks whose sizes the bytes also give.
    if (size < 1) return 0;
    const int channels = 1 + (data[0] & 1);
    std::vector<float> samples((size - 1) / sizeof(float));
    if (!samples.empty()) memcpy(samples.data(), data + 1, samples.size() * sizeof(float));
    const int frames = (int)(samples.size() / channels);
    table.clear();
    OnsetAnalyser analyser(collect, &table, channels);
    int32_t horizon = INT32_MIN;
    for (int at = 0, i = 0; at < frames; i++) {
        int n = std::min(frames - at, 1 + data[i % size] * 37);
        analyser.feed(samples.data() + (size_t)at * channels, n);
        at += n;
        if (analyser.horizonMs() < horizon) {
            fprintf(stderr, "the horizon went back from %d to %d ms\n", horizon, analyser.horizonMs());
            abort();
        }
        horizon = analyser.horizonMs();
    }
    analyser.finish();
    check(table);
    return 0;
}
