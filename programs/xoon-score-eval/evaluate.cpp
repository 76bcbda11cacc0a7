// Pooled onset matching against a ground truth, and the shape of an onset table.
#include "programs/xoon-score-eval/evaluate.h"

#include "score/analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

bool readTruth(const std::string& path, std::vector<TruthNote>* notes, std::string* error) {
    notes->clear();
    std::ifstream in(path);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream fields(line);
        TruthNote note;
        if (!(fields >> note.seconds >> note.instrument >> note.pitch)) {
            *error = path + ":" + std::to_string(number) + ": expected 'seconds instrument pitch'";
            return false;
        }
        notes->push_back(note);
    }
    return true;
}

std::vector<double> truthMoments(const std::vector<TruthNote>& notes, double mergeSeconds) {
    std::vector<double> times;
    for (const TruthNote& n : notes) times.push_back(n.seconds);
    std::sort(times.begin(), times.end());
    std::vector<double> moments;
    for (double t : times)
        if (moments.empty() || t - moments.back() >= mergeSeconds) moments.push_back(t);
    return moments;
}

std::vector<int> recordColumns(const OnsetFrame& record) {
    std::vector<int> columns;
    for (int w = 0; w < onsetMaskWords; w++)
        for (int k = 0; k < 32; k++)
            if (record.mask[w] >> k & 1u) columns.push_back(32 * w + k);
    return columns;
}

std::vector<double> tableMoments(const std::vector<OnsetFrame>& table) {
    std::vector<double> moments;
    for (const OnsetFrame& r : table)
        if (!recordColumns(r).empty()) moments.push_back(r.timeMs / 1000.0);
    return moments;
}

OnsetMatch matchOnsets(const std::vector<double>& references, const std::vector<double>& detections,
                       double toleranceSeconds) {
    OnsetMatch m;
    m.references = (int)references.size();
    m.detections = (int)detections.size();
    m.detectionOf.assign(references.size(), -1);
    size_t next = 0;  // first detection not yet used or passed
    double offsetSum = 0;
    for (size_t r = 0; r < references.size(); r++) {
        while (next < detections.size() && detections[next] < references[r] - toleranceSeconds) next++;
        if (next < detections.size() && detections[next] <= references[r] + toleranceSeconds) {
            m.detectionOf[r] = (int)next;
            offsetSum += detections[next] - references[r];
            m.matched++;
            next++;
        }
    }
    if (m.detections) m.precision = (double)m.matched / m.detections;
    if (m.references) m.recall = (double)m.matched / m.references;
    if (m.precision + m.recall > 0) m.fMeasure = 2 * m.precision * m.recall / (m.precision + m.recall);
    if (m.matched) m.meanOffsetMs = 1000 * offsetSum / m.matched;
    return m;
}

TableShape tableShape(const std::vector<OnsetFrame>& table) {
    const int stretchMs = 10000;
    TableShape s;
    s.records = (int)table.size();
    std::vector<bool> used(onsetMaskWords * 32, false);
    for (size_t i = 0; i < table.size(); i++) {
        if (i > 0 && table[i].timeMs <= table[i - 1].timeMs) s.ascending = false;
        std::vector<int> columns = recordColumns(table[i]);
        if (columns.empty()) continue;
        s.nonEmptyRecords++;
        s.bits += (int)columns.size();
        s.mostBitsInRecord = std::max(s.mostBitsInRecord, (int)columns.size());
        for (int c : columns) used[c] = true;
        size_t stretch = table[i].timeMs < 0 ? 0 : (size_t)(table[i].timeMs / stretchMs);
        if (s.bitsPer10s.size() <= stretch) s.bitsPer10s.resize(stretch + 1, 0);
        s.bitsPer10s[stretch] += (int)columns.size();
    }
    s.columnsUsed = (int)std::count(used.begin(), used.end(), true);
    return s;
}

