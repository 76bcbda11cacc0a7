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

// Runs the built show with the argument "window" in runDir (the build's run folder unless
// given), with SDL's dummy audio, drive running alongside with its pid (as runProcess). A
// show that could not connect to the X server is started again, drive too, so drive must
// start from a clean slate.
ProcessResult runShowWindow(const std::function<void(pid_t)>& drive, double timeoutSeconds,
                            const std::string& runDir = XOON_RUN_DIR);
// For a show that must keep running: runs it in runDir with extra environment entries (as
// runProcess), lets it run watchSeconds once its window is up, then kills it (SIGKILL). Ended
// by that kill: signal SIGKILL and not timed out; a show that never shows its window is
// stopped by the hang guard (timed out).
ProcessResult watchShow(const std::string& runDir, const std::vector<std::string>& env, double watchSeconds);
// Waits for the show's window (caption "xOOn 2009", _NET_WM_PID pid) and gives its X id;
// false when the process ends first or no window comes within hangSeconds.
bool waitForShowWindow(pid_t pid, std::string* windowId);

// True once the process has ended (gone, or a zombie not yet reaped).
bool processEnded(pid_t pid);
// Waits, polling every millisecond, until the process ends (true) or limitSeconds pass.
bool waitUntilEnded(pid_t pid, double limitSeconds);
// Stops the process (SIGSTOP) and returns once it stands; false if it ended instead.
bool stopProcess(pid_t pid);
// Seconds since the process started, never less than the truth (to 10 ms); a huge age
// once it is gone.
double processAgeSeconds(pid_t pid);

// A binary PPM (P6, 8-bit) as xoon-xwin grab writes it.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // rows top to bottom, bytes red, green, blue
    const uint8_t* at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
};
RgbImage readPpm(const std::string& path);
