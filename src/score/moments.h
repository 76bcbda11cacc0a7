// The moments: band onsets pooled into moments, their timing, and which stand out as records.
#pragma once
#include <cstddef>
#include <vector>

#include "score/bands.h"
#include "score/pyramid.h"

// A band onset as the moments weigh it.
struct QueuedOnset {
    double frame;    // heard at this frame (detector delay taken off)
    float strength;  // rise of log power, nats
    float level;     // mean log power over the sound's body
    int column;
    long long order; // found so many onsets after the first: orders onsets heard together
    bool decided = false, kept = false;
    bool prompt = false;  // heard soon enough to place a moment
};

// A peak of the pooled rise and the band onsets it gathers; a record if it stands out.
struct Moment {
    long long peak = 0;      // frame where the pooled rise peaks
    double strength = 0;     // summed rise of its members, nats
    double lowStrength = 0;  // the part of it below the crossover
    double lowStrongest = 0; // its strongest member there, nats
    double weighted = 0;     // members' frames weighted by their strength
    bool passes = false;     // the song rose there as a whole: not the tail of an ending
    bool noted = false;      // it lit a note that began where its own band rose
    OnsetFrame record = {};
};

// Frames count at stride 1; a band onset's heard frame is fractional.
struct Moments {
    OnsetSink sink = nullptr;
    void* user = nullptr;
    std::vector<QueuedOnset> onsets;  // found and not yet pooled, sorted by frame
    long long onsetsFound = 0;
    // Each band's latest onsets (a band fires at most once a gap, so these reach further
    // back than any test of neighbours).
    QueuedOnset latest[onsetColumnCount][latestKept];
    float pooled[lookBackFrames] = {};  // per frame: summed strength of the onsets heard there
    long long nextPeakFrame = 0;    // frames below this are settled as moments or not
    std::vector<Moment> forming;    // moments whose members may still come
    std::vector<Moment> waiting;    // moments waiting for their neighbours' strengths
    size_t undecided = 0;           // waiting moments before this are emitted or dropped
    int32_t lastMs = -1;
    int32_t horizon = 0;  // every record with timeMs below this has gone to the sink
};

// The analyser opens them with its sink; their queues' room is reserved here.
void openMoments(Moments* moments, OnsetSink sink, void* user);
// After the bands tested frame 'tested': takes their band onsets, settles and times the
// moments they allow, lights their columns (reading the pyramid and bands) and emits records.
void analyseMoments(Moments* moments, Pyramid* pyramid, const Bands& bands, long long tested);
// The end of the song, once the flush has carried every stage past it: decides every
// waiting moment; no record comes after.
void finishMoments(Moments* moments);
