// Writes a short Ogg Vorbis song of known length, rate and channel count: a tone
// with a click-free beep every half second, for the sound layer's tests.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vorbis_writer.h"

static void usage() {
    fprintf(stderr,
            "usage: xoon-testsong OUT.ogg [--seconds S] [--rate HZ] [--channels 1|2] [--freq HZ]\n"
            "                     [--serial N]   (songs of different serials chain when joined)\n");
    exit(2);
}

int main(int argc, char** argv) {
    if (argc < 2) usage();
    const char* outName = argv[1];
    double seconds = 3.0;
    long rate = 44100;
    int channels = 2;
    double freq = 440.0;
    int serial = 12345;
    for (int i = 2; i < argc; i++) {
        if (i + 1 >= argc) usage();
        if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[++i]);
        else if (!strcmp(argv[i], "--rate")) rate = atol(argv[++i]);
        else if (!strcmp(argv[i], "--channels")) channels = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--freq")) freq = atof(argv[++i]);
        else if (!strcmp(argv[i], "--serial")) serial = atoi(argv[++i]);
        else usage();
    }
    if (seconds <= 0 || rate < 8000 || rate > 192000 || channels < 1 || channels > 8) usage();

    FILE* out = fopen(outName, "wb");
    if (!out) {
        fprintf(stderr, "xoon-testsong: cannot write %s\n", outName);
        return 1;
    }
    const double beepPeriod = 0.5, beepLength = 0.1, ramp = 0.005;  // seconds
    const long total = (long)llround(seconds * rate);
    const bool ok = writeVorbis(out, channels, rate, 0.3f, serial, nullptr, total,
                                [&](float** planes, long at, long n) {
        for (long i = 0; i < n; i++) {
            double t = (double)(at + i) / rate;
            double inBeep = fmod(t, beepPeriod);
            double env = 0.15;
            if (inBeep < beepLength) {
                double edge = fmin(inBeep, beepLength - inBeep) / ramp;
                env += 0.35 * fmin(edge, 1.0);
            }
            double fade = fmin(fmin(t, seconds - t) / ramp, 1.0);  // no click at either end
            float s = (float)(env * fade * sin(2.0 * M_PI * freq * t));
            for (int c = 0; c < channels; c++) planes[c][i] = s;
        }
    });
    if (!ok) {
        fprintf(stderr, "xoon-testsong: encoder refuses %d channels at %ld Hz\n", channels, rate);
        fclose(out);
        remove(outName);
        return 1;
    }
    if (fclose(out) != 0) {
        fprintf(stderr, "xoon-testsong: cannot finish %s\n", outName);
        return 1;
    }
    return 0;
}
