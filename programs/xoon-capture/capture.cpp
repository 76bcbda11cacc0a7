// xoon-capture: renders the show frame by frame on a scripted music clock into PNGs or raw RGB.
#include <png.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "score/score.h"
#include "show/show.h"

constexpr int minFps = 24;
constexpr int maxFps = 120;
constexpr int defaultFps = 60;
constexpr int defaultWidth = 1920;
constexpr int defaultHeight = 1080;
constexpr int maxSide = 8192;              // pixels; beyond any GL viewport we can expect
constexpr double maxSongSeconds = 2e6;     // the clock is 32-bit ms; keep clear of its end
constexpr double frameEpsilon = 1e-6;      // frames; absorbs decimal seconds like 0.1 x 60
constexpr double progressEverySeconds = 0.25;  // on a terminal, where the line is rewritten

static const char usage[] =
    "Usage: xoon-capture [options] (--out DIR | --raw | --check)\n"
    "Renders the show frame by frame on a scripted music clock: frame n is drawn as the\n"
    "show would draw it with its clock reading n x 1000 / fps ms. Run it in the folder that\n"
    "holds xoon09.ogg and fona.png, with an X display (Xvfb will do). Seconds are seconds\n"
    "of song, from the start of its music.\n"
    "\n"
    "  --song FILE     the show for any song, as xoon-play shows it: scored whole first; its\n"
    "                  picture starts 2 s before the music, at second -2\n"
    "  --message FILE  the panel types FILE instead of the built-in message\n"
    "  --fps N         frames per second, 24..120 (default 60)\n"
    "  --size WxH      picture size in pixels, letterboxed as full screen (default 1920x1080)\n"
    "  --from S        first second to capture (default: the first picture); negative: only\n"
    "                  the last -S seconds before --to, in whole frames (-0.01: the last)\n"
    "  --to S          capture up to this second, at most the song's end (default)\n"
    "  --stall AT:LEN  the show freezes at second AT for LEN seconds while the song plays\n"
    "                  on; the picture holds, and a stall over 1 s makes the show jump\n"
    "  --out DIR       write DIR/NNNNNN.png, NNNNNN the frame's number from the first picture\n"
    "  --raw           write raw RGB24 frames, top row first, to standard output\n"
    "  --check         check the options and the song, print the stretch the frames would\n"
    "                  show as \"START LENGTH\" (seconds of song, seconds) and stop\n"
    "  -h, --help      this text\n"
    "      --version   the program's version\n";

struct Options {
    int fps = defaultFps;
    int width = defaultWidth, height = defaultHeight;
    // Seconds of song. fromSeconds negative: that many seconds back from the end, in frames.
    double fromSeconds = 0;
    bool sawFrom = false;    // else from the first picture
    double toSeconds = -1;   // negative: the song's end
    double stallAt = -1, stallLength = 0;    // no stall when stallAt < 0
    std::string outDir;
    bool raw = false;
    bool check = false;
    const char* songPath = nullptr;     // null: the show's own song and table
    const char* messagePath = nullptr;  // null: the built-in message
};

static bool parseSeconds(const char* text, double* value) {
    return cliParseDouble(text, value) && *value >= 0;
}

