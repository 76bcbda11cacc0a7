// The typewriter panel driven tick by tick with scripts of the tests' own: pace, pauses,
// wrapping, scrolling, the end of the script; its drawing read back through GL feedback.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/draw.h"
#include "show/message_panel.h"
#include "show/tick.h"
#include "support/gl_feedback.h"
#include "support/support.h"

namespace {

constexpr int maxTicksPerCharacter = 60;  // longer than any interval or pause

int32_t musicTime = 0;  // ms of the next tick

void start(const char* script) {
    useMessageScript(script);
    musicTime = 0;
}

void tick() {
    advanceTypewriter(musicTime);
    musicTime += tickMs;
}

// Runs ticks until the panel processes one script character; returns the ticks it took.
int untilNextCharacter() {
    const int32_t index = messagePanel().scriptIndex;
    for (int n = 1; n <= maxTicksPerCharacter; n++) {
        tick();
        if (messagePanel().scriptIndex != index) return n;
    }
    return -1;
}

std::string row(int r) { return messagePanel().grid[r]; }

void expectCursor(int r, int c) {
    EXPECT_EQ(messagePanel().cursorRow, r);
    EXPECT_EQ(messagePanel().cursorColumn, c);
}

bool highColumnsClear() {
    for (int r = 0; r < panelRows; r++)
        for (int c = panelColumns; c < panelRowStorage; c++)
            if (messagePanel().grid[r][c] != 0) return false;
    return true;
}

const char alphabet24[] = "ABCDEFGHIJKLMNOPQRSTUVWX";

}  // namespace

TEST(Typewriter, FirstCharacterComesOnTheEleventhTick) {
    start("Hi");
    for (int n = 1; n <= 10; n++) {
        tick();
        ASSERT_EQ(messagePanel().scriptIndex, 0) << "tick " << n;
        ASSERT_EQ(row(0), "");
    }
    tick();  // the 11th, at 100 ms
    EXPECT_EQ(messagePanel().scriptIndex, 1);
    EXPECT_EQ(row(0), "H");
    expectCursor(0, 1);
    // Reloaded with 12 + (100 / 16) mod 15 = 18, less this tick's step.
    EXPECT_EQ(messagePanel().typingCountdown, 17);
}

TEST(Typewriter, IntervalFollowsTheMusicTimeOfTheTypingTick) {
    // The tick that types at time t decides how many ticks later the next one types.
    const int32_t times[] = {0, 15, 16, 230, 239, 240, 479, 100000};
    const int expected[] = {12, 12, 13, 26, 26, 12, 26, 12 + (100000 / 16) % 15};
    for (size_t k = 0; k < sizeof times / sizeof times[0]; k++) {
        SCOPED_TRACE("t = " + std::to_string(times[k]));
        start("ABC");
        for (int n = 0; n < 10; n++) advanceTypewriter(999);  // spend the first wait
        advanceTypewriter(times[k]);
        ASSERT_EQ(messagePanel().scriptIndex, 1);
        EXPECT_EQ(untilNextCharacter(), expected[k]);
    }
}

TEST(Typewriter, PauseMarkHoldsFiftyTicksAndShowsNothing) {
    start("A#B##\nC");
    untilNextCharacter();  // A, at 100 ms: the '#' follows 18 ticks later
    for (int n = 0; n < 17; n++) tick();
    ASSERT_EQ(messagePanel().scriptIndex, 1);
    advanceTypewriter(230);  // where a character would leave 26, the '#' leaves 50
    ASSERT_EQ(messagePanel().scriptIndex, 2);
    expectCursor(0, 1);
    EXPECT_EQ(row(0), "A");
    EXPECT_EQ(untilNextCharacter(), 50);  // B
    EXPECT_EQ(row(0), "AB");
    untilNextCharacter();                 // first '#'
    EXPECT_EQ(untilNextCharacter(), 50);  // second '#': two marks hold 100 ticks in all
    EXPECT_EQ(untilNextCharacter(), 50);  // the line feed
    expectCursor(1, 0);
    untilNextCharacter();
    EXPECT_EQ(row(1), "C");
}

TEST(Typewriter, TwentyFourthCharacterWrapsOnItsOwnTick) {
    const std::string script = std::string(alphabet24) + "\nZ" + alphabet24 + "YZ";
    start(script.c_str());
    for (int n = 0; n < 23; n++) untilNextCharacter();
    expectCursor(0, 23);
    untilNextCharacter();  // 'X', the 24th
    expectCursor(1, 0);
    EXPECT_EQ(row(0), alphabet24);
    untilNextCharacter();  // the line feed right after it leaves row 1 empty
    expectCursor(2, 0);
    EXPECT_EQ(row(1), "");
    // A line longer than 24 carries on in mid-word on the next row, with no hyphen.
    for (int n = 0; n < 27; n++) untilNextCharacter();
    EXPECT_EQ(row(2), std::string("Z") + std::string(alphabet24, 23));
    EXPECT_EQ(row(3), "XYZ");
    expectCursor(3, 3);
}

TEST(Typewriter, LineFeedOnTheLastRowScrolls) {
    start("one\ntwo\nthree\nfour\nfive\nsix\nseven");
    while (messagePanel().cursorRow < 5 || row(5) != "six") untilNextCharacter();
    EXPECT_EQ(row(0), "one");
    untilNextCharacter();  // the line feed after "six"
    expectCursor(5, 0);
    const char* expected[] = {"two", "three", "four", "five", "six", ""};
    for (int r = 0; r < panelRows; r++) EXPECT_EQ(row(r), expected[r]) << "row " << r;
    for (int c = 0; c < panelRowStorage; c++) ASSERT_EQ(messagePanel().grid[5][c], 0);
    untilNextCharacter();
    EXPECT_EQ(row(5), "s");
}

