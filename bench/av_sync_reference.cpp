// av-sync-reference: a window that flashes white when the sound server says its own click is heard.
//
// The end-to-end sync benchmark records it beside the show: its picture minus sound is the
// recorder's own offset (screen grab against sound capture), taken off the show's figure.
// It trusts libpulse's own interpolated stream time (pa_stream_get_time), nothing of ours.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <getopt.h>
#include <pulse/pulseaudio.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

constexpr int sampleRate = 44100;
constexpr int defaultPeriodMs = 511;     // between clicks: no multiple of the 20-ms grab period
constexpr int defaultLatencyMs = 40;     // asked of the server for the stream
constexpr int flashMs = 150;             // white this long, then black until the next click
constexpr int clickMs = 5;               // a square burst with a sharp first edge
constexpr int clickHalfWaveFrames = 11;  // about 2 kHz
constexpr float clickLevel = 0.5f;
constexpr int pollMs = 1;                // how often the heard position is asked
constexpr int defaultSide = 32;          // window side in pixels
constexpr const char* caption = "av-sync reference";

static const char* program = "av-sync-reference";
static volatile sig_atomic_t stopRequested = 0;

static pa_threaded_mainloop* mainloop = nullptr;
static pa_context* context = nullptr;
static pa_stream* stream = nullptr;
static int64_t periodFrames = 0;
static int64_t writtenFrames = 0;  // server thread only

static void usage(FILE* out) {
    fprintf(out,
            "Usage: %s [OPTIONS]\n"
            "A window that flashes white when the sound server reports that its own click is\n"
            "heard; one click every --period ms on the sound channel chosen.\n"
            "  --at X,Y           window position on the screen (default 0,0)\n"
            "  --side N           window side in pixels (default %d)\n"
            "  --period MS        time between clicks (default %d)\n"
            "  --latency MS       latency asked of the server for the stream (default %d)\n"
            "  --channel NAME     the click's channel, a PulseAudio position name (default front-center)\n"
            "  --seconds S        stop after S seconds (default: at SIGTERM or SIGINT)\n"
            "  --help             this text\n",
            program, defaultSide, defaultPeriodMs, defaultLatencyMs);
}

[[noreturn]] static void fail(const char* what, const char* why) {
    fprintf(stderr, "%s: %s: %s\n", program, what, why);
    exit(1);
}

static void onStop(int) { stopRequested = 1; }

static void signalLoop() { pa_threaded_mainloop_signal(mainloop, 0); }
static void onContextState(pa_context*, void*) { signalLoop(); }
static void onStreamState(pa_stream*, void*) { signalLoop(); }

// Silence with a click starting at every multiple of the period (from the first period on).
static float sampleAt(int64_t frame) {
    const int64_t intoPeriod = frame % periodFrames;
    if (frame < periodFrames || intoPeriod >= (int64_t)sampleRate * clickMs / 1000) return 0.0f;
    return (intoPeriod / clickHalfWaveFrames) % 2 == 0 ? clickLevel : -clickLevel;
}

static void onWrite(pa_stream* s, size_t bytes, void*) {
    void* data = nullptr;
    size_t room = bytes;
    if (pa_stream_begin_write(s, &data, &room) < 0 || !data) return;
    float* out = (float*)data;
    const size_t frames = room / sizeof(float);
    for (size_t i = 0; i < frames; i++) out[i] = sampleAt(writtenFrames + (int64_t)i);
    pa_stream_write(s, data, frames * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    writtenFrames += (int64_t)frames;
}

static void openSound(int latencyMs, const char* channelName) {
    pa_channel_map map;
    pa_channel_map_init(&map);
    map.channels = 1;
    map.map[0] = pa_channel_position_from_string(channelName);
    if (map.map[0] == PA_CHANNEL_POSITION_INVALID) fail(channelName, "not a channel position");
    mainloop = pa_threaded_mainloop_new();
    if (!mainloop) fail("sound server", "no main loop");
    context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), caption);
    if (!context) fail("sound server", "no context");
    pa_context_set_state_callback(context, onContextState, nullptr);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        fail("sound server", pa_strerror(pa_context_errno(context)));
    if (pa_threaded_mainloop_start(mainloop) < 0) fail("sound server", "main loop did not start");
    pa_threaded_mainloop_lock(mainloop);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
        pa_threaded_mainloop_wait(mainloop);
    if (state != PA_CONTEXT_READY) fail("sound server", pa_strerror(pa_context_errno(context)));
    const pa_sample_spec spec = {PA_SAMPLE_FLOAT32NE, (uint32_t)sampleRate, 1};
    stream = pa_stream_new(context, "clicks", &spec, &map);
    if (!stream) fail("sound stream", pa_strerror(pa_context_errno(context)));
    pa_stream_set_state_callback(stream, onStreamState, nullptr);
    pa_stream_set_write_callback(stream, onWrite, nullptr);
    pa_buffer_attr attr;
    attr.maxlength = (uint32_t)-1;
    attr.tlength = (uint32_t)pa_usec_to_bytes((pa_usec_t)latencyMs * 1000, &spec);
    attr.prebuf = (uint32_t)-1;
    attr.minreq = (uint32_t)-1;
    attr.fragsize = (uint32_t)-1;
    const pa_stream_flags_t flags = (pa_stream_flags_t)(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
        fail("sound stream", pa_strerror(pa_context_errno(context)));
    pa_stream_state_t s;
    while ((s = pa_stream_get_state(stream)) != PA_STREAM_READY && PA_STREAM_IS_GOOD(s))
        pa_threaded_mainloop_wait(mainloop);
    if (s != PA_STREAM_READY) fail("sound stream", pa_strerror(pa_context_errno(context)));
    pa_threaded_mainloop_unlock(mainloop);
}

