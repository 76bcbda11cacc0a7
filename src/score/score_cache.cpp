// The score cache: one file per song, holding its key, its records and a checksum.
#include "score/score_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/decoder.h"
#include "score/score.h"
#include "scorer_id.h"

// A file: magic, key length and key, record count, records (little-endian), checksum of
// everything before it.
static const char cacheMagic[] = "xOOn score 1\n";
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

static std::string scoreCacheFolder() {
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

static std::string cachedTablePath(const std::string& key) {
    char name[32];
    snprintf(name, sizeof name, "/%016llx.score", (unsigned long long)fnv1a(key));
    return scoreCacheFolder() + name;
}

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

bool readCachedTable(const std::string& key, std::vector<OnsetFrame>* table) {
    table->clear();
    if (scoreCacheFolder().empty()) return false;
    std::string bytes;
    if (!readWhole(cachedTablePath(key), &bytes)) return false;
    size_t at = magicBytes;
    if (bytes.size() < at + 4 || bytes.compare(0, magicBytes, cacheMagic) != 0) return false;
    const uint32_t keyLength = (uint32_t)getWord(bytes, at, 4);
    at += 4;
    if (keyLength > longestKey || bytes.size() < at + keyLength + 4) return false;
    if (bytes.compare(at, keyLength, key) != 0 || keyLength != key.size()) return false;
    at += keyLength;
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
                      std::string* error) {
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
    putWord(&bytes, (uint32_t)count, 4);
    for (int32_t r = 0; r < count; r++) {
        putWord(&bytes, (uint32_t)records[r].timeMs, 4);
        for (int w = 0; w < onsetMaskWords; w++) putWord(&bytes, records[r].mask[w], 4);
    }
    putWord(&bytes, fnv1a(bytes), 8);
    const std::string path = cachedTablePath(key);
    if (writeFileWhole(path, bytes, error)) return true;
    *error = path + ": " + *error;
    return false;
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
