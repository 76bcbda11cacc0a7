// xoon-play: options, the checks that come before any window, the first song's score, the
// show's own start-up and frame loop over the timeline's table, the keys and the bus.
#include "programs/xoon-play/player.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "programs/xoon-play/mpris.h"
#include "programs/xoon-play/player_songs.h"
#include "programs/xoon-play/playlist.h"
#include "programs/xoon-play/timeline.h"
#include "score/score.h"
#include "show/show.h"

constexpr int32_t largestAvOffsetMs = 10000;
constexpr const char* installedFontFolder = "/../share/xoon/";
constexpr int32_t shortSeekMs = 10000, longSeekMs = 60000;
constexpr int volumeStep = 16;  // of 255
constexpr int64_t usPerMs = 1000;

static const char usage[] =
    "Usage: xoon-play [OPTIONS] ITEM...\n"
    "Plays songs with the xOOn 2009 show, their onsets scored while they play, one after\n"
    "another with no gap. An ITEM is a song (Ogg Vorbis, Opus, FLAC, MP3, WAV, AAC/M4A, or a\n"
    "video's audio), a folder (its songs and its subfolders', in name order) or a playlist\n"
    "(M3U, M3U8, PLS). Full screen unless --window. It ends after the last song.\n"
    "\n"
    "  -w, --window          an 800 x 400 window instead of the whole screen\n"
    "  -m, --message FILE    the panel types FILE instead of the built-in message\n"
    "  -s, --shuffle         the songs in a random order\n"
    "  -l, --loop            the songs over and over\n"
    "      --cache-limit MB  the score cache's bound (default 100; 0: no cache)\n"
    "      --av-offset MS    the display's own delay: positive shows the picture MS\n"
    "                        later, negative earlier (-10000..10000, default 0)\n"
    "  -h, --help            this text\n"
    "      --version         the program's version\n"
    "\n"
    "Keys: Space pause and play; Left/Right 10 s back/on, Up/Down 60 s on/back;\n"
    "Page Down or N the next song, Page Up or P the one before (or this one's start after\n"
    "its first 3 s); F full screen or a window; 9/0 volume down/up; Escape or Q quit.\n"
    "Desktop media keys and playerctl reach it as org.mpris.MediaPlayer2.xoon.\n"
    "\n"
    "Scored songs are kept in $XDG_CACHE_HOME/xoon (else ~/.cache/xoon) and start at once\n"
    "the next time.\n";

