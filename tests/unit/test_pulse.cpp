// The sound layer through a real sound server: a private PulseAudio with a null sink, at
// its default latency and at 200 ms. The clock must start, never go backwards, reach the
// song's end with the lead-in counted, and the end must come once, when it is heard.
#include <gtest/gtest.h>

#include <SDL.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/audio.h"
#include "platform/audio_format.h"
#include "support/support.h"

namespace {

std::atomic<int> ends{0};
signed char countEnd(SoundStream*, void*) {
    ends++;
    return 1;
}

class PulseServer : public ::testing::Test {
protected:
    void SetUp() override {
        daemon = systemProgram("pulseaudio");
        if (access(daemon.c_str(), X_OK) != 0) GTEST_SKIP() << "no pulseaudio program here";
        dir = makeScratchDir("pulse");
        // A Unix socket's path holds 108 bytes: the server's runtime folder stays short
        // however deep the build folder is.
        char shortFolder[] = "/tmp/xoon-pulse-XXXXXX";
        ASSERT_TRUE(mkdtemp(shortFolder)) << strerror(errno);
        runtime = shortFolder;
        server = startServer("server.log");
        // Until its socket answers; a guard against a server that never comes.
        const std::string socket = runtime + "/pulse/native";
        for (int i = 0; i < 3000 && access(socket.c_str(), F_OK) != 0; i++) usleep(10000);
        ASSERT_EQ(access(socket.c_str(), F_OK), 0) << readFile(dir + "/server.log");
        makeTestSong(dir + "/song.ogg", 2.0);
    }
    // A server of our own (no pid file: a killed one's pid may linger as a zombie), its
    // lines in LOG under the scratch folder.
    pid_t startServer(const char* log) {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            setenv("HOME", dir.c_str(), 1);
            if (!freopen((dir + "/" + log).c_str(), "w", stderr)) _exit(126);
            execl(daemon.c_str(), "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                  "--disallow-exit", "--use-pid-file=no", "--load=module-null-sink sink_name=test",
                  "--load=module-native-protocol-unix", "--log-target=stderr", "--log-level=info", (char*)nullptr);
            _exit(127);
        }
        return pid;
    }
    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
        if (!runtime.empty() && system(("rm -rf '" + runtime + "'").c_str()) != 0) ADD_FAILURE() << "cannot clear " << runtime;
    }
    // Plays the song with a lead-in in a child; its stderr says what it saw.
    void playThrough(const char* latencyMs) {
        EXPECT_EXIT(
            {
                unsetenv("SDL_AUDIODRIVER");
                setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
                if (latencyMs) setenv("PULSE_LATENCY_MSEC", latencyMs, 1);
                SDL_Init(SDL_INIT_NOPARACHUTE);
                soundInit(audioRateHz);
                if (strcmp(soundOutputName(), "pulse") != 0) {
                    fprintf(stderr, "output %s, not the server\n", soundOutputName());
                    exit(1);
                }
                SoundStream* s = soundOpenStream((dir + "/song.ogg").c_str());
                soundSetEndCallback(s, countEnd, nullptr);
                soundSetLeadIn(s, 300);
                soundPlay(s);
                int32_t last = 0;
                int32_t atEnd = -1;
                bool backwards = false;
                // A guard only: the song lasts 2.3 s with its lead-in.
                for (int i = 0; i < 60000 && ends.load() == 0; i++) {
                    const int32_t p = soundPosition(s);
                    backwards = backwards || p < last;
                    last = p;
                    SDL_Delay(1);
                }
                atEnd = soundPosition(s);
                SDL_Delay(300);
                fprintf(stderr, "clock at the end %d, ends %d, backwards %d\n", atEnd, ends.load(), backwards);
                exit(!backwards && ends.load() == 1 && atEnd >= 2290 ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
    // Plays the 6-s song, kills the server and starts another; exits 0 when all went well.
    void playThroughAKill() {
        unsetenv("SDL_AUDIODRIVER");
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        SDL_Init(SDL_INIT_NOPARACHUTE);
        soundInit(audioRateHz);
        if (strcmp(soundOutputName(), "pulse") != 0) exit(1);
        SoundStream* s = soundOpenStream((dir + "/long.ogg").c_str());
        soundSetEndCallback(s, countEnd, nullptr);
        soundPlay(s);
        using Clock = std::chrono::steady_clock;
        Clock::time_point killedAt;
        pid_t second = -1;
        int32_t atKill = -1, oneSecondOn = -1, last = 0;
        bool backwards = false;
        for (int i = 0; i < 60000 && ends.load() == 0; i++) {
            const int32_t p = soundPosition(s);
            backwards = backwards || p < last;
            last = p;
            const double away = atKill < 0 ? 0 : std::chrono::duration<double>(Clock::now() - killedAt).count();
            if (atKill < 0 && p >= 1500) {
                kill(server, SIGKILL);
                atKill = p;
                killedAt = Clock::now();
            } else if (atKill >= 0 && oneSecondOn < 0 && away >= 1.0) {
                oneSecondOn = p;
            } else if (atKill >= 0 && second < 0 && away >= 1.5) {
                second = startServer("second.log");
            }
            SDL_Delay(1);
        }
        const int32_t atEnd = soundPosition(s);
        SDL_Delay(300);
        if (second > 0) kill(second, SIGTERM);
        fprintf(stderr, "killed at %d ms, %d ms a second later, end at %d, ends %d, backwards %d\n", atKill,
                oneSecondOn, atEnd, ends.load(), backwards);
        // A second of wall time moves the clock half a second at least, however busy the
        // machine: a frozen one moves it not at all.
        exit(!backwards && oneSecondOn - atKill >= 500 && ends.load() == 1 && atEnd >= 5950 ? 0 : 1);
    }
    std::string daemon, dir, runtime;
    pid_t server = -1;
};

// The server killed 1.5 s into a 6-s song and started again 1.5 s later: the clock runs on
// meanwhile (one line says why the sound went), the sound comes back on the new server,
// and the song still ends when it should, once.
TEST_F(PulseServer, TheClockRunsOnWhileTheServerIsAwayAndTheSoundComesBack) {
    makeTestSong(dir + "/long.ogg", 6.0);
    EXPECT_EXIT(playThroughAKill(), ::testing::ExitedWithCode(0), "the sound server went away");
    // The song's stream on the second server: the sound came back.
    EXPECT_NE(readFile(dir + "/second.log").find("Created input"), std::string::npos) << readFile(dir + "/second.log");
}

TEST_F(PulseServer, ThePositionHeardRunsToTheEndAtTheDefaultLatency) { playThrough(nullptr); }

TEST_F(PulseServer, ThePositionHeardRunsToTheEndAtTwoHundredMilliseconds) { playThrough("200"); }

}  // namespace
