// xoon-score SONG -o TABLE.cpp: writes the song's onset table as C++ source for the show.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "score/score.h"

static const char usage[] =
    "Usage: xoon-score SONG -o TABLE.cpp\n"
    "Finds the note onsets of a song (any audio file FFmpeg reads) in the show's columns,\n"
    "each where its pitch or its band is, and writes them as the C++ source of the show's\n"
    "onset table. A song that cannot be scored leaves nothing written.\n"
    "\n"
    "  -o, --output FILE  the table source to write (written whole or not at all)\n"
    "  -h, --help         this text\n"
    "      --version      the program's version\n";

// The song's file name as the table's first comment line names it: any byte that could end
// or continue that line (a line feed, a backslash) or is not plain ASCII becomes '?', and a
// long name is cut, so that whatever the file system allowed, the source still compiles.
static std::string commentName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t longest = 80;
    if (name.size() > longest) name = name.substr(0, longest) + "...";
    for (char& c : name)
        if (c < ' ' || c > '~' || c == '\\') c = '?';
    return name;
}

int main(int argc, char** argv) {
    cliStart("xoon-score", usage);
    static const option longOptions[] = {
        {"output", required_argument, nullptr, 'o'}, {"help", no_argument, nullptr, 'h'}, {}};
    const char* outPath = nullptr;
    for (int c; (c = cliOption(argc, argv, "o:h", longOptions)) != -1;) {
        if (c == 'o') outPath = optarg;
    }
    if (optind == argc) cliUsageError("give the song to score");
    if (optind + 1 < argc) cliUsageError("one song at a time, not '%s' too", argv[optind + 1]);
    if (!outPath) cliUsageError("give the table to write with -o");
    const char* songPath = argv[optind];

    std::string error;
    // Only long songs get a progress line; short ones finish before it would help.
    const double progressSeconds = 20;  // of song
    const int progressStep = 10;        // percent between updates
    int shownPercent = -1;
    ScoreProgress progress = [&](double done, double songSeconds) {
        int percent = (int)(done * 100) / progressStep * progressStep;
        if (songSeconds < progressSeconds || percent == shownPercent) return;
        shownPercent = percent;
        cliProgress("scoring %s %3d%%", songPath, percent);
    };
    std::vector<OnsetFrame> table;
    bool ok = scoreFile(songPath, 0, &table, &error, progress);
    cliProgressDone();
    if (!ok) cliFail("%s: not a usable song: %s", songPath, error.c_str());
    if (!writeFileWhole(outPath, tableSource(table, commentName(songPath)), &error))
        cliFail("cannot write %s: %s", outPath, error.c_str());
    return 0;
}
