// xoon-play: the command line's items (songs, folders, playlists) as the songs they name.
#pragma once
#include <string>
#include <vector>

// Each item as songs, in order: an audio file; a folder's audio files, its subfolders'
// too, in natural name order ("2" before "10"), other files skipped; an M3U/M3U8 or PLS
// playlist's entries (paths relative to its folder). Items that cannot be read are named on
// standard error with the reason and skipped; `failed` counts them.
std::vector<std::string> expandItems(char* const* items, int count, int* failed);
// Whether a path is a playlist (by its name).
bool isPlaylistName(const std::string& path);
// A file:// URI's path (percent escapes decoded); empty for another scheme.
std::string pathOfFileUri(const std::string& uri);
// The path as a file:// URI.
std::string fileUriOf(const std::string& path);
// "2" before "10": digit runs compare as numbers, the rest byte by byte.
bool naturalLess(const std::string& a, const std::string& b);
