// Measures an onset table against a song's ground truth: pooled onset matching, whether
// the columns carry the notes' pitches, and the table's shape, for the scorer's tests and
// the comparison bench.
#pragma once
#include <string>
#include <vector>

#include "data/onset_table.h"

// One note of the ground truth, as the composer writes it: "seconds instrument pitch".
struct TruthNote {
    double seconds;          // when its onset is heard
    std::string instrument;  // kick, snare, clap, hat, openhat, bass, chord, lead, ...
    int pitch;               // MIDI note; General MIDI drum numbers for drums
};

// Reads a ground truth file ('#' starts a comment line). False with a reason if unreadable.
bool readTruth(const std::string& path, std::vector<TruthNote>* notes, std::string* error);

// Moments at which something starts: note times sorted, notes closer than mergeSeconds
// to the previous moment folded into it (a chord, or kick and bass on the same beat).
std::vector<double> truthMoments(const std::vector<TruthNote>& notes, double mergeSeconds);

// Record times in seconds of the records with at least one column set.
std::vector<double> tableMoments(const std::vector<OnsetFrame>& table);

struct OnsetMatch {
    int matched = 0, references = 0, detections = 0;
    double precision = 0, recall = 0, fMeasure = 0;
    double meanOffsetMs = 0;           // mean of detection - reference over matches
    std::vector<int> detectionOf;      // per reference: matched detection index or -1
};

// One-to-one matching of sorted detections to sorted references within +-tolerance,
// maximal in count (greedy in time order is optimal for a fixed window).
OnsetMatch matchOnsets(const std::vector<double>& references, const std::vector<double>& detections,
                       double toleranceSeconds);

// Per-column usage and bit counts of a table.
struct TableShape {
    int records = 0, nonEmptyRecords = 0, bits = 0, mostBitsInRecord = 0, columnsUsed = 0;
    bool ascending = true;
    std::vector<int> bitsPer10s;  // set bits whose record lies in each 10-s stretch
};
TableShape tableShape(const std::vector<OnsetFrame>& table);

// Columns set in a record, ascending.
std::vector<int> recordColumns(const OnsetFrame& record);

// Union of the columns of all records within +-toleranceSeconds of a moment.
std::vector<int> columnsNear(const std::vector<OnsetFrame>& table, double seconds,
                             double toleranceSeconds);

// Notes of one instrument (a prefix: "hat" also takes "hat2" but not "openhat") that no
// note of another instrument joins within +-aloneSeconds: their columns are their own.
std::vector<double> loneNotes(const std::vector<TruthNote>& notes, const std::string& instrument,
                              double aloneSeconds);

// A record this close to a note belongs to it, and a column this close to a frequency's
// column is on it (4 columns: about a semitone).
constexpr double noteNearSeconds = 0.050;
constexpr int noteNearColumns = 4;
constexpr int harmonicsCounted = 8;  // a bit on harmonics 1..8 of a starting note is on it

// True for the unpitched instruments of our composer and clip maker (kick, snare, clap,
// tom, hat, openhat, crash, cymbal); every other instrument is a pitched voice.
bool isDrum(const std::string& instrument);

// Column of a MIDI note's fundamental (fractional).
double pitchColumn(int midiPitch);

// Per pitched voice (sorted by name): its notes, and how many have their fundamental's
// column (+-noteNearColumns) set in a record within +-noteNearSeconds.
struct VoiceRecall {
    std::string voice;
    int notes = 0, found = 0;
};
std::vector<VoiceRecall> fundamentalRecall(const std::vector<OnsetFrame>& table,
                                           const std::vector<TruthNote>& notes);

// Where the set bits fall. onNote: within noteNearColumns of a harmonic 1..8 of a pitched
// note starting within +-noteNearSeconds, or in the band of a drum sounding then (from
// noteNearSeconds before its onset to the end of its sound). onOnset is stricter: a drum
// counts only within +-noteNearSeconds of its onset, as a pitched note does.
struct BitPlacement {
    int bits = 0, onHarmonic = 0, inDrumBand = 0, onNote = 0, onOnset = 0;
};
BitPlacement placeBits(const std::vector<OnsetFrame>& table, const std::vector<TruthNote>& notes);

// Bits near pitched notes where no drum sounds: those within noteNearSeconds of a pitched
// note's onset, and of them those more than noteNearColumns below the lowest fundamental
// starting then (a piano's thump, a bass column lit under a melody).
struct BelowFundamental {
    int bits = 0, below = 0;
};
BelowFundamental bitsBelowFundamental(const std::vector<OnsetFrame>& table, const std::vector<TruthNote>& notes);

// Per drum kind of the truth (sorted by name): its lone onsets (no other note within
// +-noteNearSeconds), the bits of the records within +-loneRecordSeconds of them, and how
// many of those lie in the drum's own register (a kick below 200 Hz, hats and cymbals above
// 2 kHz).
constexpr double loneRecordSeconds = 0.025;
struct DrumRegister {
    std::string drum;
    double lowHz = 0, highHz = 0;
    int onsets = 0, bits = 0, inRegister = 0;
};
std::vector<DrumRegister> drumRegisters(const std::vector<OnsetFrame>& table, const std::vector<TruthNote>& notes);

// Where the table's bits lie across the screen: below 200 Hz, from there to 2 kHz, above.
constexpr double lowRegisterHz = 200, highRegisterHz = 2000;
struct RegisterSplit {
    int low = 0, middle = 0, high = 0;
};
RegisterSplit registerSplit(const std::vector<OnsetFrame>& table);
