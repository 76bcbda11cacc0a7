// The shipped message script: its format, its typing time against our song, and the
// xoon-message tool that checks a message file and compiles it in.
#include <gtest/gtest.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "data/message_script.h"
#include "show/message_panel.h"
#include "show/tick.h"
#include "support/support.h"

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (char ch : text) {
        if (ch == '\n') lines.emplace_back();
        else lines.back() += ch;
    }
    return lines;
}

std::string shown(const std::string& line) {
    std::string out;
    for (char ch : line)
        if (ch != '#') out += ch;
    return out;
}

// Music time (ms) of the tick that processes the script's last character, typed from a
// fresh panel at the show's pace: one tick every 10 ms of music from 0.
int32_t lastCharacterTime(const char* script) {
    useMessageScript(script);
    const int32_t length = (int32_t)strlen(script);
    int32_t t = 0;
    for (; messagePanel().scriptIndex < length; t += tickMs) advanceTypewriter(t);
    return t - tickMs;
}

double songSeconds(const std::string& path) {
    OggVorbis_File song;
    if (ov_fopen(path.c_str(), &song) != 0) return -1;
    const double seconds = ov_time_total(&song, -1);
    ov_clear(&song);
    return seconds;
}

ProcessResult runMessageTool(const std::string& dir, const std::string& text) {
    writeFile(dir + "/in.txt", text);
    return runProcess({binPath("xoon-message"), dir + "/in.txt", dir + "/out.cpp"}, dir, {}, 30);
}

}  // namespace

TEST(ShippedScript, FollowsTheFormat) {
    if (!builtWithOurMessage) GTEST_SKIP() << needsOurMessage;
    const std::string script = messageScript;
    const std::string allowed = " !'(),.:*#\n";
    for (size_t i = 0; i < script.size(); i++) {
        const char ch = script[i];
        ASSERT_TRUE(isalnum((unsigned char)ch) || allowed.find(ch) != std::string::npos)
            << "character " << (int)ch << " at " << i;
    }
    EXPECT_NEAR((double)script.size(), 924, 20);
    const std::vector<std::string> lines = splitLines(script);
    EXPECT_EQ(lines.size(), 48u);

    int longLines = 0, blankLines = 0, pauseOnlyLines = 0;
    for (const std::string& line : lines) {
        const size_t visible = shown(line).size();
        if (visible > 24) longLines++;
        else EXPECT_LE(visible, 23u) << "a line of 24 would leave an empty row: " << line;
        if (visible == 0) {
            blankLines++;
            pauseOnlyLines += !line.empty();
        }
    }
    EXPECT_EQ(longLines, 1);
    EXPECT_EQ(blankLines, 5);
    EXPECT_EQ(pauseOnlyLines, 2);

    std::vector<size_t> runs;  // lengths of the runs of pause marks
    for (size_t i = 0; i < script.size();) {
        if (script[i] != '#') {
            i++;
            continue;
        }
        size_t n = 0;
        while (i < script.size() && script[i] == '#') i++, n++;
        runs.push_back(n);
    }
    size_t marks = 0;
    for (size_t n : runs) marks += n;
    EXPECT_NEAR((double)marks, 54, 4);
    EXPECT_NEAR((double)runs.size(), 20, 3);
    EXPECT_EQ(lines.front().substr(0, 12), "###########H") << "opens with 11 pauses";
    EXPECT_EQ(lines.back().substr(0, 10).find_first_not_of('#'), 9u) << "last line: 9 pauses";

    // The greetings name the projects the show is built on, across line breaks.
    std::string prose;
    for (const std::string& line : lines) prose += shown(line) + " ";
    for (const char* name : {"SDL", "Mesa", "Ogg Vorbis", "libpng", "FFTW", "GoogleTest",
                             "CMake", "Debian", "xOOn team"})
        EXPECT_NE(prose.find(name), std::string::npos) << name;
}

TEST(ShippedScript, TypingEndsShortlyBeforeTheSong) {
    if (!builtWithOurMessage) GTEST_SKIP() << needsOurMessage;
    if (!builtWithOurSong) GTEST_SKIP() << needsOurSong;
    const double song = songSeconds(std::string(XOON_RUN_DIR) + "/xoon09.ogg");
    ASSERT_GT(song, 0) << "cannot read the song";
    const double typed = lastCharacterTime(messageScript) / 1000.0;
    std::printf("typing ends at %.2f s, the song at %.2f s: %.2f s before\n", typed, song,
                song - typed);
    EXPECT_GE(song - typed, 3.0);
    EXPECT_LE(song - typed, 15.0);
}

