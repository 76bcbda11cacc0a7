// av-sync-analyse: picture minus sound of the show's flashes and the reference's clicks in one recording.
//
// The recording holds the screen (the bars' rows and the reference window) and the sound
// sink's monitor on one clock. Each note's time comes from aligning the recorded sound with
// the song; each onset's flash time from its own bars; each click from the reference's own
// sound channel and its flash from its window. The reference's figure is the recorder's
// own offset, which the caller subtracts.
#include <getopt.h>

#include <fftw3.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/audio_format.h"
#include "platform/decoder.h"
#include "platform/window.h"
#include "programs/xoon-score-eval/evaluate.h"
#include "score/score.h"
#include "show/wave_line.h"

constexpr int sampleRate = audioRateHz;
// The bars as the show draws them, in virtual-screen units (one unit is one pixel in its
// window): column n from x n times the spacing, 2 units wide (over its right neighbour's
// start), from barTop down, its red from the wave line's resting colour and red gain.
constexpr int barRowsRead[] = {(int)barTop + 12, (int)barTop + 20, (int)barTop + 28};  // below where particles land
static_assert((int)barTop + 28 < virtualScreenHeight, "the rows read lie in the bars");
constexpr double restingRed = (barRestingColour >> 16) & 0xFF, redGain = barRedGain;
// A cell rising this much between two grabs was fired: its neighbours pass it at most 0.095
// in the two ticks of a grab period while it loses 5 % a tick, and a cell kept bright by a
// dense chord rises from about 0.85 to 1.0 when fired again.
constexpr double flashRise = 0.1;
constexpr double stalledGrab = 1.5;     // grabs this many periods apart or more: a stall between
constexpr double clickThreshold = 0.1;  // of full scale, on the reference's sound channel
constexpr double clickQuietMs = 100;    // silence before a click
constexpr double referenceLit = 0.5;    // of full brightness: the reference window is white
constexpr double minStopMs = 2;         // exact silence this long in the song's channels: a stop
constexpr double minPieceMs = 150;      // shorter sound between two stops is not matched
constexpr double pieceMatchS = 2.0;     // of a piece, this much is matched with the song
constexpr double alignSlackMs = 100;    // searched beyond where a piece can lie
constexpr double firstSearchS = 3;      // the song may have started this much before the recorder
constexpr double pieceMarginMs = 5;     // an onset this near a piece's end is not placed
constexpr double afterStopMs = 1000;    // onsets this soon after a stop are also counted apart
constexpr double soundStartThreshold = 0.01;  // first sample of the song above this
constexpr double minCorrelation = 0.97;  // a stretch matched worse is left out
constexpr double isolatedMs = 600;      // no other onset of the column this close: a clear case
constexpr double firstMatchMs = 500;    // how far a clear case's flash may lie from its note
constexpr double matchMs = 120;         // how far from the expected place any flash is taken

static const char* program = "av-sync-analyse";
static const char* recordingName = "recording";  // as the user named it, for messages

[[noreturn]] static void fail(const std::string& what, const std::string& why) {
    fprintf(stderr, "%s: %s: %s\n", program, what.c_str(), why.c_str());
    exit(1);
}

static void usage(FILE* out) {
    fprintf(out,
            "Usage: %s [OPTIONS] RECORDING\n"
            "Reads a recording of the screen and the sound sink's monitor (one file, both on\n"
            "the wall clock) and prints picture minus sound, in ms, of the show's onsets and\n"
            "of the reference client's clicks. Positive: the picture is late.\n"
            "  --table FILE        onset table source the show plays (as xoon-score writes it)\n"
            "  --song FILE         the song the show plays\n"
            "  --show-at X,Y       the show window's top-left corner in the recorded picture\n"
            "  --reference-at X,Y,SIDE  the reference window in the recorded picture\n"
            "  --from S --to S     onsets of this stretch of the song are measured (seconds)\n"
            "  --song-before S     the song started about S seconds before the recording did\n"
            "                      (a recording begun mid-song; default 0)\n"
            "  --song-channels L,R recorded channels the song plays on (default 0,1)\n"
            "  --click-channel N   recorded channel of the reference's clicks (default 2)\n"
            "  --trace FILE        one line per onset and per click, for a closer look\n"
            "  --help              this text\n"
            "The last line is 'summary' then, for show and reference: count, median, 10 %%\n"
            "and 90 %% points.\n",
            program);
}

