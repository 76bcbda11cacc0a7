// xoon-compose: renders the show's song to Ogg Vorbis and writes its ground truth of onsets.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "song.h"
#include "vorbis_writer.h"
#include "synth.h"

static const double targetLufs = -14.0;      // integrated loudness of the master
static const double ceilingDbfs = -1.8;      // limiter ceiling; the encoder adds a little
static const float vorbisQuality = 0.5f;     // about 160 kbit/s
static const int oggSerial = 0x786f6f6e;     // fixed: identical files every run

// Outputs are written beside their final names and renamed only when all are whole, so a
// reader (the scorer, run by the same build) never sees a half-written song, and a failure
// leaves nothing behind.
struct Output {
    std::string name, part;
    FILE* file;
};
static std::vector<Output> outputs;

static void fail(const char* what, const char* name) {
    fprintf(stderr, "xoon-compose: %s %s\n", what, name);
    for (Output& o : outputs) {
        if (o.file) fclose(o.file);
        remove(o.part.c_str());
    }
    exit(1);
}

static FILE* openOutput(const char* name) {
    outputs.push_back({name, std::string(name) + ".part", nullptr});
    outputs.back().file = fopen(outputs.back().part.c_str(), "wb");
    if (!outputs.back().file) fail("cannot write", name);
    return outputs.back().file;
}

static void finishOutputs() {
    for (Output& o : outputs) {
        bool ok = !ferror(o.file);
        ok = fclose(o.file) == 0 && ok;
        o.file = nullptr;
        if (!ok) fail("cannot finish", o.name.c_str());
    }
    for (Output& o : outputs)
        if (rename(o.part.c_str(), o.name.c_str()) != 0) fail("cannot finish", o.name.c_str());
}

// Per-instrument mix: level, stereo position (-1 left .. 1 right), reverb send, and whether
// the kick ducks it.
struct Channel {
    double level, pan, send;
    bool ducked;
};
static const Channel channels[instrumentCount] = {
    {0.7, 0.0, 0.0, false},    // kick
    {0.6, 0.05, 0.25, false},  // snare
    {0.75, -0.05, 0.3, false}, // clap
    {0.35, 0.25, 0.05, false}, // hat
    {0.22, -0.3, 0.1, false},  // openhat
    {0.22, 0.0, 0.2, false},   // crash
    {0.6, 0.0, 0.0, true},     // bass
    {0.25, 0.0, 0.35, true},   // chord
    {0.35, 0.0, 0.3, false},   // lead
    {0.2, 0.35, 0.4, true},    // arp
};

struct Mix {
    std::vector<float> left, right, send;
};

// Gain curve that dips under every kick and swells back: the pumping of the peaks.
static void buildDuck(const std::vector<Note>& notes, int64_t total, std::vector<float>& duck) {
    const double depth = 0.4, dipS = 0.004, recoverS = 0.09, spanS = 0.4;
    duck.assign(total, 1.0f);
    for (const Note& n : notes) {
        if (n.instrument != kick) continue;
        int64_t span = (int64_t)(spanS * sampleRate);
        for (int64_t i = 0; i < span && n.start + i < total; i++) {
            double t = (double)i / sampleRate;
            double shape = t < dipS ? t / dipS : exp(-(t - dipS) / recoverS);
            float g = (float)(1.0 - depth * n.velocity * shape);
            float& d = duck[n.start + i];
            if (g < d) d = g;
        }
    }
}

static void renderNotes(const std::vector<Note>& notes, const std::vector<float>& duck,
                        int64_t total, Mix& mix) {
    std::vector<float> l, r;
    for (const Note& n : notes) {
        if (n.start >= total) continue;
        // The noise seed comes from the note itself, so a note sounds the same whether it
        // is rendered with the whole song or alone.
        renderNote(n, (uint32_t)(n.start * 31 + n.instrument * 7 + n.pitch), l, r);
        const Channel& ch = channels[n.instrument];
        double gl = ch.level * sqrt(0.5 * (1.0 - ch.pan)) * M_SQRT2;
        double gr = ch.level * sqrt(0.5 * (1.0 + ch.pan)) * M_SQRT2;
        int64_t len = std::min<int64_t>((int64_t)l.size(), total - n.start);
        for (int64_t i = 0; i < len; i++) {
            int64_t at = n.start + i;
            double d = ch.ducked ? duck[at] : 1.0;
            double a = l[i] * gl * d, b = r[i] * gr * d;
            mix.left[at] += (float)a;
            mix.right[at] += (float)b;
            mix.send[at] += (float)(0.5 * (a + b) * ch.send);
        }
    }
}

