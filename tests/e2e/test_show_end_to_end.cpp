// The built show run as a process under Xvfb with the dummy audio driver, on test songs.
// How soon after its song the show ends is measured by bench/show-timing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include "support/support.h"
#include "support/x11_tools.h"

class ShowProcess : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeScratchDir("show");
        struct stat st;
        std::string font = std::string(XOON_RUN_DIR) + "/fona.png";
        if (stat(font.c_str(), &st) == 0) copyFile(font, dir + "/fona.png");
    }
    ProcessResult runShow(const std::vector<std::string>& env, double timeout) {
        return runProcess({binPath("xoon"), "window"}, dir, env, timeout);
    }
    std::string dir;
};

TEST_F(ShowProcess, EndsByItselfAfterTheSong) {
    makeTestSong(dir + "/xoon09.ogg", 2.0);
    ProcessResult r = runShow({"SDL_AUDIODRIVER=dummy"}, hangSeconds);
    EXPECT_FALSE(r.timedOut) << "still running after " << hangSeconds << " s";
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(ShowProcess, EndsByItselfWithoutAnAudioDevice) {
    makeTestSong(dir + "/xoon09.ogg", 2.0);
    ProcessResult r = runShow({"SDL_AUDIODRIVER=nosuchdriver"}, hangSeconds);
    EXPECT_FALSE(r.timedOut) << "still running after " << hangSeconds << " s";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("no audio device"), std::string::npos) << r.err;
}

TEST_F(ShowProcess, MissingSongIsNamedAndTheShowKeepsRunning) {
    ProcessResult r = watchShow(dir, {"SDL_AUDIODRIVER=dummy"}, 2.0);
    EXPECT_FALSE(r.timedOut) << "no window: " << r.err;
    EXPECT_EQ(r.signal, SIGKILL) << "without a song the show must not end by itself: " << r.err;
    EXPECT_NE(r.err.find("xoon09.ogg"), std::string::npos) << r.err;
}

TEST_F(ShowProcess, NoDisplayIsAFatalVideoFailureWithStatusOne) {
    makeTestSong(dir + "/xoon09.ogg", 3.0);
    ProcessResult r = runShow({"DISPLAY=", "SDL_VIDEODRIVER=", "SDL_AUDIODRIVER=dummy"}, 20);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    // Without X the video system either fails to start or, on a fallback driver, refuses
    // the OpenGL mode: one of the fatal messages either way.
    EXPECT_TRUE(r.err.rfind("Video initialization failed: ", 0) == 0 ||
                r.err.rfind("Video mode set failed: ", 0) == 0)
        << r.err;
}
