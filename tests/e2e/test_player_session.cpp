// xoon-play as people use it: a folder and a playlist played end to end, the keys through
// injected events, and MPRIS against a session bus of the test's own.
#include <gtest/gtest.h>

#include <SDL.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "programs/xoon-play/player.h"
#include "programs/xoon-play/player_songs.h"
#include "support/support.h"

namespace {

std::string playerPath() { return std::string(XOON_RUN_DIR) + "/xoon-play"; }

// A clip of `seconds` with a kick each second, in the format its name says.
std::string makeSong(const std::string& dir, const std::string& name, double seconds) {
    std::vector<std::string> argv = {binPath("xoon-clip"), dir + "/clip.ogg", "--seconds", std::to_string(seconds),
                                     "--channels", "2"};
    for (int s = 0; s < seconds; s++) argv.push_back("kick:" + std::to_string(s));
    ProcessResult r = runProcess(argv, dir, {}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string path = dir + "/" + name;
    r = runProcess({systemProgram("ffmpeg"), "-nostdin", "-loglevel", "error", "-y", "-i", dir + "/clip.ogg", path}, dir,
                   {}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

class PlayerSession : public ::testing::Test {
protected:
    void SetUp() override { dir = makeScratchDir("session"); }
    ProcessResult play(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                       const std::function<void(pid_t)>& whileRunning = {}) {
        std::vector<std::string> argv = {playerPath(), "--window"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> environment = {"SDL_AUDIODRIVER=dummy", "XDG_CACHE_HOME=" + dir + "/cache",
                                                "DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR="};
        environment.insert(environment.end(), env.begin(), env.end());
        return runProcess(argv, dir, environment, hangSeconds, whileRunning);  // a hang guard only
    }
    std::string dir;
};

TEST_F(PlayerSession, AFolderAndAPlaylistPlayInOrderSkippingWhatCannotPlay) {
    mkdir((dir + "/album").c_str(), 0755);
    mkdir((dir + "/album/disc 2").c_str(), 0755);
    makeSong(dir, "album/1 one.mp3", 2);
    makeSong(dir, "album/2 two.flac", 2);
    makeSong(dir, "album/10 three.opus", 2);
    makeSong(dir, "album/disc 2/1 four.ogg", 2);
    writeFile(dir + "/album/cover.txt", "not a song\n");
    ProcessResult folder = play({dir + "/album"});
    EXPECT_EQ(folder.status, 0) << folder.err;
    EXPECT_EQ(folder.out,
              "Playing 1/4: 1 one.mp3 (0:02)\nPlaying 2/4: 2 two.flac (0:02)\nPlaying 3/4: 10 three.opus (0:02)\n"
              "Playing 4/4: 1 four.ogg (0:02)\n");
    EXPECT_FALSE(folder.timedOut);
    EXPECT_EQ(folder.err, "") << "no bus, no word of it";

    // Paths relative to the playlist's own folder; a missing entry and a file that is no
    // song are named and skipped.
    writeFile(dir + "/album/not-a-song.mp3", "text\n");
    writeFile(dir + "/list.m3u", "#EXTM3U\nalbum/2 two.flac\n#EXTINF:2,gone\nalbum/gone.mp3\nalbum/not-a-song.mp3\n" +
                                     dir + "/album/1 one.mp3\n");
    ProcessResult list = play({dir + "/list.m3u"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "Playing 1/3: 2 two.flac (0:02)\nPlaying 3/3: 1 one.mp3 (0:02)\n");
    EXPECT_NE(list.err.find("album/gone.mp3: No such file or directory"), std::string::npos) << list.err;
    EXPECT_NE(list.err.find("not-a-song.mp3: not an audio file"), std::string::npos) << list.err;

    // Nothing at all to play: status 1.
    ProcessResult none = play({dir + "/album/not-a-song.mp3", dir + "/missing.ogg"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("nothing to play"), std::string::npos) << none.err;
}

// ---- the keys, in this process ----

void pushKey(SDLKey key) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.type = SDL_KEYDOWN;
    e.key.state = SDL_PRESSED;
    e.key.keysym.sym = key;
    SDL_PushEvent(&e);
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Runs the player until `done` holds (false after the hang guard).
template <typename Done>
bool runUntil(Done done) {
    const double start = now();
    while (!done()) {
        if (now() - start > hangSeconds || !runPlayerIteration()) return false;
    }
    return true;
}

// Iterations for a while of wall time.
void runFor(double seconds) {
    const double start = now();
    while (now() - start < seconds && runPlayerIteration()) {
    }
}

int failures = 0;
void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s (position %lld ms, song %s)\n", what, (long long)songPositionMs(),
                songState().title.c_str());
        failures++;
    }
}

void pressKeysAndExit(const std::string& dir) {
    // The player finds its font beside the program: this test's.
    copyFile(std::string(XOON_RUN_DIR) + "/fona.png", std::string(XOON_BUILD_DIR) + "/tests/fona.png");
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    std::string folder = dir + "/songs";
    char* argv[] = {(char*)"xoon-play", (char*)"--window", &folder[0], nullptr};
    startPlayer(parsePlayerOptions(3, argv));
    check(runUntil([] { return songPositionMs() >= 1000; }), "the first song plays");

    pushKey(SDLK_SPACE);
    runFor(0.3);
    const int64_t held = songPositionMs();
    runFor(0.5);
    check(paused() && songPositionMs() == held, "Space holds the song");
    pushKey(SDLK_SPACE);
    check(runUntil([&] { return songPositionMs() > held + 200; }), "Space again lets it go on");

    const int64_t before = songPositionMs();
    pushKey(SDLK_RIGHT);
    runFor(0.1);
    check(std::llabs(songPositionMs() - (before + 10000)) < 1000, "Right: 10 s on");
    check(runUntil([&] { return songPositionMs() > before + 10300; }), "the song goes on from there");
    const int64_t on = songPositionMs();
    pushKey(SDLK_LEFT);
    runFor(0.1);
    check(std::llabs(songPositionMs() - (on - 10000)) < 1000, "Left: 10 s back");
    pushKey(SDLK_DOWN);
    runFor(0.1);
    check(songPositionMs() < 1000, "Down: back to the start, no further");

    pushKey(SDLK_n);
    runFor(0.3);
    check(songState().title == "2 b.ogg", "N: the next song");
    pushKey(SDLK_PAGEUP);
    runFor(0.3);
    check(songState().title == "1 a.ogg", "Page Up early in a song: the one before");
    pushKey(SDLK_PAGEDOWN);
    runFor(0.3);
    pushKey(SDLK_UP);  // 60 s on, past the 3-s song's end: the song after it
    runFor(0.3);
    check(songState().title == "3 c.ogg", "Page Down, then Up past the end: the third song");
    check(runUntil([] { return songPositionMs() > 3300; }), "the third song plays past its first 3 s");
    pushKey(SDLK_p);
    runFor(0.3);
    check(songState().title == "3 c.ogg" && songPositionMs() < 1000, "P past its first seconds: its start");

    pushKey(SDLK_9);
    runFor(0.05);
    check(volume() == 255 - 16, "9: softer");
    pushKey(SDLK_0);
    pushKey(SDLK_0);
    runFor(0.05);
    check(volume() == 255, "0: louder, no louder than full");
    pushKey(SDLK_f);
    runFor(0.2);
    pushKey(SDLK_f);
    runFor(0.2);
    check(songPositionMs() > 0, "F there and back: still playing");
    fprintf(stderr, "%d key checks failed\n", failures);
    if (failures) exit(1);
    pushKey(SDLK_q);
    runFor(5);
    exit(2);  // Q should have ended it
}

TEST_F(PlayerSession, EachKeyActs) {
    mkdir((dir + "/songs").c_str(), 0755);
    makeSong(dir, "songs/1 a.ogg", 25);
    makeSong(dir, "songs/2 b.ogg", 3);
    makeSong(dir, "songs/3 c.ogg", 6);
    EXPECT_EXIT(pressKeysAndExit(dir), ::testing::ExitedWithCode(0), "0 key checks failed");
}

// ---- MPRIS, on a session bus of our own ----

std::string busCall(const std::string& address, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {systemProgram("dbus-send"), "--session", "--print-reply",
                                     "--dest=org.mpris.MediaPlayer2.xoon", "/org/mpris/MediaPlayer2"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = runProcess(argv, "", {"DBUS_SESSION_BUS_ADDRESS=" + address}, 30);
    return r.status == 0 ? r.out : "failed: " + r.err;
}

std::string busGet(const std::string& address, const char* name) {
    return busCall(address, {"org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2.Player",
                             std::string("string:") + name});
}

TEST_F(PlayerSession, MprisControlsItAndSaysWhatPlays) {
    const std::string daemon = systemProgram("dbus-daemon");
    if (access(daemon.c_str(), X_OK) != 0) GTEST_SKIP() << "no dbus-daemon here";
    mkdir((dir + "/songs").c_str(), 0755);
    makeSong(dir, "songs/1 a.ogg", 20);
    makeSong(dir, "songs/2 b.ogg", 20);
    char runtime[] = "/tmp/xoon-bus-XXXXXX";
    ASSERT_TRUE(mkdtemp(runtime));
    const std::string address = std::string("unix:path=") + runtime + "/bus";
    const pid_t bus = fork();
    if (bus == 0) {
        execl(daemon.c_str(), "dbus-daemon", "--session", ("--address=" + address).c_str(), "--nofork",
              (char*)nullptr);
        _exit(127);
    }
    std::vector<std::string> seen;
    ProcessResult r = play({dir + "/songs"}, {"DBUS_SESSION_BUS_ADDRESS=" + address}, [&](pid_t) {
        // Until the player has its name on the bus (a guard against one that never comes).
        for (int i = 0; i < 600 && busGet(address, "PlaybackStatus").find("Playing") == std::string::npos; i++)
            usleep(100000);
        seen.push_back(busGet(address, "Metadata"));
        busCall(address, {"org.mpris.MediaPlayer2.Player.PlayPause"});
        seen.push_back(busGet(address, "PlaybackStatus"));
        busCall(address, {"org.mpris.MediaPlayer2.Player.PlayPause"});
        busCall(address, {"org.mpris.MediaPlayer2.Player.Next"});
        usleep(300000);
        seen.push_back(busGet(address, "Metadata"));
        const std::string track = seen.back().substr(seen.back().find("/org/xoon/track/"));
        busCall(address, {"org.mpris.MediaPlayer2.Player.SetPosition",
                          "objpath:" + track.substr(0, track.find('"')), "int64:12000000"});
        usleep(300000);
        seen.push_back(busGet(address, "Position"));
        busCall(address, {"org.mpris.MediaPlayer2.Quit"});
    });
    kill(bus, SIGTERM);
    waitpid(bus, nullptr, 0);
    rmdir(runtime);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_NE(seen[0].find("1 a.ogg"), std::string::npos) << seen[0];
    EXPECT_NE(seen[0].find("mpris:length"), std::string::npos) << seen[0];
    EXPECT_NE(seen[1].find("Paused"), std::string::npos) << seen[1];
    EXPECT_NE(seen[2].find("2 b.ogg"), std::string::npos) << seen[2];
    // int64 12000000 or a little more: 12 s into the second song.
    const size_t at = seen[3].find("int64 ");
    ASSERT_NE(at, std::string::npos) << seen[3];
    const long long position = atoll(seen[3].c_str() + at + 6);
    EXPECT_GE(position, 12000000) << seen[3];
    EXPECT_LT(position, 14000000) << seen[3];
}

}  // namespace
