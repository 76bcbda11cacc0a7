// Every tuning number of the onset analysis, with its unit and the reason for its value.
#pragma once
#include <cmath>

#include "data/onset_table.h"
#include "score/analysis.h"

// ---- the time line ----

// Every analysis runs in frames one hop apart; frame f's windows end at input sample
// f * hopSamples, on every level of the pyramid. A track at a stride counts frames of its
// own, stride frames apart.
constexpr int hopSamples = 256;  // input samples, ~5.8 ms
constexpr double framesPerSecond = (double)analysisRateHz / hopSamples;
constexpr int fftSize = 512;  // samples of every level's transform; a level's rate sets its reach
constexpr int fftBins = fftSize / 2 + 1;  // 0 Hz to half the level's rate
// Level L runs at analysisRateHz / 2^L: 44.1, 22.05, 11.025, 5.5 and 2.8 kHz, so the same
// transform spans 11.6, 23, 46, 93 and 186 ms.
constexpr int pyramidLevels = 5;
// The levels the bands read (the 11.6, 23 and 46-ms frames). The 11.6 and 46-ms ones are
// transformed every frame and kept a while, for the moments' columns too; the 23-ms one,
// which only the spread reads, every other frame; it and the deeper ones are transformed
// again where a moment's columns need them.
constexpr int framedLevels = 3;
constexpr int keptLevels = 2;  // of the framed levels, those whose spectra are kept
// Frames kept for looking back, each a power of two. The columns of a moment are taken
// about 100 frames after it (the floors' look-ahead, the band onset test and the pooling
// lie between), from spectra and samples of around its time.
constexpr int lookBackFrames = 128;
constexpr int rawFrames = 64;        // band powers wait this long for their floors
constexpr int referenceFrames = 1;   // the level a rise is measured against, this frame's
constexpr int riseFrames = 32;       // the band onset test reads this far either way

// Frames (stride 1) to seconds, and seconds to a track's frames at a stride.
inline double seconds(double frames) { return frames / framesPerSecond; }
inline int framesOf(double s, int stride = 1) { return (int)lround(s * framesPerSecond / stride); }

// ---- the pyramid ----

constexpr int feedChunk = 1024;    // input frames taken at once
constexpr float sampleLimit = 64;  // 36 dB above full scale: louder is a damaged source
// Half-band low-pass taken before each halving of the rate: it passes the octave the next
// level analyses (up to a quarter of the new rate) and removes what would fold onto it.
constexpr int halfBandReach = 11;  // taps either side of the centre; the even ones are 0
constexpr int levelBufferTimes = 2;  // a buffer holds this many times what is kept: old samples go out in blocks
// Silence after the song carries every stage past its last sound, so the last moments are
// settled exactly as the ones before them.
constexpr double flushSeconds = 1.0;

// ---- bands ----

// The timing reads two of the levels: the 46-ms frames below the crossover, where notes
// need bins to be told apart, and the 11.6-ms frames above, sharper for hats and other
// short sounds.
constexpr double crossoverHz = 1500.0;
constexpr int longLevel = 2, midLevel = 1, shortLevel = 0;  // the 46, 23 and 11.6-ms levels
// Where notes are told apart by the bands that show them new, the 23-ms frames see an
// attack more sharply than the 46-ms ones and still tell semitones apart above this (Hz).
constexpr double spreadMidHz = 500.0;
// A short frame's bins are wide and noisy: each of its bands averages at least this many.
constexpr double shortFewestBins = 8;
// How long after the heard onset each frame's rise peaks (sharp attacks), seconds.
constexpr double longDelaySeconds = 0.020;
constexpr double midDelaySeconds = 0.014;
constexpr double shortDelaySeconds = 0.012;
// A rise is measured against the frame this much earlier, seconds.
constexpr double lagSeconds = 0.012;
// Below this (Hz), a bin is a large step in pitch and a kick's falling body must still
// count as rising: the reference is not widened there.
constexpr double unwidenedHz = 100.0;
// A band's rise shows something new within its bins and one bin either side (a window's
// main lobe), give or take this many columns.
constexpr int freshSlackColumns = 2;
constexpr int mostBandBins = 16;  // the widest band: a short frame's fewest, and a column's share
constexpr int narrowBandBins = 3;  // bands this narrow are summed tap by tap, three taps each
constexpr int prefixBandBins = 4;  // bands this wide are summed from prefix sums
// Frames between the spread's: its rises only place notes, for which half the pace (11.6
// ms) is close enough, and cost half as much.
constexpr int spreadStride = 2;
constexpr int roseKept = 8;  // rises remembered per band: more than come within a moment's reach