TEST(ShippedScript, OpeningPausesShowOnlyTheCursorForFivePointSixSeconds) {
    if (!builtWithOurMessage) GTEST_SKIP() << needsOurMessage;
    useMessageScript(messageScript);
    int32_t t = 0;
    for (; messagePanel().grid[0][0] == 0; t += tickMs) advanceTypewriter(t);
    // 10 ticks of first wait, then 11 pauses of 50 ticks: the first glyph at 5.6 s.
    EXPECT_EQ(t - tickMs, 5600);
}

// What the compiler makes of the written source is the message, byte for byte, with no
// warning: quotes, backslashes and "??!" (a trigraph to older compilers) included.
TEST(MessageTool, WritesSourceThatCompilesToTheMessage) {
    const std::string dir = makeScratchDir("message_good");
    const std::string message = "##Hi \"you\"\n\nC:\\ 100%?\nWhat?\?! ?\?= ?\?/\n";
    const ProcessResult r = runMessageTool(dir, message);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    writeFile(dir + "/dump.cpp",
              "#include <cstdio>\n#include \"message_script.h\"\n"
              "int main() { fputs(messageScript, stdout); }\n");
    const ProcessResult built =
        runProcess({XOON_CXX_COMPILER, "-std=c++17", "-Wall", "-Wextra", "-Wtrigraphs", "-Werror", "-I",
                    std::string(XOON_SOURCE_DIR) + "/data", "-o", dir + "/dump", dir + "/dump.cpp",
                    dir + "/out.cpp"},
                   dir, {}, 300);
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.err, "");
    const ProcessResult ran = runProcess({dir + "/dump"}, dir, {}, 30);
    EXPECT_EQ(ran.out, message.substr(0, message.size() - 1)) << "the final line feed is the terminating zero";
}

TEST(MessageTool, RejectsFaultsNamingTheLine) {
    struct Case {
        const char* text;
        const char* where;  // FILE:LINE:COLUMN tail expected in the message
        const char* what;
    } cases[] = {
        {"fine\ncaf\xc3\xa9\n", ":2:4:", "U+00E9"},
        {"\xef\xbb\xbfwith a mark\n", ":1:1:", "starts with a byte-order mark: save it without one"},
        {"fine\n\xff\n", ":2:1:", "0xFF"},
        {"fine\nfine\ttoo\n", ":2:5:", "tab"},
        {"dos line\r\n", ":1:9:", "carriage return"},
        {nullptr, ":2:1:", "zero byte"},  // text with an inner zero, made below
        {"no final line feed", ":1:19:", "last line"},
        {"", ":1:1:", "empty"},
        {"ok\n#####01234567890123456789012345678901234567890123456789\n", ":2:54:",
         "more than 48"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = makeScratchDir("message_bad");
        const std::string text = c.text ? std::string(c.text) : std::string("zero\n\0here\n", 11);
        const ProcessResult r = runMessageTool(dir, text);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("in.txt") + c.where + " error: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.what), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one error per fault: " << r.err;
        EXPECT_TRUE(readFile(dir + "/out.cpp").empty()) << "nothing written";
    }
}

// A line that fills its rows exactly (24 or 48 shown characters, pause marks not counted)
// leaves an empty row after it: it is written, with a warning naming it. Not so the last
// line, whose line feed is not typed.
TEST(MessageTool, WarnsOfLinesThatLeaveAnEmptyRow) {
    const std::string dir = makeScratchDir("message_rows");
    const std::string row = "abcdefghijklmnopqrstuvwx";  // 24
    const ProcessResult r =
        runMessageTool(dir, "ok\n##" + row + "\n" + row + "#" + row + "\n" + row + "y\n" + row + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(readFile(dir + "/out.cpp").empty());
    const std::string file = dir + "/in.txt";
    EXPECT_EQ(r.err, file + ":2:26: warning: the line shows exactly 24 characters: the panel wraps after it "
                            "and leaves an empty row\n" +
                         file + ":3:49: warning: the line shows exactly 48 characters: the panel wraps "
                                "after it and leaves an empty row\n");
}