static Options parseOptions(int argc, char** argv) {
    enum { fpsOption = 256, sizeOption, fromOption, toOption, stallOption, outOption, rawOption,
           songOption, messageOption, checkOption };
    static const option longOptions[] = {{"fps", required_argument, nullptr, fpsOption},
                                         {"size", required_argument, nullptr, sizeOption},
                                         {"from", required_argument, nullptr, fromOption},
                                         {"to", required_argument, nullptr, toOption},
                                         {"stall", required_argument, nullptr, stallOption},
                                         {"out", required_argument, nullptr, outOption},
                                         {"raw", no_argument, nullptr, rawOption},
                                         {"song", required_argument, nullptr, songOption},
                                         {"message", required_argument, nullptr, messageOption},
                                         {"check", no_argument, nullptr, checkOption},
                                         {"help", no_argument, nullptr, 'h'},
                                         {}};
    Options o;
    bool sawTo = false;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;) {
        const char* v = optarg;
        if (c == fpsOption) {
            long fps;
            if (!cliParseLong(v, &fps) || fps < minFps || fps > maxFps)
                cliUsageError("--fps wants a whole number from %d to %d, not '%s'", minFps, maxFps, v);
            o.fps = (int)fps;
        } else if (c == sizeOption) {
            int w, h, used = 0;
            if (sscanf(v, "%dx%d%n", &w, &h, &used) != 2 || v[used] != 0 || w < 1 || h < 1 ||
                w > maxSide || h > maxSide)
                cliUsageError("--size wants WIDTHxHEIGHT, each 1..%d pixels, not '%s'", maxSide, v);
            o.width = w;
            o.height = h;
        } else if (c == fromOption) {
            const bool back = v[0] == '-';
            if (!parseSeconds(v + back, &o.fromSeconds) || (back && o.fromSeconds == 0))
                cliUsageError("--from wants seconds of song, or a negative count back, not '%s'", v);
            if (back) o.fromSeconds = -o.fromSeconds;
            o.sawFrom = true;
        } else if (c == toOption) {
            if (!parseSeconds(v, &o.toSeconds))
                cliUsageError("--to wants seconds of song (0 or more), not '%s'", v);
            sawTo = true;
        } else if (c == stallOption) {
            const std::string value = v;
            const size_t colon = value.find(':');
            if (colon == std::string::npos ||
                !parseSeconds(value.substr(0, colon).c_str(), &o.stallAt) ||
                !parseSeconds(value.substr(colon + 1).c_str(), &o.stallLength) ||
                o.stallLength <= 0)
                cliUsageError("--stall wants AT:LEN in seconds, LEN above 0, not '%s'", v);
        } else if (c == outOption) {
            if (!*v) cliUsageError("--out wants a folder");
            o.outDir = v;
        } else if (c == rawOption) {
            o.raw = true;
        } else if (c == checkOption) {
            o.check = true;
        } else if (c == songOption) {
            o.songPath = v;
        } else if (c == messageOption) {
            o.messagePath = v;
        }
    }
    if (optind < argc) cliUsageError("no operands, only options: '%s'", argv[optind]);
    if (o.raw + !o.outDir.empty() + o.check != 1)
        cliUsageError("give exactly one of --out DIR, --raw and --check");
    if (sawTo && o.sawFrom && o.fromSeconds >= 0 && o.toSeconds <= o.fromSeconds)
        cliUsageError("--to (%g) must be after --from (%g)", o.toSeconds, o.fromSeconds);
    return o;
}

// The show's own song's length in seconds, as its file states it.
static double songSeconds() {
    std::string error;
    double seconds = 0;
    if (!songFileSeconds(showSongFile, &seconds, &error))
        cliFail("%s: %s (the capture needs the song's length)", showSongFile, error.c_str());
    if (seconds <= 0) cliFail("%s: the song states no length", showSongFile);
    return seconds;
}

// Another song: scored whole before the first frame, so every run draws the same frames.
// Returns its length in seconds, as far as it decodes.
static std::vector<OnsetFrame> songTable;
static double useSong(const char* path) {
    std::string error;
    double seconds = 0;
    if (!scoreFile(path, songLeadInMs, &songTable, &error, {}, &seconds))
        cliFail("%s: %s", path, error.c_str());
    return seconds;
}

// Frame n shows the clock at n / fps s; the clock reads the seconds of song plus the
// lead-in (none for the show's own song). The first frame whose clock is at or after s.
static int64_t frameAt(double clockSeconds, int fps) {
    return (int64_t)ceil(clockSeconds * fps - frameEpsilon);
}

// The frames: n from 0; frame n's clock; which frames the stall swallows.
static int fps;
static int64_t stallFromMs = -1, stallToMs = -1;  // frames with clock in (from, to] never run

static int32_t frameClock(int64_t n) { return (int32_t)(n * 1000 / fps); }
static bool stalled(int64_t n) {
    const int64_t c = frameClock(n);
    return c > stallFromMs && c <= stallToMs;
}

static int32_t scriptedClock;
static int width, height;
static std::vector<uint8_t> picture;  // RGB24, top row first

static int32_t readScriptedClock() { return scriptedClock; }
static void noWait(uint32_t) {}
static void grabPicture() { showReadFrame(picture.data()); }

static void writePng(const std::string& path) {
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    png.width = (png_uint_32)width;
    png.height = (png_uint_32)height;
    png.format = PNG_FORMAT_RGB;
    // The pictures are mostly black, and the capture's speed matters more than their size.
    png.flags = PNG_IMAGE_FLAG_FAST;
    if (!png_image_write_to_file(&png, path.c_str(), 0, picture.data(), 0, nullptr))
        cliFail("cannot write %s: %s", path.c_str(), png.message);
}

static void makeFolder(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            cliFail("cannot make folder %s: %s", part.c_str(), strerror(errno));
        if (slash == std::string::npos) break;
    }
}

