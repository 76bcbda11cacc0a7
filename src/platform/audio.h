// Our sound layer: streams a song through the desktop's sound server (SDL audio where there
// is none) and reports the music clock: the position of the audio being heard.
#pragma once
#include <cstdint>

struct SoundStream;
// Called once when the stream has played to its end, possibly on the audio thread.
typedef signed char (*StreamEndCallback)(SoundStream* stream, void* userValue);

constexpr int fullVolume = 255;  // soundSetVolume's full volume

// Starts output at the given mixing rate: the sound server when one answers (unless
// SDL_AUDIODRIVER names an SDL driver), else SDL audio. Without either it prints one line
// and the song plays silently on the wall clock.
void soundInit(int mixRate);
// Opens any audio file as a stream; null (with one line on stderr naming it) when it cannot.
SoundStream* soundOpenStream(const char* name);
// Registers the end-of-stream callback.
void soundSetEndCallback(SoundStream* stream, StreamEndCallback callback, void* userValue);
// Silence played before the song, in ms: the clock counts it, so the song starts at this
// position. Call before soundPlay; 0 by default.
void soundSetLeadIn(SoundStream* stream, int32_t leadInMs);
// The song is handed to the output only up to this clock position (ms, lead-in included),
// asked again as it goes: the player's clock then waits for its scorer rather than run
// past it. Null, the default: no limit. Called on the decoder's thread; call before soundPlay.
void soundSetFeedLimit(SoundStream* stream, int32_t (*limitMs)());
// Starts playing the stream once; the music clock starts here (also for a null stream).
void soundPlay(SoundStream* stream);
// The play position heard now, in ms from the start (lead-in included); never goes backwards.
int32_t soundPosition(SoundStream* stream);
// Volume of all channels, 0..fullVolume.
void soundSetVolume(int volume);
// Which output plays: "pulse", "sdl:<driver>" or "none"; for messages and tests.
const char* soundOutputName();
