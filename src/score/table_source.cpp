// The onset table as C++ source for the show, and read back.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "score/score.h"

// The words the reader finds its way by, as tableSource writes them.
static const char tableOpening[] = "onsetTable[";
static const char countOpening[] = "onsetFrameCount = ";

std::string tableSource(const std::vector<OnsetFrame>& table, const std::string& songName) {
    static const OnsetFrame empty = {0, {0}};
    const OnsetFrame* records = table.empty() ? &empty : table.data();
    size_t count = table.empty() ? 1 : table.size();
    std::string s;
    s.reserve(count * 140 + 256);
    char line[256];
    snprintf(line, sizeof line,
             "// Onset table of %s, written by xoon-score: do not edit.\n"
             "#include \"onset_table.h\"\n\nconst OnsetFrame onsetTable[%zu] = {\n",
             songName.c_str(), count);
    s += line;
    for (size_t r = 0; r < count; r++) {
        snprintf(line, sizeof line, "    {%d, {", (int)records[r].timeMs);
        s += line;
        for (int w = 0; w < onsetMaskWords; w++) {
            snprintf(line, sizeof line, w ? ", 0x%08X" : "0x%08X", (unsigned)records[r].mask[w]);
            s += line;
        }
        s += "}},\n";
    }
    snprintf(line, sizeof line, "};\n\nconst int32_t onsetFrameCount = %zu;\n", count);
    s += line;
    return s;
}

bool parseTableSource(const std::string& text, std::vector<OnsetFrame>* table) {
    table->clear();
    size_t at = text.find(tableOpening);
    if (at == std::string::npos) return false;
    size_t declared = strtoul(text.c_str() + at + strlen(tableOpening), nullptr, 10);
    at = text.find('{', at);
    if (at == std::string::npos) return false;
    const char* p = text.c_str() + at + 1;
    for (;;) {
        while (*p == ' ' || *p == '\n' || *p == ',') p++;
        if (*p == '}') break;
        OnsetFrame r;
        char* end;
        if (*p++ != '{') return false;
        r.timeMs = (int32_t)strtol(p, &end, 10);
        if (end == p) return false;
        p = end;
        while (*p == ' ' || *p == ',') p++;
        if (*p++ != '{') return false;
        for (int w = 0; w < onsetMaskWords; w++) {
            while (*p == ' ' || *p == ',') p++;
            r.mask[w] = (uint32_t)strtoul(p, &end, 16);
            if (end == p) return false;
            p = end;
        }
        if (p[0] != '}' || p[1] != '}') return false;
        p += 2;
        table->push_back(r);
    }
    const char* count = strstr(p, countOpening);
    return count && strtoul(count + strlen(countOpening), nullptr, 10) == declared &&
           table->size() == declared;
}
