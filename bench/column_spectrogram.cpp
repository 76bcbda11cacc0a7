// column-spectrogram: a stretch of a song as a spectrogram on the bars' own axis (one pixel
// column per bar), the latest moment on top, with the table's bits marked, as a PPM.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/cli.h"
#include "programs/xoon-score-eval/evaluate.h"
#include "programs/xoon-score-eval/rises.h"
#include "score/analysis.h"
#include "score/score.h"

static const char usage[] =
    "Usage: column-spectrogram SONG TABLE.cpp FROM TO > OUT.ppm\n"
    "Writes the song's seconds FROM to TO as a spectrogram whose pixel columns are the\n"
    "show's bars (30 Hz to 16 kHz), one row per 5 ms, the latest on top, so that it lines up\n"
    "under a capture of the show at second TO. The table's bits are marked in orange.\n"
    "\n"
    "  -h, --help  this text\n";

constexpr double rowSeconds = 0.005;
constexpr float shownRangeDb = 60;  // below the stretch's loudest band, black
constexpr double bitMarkSeconds = 0.010;

int main(int argc, char** argv) {
    cliStart("column-spectrogram", usage);
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {}};
    while (cliOption(argc, argv, "h", longOptions) != -1) {}
    if (argc - optind != 4) cliUsageError("give a song, its table and the seconds from and to");
    const char* songPath = argv[optind];
    const char* tablePath = argv[optind + 1];
    double from, to;
    if (!cliParseDouble(argv[optind + 2], &from) || !cliParseDouble(argv[optind + 3], &to) || from < 0 || to <= from)
        cliUsageError("FROM and TO are seconds of song, FROM before TO");

    std::ifstream in(tablePath);
    if (!in) cliFail("cannot read %s: %s", tablePath, strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    std::vector<OnsetFrame> table;
    if (!parseTableSource(text.str(), &table)) cliFail("%s: not an onset table's source", tablePath);
    std::vector<float> samples;
    std::string error;
    if (!decodeMono(songPath, &samples, &error)) cliFail("cannot read %s: %s", songPath, error.c_str());

    const int rows = (int)lround((to - from) / rowSeconds);
    std::vector<float> levels((size_t)rows * onsetColumnCount);
    float loudest = -1000;
    for (int row = 0; row < rows; row++) {
        const double seconds = to - row * rowSeconds;
        columnLevels(samples, lround(seconds * analysisRateHz), &levels[(size_t)row * onsetColumnCount]);
        for (int c = 0; c < onsetColumnCount; c++) loudest = std::max(loudest, levels[(size_t)row * onsetColumnCount + c]);
    }
    std::vector<unsigned char> rgb((size_t)rows * onsetColumnCount * 3);
    for (size_t i = 0; i < levels.size(); i++) {
        const float shade = std::min(1.0f, std::max(0.0f, 1 - (loudest - levels[i]) / shownRangeDb));
        rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = (unsigned char)lround(255 * shade);
    }
    for (const OnsetFrame& record : table) {
        const double seconds = record.timeMs / 1000.0;
        if (seconds < from || seconds > to) continue;
        const int centre = (int)lround((to - seconds) / rowSeconds);
        const int reach = (int)lround(bitMarkSeconds / rowSeconds);
        for (int row = std::max(0, centre - reach); row <= std::min(rows - 1, centre + reach); row++)
            for (int c : recordColumns(record)) {
                unsigned char* p = &rgb[((size_t)row * onsetColumnCount + c) * 3];
                p[0] = 255, p[1] = 140, p[2] = 0;
            }
    }
    printf("P6\n%d %d\n255\n", onsetColumnCount, rows);
    if (fwrite(rgb.data(), 1, rgb.size(), stdout) != rgb.size() || fflush(stdout) != 0)
        cliFail("cannot write the picture to standard output: %s", strerror(errno));
    return 0;
}