// Floors keep leakage, codec noise and far sidelobes from counting as onsets: a band must
// rise well above what is negligible for it and for the song so far. "Loud" is a peak
// that sinks slowly, so a quiet passage gets its own scale after a while; the floors a
// frame gets have seen a little of what follows it, so the song's first sounds are
// measured against themselves.
constexpr double silencePower = 1e-10;  // power floor for digital silence (-100 dB)
constexpr double bandFloor = 1e-3;      // a band's floor below its own loud level (-30 dB)
constexpr double songFloor = 1e-6;      // and below the song's loudest band (-60 dB)
constexpr double loudSinkDbPerSecond = 1.5;  // how fast "loud" forgets
constexpr double floorAheadSeconds = 0.25;   // floors are taken this far after their frame
static_assert(floorAheadSeconds * framesPerSecond + 1 < rawFrames, "band powers wait for their floors");

// The band onset test.
constexpr double peakSeconds = 0.020;   // a band onset is the largest rise within this reach
constexpr double pastSeconds = 0.070;   // the adaptive threshold averages this far back
constexpr double aheadSeconds = 0.035;  // and this far ahead
constexpr double gapSeconds = 0.060;    // one band fires at most once in this time
constexpr double riseOver = 1.2;        // nats above the local mean rise (~5 dB): a band onset
// A rise this far above the local mean (nats, ~2 dB) already shows where a quiet note
// starts under loud ones; it counts for the columns, not for the timing.
constexpr double weakRiseOver = 0.5;
constexpr double bodySeconds = 0.050;   // a band's level is its mean over this much

// ---- moments ----

constexpr double mergeSeconds = 0.050;  // band onsets this close are one moment
constexpr int peakColumns = 4;          // a band onset must be the loudest this far either side
// Bass needs several periods to build up; bands that slow hear a note too late to place it.
constexpr double bassPeriods = 5;
constexpr double weakestMoment = 3.5;   // summed rise a moment needs, nats
constexpr double relativeMoment = 0.15; // and this share of the median moment nearby
// A moment that lit a note where its own band rose needs less (a quiet arpeggio's note
// between louder hits).
constexpr double weakestNotedMoment = 2.5, relativeNotedMoment = 0.10;
constexpr double localSeconds = 2.0;    // reach of that median

constexpr double mergeFrames = mergeSeconds * framesPerSecond;  // the merge reach in frames
constexpr int smoothHalf = (int)(mergeFrames / 2 + 0.5);  // frames of the pooled rise's triangular smoothing
constexpr int apartFrames = (int)mergeFrames;              // moments at least this far apart (+1)
constexpr double maxDelayFrames = longDelaySeconds * framesPerSecond;
constexpr double neighbourFrames = 1.5;  // band onsets this close compete for their columns
constexpr int latestKept = 4;  // band onsets remembered per band for that contest
constexpr int mostNearby = 1024;  // far more moments than four seconds hold
// Room made up front for the queues of band onsets and moments: more than a song fills,
// so its frames do not allocate.
constexpr int onsetsReserved = 2048, formingReserved = 256, waitingReserved = 1024;

// ---- columns ----

