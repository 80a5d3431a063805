#include "zustreamremux.h"

#include "averror.h"
#include "logaddress.h"
#include "zulog.h"
#include "zustreamencoder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/rational.h>
}

namespace {
int failWith(int code, const QString &detail)
{
    logMessage(QStringLiteral("[ERROR] ZuStreamRemux :: remuxUrlToFile :: %1").arg(detail));
    return code;
}

bool isLocalFile(const QString &input)
{
    return !input.contains(QLatin1String("://")) && QFileInfo(input).isFile();
}

// Copies `from` over `to` through a temporary name beside `to`, so that `to`
// is either the old file or the whole new one.
bool copyReplacing(const QString &from, const QString &to)
{
    QFile in(from);
    QSaveFile out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), buffer.size());
        if (n < 0)
            return false; // QSaveFile discards what it wrote
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n)
            return false;
    }
    return out.commit();
}

// Gives the finished file its name, replacing an older file of that name.
// The temporary file may lie on another filesystem than the final one (the
// download folder below the home folder, the output on a removable disk):
// there it is copied, and removed once the copy is complete.
bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_UNIX
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    if (!copyReplacing(from, to))
        return false;
    QFile::remove(from);
    return true;
#else
    if (QFile::exists(to) && !QFile::remove(to))
        return false;
    if (QFile::rename(from, to))
        return true;
    if (!copyReplacing(from, to))
        return false;
    QFile::remove(from);
    return true;
#endif
}

// Raw elementary-stream demuxers (H.264, H.265, MJPEG...) are the ones that
// take their frame rate as an option.
bool isElementaryStream(const AVInputFormat *format)
{
    if (format->flags & AVFMT_NOTIMESTAMPS)
        return true;
    return format->priv_class
        && av_opt_find(const_cast<AVClass **>(&format->priv_class), "framerate", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
}

// Opens `input` for reading: probed, or only as `format` and through the
// file protocol only when a format is given.
int openInput(AVFormatContext **ctx, const QString &input, const QString &format)
{
    const QByteArray name = isLocalFile(input) ? QFile::encodeName(input) : input.toUtf8();
    if (format.isEmpty())
        return avformat_open_input(ctx, name.constData(), nullptr, nullptr);
    const AVInputFormat *forced = av_find_input_format(format.toLatin1().constData());
    if (!forced || !isLocalFile(input))
        return AVERROR(EINVAL);
    AVDictionary *options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int rc = avformat_open_input(ctx, name.constData(), forced, &options);
    av_dict_free(&options);
    return rc;
}

struct InputCloser {
    AVFormatContext *ctx = nullptr;
    ~InputCloser() { avformat_close_input(&ctx); }
};
struct OutputCloser {
    AVFormatContext *ctx = nullptr;
    ~OutputCloser()
    {
        if (ctx) {
            if (ctx->pb)
                avio_closep(&ctx->pb);
            avformat_free_context(ctx);
        }
    }
};
} // namespace

ZuStreamRemux::ZuStreamRemux() = default;
ZuStreamRemux::~ZuStreamRemux() = default;

int ZuStreamRemux::countVideoPackets(const QString &input, const QString &inputFormat)
{
    AVFormatContext *ctx = nullptr;
    if (openInput(&ctx, input, inputFormat) < 0)
        return 0;
    int count = 0;
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        const int video = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        AVPacket *pkt = av_packet_alloc();
        while (pkt && av_read_frame(ctx, pkt) >= 0) {
            if (pkt->stream_index == video)
                ++count;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ctx);
    return count;
}

