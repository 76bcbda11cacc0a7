// xoon-score-eval TRUTH.txt DETECTIONS: F-measure of an onset table (C++ source written
// by xoon-score) or of a plain list of onset times in seconds against a ground truth, and
// for a table whether its columns carry the notes' pitches.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/cli.h"
#include "programs/xoon-score-eval/evaluate.h"
#include "programs/xoon-score-eval/rises.h"
#include "score/score.h"

static const char usage[] =
    "Usage: xoon-score-eval TRUTH.txt TABLE.cpp|TIMES.txt [--song SONG]\n"
    "Measures detected onsets against a song's ground truth (as xoon-compose writes it): an\n"
    "onset table source written by xoon-score, or a list of onset times in seconds, one a\n"
    "line. Prints F-measure, precision and recall within 25 and 50 ms with the mean offset,\n"
    "and for a table: per pitched voice the share of notes whose fundamental's column is lit,\n"
    "the share of lit columns on a starting note's harmonic or a sounding drum's band, the\n"
    "share of a pitched note's bits below its fundamental where no drum sounds, per drum kind\n"
    "the share of its lone onsets' bits in its own register, the table's shape and where its\n"
    "bits lie across the screen.\n"
    "\n"
    "  --song SONG     also measure on the song's samples the share of bits whose column's\n"
    "                  band rose 3 dB within 50 ms of their record\n"
    "  -h, --help      this text\n"
    "      --version   the program's version\n";

int main(int argc, char** argv) {
    cliStart("xoon-score-eval", usage);
    static const option longOptions[] = {{"song", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'}, {}};
    const char* songPath = nullptr;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;)
        if (c == 's') songPath = optarg;
    if (argc - optind != 2) cliUsageError("give a ground truth and the detections to measure");
    const char* truthPath = argv[optind];
    const char* detectionsPath = argv[optind + 1];
    const double mergeSeconds = 0.010;  // truth notes closer than this are one moment
    std::vector<TruthNote> notes;
    std::string error;
    if (FILE* file = fopen(truthPath, "r")) fclose(file);
    else cliFail("cannot read %s: %s", truthPath, strerror(errno));
    if (!readTruth(truthPath, &notes, &error)) cliFail("%s", error.c_str());
    std::ifstream in(detectionsPath);
    if (!in) cliFail("cannot read %s: %s", detectionsPath, strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    std::vector<OnsetFrame> table;
    bool isTable = parseTableSource(text.str(), &table);
    std::vector<double> detections;
    if (isTable) {
        detections = tableMoments(table);
    } else {
        std::istringstream lines(text.str());
        std::string line;
        while (std::getline(lines, line)) {
            char* end;
            double t = strtod(line.c_str(), &end);
            if (end != line.c_str()) detections.push_back(t);
        }
    }
    std::vector<double> references = truthMoments(notes, mergeSeconds);
    printf("references %zu moments (%zu notes), detections %zu\n", references.size(), notes.size(),
           detections.size());
    for (double tolerance : {0.025, 0.050}) {
        OnsetMatch m = matchOnsets(references, detections, tolerance);
        printf("tolerance %2.0f ms: F %.3f  precision %.3f  recall %.3f  mean offset %+.1f ms\n",
               tolerance * 1000, m.fMeasure, m.precision, m.recall, m.meanOffsetMs);
    }
    if (!isTable) {
        if (songPath) cliUsageError("--song measures a table's columns, and %s is not a table", detectionsPath);
        return 0;
    }

    printf("fundamental recall (+-%d columns, +-%.0f ms):", noteNearColumns, noteNearSeconds * 1000);
    for (const VoiceRecall& v : fundamentalRecall(table, notes))
        printf("  %s %.3f (%d of %d)", v.voice.c_str(), v.notes ? (double)v.found / v.notes : 0.0, v.found, v.notes);
    printf("\n");
    BitPlacement p = placeBits(table, notes);
    auto share = [&](int n) { return p.bits ? (double)n / p.bits : 0.0; };
    printf("bits on a starting note's harmonic 1-%d or a sounding drum's band: %.3f (harmonic %.3f, drum band %.3f);"
           " drums only at their onsets: %.3f\n",
           harmonicsCounted, share(p.onNote), share(p.onHarmonic), share(p.inDrumBand), share(p.onOnset));

    BelowFundamental below = bitsBelowFundamental(table, notes);
    printf("bits below a starting pitched note's fundamental where no drum sounds: %.3f (%d of %d)\n",
           below.bits ? (double)below.below / below.bits : 0.0, below.below, below.bits);
    printf("bits of lone drum onsets in their own register:");
    for (const DrumRegister& d : drumRegisters(table, notes))
        printf("  %s %.0f-%.0f Hz %.3f (%d of %d bits, %d onsets)", d.drum.c_str(), d.lowHz, d.highHz,
               d.bits ? (double)d.inRegister / d.bits : 0.0, d.inRegister, d.bits, d.onsets);
    printf("\n");
    RegisterSplit split = registerSplit(table);
    const double all = std::max(1, split.low + split.middle + split.high);
    printf("bits below %.0f Hz %.3f, to %.0f Hz %.3f, above %.3f\n", lowRegisterHz, split.low / all, highRegisterHz,
           split.middle / all, split.high / all);
    if (songPath) {
        RiseCheck rises;
        if (!checkRises(songPath, table, &rises, &error)) cliFail("cannot read %s: %s", songPath, error.c_str());
        printf("bits whose column's band rose %.0f dB within %.0f ms: %.3f (%d of %d); without a rise %.3f\n", riseDb,
               riseNearSeconds * 1000, rises.bits ? (double)rises.risen / rises.bits : 0.0, rises.risen, rises.bits,
               rises.bits ? 1.0 - (double)rises.risen / rises.bits : 0.0);
    }

    TableShape s = tableShape(table);
    printf("records %d (%d with onsets), bits %d, most in a record %d, columns used %d, %s\n",
           s.records, s.nonEmptyRecords, s.bits, s.mostBitsInRecord, s.columnsUsed,
           s.ascending ? "ascending" : "NOT ascending");
    printf("bits per 10 s:");
    for (int b : s.bitsPer10s) printf(" %d", b);
    printf("\n");
    const int lowEighth = onsetColumnCount / 8, upperHalf = onsetColumnCount / 2;
    const double near = 0.025, alone = 0.050;  // seconds
    int kicks = 0, kicksLow = 0;
    for (const TruthNote& n : notes) {
        if (n.instrument != "kick") continue;
        kicks++;
        std::vector<int> c = columnsNear(table, n.seconds, near);
        if (!c.empty() && c.front() < lowEighth) kicksLow++;
    }
    printf("kicks lighting the lowest eighth: %d of %d\n", kicksLow, kicks);
    std::vector<double> hats = loneNotes(notes, "hat", alone);
    int hatsLit = 0, hatsHigh = 0;
    for (double t : hats) {
        std::vector<int> c = columnsNear(table, t, near);
        if (c.empty()) continue;
        hatsLit++;
        if (c.front() >= upperHalf) hatsHigh++;
    }
    printf("lone hats lit: %d of %zu, lighting only the upper half: %d\n", hatsLit, hats.size(), hatsHigh);
    return 0;
}
