// Output through the desktop's sound server (PulseAudio, or PipeWire serving its API): a
// libpulse playback stream on the threaded main loop whose write requests pull from the
// sound layer's ring, and whose timing says which frame is heard now. A server that dies,
// drops us or fails the stream costs the sound, never the clock: it runs on from the last
// frame heard on the monotonic clock while we connect again, and the sound comes back at
// the frame the clock has reached.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cli/cli.h"
#include "platform/audio_backend.h"
#include "platform/audio_format.h"

constexpr size_t frameBytes = sizeof(float) * audioChannels;
// Asked of the server as the stream's whole latency; it may give more (PULSE_LATENCY_MSEC,
// Bluetooth sinks). The clock accounts for whatever it is through the stream's timing, so
// the buffer is sized for a busy machine never to run it dry, not to be short.
constexpr pa_usec_t targetLatencyUs = 150000;
// Without a server: the song is taken from the ring at the clock's pace this often, and
// connecting again is tried after these waits, doubling.
constexpr int lostStepMs = 10;
constexpr int firstRetryMs = 250;
constexpr int longestRetryMs = 2000;

static pa_threaded_mainloop* mainloop = nullptr;
static pa_context* context = nullptr;
static pa_stream* stream = nullptr;
static AudioFeed feed;
static int sampleRate = audioRateHz;
static std::atomic<bool> hungry{false};  // a write request found the ring short
// Under the main loop's lock: a stream that plays (its end is ours to notice), whether it
// drains, and where its first frame stands on the timeline.
static bool connected = false;
static bool draining = false;
static int64_t baseFrames = 0;     // timeline frame of this stream's first frame
static int64_t streamFrames = 0;   // frames written to this stream
static bool holding = false;       // paused by the player
// A stream of a server come back, fed silence until it is heard to play: only then is it
// known which frame of the song its next write will sound at.
static bool rejoining = false;

// While the server is away, under lostLock: the clock from the last frame heard on, and
// every frame taken from the ring so far (timeline frames: what a stream to come starts at).
// Never destroyed: the thread that keeps time still waits on them as the process exits.
static std::mutex& lostLock = *new std::mutex;
static std::condition_variable& lostChanged = *new std::condition_variable;
static std::atomic<bool> lost{false};
static int64_t pulledFrames = 0;
static int64_t lostHeard = 0;                                  // frames heard when last counted
static std::chrono::steady_clock::time_point lostCountedAt;   // and when
static bool lostRunning = false;                               // the clock moves (not paused)

static void signalLoop() { pa_threaded_mainloop_signal(mainloop, 0); }

static int64_t lostHeardNow() {
    if (!lostRunning) return lostHeard;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - lostCountedAt).count();
    return lostHeard + (int64_t)(seconds * sampleRate);
}

// What is heard now, from the server's last timing report: the frames the sink has read,
// less what it still holds, plus the time since the report while the stream plays. Not
// the library's own interpolation, which also runs on while the server has not yet
// started the stream (an idle sink may take a second to wake) and then stands still.
static int64_t streamHeardLocked(bool* playing = nullptr) {
    const pa_timing_info* ti = stream ? pa_stream_get_timing_info(stream) : nullptr;
    if (!ti || ti->read_index_corrupt) return -1;
    const double perUsec = sampleRate / 1e6;
    const double read = (double)ti->read_index / frameBytes;
    const double sinkUsec = (double)ti->sink_usec;
    const double ageUsec = (double)pa_timeval_age(&ti->timestamp);
    double heard = read - sinkUsec * perUsec;
    if (ti->playing) heard += ((double)ti->transport_usec + ageUsec) * perUsec;
    else heard += std::min(ageUsec, sinkUsec) * perUsec;  // what was read still sounds
    heard = std::min(heard, (double)streamFrames);
    if (playing) *playing = ti->playing;
    return heard < 0 ? 0 : (int64_t)heard;
}

static int64_t heardFramesLocked() {
    const int64_t heard = streamHeardLocked();
    if (heard < 0) return baseFrames > 0 ? baseFrames : -1;
    return baseFrames + heard;
}

// The server or the stream failed (main loop thread, lock held): the clock goes on alone.
static void loseServer() {
    if (!connected) return;
    connected = false;
    if (rejoining) {  // the clock runs alone still
        rejoining = false;
        return;
    }
    const int64_t heard = std::max<int64_t>(0, heardFramesLocked());
    std::lock_guard<std::mutex> hold(lostLock);
    lostHeard = heard;
    lostCountedAt = std::chrono::steady_clock::now();
    lostRunning = !holding;
    lost.store(true);
    lostChanged.notify_all();
}

static void onContextState(pa_context* c, void*) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)) && c == context) loseServer();
    signalLoop();
}
static void onStreamState(pa_stream* s, void*) {
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)) && s == stream) loseServer();
    signalLoop();
}
// Another sink (headphones plugged in, a Bluetooth sink): its latency, read at once.
static void onMoved(pa_stream* s, void*) {
    if (pa_operation* o = pa_stream_update_timing_info(s, nullptr, nullptr)) pa_operation_unref(o);
}

