// The score cache: one file per song, holding its key, its records and a checksum.
#include "score/score_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/decoder.h"
#include "score/score.h"
#include "scorer_id.h"

// A file: magic, key length and key, the song's length in frames, record count, records
// (little-endian), checksum of everything before it.
static const char cacheMagic[] = "xOOn score 2\n";
static const char scoreSuffix[] = ".score";
constexpr size_t magicBytes = sizeof cacheMagic - 1;
constexpr size_t recordBytes = onsetRecordBytes;
constexpr uint32_t longestKey = 8192;
constexpr uint32_t mostRecords = 1u << 27;  // far beyond a day of song at a record per ms
constexpr uint64_t fnvOffset = 14695981039346656037ull;
constexpr uint64_t fnvPrime = 1099511628211ull;

static uint64_t fnv1a(const std::string& bytes) {
    uint64_t h = fnvOffset;
    for (unsigned char c : bytes) h = (h ^ c) * fnvPrime;
    return h;
}

static void putWord(std::string* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out->push_back((char)(value >> (8 * i) & 0xFF));
}

static uint64_t getWord(const std::string& in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; i++) value |= (uint64_t)(unsigned char)in[at + i] << (8 * i);
    return value;
}

static int64_t cacheLimit = defaultScoreCacheBytes;

void setScoreCacheLimit(int64_t bytes) { cacheLimit = bytes < 0 ? 0 : bytes; }
bool scoreCacheEnabled() { return cacheLimit > 0; }

static std::string scoreCacheFolder() {
    if (cacheLimit == 0) return "";
    const char* xdg = getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/xoon";
    const char* home = getenv("HOME");
    if (home && *home) return std::string(home) + "/.cache/xoon";
    return "";
}

bool scoreCacheKey(const char* songPath, std::string* key) {
    char resolved[PATH_MAX];
    struct stat st;
    if (!realpath(songPath, resolved) || stat(resolved, &st) != 0) return false;
    char identity[256];
    snprintf(identity, sizeof identity, "\n%lld %lld.%09ld %llu %llu\n%s\n%llu",
             (long long)st.st_size, (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
             (unsigned long long)st.st_ino, (unsigned long long)st.st_dev, scorerSourceId,
             (unsigned long long)audioDecoderVersion());
    *key = std::string(resolved) + identity;
    return true;
}

static std::string cachedPath(const std::string& key, const char* suffix) {
    char name[40];
    snprintf(name, sizeof name, "/%016llx%s", (unsigned long long)fnv1a(key), suffix);
    return scoreCacheFolder() + name;
}

static std::string cachedTablePath(const std::string& key) { return cachedPath(key, scoreSuffix); }

static bool readWhole(const std::string& path, std::string* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes->append(buffer, n);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool readCachedTable(const std::string& key, std::vector<OnsetFrame>* table, int64_t* frames) {
    table->clear();
    if (scoreCacheFolder().empty()) return false;
    std::string bytes;
    const std::string path = cachedTablePath(key);
    if (!readWhole(path, &bytes)) return false;
    size_t at = magicBytes;
    if (bytes.size() < at + 4 || bytes.compare(0, magicBytes, cacheMagic) != 0) return false;
    const uint32_t keyLength = (uint32_t)getWord(bytes, at, 4);
    at += 4;
    if (keyLength > longestKey || bytes.size() < at + keyLength + 4) return false;
    if (bytes.compare(at, keyLength, key) != 0 || keyLength != key.size()) return false;
    at += keyLength;
    if (bytes.size() < at + 12) return false;
    const int64_t songFrames = (int64_t)getWord(bytes, at, 8);
    at += 8;
    const uint32_t count = (uint32_t)getWord(bytes, at, 4);
    at += 4;
    if (count > mostRecords || bytes.size() != at + (size_t)count * recordBytes + 8) return false;
    const uint64_t sum = getWord(bytes, bytes.size() - 8, 8);
    if (sum != fnv1a(bytes.substr(0, bytes.size() - 8))) return false;
    table->resize(count);
    for (uint32_t r = 0; r < count; r++, at += recordBytes) {
        OnsetFrame& f = (*table)[r];
        f.timeMs = (int32_t)(uint32_t)getWord(bytes, at, 4);
        for (int w = 0; w < onsetMaskWords; w++) f.mask[w] = (uint32_t)getWord(bytes, at + 4 + 4 * w, 4);
        // The scans rely on ascending times: a table that breaks that is not ours.
        if (r > 0 && f.timeMs <= (*table)[r - 1].timeMs) {
            table->clear();
            return false;
        }
    }
    if (frames) *frames = songFrames;
    utimensat(AT_FDCWD, path.c_str(), nullptr, 0);  // used now: the last to go
    return true;
}

static bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); at++) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeCachedTable(const std::string& key, const OnsetFrame* records, int32_t count,
                      int64_t frames, std::string* error) {
    const std::string folder = scoreCacheFolder();
    if (folder.empty()) {
        *error = "no cache folder (neither XDG_CACHE_HOME nor HOME is set)";
        return false;
    }
    if (!makeFolders(folder)) {
        *error = folder + ": " + strerror(errno);
        return false;
    }
    std::string bytes(cacheMagic, magicBytes);
    putWord(&bytes, key.size(), 4);
    bytes += key;
    putWord(&bytes, (uint64_t)frames, 8);
    putWord(&bytes, (uint32_t)count, 4);
    for (int32_t r = 0; r < count; r++) {
        putWord(&bytes, (uint32_t)records[r].timeMs, 4);
        for (int w = 0; w < onsetMaskWords; w++) putWord(&bytes, records[r].mask[w], 4);
    }
    putWord(&bytes, fnv1a(bytes), 8);
    const std::string path = cachedTablePath(key);
    pruneScoreCache(cacheLimit - (int64_t)bytes.size());  // room first: never past the bound
    if (!writeFileWhole(path, bytes, error)) {
        *error = path + ": " + *error;
        return false;
    }
    pruneScoreCache(cacheLimit);
    return true;
}