// A small plate-like reverb: parallel damped combs into series allpasses, one set per side
// with slightly different lengths so the tail is wide.
struct Comb {
    std::vector<double> line;
    size_t at = 0;
    double store = 0;
    double run(double in, double feedback, double damp) {
        double out = line[at];
        store = out * (1.0 - damp) + store * damp;
        line[at] = in + store * feedback;
        if (++at == line.size()) at = 0;
        return out;
    }
};
struct Allpass {
    std::vector<double> line;
    size_t at = 0;
    double run(double in) {
        double held = line[at];
        double out = held - in;
        line[at] = in + held * 0.5;
        if (++at == line.size()) at = 0;
        return out;
    }
};

static void addReverb(Mix& mix, int64_t total) {
    static const int combLengths[4] = {1123, 1291, 1423, 1559};  // samples
    static const int allpassLengths[2] = {557, 443};              // samples
    const int spread = 23;                                        // samples, right side longer
    const double feedback = 0.83, damp = 0.3, wet = 0.9;
    for (int side = 0; side < 2; side++) {
        Comb combs[4];
        Allpass passes[2];
        for (int i = 0; i < 4; i++) combs[i].line.assign(combLengths[i] + side * spread, 0.0);
        for (int i = 0; i < 2; i++) passes[i].line.assign(allpassLengths[i] + side * spread, 0.0);
        std::vector<float>& out = side ? mix.right : mix.left;
        for (int64_t i = 0; i < total; i++) {
            double in = mix.send[i] * 0.25;
            double acc = 0;
            for (Comb& c : combs) acc += c.run(in, feedback, damp);
            for (Allpass& p : passes) acc = p.run(acc);
            out[i] += (float)(acc * wet);
        }
    }
}

// Removes any DC the voices leave behind (a one-pole high-pass at about 10 Hz).
static void blockDc(std::vector<float>& x) {
    const double pole = 1.0 - 2.0 * M_PI * 10.0 / sampleRate;
    double prevIn = 0, prevOut = 0;
    for (float& s : x) {
        double out = s - prevIn + pole * prevOut;
        prevIn = s;
        prevOut = out;
        s = (float)out;
    }
}

// Renders notes through the mixer, the reverb and the DC blocker; a render cut short fades
// out over its last 10 ms rather than stopping dead.
static void renderMix(const std::vector<Note>& notes, const std::vector<float>& duck,
                      int64_t total, Mix& mix) {
    mix.left.assign(total, 0.0f);
    mix.right.assign(total, 0.0f);
    mix.send.assign(total, 0.0f);
    renderNotes(notes, duck, total, mix);
    addReverb(mix, total);
    blockDc(mix.left);
    blockDc(mix.right);
    if (total < (int64_t)llround(songSeconds * sampleRate)) {
        int64_t fade = std::min<int64_t>(total, sampleRate / 100);
        for (int64_t i = 0; i < fade; i++) {
            float g = (float)i / fade;
            mix.left[total - 1 - i] *= g;
            mix.right[total - 1 - i] *= g;
        }
    }
    mix.send.clear();
}