// ---- figures ----

struct Figures {
    int count = 0;
    double median = 0, low = 0, high = 0;  // ms: 50, 10 and 90 % points
};

static double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const double at = q * (double)(v.size() - 1);
    const size_t i = (size_t)at;
    return i + 1 < v.size() ? v[i] + (v[i + 1] - v[i]) * (at - (double)i) : v[i];
}

static Figures figures(const std::vector<double>& v) {
    Figures f;
    f.count = (int)v.size();
    if (!v.empty()) f.median = quantile(v, 0.5), f.low = quantile(v, 0.1), f.high = quantile(v, 0.9);
    return f;
}

static double median(const std::vector<double>& v) { return v.empty() ? 0 : quantile(v, 0.5); }

// ---- the recording ----

struct Recording {
    std::vector<int64_t> framePts;                 // us, wall clock
    double grabUs = 0;                             // median time between grabs
    std::vector<std::vector<float>> cells;         // per frame: the 448 cells' values seen
    std::vector<float> referenceLevel;             // per frame: 0 black .. 1 white
    std::vector<float> songSound;                  // the song's channels mixed to one
    std::vector<uint8_t> songSilent;               // both song channels exactly 0
    std::vector<float> clickSound;                 // the reference's channel
    std::vector<std::pair<int64_t, int64_t>> soundPts;  // (first sample, us) per packet
};

struct Layout {
    int showX = 0, showY = 0;
    int refX = -1, refY = -1, refSide = 0;
    int songLeft = 0, songRight = 1, clickChannel = 2;
};

static double component(const AVFrame* f, const AVPixFmtDescriptor* d, int x, int y, int c) {
    uint32_t v = 0;
    av_read_image_line2(&v, (const uint8_t**)f->data, f->linesize, d, x, y, c, 1, 0, 4);
    return (double)v / ((1 << d->comp[c].depth) - 1) * 255.0;
}

static void takePicture(const AVFrame* f, int64_t pts, const Layout& at, Recording* r) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get((AVPixelFormat)f->format);
    if (!d || !(d->flags & AV_PIX_FMT_FLAG_RGB)) fail(recordingName, "the picture is not RGB");
    for (int row : barRowsRead)
        if (at.showY + row < 0 || at.showY + row >= f->height)
            fail(recordingName, "the bars' rows are not in the picture (see --show-at)");
    std::vector<float> cells(waveCellCount);
    for (int n = 0; n < waveCellCount; n++) {
        // The pixel under the middle of the part of bar n that bar n + 1 does not cover.
        const int x = at.showX + (int)std::floor(n * barSpacing + barSpacing / 2);
        if (x < 0 || x >= f->width) fail(recordingName, "the bars are not in the picture (see --show-at)");
        double v[3];
        int k = 0;
        for (int row : barRowsRead) v[k++] = (component(f, d, x, at.showY + row, 0) - restingRed) / redGain;
        std::sort(v, v + 3);
        cells[n] = (float)v[1];  // a particle passing over one row is outvoted
    }
    r->cells.push_back(std::move(cells));
    float level = 0;
    if (at.refSide > 0) {
        const int cx = at.refX + at.refSide / 2, cy = at.refY + at.refSide / 2;
        if (cx < 0 || cy < 0 || cx >= f->width || cy >= f->height)
            fail(recordingName, "the reference window is not in the picture (see --reference-at)");
        level = (float)(component(f, d, cx, cy, 0) / 255.0);
    }
    r->referenceLevel.push_back(level);
    r->framePts.push_back(pts);
}

