// Scored tables kept between runs of the player, in the user's cache folder, keyed by the
// song file's identity and the scorer's, so a changed file or scorer is scored again. Live
// scoring uses it; tests look into it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "data/onset_table.h"

// The key of a song as it is now on disk; false when the file cannot be looked at.
bool scoreCacheKey(const char* songPath, std::string* key);
// The table kept under the key; false when there is none, or it is damaged, unreadable or
// was kept for another key. Never trusted beyond what it proves.
bool readCachedTable(const std::string& key, std::vector<OnsetFrame>* table);
// Keeps a table under the key, written whole or not at all, in the cache folder:
// $XDG_CACHE_HOME/xoon, else $HOME/.cache/xoon. False with a reason when the folder cannot
// be made or written: that only costs the cache.
bool writeCachedTable(const std::string& key, const OnsetFrame* records, int32_t count,
                      std::string* error);