// Frames of the stream heard by now, as libpulse interpolates them; -1 before the first update.
static int64_t heardFrames() {
    pa_usec_t usec = 0;
    pa_threaded_mainloop_lock(mainloop);
    const int got = pa_stream_get_time(stream, &usec);
    pa_threaded_mainloop_unlock(mainloop);
    return got < 0 ? -1 : (int64_t)(usec * sampleRate / 1000000);
}

static bool parsePair(const char* text, int* a, int* b) {
    char tail = 0;
    return sscanf(text, "%d,%d%c", a, b, &tail) == 2;
}

static bool parseNumber(const char* text, int low, int* value) {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (!*text || *end || v < low || v > 1000000) return false;
    *value = (int)v;
    return true;
}

int main(int argc, char** argv) {
    int x = 0, y = 0, side = defaultSide, periodMs = defaultPeriodMs, latencyMs = defaultLatencyMs;
    int seconds = 0;
    const char* channelName = "front-center";
    const option options[] = {{"at", required_argument, nullptr, 'a'},
                              {"side", required_argument, nullptr, 's'},
                              {"period", required_argument, nullptr, 'p'},
                              {"latency", required_argument, nullptr, 'l'},
                              {"channel", required_argument, nullptr, 'c'},
                              {"seconds", required_argument, nullptr, 't'},
                              {"help", no_argument, nullptr, 'h'},
                              {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        bool ok = true;
        switch (opt) {
        case 'a': ok = parsePair(optarg, &x, &y); break;
        case 's': ok = parseNumber(optarg, 1, &side); break;
        case 'p': ok = parseNumber(optarg, 2 * flashMs, &periodMs); break;
        case 'l': ok = parseNumber(optarg, 1, &latencyMs); break;
        case 'c': channelName = optarg; break;
        case 't': ok = parseNumber(optarg, 1, &seconds); break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
        if (!ok) {
            const option* o = options;
            while (o->name && o->val != opt) o++;
            fprintf(stderr, "%s: bad value for --%s: %s\n", program, o->name, optarg);
            usage(stderr);
            return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    periodFrames = (int64_t)periodMs * sampleRate / 1000;

    Display* display = XOpenDisplay(nullptr);
    if (!display) fail("X display", "cannot open it (is DISPLAY set?)");
    const int screen = DefaultScreen(display);
    const unsigned long black = BlackPixel(display, screen), white = WhitePixel(display, screen);
    const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), x, y,
                                              (unsigned)side, (unsigned)side, 0, black, black);
    XStoreName(display, window, caption);
    // Without a window manager the position asked is the one given; with one, ask for it.
    XSizeHints hints;
    memset(&hints, 0, sizeof hints);
    hints.flags = USPosition | PPosition;
    hints.x = x;
    hints.y = y;
    XSetWMNormalHints(display, window, &hints);
    XMapWindow(display, window);
    const GC gc = XCreateGC(display, window, 0, nullptr);
    XSync(display, False);

    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);
    openSound(latencyMs, channelName);

    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    int64_t nextClick = periodFrames;
    int64_t flashEnds = -1;
    const int64_t flashFrames = (int64_t)flashMs * sampleRate / 1000;
    while (!stopRequested) {
        const int64_t heard = heardFrames();
        if (heard >= nextClick) {
            XSetForeground(display, gc, white);
            XFillRectangle(display, window, gc, 0, 0, (unsigned)side, (unsigned)side);
            XSync(display, False);
            flashEnds = nextClick + flashFrames;
            while (nextClick <= heard) nextClick += periodFrames;
        } else if (flashEnds >= 0 && heard >= flashEnds) {
            XSetForeground(display, gc, black);
            XFillRectangle(display, window, gc, 0, 0, (unsigned)side, (unsigned)side);
            XSync(display, False);
            flashEnds = -1;
        }
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
        }
        if (seconds > 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - started.tv_sec >= seconds) break;
        }
        const timespec nap = {0, pollMs * 1000000L};
        nanosleep(&nap, nullptr);
    }
    pa_threaded_mainloop_stop(mainloop);
    XCloseDisplay(display);
    return 0;
}
