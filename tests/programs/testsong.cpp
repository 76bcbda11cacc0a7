// xoon-testsong: writes a short Ogg Vorbis song of known length, rate and channel count, a
// tone with a click-free beep every half second, for the tests of the sound layer.
#include <climits>
#include <cmath>
#include <cstdio>

#include "test_audio.h"

static const char usage[] =
    "Usage: xoon-testsong OUT.ogg [options]\n"
    "Writes a short test song: a tone with a beep every half second, faded in and out.\n"
    "\n"
    "  --seconds S   length (default 3)\n"
    "  --rate HZ     sample rate, 8000 to 192000 (default 44100)\n"
    "  --channels N  1 to 8 (default 2)\n"
    "  --freq HZ     the tone (default 440)\n"
    "  --serial N    Ogg stream serial (default 12345); songs of different serials chain\n"
    "                when their files are joined\n"
    "  -h, --help    this text\n";

int main(int argc, char** argv) {
    cliStart("xoon-testsong", usage);
    static const option longOptions[] = {{"seconds", required_argument, nullptr, 's'},
                                         {"rate", required_argument, nullptr, 'r'},
                                         {"channels", required_argument, nullptr, 'c'},
                                         {"freq", required_argument, nullptr, 'f'},
                                         {"serial", required_argument, nullptr, 'n'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {}};
    AudioShape shape = {3.0, 44100, 2};
    double freq = 440.0;
    long serial = 12345;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;) {
        if (takeAudioShapeOption(c, optarg, &shape)) continue;
        if (c == 'f' && !(cliParseDouble(optarg, &freq) && freq > 0))
            cliUsageError("--freq wants a frequency in Hz, not '%s'", optarg);
        if (c == 'n' && !(cliParseLong(optarg, &serial) && serial >= INT_MIN && serial <= INT_MAX))
            cliUsageError("--serial wants a 32-bit number, not '%s'", optarg);
    }
    if (argc - optind != 1) cliUsageError("give the one song to write");

    const double beepPeriod = 0.5, beepLength = 0.1, ramp = 0.005;  // seconds
    writeTestAudio(argv[optind], shape, 0.3f, (int)serial, [&](float** planes, long at, long n) {
        for (long i = 0; i < n; i++) {
            double t = (double)(at + i) / shape.rate;
            double inBeep = fmod(t, beepPeriod);
            double env = 0.15;
            if (inBeep < beepLength) {
                double edge = fmin(inBeep, beepLength - inBeep) / ramp;
                env += 0.35 * fmin(edge, 1.0);
            }
            double fade = fmin(fmin(t, shape.seconds - t) / ramp, 1.0);  // no click at either end
            float s = (float)(env * fade * sin(2.0 * M_PI * freq * t));
            for (int c = 0; c < shape.channels; c++) planes[c][i] = s;
        }
    });
    return 0;
}
