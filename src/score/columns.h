// The columns: a moment to the columns it lights, from the spectral peaks its bands show new.
#pragma once
#include "score/bands.h"
#include "score/pyramid.h"

// What a moment's band onsets rose by, nats: below the crossover (summed, and the
// strongest) and above it (summed).
struct MomentOnsets {
    double lowStrength = 0, lowStrongest = 0, highStrength = 0;
};

// Called by the moments for each moment that passes, heard at frame t (stride 1). Sets the
// bits of the columns it lights in record's mask, and says whether one of them is a note
// that began where its own band rose. Transforms the deeper levels around t with the
// pyramid's buffers.
bool lightColumns(Pyramid* pyramid, const Bands& bands, double t, const MomentOnsets& onsets, OnsetFrame* record);
