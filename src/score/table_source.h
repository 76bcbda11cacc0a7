// The onset table as C++ source for the show (the scorer writes it, the build compiles it),
// and read back by the tools and tests. Scoring itself is analysis/song_score.h.
#pragma once
#include <string>
#include <vector>

#include "score/score.h"
#include "data/onset_table.h"

// The table as a C++ source file that defines onsetTable and onsetFrameCount. An empty
// table becomes one empty record, since a C++ array cannot be empty.
std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName);

// Reads back a source written by tableSource; false if it is not one.
bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table);
