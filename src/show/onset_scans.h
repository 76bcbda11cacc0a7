// The two scans over the onset table: fire due onsets, launch particles 2 s ahead.
#pragma once
#include <cstdint>

struct OnsetFrame;

// Tick step 4: every record with timeMs < t sets its columns' wave cells to 1.0.
void fireDueOnsets(int32_t t);
// Tick step 5: every record with timeMs < t + 2000 launches one particle per column.
void launchUpcomingOnsets(int32_t t);
// Points both scans at a table (the compiled-in one by default) and rewinds the cursors.
// For tests and tools; the show never calls it.
void useOnsetTable(const OnsetFrame* frames, int32_t count);
int32_t fireCursorPosition();
int32_t launchCursorPosition();
