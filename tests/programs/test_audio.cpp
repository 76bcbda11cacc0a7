// What the two test-audio makers share.
#include "test_audio.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

bool takeAudioShapeOption(int c, const char* value, AudioShape* shape) {
    bool ok;
    if (c == 's') ok = cliParseDouble(value, &shape->seconds) && shape->seconds > 0;
    else if (c == 'r') ok = cliParseLong(value, &shape->rate) && shape->rate >= 8000 && shape->rate <= 192000;
    else if (c == 'c') ok = cliParseLong(value, &shape->channels) && shape->channels >= 1 && shape->channels <= 8;
    else return false;
    if (!ok) cliUsageError("--%s: out of range or not a number: '%s'",
                           c == 's' ? "seconds" : c == 'r' ? "rate" : "channels", value);
    return true;
}

void writeTestAudio(const char* path, const AudioShape& shape, float quality, int serial,
                    const FrameSource& fill) {
    FILE* out = fopen(path, "wb");
    if (!out) cliFail("cannot write %s: %s", path, strerror(errno));
    const long frames = (long)llround(shape.seconds * shape.rate);
    if (!writeVorbis(out, (int)shape.channels, shape.rate, quality, serial, nullptr, frames, fill)) {
        fclose(out);
        remove(path);
        cliFail("cannot write %s: the Vorbis encoder refuses %ld channels at %ld Hz", path,
                shape.channels, shape.rate);
    }
    if (fclose(out) != 0) {
        remove(path);
        cliFail("cannot write %s: %s", path, strerror(errno));
    }
}
