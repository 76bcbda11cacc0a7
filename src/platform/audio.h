// Our sound layer: streams songs through the desktop's sound server (SDL audio where there
// is none) and reports the music clock: the position of the audio being heard, on one
// timeline that runs on from song to song.
#pragma once
#include <cstdint>

struct SoundStream;
// Called once when the stream has played to its end, possibly on the audio thread.
typedef signed char (*StreamEndCallback)(SoundStream* stream, void* userValue);

constexpr int fullVolume = 255;  // soundSetVolume's full volume

// Starts output at the given mixing rate: the sound server when one answers (unless
// SDL_AUDIODRIVER names an SDL driver), else SDL audio. Without either it prints one line
// and the song plays silently on the wall clock. A server that goes away later costs the
// sound until it is back, never the clock (see audio_backend.h).
void soundInit(int mixRate);
// Opens any audio file as a stream; null (with one line on stderr naming it) when it cannot.
SoundStream* soundOpenStream(const char* name);
// Registers the end-of-stream callback: the last frame of the last song queued was heard.
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

// More songs on the same timeline, for the player. A song plays from its frame fromFrame
// (at the mixing rate) for `frames` frames: cut there, or followed by silence up to there
// when it ends sooner or cannot be opened; -1: to its own end. Frame numbers on the
// timeline count from the stream's first frame, lead-in included.
//
// Queues a song to follow the last one queued with nothing between them. False when the
// queue is full or the stream has already run out of songs.
bool soundQueueSong(SoundStream* stream, const char* path, int64_t fromFrame, int64_t frames);
// Drops what is queued and the rest of the song being decoded, and plays this song right
// after what the output already holds. Returns the timeline frame where it starts, or -1
// once the stream has run out of songs. Main thread; waits for the decoder's thread.
int64_t soundPlayNow(SoundStream* stream, const char* path, int64_t fromFrame, int64_t frames);
// Holds the sound and the clock, or lets them go on.
void soundPause(bool paused);
