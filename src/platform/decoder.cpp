// Streams any audio file through FFmpeg: demux, decode, and convert with libswresample to
// interleaved float frames at the rate and channel count the caller asked for.
#include "platform/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

constexpr int ioBufferBytes = 32768;    // memory input: bytes handed to the demuxer at a time
constexpr int sliceFrames = 4096;       // decoded frames converted at a time: bounds the staging
constexpr int stagingSpareFrames = 256;  // room for the resampler's filter tail

struct MemoryInput {
    const uint8_t* bytes;
    size_t size;
    size_t at;
};

struct AudioDecoder {
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;  // memory input only
    MemoryInput memory = {nullptr, 0, 0};
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* resampler = nullptr;
    int stream = -1;
    int outRate = 0, outChannels = 0;
    double durationSeconds = 0;

    // What the resampler was set up for: a frame that differs needs a new one.
    int inRate = 0, inFormat = -1;
    AVChannelLayout inLayout = {};

    int frameUsed = 0;        // samples of frame already converted
    bool haveFrame = false;
    bool demuxDone = false;   // the decoder has been sent its end
    bool decodeDone = false;  // and has given its last frame
    bool flushed = false;     // the resampler's tail is out too
    int64_t skipFrames = 0;   // converted frames still to drop: a seek's way to its frame

    float* staging = nullptr;  // converted frames not yet read
    int stagingCapacity = 0, stagingCount = 0, stagingAt = 0;
};

static void setError(std::string* error, const char* text) {
    if (error) *error = text;
}

// Errors of reading the file itself; the demuxers give others (EINVAL among them) for
// content they do not recognise.
static bool cannotRead(int code) {
    for (int e : {EACCES, EPERM, ENOENT, EIO, ENOMEM, EMFILE, ENFILE, ENAMETOOLONG, ELOOP, ENOTDIR, ENXIO})
        if (code == AVERROR(e)) return true;
    return false;
}

static int readMemory(void* opaque, uint8_t* into, int size) {
    MemoryInput* m = (MemoryInput*)opaque;
    const size_t left = m->size - m->at;
    if (left == 0) return AVERROR_EOF;
    const size_t n = std::min(left, (size_t)size);
    memcpy(into, m->bytes + m->at, n);
    m->at += n;
    return (int)n;
}

static int64_t seekMemory(void* opaque, int64_t offset, int whence) {
    MemoryInput* m = (MemoryInput*)opaque;
    if (whence & AVSEEK_SIZE) return (int64_t)m->size;
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = (int64_t)m->at; break;
    case SEEK_END: base = (int64_t)m->size; break;
    default: return -1;
    }
    const int64_t to = base + offset;
    if (to < 0 || to > (int64_t)m->size) return -1;
    m->at = (size_t)to;
    return to;
}

void closeAudioDecoder(AudioDecoder* d) {
    if (!d) return;
    av_freep(&d->staging);
    swr_free(&d->resampler);
    av_channel_layout_uninit(&d->inLayout);
    av_frame_free(&d->frame);
    av_packet_free(&d->packet);
    avcodec_free_context(&d->codec);
    avformat_close_input(&d->format);
    if (d->io) {
        av_freep(&d->io->buffer);
        avio_context_free(&d->io);
    }
    delete d;
}

static bool growStaging(AudioDecoder* d, int frames) {
    if (frames <= d->stagingCapacity) return true;
    float* bigger = (float*)av_realloc_array(d->staging, (size_t)frames * d->outChannels, sizeof(float));
    if (!bigger) return false;
    d->staging = bigger;
    d->stagingCapacity = frames;
    return true;
}

// Converts input samples (null: the resampler's tail) into the empty staging buffer.
static bool convert(AudioDecoder* d, const uint8_t** in, int inFrames) {
    const int room = swr_get_out_samples(d->resampler, inFrames) + stagingSpareFrames;
    if (room < 0 || !growStaging(d, room)) return false;
    uint8_t* out = (uint8_t*)d->staging;
    const int got = swr_convert(d->resampler, &out, d->stagingCapacity, in, inFrames);
    if (got < 0) return false;
    d->stagingCount = got;
    d->stagingAt = 0;
    return true;
}