// Integrated loudness in LUFS: K-weighting, 400 ms blocks every 100 ms, absolute gate at
// -70 LUFS and relative gate 10 LU below the absolute-gated mean.
static double integratedLoudness(const std::vector<float>& l, const std::vector<float>& r) {
    struct Biquad {
        double b0, b1, b2, a1, a2, z1 = 0, z2 = 0;
        double run(double x) {
            double y = b0 * x + z1;
            z1 = b1 * x - a1 * y + z2;
            z2 = b2 * x - a2 * y;
            return y;
        }
    };
    double k = tan(M_PI * 1681.974450955533 / sampleRate);
    double vh = pow(10.0, 3.999843853973347 / 20.0), vb = pow(vh, 0.4996667741545416);
    double q = 0.7071752369554196, a0 = 1.0 + k / q + k * k;
    Biquad shelf = {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0,
                    (vh - vb * k / q + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
                    (1.0 - k / q + k * k) / a0};
    k = tan(M_PI * 38.13547087602444 / sampleRate);
    q = 0.5003270373238773;
    a0 = 1.0 + k / q + k * k;
    Biquad highPass = {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    Biquad chain[2][2] = {{shelf, highPass}, {shelf, highPass}};

    const int64_t quarter = sampleRate / 10;  // 100 ms hop
    std::vector<double> quarters;
    double acc = 0;
    for (size_t i = 0; i < l.size(); i++) {
        double a = chain[0][1].run(chain[0][0].run(l[i]));
        double b = chain[1][1].run(chain[1][0].run(r[i]));
        acc += a * a + b * b;
        if ((int64_t)(i + 1) % quarter == 0) {
            quarters.push_back(acc / quarter);
            acc = 0;
        }
    }
    std::vector<double> blocks;
    for (size_t i = 3; i < quarters.size(); i++)
        blocks.push_back(0.25 * (quarters[i - 3] + quarters[i - 2] + quarters[i - 1] + quarters[i]));
    auto lufs = [](double power) { return -0.691 + 10.0 * log10(power); };
    auto gatedMean = [&](double gate) {
        double sum = 0;
        int count = 0;
        for (double z : blocks)
            if (z > 0 && lufs(z) > gate) sum += z, count++;
        return count ? sum / count : 1e-12;
    };
    double relativeGate = lufs(gatedMean(-70.0)) - 10.0;
    return lufs(gatedMean(relativeGate));
}

// Look-ahead peak limiter: returns the gain for every sample, which falls before a peak
// arrives (never after), so nothing overshoots the ceiling and nothing is delayed.
static std::vector<float> limiterGain(const std::vector<float>& inL, const std::vector<float>& inR,
                                      double gain, double ceiling) {
    const int lookAhead = 96;  // samples, about 2 ms
    const double releaseS = 0.12;
    const double recover = 1.0 - exp(-1.0 / (releaseS * sampleRate));
    int64_t n = (int64_t)inL.size();
    std::vector<float> need(n);
    for (int64_t i = 0; i < n; i++) {
        double peak = std::max(fabs(inL[i]), fabs(inR[i])) * gain;
        need[i] = (float)(peak > ceiling ? ceiling / peak : 1.0);
    }
    // Sliding minimum over [i, i + lookAhead], then release, then a moving average over
    // [i - lookAhead, i]: every term of that average is at most need[i].
    std::vector<float> held(n);
    std::deque<int64_t> window;
    double level = 1.0;
    for (int64_t i = 0, j = 0; i < n; i++) {
        for (; j < n && j <= i + lookAhead; j++) {
            while (!window.empty() && need[window.back()] >= need[j]) window.pop_back();
            window.push_back(j);
        }
        while (window.front() < i) window.pop_front();
        level = std::min((double)need[window.front()], level + (1.0 - level) * recover);
        held[i] = (float)level;
    }
    std::vector<float> out(n);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) {
        sum += held[i];
        if (i > lookAhead) sum -= held[i - lookAhead - 1];
        out[i] = (float)(gain * sum / (double)(std::min<int64_t>(i, lookAhead) + 1));
    }
    return out;
}

static void applyGain(const Mix& mix, const std::vector<float>& gain, std::vector<float>& outL,
                      std::vector<float>& outR) {
    outL.resize(gain.size());
    outR.resize(gain.size());
    for (size_t i = 0; i < gain.size(); i++) {
        outL[i] = (float)((double)mix.left[i] * gain[i]);
        outR[i] = (float)((double)mix.right[i] * gain[i]);
    }
}

// Gain for every sample: toward the loudness target, re-measured after the limiter has
// shaved the peaks.
static std::vector<float> masterGain(const Mix& mix) {
    const double ceiling = pow(10.0, ceilingDbfs / 20.0);
    double gain = pow(10.0, (targetLufs - integratedLoudness(mix.left, mix.right)) / 20.0);
    std::vector<float> outL, outR;
    for (int pass = 0; pass < 3; pass++) {
        applyGain(mix, limiterGain(mix.left, mix.right, gain, ceiling), outL, outR);
        gain *= pow(10.0, (targetLufs - integratedLoudness(outL, outR)) / 20.0);
    }
    return limiterGain(mix.left, mix.right, gain, ceiling);
}

static void encode(const std::vector<float>& l, const std::vector<float>& r, FILE* out,
                   const char* name) {
    const bool ok = writeVorbis(out, 2, sampleRate, vorbisQuality, oggSerial, "xoon09", (long)l.size(),
                                [&](float** planes, long at, long n) {
                                    memcpy(planes[0], &l[at], n * sizeof(float));
                                    memcpy(planes[1], &r[at], n * sizeof(float));
                                });
    if (!ok) fail("encoder refuses the format for", name);
}

static void writeTruth(const std::vector<Note>& notes, int64_t total, FILE* out) {
    fprintf(out, "# Ground truth of the song: one note onset per line, sorted by time.\n");
    fprintf(out, "# time_seconds instrument midi_pitch (time: attack start, seconds from the "
                 "first sample)\n");
    for (const Note& n : notes)
        if (n.start < total)
            fprintf(out, "%.6f %s %d\n", (double)n.start / sampleRate, instrumentName(n.instrument),
                    n.pitch);
}

static void usage() {
    fprintf(stderr,
            "usage: xoon-compose OUT.ogg TRUTH.txt [--seconds S] [--only NAME,...] [--pcm FILE]\n"
            "  --seconds S     render only the first S seconds\n"
            "  --only NAME,... only these instruments (e.g. kick,bass), as loud as in the song\n"
            "  --pcm FILE      also write the mastered samples: interleaved stereo float32\n");
    exit(2);
}

// Parses "kick,bass" into a set of instruments; false on an unknown name.
static bool parseInstruments(const char* list, bool wanted[instrumentCount]) {
    for (int i = 0; i < instrumentCount; i++) wanted[i] = false;
    std::string rest = list;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string name = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        int i = 0;
        while (i < instrumentCount && name != instrumentName((Instrument)i)) i++;
        if (i == instrumentCount) return false;
        wanted[i] = true;
    }
    return true;
}

