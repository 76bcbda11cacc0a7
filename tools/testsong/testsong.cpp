// Writes a short Ogg Vorbis song of known length, rate and channel count: a tone
// with a click-free beep every half second, for the sound layer's tests.
#include <vorbis/vorbisenc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void usage() {
    fprintf(stderr,
            "usage: xoon-testsong OUT.ogg [--seconds S] [--rate HZ] [--channels 1|2] [--freq HZ]\n");
    exit(2);
}

static void writePages(FILE* out, ogg_stream_state* os, bool flush) {
    ogg_page page;
    while (flush ? ogg_stream_flush(os, &page) : ogg_stream_pageout(os, &page)) {
        fwrite(page.header, 1, page.header_len, out);
        fwrite(page.body, 1, page.body_len, out);
    }
}

int main(int argc, char** argv) {
    if (argc < 2) usage();
    const char* outName = argv[1];
    double seconds = 3.0;
    long rate = 44100;
    int channels = 2;
    double freq = 440.0;
    for (int i = 2; i < argc; i++) {
        if (i + 1 >= argc) usage();
        if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[++i]);
        else if (!strcmp(argv[i], "--rate")) rate = atol(argv[++i]);
        else if (!strcmp(argv[i], "--channels")) channels = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--freq")) freq = atof(argv[++i]);
        else usage();
    }
    if (seconds <= 0 || rate < 8000 || rate > 192000 || channels < 1 || channels > 8) usage();

    FILE* out = fopen(outName, "wb");
    if (!out) {
        fprintf(stderr, "xoon-testsong: cannot write %s\n", outName);
        return 1;
    }
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, rate, 0.3f) != 0) {
        fprintf(stderr, "xoon-testsong: encoder refuses %d channels at %ld Hz\n", channels, rate);
        return 1;
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    vorbis_dsp_state vd;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block vb;
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, 12345);  // fixed serial: identical output every run

    ogg_packet header, headerComm, headerCode;
    vorbis_analysis_headerout(&vd, &vc, &header, &headerComm, &headerCode);
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &headerComm);
    ogg_stream_packetin(&os, &headerCode);
    writePages(out, &os, true);

    const long total = (long)llround(seconds * rate);
    const long chunk = 1024;
    const double beepPeriod = 0.5, beepLength = 0.1, ramp = 0.005;  // seconds
    for (long at = 0; at < total; at += chunk) {
        long n = total - at < chunk ? total - at : chunk;
        float** buf = vorbis_analysis_buffer(&vd, (int)n);
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
            for (int c = 0; c < channels; c++) buf[c][i] = s;
        }
        vorbis_analysis_wrote(&vd, (int)n);
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            ogg_packet op;
            while (vorbis_bitrate_flushpacket(&vd, &op)) {
                ogg_stream_packetin(&os, &op);
                writePages(out, &os, false);
            }
        }
    }
    vorbis_analysis_wrote(&vd, 0);
    while (vorbis_analysis_blockout(&vd, &vb) == 1) {
        vorbis_analysis(&vb, nullptr);
        vorbis_bitrate_addblock(&vb);
        ogg_packet op;
        while (vorbis_bitrate_flushpacket(&vd, &op)) {
            ogg_stream_packetin(&os, &op);
            writePages(out, &os, false);
        }
    }
    writePages(out, &os, true);
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    if (fclose(out) != 0) {
        fprintf(stderr, "xoon-testsong: cannot finish %s\n", outName);
        return 1;
    }
    return 0;
}
