// xoon-play: the show for any song the user has, scored while it plays.
#pragma once
#include <cstdint>

struct PlayerOptions {
    bool window = false;                // an 800 x 400 window instead of the whole screen
    const char* songPath = nullptr;
    const char* messagePath = nullptr;  // null: the built-in message
    int32_t avOffsetMs = 0;             // display delay: positive shows the picture later
};

// The command line; prints usage and exits 0 for --help, 2 for a usage error.
PlayerOptions parsePlayerOptions(int argc, char** argv);
// Everything before the first frame, in the order that keeps a bad song or message from
// ever opening a window: the song checked, the table found in the cache or its scoring
// started, then the message checked, the window, the font and the song playing. Exits 1
// with one line naming the file when the song or message cannot be used.
void startPlayer(const PlayerOptions& options);
// One iteration of the main loop: the records scored since the last, events, one frame.
// False once the song has ended.
bool runPlayerIteration();
// The process's entry: options, start-up, then iterations until the song has ended.
int runPlayer(int argc, char** argv);
