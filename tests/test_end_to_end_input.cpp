// The running show in a window on the test's X server, ended by a real Escape key release
// (keyboard events injected into the server) and by a real window-close request.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/support.h"
#include "support/x11_tools.h"

namespace {

const char* const caption = "xOOn 2009";
constexpr double runLimitSeconds = 15;  // the show's own song is longer than any of these runs
constexpr double endLimitSeconds = 1.0; // from the request to the end of the process

struct Observed {
    bool windowFound = false;
    bool aliveAfterPress = false;
    int requestStatus = -1;       // of the tool that sent the request
    double secondsToEnd = -1;     // from just before the request was sent
};

TEST(EndToEndInput, EscapeReleaseEndsTheShow) {
    Observed seen;
    ProcessResult show = runShowWindow([&](pid_t pid) {
        seen = Observed{};
        std::string window;
        seen.windowFound = waitForShowWindow(pid, &window);
        if (!seen.windowFound) return;
        // Keys go to the focused window; the pointer goes there too, as a user's would.
        runCommand({"xdotool", "windowraise", window});
        runCommand({"xdotool", "windowfocus", "--sync", window});
        runCommand({"xdotool", "mousemove", "--window", window, "400", "200"});
        runCommand({"xdotool", "keydown", "Escape"});
        std::this_thread::sleep_for(std::chrono::milliseconds(600));  // held: past the key repeat delay
        seen.aliveAfterPress = !processEnded(pid);
        const auto sent = std::chrono::steady_clock::now();
        seen.requestStatus = runCommand({"xdotool", "keyup", "Escape"}).status;
        const double waited = secondsUntilEnded(pid, 5);
        if (waited >= 0)
            seen.secondsToEnd = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    }, runLimitSeconds);
    ASSERT_TRUE(seen.windowFound) << show.err;
    EXPECT_TRUE(seen.aliveAfterPress) << "pressing or holding Escape ended the show";
    EXPECT_EQ(seen.requestStatus, 0);
    EXPECT_FALSE(show.timedOut);
    EXPECT_EQ(show.signal, 0);
    EXPECT_EQ(show.status, 0) << show.err;
    EXPECT_GE(seen.secondsToEnd, 0.0) << "still running 5 s after the release";
    EXPECT_LT(seen.secondsToEnd, endLimitSeconds);
    RecordProperty("secondsFromEscapeReleaseToEnd", std::to_string(seen.secondsToEnd));
}

TEST(EndToEndInput, WindowCloseRequestEndsTheShow) {
    Observed seen;
    ProcessResult show = runShowWindow([&](pid_t pid) {
        seen = Observed{};
        std::string window;
        seen.windowFound = waitForShowWindow(pid, &window);
        if (!seen.windowFound) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the main loop
        seen.aliveAfterPress = !processEnded(pid);
        const auto sent = std::chrono::steady_clock::now();
        seen.requestStatus =
            runCommand({binPath("xoon-xwin"), "close", caption, "--pid", std::to_string(pid)}).status;
        const double waited = secondsUntilEnded(pid, 5);
        if (waited >= 0)
            seen.secondsToEnd = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    }, runLimitSeconds);
    ASSERT_TRUE(seen.windowFound) << show.err;
    EXPECT_TRUE(seen.aliveAfterPress) << "the show ended before the request";
    EXPECT_EQ(seen.requestStatus, 0) << "the window takes no WM_DELETE_WINDOW";
    EXPECT_FALSE(show.timedOut);
    EXPECT_EQ(show.signal, 0);
    EXPECT_EQ(show.status, 0) << show.err;
    EXPECT_GE(seen.secondsToEnd, 0.0) << "still running 5 s after the request";
    EXPECT_LT(seen.secondsToEnd, endLimitSeconds);
    RecordProperty("secondsFromCloseRequestToEnd", std::to_string(seen.secondsToEnd));
}

}  // namespace
