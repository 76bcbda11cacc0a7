// xoon-clip: writes a short Ogg Vorbis clip of tones, noise bursts, drums and piano-like notes
// at known times, so the scorer's tests and benches know where each onset is and which
// frequencies it covers. Its sounds are made apart from the composer's, so material made
// here was never tuned on.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "test_audio.h"

static const char usage[] =
    "Usage: xoon-clip OUT.ogg [options] [EVENT...]\n"
    "Writes a clip of sounds that start at known times, mono or copied to every channel.\n"
    "\n"
    "  --seconds S   length (default 3)\n"
    "  --rate HZ     sample rate, 8000 to 192000 (default 44100)\n"
    "  --channels N  1 to 8 (default 1)\n"
    "  --truth FILE  also write the events as a ground truth, one onset a line\n"
    "  -h, --help    this text\n"
    "Events (seconds, Hz, seconds; AMP linear, default 0.3, kicks 0.6):\n"
    "  tone:START:FREQ:LENGTH[:AMP]       a sine\n"
    "  noise:START:LOW:HIGH:LENGTH[:AMP]  noise in the band from LOW to HIGH\n"
    "  kick:START[:AMP]                   a sine falling from 145 Hz to 45 Hz\n"
    "  hat:START[:AMP]                    metallic square partials, high-passed, short\n"
    "  cymbal:START[:AMP]                 the same, brighter and ringing for 2 s\n"
    "  tom:START:FREQ[:AMP]               a drum's tone falling onto FREQ\n"
    "  piano:START:FREQ:LENGTH[:AMP]      partials of FREQ after a hammer's low knock\n"
    "  bass:START:FREQ:LENGTH[:AMP]       a saw-like tone of eight partials\n";

struct Event {
    char kind;  // 't'one, 'n'oise, 'k'ick, 'h'at, 'c'ymbal, t'o'm, 'p'iano, 'b'ass
    double start, low, high, length, amp;  // seconds, Hz, Hz, seconds, linear
};

// The ground truth's instrument of each kind, as the composer names its own.
static const char* truthName(char kind) {
    switch (kind) {
    case 't': return "tone";
    case 'n': return "noise";
    case 'k': return "kick";
    case 'h': return "hat";
    case 'c': return "cymbal";
    case 'o': return "tom";
    case 'p': return "piano";
    default: return "bass";
    }
}

static bool parseEvent(const char* text, Event* e) {
    double v[5] = {0, 0, 0, 0, 0};
    const char* colon = strchr(text, ':');
    if (!colon) return false;
    int n = 0;
    for (const char* p = colon; *p == ':' && n < 5; n++) {
        char* end;
        v[n] = strtod(p + 1, &end);
        if (end == p + 1) return false;
        p = end;
        if (*p && *p != ':') return false;
    }
    size_t kindLength = (size_t)(colon - text);
    if (!strncmp(text, "tone", kindLength) && (n == 3 || n == 4)) {
        *e = {'t', v[0], v[1], v[1], v[2], n == 4 ? v[3] : 0.3};
    } else if (!strncmp(text, "noise", kindLength) && (n == 4 || n == 5)) {
        *e = {'n', v[0], v[1], v[2], v[3], n == 5 ? v[4] : 0.3};
    } else if (!strncmp(text, "kick", kindLength) && (n == 1 || n == 2)) {
        *e = {'k', v[0], 45, 145, 0.45, n == 2 ? v[1] : 0.6};
    } else if ((!strncmp(text, "hat", kindLength) || !strncmp(text, "cymbal", kindLength)) && (n == 1 || n == 2)) {
        const bool hat = text[0] == 'h';
        *e = {hat ? 'h' : 'c', v[0], 1, 1, hat ? 0.15 : 2.0, n == 2 ? v[1] : 0.3};
    } else if (!strncmp(text, "tom", kindLength) && (n == 2 || n == 3)) {
        *e = {'o', v[0], v[1], v[1], 0.5, n == 3 ? v[2] : 0.5};
    } else if ((!strncmp(text, "piano", kindLength) || !strncmp(text, "bass", kindLength)) && (n == 3 || n == 4)) {
        *e = {text[0], v[0], v[1], v[1], v[2], n == 4 ? v[3] : 0.3};
    } else {
        return false;
    }
    return e->start >= 0 && e->length > 0 && e->low > 0 && e->high >= e->low;
}

