// What the two test-audio makers share: the audio's shape from the command line, and the
// Ogg Vorbis file written whole or not at all.
#pragma once
#include "cli/cli.h"
#include "programs/xoon-compose/vorbis_writer.h"

struct AudioShape {
    double seconds;
    long rate;      // samples per second, 8000 to 192000
    long channels;  // 1 to 8
};

// Takes option c's value into the shape when it is one of the shape's options (true): the
// long options --seconds ('s'), --rate ('r') and --channels ('c'). A bad value is a usage
// error.
bool takeAudioShapeOption(int c, const char* value, AudioShape* shape);

// Writes the audio to path, failing (one line, status 1) when it cannot; nothing is left
// behind then.
void writeTestAudio(const char* path, const AudioShape& shape, float quality, int serial,
                    const FrameSource& fill);
