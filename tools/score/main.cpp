// xoon-score SONG.ogg -o FILE: writes the song's onset table as C++ source for the show.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "onsets.h"

static int usage() {
    fprintf(stderr, "usage: xoon-score SONG.ogg -o TABLE.cpp\n");
    return 2;
}

static bool readWhole(const char* path, std::vector<uint8_t>* bytes, std::string* error) {
    FILE* in = fopen(path, "rb");
    if (!in) {
        *error = strerror(errno);
        return false;
    }
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    bool ok = !ferror(in);
    if (!ok) *error = strerror(errno);
    fclose(in);
    return ok;
}

static std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes beside the target and renames, so a failure never leaves a half-written table.
static bool writeAtomically(const std::string& path, const std::string& text, std::string* error) {
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    mode_t mask = umask(0);  // mkstemp makes the file private; give it the usual mode
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* out = fdopen(fd, "wb");
    bool ok = out && fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out) ok = fclose(out) == 0 && ok;
    else close(fd);
    if (ok && rename(name.data(), path.c_str()) != 0) ok = false;
    if (!ok) {
        *error = strerror(errno);
        unlink(name.data());
    }
    return ok;
}

int main(int argc, char** argv) {
    const char* songPath = nullptr;
    const char* outPath = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-o") && i + 1 < argc) outPath = argv[++i];
        else if (!songPath && argv[i][0] != '-') songPath = argv[i];
        else return usage();
    }
    if (!songPath || !outPath) return usage();

    std::vector<uint8_t> bytes;
    std::string error;
    if (!readWhole(songPath, &bytes, &error)) {
        fprintf(stderr, "xoon-score: cannot read %s: %s\n", songPath, error.c_str());
        return 1;
    }
    // Only long songs get a progress line; short ones finish before it would help.
    const double progressSeconds = 20;  // of song
    const int progressStep = 10;        // percent between updates
    int shownPercent = -1;
    ScoreProgress progress = [&](double done, double songSeconds) {
        int percent = (int)(done * 100) / progressStep * progressStep;
        if (songSeconds < progressSeconds || percent == shownPercent) return;
        shownPercent = percent;
        fprintf(stderr, "\rxoon-score: scoring %s %3d%%", songPath, percent);
        fflush(stderr);
    };
    std::vector<OnsetFrame> table;
    bool ok = scoreVorbis(bytes.data(), bytes.size(), &table, &error, progress);
    if (shownPercent >= 0) fprintf(stderr, "\n");
    if (!ok) {
        fprintf(stderr, "xoon-score: %s is not a usable Ogg Vorbis song: %s\n", songPath, error.c_str());
        return 1;
    }
    if (!writeAtomically(outPath, tableSource(table, baseName(songPath)), &error)) {
        fprintf(stderr, "xoon-score: cannot write %s: %s\n", outPath, error.c_str());
        return 1;
    }
    return 0;
}