// Raised-cosine edges: an attack short enough that the onset is heard at the event's
// start, a release long enough that the end is heard as no new sound.
static double envelope(double t, double length) {
    const double attack = 0.002, release = 0.04;  // seconds
    if (t < 0 || t >= length) return 0;
    double a = fmin(t / attack, 1.0);
    double r = fmin((length - t) / release, 1.0);
    return (0.5 - 0.5 * cos(M_PI * a)) * (0.5 - 0.5 * cos(M_PI * r));
}

static void render(const Event& e, long rate, std::vector<double>* mix) {
    long first = (long)ceil(e.start * rate);
    long count = (long)(e.length * rate);
    if (e.kind == 't') {
        for (long i = 0; i < count && first + i < (long)mix->size(); i++) {
            double t = (first + i) / (double)rate - e.start;
            (*mix)[first + i] += e.amp * envelope(t, e.length) * sin(2 * M_PI * e.low * t);
        }
    } else if (e.kind == 'k') {
        // Pitch falls exponentially; the phase is the integral of the frequency.
        const double fall = 0.03;  // seconds per e-fold of the pitch drop
        for (long i = 0; i < count && first + i < (long)mix->size(); i++) {
            double t = (first + i) / (double)rate - e.start;
            double phase = 2 * M_PI * (e.low * t + (e.high - e.low) * fall * (1 - exp(-t / fall)));
            double decay = exp(-t / 0.25);
            (*mix)[first + i] += e.amp * envelope(t, e.length) * decay * sin(phase);
        }
    } else if (e.kind == 'h' || e.kind == 'c') {
        // Six square waves at unrelated pitches (the metal), through two one-pole high-passes.
        static const double metal[6] = {317, 465, 541, 732, 845, 1076};
        const double scale = e.kind == 'h' ? 1.0 : 1.37, decay = e.kind == 'h' ? 0.035 : 0.6;
        const double pole = exp(-2 * M_PI * 5000.0 / rate);
        double in1 = 0, out1 = 0, in2 = 0, out2 = 0;
        for (long i = 0; i < count && first + i < (long)mix->size(); i++) {
            double t = (first + i) / (double)rate - e.start;
            double x = 0;
            for (double f : metal) x += sin(2 * M_PI * f * scale * t) >= 0 ? 1 : -1;
            double y1 = pole * (out1 + x - in1);
            in1 = x, out1 = y1;
            double y2 = pole * (out2 + y1 - in2);
            in2 = y1, out2 = y2;
            (*mix)[first + i] += e.amp / 3 * envelope(t, e.length) * exp(-t / decay) * y2;
        }
    } else if (e.kind == 'o' || e.kind == 'p' || e.kind == 'b') {
        // Partials of a pitch: a tom's two modes falling onto it, a piano's stretched and
        // dying sooner the higher they are, a bass's saw-like eight.
        const int partials = e.kind == 'o' ? 2 : 8;
        for (long i = 0; i < count && first + i < (long)mix->size(); i++) {
            double t = (first + i) / (double)rate - e.start;
            double v = 0;
            for (int k = 1; k <= partials; k++) {
                if (e.kind == 'o') {
                    const double ratio = k == 1 ? 1.0 : 1.59, fall = 0.04;
                    double phase = 2 * M_PI * ratio * e.low * (t + 0.5 * fall * (1 - exp(-t / fall)));
                    v += (k == 1 ? 1.0 : 0.4) * sin(phase) * exp(-t / (k == 1 ? 0.3 : 0.1));
                } else if (e.kind == 'p') {
                    const double f = k * e.low * (1 + 0.0003 * k * k);
                    if (f < 0.45 * rate) v += pow(k, -1.2) * sin(2 * M_PI * f * t) * exp(-t * (1.0 + 0.5 * k));
                } else if (k * e.low < 0.45 * rate) {
                    v += sin(2 * M_PI * k * e.low * t) / k;
                }
            }
            // The hammer: a knock near 90 Hz for 15 ms, some 20 dB under the note.
            if (e.kind == 'p') v += 0.1 * sin(2 * M_PI * 90 * t) * exp(-t / 0.015);
            (*mix)[first + i] += e.amp * envelope(t, e.length) * v;
        }
    } else {
        // A dense comb of random-phase sines: noise whose band is exact.
        const double spacing = 7.0;  // Hz between partials
        int partials = (int)((e.high - e.low) / spacing) + 1;
        uint32_t seed = 2463534242u ^ (uint32_t)(e.start * 1000);
        std::vector<double> re(partials), im(partials), stepRe(partials), stepIm(partials);
        for (int p = 0; p < partials; p++) {
            seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
            double phase = seed / 4294967296.0 * 2 * M_PI;
            double f = e.low + p * spacing;
            re[p] = cos(phase), im[p] = sin(phase);
            stepRe[p] = cos(2 * M_PI * f / rate), stepIm[p] = sin(2 * M_PI * f / rate);
        }
        double norm = e.amp * sqrt(2.0 / partials);  // RMS of the sum = amp / sqrt(2)
        for (long i = 0; i < count && first + i < (long)mix->size(); i++) {
            double t = (first + i) / (double)rate - e.start;
            double sum = 0;
            for (int p = 0; p < partials; p++) {
                double r = re[p] * stepRe[p] - im[p] * stepIm[p];
                im[p] = re[p] * stepIm[p] + im[p] * stepRe[p];
                re[p] = r;
                sum += im[p];
            }
            (*mix)[first + i] += norm * envelope(t, e.length) * sum;
        }
    }
}

