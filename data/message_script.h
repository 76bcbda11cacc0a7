// The compiled-in message script that the typewriter panel types.
#pragma once

#include <cstdint>

// The mark that pauses the typing instead of showing, and how long it pauses.
constexpr char messagePauseMark = '#';
constexpr int32_t messagePauseMs = 500;
// Characters a panel row shows: a longer line carries on onto the next row.
constexpr int panelColumns = 24;

// Zero-terminated; line feed ends a line, messagePauseMark pauses. Generated at build time.
extern const char messageScript[];