int ZuStreamRemux::remuxUrlToFile(const QString &input, const QString &tmpFile, const QString &finalFile, double duration,
                                  const QString &inputFormat)
{
    logMessage(QStringLiteral("[INFO] ZuStreamRemux :: remuxUrlToFile :: %1 -> %2").arg(maskedAddress(input), finalFile));
    if (input.isEmpty() || tmpFile.isEmpty() || finalFile.isEmpty())
        return failWith(-15, QStringLiteral("empty path"));

    InputCloser in;
    int rc = openInput(&in.ctx, input, inputFormat);
    if (rc < 0)
        return failWith(-15, QStringLiteral("cannot open input: %1").arg(avErrorText(rc)));
    rc = avformat_find_stream_info(in.ctx, nullptr);
    if (rc < 0)
        return failWith(-16, QStringLiteral("no stream information: %1").arg(avErrorText(rc)));

    QString container = ZuStreamEncoder::containerFor(finalFile);
    if (container.isEmpty())
        container = ZuStreamEncoder::containerFor(tmpFile);
    if (container.isEmpty())
        container = QStringLiteral("mp4");
    OutputCloser out;
    const QByteArray tmpName = QFile::encodeName(tmpFile);
    rc = avformat_alloc_output_context2(&out.ctx, nullptr, container.toLatin1().constData(), tmpName.constData());
    if (rc < 0 || !out.ctx)
        return failWith(-17, QStringLiteral("output context: %1").arg(avErrorText(rc)));

    // An elementary stream has no clock of its own (its in-band timing, when
    // any, is the camera's nominal rate): its frames are spread evenly over
    // `duration`, in decoding order.
    const bool elementary = isElementaryStream(in.ctx->iformat);
    AVRational elementaryRate{0, 1};
    if (elementary) {
        const int frames = (duration > 0 && isLocalFile(input)) ? countVideoPackets(input, inputFormat) : 0;
        if (frames > 0)
            elementaryRate = av_d2q(frames / duration, 100000);
        if (elementaryRate.num <= 0 || elementaryRate.den <= 0)
            elementaryRate = AVRational{25, 1};
    }

    std::vector<int> mapping(in.ctx->nb_streams, -1);
    int mapped = 0;
    for (unsigned i = 0; i < in.ctx->nb_streams; ++i) {
        const AVCodecParameters *par = in.ctx->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && (par->width <= 0 || par->height <= 0))
            continue; // nothing decodable was found in it
        if (avformat_query_codec(out.ctx->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) == 0)
            continue;
        AVStream *stream = avformat_new_stream(out.ctx, nullptr);
        if (!stream)
            return failWith(-18, QStringLiteral("cannot create output stream"));
        rc = avcodec_parameters_copy(stream->codecpar, par);
        if (rc < 0)
            return failWith(-19, QStringLiteral("parameter copy: %1").arg(avErrorText(rc)));
        stream->codecpar->codec_tag = 0;
        if (elementary && par->codec_type == AVMEDIA_TYPE_VIDEO) {
            stream->time_base = av_inv_q(elementaryRate);
            stream->avg_frame_rate = elementaryRate;
            stream->r_frame_rate = elementaryRate;
        } else {
            stream->time_base = in.ctx->streams[i]->time_base;
            stream->avg_frame_rate = in.ctx->streams[i]->avg_frame_rate;
            stream->r_frame_rate = in.ctx->streams[i]->r_frame_rate;
        }
        mapping[i] = stream->index;
        ++mapped;
    }
    if (mapped == 0)
        return failWith(-16, QStringLiteral("no audio or video stream to copy"));

    rc = avio_open(&out.ctx->pb, tmpName.constData(), AVIO_FLAG_WRITE);
    if (rc < 0)
        return failWith(-20, QStringLiteral("cannot open output: %1").arg(avErrorText(rc)));
    auto removeTemp = [&] {
        if (out.ctx->pb)
            avio_closep(&out.ctx->pb);
        QFile::remove(tmpFile);
    };
    rc = avformat_write_header(out.ctx, nullptr);
    if (rc < 0) {
        removeTemp();
        return failWith(-21, QStringLiteral("header: %1").arg(avErrorText(rc)));
    }

    // Timestamps: kept when the input has them; otherwise (or when they run
    // backwards) made up from the stream's frame rate, so that the muxer
    // always sees rising decoding times.
    std::vector<int64_t> lastDts(in.ctx->nb_streams, AV_NOPTS_VALUE);
    std::vector<int64_t> counter(in.ctx->nb_streams, 0);
    AVPacket *pkt = av_packet_alloc();
    int written = 0;
    bool writeFailed = false;
    // Only the end of the input ends the copy well: a read error part-way
    // (a broken connection, a damaged file) would leave a short file.
    int readRc = pkt ? 0 : AVERROR(ENOMEM);
    while (pkt && (readRc = av_read_frame(in.ctx, pkt)) >= 0) {
        const int si = pkt->stream_index;
        if (si < 0 || si >= static_cast<int>(mapping.size()) || mapping[si] < 0) {
            av_packet_unref(pkt);
            continue;
        }
        AVStream *is = in.ctx->streams[si];
        AVStream *os = out.ctx->streams[mapping[si]];
        AVRational inBase = is->time_base;
        if (elementary && is->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            inBase = av_inv_q(elementaryRate);
            pkt->pts = pkt->dts = counter[si]++;
            pkt->duration = 1;
        } else {
            int64_t step = 1;
            if (is->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                AVRational rate = is->avg_frame_rate.num > 0 ? is->avg_frame_rate : is->r_frame_rate;
                if (rate.num <= 0 || rate.den <= 0)
                    rate = AVRational{25, 1};
                step = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), is->time_base));
            }
            if (pkt->dts == AV_NOPTS_VALUE)
                pkt->dts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : counter[si] * step;
            if (lastDts[si] != AV_NOPTS_VALUE && pkt->dts <= lastDts[si])
                pkt->dts = lastDts[si] + 1;
            if (pkt->pts == AV_NOPTS_VALUE || pkt->pts < pkt->dts)
                pkt->pts = pkt->dts;
            if (pkt->duration <= 0)
                pkt->duration = step;
            lastDts[si] = pkt->dts;
            ++counter[si];
        }
        av_packet_rescale_ts(pkt, inBase, os->time_base);
        pkt->stream_index = os->index;
        pkt->pos = -1;
        rc = av_interleaved_write_frame(out.ctx, pkt);
        av_packet_unref(pkt);
        if (rc < 0) {
            logMessage(QStringLiteral("[ERROR] ZuStreamRemux :: remuxUrlToFile :: write: %1").arg(avErrorText(rc)));
            writeFailed = true;
            break;
        }
        ++written;
    }
    av_packet_free(&pkt);
    rc = av_write_trailer(out.ctx);
    const bool ioError = out.ctx->pb && out.ctx->pb->error < 0;
    avio_closep(&out.ctx->pb);
    if (writeFailed || rc < 0 || ioError) {
        QFile::remove(tmpFile);
        return failWith(-20, QStringLiteral("cannot write the output"));
    }
    if (readRc < 0 && readRc != AVERROR_EOF) {
        QFile::remove(tmpFile);
        return failWith(-15, QStringLiteral("input read error after %1 packets: %2").arg(written).arg(avErrorText(readRc)));
    }
    if (written == 0) {
        QFile::remove(tmpFile);
        return failWith(-16, QStringLiteral("the input holds no frame"));
    }
    if (QFileInfo(tmpFile).absoluteFilePath() != QFileInfo(finalFile).absoluteFilePath()
        && !replaceFile(tmpFile, finalFile)) {
        QFile::remove(tmpFile);
        return failWith(-20, QStringLiteral("cannot rename to %1").arg(finalFile));
    }
    if (isLocalFile(input) && QFileInfo(input).absoluteFilePath() != QFileInfo(finalFile).absoluteFilePath()
        && !QFile::remove(input))
        logMessage(QStringLiteral("[WARN] ZuStreamRemux :: remuxUrlToFile :: cannot remove %1").arg(maskedAddress(input)));
    logMessage(QStringLiteral("[INFO] ZuStreamRemux :: remuxUrlToFile :: %1 packets").arg(written));
    return 0;
}
