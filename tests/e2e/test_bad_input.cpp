// Bad input that our own tests make, run through the show (a real process under Xvfb with
// the dummy audio driver) and through the scorer: no crash, no hang, the right message,
// the show running or ending as it should, the exit status we document.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <jpeglib.h>
#include <ogg/ogg.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/texture.h"
#include "support/support.h"
#include "support/x11_tools.h"

namespace {

constexpr double songSeconds = 1.5;   // long enough to see the show run, short to test
constexpr double aliveSeconds = 2.5;  // a show that must not end is watched this long once up
// The sanitizer run checks leaks only here: the scorer is all our own code, while the show
// processes hold the X and GL libraries' allocations to the end. Ignored by other builds.
const std::vector<std::string> scorerEnv = {"ASAN_OPTIONS=detect_leaks=1:abort_on_error=1"};

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = (char)(gen() & 0xFF);
    return s;
}

// An Ogg stream whose packets are not Vorbis: valid pages, valid CRCs, foreign payload.
std::string oggWithoutVorbis() {
    ogg_stream_state os;
    ogg_stream_init(&os, 4242);
    std::string out;
    for (int i = 0; i < 8; i++) {
        std::string payload = i == 0 ? std::string("\x80theora-like header, not Vorbis") : randomBytes(300, i);
        ogg_packet p{};
        p.packet = (unsigned char*)payload.data();
        p.bytes = (long)payload.size();
        p.b_o_s = i == 0;
        p.e_o_s = i == 7;
        p.granulepos = i * 1000;
        p.packetno = i;
        ogg_stream_packetin(&os, &p);
        ogg_page page;
        while (ogg_stream_flush(&os, &page)) {
            out.append((const char*)page.header, page.header_len);
            out.append((const char*)page.body, page.body_len);
        }
    }
    ogg_stream_clear(&os);
    return out;
}

void writeJpeg(const std::string& path, int w, int h) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(w * 3);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w * 3; x++) row[x] = (unsigned char)(x + y);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    fclose(f);
}

// A solid opaque RGBA image of any size, as a PNG.
void writeSolidPng(const std::string& path, int w, int h, uint32_t rgbaBytes) {
    std::string row((size_t)w * 4, '\0');
    for (int x = 0; x < w; x++) memcpy(&row[(size_t)x * 4], &rgbaBytes, 4);
    writePng(path, w, h, PNG_COLOR_TYPE_RGBA, 8, false, std::vector<std::string>(h, row));
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeScratchDir("bad-input");
        copyFile(std::string(XOON_RUN_DIR) + "/fona.png", dir + "/fona.png");
    }
    std::string song() const { return dir + "/xoon09.ogg"; }
    std::string font() const { return dir + "/fona.png"; }
    ProcessResult show() {
        ProcessResult r = runProcess({binPath("xoon"), "window"}, dir, {"SDL_AUDIODRIVER=dummy"}, hangSeconds);
        report("show", r);
        return r;
    }
    // One line of figures per process, printed for the record (ctest -V shows them).
    static void report(const char* what, const ProcessResult& r) {
        std::string firstLine = r.err.substr(0, r.err.find('\n'));
        printf("  %-5s %s %.2f s, status %d, signal %d, stderr: %s\n", what,
               r.timedOut ? "stopped by the test after" : "ended after", r.seconds, r.status, r.signal,
               firstLine.empty() ? "(none)" : firstLine.c_str());
    }
    // The song is unusable: one line names it, the show keeps running until stopped.
    void expectSongRefusedShowRuns() {
        ProcessResult r = watchShow(dir, {"SDL_AUDIODRIVER=dummy"}, aliveSeconds);
        report("show", r);
        EXPECT_FALSE(r.timedOut) << "no window\n" << r.err;
        EXPECT_EQ(r.signal, SIGKILL) << "the show must keep running without a song; status " << r.status
                                     << "\n" << r.err;
        EXPECT_NE(r.err.find("xoon09.ogg"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    }
    // The song plays: the show ends by itself, with status 0. (The sound layer's test
    // checks that the end comes when the song has played; bench/show-timing how soon.)
    ProcessResult expectShowEndsByItself() {
        ProcessResult r = show();
        EXPECT_FALSE(r.timedOut) << "still running after " << hangSeconds << " s\n" << r.err;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    }
    // The scorer refuses the bytes with its one line and writes no table.
    void expectScorerRefuses() {
        std::string table = dir + "/table.cpp";
        ProcessResult r = runProcess({binPath("xoon-score"), song(), "-o", table}, dir, scorerEnv, 60);
        report("score", r);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("not a usable song"), std::string::npos) << r.err;
        EXPECT_FALSE(exists(table));
    }
    // The scorer takes the song and writes a table source.
    void expectScorerScores() {
        std::string table = dir + "/table.cpp";
        ProcessResult r = runProcess({binPath("xoon-score"), song(), "-o", table}, dir, scorerEnv, 120);
        report("score", r);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(readFile(table).find("onsetTable"), std::string::npos);
    }
    std::string dir;
};