static bool sameInput(const AudioDecoder* d, const AVFrame* f) {
    return d->resampler && f->sample_rate == d->inRate && f->format == d->inFormat &&
           av_channel_layout_compare(&f->ch_layout, &d->inLayout) == 0;
}

// A resampler from the frame's own layout: a chained file may change it at a link.
static bool setUpResampler(AudioDecoder* d, const AVFrame* f) {
    swr_free(&d->resampler);
    av_channel_layout_uninit(&d->inLayout);
    AVChannelLayout in = {};
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || f->ch_layout.nb_channels < 1)
        av_channel_layout_default(&in, std::max(1, f->ch_layout.nb_channels));
    else if (av_channel_layout_copy(&in, &f->ch_layout) < 0)
        return false;
    AVChannelLayout out = {};
    av_channel_layout_default(&out, d->outChannels);
    int failed = swr_alloc_set_opts2(&d->resampler, &out, AV_SAMPLE_FMT_FLT, d->outRate, &in,
                                     (AVSampleFormat)f->format, f->sample_rate, 0, nullptr);
    if (failed >= 0) failed = swr_init(d->resampler);
    av_channel_layout_uninit(&out);
    av_channel_layout_uninit(&in);
    if (failed < 0) {
        swr_free(&d->resampler);
        return false;
    }
    av_channel_layout_copy(&d->inLayout, &f->ch_layout);
    d->inRate = f->sample_rate;
    d->inFormat = f->format;
    return true;
}

// The next decoded frame into d->frame; false at the end of what can be decoded.
static bool nextFrame(AudioDecoder* d) {
    for (;;) {
        const int got = avcodec_receive_frame(d->codec, d->frame);
        if (got == 0) {
            if (d->frame->nb_samples > 0 && d->frame->sample_rate > 0) return true;
            av_frame_unref(d->frame);
            continue;
        }
        if (got != AVERROR(EAGAIN) || d->demuxDone) {
            // The decoder's end, or an error it cannot get past: what came so far is the song.
            d->decodeDone = true;
            return false;
        }
        // A damaged stretch reads as an error: what was decoded before it is the song.
        const int read = av_read_frame(d->format, d->packet);
        if (read < 0) {
            d->demuxDone = true;
            avcodec_send_packet(d->codec, nullptr);
            continue;
        }
        if (d->packet->stream_index == d->stream) {
            // A packet the decoder refuses is skipped; the ones after it may still decode.
            avcodec_send_packet(d->codec, d->packet);
        }
        av_packet_unref(d->packet);
    }
}

// Refills the staging buffer; false when the audio has ended.
static bool refill(AudioDecoder* d) {
    while (d->stagingAt == d->stagingCount) {
        if (d->haveFrame && d->frameUsed < d->frame->nb_samples) {
            const int n = std::min(sliceFrames, d->frame->nb_samples - d->frameUsed);
            const uint8_t* in[AV_NUM_DATA_POINTERS] = {};
            const int bytes = av_get_bytes_per_sample((AVSampleFormat)d->frame->format);
            const int channels = d->frame->ch_layout.nb_channels;
            if (av_sample_fmt_is_planar((AVSampleFormat)d->frame->format)) {
                for (int c = 0; c < channels && c < AV_NUM_DATA_POINTERS; c++)
                    in[c] = d->frame->extended_data[c] + (size_t)d->frameUsed * bytes;
            } else {
                in[0] = d->frame->extended_data[0] + (size_t)d->frameUsed * bytes * channels;
            }
            d->frameUsed += n;
            if (!convert(d, in, n)) return false;
            continue;
        }
        if (d->haveFrame) {
            av_frame_unref(d->frame);
            d->haveFrame = false;
        }
        if (d->decodeDone || !nextFrame(d)) {
            if (d->flushed || !d->resampler) return false;
            d->flushed = true;
            if (!convert(d, nullptr, 0)) return false;
            continue;
        }
        d->haveFrame = true;
        d->frameUsed = 0;
        if (!sameInput(d, d->frame)) {
            // The old layout's tail goes out before the new one starts.
            if (d->resampler) {
                if (!convert(d, nullptr, 0)) return false;
                if (d->stagingCount > 0) {
                    if (!setUpResampler(d, d->frame)) return false;
                    continue;
                }
            }
            if (!setUpResampler(d, d->frame)) return false;
        }
    }
    return true;
}