static void takeSound(const AVFrame* f, int64_t pts, const Layout& at, Recording* r) {
    const int channels = f->ch_layout.nb_channels;
    const int need = std::max({at.songLeft, at.songRight, at.clickChannel});
    if (channels <= need) fail(recordingName, "the sound has " + std::to_string(channels) + " channels, fewer than asked");
    const AVSampleFormat fmt = (AVSampleFormat)f->format;
    auto sample = [&](int i, int c) -> float {
        switch (fmt) {
        case AV_SAMPLE_FMT_S16: return ((const int16_t*)f->data[0])[i * channels + c] / 32768.0f;
        case AV_SAMPLE_FMT_S16P: return ((const int16_t*)f->data[c])[i] / 32768.0f;
        case AV_SAMPLE_FMT_FLT: return ((const float*)f->data[0])[i * channels + c];
        case AV_SAMPLE_FMT_FLTP: return ((const float*)f->data[c])[i];
        case AV_SAMPLE_FMT_S32: return ((const int32_t*)f->data[0])[i * channels + c] / 2147483648.0f;
        default: fail(recordingName, "sound sample format not handled");
        }
    };
    r->soundPts.push_back({(int64_t)r->songSound.size(), pts});
    for (int i = 0; i < f->nb_samples; i++) {
        const float left = sample(i, at.songLeft), right = sample(i, at.songRight);
        r->songSound.push_back(0.5f * (left + right));
        r->songSilent.push_back(left == 0.0f && right == 0.0f);
        r->clickSound.push_back(sample(i, at.clickChannel));
    }
}

static Recording readRecording(const char* path, const Layout& at) {
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path, nullptr, nullptr) < 0) fail(path, "cannot open it as a recording");
    if (avformat_find_stream_info(fc, nullptr) < 0) fail(path, "no streams found");
    const int vs = av_find_best_stream(fc, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int as = av_find_best_stream(fc, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vs < 0 || as < 0) fail(path, "needs a picture and a sound track");
    AVCodecContext* dec[2] = {nullptr, nullptr};
    const int index[2] = {vs, as};
    for (int k = 0; k < 2; k++) {
        const AVCodecParameters* p = fc->streams[index[k]]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(p->codec_id);
        if (!codec) fail(path, "no decoder for a track");
        dec[k] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(dec[k], p);
        dec[k]->pkt_timebase = fc->streams[index[k]]->time_base;
        if (avcodec_open2(dec[k], codec, nullptr) < 0) fail(path, "cannot open a track's decoder");
    }
    Recording r;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](int k) {
        while (avcodec_receive_frame(dec[k], frame) == 0) {
            const int64_t ts = frame->best_effort_timestamp;
            const int64_t us = av_rescale_q(ts, fc->streams[index[k]]->time_base, AVRational{1, 1000000});
            if (k == 0) takePicture(frame, us, at, &r);
            else takeSound(frame, us, at, &r);
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fc, pkt) >= 0) {
        const int k = pkt->stream_index == vs ? 0 : (pkt->stream_index == as ? 1 : -1);
        if (k >= 0 && avcodec_send_packet(dec[k], pkt) == 0) drain(k);
        av_packet_unref(pkt);
    }
    for (int k = 0; k < 2; k++) {
        avcodec_send_packet(dec[k], nullptr);
        drain(k);
        avcodec_free_context(&dec[k]);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&fc);
    if (r.framePts.size() < 2 || r.songSound.empty()) fail(path, "too short to measure");
    std::vector<double> gaps;
    for (size_t f = 1; f < r.framePts.size(); f++) gaps.push_back((double)(r.framePts[f] - r.framePts[f - 1]));
    r.grabUs = median(gaps);
    return r;
}

// ---- the sound's clock: wall time of each recorded sample ----

// The wall time of each recorded sample. The null sink plays every sample on the system's
// monotonic clock, which runs at the wall clock's rate, so samples are 1/rate apart;
// where the line lies comes from the packets' times, of which the median is taken: the
// recorder's times are off by tens of ms after it stalls (its latency figure is stale
// then). Whatever offset is left is the recorder's own, which the reference measures.
struct SoundClock {
    double startUs = 0, usPerSample = 1e6 / sampleRate;
    double spreadUs = 0;  // 10-90 % spread of the packets' times about the line
    double at(double sample) const { return startUs + usPerSample * sample; }
};

static SoundClock fitSoundClock(const Recording& r) {
    SoundClock c;
    std::vector<double> residual;
    for (const auto& q : r.soundPts) residual.push_back((double)q.second - c.usPerSample * (double)q.first);
    c.startUs = median(residual);
    c.spreadUs = quantile(residual, 0.9) - quantile(residual, 0.1);
    return c;
}

