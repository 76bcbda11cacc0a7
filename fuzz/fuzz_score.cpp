// Fuzzes the scorer's decode-and-analyse path on arbitrary bytes: it must return, never
// crash, and when it accepts the bytes give a well-formed onset table.
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "onsets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<OnsetFrame> table;
    std::string error;
    // An empty file reaches the scorer as an empty vector's data(): a null pointer.
    if (!scoreVorbis(size ? data : nullptr, size, &table, &error)) {
        if (error.empty()) {
            fprintf(stderr, "scorer refused the bytes without a reason\n");
            abort();
        }
        return 0;
    }
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
    return 0;
}
