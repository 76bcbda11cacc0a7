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
int32_t fireCursorPosition();
int32_t launchCursorPosition();
