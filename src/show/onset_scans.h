// The two scans over the onset table: fire due onsets, launch particles 2 s ahead.
#pragma once
#include <cstdint>

struct OnsetFrame;

// A particle is launched this long before its onset, in ms of music time.
constexpr int32_t onsetLookAheadMs = 2000;

// Tick step 4: every record with timeMs < t sets its columns' wave cells to 1.0.
void fireDueOnsets(int32_t t);
// Tick step 5: every record with timeMs < t + 2000 launches one particle per column.
void launchUpcomingOnsets(int32_t t);
// Points both scans at a table (the compiled-in one by default) and rewinds the cursors.
// For tests and tools; the show never calls it.
void useOnsetTable(const OnsetFrame* frames, int32_t count);
// The player's table grows while its song is scored: the scans see `count` records of the
// table given last, every one of them final. Never fewer than before; cursors stay.
void extendOnsetTable(int32_t count);
// A seek or a change of song made the player's records from `count` on stale: the scans
// see only those before it, and a cursor past it comes back to it.
void cutOnsetTable(int32_t count);
// The look-ahead scan goes back to the first record at or after timeMs, to launch again
// what it launched from there on.
void rewindLaunchCursor(int32_t timeMs);
int32_t fireCursorPosition();
int32_t launchCursorPosition();