static double wallSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
    cliStart("xoon-capture", usage);
    const Options o = parseOptions(argc, argv);
    const char* song = o.songPath ? o.songPath : showSongFile;
    const double length = o.songPath ? useSong(o.songPath) : songSeconds();
    const double leadIn = o.songPath ? songLeadInMs / 1000.0 : 0;
    // A stretch past the song's end is named now, not found by the program reading the frames.
    if (o.fromSeconds >= length)
        cliUsageError("--from %g is not before the end of %s (%.3f s)", o.fromSeconds, song, length);
    if (o.toSeconds > length)
        cliUsageError("--to %g is past the end of %s (%.3f s)", o.toSeconds, song, length);
    const double toSeconds = o.toSeconds < 0 ? length : o.toSeconds;
    if (toSeconds + leadIn == 0) cliUsageError("nothing to capture before --to 0");
    if (toSeconds > maxSongSeconds) cliUsageError("--to is beyond the show's 32-bit clock");
    fps = o.fps;
    width = o.width;
    height = o.height;
    if (o.stallAt >= 0) {
        stallFromMs = (int64_t)llround((o.stallAt + leadIn) * 1000);
        stallToMs = stallFromMs + (int64_t)llround(o.stallLength * 1000);
    }
    // The frames in [from, to): from the first picture unless --from says otherwise.
    const int64_t end = frameAt(toSeconds + leadIn, fps);
    int64_t first = o.sawFrom ? frameAt(o.fromSeconds + leadIn, fps) : 0;
    if (o.fromSeconds < 0) first = std::max<int64_t>(0, end - frameAt(-o.fromSeconds, fps));
    if (first >= end) cliUsageError("nothing to capture: no frame from --from %g to the end at %d frames/s",
                                    o.fromSeconds, fps);
    if (o.check) {
        printf("%.6f %.6f\n", (double)first / fps - leadIn, (double)(end - first) / fps);
        return 0;
    }
    if (!o.outDir.empty()) makeFolder(o.outDir);
    signal(SIGPIPE, SIG_IGN);  // a closed pipe becomes a write error we can report

    picture.assign((size_t)width * height * 3, 0);  // before the first drawn frame: black
    ShowSetup setup;
    setup.display = DisplayMode::sized;
    setup.width = width;
    setup.height = height;
    setup.songFile = nullptr;  // the scripted clock is the only clock
    if (o.songPath) {
        setup.table = songTable.data();
        setup.tableCount = (int32_t)songTable.size();
    }
    setup.messageFile = o.messagePath;
    setup.hooks = {readScriptedClock, noWait, grabPicture};
    showStart(setup);

    double startedAt = wallSeconds();  // again at the first frame: the rate omits the pre-roll
    double lastProgress = -1;
    int64_t lastRunClock = 0;
    for (int64_t n = 0; n < end; n++) {
        // Before the stretch, the show runs in as few frames as leave its state exactly as
        // a frame-by-frame run would: steps of at most the resync threshold, the frame
        // before a stall, and the two frames before the first (whose picture may hold).
        bool runs = !stalled(n);
        if (runs && n < first - 2 && !stalled(n + 1)) {
            int64_t next = n + 1;
            while (stalled(next)) next++;
            runs = frameClock(next) - lastRunClock > resyncThresholdMs;
        }
        if (n == first) startedAt = wallSeconds();
        if (runs) {
            scriptedClock = frameClock(n);
            lastRunClock = scriptedClock;
            runFrame();
        }
        if (n < first) continue;
        if (o.raw) {
            if (fwrite(picture.data(), 1, picture.size(), stdout) != picture.size())
                cliFail("cannot write frame %lld to standard output: %s", (long long)n,
                        strerror(errno));
        } else {
            char name[32];
            snprintf(name, sizeof name, "/%06lld.png", (long long)n);
            writePng(o.outDir + name);
        }
        const double now = wallSeconds() - startedAt;
        if (now - lastProgress >= progressEverySeconds) {
            lastProgress = now;
            cliProgress("frame %lld of %lld, %.2f s of song, %.1f frames/s", (long long)(n - first + 1),
                        (long long)(end - first), (double)n / fps - leadIn,
                        (n - first + 1) / (now > 0 ? now : 1e-9));
        }
    }
    if (o.raw && fflush(stdout) != 0)
        cliFail("cannot write to standard output: %s", strerror(errno));
    // One last line, on a terminal or in a log: how much and how fast.
    cliProgressDone();
    const double seconds = wallSeconds() - startedAt;
    fprintf(stderr, "xoon-capture: %lld frames to %.2f s of song, %.1f frames/s\n", (long long)(end - first),
            (double)(end - 1) / fps - leadIn, (end - first) / (seconds > 0 ? seconds : 1e-9));
    return 0;
}
