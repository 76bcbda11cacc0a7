// The built show run as a process under Xvfb with the dummy audio driver, on test songs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/support.h"

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

TEST_F(ShowProcess, EndsByItselfSoonAfterTheSong) {
    makeTestSong(dir + "/xoon09.ogg", 3.0);
    ProcessResult r = runShow({"SDL_AUDIODRIVER=dummy"}, 20);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(r.seconds, 3.0);
    EXPECT_LE(r.seconds, 5.0) << "should end within 2 s of the song's end";
}

TEST_F(ShowProcess, EndsByItselfWithoutAnAudioDevice) {
    makeTestSong(dir + "/xoon09.ogg", 3.0);
    ProcessResult r = runShow({"SDL_AUDIODRIVER=nosuchdriver"}, 20);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("no audio device"), std::string::npos) << r.err;
    EXPECT_GE(r.seconds, 3.0);
    EXPECT_LE(r.seconds, 5.0);
}

TEST_F(ShowProcess, MissingSongIsNamedAndTheShowKeepsRunning) {
    ProcessResult r = runShow({"SDL_AUDIODRIVER=dummy"}, 3.0);
    EXPECT_TRUE(r.timedOut) << "without a song the show must not end by itself: " << r.err;
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