std::vector<int> columnsNear(const std::vector<OnsetFrame>& table, double seconds,
                             double toleranceSeconds) {
    std::vector<bool> set(onsetMaskWords * 32, false);
    int from = (int)((seconds - toleranceSeconds) * 1000 - 1);
    auto it = std::lower_bound(table.begin(), table.end(), from,
                               [](const OnsetFrame& r, int ms) { return r.timeMs < ms; });
    for (; it != table.end() && it->timeMs / 1000.0 <= seconds + toleranceSeconds; ++it)
        if (it->timeMs / 1000.0 >= seconds - toleranceSeconds)
            for (int c : recordColumns(*it)) set[c] = true;
    std::vector<int> columns;
    for (int c = 0; c < (int)set.size(); c++)
        if (set[c]) columns.push_back(c);
    return columns;
}

std::vector<double> loneNotes(const std::vector<TruthNote>& notes, const std::string& instrument,
                              double aloneSeconds) {
    auto isIt = [&](const TruthNote& n) { return n.instrument.compare(0, instrument.size(), instrument) == 0; };
    std::vector<double> others, lone;
    for (const TruthNote& n : notes)
        if (!isIt(n)) others.push_back(n.seconds);
    std::sort(others.begin(), others.end());
    for (const TruthNote& n : notes) {
        if (!isIt(n)) continue;
        auto it = std::lower_bound(others.begin(), others.end(), n.seconds - aloneSeconds);
        if (it == others.end() || *it > n.seconds + aloneSeconds) lone.push_back(n.seconds);
    }
    return lone;
}

// ---- where the bits fall ----

// The drums' bands, measured on solo renders (xoon-compose --only NAME --pcm, xoon-clip):
// the columns whose power lies within 20 dB of the drum's loudest column, over its first
// 100 ms and over its whole sound, joined. Each sounds for as long as it is rendered. Its
// register is where its bits belong on the screen.
struct DrumBand {
    const char* name;
    double lowHz, highHz;
    double soundingSeconds;
    double registerLowHz, registerHighHz;
};
static const DrumBand drumBands[] = {
    {"kick", 46, 292, 0.50, 0, 200},          // the falling sine's sweep, 210 Hz down to 47 Hz
    {"snare", 135, 16000, 0.35, 135, 16000},  // shell tones at 185 and 330 Hz under bright noise
    {"clap", 309, 16000, 0.45, 309, 16000},   // noise around 1.25 kHz and above
    {"tom", 60, 400, 0.45, 0, 400},           // a falling shell tone and its overtones
    {"hat", 4150, 16000, 0.12, 2000, 16000},  // high-passed noise, ringing near 10.5 kHz
    {"openhat", 3820, 16000, 0.60, 2000, 16000},
    {"crash", 2540, 16000, 3.50, 2000, 16000},
    {"cymbal", 2540, 16000, 2.00, 2000, 16000},  // the clip maker's: metallic partials over noise
};

static const DrumBand* drumBand(const std::string& instrument) {
    for (const DrumBand& d : drumBands)
        if (instrument == d.name) return &d;
    return nullptr;
}

bool isDrum(const std::string& instrument) { return drumBand(instrument) != nullptr; }

static double pitchHz(int midiPitch) { return 440.0 * pow(2.0, (midiPitch - 69) / 12.0); }

double pitchColumn(int midiPitch) { return frequencyColumn(pitchHz(midiPitch)); }

static bool litNear(const std::vector<OnsetFrame>& table, double seconds, double column) {
    for (int c : columnsNear(table, seconds, noteNearSeconds))
        if (fabs(c - column) <= noteNearColumns) return true;
    return false;
}

std::vector<VoiceRecall> fundamentalRecall(const std::vector<OnsetFrame>& table,
                                           const std::vector<TruthNote>& notes) {
    std::vector<VoiceRecall> voices;
    for (const TruthNote& n : notes) {
        if (isDrum(n.instrument)) continue;
        auto v = std::find_if(voices.begin(), voices.end(), [&](const VoiceRecall& r) { return r.voice == n.instrument; });
        if (v == voices.end()) v = voices.insert(voices.end(), VoiceRecall{n.instrument});
        v->notes++;
        if (litNear(table, n.seconds, pitchColumn(n.pitch))) v->found++;
    }
    std::sort(voices.begin(), voices.end(), [](const VoiceRecall& a, const VoiceRecall& b) { return a.voice < b.voice; });
    return voices;
}

