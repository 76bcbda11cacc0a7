// Helpers for tests that drive the running show through the X server of the test.
#include "support/x11_tools.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

static std::string onSearchPath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw std::runtime_error(name + " is not on the search path");
}

// The test's X server now and then refuses a connection made right after another one;
// a command that could not connect did nothing, so it is simply run again.
constexpr int connectAttempts = 50;
constexpr int connectRetryMs = 100;  // up to 5 s in all: a busy server may stall that long

bool couldNotConnect(const ProcessResult& r) {
    return r.status != 0 && (r.err.find("open display") != std::string::npos ||
                             r.err.find("open the display") != std::string::npos ||
                             r.err.find("Couldn't open X11 display") != std::string::npos);
}

ProcessResult runCommand(const std::vector<std::string>& argv, double timeoutSeconds) {
    std::vector<std::string> resolved = argv;
    resolved[0] = onSearchPath(argv[0]);
    ProcessResult r;
    for (int attempt = 0; attempt < connectAttempts; attempt++) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(connectRetryMs));
        r = runProcess(resolved, "", {}, timeoutSeconds);
        if (!couldNotConnect(r)) break;
    }
    return r;
}

void openGlWindowPatiently() {
    for (int attempt = 1;; attempt++) {
        try {
            openGlWindow();
            return;
        } catch (const std::runtime_error&) {
            if (attempt == connectAttempts) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(connectRetryMs));
        }
    }
}

constexpr int showAttempts = 3;
constexpr const char* windowWaitStep = "0.5";  // seconds per look, between checks on the process

ProcessResult runShowWindow(const std::function<void(pid_t)>& drive, double timeoutSeconds,
                            const std::string& runDir) {
    ProcessResult r;
    for (int attempt = 0; attempt < showAttempts; attempt++) {
        r = runProcess({binPath("xoon"), "window"}, runDir, {"SDL_AUDIODRIVER=dummy"}, timeoutSeconds, drive);
        if (!couldNotConnect(r)) break;
    }
    return r;
}

ProcessResult watchShow(const std::string& runDir, const std::vector<std::string>& env, double watchSeconds) {
    return runProcess({binPath("xoon"), "window"}, runDir, env, 2 * hangSeconds + watchSeconds, [&](pid_t pid) {
        std::string window;
        if (!waitForShowWindow(pid, &window)) return;
        std::this_thread::sleep_for(std::chrono::duration<double>(watchSeconds));
        if (!processEnded(pid)) kill(pid, SIGKILL);
    });
}

bool waitForShowWindow(pid_t pid, std::string* windowId) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < hangSeconds) {
        if (processEnded(pid)) return false;
        ProcessResult found = runCommand(
            {binPath("xoon-xwin"), "wait", "xOOn 2009", "--pid", std::to_string(pid), "--wait", windowWaitStep});
        if (found.status == 0) {
            *windowId = found.out.substr(0, found.out.find('\n'));
            return !windowId->empty();
        }
    }
    return false;
}

bool processEnded(pid_t pid) {
    const char state = processState(pid);
    return state == 0 || state == 'Z';
}

bool waitUntilEnded(pid_t pid, double limitSeconds) {
    const auto start = std::chrono::steady_clock::now();
    while (!processEnded(pid)) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > limitSeconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool stopProcess(pid_t pid) {
    kill(pid, SIGSTOP);
    for (;;) {
        const char state = processState(pid);
        if (state == 'T') return true;
        if (state == 0 || state == 'Z') return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

constexpr double endedAgeSeconds = 1e9;  // of a process that is gone: older than any bound

double processAgeSeconds(pid_t pid) {
    // Field 22 of /proc/PID/stat: the start, in clock ticks after boot (boot-time clock).
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return endedAgeSeconds;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; i++) {}
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec + now.tv_nsec * 1e-9 - atof(field.c_str()) / sysconf(_SC_CLK_TCK);
}

RgbImage readPpm(const std::string& path) {
    const std::string bytes = readFile(path);
    std::istringstream in(bytes);
    std::string magic;
    int maxValue = 0;
    RgbImage image;
    in >> magic >> image.width >> image.height >> maxValue;
    if (magic != "P6" || maxValue != 255 || image.width <= 0 || image.height <= 0)
        throw std::runtime_error("not an 8-bit binary PPM: " + path);
    const size_t start = (size_t)in.tellg() + 1;  // one whitespace byte ends the header
    const size_t size = (size_t)image.width * image.height * 3;
    if (bytes.size() < start + size) throw std::runtime_error("short PPM: " + path);
    image.rgb.assign(bytes.begin() + start, bytes.begin() + start + size);
    return image;
}