// ---- aligning the recorded sound with the song ----

// Normalised correlation of a[0..m) against b[k..k+m) for every k in 0..n-m, by FFT.
static std::vector<double> correlations(const float* a, long m, const float* b, long n) {
    long size = 1;
    while (size < n + m) size <<= 1;
    const long bins = size / 2 + 1;
    float* in = fftwf_alloc_real((size_t)size);
    fftwf_complex* fa = fftwf_alloc_complex((size_t)bins);
    fftwf_complex* fb = fftwf_alloc_complex((size_t)bins);
    fftwf_plan forwardA = fftwf_plan_dft_r2c_1d((int)size, in, fa, FFTW_ESTIMATE);
    fftwf_plan forwardB = fftwf_plan_dft_r2c_1d((int)size, in, fb, FFTW_ESTIMATE);
    fftwf_plan back = fftwf_plan_dft_c2r_1d((int)size, fa, in, FFTW_ESTIMATE);
    std::fill(in, in + size, 0.0f);
    std::copy(a, a + m, in);
    fftwf_execute(forwardA);
    std::fill(in, in + size, 0.0f);
    std::copy(b, b + n, in);
    fftwf_execute(forwardB);
    for (long i = 0; i < bins; i++) {  // conj(A) x B: correlation of a against b
        const float re = fa[i][0] * fb[i][0] + fa[i][1] * fb[i][1];
        const float im = fa[i][0] * fb[i][1] - fa[i][1] * fb[i][0];
        fa[i][0] = re, fa[i][1] = im;
    }
    fftwf_execute(back);
    double aa = 0, bb = 0;
    for (long i = 0; i < m; i++) aa += (double)a[i] * a[i], bb += (double)b[i] * b[i];
    std::vector<double> out((size_t)(n - m + 1));
    for (long k = 0; k <= n - m; k++) {
        out[(size_t)k] = aa > 0 && bb > 0 ? in[k] / (double)size / std::sqrt(aa * bb) : 0;
        bb += (double)b[k + m] * b[k + m] * (k + m < n) - (double)b[k] * b[k];
        if (bb < 0) bb = 0;
    }
    fftwf_destroy_plan(forwardA);
    fftwf_destroy_plan(forwardB);
    fftwf_destroy_plan(back);
    fftwf_free(fa);
    fftwf_free(fb);
    fftwf_free(in);
    return out;
}

// Where the song lies in the recording: pieces of continuous sound between the moments
// the output ran dry (the sink then plays exact digital silence, and the song goes on
// where it stopped, later). recorded sample = song sample + offset, within a piece.
struct Piece {
    long recStart, recEnd;  // recorded samples [recStart, recEnd)
    long offset;
    double quality;         // normalised correlation of the piece with the song there
};

struct Alignment {
    std::vector<Piece> pieces;  // matched ones, in order
    int unmatched = 0;          // pieces left out: too short, or no good match
    int stops = 0;              // the song moved on in the recording after a silence
    long stoppedSamples = 0;    // by this much in all
};

static std::vector<float> readSong(const char* path) {
    std::string error;
    AudioDecoder* d = openAudioDecoder(path, sampleRate, 1, &error);
    if (!d) fail(path, error);
    std::vector<float> song;
    float chunk[4096];
    int got;
    while ((got = readAudioFrames(d, chunk, 4096)) > 0) song.insert(song.end(), chunk, chunk + got);
    closeAudioDecoder(d);
    if (song.empty()) fail(path, "no audio");
    return song;
}

static long firstAbove(const std::vector<float>& s, double level) {
    for (size_t i = 0; i < s.size(); i++)
        if (std::fabs(s[i]) > level) return (long)i;
    return -1;
}

// Pieces from the recording's first sound on. Each piece's offset is searched from the
// last one's to that plus the silence between them: a stop moves the song on by at most
// its silence, and digital silence in the song itself moves it by nothing. So narrow a
// search cannot land on a repeated bar.
static double songBeforeS = 0;  // --song-before