BitPlacement placeBits(const std::vector<OnsetFrame>& table, const std::vector<TruthNote>& notes) {
    double longest = 0;
    for (const DrumBand& d : drumBands) longest = std::max(longest, d.soundingSeconds);
    std::vector<TruthNote> sorted = notes;
    std::stable_sort(sorted.begin(), sorted.end(), [](const TruthNote& a, const TruthNote& b) { return a.seconds < b.seconds; });
    BitPlacement p;
    for (const OnsetFrame& r : table) {
        double t = r.timeMs / 1000.0;
        auto first = std::lower_bound(sorted.begin(), sorted.end(), t - longest,
                                      [](const TruthNote& n, double s) { return n.seconds < s; });
        for (int c : recordColumns(r)) {
            bool harmonic = false, sounding = false, onset = false;
            for (auto n = first; n != sorted.end() && n->seconds <= t + noteNearSeconds; ++n) {
                bool near = fabs(n->seconds - t) <= noteNearSeconds;
                if (const DrumBand* d = drumBand(n->instrument)) {
                    double fc = columnFrequency(c);
                    if (fc < d->lowHz || fc > d->highHz || t > n->seconds + d->soundingSeconds) continue;
                    sounding = true;
                    onset = onset || near;
                } else if (near) {
                    for (int h = 1; h <= harmonicsCounted && !harmonic; h++)
                        harmonic = fabs(c - frequencyColumn(h * pitchHz(n->pitch))) <= noteNearColumns;
                }
            }
            p.bits++;
            p.onHarmonic += harmonic;
            p.inDrumBand += sounding;
            p.onNote += harmonic || sounding;
            p.onOnset += harmonic || onset;
        }
    }
    return p;
}

BelowFundamental bitsBelowFundamental(const std::vector<OnsetFrame>& table, const std::vector<TruthNote>& notes) {
    BelowFundamental b;
    for (const OnsetFrame& r : table) {
        const double t = r.timeMs / 1000.0;
        double lowest = 1e9;
        bool drum = false;
        for (const TruthNote& n : notes) {
            if (const DrumBand* d = drumBand(n.instrument)) {
                drum = drum || (t >= n.seconds - noteNearSeconds && t <= n.seconds + d->soundingSeconds);
            } else if (fabs(n.seconds - t) <= noteNearSeconds) {
                lowest = std::min(lowest, pitchColumn(n.pitch));
            }
        }
        if (drum || lowest == 1e9) continue;
        for (int c : recordColumns(r)) {
            b.bits++;
            b.below += c < lowest - noteNearColumns;
        }
    }
    return b;
}

std::vector<DrumRegister> drumRegisters(const std::vector<OnsetFrame>& table, const std::vector<TruthNote>& notes) {
    std::vector<DrumRegister> drums;
    for (const DrumBand& d : drumBands) {
        DrumRegister reg;
        reg.drum = d.name;
        reg.lowHz = d.registerLowHz;
        reg.highHz = d.registerHighHz;
        for (const TruthNote& n : notes) {
            if (n.instrument != d.name) continue;
            bool alone = true;
            for (const TruthNote& o : notes)
                alone = alone && (&o == &n || fabs(o.seconds - n.seconds) > noteNearSeconds);
            if (!alone) continue;
            reg.onsets++;
            for (int c : columnsNear(table, n.seconds, loneRecordSeconds)) {
                const double hz = columnFrequency(c);
                reg.bits++;
                reg.inRegister += hz >= d.registerLowHz && hz <= d.registerHighHz;
            }
        }
        if (reg.onsets) drums.push_back(reg);
    }
    std::sort(drums.begin(), drums.end(), [](const DrumRegister& a, const DrumRegister& b) { return a.drum < b.drum; });
    return drums;
}

RegisterSplit registerSplit(const std::vector<OnsetFrame>& table) {
    RegisterSplit s;
    for (const OnsetFrame& r : table)
        for (int c : recordColumns(r)) {
            const double hz = columnFrequency(c);
            (hz < lowRegisterHz ? s.low : hz < highRegisterHz ? s.middle : s.high)++;
        }
    return s;
}
