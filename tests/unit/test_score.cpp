// Scorer tests: onsets of synthesised clips at their times and in their columns, the
// same times at any rate and channel count, the same records however the samples come,
// refusals that leave no file behind, the written source compiled back, the measures of
// the evaluation, and our song measured against its ground truth.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "data/onset_table.h"
#include "platform/decoder.h"
#include "programs/xoon-score-eval/evaluate.h"
#include "score/analysis.h"
#include "score/score.h"
#include "support/support.h"

namespace {

// The clip every onset test scores: each sound starts at a known time and covers known
// frequencies; the two tones at 3 s form a chord.
const std::vector<std::string> clipEvents = {
    "tone:0.5:220:0.3",      "noise:1.0:6000:12000:0.08", "tone:1.5:1760:0.3", "kick:2.0",
    "noise:2.5:300:600:0.1", "tone:3.0:440:0.4",          "tone:3.0:660:0.4"};
const double clipStarts[] = {0.5, 1.0, 1.5, 2.0, 2.5, 3.0};  // distinct onset moments, s
const double clipSeconds = 4.0;

const int lowEighth = onsetColumnCount / 8, upperHalf = onsetColumnCount / 2;  // columns
const double clipNear = 0.010;  // s: the detector must be this close to the heard onset

struct ClipTone {
    double start, hz;
} const clipTones[] = {{0.5, 220}, {1.5, 1760}, {3.0, 440}, {3.0, 660}};

std::string makeClip(const std::string& dir, const std::string& name, int rate, int channels,
                     const std::vector<std::string>& events) {
    std::string path = dir + "/" + name + ".ogg";
    std::vector<std::string> argv = {binPath("xoon-clip"), path, "--seconds", std::to_string(clipSeconds),
                                     "--rate", std::to_string(rate), "--channels", std::to_string(channels)};
    argv.insert(argv.end(), events.begin(), events.end());
    ProcessResult r = runProcess(argv, dir, {}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

std::vector<OnsetFrame> scoreSong(const std::string& path) {
    std::vector<OnsetFrame> table;
    std::string error;
    EXPECT_TRUE(scoreFile(path.c_str(), 0, &table, &error)) << error;
    return table;
}

// A song's samples as the scorer feeds them.
std::vector<float> decodeSong(const std::string& path) {
    std::string error;
    AudioDecoder* decoder = openAudioDecoder(path.c_str(), analysisRateHz, scoreChannels, &error);
    EXPECT_NE(decoder, nullptr) << error;
    std::vector<float> samples;
    if (!decoder) return samples;
    float block[4096 * scoreChannels];
    for (int n; (n = readAudioFrames(decoder, block, 4096)) > 0;) samples.insert(samples.end(), block, block + n * scoreChannels);
    closeAudioDecoder(decoder);
    return samples;
}

void collect(const OnsetFrame& record, void* user) { ((std::vector<OnsetFrame>*)user)->push_back(record); }

bool lit(const std::vector<int>& columns, double lowColumn, double highColumn) {
    for (int c : columns)
        if (c >= lowColumn && c <= highColumn) return true;
    return false;
}

// The tone's own column, give or take a few, is lit at its start.
bool toneLit(const std::vector<OnsetFrame>& table, const ClipTone& tone) {
    const double spread = 3;  // columns
    double c = frequencyColumn(tone.hz);
    return lit(columnsNear(table, tone.start, clipNear), c - spread, c + spread);
}

std::vector<std::string> folderEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string dumpTable(const std::vector<OnsetFrame>& table) {
    std::string text;
    char line[32];
    for (const OnsetFrame& r : table) {
        snprintf(line, sizeof line, "%d", r.timeMs);
        text += line;
        for (uint32_t w : r.mask) {
            snprintf(line, sizeof line, " %08x", w);
            text += line;
        }
        text += "\n";
    }
    return text;
}

}  // namespace

TEST(ScoreClips, FindsEachSoundAtItsTimeAndInItsColumns) {
    std::string dir = makeScratchDir("score-clip");
    std::vector<OnsetFrame> table = scoreSong(makeClip(dir, "clip", 44100, 1, clipEvents));
    ASSERT_FALSE(table.empty());
    const double near = clipNear;
    for (double start : clipStarts) EXPECT_FALSE(columnsNear(table, start, near).empty()) << start;

    // Nothing but the six moments: no echo of a sound's body or release.
    for (const OnsetFrame& r : table) {
        double best = 1e9;
        for (double start : clipStarts) best = std::min(best, fabs(r.timeMs / 1000.0 - start));
        EXPECT_LE(best, near) << "extra onset at " << r.timeMs << " ms";
        EXPECT_FALSE(recordColumns(r).empty());
    }

    for (const ClipTone& t : clipTones) EXPECT_TRUE(toneLit(table, t)) << t.hz << " Hz at " << t.start;
    // A hat-like burst lights only the upper half, inside its band; a band of noise low
    // in the middle lights inside its band; a kick lights the bass.
    std::vector<int> hat = columnsNear(table, 1.0, near);
    ASSERT_FALSE(hat.empty());
    EXPECT_GE(hat.front(), upperHalf);
    EXPECT_TRUE(lit(hat, frequencyColumn(6000), frequencyColumn(12000)));
    EXPECT_TRUE(lit(columnsNear(table, 2.5, near), frequencyColumn(300), frequencyColumn(600)));
    EXPECT_TRUE(lit(columnsNear(table, 2.0, near), 0, frequencyColumn(145)));
}

TEST(ScoreClips, RateAndChannelsKeepTheTimes) {
    std::string dir = makeScratchDir("score-rates");
    std::vector<OnsetFrame> reference = scoreSong(makeClip(dir, "44100-1", 44100, 1, clipEvents));
    ASSERT_EQ(reference.size(), std::size(clipStarts));
    // A song at half our rate lacks the top octave, whose short frames time attacks most
    // sharply: its onsets may land a few ms from the others.
    const int agreeMs = 5;
    struct Variant {
        int rate, channels;
    } variants[] = {{44100, 2}, {48000, 1}, {48000, 2}, {44100, 6}, {22050, 1}, {96000, 2}};
    for (const Variant& v : variants) {
        std::string name = std::to_string(v.rate) + "-" + std::to_string(v.channels);
        std::vector<OnsetFrame> table = scoreSong(makeClip(dir, name, v.rate, v.channels, clipEvents));
        ASSERT_EQ(table.size(), reference.size()) << name;
        for (size_t i = 0; i < table.size(); i++) {
            EXPECT_NEAR(table[i].timeMs, reference[i].timeMs, agreeMs) << name << " record " << i;
        }
        // Tones keep their own columns (a noise band may light any of its columns).
        for (const ClipTone& t : clipTones) EXPECT_TRUE(toneLit(table, t)) << name << ": " << t.hz << " Hz";
    }
}

TEST(ScoreCli, WritesSourceThatCompilesToTheSameTable) {
    std::string dir = makeScratchDir("score-source");
    std::string clip = makeClip(dir, "clip", 44100, 2, clipEvents);
    std::string silent = makeClip(dir, "silent", 22050, 1, {});
    struct Case {
        std::string song;
        size_t records;  // expected count; 0: as scored in-process
    } cases[] = {{clip, 0}, {silent, 1}};
    for (const Case& k : cases) {
        std::string source = k.song + ".cpp";
        ProcessResult r = runProcess({binPath("xoon-score"), k.song, "-o", source}, dir, {}, 60);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // short songs get no progress line

        std::vector<OnsetFrame> expected = scoreSong(k.song);
        if (expected.empty()) expected.push_back({0, {0}});  // an array cannot be empty
        if (k.records) {
            ASSERT_EQ(expected.size(), k.records);
        }
        std::vector<OnsetFrame> parsed;
        ASSERT_TRUE(parseTableSource(readFile(source), &parsed));
        EXPECT_EQ(dumpTable(parsed), dumpTable(expected));

        // What the compiler makes of it is what the show will hold.
        std::string dumper = dir + "/dump.cpp", program = k.song + ".dump";
        writeFile(dumper,
                  "#include <cstdio>\n#include \"onset_table.h\"\nint main() {\n"
                  "    for (int32_t i = 0; i < onsetFrameCount; i++) {\n"
                  "        printf(\"%d\", onsetTable[i].timeMs);\n"
                  "        for (uint32_t w : onsetTable[i].mask) printf(\" %08x\", w);\n"
                  "        printf(\"\\n\");\n    }\n}\n");
        ProcessResult built = runProcess({XOON_CXX_COMPILER, "-std=c++17", "-Wall", "-Werror", "-I",
                                          std::string(XOON_SOURCE_DIR) + "/data", "-o", program, dumper, source},
                                         dir, {}, 300);
        ASSERT_EQ(built.status, 0) << built.err;
        ProcessResult ran = runProcess({program}, dir, {}, 60);
        ASSERT_EQ(ran.status, 0);
        EXPECT_EQ(ran.out, dumpTable(expected));
    }
}

// The analyser's promises: the same records whatever the chunks of samples and on every
// run, and records out no later than the look-ahead allows.
TEST(ScoreAnalyser, SameRecordsHoweverTheSamplesCome) {
    std::string dir = makeScratchDir("score-chunks");
    std::vector<float> samples = decodeSong(makeClip(dir, "clip", 44100, 2, clipEvents));
    const int frames = (int)(samples.size() / scoreChannels);
    std::vector<OnsetFrame> whole;
    {
        OnsetAnalyser analyser(collect, &whole, scoreChannels);
        analyser.feed(samples.data(), frames);
        analyser.finish();
    }
    ASSERT_EQ(whole.size(), std::size(clipStarts));
    std::mt19937 random(15);
    for (int run = 0; run < 3; run++) {
        std::vector<OnsetFrame> pieces;
        OnsetAnalyser analyser(collect, &pieces, scoreChannels);
        int32_t horizon = INT32_MIN;
        for (int at = 0; at < frames;) {
            // Odd sizes, from a single frame to several of the analyser's blocks.
            int n = std::min(frames - at, (int)(random() % 5000) + (run == 0 ? 1 : 0));
            if (run == 1) n = std::min(frames - at, 1 + (int)(random() % 7));
            if (run == 2 && at == 0) n = 1;
            analyser.feed(samples.data() + (size_t)at * scoreChannels, n);
            at += n;
            // Every record below the horizon is out, the horizon never falls, and it is
            // no further behind the samples than the look-ahead.
            int32_t now = analyser.horizonMs();
            ASSERT_GE(now, horizon);
            horizon = now;
            EXPECT_GE(now, (int32_t)((long long)at * 1000 / analysisRateHz) - analysisLookAheadMs) << "after " << at << " frames";
            size_t due = 0;
            while (due < whole.size() && whole[due].timeMs < now) due++;
            ASSERT_GE(pieces.size(), due) << "records below " << now << " ms still held after " << at << " frames";
        }
        analyser.finish();
        EXPECT_EQ(dumpTable(pieces), dumpTable(whole)) << "run " << run;
    }
}

TEST(ScoreCli, RefusesWhatIsNotASongAndLeavesNoFile) {
    std::string dir = makeScratchDir("score-refuse");
    std::string song = readFile(makeClip(dir, "good", 44100, 1, {"tone:0.2:440:0.2"}));
    std::string png = "\x89PNG\r\n\x1a\n" + std::string(200, '\0');
    std::string noise;
    for (int i = 0; i < 5000; i++) noise += (char)(i * 2654435761u >> 24);
    struct Case {
        const char* name;
        std::string bytes;  // empty: the file does not exist
    } cases[] = {{"missing.ogg", ""},
                 {"empty.ogg", std::string()},
                 {"text.ogg", "just some words, not a song\n"},
                 {"image.ogg", png},
                 {"noise.ogg", noise},
                 {"headers-cut.ogg", song.substr(0, 60)},
                 {"flipped.ogg", std::string(song.rbegin(), song.rend())}};
    for (const Case& k : cases) {
        std::string path = dir + "/" + k.name;
        if (std::string(k.name) != "missing.ogg") writeFile(path, k.bytes);
        std::vector<std::string> before = folderEntries(dir);
        std::string out = dir + "/table.cpp";
        ProcessResult r = runProcess({binPath("xoon-score"), path, "-o", out}, dir, {}, 60);
        EXPECT_NE(r.status, 0) << k.name;
        EXPECT_EQ(r.signal, 0) << k.name;
        EXPECT_NE(r.err.find(k.name), std::string::npos) << k.name << ": " << r.err;
        EXPECT_EQ(folderEntries(dir), before) << k.name << " left a file behind";
    }
    // The same bytes in memory: refused with a reason, never a crash.
    for (const Case& k : cases) {
        std::vector<OnsetFrame> table;
        std::string error;
        EXPECT_FALSE(scoreMemory((const uint8_t*)k.bytes.data(), k.bytes.size(), &table, &error)) << k.name;
        EXPECT_FALSE(error.empty()) << k.name;
    }
    // An unwritable target is refused too, and the good song still scores.
    ProcessResult r = runProcess({binPath("xoon-score"), dir + "/good.ogg", "-o", dir + "/no/such/folder/t.cpp"},
                                 dir, {}, 60);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

TEST(ScoreEvaluation, MatchesOneToOneAndMeasuresTheTable) {
    // Two references 40 ms apart, each with its own detection 30 ms late: a greedy match
    // that took the nearer detection first would lose one.
    OnsetMatch m = matchOnsets({1.00, 1.04}, {1.03, 1.07}, 0.035);
    EXPECT_EQ(m.matched, 2);
    EXPECT_NEAR(m.meanOffsetMs, 30, 1e-9);
    // One detection cannot serve two references; a far one serves none.
    m = matchOnsets({2.0, 2.01, 3.0}, {2.005, 3.2}, 0.025);
    EXPECT_EQ(m.matched, 1);
    EXPECT_NEAR(m.precision, 0.5, 1e-12);
    EXPECT_NEAR(m.recall, 1.0 / 3, 1e-12);
    EXPECT_NEAR(m.fMeasure, 0.4, 1e-12);
    EXPECT_EQ(m.detectionOf[0], 0);
    EXPECT_EQ(m.detectionOf[2], -1);
    // Tolerance edges count.
    EXPECT_EQ(matchOnsets({1.0}, {1.025}, 0.025).matched, 1);
    EXPECT_EQ(matchOnsets({1.0}, {0.974}, 0.025).matched, 0);

    // A chord and a hat on one beat are one moment; a hat 117 ms later its own.
    std::vector<TruthNote> notes = {{1.0, "chord", 57}, {1.0, "chord", 60}, {1.004, "hat", 42},
                                    {1.117, "hat", 42}, {1.5, "kick", 36}};
    std::vector<double> moments = truthMoments(notes, 0.010);
    ASSERT_EQ(moments.size(), 3u);
    EXPECT_EQ(moments[1], 1.117);
    std::vector<double> lone = loneNotes(notes, "hat", 0.05);
    ASSERT_EQ(lone.size(), 1u);
    EXPECT_EQ(lone[0], 1.117);

    std::vector<OnsetFrame> table = {{1000, {0x5}}, {1117, {0}}, {1117, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80000000u}}};
    TableShape s = tableShape(table);
    EXPECT_EQ(s.bits, 3);
    EXPECT_EQ(s.nonEmptyRecords, 2);
    EXPECT_EQ(s.mostBitsInRecord, 2);
    EXPECT_EQ(s.columnsUsed, 3);
    EXPECT_FALSE(s.ascending);
    EXPECT_EQ(columnsNear(table, 1.12, 0.005), std::vector<int>({447}));
    EXPECT_EQ(columnsNear(table, 1.0, 0.0), std::vector<int>({0, 2}));
    EXPECT_EQ(tableMoments(table), std::vector<double>({1.0, 1.117}));

    // Pitches: A3 (220 Hz) found at its fundamental's column within a record 40 ms late;
    // C4 lit only at its octave, which is a harmonic but not its fundamental; the bass
    // note has no record near it. Bits: A3's column (harmonic 1), C4's octave (harmonic
    // 2), a column in the kick's band while the kick sounds (drum band), and one high
    // column that nothing explains.
    std::vector<TruthNote> song = {{1.0, "chord", 57}, {1.0, "chord", 60}, {2.0, "bass", 33}, {3.0, "kick", 36}};
    auto column = [](double hz) { return (int)lround(frequencyColumn(hz)); };
    auto record = [](int32_t ms, std::vector<int> columns) {
        OnsetFrame r = {ms, {0}};
        for (int c : columns) r.mask[c / maskWordBits] |= 1u << (c % maskWordBits);
        return r;
    };
    std::vector<OnsetFrame> lit = {record(1040, {column(220.0 * 1.01), column(2 * 261.63)}),
                                   record(3300, {column(60), column(12000)})};
    std::vector<VoiceRecall> voices = fundamentalRecall(lit, song);
    ASSERT_EQ(voices.size(), 2u);
    EXPECT_EQ(voices[0].voice, "bass");
    EXPECT_EQ(voices[0].found, 0);
    EXPECT_EQ(voices[1].voice, "chord");
    EXPECT_EQ(voices[1].notes, 2);
    EXPECT_EQ(voices[1].found, 1);
    BitPlacement p = placeBits(lit, song);
    EXPECT_EQ(p.bits, 4);
    EXPECT_EQ(p.onHarmonic, 2);
    EXPECT_EQ(p.inDrumBand, 1);   // the kick still sounds 300 ms on
    EXPECT_EQ(p.onNote, 3);
    EXPECT_EQ(p.onOnset, 2);      // but its onset is long past

    // Below a fundamental: of A3's record (no drum sounds then), one bit under 220 Hz out of
    // three; the kick's record does not count. Registers: a lone hat's record lights one
    // column above 2 kHz and one below; the kick joins the bass, so it is not lone.
    std::vector<TruthNote> kit = {{1.0, "chord", 57}, {2.0, "hat", 42}, {3.0, "kick", 36}, {3.0, "bass", 33}};
    std::vector<OnsetFrame> lights = {record(1010, {column(110), column(220), column(440)}),
                                      record(2005, {column(8000), column(1000)}), record(3000, {column(50)})};
    BelowFundamental below = bitsBelowFundamental(lights, kit);
    EXPECT_EQ(below.bits, 3);
    EXPECT_EQ(below.below, 1);
    std::vector<DrumRegister> drums = drumRegisters(lights, kit);
    ASSERT_EQ(drums.size(), 1u);
    EXPECT_EQ(drums[0].drum, "hat");
    EXPECT_EQ(drums[0].bits, 2);
    EXPECT_EQ(drums[0].inRegister, 1);
    RegisterSplit split = registerSplit(lights);
    EXPECT_EQ(split.low, 2);
    EXPECT_EQ(split.middle, 3);
    EXPECT_EQ(split.high, 1);
}

// Our song against the ground truth its composer wrote. A show built for a user's own
// song has no ground truth; only the scorer's agreement with the build is checked then.
TEST(ScoreSong, TheShowsTableMeetsTheGroundTruth) {
    std::vector<OnsetFrame> table(onsetTable, onsetTable + onsetFrameCount);
    std::string song = std::string(XOON_RUN_DIR) + "/xoon09.ogg";
    std::string dir = makeScratchDir("score-song");
    ProcessResult r = runProcess({binPath("xoon-score"), song, "-o", dir + "/table.cpp"}, dir, {}, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    // Standard error is a file here, not a terminal: no progress line, however long the song.
    EXPECT_EQ(r.err, "");
    std::string error;
    std::vector<OnsetFrame> again;
    ASSERT_TRUE(parseTableSource(readFile(dir + "/table.cpp"), &again));
    EXPECT_EQ(dumpTable(again), dumpTable(table)) << "the build's table is not the scorer's";

    std::string truthPath = XOON_SONG_TRUTH;
    if (truthPath.empty()) GTEST_SKIP() << "no ground truth: built for a user's song";
    std::vector<TruthNote> notes;
    ASSERT_TRUE(readTruth(truthPath, &notes, &error)) << error;
    std::vector<double> references = truthMoments(notes, 0.010), detections = tableMoments(table);
    OnsetMatch near = matchOnsets(references, detections, 0.025);
    OnsetMatch wide = matchOnsets(references, detections, 0.050);
    EXPECT_GE(near.fMeasure, 0.97);
    EXPECT_GE(wide.fMeasure, 0.97);
    EXPECT_LE(fabs(wide.meanOffsetMs), 5.0);
    printf("F %.3f within 25 ms, %.3f within 50 ms, mean offset %+.1f ms\n", near.fMeasure, wide.fMeasure,
           wide.meanOffsetMs);

    // The columns carry the notes' pitches: most of each voice's notes light their
    // fundamental, and most lit columns sit on a starting note's harmonic or a sounding
    // drum's band.
    for (const VoiceRecall& v : fundamentalRecall(table, notes)) {
        EXPECT_GE(v.found, 0.80 * v.notes) << v.voice << ": " << v.found << " of " << v.notes;
        printf("%s %.3f ", v.voice.c_str(), (double)v.found / v.notes);
    }
    BitPlacement placed = placeBits(table, notes);
    EXPECT_GE(placed.onNote, 0.70 * placed.bits);
    printf("on a note %.3f\n", (double)placed.onNote / placed.bits);

    // Unpitched sounds flash their band: a kick the bass, a hat the upper half.
    int kicks = 0, kicksLow = 0;
    for (const TruthNote& n : notes) {
        if (n.instrument != "kick") continue;
        kicks++;
        std::vector<int> c = columnsNear(table, n.seconds, 0.025);
        if (!c.empty() && c.front() < lowEighth) kicksLow++;
    }
    ASSERT_GT(kicks, 0);
    EXPECT_GE(kicksLow, 0.9 * kicks) << kicksLow << " of " << kicks << " kicks light the lowest eighth";
    // A lone hat over a held chord may light some of the chord's columns as well (its
    // partials drift, and a hat's noise reaches down), but most of what it lights is high.
    std::vector<double> hats = loneNotes(notes, "hat", 0.050);
    int hatsLit = 0, hatsHigh = 0, highColumns = 0, lowColumns = 0;
    for (double t : hats) {
        std::vector<int> c = columnsNear(table, t, 0.025);
        if (c.empty()) continue;
        hatsLit++;
        if (c.back() >= upperHalf) hatsHigh++;
        for (int column : c) (column >= upperHalf ? highColumns : lowColumns)++;
    }
    ASSERT_GT(hats.size(), 0u);
    EXPECT_GE(hatsLit, 0.8 * hats.size());
    EXPECT_GE(hatsHigh, 0.95 * hatsLit) << hatsHigh << " of " << hatsLit << " lone hats light the upper half";
    EXPECT_GT(highColumns, lowColumns) << "lone hats light more low columns than high ones";

    // Plenty of particles, in a quiet opening and busier passages.
    TableShape s = tableShape(table);
    EXPECT_TRUE(s.ascending);
    EXPECT_GE(s.bits, 7000);
    EXPECT_LE(s.bits, 14000);
    EXPECT_GE(s.columnsUsed, 200);
    ASSERT_GE(s.bitsPer10s.size(), 10u);
    int busiest = *std::max_element(s.bitsPer10s.begin(), s.bitsPer10s.end());
    EXPECT_LT(s.bitsPer10s[0] * 4, busiest) << "the opening is not quiet";
    printf("bits %d, most in a record %d, columns used %d; per 10 s:", s.bits, s.mostBitsInRecord, s.columnsUsed);
    for (int b : s.bitsPer10s) printf(" %d", b);
    printf("\n");
}
