// xoon-play: the show for the songs the user has, scored while they play, one after
// another on one timeline.
#pragma once
#include <cstdint>

struct PlayerOptions {
    bool window = false;                // an 800 x 400 window instead of the whole screen
    const char* messagePath = nullptr;  // null: the built-in message
    int32_t avOffsetMs = 0;             // display delay: positive shows the picture later
    bool shuffle = false, loop = false;
    int64_t cacheLimitBytes = -1;       // -1: the default bound; 0: no score cache
    char* const* items = nullptr;       // songs, folders, playlists
    int itemCount = 0;
};

// The command line; prints usage and exits 0 for --help, 2 for a usage error.
PlayerOptions parsePlayerOptions(int argc, char** argv);
// Everything before the first frame, in the order that keeps bad input from ever opening a
// window: the font found, the items read into songs, the first song that plays checked and
// its table found in the cache or its scoring started, then the message checked, the
// window, the song playing and the session bus. Exits 1 with one line naming what is wrong
// when no song can be played, or the font or the message cannot be used.
void startPlayer(const PlayerOptions& options);
// One iteration of the main loop: the bus's requests, the timeline (songs heard, queued,
// sought; the records scored since), events, one frame. False once the last song has
// ended.
bool runPlayerIteration();
// The process's entry: options, start-up, then iterations until the last song has ended.
int runPlayer(int argc, char** argv);
// Whether the first song's table came from the score cache (benchmarks).
bool playerFirstScoreFromCache();
