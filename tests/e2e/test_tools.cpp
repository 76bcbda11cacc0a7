// Every program's command line answers as the house conventions say: --help on standard
// output with status 0, a usage error with the usage on standard error and status 2, a
// failure as one line "tool: what: why" naming the user's file, status 1.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/support.h"
#include "support/x11_tools.h"

namespace {

struct Tool {
    const char* name;
    std::vector<std::string> failing;  // arguments that fail (missing input or output folder)
    const char* named;                 // what the failure's line must name
    std::string path = "";             // where it is, when not in the build's bin folder
};

const std::string versionLine = std::string(" (xOOn 2009) ") + XOON_VERSION + "\n";
const std::string playerPath = std::string(XOON_RUN_DIR) + "/xoon-play";

}  // namespace

TEST(Tools, HelpUsageErrorsAndFailuresAnswerAlike) {
    const std::string dir = makeScratchDir("tools");
    const std::string missing = dir + "/no-such-file", noFolder = dir + "/no/such/folder/out";
    const Tool tools[] = {
        {"xoon-compose", {noFolder + ".ogg", dir + "/t.txt", "--seconds", "1"}, "out.ogg"},
        {"xoon-score", {missing, "-o", dir + "/t.cpp"}, "no-such-file"},
        {"xoon-score-eval", {missing, dir + "/t.cpp"}, "no-such-file"},
        {"xoon-fontmake", {missing, dir + "/f.png"}, "no-such-file"},
        {"xoon-message", {missing, dir + "/m.cpp"}, "no-such-file"},
        {"xoon-capture", {"--raw"}, "xoon09.ogg"},  // run in a folder without a song
        {"xoon-xwin", {"wait", "no such caption", "--wait", "0"}, "no such caption"},
        {"xoon-testsong", {noFolder + ".ogg"}, "out.ogg"},
        {"xoon-clip", {noFolder + ".ogg"}, "out.ogg"},
        {"xoon-play", {missing}, "no-such-file", playerPath},
        {"xoon-record-video", {dir + "/no-build", dir + "/v.mp4"}, "no-build"},
        {"regenerate-golden", {dir + "/no-build"}, "no-build",
         std::string(XOON_SOURCE_DIR) + "/programs/scripts/regenerate-golden"},
    };
    for (const Tool& t : tools) {
        SCOPED_TRACE(t.name);
        const std::string program = t.path.empty() ? binPath(t.name) : t.path;
        const ProcessResult help = runProcess({program, "--help"}, dir, {}, 30);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(std::string("Usage: ") + t.name, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");

        const ProcessResult version = runProcess({program, "--version"}, dir, {}, 30);
        EXPECT_EQ(version.status, 0) << version.err;
        EXPECT_EQ(version.out.rfind(t.name + versionLine, 0), 0u) << version.out;

        const ProcessResult wrong = runProcess({program, "--no-such-option"}, dir, {}, 30);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_EQ(wrong.err.rfind(std::string(t.name) + ": unknown option --no-such-option\n", 0), 0u)
            << wrong.err;
        EXPECT_NE(wrong.err.find(std::string("Usage: ") + t.name), std::string::npos) << wrong.err;

        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), t.failing.begin(), t.failing.end());
        const ProcessResult failed = runProcess(argv, dir, {}, 60);
        EXPECT_EQ(failed.status, 1) << failed.err;
        EXPECT_EQ(failed.out, "");
        EXPECT_EQ(std::count(failed.err.begin(), failed.err.end(), '\n'), 1) << failed.err;
        EXPECT_EQ(failed.err.rfind(std::string(t.name) + ": ", 0), 0u) << failed.err;
        EXPECT_NE(failed.err.find(t.named), std::string::npos) << failed.err;
        printf("%-16s --help %d (stdout), usage error %d, failure %d: %s", t.name, help.status,
               wrong.status, failed.status, failed.err.c_str());
    }
}

// The options as typed, and what is wrong with each, through the shared option parser;
// "--" ends the options.
TEST(Tools, OptionErrorsNameTheOptionAsTyped) {
    const std::string dir = makeScratchDir("option-errors");
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{playerPath, "-x.mp3"}, "xoon-play: unknown option -x"},
        {{playerPath, "--window", "-x.mp3"}, "xoon-play: unknown option -x"},
        {{playerPath, "--window=yes", "song.ogg"}, "xoon-play: --window takes no value, not 'yes'"},
        {{playerPath, "--message=m.txt", "-x.mp3"}, "xoon-play: unknown option -x"},
        {{playerPath, "song.ogg", "--mess"}, "xoon-play: --message needs a value"},
        {{playerPath, "--vers=2"}, "xoon-play: --version takes no value, not '2'"},
        {{binPath("xoon-capture"), "--s", "1"}, "xoon-capture: --s is ambiguous: --size, --stall, --song?"},
        {{binPath("xoon-score"), "--output"}, "xoon-score: --output needs a value"},
        {{binPath("xoon-score"), "x.ogg", "-o"}, "xoon-score: -o needs a value"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runProcess(c.args, dir, {}, 30);
        EXPECT_EQ(r.status, 2) << c.line;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.line);
    }
    const ProcessResult dashed = runProcess({playerPath, "--", "-x.mp3"}, dir, {"DISPLAY="}, 30);
    EXPECT_EQ(dashed.status, 1);
    EXPECT_EQ(dashed.err, "xoon-play: -x.mp3: No such file or directory\n");
}