static Alignment alignSong(const std::vector<float>& song, const Recording& r) {
    const std::vector<float>& rec = r.songSound;
    const long songFirst = firstAbove(song, soundStartThreshold);
    const long recFirst = firstAbove(rec, soundStartThreshold);
    if (songFirst < 0 || recFirst < 0) fail(recordingName, "the song is not heard in it");
    const long minStop = (long)(minStopMs / 1000 * sampleRate);
    const long minPiece = (long)(minPieceMs / 1000 * sampleRate);
    const long matchLength = (long)(pieceMatchS * sampleRate);
    const long slack = (long)(alignSlackMs / 1000 * sampleRate);
    Alignment al;
    // The first piece: the recorder may have started after the song did, never long before.
    long low = recFirst - songFirst - (long)((firstSearchS + songBeforeS) * sampleRate);
    long high = recFirst - songFirst - (long)(std::max(0.0, songBeforeS - firstSearchS) * sampleRate) + slack;
    long i = recFirst;
    const long n = (long)rec.size();
    while (i < n) {
        // The piece runs to the next silence of minStop samples or more.
        long end = i, zeros = 0;
        while (end < n) {
            zeros = r.songSilent[(size_t)end] ? zeros + 1 : 0;
            end++;
            if (zeros >= minStop) break;
        }
        long pieceEnd = zeros >= minStop ? end - zeros : end;
        while (end < n && r.songSilent[(size_t)end]) end++;  // the whole silence
        const long gap = end - pieceEnd;
        if (pieceEnd - i >= minPiece) {
            const long m = std::min(pieceEnd - i, matchLength);
            long songFrom = i - high, songTo = i - low + m;
            songFrom = std::max(0L, songFrom);
            songTo = std::min((long)song.size(), songTo);
            if (songTo - songFrom >= m) {
                // The recorded piece against the song around where it must be.
                const std::vector<double> c = correlations(&rec[(size_t)i], m, &song[(size_t)songFrom], songTo - songFrom);
                const size_t k = (size_t)(std::max_element(c.begin(), c.end()) - c.begin());
                const long offset = i - (songFrom + (long)k);
                if (c[k] >= minCorrelation) {
                    if (!al.pieces.empty() && offset - al.pieces.back().offset > 1) {
                        al.stops++;
                        al.stoppedSamples += offset - al.pieces.back().offset;
                    }
                    al.pieces.push_back({i, pieceEnd, offset, c[k]});
                    low = offset - slack;
                    high = offset + slack;
                } else {
                    al.unmatched++;
                }
            }
        } else if (pieceEnd > i) {
            al.unmatched++;
        }
        high += gap + (pieceEnd - i);  // an unmatched piece may hide a stop too
        i = end;
    }
    if (al.pieces.empty()) fail(recordingName, "no stretch of the song found in it");
    return al;
}

// The recorded sample at which song time t (ms) is heard; false outside the matched pieces
// or too near a piece's ends to be sure which side of a stop it lies.
// *sinceStopMs: how long after the song went on from the last stop it is heard (-1: no stop).
static bool songToRecording(const Alignment& al, double tMs, double* sample, double* sinceStopMs = nullptr) {
    const double songSample = tMs / 1000 * sampleRate;
    const double margin = pieceMarginMs / 1000 * sampleRate;
    for (size_t i = 0; i < al.pieces.size(); i++) {
        const Piece& p = al.pieces[i];
        const double at = songSample + (double)p.offset;
        if (at >= (double)p.recStart + margin && at < (double)p.recEnd - margin) {
            *sample = at;
            if (sinceStopMs) {
                // The stop may lie pieces back, behind unmatched or song-silent ones.
                size_t j = i;
                while (j > 0 && std::labs(al.pieces[j - 1].offset - p.offset) <= 1) j--;
                *sinceStopMs = j > 0 ? (at - (double)al.pieces[j].recStart) * 1000 / sampleRate : -1;
            }
            return true;
        }
    }
    return false;
}

// ---- flashes ----

// A flash came between two grabs: its time is their midpoint. Only when they were about
// one grab period apart does that say when; across a stalled grab it does not.
struct Flash {
    double us;
    bool sharp;
};

static Flash flashBetween(const Recording& r, size_t f) {
    const double gap = (double)(r.framePts[f] - r.framePts[f - 1]);
    return {0.5 * (double)(r.framePts[f - 1] + r.framePts[f]), gap <= stalledGrab * r.grabUs};
}

