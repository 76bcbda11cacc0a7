// Every program's command line answers as the house conventions say: --help on standard
// output with status 0, a usage error with the usage on standard error and status 2, a
// failure as one line "tool: what: why" naming the user's file, status 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

struct Tool {
    const char* name;
    std::vector<std::string> failing;  // arguments that fail (missing input or output folder)
    const char* named;                 // what the failure's line must name
};

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
    };
    for (const Tool& t : tools) {
        SCOPED_TRACE(t.name);
        const std::string program = binPath(t.name);
        const ProcessResult help = runProcess({program, "--help"}, dir, {}, 30);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(std::string("Usage: ") + t.name, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");

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