static void onHeardEnd(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void*) {
    api->time_free(e);
    feed.heardEnd();
}

// The server has taken every frame; the last of them sound once the sink has played them.
static void onDrained(pa_stream*, int, void*) {
    if (!connected) return;  // the clock that runs alone notices the end
    const int64_t heard = heardFramesLocked();
    const int64_t left = heard < 0 ? 0 : baseFrames + streamFrames - heard;
    const pa_usec_t wait = (pa_usec_t)(left * 1000000 / sampleRate);
    pa_context_rttime_new(context, pa_rtclock_now() + wait, onHeardEnd, nullptr);
}

static void startDrain() {
    if (draining) return;
    draining = true;
    if (pa_operation* o = pa_stream_drain(stream, onDrained, nullptr)) pa_operation_unref(o);
}

static int pullCounted(float* out, int frames) {
    const int got = feed.pull(out, frames);
    std::lock_guard<std::mutex> hold(lostLock);
    pulledFrames += got;
    return got;
}

// Silence while a stream rejoins: it plays, and is not yet the song.
static void writeSilence(size_t bytes) {
    void* data = nullptr;
    size_t room = bytes / frameBytes * frameBytes;
    if (room == 0 || pa_stream_begin_write(stream, &data, &room) < 0 || !data) return;
    memset(data, 0, room);
    pa_stream_write(stream, data, room, nullptr, 0, PA_SEEK_RELATIVE);
    streamFrames += (int64_t)(room / frameBytes);
}

// Writes up to `bytes` of the song; runs with the main loop's lock held.
static void writeFrames(size_t bytes) {
    if (connected && rejoining) {
        writeSilence(bytes);
        return;
    }
    while (connected && bytes >= frameBytes) {
        void* data = nullptr;
        size_t room = bytes;
        if (pa_stream_begin_write(stream, &data, &room) < 0 || !data) return;
        const int frames = (int)(room / frameBytes);
        const int got = frames > 0 ? pullCounted((float*)data, frames) : 0;
        if (got > 0) {
            pa_stream_write(stream, data, (size_t)got * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
            streamFrames += got;
        } else {
            pa_stream_cancel_write(stream);
        }
        if (got < frames) {
            // Never silence in the song's place: the clock counts what the server plays.
            if (feed.songPulled()) startDrain();
            else hungry.store(true);
            return;
        }
        bytes -= (size_t)got * frameBytes;
    }
}

static void onWrite(pa_stream*, size_t bytes, void*) { writeFrames(bytes); }

static void dropConnection() {
    if (stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
    }
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    stream = nullptr;
    context = nullptr;
}

// A context and a corked stream on the running main loop (lock held); false, quietly,
// when no server answers or it refuses the stream.
static bool connectStream() {
    context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "xOOn 2009");
    if (!context) return false;
    pa_context_set_state_callback(context, onContextState, nullptr);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    pa_context_state_t state;
    while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
        pa_threaded_mainloop_wait(mainloop);
    if (state != PA_CONTEXT_READY) return false;
    const pa_sample_spec spec = {PA_SAMPLE_FLOAT32NE, (uint32_t)sampleRate, audioChannels};
    stream = pa_stream_new(context, "song", &spec, nullptr);
    if (!stream) return false;
    pa_stream_set_state_callback(stream, onStreamState, nullptr);
    pa_stream_set_write_callback(stream, onWrite, nullptr);
    pa_stream_set_moved_callback(stream, onMoved, nullptr);
    pa_buffer_attr attr;
    attr.maxlength = (uint32_t)-1;
    attr.tlength = (uint32_t)pa_usec_to_bytes(targetLatencyUs, &spec);
    attr.prebuf = (uint32_t)-1;
    attr.minreq = (uint32_t)-1;
    attr.fragsize = (uint32_t)-1;
    const pa_stream_flags_t flags = (pa_stream_flags_t)(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY |
        PA_STREAM_START_CORKED);
    if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) != 0) return false;
    pa_stream_state_t s;
    while ((s = pa_stream_get_state(stream)) != PA_STREAM_READY && PA_STREAM_IS_GOOD(s))
        pa_threaded_mainloop_wait(mainloop);
    return s == PA_STREAM_READY;
}

static void cork(bool corked) {
    if (pa_operation* o = pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr)) pa_operation_unref(o);
}

// Fills the corked stream's buffer and lets it play unless the player holds it.
static void startStream() {
    const size_t writable = pa_stream_writable_size(stream);
    if (writable != (size_t)-1 && writable > 0) writeFrames(writable);
    if (!holding) cork(false);
}

// A server is back: a new stream, fed silence until it is heard to play (a waking sink may
// take a second); the clock runs alone meanwhile.
static bool reconnect() {
    pa_threaded_mainloop_lock(mainloop);
    dropConnection();
    const bool ok = connectStream();
    if (ok) {
        baseFrames = 0;
        streamFrames = 0;
        draining = false;
        rejoining = true;
        connected = true;
        startStream();
    } else {
        dropConnection();
    }
    pa_threaded_mainloop_unlock(mainloop);
    return ok;
}

