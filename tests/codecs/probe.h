#pragma once
// ffprobe and decoding helpers for checking encoded files in the tests.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include "videodecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace codectest {

struct Probe {
    bool ok = false;
    QString codec;
    int width = 0;
    int height = 0;
    int frames = -1;
    QString frameRate; // r_frame_rate, e.g. "10/1"
    double duration = -1.0;
};

inline Probe probe(const QString &path)
{
    Probe p;
    QProcess proc;
    proc.start(QStringLiteral("ffprobe"),
               {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                QStringLiteral("stream=codec_name,width,height,nb_read_frames,r_frame_rate:format=duration"),
                QStringLiteral("-of"), QStringLiteral("json"), path});
    if (!proc.waitForFinished(60000) || proc.exitCode() != 0)
        return p;
    const QJsonObject root = QJsonDocument::fromJson(proc.readAllStandardOutput()).object();
    const QJsonArray streams = root.value(QStringLiteral("streams")).toArray();
    if (streams.isEmpty())
        return p;
    const QJsonObject s = streams.first().toObject();
    p.codec = s.value(QStringLiteral("codec_name")).toString();
    p.width = s.value(QStringLiteral("width")).toInt();
    p.height = s.value(QStringLiteral("height")).toInt();
    p.frames = s.value(QStringLiteral("nb_read_frames")).toString().toInt();
    p.frameRate = s.value(QStringLiteral("r_frame_rate")).toString();
    p.duration = root.value(QStringLiteral("format")).toObject().value(QStringLiteral("duration")).toString().toDouble();
    p.ok = true;
    return p;
}

// The first decoded picture of a video file (caller frees), via libavformat
// and libavcodec's own decoders.
inline AVFrame *firstPicture(const QString &path)
{
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return nullptr;
    AVFrame *out = nullptr;
    if (avformat_find_stream_info(fmt, nullptr) >= 0) {
        const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (index >= 0) {
            const AVCodec *codec = avcodec_find_decoder(fmt->streams[index]->codecpar->codec_id);
            AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
            if (ctx && avcodec_parameters_to_context(ctx, fmt->streams[index]->codecpar) >= 0
                && avcodec_open2(ctx, codec, nullptr) >= 0) {
                AVPacket *pkt = av_packet_alloc();
                AVFrame *f = av_frame_alloc();
                bool done = false;
                while (!done && av_read_frame(fmt, pkt) >= 0) {
                    if (pkt->stream_index == index && avcodec_send_packet(ctx, pkt) >= 0
                        && avcodec_receive_frame(ctx, f) >= 0)
                        done = true;
                    av_packet_unref(pkt);
                }
                if (!done) {
                    avcodec_send_packet(ctx, nullptr);
                    done = avcodec_receive_frame(ctx, f) >= 0;
                }
                if (done)
                    out = f;
                else
                    av_frame_free(&f);
                av_packet_free(&pkt);
            }
            avcodec_free_context(&ctx);
        }
    }
    avformat_close_input(&fmt);
    return out;
}

// Mean luma of a rectangle.
inline double meanLuma(const AVFrame *f, int x0, int y0, int w, int h)
{
    double sum = 0;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            sum += f->data[0][y * f->linesize[0] + x];
    return sum / (w * h);
}

inline int maxLuma(const AVFrame *f, int x0, int y0, int w, int h)
{
    int m = 0;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            m = qMax(m, int(f->data[0][y * f->linesize[0] + x]));
    return m;
}

} // namespace codectest
