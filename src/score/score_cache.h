// Scored tables kept between runs of the player, in the user's cache folder, keyed by the
// song file's identity and the scorer's, so a changed file or scorer is scored again; a
// bounded cache: entries of songs no longer there go first, then the least recently used.
// Live scoring uses it; tests look into it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "data/onset_table.h"

// False when the player was asked for no cache at all (setScoreCacheLimit(0)).
bool scoreCacheEnabled();
// The key of a song as it is now on disk; false when the file cannot be looked at.
bool scoreCacheKey(const char* songPath, std::string* key);
// The table kept under the key, and the song's length in frames; false when there is none,
// or it is damaged, unreadable or was kept for another key. Never trusted beyond what it
// proves. An entry read counts as used now.
bool readCachedTable(const std::string& key, std::vector<OnsetFrame>* table, int64_t* frames = nullptr);
// Keeps a table under the key, written whole or not at all, in the cache folder:
// $XDG_CACHE_HOME/xoon, else $HOME/.cache/xoon. False with a reason when the folder cannot
// be made or written: that only costs the cache.
// Then the cache is brought back within its bound.
bool writeCachedTable(const std::string& key, const OnsetFrame* records, int32_t count,
                      int64_t frames, std::string* error);
// Brings the cache within `bytes`: every file of the folder counts; the entries of songs no
// longer there go first, then the least recently used.
void pruneScoreCache(int64_t bytes);
