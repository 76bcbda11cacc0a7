// Encodes planar float audio into an Ogg Vorbis file: shared by the tools that make songs.
#pragma once
#include <cstdio>
#include <functional>

// Fills planes[c][0..n) with frames at..at+n-1 of channel c, samples in -1..1.
typedef std::function<void(float** planes, long at, long n)> FrameSource;

// Encodes `frames` frames, VBR at `quality` (-0.1..1), with a fixed stream serial so the
// same audio gives the same bytes every run; title may be null. False when the encoder
// refuses the channel count or rate (nothing written then).
bool writeVorbis(FILE* out, int channels, long rate, float quality, int serial, const char* title,
                 long frames, const FrameSource& fill);
