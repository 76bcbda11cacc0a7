// xoon-play: options, the checks that come before any window, the score, then the show's
// own start-up and frame loop on the song's table.
#include "programs/xoon-play/player.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "show/show.h"
#include "platform/events.h"
#include "message/message_check.h"
#include "score/live_score.h"
#include "show/message_panel.h"
#include "show/onset_scans.h"
#include "platform/decoder.h"

const int32_t playerLeadInMs = onsetLookAheadMs;

constexpr int32_t fullScreenSelector = 1;  // setVideoMode's selectors
constexpr int32_t windowSelector = 2;
constexpr int32_t largestAvOffsetMs = 10000;
// The song is handed to the output this much before the scorer would have to have passed
// it, on top of the look-ahead: room for the clock's lead over the sound heard.
constexpr int32_t feedMarginMs = 1000;
constexpr const char* installedFontFolder = "/../share/xoon/";
constexpr int probeRateHz = 8000;  // any rate will do: the probe only opens the song

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
    "\n"
    "Scored songs are kept in $XDG_CACHE_HOME/xoon (else ~/.cache/xoon) and start at once\n"
    "the next time.\n";

static std::string messageScriptText;  // the script the panel types; lives for the run
static int32_t avOffsetMs = 0;

[[noreturn]] static void usageError(const char* text) {
    fprintf(stderr, "xoon-play: %s\n%s", text, usage);
    exit(2);
}

[[noreturn]] static void fail(const char* what, const std::string& why) {
    fprintf(stderr, "xoon-play: %s: %s\n", what, why.c_str());
    exit(1);
}

PlayerOptions parsePlayerOptions(int argc, char** argv) {
    enum { avOffsetOption = 1000 };
    static const option longOptions[] = {{"window", no_argument, nullptr, 'w'},
                                         {"message", required_argument, nullptr, 'm'},
                                         {"av-offset", required_argument, nullptr, avOffsetOption},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    PlayerOptions o;
    opterr = 0;  // our own message, then the usage
    int c;
    while ((c = getopt_long(argc, argv, ":wm:h", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'w': o.window = true; break;
        case 'm': o.messagePath = optarg; break;
        case avOffsetOption: {
            char* end;
            errno = 0;
            const long ms = strtol(optarg, &end, 10);
            if (errno || end == optarg || *end || ms < -largestAvOffsetMs || ms > largestAvOffsetMs)
                usageError("--av-offset wants whole milliseconds from -10000 to 10000");
            o.avOffsetMs = (int32_t)ms;
            break;
        }
        case 'h':
            fputs(usage, stdout);
            exit(0);
        case ':': usageError((std::string(argv[optind - 1]) + " needs a value").c_str());
        default: usageError((std::string("unknown option ") + argv[optind - 1]).c_str());
        }
    }
    if (optind == argc) usageError("which song? give one file");
    if (optind + 1 < argc) usageError("one song at a time");
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

static void useMessageFile(const char* path) {
    std::string bytes, error, diagnostics;
    if (!readMessageFile(path, &bytes, &error)) fail(path, error);
    const bool ok = checkMessageText(bytes, path, &messageScriptText, &diagnostics);
    fputs(diagnostics.c_str(), stderr);
    if (!ok) exit(1);
    useMessageScript(messageScriptText.c_str());
}

static int32_t feedLimitMs() {
    const int32_t horizon = liveScoreHorizonMs();
    if (horizon == INT32_MAX) return INT32_MAX;
    return horizon - onsetLookAheadMs - feedMarginMs - (avOffsetMs < 0 ? -avOffsetMs : 0);
}

void startPlayer(const PlayerOptions& options) {
    std::string error;
    if (!startLiveScore(options.songPath, playerLeadInMs, &error)) fail(options.songPath, error);
    if (liveScoreFromCache()) {
        // The table is known, but the song must still play: it is opened once to be sure.
        AudioDecoder* probe = openAudioDecoder(options.songPath, probeRateHz, 1, &error);
        if (!probe) fail(options.songPath, error);
        closeAudioDecoder(probe);
    }
    if (options.messagePath) useMessageFile(options.messagePath);
    avOffsetMs = options.avOffsetMs;
    setPictureDelay(avOffsetMs);
    useOnsetTable(liveScoreTable(), liveScoreCount());
    startShow(options.window ? windowSelector : fullScreenSelector, findFont().c_str());
    startSong(options.songPath, playerLeadInMs, liveScoreDone() ? nullptr : feedLimitMs);
}

void runPlayerIteration() {
    pollEvents();
    extendOnsetTable(liveScoreCount());
    runFrame();
}

int runPlayer(int argc, char** argv) {
    startPlayer(parsePlayerOptions(argc, argv));
    while (!showFinished.load()) runPlayerIteration();
    return 0;
}