PlayerOptions parsePlayerOptions(int argc, char** argv) {
    enum { avOffsetOption = 1000, cacheLimitOption };
    static const option longOptions[] = {{"window", no_argument, nullptr, 'w'},
                                         {"message", required_argument, nullptr, 'm'},
                                         {"shuffle", no_argument, nullptr, 's'},
                                         {"loop", no_argument, nullptr, 'l'},
                                         {"cache-limit", required_argument, nullptr, cacheLimitOption},
                                         {"av-offset", required_argument, nullptr, avOffsetOption},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    cliStart("xoon-play", usage);
    PlayerOptions o;
    for (int c; (c = cliOption(argc, argv, "wm:slh", longOptions)) != -1;) {
        switch (c) {
        case 'w': o.window = true; break;
        case 'm': o.messagePath = optarg; break;
        case 's': o.shuffle = true; break;
        case 'l': o.loop = true; break;
        case cacheLimitOption: {
            double mb;
            if (!cliParseDouble(optarg, &mb) || mb < 0 || mb > 1e9)
                cliUsageError("--cache-limit wants megabytes, 0 or more");
            o.cacheLimitBytes = (int64_t)(mb * scoreCacheMegabyte);
            break;
        }
        case avOffsetOption: {
            long ms;
            if (!cliParseLong(optarg, &ms) || ms < -largestAvOffsetMs || ms > largestAvOffsetMs)
                cliUsageError("--av-offset wants whole milliseconds from -10000 to 10000");
            o.avOffsetMs = (int32_t)ms;
            break;
        }
        }
    }
    if (optind == argc) cliUsageError("what to play? give songs, folders or playlists");
    o.items = argv + optind;
    o.itemCount = argc - optind;
    return o;
}

static bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The font beside the program (the build's run folder) or under its install prefix; the
// player ends here, before any window, when neither has it.
static std::string findFont() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return showFontFile;
    self[n] = 0;
    std::string folder(self);
    folder.resize(folder.rfind('/'));
    const std::string beside = folder + "/" + showFontFile;
    const std::string installed = folder + installedFontFolder + showFontFile;
    if (isFile(beside)) return beside;
    if (isFile(installed)) return installed;
    cliFail("%s: no font beside the program nor in %s", beside.c_str(), (folder + installedFontFolder).c_str());
}

// ---- keys and the bus ----

static void onKey(Key key) {
    switch (key) {
    case Key::space: setPaused(!paused()); break;
    case Key::left: seekBy(-shortSeekMs); break;
    case Key::right: seekBy(shortSeekMs); break;
    case Key::up: seekBy(longSeekMs); break;
    case Key::down: seekBy(-longSeekMs); break;
    case Key::pageDown:
    case Key::n: nextSong(); break;
    case Key::pageUp:
    case Key::p: previousSong(); break;
    case Key::f: showToggleFullScreen(); break;
    case Key::nine: setVolume(volume() - volumeStep); break;
    case Key::zero: setVolume(volume() + volumeStep); break;
    case Key::q: exit(0);
    }
}

static void busPlay() { setPaused(false); }
static void busPause() { setPaused(true); }
static void busPlayPause() { setPaused(!paused()); }
static void busSeekBy(int64_t us) { seekBy((int32_t)(us / usPerMs)); }
static void busSetPosition(const char* trackId, int64_t us) {
    if (songState().trackId == trackId && us >= 0) seekTo(us / usPerMs);
}
static void busOpenUri(const char* uri) {
    const std::string path = pathOfFileUri(uri);
    if (!path.empty() && isFile(path)) playFileNow(path);
}
static void busQuit() { exit(0); }
static void busRaise() {}  // a window manager's business: the window is already there
static void busSetVolume(double v) { setVolume((int)(v * 255 + 0.5)); }
static int64_t busPosition() { return songPositionMs() * usPerMs; }

void startPlayer(const PlayerOptions& options) {
    static std::string font;
    font = findFont();
    if (options.cacheLimitBytes >= 0) setScoreCacheLimit(options.cacheLimitBytes);
    int failed = 0;
    std::vector<std::string> songs = expandItems(options.items, options.itemCount, &failed);
    // One bad item has had its one line; more get a last one saying nothing is left.
    if (songs.empty() && (failed > 1 || options.itemCount > 1)) cliFail("nothing to play");
    if (songs.empty()) exit(cliStatusFailure);
    const bool alone = songs.size() == 1 && failed == 0;
    setSongs(std::move(songs), options.shuffle, options.loop);
    if (!startFirstSong((int64_t)songLeadInMs * audioRateHz / 1000)) {
        if (alone) exit(cliStatusFailure);  // named already
        cliFail("nothing to play");
    }
    timelineSetPictureDelay(options.avOffsetMs);
    static std::string first;
    first = firstSongPath();
    ShowSetup setup;
    setup.display = options.window ? DisplayMode::window : DisplayMode::fullScreen;
    setup.fontFile = font.c_str();
    setup.songFile = first.c_str();
    setup.leadInMs = songLeadInMs;
    setup.feedLimitMs = timelineFeedLimitMs;
    setup.table = timelineTable();
    setup.tableCount = timelineCount();
    setup.messageFile = options.messagePath;
    setup.pictureDelayMs = options.avOffsetMs;
    showStart(setup);
    showSetKeyHandler(onKey);
    startMpris({busPlay, busPause, busPlayPause, stopSong, nextSong, previousSong, busSeekBy, busSetPosition,
                busOpenUri, busQuit, busRaise, busSetVolume, setLoop, setShuffle, busPosition});
}

bool runPlayerIteration() {
    static int told = -1;
    mprisDispatch();
    followSongs();
    if (songStateSerial() != told) {
        told = songStateSerial();
        mprisUpdate(songState());
    }
    return showFrame();
}

int runPlayer(int argc, char** argv) {
    startPlayer(parsePlayerOptions(argc, argv));
    while (runPlayerIteration()) {
    }
    return 0;
}

bool playerFirstScoreFromCache() { return firstScoreFromCache(); }
