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

// Makes a test song with our xoon-testsong tool. Songs of different serials chain when joined.
void makeTestSong(const std::string& path, double seconds, int rate = 44100, int channels = 2,
                  int serial = 12345);

std::string binPath(const std::string& name);  // a built tool or the show
// A program of the system (ffmpeg, say), wherever PATH has it; the bare name if nowhere.
std::string systemProgram(const std::string& name);
