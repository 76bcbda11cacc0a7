// Encodes planar float audio into an Ogg Vorbis file.
#include "vorbis_writer.h"

#include <vorbis/vorbisenc.h>

// Frames handed to the encoder at a time. The page layout depends on it, so changing it
// changes the bytes of every song we make.
constexpr long encodeChunkFrames = 4096;

static void writePages(FILE* out, ogg_stream_state* os, bool flush) {
    ogg_page page;
    while (flush ? ogg_stream_flush(os, &page) : ogg_stream_pageout(os, &page)) {
        fwrite(page.header, 1, page.header_len, out);
        fwrite(page.body, 1, page.body_len, out);
    }
}

bool writeVorbis(FILE* out, int channels, long rate, float quality, int serial, const char* title,
                 long frames, const FrameSource& fill) {
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, rate, quality) != 0) {
        vorbis_info_clear(&vi);
        return false;
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    if (title) vorbis_comment_add_tag(&vc, "TITLE", title);
    vorbis_dsp_state vd;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block vb;
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, serial);
    ogg_packet header, headerComm, headerCode;
    vorbis_analysis_headerout(&vd, &vc, &header, &headerComm, &headerCode);
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &headerComm);
    ogg_stream_packetin(&os, &headerCode);
    writePages(out, &os, true);

    for (long at = 0;; at += encodeChunkFrames) {
        const long n = at < frames ? (frames - at < encodeChunkFrames ? frames - at : encodeChunkFrames) : 0;
        if (n > 0) fill(vorbis_analysis_buffer(&vd, (int)n), at, n);
        vorbis_analysis_wrote(&vd, (int)n);  // 0 marks the end of the stream
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            ogg_packet op;
            while (vorbis_bitrate_flushpacket(&vd, &op)) {
                ogg_stream_packetin(&os, &op);
                writePages(out, &os, false);
            }
        }
        if (n == 0) break;
    }
    writePages(out, &os, true);
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return true;
}
