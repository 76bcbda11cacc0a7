// Output through the desktop's sound server (PulseAudio, or PipeWire serving its API): a
// libpulse playback stream on the threaded main loop whose write requests pull from the
// sound layer's ring, and whose timing says which frame is heard now.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>

#include "platform/audio_backend.h"
#include "platform/audio_format.h"

constexpr size_t frameBytes = sizeof(float) * audioChannels;
// Asked of the server as the stream's whole latency; it may give more (PULSE_LATENCY_MSEC,
// Bluetooth sinks). The clock accounts for whatever it is through the stream's timing, so
// the buffer is sized for a busy machine never to run it dry, not to be short.
constexpr pa_usec_t targetLatencyUs = 150000;

static pa_threaded_mainloop* mainloop = nullptr;
static pa_context* context = nullptr;
static pa_stream* stream = nullptr;
static AudioFeed feed;
static int sampleRate = audioRateHz;
static std::atomic<bool> hungry{false};  // a write request found the ring short
static bool draining = false;            // server thread only
static int64_t writtenFrames = 0;        // under the main loop's lock

static void signalLoop() { pa_threaded_mainloop_signal(mainloop, 0); }
static void onContextState(pa_context*, void*) { signalLoop(); }
static void onStreamState(pa_stream*, void*) { signalLoop(); }

// What is heard now, from the server's last timing report: the frames the sink has read,
// less what it still holds, plus the time since the report while the stream plays. Not
// the library's own interpolation, which also runs on while the server has not yet
// started the stream (an idle sink may take a second to wake) and then stands still.
static int64_t heardFramesLocked() {
    const pa_timing_info* ti = pa_stream_get_timing_info(stream);
    if (!ti || ti->read_index_corrupt) return -1;
    const double perUsec = sampleRate / 1e6;
    const double read = (double)ti->read_index / frameBytes;
    const double sinkUsec = (double)ti->sink_usec;
    const double ageUsec = (double)pa_timeval_age(&ti->timestamp);
    double heard = read - sinkUsec * perUsec;
    if (ti->playing) heard += ((double)ti->transport_usec + ageUsec) * perUsec;
    else heard += std::min(ageUsec, sinkUsec) * perUsec;  // what was read still sounds
    heard = std::min(heard, (double)writtenFrames);
    return heard < 0 ? 0 : (int64_t)heard;
}

static void onHeardEnd(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void*) {
    api->time_free(e);
    feed.heardEnd();
}

// The server has taken every frame; the last of them sound once the sink has played them.
static void onDrained(pa_stream*, int, void*) {
    const int64_t heard = heardFramesLocked();
    const int64_t left = heard < 0 ? 0 : writtenFrames - heard;
    const pa_usec_t wait = (pa_usec_t)(left * 1000000 / sampleRate);
    pa_context_rttime_new(context, pa_rtclock_now() + wait, onHeardEnd, nullptr);
}

static void startDrain() {
    if (draining) return;
    draining = true;
    if (pa_operation* o = pa_stream_drain(stream, onDrained, nullptr)) pa_operation_unref(o);
}

// Writes up to `bytes` of the song; runs with the main loop's lock held.
static void writeFrames(size_t bytes) {
    while (bytes >= frameBytes) {
        void* data = nullptr;
        size_t room = bytes;
        if (pa_stream_begin_write(stream, &data, &room) < 0 || !data) return;
        const int frames = (int)(room / frameBytes);
        const int got = frames > 0 ? feed.pull((float*)data, frames) : 0;
        if (got > 0) {
            pa_stream_write(stream, data, (size_t)got * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
            writtenFrames += got;
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

static void closeAll() {
    if (mainloop) pa_threaded_mainloop_stop(mainloop);
    if (stream) pa_stream_unref(stream);
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    if (mainloop) pa_threaded_mainloop_free(mainloop);
    stream = nullptr;
    context = nullptr;
    mainloop = nullptr;
}

// Connects to a running server (never starts one); false, quietly, when none answers.
static bool openPulse(int rate, const AudioFeed& f) {
    feed = f;
    sampleRate = rate;
    mainloop = pa_threaded_mainloop_new();
    if (!mainloop) return false;
    context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "xOOn 2009");
    if (!context) {
        closeAll();
        return false;
    }
    pa_context_set_state_callback(context, onContextState, nullptr);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(mainloop) < 0) {
        closeAll();
        return false;
    }
    pa_threaded_mainloop_lock(mainloop);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
        pa_threaded_mainloop_wait(mainloop);
    bool ok = state == PA_CONTEXT_READY;
    const pa_sample_spec spec = {PA_SAMPLE_FLOAT32NE, (uint32_t)rate, audioChannels};
    if (ok) {
        stream = pa_stream_new(context, "song", &spec, nullptr);
        ok = stream != nullptr;
    }
    if (ok) {
        pa_stream_set_state_callback(stream, onStreamState, nullptr);
        pa_stream_set_write_callback(stream, onWrite, nullptr);
        pa_buffer_attr attr;
        attr.maxlength = (uint32_t)-1;
        attr.tlength = (uint32_t)pa_usec_to_bytes(targetLatencyUs, &spec);
        attr.prebuf = (uint32_t)-1;
        attr.minreq = (uint32_t)-1;
        attr.fragsize = (uint32_t)-1;
        const pa_stream_flags_t flags = (pa_stream_flags_t)(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY |
            PA_STREAM_START_CORKED);
        ok = pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) == 0;
    }
    if (ok) {
        pa_stream_state_t s;
        while ((s = pa_stream_get_state(stream)) != PA_STREAM_READY && PA_STREAM_IS_GOOD(s))
            pa_threaded_mainloop_wait(mainloop);
        ok = s == PA_STREAM_READY;
    }
    pa_threaded_mainloop_unlock(mainloop);
    if (!ok) closeAll();
    return ok;
}

static void startPulse() {
    pa_threaded_mainloop_lock(mainloop);
    const size_t writable = pa_stream_writable_size(stream);
    if (writable != (size_t)-1 && writable > 0) writeFrames(writable);
    if (pa_operation* o = pa_stream_cork(stream, 0, nullptr, nullptr)) pa_operation_unref(o);
    pa_threaded_mainloop_unlock(mainloop);
}

static void kickPulse() {
    if (!stream || !hungry.exchange(false)) return;
    pa_threaded_mainloop_lock(mainloop);
    const size_t writable = pa_stream_writable_size(stream);
    if (writable != (size_t)-1 && writable > 0) writeFrames(writable);
    pa_threaded_mainloop_unlock(mainloop);
}

// -1 until the server's first timing report.
static int64_t pulseHeardFrames() {
    pa_threaded_mainloop_lock(mainloop);
    const int64_t heard = heardFramesLocked();
    pa_threaded_mainloop_unlock(mainloop);
    return heard;
}

static const char* pulseName() { return "pulse"; }

const AudioBackend pulseBackend = {openPulse, startPulse, kickPulse, pulseHeardFrames, pulseName};