static void writePcm(const std::vector<float>& l, const std::vector<float>& r, FILE* out,
                     const char* name) {
    std::vector<float> frame(2 * l.size());
    for (size_t i = 0; i < l.size(); i++) frame[2 * i] = l[i], frame[2 * i + 1] = r[i];
    if (fwrite(frame.data(), sizeof(float), frame.size(), out) != frame.size())
        fail("cannot write", name);
}

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) usage();
    double seconds = songSeconds;
    bool wanted[instrumentCount];
    for (bool& w : wanted) w = true;
    const char* pcmName = nullptr;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--seconds")) {
            seconds = atof(argv[i + 1]);
            if (!(seconds >= 1.0 && seconds <= songSeconds)) usage();
        } else if (!strcmp(argv[i], "--only")) {
            if (!parseInstruments(argv[i + 1], wanted)) usage();
        } else if (!strcmp(argv[i], "--pcm")) {
            pcmName = argv[i + 1];
        } else {
            usage();
        }
    }
    const int64_t total = (int64_t)llround(seconds * sampleRate);
    FILE* oggFile = openOutput(argv[1]);
    FILE* truthFile = openOutput(argv[2]);
    FILE* pcmFile = pcmName ? openOutput(pcmName) : nullptr;

    std::vector<Note> notes = arrangeSong();
    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
        if (a.start != b.start) return a.start < b.start;
        if (a.instrument != b.instrument) return a.instrument < b.instrument;
        return a.pitch < b.pitch;
    });
    std::vector<float> duck;
    buildDuck(notes, total, duck);
    Mix full;
    renderMix(notes, duck, total, full);
    std::vector<float> gain = masterGain(full);

    // Chosen instruments alone are mastered with the whole song's gain, so they are exactly
    // their share of the song.
    std::vector<Note> chosen;
    for (const Note& n : notes)
        if (wanted[n.instrument]) chosen.push_back(n);
    Mix part;
    if (chosen.size() < notes.size()) renderMix(chosen, duck, total, part);
    std::vector<float> outL, outR;
    applyGain(chosen.size() < notes.size() ? part : full, gain, outL, outR);

    encode(outL, outR, oggFile, argv[1]);
    writeTruth(chosen, total, truthFile);
    if (pcmFile) writePcm(outL, outR, pcmFile, pcmName);
    finishOutputs();
    return 0;
}
