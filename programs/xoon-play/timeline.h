// xoon-play: the one timeline the show's clock runs on: the songs on it (segments), where
// each starts, and the onset table the show scans over all of them.
#pragma once
#include <cstdint>

#include "score/score.h"

// A stretch of the timeline: one song from its frame `from`, starting at timeline frame
// `start`, ending at `end` (-1 while its length is unknown). Frames at audioRateHz.
struct Segment {
    int song;          // the playlist's index
    LiveScore* score;  // its table (song times); shared with other segments of the song
    int64_t start, from, end;
    int32_t nextRecord;  // the score's next record to go into the timeline's table
};

// The first song, after the lead-in.
void timelineStart(int song, LiveScore* score, int64_t startFrame);
// The timeline's table and its records final so far: the show's table.
const OnsetFrame* timelineTable();
int32_t timelineCount();
// Once per frame, before the show's: the records scored since into the table, each
// segment's end once its song is scored, the song handed to the sound only as far as the
// table is final, the particles flown again once a restart's new records have come, and
// the pages of records long played given back. heardMs: showSoundPosition().
void timelineUpdate(int32_t heardMs);
// The decoder's limit (soundSetFeedLimit): any thread.
int32_t timelineFeedLimitMs();
// The segment heard now; the ones before it are dropped. Null before the first.
const Segment* timelineHeard(int32_t heardMs);
// The last segment; whether the timeline knows where it ends (a song may follow it).
const Segment* timelineLast();
// How many segments there are, the one heard included.
int timelineSegments();
// Whether a song follows the last one: null when the playlist is over.
void timelineSetLastSong(bool last);
// A song queued after the last one (its end known), starting where that one ends.
void timelineQueue(int song, LiveScore* score, const char* path);
// A song played from its frame `from` right after what the sound already holds; the
// table's records from there on, and the songs queued, are dropped. False when the sound
// has run out of songs.
bool timelineRestart(int song, LiveScore* score, const char* path, int64_t from);
// A song was put into the playlist at `at`: the songs from there on move one on.
void timelineSongInserted(int at);
// Whether any segment plays this score.
bool timelineUses(const LiveScore* score);
// The player's display delay, for the decoder's limit (negative: the picture is early).
void timelineSetPictureDelay(int32_t ms);
