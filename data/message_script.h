// The compiled-in message script that the typewriter panel types.
#pragma once

// Zero-terminated; line feed ends a line, '#' pauses 500 ms. Generated at build time.
extern const char messageScript[];
