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
        runtime = dir + "/run";
        mkdir(runtime.c_str(), 0700);
        server = fork();
        if (server == 0) {
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            setenv("HOME", dir.c_str(), 1);
            freopen((dir + "/server.log").c_str(), "w", stderr);
            execl(daemon.c_str(), "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                  "--disallow-exit", "--load=module-null-sink sink_name=test",
                  "--load=module-native-protocol-unix", "--log-target=stderr", (char*)nullptr);
            _exit(127);
        }
        // Until its socket answers; a guard against a server that never comes.
        const std::string socket = runtime + "/pulse/native";
        for (int i = 0; i < 3000 && access(socket.c_str(), F_OK) != 0; i++) usleep(10000);
        ASSERT_EQ(access(socket.c_str(), F_OK), 0) << readFile(dir + "/server.log");
        makeTestSong(dir + "/song.ogg", 2.0);
    }
    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
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
    std::string daemon, dir, runtime;
    pid_t server = -1;
};

TEST_F(PulseServer, ThePositionHeardRunsToTheEndAtTheDefaultLatency) { playThrough(nullptr); }

TEST_F(PulseServer, ThePositionHeardRunsToTheEndAtTwoHundredMilliseconds) { playThrough("200"); }

}  // namespace
