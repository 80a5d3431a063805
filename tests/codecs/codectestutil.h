#pragma once
// Helpers shared by the codec tests: synthetic pictures and access units made
// with libavcodec itself, so the tests need no outside files.
#include <QByteArray>
#include <QList>
#include <QString>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

namespace codectest {

// A picture of `format` whose luma is a horizontal ramp shifted by `index`
// (so consecutive pictures differ) and whose chroma is neutral, or a flat
// luma of `flatY` when it is 0..255.
inline AVFrame *makePicture(int width, int height, int format, int index, int flatY = -1)
{
    AVFrame *f = av_frame_alloc();
    f->format = format;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f, 0) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t *row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < width; ++x)
            row[x] = flatY >= 0 ? uint8_t(flatY) : uint8_t(16 + ((x + y + index * 7) % 200));
    }
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(format));
    const int ch = AV_CEIL_RSHIFT(height, d->log2_chroma_h);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < ch; ++y)
            memset(f->data[p] + y * f->linesize[p], 128, size_t(f->linesize[p]));
    return f;
}

// One encoded access unit with the index of the picture it carries (its
// presentation order) and the encoder's key flag.
struct EncodedUnit {
    QByteArray bytes;
    qint64 pts = 0;
    bool key = false;
};

// The flat luma of picture `index` when encodeUnits is asked for flat
// pictures: far enough apart to tell pictures apart after lossy coding.
inline int flatLuma(int index, int step) { return 16 + (index * step) % 210; }

// Encodes `count` synthetic pictures with `encoder` and returns one unit per
// picture in decoding order (all intra when gop is 1). With `bframes` > 0
// (libx265 only) the stream reorders its pictures, so a decoder holds some
// of them back. With `flatStep` > 0 picture i is a flat grey of luma
// flatLuma(i, flatStep), coded finely enough to keep that level. `options`
// ("key=value:...") are given to the encoder as they stand.
inline QList<EncodedUnit> encodeUnits(const char *encoder, int width, int height, int count, int gop = 10,
                                      int bframes = 0, int flatStep = 0, const char *options = "")
{
    QList<EncodedUnit> units;
    const AVCodec *codec = avcodec_find_encoder_by_name(encoder);
    if (!codec)
        return units;
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, 25};
    c->framerate = AVRational{25, 1};
    c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    c->gop_size = gop;
    c->max_b_frames = 0;
    c->thread_count = 1;
    AVDictionary *opts = nullptr;
    const QByteArray fine = flatStep > 0 ? QByteArray(":qp=12") : QByteArray();
    if (QByteArray(encoder).startsWith("libx26")) {
        c->max_b_frames = bframes;
        av_dict_set(&opts, "preset", "ultrafast", 0);
        if (bframes == 0)
            av_dict_set(&opts, "tune", "zerolatency", 0);
    }
    if (QByteArray(encoder) == "libx265") {
        const QByteArray b = bframes > 0 ? ":bframes=" + QByteArray::number(bframes) : QByteArray();
        av_dict_set(&opts, "x265-params", QByteArray("log-level=error" + b + fine).constData(), 0);
    }
    av_dict_parse_string(&opts, options, "=", ":", 0);
    if (avcodec_open2(c, codec, &opts) < 0) {
        av_dict_free(&opts);
        avcodec_free_context(&c);
        return units;
    }
    av_dict_free(&opts);
    AVPacket *pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(c, pkt) == 0) {
            units.append(EncodedUnit{QByteArray(reinterpret_cast<const char *>(pkt->data), pkt->size), pkt->pts,
                                     (pkt->flags & AV_PKT_FLAG_KEY) != 0});
            av_packet_unref(pkt);
        }
    };
    for (int i = 0; i < count; ++i) {
        AVFrame *f = makePicture(width, height, c->pix_fmt, i, flatStep > 0 ? flatLuma(i, flatStep) : -1);
        f->pts = i;
        avcodec_send_frame(c, f);
        av_frame_free(&f);
        drain();
    }
    avcodec_send_frame(c, nullptr);
    drain();
    av_packet_free(&pkt);
    avcodec_free_context(&c);
    return units;
}

// The units of encodeUnits alone.
inline QList<QByteArray> makeAccessUnits(const char *encoder, int width, int height, int count, int gop = 10,
                                         int bframes = 0)
{
    QList<QByteArray> out;
    for (const EncodedUnit &u : encodeUnits(encoder, width, height, count, gop, bframes))
        out.append(u.bytes);
    return out;
}

} // namespace codectest
