// xoon-play: options, the checks that come before any window, the score, then the show's
// own start-up and frame loop on the song's table.
#include "programs/xoon-play/player.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "cli/cli.h"
#include "score/score.h"
#include "show/show.h"

constexpr int32_t largestAvOffsetMs = 10000;
// The song is handed to the output this much before the scorer would have to have passed
// it, on top of the look-ahead: room for the clock's lead over the sound heard.
constexpr int32_t feedMarginMs = 1000;
constexpr const char* installedFontFolder = "/../share/xoon/";

static const char usage[] =
    "Usage: xoon-play [--window] [--message FILE] [--av-offset MS] SONG\n"
    "Plays SONG (Ogg Vorbis, Opus, FLAC, MP3, WAV, AAC/M4A, or a video's audio) with the\n"
    "xOOn 2009 show, its onsets scored while it plays. Full screen unless --window.\n"
    "Releasing Escape or closing the window ends it; so does the end of the song.\n"
    "\n"
    "  -w, --window          an 800 x 400 window instead of the whole screen\n"
    "  -m, --message FILE    the panel types FILE instead of the built-in message\n"
    "      --av-offset MS    the display's own delay: positive shows the picture MS\n"
    "                        later, negative earlier (-10000..10000, default 0)\n"
    "  -h, --help            this text\n"
    "      --version         the program's version\n"
    "\n"
    "Scored songs are kept in $XDG_CACHE_HOME/xoon (else ~/.cache/xoon) and start at once\n"
    "the next time.\n";

static int32_t avOffsetMs = 0;

PlayerOptions parsePlayerOptions(int argc, char** argv) {
    enum { avOffsetOption = 1000 };
    static const option longOptions[] = {{"window", no_argument, nullptr, 'w'},
                                         {"message", required_argument, nullptr, 'm'},
                                         {"av-offset", required_argument, nullptr, avOffsetOption},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    cliStart("xoon-play", usage);
    PlayerOptions o;
    for (int c; (c = cliOption(argc, argv, "wm:h", longOptions)) != -1;) {
        switch (c) {
        case 'w': o.window = true; break;
        case 'm': o.messagePath = optarg; break;
        case avOffsetOption: {
            long ms;
            if (!cliParseLong(optarg, &ms) || ms < -largestAvOffsetMs || ms > largestAvOffsetMs)
                cliUsageError("--av-offset wants whole milliseconds from -10000 to 10000");
            o.avOffsetMs = (int32_t)ms;
            break;
        }
        }
    }
    if (optind == argc) cliUsageError("which song? give one file");
    if (optind + 1 < argc) cliUsageError("one song at a time");
    o.songPath = argv[optind];
    return o;
}

static bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The font beside the program (the build's run folder) or under its install prefix.
static std::string findFont() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return showFontFile;
    self[n] = 0;
    std::string folder(self);
    folder.resize(folder.rfind('/'));
    const std::string beside = folder + "/" + showFontFile;
    const std::string installed = folder + installedFontFolder + showFontFile;
    if (isFile(beside) || !isFile(installed)) return beside;
    return installed;
}

static int32_t feedLimitMs() {
    const int32_t horizon = liveScoreHorizonMs();
    if (horizon == INT32_MAX) return INT32_MAX;
    return horizon - songLeadInMs - feedMarginMs - (avOffsetMs < 0 ? -avOffsetMs : 0);
}

void startPlayer(const PlayerOptions& options) {
    std::string error;
    if (!startLiveScore(options.songPath, songLeadInMs, &error))
        cliFail("%s: %s", options.songPath, error.c_str());
    avOffsetMs = options.avOffsetMs;
    static std::string font;
    font = findFont();
    ShowSetup setup;
    setup.display = options.window ? DisplayMode::window : DisplayMode::fullScreen;
    setup.fontFile = font.c_str();
    setup.songFile = options.songPath;
    setup.leadInMs = songLeadInMs;
    setup.feedLimitMs = liveScoreDone() ? nullptr : feedLimitMs;
    setup.table = liveScoreTable();
    setup.tableCount = liveScoreCount();
    setup.messageFile = options.messagePath;
    setup.pictureDelayMs = avOffsetMs;
    showStart(setup);
}

bool runPlayerIteration() {
    showExtendTable(liveScoreCount());
    return showFrame();
}

int runPlayer(int argc, char** argv) {
    startPlayer(parsePlayerOptions(argc, argv));
    while (runPlayerIteration()) {
    }
    return 0;
}
