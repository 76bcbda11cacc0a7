// xoon-compose: renders the show's song to Ogg Vorbis and writes its ground truth of onsets.

#include <ebur128.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "master.h"
#include "material.h"
#include "song.h"
#include "synth.h"
#include "vorbis_writer.h"

static const float vorbisQuality = 0.5f;     // about 160 kbit/s
static const int oggSerial = 0x786f6f6e;     // fixed: identical files every run

static const char usage[] =
    "Usage: xoon-compose OUT.ogg TRUTH.txt [options]\n"
    "Renders the show's song with our own synthesiser and sequencer into an Ogg Vorbis file,\n"
    "mastered to -14 LUFS with true peaks at or below -1 dBTP (measured by libebur128), and\n"
    "writes its ground truth: every note onset, one a line. Prints the song's loudness and\n"
    "true peak as encoded. Both files are written whole or not at all.\n"
    "\n"
    "  --seconds S      render only the first S seconds (1 or more)\n"
    "  --only NAME,...  only these instruments (e.g. kick,bass), as loud as in the song\n"
    "  --pcm FILE       also write the mastered samples: interleaved stereo float32\n"
    "  --material NAME  test material for the scorer instead of the song: hats, kit,\n"
    "                   bass-tom or piano (its own length; --seconds cuts it short)\n"
    "  -h, --help       this text\n"
    "      --version    the program's version\n";

// Outputs are written beside their final names and renamed only when all are whole, so a
// reader (the scorer, run by the same build) never sees a half-written song, and a failure
// leaves nothing behind.
struct Output {
    std::string name, part;
    FILE* file;
};
static std::vector<Output> outputs;

[[noreturn]] static void fail(const char* what, const char* name, const char* why) {
    for (Output& o : outputs) {
        if (o.file) fclose(o.file);
        remove(o.part.c_str());
    }
    cliFail("%s %s: %s", what, name, why);
}

static FILE* openOutput(const char* name) {
    outputs.push_back({name, std::string(name) + ".part", nullptr});
    outputs.back().file = fopen(outputs.back().part.c_str(), "wb");
    if (!outputs.back().file) fail("cannot write", name, strerror(errno));
    return outputs.back().file;
}

static void closeOutputs() {
    for (Output& o : outputs) {
        bool ok = !ferror(o.file);
        ok = fclose(o.file) == 0 && ok;
        o.file = nullptr;
        if (!ok) fail("cannot write", o.name.c_str(), strerror(errno));
    }
}

static void renameOutputs() {
    for (Output& o : outputs)
        if (rename(o.part.c_str(), o.name.c_str()) != 0)
            fail("cannot write", o.name.c_str(), strerror(errno));
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
    {0.6, 0.1, 0.15, false},   // tom (test material only)
    {0.5, 0.0, 0.2, false},    // piano (test material only)
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
    for (size_t k = 0; k < notes.size(); k++) {
        const Note& n = notes[k];
        if (k % 256 == 0) cliProgress("rendering %zu%%", k * 100 / notes.size());
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

static void encode(const std::vector<float>& l, const std::vector<float>& r, FILE* out,
                   const char* name) {
    const long frames = (long)l.size();
    const bool ok = writeVorbis(out, stereo, sampleRate, vorbisQuality, oggSerial, "xoon09", frames,
                                [&](float** planes, long at, long n) {
                                    if (at % (64 * n) == 0) cliProgress("encoding %ld%%", at * 100 / frames);
                                    memcpy(planes[0], &l[at], n * sizeof(float));
                                    memcpy(planes[1], &r[at], n * sizeof(float));
                                });
    if (!ok) fail("cannot write", name, "the Vorbis encoder refuses the format");
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
        fail("cannot write", name, strerror(errno));
}

int main(int argc, char** argv) {
    cliStart("xoon-compose", usage);
    static const option longOptions[] = {{"seconds", required_argument, nullptr, 's'},
                                         {"only", required_argument, nullptr, 'o'},
                                         {"pcm", required_argument, nullptr, 'p'},
                                         {"material", required_argument, nullptr, 'm'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {}};
    double seconds = songSeconds;
    bool wanted[instrumentCount];
    for (bool& w : wanted) w = true;
    const char* pcmName = nullptr;
    const char* material = nullptr;
    bool secondsGiven = false;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;) {
        if (c == 's') {
            if (!cliParseDouble(optarg, &seconds) || !(seconds >= 1.0 && seconds <= songSeconds))
                cliUsageError("--seconds wants 1 to %g, not '%s'", songSeconds, optarg);
            secondsGiven = true;
        } else if (c == 'm') {
            material = optarg;
        } else if (c == 'o') {
            if (!parseInstruments(optarg, wanted)) cliUsageError("--only: unknown instrument in '%s'", optarg);
        } else if (c == 'p') {
            pcmName = optarg;
        }
    }
    if (argc - optind != 2) cliUsageError("give the song and the ground truth to write");
    const char* songName = argv[optind];
    const char* truthName = argv[optind + 1];
    std::vector<Note> notes;
    if (material) {
        double length;
        if (!arrangeMaterial(material, &notes, &length))
            cliUsageError("--material wants one of %s, not '%s'", materialNames, material);
        seconds = secondsGiven ? std::min(seconds, length) : length;
    } else {
        notes = arrangeSong();
    }
    const int64_t total = (int64_t)llround(seconds * sampleRate);
    FILE* oggFile = openOutput(songName);
    FILE* truthFile = openOutput(truthName);
    FILE* pcmFile = pcmName ? openOutput(pcmName) : nullptr;

    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
        if (a.start != b.start) return a.start < b.start;
        if (a.instrument != b.instrument) return a.instrument < b.instrument;
        return a.pitch < b.pitch;
    });
    std::vector<float> duck;
    buildDuck(notes, total, duck);
    Mix full;
    renderMix(notes, duck, total, full);
    Loudness mastered;
    std::vector<float> gain = masterGain(full, &mastered);

    // Chosen instruments alone are mastered with the whole song's gain, so they are exactly
    // their share of the song.
    std::vector<Note> chosen;
    for (const Note& n : notes)
        if (wanted[n.instrument]) chosen.push_back(n);
    const bool whole = chosen.size() == notes.size();
    Mix part;
    if (!whole) renderMix(chosen, duck, total, part);
    std::vector<float> outL, outR;
    applyGain(whole ? full : part, gain, outL, outR);

    encode(outL, outR, oggFile, songName);
    writeTruth(chosen, total, truthFile);
    if (pcmFile) writePcm(outL, outR, pcmFile, pcmName);
    closeOutputs();
    // What a player will hear: the song decoded again, held to the ceiling.
    cliProgress("measuring the encoded song");
    Loudness encoded;
    if (!measureEncoded(outputs[0].part.c_str(), &encoded))
        fail("cannot read back", songName, "the encoded song does not decode");
    cliProgressDone();
    if (whole && encoded.truePeakDbtp > truePeakCeilingDbtp) {
        char why[120];
        snprintf(why, sizeof why, "true peak %.2f dBTP is above %.1f dBTP (%.2f dBTP before encoding)",
                 encoded.truePeakDbtp, truePeakCeilingDbtp, mastered.truePeakDbtp);
        fail("cannot master", songName, why);
    }
    renameOutputs();
    printf("xoon-compose: %s: integrated loudness %.2f LUFS, true peak %.2f dBTP (master before "
           "encoding: %.2f LUFS, %.2f dBTP)\n",
           songName, encoded.integratedLufs, encoded.truePeakDbtp, mastered.integratedLufs,
           mastered.truePeakDbtp);
    return 0;
}
