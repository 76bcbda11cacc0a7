// xoon-play: items to songs: folders walked in natural order, M3U and PLS playlists read.
#include "programs/xoon-play/playlist.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli/cli.h"

// A playlist naming a playlist is followed this deep, no deeper (one naming itself).
constexpr int deepestPlaylist = 4;
// What a folder's files must end with to be taken as songs.
static const char* const audioExtensions[] = {"mp3", "flac", "ogg", "oga", "opus", "wav", "m4a",
                                              "aac", "mp4", "m4b", "wma", "aif", "aiff", "ape",
                                              "wv", "mka", "webm", "mpc", "spx", "alac"};

static std::string lowerExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string e = path.substr(dot + 1);
    for (char& c : e) c = (char)tolower((unsigned char)c);
    return e;
}

static bool isAudioName(const std::string& path) {
    const std::string e = lowerExtension(path);
    for (const char* known : audioExtensions)
        if (e == known) return true;
    return false;
}

bool isPlaylistName(const std::string& path) {
    const std::string e = lowerExtension(path);
    return e == "m3u" || e == "m3u8" || e == "pls";
}

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit((unsigned char)a[i]) && isdigit((unsigned char)b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && isdigit((unsigned char)a[ei])) ei++;
            while (ej < b.size() && isdigit((unsigned char)b[ej])) ej++;
            // Leading zeros aside, a longer run is a larger number.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0') si++;
            while (sj + 1 < ej && b[sj] == '0') sj++;
            if (ei - si != ej - sj) return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return (unsigned char)a[i] < (unsigned char)b[j];
        i++;
        j++;
    }
    return a.size() - i < b.size() - j;
}

static void walkFolder(const std::string& folder, std::vector<std::string>* songs) {
    DIR* d = opendir(folder.c_str());
    if (!d) {
        cliWarn("%s: %s", folder.c_str(), strerror(errno));
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end(), naturalLess);
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) walkFolder(path, songs);
        else if (S_ISREG(st.st_mode) && isAudioName(path)) songs->push_back(path);
    }
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string pathOfFileUri(const std::string& uri) {
    if (uri.compare(0, 7, "file://") != 0) return "";
    size_t at = 7;
    if (uri.compare(at, 9, "localhost") == 0) at += 9;
    std::string path;
    for (; at < uri.size(); at++) {
        if (uri[at] == '%' && at + 2 < uri.size() && hexValue(uri[at + 1]) >= 0 && hexValue(uri[at + 2]) >= 0) {
            path.push_back((char)(hexValue(uri[at + 1]) * 16 + hexValue(uri[at + 2])));
            at += 2;
        } else {
            path.push_back(uri[at]);
        }
    }
    return path;
}

std::string fileUriOf(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : path) {
        if (isalnum(c) || strchr("/-_.~", c)) {
            uri.push_back((char)c);
        } else {
            uri.push_back('%');
            uri.push_back(hex[c >> 4]);
            uri.push_back(hex[c & 15]);
        }
    }
    return uri;
}

static void expandItem(const std::string& item, int depth, std::vector<std::string>* songs, int* failed);

// One line of a playlist: a path (relative to the playlist's folder) or a file:// URI.
static void playlistEntry(const std::string& folder, std::string entry, int depth,
                          std::vector<std::string>* songs, int* failed) {
    while (!entry.empty() && (entry.back() == '\r' || entry.back() == ' ')) entry.pop_back();
    if (entry.empty()) return;
    if (entry.find("://") != std::string::npos) {
        entry = pathOfFileUri(entry);
        if (entry.empty()) return;  // not a file of ours (a stream's address)
    }
    if (entry[0] != '/') entry = folder + "/" + entry;
    expandItem(entry, depth + 1, songs, failed);
}

static void readPlaylist(const std::string& path, int depth, std::vector<std::string>* songs, int* failed) {
    std::ifstream in(path);
    if (!in) {
        cliWarn("%s: %s", path.c_str(), strerror(errno));
        (*failed)++;
        return;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const bool pls = lowerExtension(path) == "pls";
    std::string line;
    for (bool first = true; std::getline(in, line); first = false) {
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a UTF-8 mark
        if (pls) {
            // FileN=path; the rest (titles, lengths, the header) says nothing we need.
            if (line.compare(0, 4, "File") != 0 || line.find('=') == std::string::npos) continue;
            playlistEntry(folder, line.substr(line.find('=') + 1), depth, songs, failed);
        } else if (!line.empty() && line[0] != '#') {
            playlistEntry(folder, line, depth, songs, failed);
        }
    }
}

static void expandItem(const std::string& item, int depth, std::vector<std::string>* songs, int* failed) {
    struct stat st;
    if (stat(item.c_str(), &st) != 0) {
        cliWarn("%s: %s", item.c_str(), strerror(errno));
        (*failed)++;
    } else if (S_ISDIR(st.st_mode)) {
        const size_t before = songs->size();
        walkFolder(item, songs);
        if (songs->size() == before) {
            cliWarn("%s: holds no audio files", item.c_str());
            (*failed)++;
        }
    } else if (!S_ISREG(st.st_mode)) {
        // Each song is read twice, by the scorer and by the sound, and may be sought in.
        cliWarn("%s: not a regular file", item.c_str());
        (*failed)++;
    } else if (isPlaylistName(item)) {
        if (depth < deepestPlaylist) readPlaylist(item, depth, songs, failed);
    } else {
        songs->push_back(item);
    }
}

std::vector<std::string> expandItems(char* const* items, int count, int* failed) {
    std::vector<std::string> songs;
    *failed = 0;
    for (int i = 0; i < count; i++) expandItem(items[i], 0, &songs, failed);
    return songs;
}
