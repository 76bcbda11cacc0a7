// The player on an album, for bench/player-album. Two modes:
//   bench_album play FOLDER        plays it in this process (xoon-play --window FOLDER) and
//                                  prints how long it ran and, for each song after the
//                                  first, when the particles of its first onsets were
//                                  launched against when the song starts;
//   bench_album seek FOLDER SONG S T   plays the one song from its start to S s heard,
//                                  then seeks (the Right key, T - S = 10 s) and prints the
//                                  particles in the air at the first frame heard at T: how
//                                  many land on the song's onsets after T; with S = T, the
//                                  same at T reached by plain playing, to compare;
//   bench_album compare REC SONG.. compares a recording of what the output played (raw
//                                  float stereo at 44.1 kHz) with the songs decoded one
//                                  after another by our decoder: the samples, end to end.
#include <SDL.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio_format.h"
#include "platform/decoder.h"
#include "programs/xoon-play/player.h"
#include "programs/xoon-play/player_songs.h"
#include "programs/xoon-play/timeline.h"
#include "score/score.h"
#include "show/particles.h"
#include "show/tick.h"
#include "show/show.h"

static std::vector<float> decodeSong(const char* path) {
    std::string error;
    AudioDecoder* d = openAudioDecoder(path, audioRateHz, audioChannels, &error);
    if (!d) {
        fprintf(stderr, "%s: %s\n", path, error.c_str());
        exit(1);
    }
    std::vector<float> samples;
    float chunk[4096 * audioChannels];
    for (int got; (got = readAudioFrames(d, chunk, 4096)) > 0;) samples.insert(samples.end(), chunk, chunk + got * audioChannels);
    closeAudioDecoder(d);
    return samples;
}

struct Launch {
    int32_t tick, landing;
};
static std::vector<Launch> launches;
static void noteLaunch(int32_t slot, float, float, int32_t flightMs) {
    if (slot >= 0) launches.push_back({nextTick(), nextTick() + flightMs});
}