int readAudioFrames(AudioDecoder* d, float* out, int maxFrames) {
    int produced = 0;
    while (produced < maxFrames) {
        if (d->stagingAt == d->stagingCount && !refill(d)) break;
        if (d->skipFrames > 0) {
            const int dropped = (int)std::min<int64_t>(d->skipFrames, d->stagingCount - d->stagingAt);
            d->stagingAt += dropped;
            d->skipFrames -= dropped;
            continue;
        }
        const int n = std::min(maxFrames - produced, d->stagingCount - d->stagingAt);
        memcpy(out + (size_t)produced * d->outChannels, d->staging + (size_t)d->stagingAt * d->outChannels,
               (size_t)n * d->outChannels * sizeof(float));
        d->stagingAt += n;
        produced += n;
    }
    return produced;
}

static AudioDecoder* openDecoder(AudioDecoder* d, const char* url, int rate, int channels,
                                 std::string* error) {
    // Our messages say what went wrong, once; the libraries' own lines would only repeat it.
    av_log_set_level(AV_LOG_QUIET);
    d->outRate = rate;
    d->outChannels = channels;
    const int opened = avformat_open_input(&d->format, url, nullptr, nullptr);
    if (opened < 0) {
        setError(error, cannotRead(opened) ? strerror(AVUNERROR(opened)) : "not an audio file");
        closeAudioDecoder(d);
        return nullptr;
    }
    if (avformat_find_stream_info(d->format, nullptr) < 0) {
        setError(error, "not an audio file");
        closeAudioDecoder(d);
        return nullptr;
    }
    const AVCodec* codec = nullptr;
    d->stream = av_find_best_stream(d->format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (d->stream < 0 || !codec) {
        setError(error, d->stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its audio track"
                                                               : "no audio track");
        closeAudioDecoder(d);
        return nullptr;
    }
    for (unsigned i = 0; i < d->format->nb_streams; i++)
        if ((int)i != d->stream) d->format->streams[i]->discard = AVDISCARD_ALL;
    const AVStream* s = d->format->streams[d->stream];
    d->codec = avcodec_alloc_context3(codec);
    d->packet = av_packet_alloc();
    d->frame = av_frame_alloc();
    if (!d->codec || !d->packet || !d->frame || avcodec_parameters_to_context(d->codec, s->codecpar) < 0) {
        setError(error, "out of memory");
        closeAudioDecoder(d);
        return nullptr;
    }
    d->codec->thread_count = 1;  // decoding runs on the caller's thread, nowhere else
    if (avcodec_open2(d->codec, codec, nullptr) < 0) {
        setError(error, "cannot decode its audio track");
        closeAudioDecoder(d);
        return nullptr;
    }
    if (d->format->duration > 0)
        d->durationSeconds = (double)d->format->duration / AV_TIME_BASE;
    else if (s->duration > 0)
        d->durationSeconds = (double)s->duration * av_q2d(s->time_base);
    // The first frame is decoded now, so a file that only looks like audio is refused here.
    if (!nextFrame(d)) {
        setError(error, "holds no audio");
        closeAudioDecoder(d);
        return nullptr;
    }
    d->haveFrame = true;
    if (!setUpResampler(d, d->frame)) {
        setError(error, "cannot convert its audio");
        closeAudioDecoder(d);
        return nullptr;
    }
    return d;
}

AudioDecoder* openAudioDecoder(const char* path, int rate, int channels, std::string* error) {
    struct stat st;
    if (stat(path, &st) != 0) {
        setError(error, strerror(errno));
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        setError(error, "is a folder");
        return nullptr;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        setError(error, "is empty");
        return nullptr;
    }
    // The file protocol would take a name with a colon for another protocol.
    std::string url = std::string("file:") + path;
    return openDecoder(new AudioDecoder(), url.c_str(), rate, channels, error);
}

AudioDecoder* openAudioDecoderMemory(const uint8_t* bytes, size_t size, int rate, int channels,
                                     std::string* error) {
    AudioDecoder* d = new AudioDecoder();
    d->memory = {bytes, size, 0};
    uint8_t* buffer = (uint8_t*)av_malloc(ioBufferBytes);
    d->format = avformat_alloc_context();
    if (buffer) d->io = avio_alloc_context(buffer, ioBufferBytes, 0, &d->memory, readMemory, nullptr, seekMemory);
    if (!buffer || !d->format || !d->io) {
        if (!d->io) av_free(buffer);
        setError(error, "out of memory");
        closeAudioDecoder(d);
        return nullptr;
    }
    d->format->pb = d->io;
    d->format->flags |= AVFMT_FLAG_CUSTOM_IO;
    return openDecoder(d, nullptr, rate, channels, error);
}

// Decoding restarts a little before the frame asked for: some codecs need what comes
// before a frame to decode it whole.
constexpr double seekPrerollSeconds = 0.2;

bool seekAudioDecoder(AudioDecoder* d, int64_t frame) {
    if (!d->format->pb || !(d->format->pb->seekable & AVIO_SEEKABLE_NORMAL)) return false;
    const AVStream* s = d->format->streams[d->stream];
    const int64_t start = s->start_time == AV_NOPTS_VALUE ? 0 : s->start_time;
    const double seconds = std::max(0.0, (double)frame / d->outRate - seekPrerollSeconds);
    const int64_t target = start + av_rescale_q((int64_t)(seconds * AV_TIME_BASE), AV_TIME_BASE_Q, s->time_base);
    if (av_seek_frame(d->format, d->stream, target, AVSEEK_FLAG_BACKWARD) < 0 &&
        av_seek_frame(d->format, d->stream, start, AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    avcodec_flush_buffers(d->codec);
    if (d->haveFrame) av_frame_unref(d->frame);
    swr_free(&d->resampler);
    d->haveFrame = d->demuxDone = d->decodeDone = d->flushed = false;
    d->stagingCount = d->stagingAt = 0;
    d->skipFrames = 0;
    // Whole decoded frames before the one asked for go; within that one, converted frames.
    while (nextFrame(d)) {
        const int64_t pts = d->frame->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) break;
        const int64_t at = av_rescale_q(pts - start, s->time_base, AVRational{1, d->outRate});
        const int64_t length = (int64_t)d->frame->nb_samples * d->outRate / d->frame->sample_rate;
        if (at + length > frame) {
            d->skipFrames = std::max<int64_t>(0, frame - at);
            break;
        }
        av_frame_unref(d->frame);
    }
    if (!d->decodeDone) {
        d->haveFrame = true;
        d->frameUsed = 0;
        if (!setUpResampler(d, d->frame)) return false;
    }
    return true;
}

std::string audioTag(const AudioDecoder* d, const char* name) {
    const AVDictionaryEntry* e = av_dict_get(d->format->metadata, name, nullptr, 0);
    if (!e || !*e->value) e = av_dict_get(d->format->streams[d->stream]->metadata, name, nullptr, 0);
    return e && e->value ? e->value : "";
}

bool audioCoverArt(const AudioDecoder* d, std::string* bytes, std::string* extension) {
    for (unsigned i = 0; i < d->format->nb_streams; i++) {
        const AVStream* s = d->format->streams[i];
        if (!(s->disposition & AV_DISPOSITION_ATTACHED_PIC) || s->attached_pic.size <= 0) continue;
        bytes->assign((const char*)s->attached_pic.data, (size_t)s->attached_pic.size);
        *extension = s->codecpar->codec_id == AV_CODEC_ID_PNG ? "png" : "jpg";
        return true;
    }
    return false;
}

double audioDurationSeconds(const AudioDecoder* d) { return d->durationSeconds; }

uint64_t audioDecoderVersion() {
    return (uint64_t)avcodec_version() << 32 ^ (uint64_t)avformat_version() << 8 ^ swresample_version();
}
