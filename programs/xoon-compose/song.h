// The song's score: passages, patterns and melody turned into a list of notes.
#pragma once
#include <vector>

#include "synth.h"

constexpr double songSeconds = 195.0;  // length of the rendered song, ring-out included

// Every note of the song, in no particular order. Called once by the composer's main.
std::vector<Note> arrangeSong();
