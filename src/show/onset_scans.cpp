// The fire and look-ahead scans over the onset table.
#include "show/onset_scans.h"

#include "onset_table.h"

static const OnsetFrame* table = onsetTable;
static int32_t tableCount = onsetFrameCount;
static int32_t fireCursor = 0;
static int32_t launchCursor = 0;

void fireDueOnsets(int32_t) {}

void launchUpcomingOnsets(int32_t) {}

void useOnsetTable(const OnsetFrame* frames, int32_t count) {
    table = frames;
    tableCount = count;
    fireCursor = 0;
    launchCursor = 0;
}

int32_t fireCursorPosition() { return fireCursor; }
int32_t launchCursorPosition() { return launchCursor; }