// Each region of the spectrum is read from the level of the pyramid whose transform has
// the resolution its columns need: 93-ms frames tell semitones apart down to the bass,
// 186-ms ones the kick's body from the sub-bass; above, shorter frames follow the sounds
// as closely as their wider columns allow. Each lights a few columns at most: below 172 Hz
// two an octave, so that a bass note and a kick or tom in its octave both light; chords
// four, the middle (chords' tops, arpeggios, melodies) six and four; above, one a region.
// The middle starts above the kick's and the bass's octaves; the high regions lie above
// the notes' fundamentals: drums and overtones.
struct Region {
    int level;
    double lowHz, highHz;
    int most;  // columns lit at most
};
constexpr Region regions[] = {
    {4, lowestColumnHz, 86, 2}, {3, 86, 172, 2}, {3, 172, 345, 4}, {3, 345, 689, 6}, {3, 689, 1378, 4},
    {2, 1378, 2756, 1}, {1, 2756, 5512, 1}, {0, 5512, 11025, 1}, {0, 11025, highestColumnHz + 1, 1}};
constexpr int regionCount = sizeof regions / sizeof regions[0];
constexpr int firstMiddleRegion = 2, firstHighRegion = 5;
static_assert(regionCount == firstHighRegion + 4, "the high regions: two below 5.5 kHz, two above");
// Columns the high regions light together: a bright hit (its band onsets above the
// crossover rose this much, nats) lights where its own power rose, up to two regions; else
// one column for all of them, the sharpest overtone or noise.
constexpr double brightHitNats = 8;
constexpr int brightHighBudget = 2, dullHighBudget = 1;
// Columns the regions below light together: as many as the sharpness of their rise
// allows (about one more per five nats, which a note's bands bring), no more than dense
// chords with melody, arpeggio, bass and kick need.
constexpr double lowBudgetBase = 10, lowBudgetPerNat = 0.2;
constexpr int lowBudgetMost = 12;
constexpr int apartColumns = 5;  // lit columns stand at least this far apart (1.2 semitones)
// A lit peak stands this close to its region's loudest and to the moment's loudest, and
// fell no more than this since the frame before (more: the tail of something older; an
// arpeggio's note often starts where a held chord's louder partial sinks).
constexpr double regionRangeDb = 20, rangeDb = 45, fallDb = 15;
// Ranking: a new peak is worth a little more, up to a cap; below the high regions a
// higher peak is worth less, so a note's fundamental comes before its overtones.
constexpr double riseWeight = 0.5, riseCapDb = 12;
constexpr double tiltDbPerOctave = 6, tiltFromHz = 100, tiltToHz = 1400;
// Above, the sharpest new sound wins (a hat's or a clap's band, rising by tens of dB).
constexpr double highRiseWeight = 1, highRiseCapDb = 48;
// A note whose partials rose started too: its harmonics up to this one count for it.
constexpr int harmonicsCounted = 4;
constexpr double harmonicToleranceColumns = 2;
// The lowest region's bands are too wide to place a peak: there a peak must itself grow
// by this much, while something rose below this frequency.
constexpr double lowestGrowDb = 3, lowestRiseHz = 200;
// A sure note: its peak rose this much (dB) in the region's frames and in frames half as
// long, and stands this far above the bins two either side (dB), as a tone does and a
// sweep or a band of noise does not.
constexpr double ownRiseDb = 3, toneProminenceDb = 3;
// The regions above the lowest light where the moment's band onsets below the crossover
// say a note began (summed, or the strongest, nats); or where its new power above lies
// only below 5.5 kHz (this much under it, dB: a plucked note's overtones); or where no
// bright hit came. Else a peak lights only where it rose this much in both kinds of frames
// and sounds within this much of the moment's loudest (dB): a hat's leakage and a held
// chord's beating, which rise some dB in 93 and 46-ms frames alike, stay dark, and so does
// a held chord's faint upper partial that swells as a hat strikes; or where it is a sure
// note whose own bands rose heldEvidenceNats (an arpeggio's note under a hat).
constexpr double notesOnsetNats = 4.0, noteOnsetNats = 2.0, overtoneTiltDb = 10;
constexpr double lonelyRiseDb = 5, lonelyRangeDb = 15;
// Where no band onset below the crossover says which note began, a middle peak that is no
// sure note lights only if one of its harmonics up to this one rose above the crossover.
constexpr int overtonesCounted = 5;
// Where a middle note rose this clearly (dB, in both kinds of frames), or sounds
// belowNoteDb above it, what fell by this much is the last notes' tail, not a note hidden
// under others (dB).
constexpr double clearNoteDb = 30, fadingDb = 1;
// The high regions light only where something above the crossover rose this sharply
// (nats), at peaks that themselves rose this much (dB) and sound within this much of the
// moment's loudest (dB): a kick's faint knock up there stays dark; and only regions that
// gained within this much of the region that gained most, per octave (dB): a hat lights
// where its noise is, not the edge of it.
constexpr double highSureRise = 3.0, highRiseDb = 6, highRangeDb = 30, highSpreadDb = 15;
// A high peak that itself rose this much (dB) lights without such a band onset: a soft hat
// whose bands' rises stay under the sharp one.
constexpr double highLoneRiseDb = 12;
// A hit below the middle (its loudest peaks there rose this much, dB) that brought this
// much more new power than the middle gained (dB) ducks and colours what sounds above
// it: there a middle peak is a note only if it is sure and rose this much in both kinds
// of frames (dB), above a kick's overtones and the knock.
constexpr double lowHitRangeDb = 6, lowHitRiseDb = 10, lowHitShadowDb = 19, underHitRiseDb = 6;
// A hit whose new power above the middle is this much more, per octave, than the middle
// gained (dB, a hat, a cymbal) leaks into it: there a middle peak is a note only if it is
// sure and within this much of the moment's loudest (dB): a hat's own metal rings 17-30 dB
// under its noise.
constexpr double highShadowDb = 10, underHitRangeDb = 10;
// Under a bright hit where no note leads: a middle peak this far under the loudest high peak
// that rose (dB) is the hit's own skirt (a cymbal's metal at 0.5-1 kHz rises 40 dB there,
// 12-19 dB under its sizzle); and a peak that is no sure note and lit only through its
// partials is a held tone whose harmonics the hit's noise set off, unless a sure middle note
// within this much of the moment's loudest began (dB).
constexpr double hitSkirtDb = 12, leakNoteRangeDb = 25;
// Below the moment's loudest new note, a peak must sound within this much of it (dB) or
// start its own partials: a piano's hammer thump under its note is no note of its own.
constexpr double belowNoteDb = 12;
// Where no bright hit sounds, a peak below the loudest new note that itself rose less than
// this (dB), whose own bands rose less than this (nats) and whose partials did not start is
// a held note's partial; below 345 Hz, where the frames are long, whatever sounds.
constexpr double heldRiseDb = 2, heldEvidenceNats = 1.5;
// A peak this far under the moment's loudest (dB) that did not rise is held too, whatever
// leads the moment, unless it lies above the loudest new note (an arpeggio's over a chord).
constexpr double faintDb = 25;
// A moment none of whose peaks passed still flashes one: the likeliest that itself rose this
// much (dB), a new sound, before any other (the held tone under a soft hat).
constexpr double likeliestRiseDb = 6;
// Under a bright hit, a tone whose power changed less than this (dB) in both kinds of
// frames, and whose own bands did not rise, is held.
constexpr double steadyDb = 0.5;
// A bass note's fundamental found from its series: candidates from this frequency (Hz) up
// to the middle, their harmonics up to this one and below this frequency (Hz: where a
// chord's partials do not yet crowd them), a missing one costing this share of one found;
// at least this many must have begun as tones.
constexpr double seriesLowestHz = 40, seriesReachHz = 700, seriesMissWeight = 0.5;
constexpr int seriesMostHarmonic = 12, seriesFewestHarmonics = 4;
// Rises count for a moment from this far before it to this far after, frames (slow bass
// bands rise a few periods late, up to the cap).
constexpr double freshEarly = 0.5 * mergeFrames, freshLateCap = 0.5 * mergeFrames;
