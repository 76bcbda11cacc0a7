// The columns: a moment to the columns it lights, from the spectral peaks its bands show new.
#pragma once
#include "score/bands.h"
#include "score/pyramid.h"

// Called by the moments for each moment that passes, heard at frame t (stride 1);
// lowStrength is its summed rise below the crossover, nats. Sets the bits of the columns it
// lights in record's mask. Transforms the deeper levels around t with the pyramid's buffers.
void lightColumns(Pyramid* pyramid, const Bands& bands, double t, double lowStrength, OnsetFrame* record);