int main(int argc, char** argv) {
    cliStart("xoon-clip", usage);
    static const option longOptions[] = {{"seconds", required_argument, nullptr, 's'},
                                         {"rate", required_argument, nullptr, 'r'},
                                         {"channels", required_argument, nullptr, 'c'},
                                         {"truth", required_argument, nullptr, 't'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {}};
    AudioShape shape = {3.0, 44100, 1};
    const char* truthPath = nullptr;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;)
        if (c == 't') truthPath = optarg;
        else takeAudioShapeOption(c, optarg, &shape);
    if (optind == argc) cliUsageError("give the clip to write");
    const char* outName = argv[optind];
    std::vector<Event> events;
    for (int i = optind + 1; i < argc; i++) {
        Event e;
        if (!parseEvent(argv[i], &e)) cliUsageError("not an event: '%s'", argv[i]);
        events.push_back(e);
    }

    std::vector<double> mix((size_t)llround(shape.seconds * shape.rate), 0.0);
    for (const Event& e : events) render(e, shape.rate, &mix);
    if (truthPath) {
        FILE* truth = fopen(truthPath, "w");
        if (!truth) cliFail("cannot write %s: %s", truthPath, strerror(errno));
        fprintf(truth, "# time_seconds instrument midi_pitch (drums: 0)\n");
        std::vector<Event> sorted = events;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) { return a.start < b.start; });
        for (const Event& e : sorted) {
            const bool pitched = e.kind == 't' || e.kind == 'o' || e.kind == 'p' || e.kind == 'b';
            fprintf(truth, "%.6f %s %d\n", e.start, truthName(e.kind), pitched ? (int)lround(69 + 12 * log2(e.low / 440)) : 0);
        }
        if (fclose(truth) != 0) cliFail("cannot write %s: %s", truthPath, strerror(errno));
    }
    writeTestAudio(outName, shape, 0.6f, 4242, [&](float** planes, long at, long n) {
        for (long i = 0; i < n; i++)
            for (int c = 0; c < shape.channels; c++) planes[c][i] = (float)mix[at + i];
    });
    return 0;
}
