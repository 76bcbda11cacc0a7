// Helpers for tests that drive the running show through the X server of the test.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/support.h"

// Runs a program found on the search path (xdotool, say) or by its path, and waits; runs it
// again, a few times, when it could not connect to the X server.
ProcessResult runCommand(const std::vector<std::string>& argv, double timeoutSeconds = 10);
// True when a process failed because the X server refused its connection.
bool couldNotConnect(const ProcessResult& r);

// openGlWindow, tried again a few times when the X server refuses the connection.
void openGlWindowPatiently();

// Runs the built show with the argument "window" in the run folder, with SDL's dummy audio,
// drive running alongside with its pid (as runProcess). A show that could not connect to
// the X server is started again, drive too, so drive must start from a clean slate.
ProcessResult runShowWindow(const std::function<void(pid_t)>& drive, double timeoutSeconds);
// Waits for the show's window (caption "xOOn 2009", _NET_WM_PID pid) and gives its X id;
// false when the process ends first or no window comes within 10 s.
bool waitForShowWindow(pid_t pid, std::string* windowId);

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
