// Test material for the scorer: short arrangements that show how it lights the columns
// (lone hats and cymbals, a drum kit, bass under toms and kicks, a solo piano).
#pragma once
#include <vector>

#include "synth.h"

// The names --material takes, space-separated, for the usage.
extern const char materialNames[];

// The notes of the named material and its length; false for an unknown name.
bool arrangeMaterial(const char* name, std::vector<Note>* notes, double* seconds);