// Our loader's line names the file once; libpng may add its own "libpng error" line
// through SDL_image, which we do not control.
void expectOneFontLine(const std::string& err) {
    std::istringstream lines(err);
    std::string line;
    int ours = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("xoon: Texture \"fona.png\" not loaded", 0) == 0) ours++;
        else EXPECT_EQ(line.rfind("libpng ", 0), 0u) << "unexpected line: " << line;
    }
    EXPECT_EQ(ours, 1) << err;
}

}  // namespace

TEST_F(BadInput, UnusableSongsAreNamedAndTheShowRunsOn) {
    std::string good = dir + "/good.ogg";
    makeTestSong(good, 3.0);
    std::string bytes = readFile(good);
    struct Case {
        const char* what;
        std::string content;
    } cases[] = {
        {"empty file", ""},
        {"random bytes", randomBytes(20000, 7)},
        {"Ogg without Vorbis", oggWithoutVorbis()},
        {"cut inside the headers", bytes.substr(0, 200)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        printf("song: %s\n", c.what);
        writeFile(song(), c.content);
        expectSongRefusedShowRuns();
        expectScorerRefuses();
    }
}

// The sound layer's test checks that what is there plays to its end.
TEST_F(BadInput, TruncatedSongPlaysWhatIsThereAndEnds) {
    makeTestSong(song(), 3.0);
    std::string bytes = readFile(song());
    writeFile(song(), bytes.substr(0, bytes.size() * 7 / 10));
    const double playable = decodableSeconds(song());
    printf("song: 3 s song cut to 70 %% of its bytes, %.2f s decodable\n", playable);
    ASSERT_GT(playable, 1.0) << "the cut must leave audio pages behind the headers";
    ASSERT_LT(playable, 2.9);
    expectShowEndsByItself();
    std::string table = dir + "/table.cpp";
    ProcessResult s = runProcess({binPath("xoon-score"), song(), "-o", table}, dir, scorerEnv, 60);
    report("score", s);
    EXPECT_EQ(s.signal, 0);
    // Either reading is honest: a table of what was decoded, or a refusal with its reason.
    if (s.status == 0) EXPECT_NE(readFile(table).find("onsetTable"), std::string::npos);
    else EXPECT_NE(s.err.find("not a usable song"), std::string::npos) << s.err;
    RecordProperty("truncated_scorer_status", s.status);
}

TEST_F(BadInput, OddRatesChannelsAndLengthsPlayToTheirEnd) {
    struct Case {
        int rate, channels;
        double seconds;
    } cases[] = {{44100, 6, songSeconds}, {8000, 2, songSeconds}, {96000, 2, songSeconds},
                 {44100, 2, 0.1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels, " +
                     std::to_string(c.seconds) + " s");
        printf("song: %d Hz, %d channels, %.1f s\n", c.rate, c.channels, c.seconds);
        makeTestSong(song(), c.seconds, c.rate, c.channels);
        ProcessResult r = expectShowEndsByItself();
        EXPECT_EQ(r.err, "");
        expectScorerScores();
    }
}

TEST_F(BadInput, UnreadableFontsAreNamedAndTheShowStillEnds) {
    makeTestSong(song(), songSeconds);
    std::string atlas = readFile(font());
    struct Case {
        const char* what;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"truncated", atlas.substr(0, atlas.size() / 3)},
        {"random bytes", randomBytes(5000, 11)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        printf("font: %s\n", c.what);
        writeFile(font(), c.content);
        ProcessResult r = expectShowEndsByItself();
        expectOneFontLine(r.err);
    }
}

TEST_F(BadInput, OtherImageKindsLoadAndTheShowRuns) {
    makeTestSong(song(), songSeconds);
    const int w = 64, h = 48;
    std::vector<std::string> grey(h, std::string(w, '\x80'));
    std::vector<std::string> grey16(h, std::string(w * 2, '\x40'));
    std::vector<std::string> indexed(h, std::string(w, '\x01'));
    std::vector<png_color> palette = {{0, 0, 0}, {10, 200, 30}};
    std::vector<std::string> rgb(h, std::string(w * 3, '\x33'));
    struct Case {
        const char* what;
        std::function<void()> write;
        uint32_t texel;  // level 0's first texel, RGBA bytes in memory order
    } cases[] = {
        {"JPEG named fona.png", [&] { writeJpeg(font(), w, h); }, 0},
        {"palette", [&] { writePng(font(), w, h, PNG_COLOR_TYPE_PALETTE, 8, false, indexed, palette); },
         0xFF1EC80Au},
        {"grey", [&] { writePng(font(), w, h, PNG_COLOR_TYPE_GRAY, 8, false, grey); }, 0xFF808080u},
        {"16-bit grey", [&] { writePng(font(), w, h, PNG_COLOR_TYPE_GRAY, 16, false, grey16); },
         0xFF404040u},
        {"interlaced", [&] { writePng(font(), w, h, PNG_COLOR_TYPE_RGB, 8, true, rgb); }, 0xFF333333u},
    };
    openGlWindow();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        printf("font: %s\n", c.what);
        c.write();
        // The loader's own result, read back from a real texture.
        GLuint name;
        glGenTextures(1, &name);
        glBindTexture(GL_TEXTURE_2D, name);
        loadTextureImage(font().c_str(), 1);
        GLint tw = 0, th = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &tw);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &th);
        EXPECT_EQ(tw, w);
        EXPECT_EQ(th, h);
        std::vector<uint32_t> level0((size_t)w * h);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, level0.data());
        if (c.texel) EXPECT_EQ(level0[0], c.texel) << std::hex << level0[0];
        else EXPECT_EQ(level0[0] >> 24, 0xFFu) << "a JPEG is opaque";
        glDeleteTextures(1, &name);
        ProcessResult r = expectShowEndsByItself();
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(BadInput, ExtremeFontSizesLoadEveryLevelAndTheShowRuns) {
    makeTestSong(song(), songSeconds);
    // Opaque white everywhere: every texel of every level must come out white. At
    // 4096 x 4097 a channel's total passes 2^32 and a 32-bit sum would wrap to nonsense.
    const uint32_t white = 0xFFFFFFFFu;
    struct Case {
        int w, h;
    } cases[] = {{1, 1}, {1, 4096}, {4096, 1}, {4096, 4097}};
    openGlWindow();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
        printf("font: %d x %d\n", c.w, c.h);
        writeSolidPng(font(), c.w, c.h, white);
        GLuint name;
        glGenTextures(1, &name);
        glBindTexture(GL_TEXTURE_2D, name);
        loadTextureImage(font().c_str(), 1);
        int levels = 0;
        for (int level = 0, w = c.w, h = c.h;; level++) {
            GLint tw = 0, th = 0;
            glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &tw);
            glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &th);
            ASSERT_EQ(tw, w) << "level " << level;
            ASSERT_EQ(th, h) << "level " << level;
            std::vector<uint32_t> texels((size_t)w * h);
            glGetTexImage(GL_TEXTURE_2D, level, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
            size_t wrong = 0;
            for (uint32_t t : texels) wrong += t != white;
            EXPECT_EQ(wrong, 0u) << "level " << level << " of " << w << " x " << h;
            levels++;
            if (w == 1 && h == 1) break;
            w = w / 2 > 0 ? w / 2 : 1;
            h = h / 2 > 0 ? h / 2 : 1;
        }
        glDeleteTextures(1, &name);
        ProcessResult r = expectShowEndsByItself();
        EXPECT_EQ(r.err, "");
    }
}