// Each column's flashes: its cell rose from one grab to the next.
static std::vector<std::vector<Flash>> columnFlashes(const Recording& r) {
    std::vector<std::vector<Flash>> flashes(waveCellCount);
    for (size_t f = 1; f < r.cells.size(); f++)
        for (int n = 0; n < waveCellCount; n++)
            if (r.cells[f][n] - r.cells[f - 1][n] >= flashRise) flashes[n].push_back(flashBetween(r, f));
    return flashes;
}

static const Flash* nearest(const std::vector<Flash>& flashes, double us, double within) {
    const Flash* best = nullptr;
    for (const Flash& x : flashes)
        if (std::fabs(x.us - us) <= within && (!best || std::fabs(x.us - us) < std::fabs(best->us - us))) best = &x;
    return best;
}

struct ShowResult {
    std::vector<double> perMoment;  // ms, one per onset moment (median of its bars)
    std::vector<double> afterStop;  // ms, those of perMoment heard soon after a stop
    int moments = 0, bars = 0, barsMatched = 0, barsBlurred = 0, unaligned = 0;
};

static ShowResult measureShow(const Recording& r, const SoundClock& clock, const Alignment& al,
                              const std::vector<OnsetFrame>& table, double fromS, double toS, FILE* trace) {
    const std::vector<std::vector<Flash>> flashes = columnFlashes(r);
    // Onset times of each column, to tell clear cases from crowded ones.
    std::vector<std::vector<double>> columnOnsets(waveCellCount);
    for (const OnsetFrame& rec : table)
        for (int n : recordColumns(rec)) columnOnsets[n].push_back(rec.timeMs);
    auto gapAround = [&](int n, double tMs) {
        double gap = 1e9;
        for (double u : columnOnsets[n])
            if (u != tMs) gap = std::min(gap, std::fabs(u - tMs));
        return gap;
    };
    // First pass: clear cases give the offset around which every flash is looked for.
    std::vector<double> clear;
    for (const OnsetFrame& rec : table) {
        if (rec.timeMs < fromS * 1000 || rec.timeMs > toS * 1000) continue;
        double sample;
        if (!songToRecording(al, rec.timeMs, &sample)) continue;
        const double heardUs = clock.at(sample);
        for (int n : recordColumns(rec)) {
            if (gapAround(n, rec.timeMs) < isolatedMs) continue;
            const Flash* f = nearest(flashes[n], heardUs, firstMatchMs * 1000);
            if (f && f->sharp) clear.push_back(f->us - heardUs);
        }
    }
    const double expectedUs = median(clear);
    ShowResult out;
    for (const OnsetFrame& rec : table) {
        if (rec.timeMs < fromS * 1000 || rec.timeMs > toS * 1000) continue;
        const std::vector<int> columns = recordColumns(rec);
        if (columns.empty()) continue;
        out.moments++;
        out.bars += (int)columns.size();
        double sample;
        double sinceStopMs = -1;
        if (!songToRecording(al, rec.timeMs, &sample, &sinceStopMs)) {
            out.unaligned++;
            continue;
        }
        const double heardUs = clock.at(sample);
        std::vector<double> seen;
        int blurred = 0;
        for (int n : columns) {
            const double within = std::min(matchMs * 1000, 0.5 * gapAround(n, rec.timeMs) * 1000);
            if (const Flash* f = nearest(flashes[n], heardUs + expectedUs, within)) {
                if (f->sharp) seen.push_back(f->us - heardUs);
                else blurred++;
            }
        }
        out.barsMatched += (int)seen.size();
        out.barsBlurred += blurred;
        if (seen.empty() || 2 * seen.size() < columns.size()) {
            if (trace)
                fprintf(trace, "onset %d ms: %zu of %zu bars seen (%d across a stalled grab)\n", rec.timeMs,
                        seen.size(), columns.size(), blurred);
            continue;
        }
        const double ms = median(seen) / 1000;
        out.perMoment.push_back(ms);
        const bool afterStop = sinceStopMs >= 0 && sinceStopMs < afterStopMs;
        if (afterStop) out.afterStop.push_back(ms);
        if (trace) {
            fprintf(trace, "onset %d ms: heard at %.3f s, picture minus sound %+.1f ms (%zu of %zu bars)", rec.timeMs,
                    (heardUs - (double)r.framePts[0]) / 1e6, ms, seen.size(), columns.size());
            if (afterStop) fprintf(trace, ", %.0f ms after the song went on from a stop", sinceStopMs);
            fprintf(trace, "\n");
        }
    }
    return out;
}