std::string keepCoverArt(const char* songPath, const std::string& bytes, const std::string& extension) {
    std::string key, error;
    if (scoreCacheFolder().empty() || !scoreCacheKey(songPath, &key) || !makeFolders(scoreCacheFolder()))
        return "";
    const std::string path = cachedPath(key, ("." + extension).c_str());
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size == (off_t)bytes.size()) {
        utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
        return path;
    }
    pruneScoreCache(cacheLimit - (int64_t)bytes.size());
    if (!writeFileWhole(path, bytes, &error)) return "";
    return path;
}

// The song an entry was kept for: the path its key starts with; empty when unreadable.
static std::string entrySong(const std::string& path) {
    std::string head(magicBytes + 4 + PATH_MAX, '\0');
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "";
    head.resize(fread(&head[0], 1, head.size(), f));
    fclose(f);
    if (head.size() < magicBytes + 4 || head.compare(0, magicBytes, cacheMagic) != 0) return "";
    const size_t end = head.find('\n', magicBytes + 4);
    return end == std::string::npos ? "" : head.substr(magicBytes + 4, end - magicBytes - 4);
}

void pruneScoreCache(int64_t bytes) {
    const std::string folder = scoreCacheFolder();
    DIR* d = folder.empty() ? nullptr : opendir(folder.c_str());
    if (!d) return;
    struct Entry {
        std::string path, stem;
        int64_t size;
        timespec used;
        bool gone;  // its song is no longer there
    };
    std::vector<Entry> entries;
    int64_t total = 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        const size_t dot = name.find('.');
        struct stat st;
        const std::string path = folder + "/" + name;
        if (name[0] == '.' || dot == std::string::npos || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        total += st.st_size;
        // Files being written (name.score.XXXXXX) count, but are another writer's.
        const std::string suffix = name.substr(dot);
        if (suffix != scoreSuffix && suffix != ".jpg" && suffix != ".png") continue;
        entries.push_back({path, name.substr(0, dot), (int64_t)st.st_size, st.st_mtim, false});
    }
    closedir(d);
    if (total <= bytes) return;
    std::vector<std::string> goneStems;
    for (Entry& e : entries) {
        if (e.path.size() < sizeof scoreSuffix || e.path.compare(e.path.size() - 6, 6, scoreSuffix) != 0) continue;
        const std::string song = entrySong(e.path);
        e.gone = song.empty() || access(song.c_str(), F_OK) != 0;
        if (e.gone) goneStems.push_back(e.stem);
    }
    // A cover goes with its song's score.
    for (Entry& e : entries)
        e.gone = e.gone || std::find(goneStems.begin(), goneStems.end(), e.stem) != goneStems.end();
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.gone != b.gone) return a.gone;
        if (a.used.tv_sec != b.used.tv_sec) return a.used.tv_sec < b.used.tv_sec;
        return a.used.tv_nsec < b.used.tv_nsec;
    });
    for (const Entry& e : entries) {
        if (total <= bytes) break;
        if (unlink(e.path.c_str()) == 0) total -= e.size;
    }
}

bool writeFileWhole(const std::string& path, const std::string& bytes, std::string* error) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);  // mkstemp makes the file private; give it the usual mode
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        if (n > 0) done += (size_t)n;
    }
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        *error = strerror(errno);
        unlink(temp.c_str());
    }
    return ok;
}
