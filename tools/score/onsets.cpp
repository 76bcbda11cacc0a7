// The scorer's core: decoder to analyser to table, the decoding a few blocks ahead on a
// thread of its own; and the table as C++ source.
#include "onsets.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "analysis/onset_analysis.h"
#include "sound/decoder.h"

// ---- scoring ----

// Blocks of decoded frames passed from the decoding thread to the analysis: enough to
// keep both busy, few enough that memory does not follow the song's length.
constexpr int blockFrames = 4096;
constexpr int blockCount = 4;

namespace {

struct Block {
    float samples[blockFrames * scoreChannels];
    int frames = 0;  // 0: the end of the song
};

// The blocks in flight: the decoder fills them in turn, the analysis empties them in turn.
struct Pipe {
    Block blocks[blockCount];
    std::mutex lock;
    std::condition_variable changed;
    int filled = 0, emptied = 0;  // blocks handed over so far, each way
};

void decodeInto(AudioDecoder* decoder, Pipe* pipe) {
    for (;;) {
        std::unique_lock<std::mutex> hold(pipe->lock);
        pipe->changed.wait(hold, [&] { return pipe->filled - pipe->emptied < blockCount; });
        Block& b = pipe->blocks[pipe->filled % blockCount];
        hold.unlock();
        b.frames = readAudioFrames(decoder, b.samples, blockFrames);
        hold.lock();
        pipe->filled++;
        pipe->changed.notify_all();
        if (b.frames == 0) return;
    }
}

void collect(const OnsetFrame& record, void* user) { ((std::vector<OnsetFrame>*)user)->push_back(record); }

}  // namespace

bool scoreDecoder(AudioDecoder* decoder, std::vector<OnsetFrame>* table, std::string* error,
                  const ScoreProgress& progress) {
    table->clear();
    OnsetAnalyser analyser(collect, table, scoreChannels);
    const double songSeconds = audioDurationSeconds(decoder);
    auto pipe = std::make_unique<Pipe>();
    std::thread decoding(decodeInto, decoder, pipe.get());
    long long frames = 0;
    for (;;) {
        std::unique_lock<std::mutex> hold(pipe->lock);
        pipe->changed.wait(hold, [&] { return pipe->filled > pipe->emptied; });
        Block& b = pipe->blocks[pipe->emptied % blockCount];
        hold.unlock();
        if (b.frames == 0) break;
        analyser.feed(b.samples, b.frames);
        frames += b.frames;
        hold.lock();
        pipe->emptied++;
        pipe->changed.notify_all();
        hold.unlock();
        if (progress && songSeconds > 0)
            progress(std::min(1.0, (double)frames / analysisRateHz / songSeconds), songSeconds);
    }
    decoding.join();
    if (frames == 0) {
        *error = "holds no audio";
        table->clear();
        return false;
    }
    analyser.finish();
    if (progress) progress(1.0, songSeconds);
    return true;
}

bool scoreFile(const char* path, std::vector<OnsetFrame>* table, std::string* error,
               const ScoreProgress& progress) {
    AudioDecoder* decoder = openAudioDecoder(path, analysisRateHz, scoreChannels, error);
    if (!decoder) return false;
    bool ok = scoreDecoder(decoder, table, error, progress);
    closeAudioDecoder(decoder);
    return ok;
}

bool scoreMemory(const uint8_t* bytes, size_t size, std::vector<OnsetFrame>* table,
                 std::string* error, const ScoreProgress& progress) {
    AudioDecoder* decoder = openAudioDecoderMemory(bytes, size, analysisRateHz, scoreChannels, error);
    if (!decoder) return false;
    bool ok = scoreDecoder(decoder, table, error, progress);
    closeAudioDecoder(decoder);
    return ok;
}

// ---- C++ source ----

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
    size_t at = text.find("onsetTable[");
    if (at == std::string::npos) return false;
    size_t declared = strtoul(text.c_str() + at + 11, nullptr, 10);
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
    const char* count = strstr(p, "onsetFrameCount = ");
    return count && strtoul(count + 18, nullptr, 10) == declared && table->size() == declared;
}