struct ReferenceResult {
    std::vector<double> perClick;  // ms
    int clicks = 0, blurred = 0;
};

static ReferenceResult measureReference(const Recording& r, const SoundClock& clock, FILE* trace) {
    std::vector<Flash> flashes;
    for (size_t f = 1; f < r.referenceLevel.size(); f++)
        if (r.referenceLevel[f] >= referenceLit && r.referenceLevel[f - 1] < referenceLit)
            flashes.push_back(flashBetween(r, f));
    ReferenceResult out;
    const long quiet = (long)(clickQuietMs / 1000 * sampleRate);
    long lastLoud = -quiet - 1;
    for (long i = 0; i < (long)r.clickSound.size(); i++) {
        if (std::fabs(r.clickSound[i]) < clickThreshold) continue;
        const bool starts = i - lastLoud > quiet;
        lastLoud = i;
        if (!starts) continue;
        out.clicks++;
        const double heardUs = clock.at((double)i);
        const double at = (heardUs - (double)r.framePts[0]) / 1e6;
        const Flash* f = nearest(flashes, heardUs, firstMatchMs * 1000);
        if (f && f->sharp) {
            out.perClick.push_back((f->us - heardUs) / 1000);
            if (trace) fprintf(trace, "click: heard at %.3f s, picture minus sound %+.1f ms\n", at, out.perClick.back());
        } else {
            out.blurred += f != nullptr;
            if (trace) fprintf(trace, "click: heard at %.3f s, %s\n", at, f ? "flash across a stalled grab" : "no flash");
        }
    }
    return out;
}

// ---- the command line ----

static bool parseInts(const char* text, int* v, int count) {
    std::stringstream in(text);
    for (int i = 0; i < count; i++) {
        char sep = 0;
        if (!(in >> v[i])) return false;
        if (i + 1 < count && (!(in >> sep) || sep != ',')) return false;
    }
    char tail;
    return !(in >> tail);
}

static std::string readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, strerror(errno));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static void printFigures(const char* what, const Figures& f) {
    printf("%s: picture minus sound median %+.1f ms, 10 %% %+.1f ms, 90 %% %+.1f ms\n", what, f.median, f.low, f.high);
}

