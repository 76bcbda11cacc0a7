// The running show in a window on the test's X server, ended by a real Escape key release
// (keyboard events injected into the server) and by a real window-close request. How soon
// it ends is measured by bench/show-timing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/support.h"
#include "support/x11_tools.h"

namespace {

const char* const caption = "xOOn 2009";
// The test song outlasts waiting for the window, the request and waiting for the end.
constexpr double songSeconds = 3 * hangSeconds;

struct Observed {
    bool windowFound = false;
    bool aliveAfterPress = false;
    int requestStatus = -1;  // of the tool that sent the request
    bool endedAfterRequest = false;
};

class EndToEndInput : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir = makeShowFolder("input", songSeconds); }
    static ProcessResult runShow(const std::function<void(pid_t)>& drive) {
        return runShowWindow(drive, songSeconds, dir);
    }
    static std::string dir;
};
std::string EndToEndInput::dir;

void expectEndedByTheRequest(const Observed& seen, const ProcessResult& show) {
    ASSERT_TRUE(seen.windowFound) << show.err;
    EXPECT_EQ(seen.requestStatus, 0);
    EXPECT_TRUE(seen.endedAfterRequest) << "still running " << hangSeconds << " s after the request";
    EXPECT_FALSE(show.timedOut);
    EXPECT_EQ(show.signal, 0);
    EXPECT_EQ(show.status, 0) << show.err;
}

}  // namespace

TEST_F(EndToEndInput, EscapeReleaseEndsTheShow) {
    Observed seen;
    ProcessResult show = runShow([&](pid_t pid) {
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
        seen.requestStatus = runCommand({"xdotool", "keyup", "Escape"}).status;
        seen.endedAfterRequest = waitUntilEnded(pid, hangSeconds);
        if (!seen.endedAfterRequest) kill(pid, SIGKILL);
    });
    EXPECT_TRUE(seen.aliveAfterPress) << "pressing or holding Escape ended the show";
    expectEndedByTheRequest(seen, show);
}

TEST_F(EndToEndInput, WindowCloseRequestEndsTheShow) {
    Observed seen;
    ProcessResult show = runShow([&](pid_t pid) {
        seen = Observed{};
        std::string window;
        seen.windowFound = waitForShowWindow(pid, &window);
        if (!seen.windowFound) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the main loop
        seen.aliveAfterPress = !processEnded(pid);
        seen.requestStatus =
            runCommand({binPath("xoon-xwin"), "close", caption, "--pid", std::to_string(pid)}).status;
        seen.endedAfterRequest = waitUntilEnded(pid, hangSeconds);
        if (!seen.endedAfterRequest) kill(pid, SIGKILL);
    });
    EXPECT_TRUE(seen.aliveAfterPress) << "the show ended before the request";
    expectEndedByTheRequest(seen, show);
}