static int play(int songCount, char** songs, const char* folder) {
    // The songs' starts on the timeline: after the lead-in, one after another.
    std::vector<double> starts;
    double at = songLeadInMs;
    for (int i = 0; i < songCount; i++) {
        starts.push_back(at);
        at += decodeSong(songs[i]).size() / audioChannels * 1000.0 / audioRateHz;
    }
    launches.reserve(1 << 20);
    setLaunchObserver(noteLaunch);
    char* argv[] = {(char*)"xoon-play", (char*)"--window", (char*)folder, nullptr};
    const auto begin = std::chrono::steady_clock::now();
    startPlayer(parsePlayerOptions(3, argv));
    while (runPlayerIteration()) {
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    printf("played %d songs (%.3f s of music and a %.0f-s lead-in) in %.2f s from start-up to the end\n", songCount,
           (at - songLeadInMs) / 1000, songLeadInMs / 1000.0, seconds);
    for (int i = 1; i < songCount; i++) {
        // The first particle to land at or after the song's start, and when it left.
        const Launch* first = nullptr;
        for (const Launch& l : launches)
            if (l.landing >= starts[i] && (!first || l.landing < first->landing)) first = &l;
        if (!first) {
            printf("song %d (starts at %.0f ms): no particle\n", i + 1, starts[i]);
            continue;
        }
        printf("song %d starts at %.0f ms: its first particles land at %d ms, launched at %d ms (%.0f ms before the song)\n",
               i + 1, starts[i], first->landing, first->tick, starts[i] - first->tick);
    }
    return 0;
}

// Each slot's landing time on the timeline, from its last launch.
static int32_t landing[particleSlotCount];
static void noteSlot(int32_t slot, float, float, int32_t flightMs) {
    if (slot >= 0) landing[slot] = nextTick() + flightMs;
}

static int seek(const char* folder, const char* song, double fromS, double toS) {
    std::string error;
    std::vector<OnsetFrame> table;
    if (!scoreFile(song, 0, &table, &error)) {
        fprintf(stderr, "%s: %s\n", song, error.c_str());
        return 1;
    }
    setLaunchObserver(noteSlot);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    char* argv[] = {(char*)"xoon-play", (char*)"--window", (char*)folder, nullptr};
    startPlayer(parsePlayerOptions(3, argv));
    while (songPositionMs() < fromS * 1000 && runPlayerIteration()) {
    }
    const bool seeking = toS > fromS;
    if (seeking) {
        SDL_Event e{};
        e.type = e.key.type = SDL_KEYDOWN;
        e.key.keysym.sym = SDLK_RIGHT;
        SDL_PushEvent(&e);
        while (timelineLast()->from == 0 && runPlayerIteration()) {
        }
    }
    // The timeline ms at which the song stands at toS: where the seek's sound starts.
    const Segment* at = timelineLast();
    const int32_t atMs = (int32_t)(at->start * 1000 / audioRateHz) + (int32_t)(toS * 1000) - (int32_t)(at->from * 1000 / audioRateHz);
    while (showSoundPosition() < atMs && runPlayerIteration()) {
    }
    runPlayerIteration();  // the first frame drawn there
    int live = 0, ahead = 0, onOnset = 0;
    for (int i = 0; i < particleSlotCount; i++) {
        if (particleSlot(i).life == 0) continue;
        live++;
        if (landing[i] < atMs) continue;
        ahead++;
        const int32_t songMs = landing[i] - atMs + (int32_t)(toS * 1000);
        for (const OnsetFrame& r : table)
            if (songMs >= r.timeMs && songMs - r.timeMs <= 2 * tickMs) {  // a tick's rounding, twice
                onOnset++;
                break;
            }
    }
    printf("%s to %.0f s: at the first frame heard there, %d particles in the air, %d of them landing from there on, "
           "%d of those on an onset of the song (within two ticks)\n",
           seeking ? "sought" : "played", toS, live, ahead, onOnset);
    return 0;
}

static int compare(const char* recording, int songCount, char** songs) {
    std::vector<float> expected;
    for (int i = 0; i < songCount; i++) {
        const std::vector<float> s = decodeSong(songs[i]);
        expected.insert(expected.end(), s.begin(), s.end());
    }
    FILE* f = fopen(recording, "rb");
    if (!f) {
        perror(recording);
        return 1;
    }
    std::vector<float> got;
    float buffer[8192];
    for (size_t n; (n = fread(buffer, sizeof(float), 8192, f)) > 0;) got.insert(got.end(), buffer, buffer + n);
    fclose(f);
    const size_t frames = expected.size() / audioChannels, recorded = got.size() / audioChannels;
    // Where the songs begin in the recording: the offset that matches their first second best.
    auto firstSound = [](const std::vector<float>& v) {
        for (size_t i = 0; i < v.size(); i++)
            if (std::fabs(v[i]) > 1e-3f) return i / audioChannels;
        return v.size();
    };
    const size_t guess = firstSound(got) - firstSound(expected);
    size_t best = guess;
    double bestError = 1e300;
    for (long shift = -2000; shift <= 2000; shift++) {
        const long offset = (long)guess + shift;
        if (offset < 0 || (size_t)offset + audioRateHz > recorded) continue;
        double e = 0;
        for (size_t i = 0; i < (size_t)audioRateHz * audioChannels; i++) {
            const double d = got[offset * audioChannels + i] - expected[i];
            e += d * d;
        }
        if (e < bestError) bestError = e, best = (size_t)offset;
    }
    double largest = 0;
    size_t differing = 0, compared = 0;
    for (size_t i = 0; i < frames * audioChannels && best * audioChannels + i < got.size(); i++, compared++) {
        const double d = std::fabs(got[best * audioChannels + i] - expected[i]);
        if (d > 1e-6) differing++;
        if (d > largest) largest = d;
    }
    compared /= audioChannels;
    printf("songs decoded: %zu frames (%.3f s); recording: %zu frames; the songs begin at its frame %zu (%.3f s)\n",
           frames, (double)frames / audioRateHz, recorded, best, (double)best / audioRateHz);
    printf("compared %zu frames end to end: %zu samples differ by more than 1e-6, the largest difference %.3g\n",
           compared, differing, largest);
    printf("%s\n", compared == frames && differing == 0 ? "the output played the songs' samples exactly, nothing lost, nothing added between them"
                                                         : "the output did NOT play the songs' samples exactly");
    return compared == frames && differing == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "play") == 0) return play(argc - 3, argv + 3, argv[2]);
    if (argc == 6 && strcmp(argv[1], "seek") == 0) return seek(argv[2], argv[3], atof(argv[4]), atof(argv[5]));
    if (argc >= 4 && strcmp(argv[1], "compare") == 0) return compare(argv[2], argc - 3, argv + 3);
    fprintf(stderr, "Usage: bench_album play FOLDER SONG... | compare RECORDING SONG...\n");
    return 2;
}