TEST(Typewriter, WrapOnTheLastRowScrolls) {
    const std::string script = std::string("1\n2\n3\n4\n5\n") + alphabet24 + "!";
    start(script.c_str());
    for (int n = 0; n < 10 + 23; n++) untilNextCharacter();
    expectCursor(5, 23);
    EXPECT_EQ(row(0), "1");
    untilNextCharacter();  // the 24th character of row 5 scrolls at once
    expectCursor(5, 0);
    EXPECT_EQ(row(0), "2");
    EXPECT_EQ(row(4), alphabet24);
    EXPECT_EQ(row(5), "");
    untilNextCharacter();
    EXPECT_EQ(row(5), "!");
}

TEST(Typewriter, NothingChangesAfterTheEnd) {
    start("ab\ncd");
    for (int n = 0; n < 5; n++) untilNextCharacter();
    ASSERT_EQ(messagePanel().scriptIndex, 5);
    const MessagePanel before = messagePanel();
    bool countdownMoved = false;
    for (int n = 0; n < 2000; n++) {
        tick();
        countdownMoved |= messagePanel().typingCountdown != before.typingCountdown;
    }
    const MessagePanel& after = messagePanel();
    EXPECT_EQ(after.scriptIndex, 5);
    EXPECT_EQ(after.cursorRow, 1);
    EXPECT_EQ(after.cursorColumn, 2);
    EXPECT_EQ(memcmp(after.grid, before.grid, sizeof before.grid), 0);
    EXPECT_TRUE(countdownMoved) << "the countdown keeps running";
    EXPECT_GE(after.typingCountdown, 0);
    EXPECT_LT(after.typingCountdown, 26);
}

TEST(Typewriter, ColumnsPastTheWrapStayZeroWhileTyping) {
    // Long lines, empty lines and pauses, enough to scroll many times.
    std::string script;
    for (int k = 0; k < 12; k++)
        script += std::string(alphabet24 + k, 24 - k) + alphabet24 + (k % 3 ? "\n" : "#\n\n");
    start(script.c_str());
    int scrolls = 0;
    while (messagePanel().scriptIndex < (int32_t)script.size()) {
        const char top = messagePanel().grid[0][0];
        tick();
        scrolls += top != messagePanel().grid[0][0];
        ASSERT_TRUE(highColumnsClear()) << "at script index " << messagePanel().scriptIndex;
        ASSERT_GE(messagePanel().cursorColumn, 0);
        ASSERT_LT(messagePanel().cursorColumn, panelColumns);
        ASSERT_GE(messagePanel().cursorRow, 0);
        ASSERT_LT(messagePanel().cursorRow, panelRows);
    }
    EXPECT_GT(scrolls, 10);
}

static GLuint fontTexture = 0;

class PanelDrawing : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openGlWindow();
        GLuint name;
        glGenTextures(1, &name);
        fontTexture = name;
        setPanelFont(name);
    }
};

TEST_F(PanelDrawing, RowsAtTheirPlacesAndTheCursorBlinks) {
    start("AB\nC");
    for (int n = 0; n < 4; n++) untilNextCharacter();
    expectCursor(1, 1);
    struct Case {
        int32_t clock;
        bool cursor;
    } cases[] = {{0, false}, {511, false}, {512, true}, {1023, true}, {1024, false},
                 {1536, true}, {2047, true}, {2048, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("clock " + std::to_string(c.clock));
        std::vector<FeedbackStrip> strips = captureStrips([&] { drawMessagePanel(c.clock); });
        ASSERT_EQ(strips.size(), c.cursor ? 4u : 3u);
        // Glyph boxes of 32 x 64 units: A and B on row 0, C on row 1 (y = 70).
        const float places[][2] = {{20, 15}, {52, 15}, {20, 70}, {52, 70}};
        for (size_t k = 0; k < strips.size(); k++) {
            EXPECT_NEAR(strips[k].v[0].x, places[k][0], 1e-3);
            EXPECT_NEAR(strips[k].v[0].y, places[k][1], 1e-3);
            EXPECT_NEAR(strips[k].v[3].x, places[k][0] + 32, 1e-3);
            EXPECT_NEAR(strips[k].v[3].y, places[k][1] + 64, 1e-3);
            EXPECT_EQ(strips[k].v[0].colour[3], 1.0f);
        }
        if (c.cursor) {
            // The cursor is the '_' glyph: column 15, row 3 of the atlas.
            EXPECT_NEAR(strips[3].v[0].texture[0], 15 * 0.0625 + 0.002, 1e-6);
            EXPECT_NEAR(strips[3].v[0].texture[1], 3 / 6.0 + 0.002, 1e-6);
        }
    }
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ((GLuint)bound, fontTexture);
}

TEST_F(PanelDrawing, CursorFollowsScrollingAndTheEnd) {
    start("1\n2\n3\n4\n5\n6\n");
    while (messagePanel().scriptIndex < 12) untilNextCharacter();
    expectCursor(5, 0);
    std::vector<FeedbackStrip> strips = captureStrips([] { drawMessagePanel(512); });
    ASSERT_EQ(strips.size(), 6u);  // "2" to "6" on rows 0..4, and the cursor
    EXPECT_NEAR(strips[0].v[0].y, 15, 1e-3);
    EXPECT_NEAR(strips[4].v[0].y, 235, 1e-3);
    EXPECT_NEAR(strips[5].v[0].x, 20, 1e-3);
    EXPECT_NEAR(strips[5].v[0].y, 290, 1e-3);  // the bottom row, reaching y = 354
    EXPECT_NEAR(strips[5].v[3].y, 354, 1e-3);
}
