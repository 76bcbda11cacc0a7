// xoon-play: the playlist's songs, the one playing, and the user's moves among them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "programs/xoon-play/mpris.h"

// The songs, in the order given (shuffled when asked), played once or over and over.
void setSongs(std::vector<std::string> songs, bool shuffle, bool loop);
// The first song that can be played, its score started and the timeline begun with it;
// false when none can.
bool startFirstSong(int64_t leadInFrames);
const char* firstSongPath();
bool firstScoreFromCache();
// Once per iteration, before the frame: the song heard (announced when it changes), a
// seek waiting for its song's length, the next song queued ahead, scores no longer needed
// let go, the timeline updated.
void followSongs();

void nextSong();
// Back to the song's start after its first seconds, else the song before.
void previousSong();
// Within the song playing: by ms (accumulated until applied), or to a place.
void seekBy(int32_t ms);
void seekTo(int64_t ms);
void setPaused(bool paused);
bool paused();
// Paused at the start of the song.
void stopSong();
// A song given while playing (MPRIS OpenUri): it plays next, at once.
void playFileNow(const std::string& path);
int64_t songPositionMs();
void setVolume(int volume);  // 0..255
int volume();
void setLoop(bool loop);
void setShuffle(bool shuffle);
// What the bus is told, and a number that changes whenever it may have.
MprisState songState();
int songStateSerial();
