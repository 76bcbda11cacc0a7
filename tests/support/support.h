// Shared test helpers: a real GL window, child processes, scratch folders, PNG files.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// SDL video plus a real OpenGL window (the show's own setVideoMode, 800 x 400 window).
void openGlWindow();

struct ProcessResult {
    int status = -1;      // exit status, when it exited
    int signal = 0;       // the signal that ended it, or 0
    bool timedOut = false;
    double seconds = 0;   // wall time from start to end
    std::string out, err;
};

// Runs argv[0] (a path) in cwd with extra "NAME=value" environment entries (an entry
// "NAME=" with nothing after it removes NAME). whileRunning gets the child's pid and runs
// alongside; the child is killed after timeoutSeconds.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, double timeoutSeconds,
                         const std::function<void(pid_t)>& whileRunning = {});

// A fresh empty folder under the build's test folder, removed by nobody (inspectable).
std::string makeScratchDir(const std::string& name);
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
void copyFile(const std::string& from, const std::string& to);

// Writes 8-bit RGBA pixels (row-major, bytes R, G, B, A) as a PNG, as the tools write theirs.
void writePngRgba(const std::string& path, int width, int height, const uint8_t* rgba);
// The odd kinds of PNG a loader must also take, for the bad-input corpus: any colour type and
// bit depth as libpng numbers them, interlaced or not, rows given as packed bytes, palette
// entries as png_color for palette images. (The simplified writer cannot interlace.)
struct png_color_struct;
void writePng(const std::string& path, int w, int h, int colourType, int depth, bool interlaced,
              const std::vector<std::string>& rows,
              const std::vector<png_color_struct>& palette = {});

// Seconds of audio a (possibly damaged or chained) song yields, decoded to its end.
double decodableSeconds(const std::string& path);

// Makes a test song with our xoon-testsong tool. Songs of different serials chain when joined.
void makeTestSong(const std::string& path, double seconds, int rate = 44100, int channels = 2,
                  int serial = 12345);

std::string binPath(const std::string& name);  // a built tool or the show
// A program of the system (ffmpeg, say), wherever PATH has it; the bare name if nowhere.
std::string systemProgram(const std::string& name);
// The state letter of /proc/PID/stat (R, S, T, Z...), 0 when the process is gone. Makes
// only async-signal-safe calls: a child forked from a many-threaded test may call it.
char processState(pid_t pid);

// A scratch folder the show can run in (binPath("xoon") with this folder as working
// directory): the build's font and a test song of the given length as xoon09.ogg.
std::string makeShowFolder(const std::string& name, double songSeconds);

// A show, a tool or a sound stream on a test song of a few seconds that has not ended
// after this long has hung. A guard against hanging only, never a measure: how long
// things take is measured in bench/, and a test passes however busy the machine is.
constexpr double hangSeconds = 60;

// Whether the build plays our song and types our message, or a user's own
// (-DXOON_SONG, -DXOON_MESSAGE). Tests of what our song or message holds skip otherwise.
constexpr bool builtWithOurSong = XOON_OUR_SONG;
constexpr bool builtWithOurMessage = XOON_OUR_MESSAGE;
constexpr const char* needsOurSong = "the show is built for a song of the user's own (XOON_SONG)";
constexpr const char* needsOurMessage = "the show is built with a message of the user's own (XOON_MESSAGE)";
