// Our sound layer: streams an Ogg Vorbis song through SDL audio and reports the music clock.
#pragma once
#include <cstdint>

struct SoundStream;
// Called once when the stream has played to its end, possibly on the audio thread.
typedef signed char (*StreamEndCallback)(SoundStream* stream, void* buffer, int length,
                                         void* userValue);

// Starts output at the given mixing rate. Without an audio device it prints one line and
// the song plays silently on the wall clock.
void soundInit(int mixRate);
// Opens an Ogg Vorbis file as a stream; null (with one line on stderr) when it cannot.
SoundStream* soundOpenStream(const char* name);
// Registers the end-of-stream callback.
void soundSetEndCallback(SoundStream* stream, StreamEndCallback callback, void* userValue);
// Starts playing the stream once; the music clock starts here (also for a null stream).
void soundPlay(SoundStream* stream);
// The play position heard now, in ms of song time; never goes backwards.
int32_t soundPosition(SoundStream* stream);
// Volume of all channels, 0..255 (255 full).
void soundSetVolume(int volume);