// Without X the window cannot open: one line with the reason, status 1, and nothing on
// standard output, where SDL's fallback to a terminal driver used to write escape codes
// (and the capture writes its frames). The show keeps its own wording.
TEST(Tools, WithoutADisplayNothingReachesStandardOutput) {
    const std::string dir = makeScratchDir("no-display");
    const std::vector<std::string> env = {"DISPLAY=", "SDL_VIDEODRIVER=", "TERM=xterm",
                                          "SDL_AUDIODRIVER=dummy", "XDG_CACHE_HOME=" + dir};
    const std::string song = std::string(XOON_RUN_DIR) + "/xoon09.ogg";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{playerPath, "--window", song}, "xoon-play: cannot open a window: no X display (DISPLAY is not set)\n"},
        {{binPath("xoon-capture"), "--raw", "--to", "1"},
         "xoon-capture: cannot open a window: no X display (DISPLAY is not set)\n"},
        {{binPath("xoon"), "window"}, "Video initialization failed: No available video device\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runProcess(c.args, XOON_RUN_DIR, env, hangSeconds);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out.size(), 0u) << c.args[0];
        EXPECT_EQ(r.err, c.err);
    }
}

// `cmake --install` puts everything a user runs under a prefix, each program with its man
// page, and nothing only the tests use; installed, the programs find their song, font and
// tools from any folder.
TEST(Install, EveryProgramRunsFromThePrefix) {
    const std::string dir = makeScratchDir("install");
    const std::string prefix = dir + "/prefix";
    const ProcessResult install = runProcess({XOON_CMAKE, "--install", XOON_BUILD_DIR, "--prefix", prefix}, dir, {}, 120);
    ASSERT_EQ(install.status, 0) << install.err;

    const std::set<std::string> programs = {"xoon", "xoon-play", "xoon-score", "xoon-score-eval", "xoon-capture",
                                            "xoon-compose", "xoon-fontmake", "xoon-message", "xoon-record-video"};
    std::set<std::string> installed;
    if (DIR* bin = opendir((prefix + "/bin").c_str())) {
        while (dirent* e = readdir(bin))
            if (e->d_name[0] != '.') installed.insert(e->d_name);
        closedir(bin);
    }
    EXPECT_EQ(installed, programs);
    for (const std::string& name : programs) {
        SCOPED_TRACE(name);
        const ProcessResult version = runProcess({prefix + "/bin/" + name, "--version"}, "/", {}, 30);
        EXPECT_EQ(version.out.rfind(name + versionLine, 0), 0u) << version.out << version.err;
        EXPECT_GT(readFile(prefix + "/share/man/man1/" + name + ".1.gz").size(), 200u);
    }
    for (const char* file : {"share/xoon/xoon09.ogg", "share/xoon/fona.png", "share/doc/xoon/README.md",
                             "share/doc/xoon/FONT-LICENSE", "share/doc/xoon/copyright",
                             "share/icons/hicolor/scalable/apps/xoon.svg", "share/icons/hicolor/48x48/apps/xoon.png"})
        EXPECT_FALSE(readFile(prefix + "/" + file).empty()) << file;
    const ProcessResult desktop = runProcess(
        {systemProgram("desktop-file-validate"), prefix + "/share/applications/xoon-play.desktop"}, dir, {}, 30);
    EXPECT_EQ(desktop.status, 0) << desktop.out << desktop.err;
    EXPECT_EQ(desktop.out + desktop.err, "");

    // From /, where neither song nor font stands: a missing one would be named on stderr.
    const std::vector<std::string> env = {"SDL_AUDIODRIVER=dummy", "XDG_CACHE_HOME=" + dir};
    makeTestSong(dir + "/song.ogg", 1.5);
    const ProcessResult play = runProcess({prefix + "/bin/xoon-play", "--window", dir + "/song.ogg"}, "/", env, hangSeconds);
    EXPECT_EQ(play.status, 0) << play.err;
    EXPECT_EQ(play.err, "");
    bool window = false;
    const ProcessResult show = runProcess({prefix + "/bin/xoon", "window"}, "/", env, 2 * hangSeconds, [&](pid_t pid) {
        std::string id;
        window = waitForShowWindow(pid, &id);
        if (!processEnded(pid)) kill(pid, SIGKILL);
    });
    EXPECT_TRUE(window) << show.err;
    EXPECT_EQ(show.signal, SIGKILL) << show.err;
    EXPECT_EQ(show.err, "");
    const ProcessResult video = runProcess({prefix + "/bin/xoon-record-video", "v.mp4", "--fps", "24", "--size", "64x32",
                                            "--from", "1", "--to", "1.5"},
                                           dir, {}, hangSeconds);
    EXPECT_EQ(video.status, 0) << video.err;
    EXPECT_FALSE(readFile(dir + "/v.mp4").empty());
}
