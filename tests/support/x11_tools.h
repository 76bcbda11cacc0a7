// Helpers for tests that drive the running show through the X server of the test.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/support.h"

// Runs a program found on the search path (xdotool, say) or by its path, and waits.
ProcessResult runCommand(const std::vector<std::string>& argv, double timeoutSeconds = 10);

// True once the process has ended (gone, or a zombie not yet reaped).
bool processEnded(pid_t pid);
// Seconds until the process ends, polled every millisecond; a negative value if it is
// still running after limitSeconds.
double secondsUntilEnded(pid_t pid, double limitSeconds);

// A binary PPM (P6, 8-bit) as xoon-xwin grab writes it.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // rows top to bottom, bytes red, green, blue
    const uint8_t* at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
};
RgbImage readPpm(const std::string& path);
