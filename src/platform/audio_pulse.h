// Output through the desktop's sound server (PulseAudio, or PipeWire serving its API), with
// the server's own account of what is being heard.
#pragma once
#include <cstdint>

// What the output asks of the sound layer, on the server's thread: up to `frames` stereo
// float frames of the song (fewer when the ring holds fewer), and whether the song is over.
struct PulseFeed {
    int (*pull)(float* out, int frames);
    bool (*songPulled)();
    void (*drained)();  // every frame pulled has been played
};

// Connects to a running server (never starts one) and opens a playback stream of 32-bit
// float stereo at rate Hz. False, quietly, when no server answers.
bool pulseOpen(int rate, const PulseFeed& feed);
// Starts playback; the ring should already hold the song's first frames.
void pulseStart();
// The sound layer has put new frames in its ring: the output writes them if it was waiting.
void pulseKick();
// Frames played so far as the server says they are heard now, interpolated between its
// timing updates; -1 until the first update. Called on the main thread.
int64_t pulseHeardFrames();
// Latency the server reports for the stream now, in microseconds (benchmarks, messages).
uint64_t pulseLatencyMicroseconds();