// Once the rejoining stream is heard to play, its next frame written sounds at a known
// place on the clock: the song goes on from there, and the clock follows the stream again
// without a step.
static void joinWhenPlaying() {
    pa_threaded_mainloop_lock(mainloop);
    bool playing = false;
    const int64_t heard = connected && rejoining ? streamHeardLocked(&playing) : -1;
    if (heard > 0 && playing) {
        std::lock_guard<std::mutex> hold(lostLock);
        const int64_t due = lostHeardNow() + (streamFrames - heard);
        while (pulledFrames < due) {
            const int got = feed.pull(nullptr, (int)std::min<int64_t>(due - pulledFrames, 1 << 20));
            if (got == 0) break;
            pulledFrames += got;
        }
        baseFrames = pulledFrames - streamFrames;
        rejoining = false;
        lost.store(false);
    }
    pa_threaded_mainloop_unlock(mainloop);
}

// Without a server: takes the song from the ring at the clock's pace, says when it has
// been heard to its end, and connects again, waiting longer after each failure.
static void keepTime() {
    int retryMs = firstRetryMs;
    auto nextTry = std::chrono::steady_clock::now();
    for (;;) {
        std::unique_lock<std::mutex> hold(lostLock);
        if (!lost.load()) {
            lostChanged.wait(hold, [] { return lost.load(); });
            cliWarn("the sound server went away; the show goes on and the sound comes back with it");
            retryMs = firstRetryMs;
            nextTry = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
        }
        const int64_t due = lostHeardNow();
        while (pulledFrames < due) {
            const int got = feed.pull(nullptr, (int)std::min<int64_t>(due - pulledFrames, 1 << 20));
            if (got == 0) break;
            pulledFrames += got;
        }
        const bool ended = feed.songPulled() && due >= pulledFrames;
        hold.unlock();
        if (ended) {
            feed.heardEnd();
            return;
        }
        pa_threaded_mainloop_lock(mainloop);
        const bool streamThere = connected;
        pa_threaded_mainloop_unlock(mainloop);
        if (streamThere) {
            joinWhenPlaying();
        } else if (std::chrono::steady_clock::now() >= nextTry && !feed.songPulled()) {
            if (reconnect()) continue;
            retryMs = std::min(retryMs * 2, longestRetryMs);
            nextTry = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(lostStepMs));
    }
}

// Connects to a running server (never starts one); false, quietly, when none answers.
static bool openPulse(int rate, const AudioFeed& f) {
    feed = f;
    sampleRate = rate;
    mainloop = pa_threaded_mainloop_new();
    if (!mainloop) return false;
    if (pa_threaded_mainloop_start(mainloop) < 0) {
        pa_threaded_mainloop_free(mainloop);
        mainloop = nullptr;
        return false;
    }
    pa_threaded_mainloop_lock(mainloop);
    const bool ok = connectStream();
    if (!ok) dropConnection();
    pa_threaded_mainloop_unlock(mainloop);
    if (!ok) {
        pa_threaded_mainloop_stop(mainloop);
        pa_threaded_mainloop_free(mainloop);
        mainloop = nullptr;
        return false;
    }
    connected = true;
    std::thread(keepTime).detach();
    return true;
}

static void startPulse() {
    pa_threaded_mainloop_lock(mainloop);
    if (connected) startStream();
    pa_threaded_mainloop_unlock(mainloop);
}

static void kickPulse() {
    if (lost.load() || !hungry.exchange(false)) return;
    pa_threaded_mainloop_lock(mainloop);
    const size_t writable = connected ? pa_stream_writable_size(stream) : (size_t)-1;
    if (writable != (size_t)-1 && writable > 0) writeFrames(writable);
    pa_threaded_mainloop_unlock(mainloop);
}

// -1 until the server's first timing report.
static int64_t pulseHeardFrames() {
    {
        std::lock_guard<std::mutex> hold(lostLock);
        if (lost.load()) return lostHeardNow();
    }
    pa_threaded_mainloop_lock(mainloop);
    const int64_t heard = heardFramesLocked();
    pa_threaded_mainloop_unlock(mainloop);
    return heard;
}

static void pausePulse(bool pause) {
    pa_threaded_mainloop_lock(mainloop);
    holding = pause;
    {
        std::lock_guard<std::mutex> hold(lostLock);
        if (lost.load() && lostRunning == pause) {
            lostHeard = lostHeardNow();
            lostCountedAt = std::chrono::steady_clock::now();
            lostRunning = !pause;
        }
    }
    if (connected) cork(pause);
    pa_threaded_mainloop_unlock(mainloop);
}

static const char* pulseName() { return "pulse"; }

const AudioBackend pulseBackend = {openPulse, startPulse, kickPulse, pulseHeardFrames, pausePulse,
                                   pulseName};