int main(int argc, char** argv) {
    const char* tablePath = nullptr;
    const char* songPath = nullptr;
    const char* tracePath = nullptr;
    double fromS = 0, toS = 1e9;
    Layout at;
    const option options[] = {{"table", required_argument, nullptr, 't'},
                              {"song", required_argument, nullptr, 's'},
                              {"show-at", required_argument, nullptr, 'a'},
                              {"reference-at", required_argument, nullptr, 'r'},
                              {"from", required_argument, nullptr, 'f'},
                              {"to", required_argument, nullptr, 'u'},
                              {"song-channels", required_argument, nullptr, 'c'},
                              {"click-channel", required_argument, nullptr, 'k'},
                              {"trace", required_argument, nullptr, 'x'},
                              {"song-before", required_argument, nullptr, 'b'},
                              {"help", no_argument, nullptr, 'h'},
                              {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        bool ok = true;
        int v[3];
        char* end = nullptr;
        switch (opt) {
        case 't': tablePath = optarg; break;
        case 's': songPath = optarg; break;
        case 'x': tracePath = optarg; break;
        case 'a': ok = parseInts(optarg, v, 2); at.showX = v[0], at.showY = v[1]; break;
        case 'r':
            ok = parseInts(optarg, v, 3) && v[2] > 0;
            at.refX = v[0], at.refY = v[1], at.refSide = v[2];
            break;
        case 'c':
            ok = parseInts(optarg, v, 2) && v[0] >= 0 && v[1] >= 0;
            at.songLeft = v[0], at.songRight = v[1];
            break;
        case 'k': ok = parseInts(optarg, v, 1) && v[0] >= 0; at.clickChannel = v[0]; break;
        case 'f': fromS = strtod(optarg, &end); ok = *optarg && !*end && fromS >= 0; break;
        case 'u': toS = strtod(optarg, &end); ok = *optarg && !*end && toS > 0; break;
        case 'b': songBeforeS = strtod(optarg, &end); ok = *optarg && !*end && songBeforeS >= 0; break;
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
    if (optind + 1 != argc || !tablePath || !songPath || toS <= fromS) {
        usage(stderr);
        return 2;
    }
    const char* recordingPath = argv[optind];
    recordingName = recordingPath;

    std::vector<OnsetFrame> table;
    if (!parseTableSource(readFile(tablePath), &table)) fail(tablePath, "not an onset table source");
    const std::vector<float> song = readSong(songPath);
    const Recording rec = readRecording(recordingPath, at);
    const SoundClock clock = fitSoundClock(rec);
    const Alignment al = alignSong(song, rec);
    FILE* trace = nullptr;
    if (tracePath && !(trace = fopen(tracePath, "w"))) fail(tracePath, strerror(errno));

    std::vector<double> grabMs;
    for (size_t f = 1; f < rec.framePts.size(); f++) grabMs.push_back((double)(rec.framePts[f] - rec.framePts[f - 1]) / 1000);
    const double seconds = (double)(rec.framePts.back() - rec.framePts.front()) / 1e6;
    printf("recording: %zu grabs in %.1f s, %.1f ms apart (median; 90 %% %.1f ms, longest %.1f ms); "
           "%.1f s of sound, its packets' times spread %.1f ms (10-90 %%) about its line\n",
           rec.framePts.size(), seconds, median(grabMs), quantile(grabMs, 0.9),
           *std::max_element(grabMs.begin(), grabMs.end()), (double)rec.songSound.size() / sampleRate,
           clock.spreadUs / 1000);
    long matched = 0;
    for (const Piece& p : al.pieces) matched += p.recEnd - p.recStart;
    printf("song: starts %.3f s into the recording; %.1f s of it matched in %zu pieces (%d short or "
           "unmatched left out); the output ran dry %d times, the song %.0f ms later for it\n",
           (double)al.pieces[0].offset / sampleRate, (double)matched / sampleRate, al.pieces.size(), al.unmatched,
           al.stops, (double)al.stoppedSamples * 1000 / sampleRate);
    if (trace)
        for (const Piece& p : al.pieces)
            fprintf(trace, "piece %.3f..%.3f s of the recording: song at %+.4f s, correlation %.4f\n",
                    (double)p.recStart / sampleRate, (double)p.recEnd / sampleRate, (double)p.offset / sampleRate,
                    p.quality);
    const ShowResult show = measureShow(rec, clock, al, table, fromS, toS, trace);
    const Figures sf = figures(show.perMoment);
    printf("show: %d onset moments in %.0f..%.0f s of the song (%d bars); %d measured (%d bars seen, %d "
           "across a stalled grab; %d moments not placed in the recorded sound)\n",
           show.moments, fromS, toS, show.bars, sf.count, show.barsMatched, show.barsBlurred, show.unaligned);
    printFigures("show", sf);
    if (!show.afterStop.empty()) {
        const Figures af = figures(show.afterStop);
        printf("  of which %d heard less than %.0f s after the output ran dry: median %+.1f ms, 10 %% %+.1f ms, "
               "90 %% %+.1f ms\n", af.count, afterStopMs / 1000, af.median, af.low, af.high);
    }
    Figures rf;
    if (at.refSide > 0) {
        const ReferenceResult ref = measureReference(rec, clock, trace);
        rf = figures(ref.perClick);
        printf("reference: %d clicks heard, %d measured (%d flashes across a stalled grab)\n", ref.clicks, rf.count,
               ref.blurred);
        printFigures("reference", rf);
    }
    if (trace) fclose(trace);
    printf("summary %d %.1f %.1f %.1f %d %.1f %.1f %.1f\n", sf.count, sf.median, sf.low, sf.high, rf.count,
           rf.median, rf.low, rf.high);
    return sf.count > 0 ? 0 : 1;
}
