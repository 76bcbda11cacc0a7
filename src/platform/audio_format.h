// The one sample format of the project's sound: what the decoder gives the sound layer and
// the scorer, what the output plays and what the composer renders.
#pragma once

constexpr int audioRateHz = 44100;  // frames per second
constexpr int audioChannels = 2;    // interleaved left, right
