#include "zustreamencoder.h"

#include "averror.h"
#include "zulog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {
constexpr const char *kComponent = "ZuStreamEncoder";

struct EncoderChoice {
    QStringList candidates; // libavcodec encoder names, best first
};

// The export formats name codecs loosely; these are the encoders behind them.
QStringList encoderCandidates(const QString &codecName)
{
    const QString name = codecName.trimmed().toLower();
    if (name == QLatin1String("libx264") || name == QLatin1String("h264") || name == QLatin1String("h.264"))
        return {QStringLiteral("libx264")};
    if (name == QLatin1String("hevc") || name == QLatin1String("h265") || name == QLatin1String("h.265")
        || name == QLatin1String("libx265"))
        return {QStringLiteral("libx265")};
    if (name == QLatin1String("mjpeg"))
        return {QStringLiteral("mjpeg")};
    if (name == QLatin1String("vp9") || name == QLatin1String("libvpx-vp9"))
        return {QStringLiteral("libvpx-vp9")};
    if (name == QLatin1String("av1") || name == QLatin1String("libsvtav1") || name == QLatin1String("libaom-av1"))
        return {QStringLiteral("libsvtav1"), QStringLiteral("libaom-av1"), QStringLiteral("librav1e")};
    return {};
}

// Constant-quality settings at a speed fit for exporting hours of footage.
void setEncoderOptions(const QString &encoder, AVCodecContext *ctx, AVDictionary **opts)
{
    if (encoder == QLatin1String("libx264")) {
        av_dict_set(opts, "preset", "veryfast", 0);
        av_dict_set(opts, "crf", "23", 0);
    } else if (encoder == QLatin1String("libx265")) {
        av_dict_set(opts, "preset", "veryfast", 0);
        av_dict_set(opts, "crf", "28", 0);
        av_dict_set(opts, "x265-params", "log-level=error", 0);
    } else if (encoder == QLatin1String("mjpeg")) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 4;
    } else if (encoder == QLatin1String("libvpx-vp9")) {
        ctx->bit_rate = 0; // constant quality
        av_dict_set(opts, "crf", "33", 0);
        av_dict_set(opts, "deadline", "realtime", 0);
        av_dict_set(opts, "cpu-used", "8", 0);
        av_dict_set(opts, "row-mt", "1", 0);
    } else if (encoder == QLatin1String("libsvtav1")) {
        av_dict_set(opts, "preset", "10", 0);
        av_dict_set(opts, "crf", "35", 0);
    } else if (encoder == QLatin1String("libaom-av1")) {
        av_dict_set(opts, "usage", "realtime", 0);
        av_dict_set(opts, "cpu-used", "8", 0);
        av_dict_set(opts, "crf", "35", 0);
        av_dict_set(opts, "row-mt", "1", 0);
    } else if (encoder == QLatin1String("librav1e")) {
        av_dict_set(opts, "speed", "10", 0);
        av_dict_set(opts, "qp", "100", 0);
    }
}

// A frame's time is the recorder's wall-clock time and is shown as it is:
// date and time are read apart and joined without a zone, so that a time in
// the viewer's own daylight-saving gap is not taken for no time at all.
QDateTime parseFrameTime(const QString &timestamp)
{
    const QString t = timestamp.trimmed();
    auto join = [](const QDate &date, const QTime &time) {
        return date.isValid() && time.isValid() ? QDateTime(date, time, Qt::UTC) : QDateTime();
    };
    QDateTime dt;
    if (t.size() == 17)
        dt = join(QDate::fromString(t.left(8), QStringLiteral("yyyyMMdd")),
                  QTime::fromString(t.mid(8), QStringLiteral("HHmmsszzz")));
    if (!dt.isValid() && t.size() == 14)
        dt = join(QDate::fromString(t.left(8), QStringLiteral("yyyyMMdd")),
                  QTime::fromString(t.mid(8), QStringLiteral("HHmmss")));
    if (!dt.isValid() && t.size() == 23 && t.at(10) == QLatin1Char(' ')) {
        const QDate date = QDate::fromString(t.left(10), QStringLiteral("yyyy-MM-dd"));
        dt = join(date, QTime::fromString(t.mid(11), QStringLiteral("HH:mm:ss.zzz")));
        if (!dt.isValid())
            dt = join(date, QTime::fromString(t.mid(11), QStringLiteral("HH:mm:ss:zzz")));
    }
    return dt;
}

inline uint8_t blend(uint8_t over, uint8_t under, unsigned alpha)
{
    return static_cast<uint8_t>((over * alpha + under * (255u - alpha) + 127u) / 255u);
}
} // namespace

ZuStreamEncoder::ZuStreamEncoder() = default;

ZuStreamEncoder::~ZuStreamEncoder()
{
    if (m_fmt && !m_tempPath.isEmpty())
        logMessage(QStringLiteral("[WARN] %1 :: destruct :: encode not ended, output discarded").arg(QLatin1String(kComponent)));
    closeAll();
}

void ZuStreamEncoder::fail(const QString &function, const QString &detail)
{
    logMessage(QStringLiteral("[ERROR] %1 :: %2 :: %3").arg(QLatin1String(kComponent), function, detail));
}

QString ZuStreamEncoder::containerFor(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("mp4") || suffix == QLatin1String("m4v") || suffix == QLatin1String("mov"))
        return suffix == QLatin1String("mov") ? QStringLiteral("mov") : QStringLiteral("mp4");
    if (suffix == QLatin1String("avi"))
        return QStringLiteral("avi");
    if (suffix == QLatin1String("webm"))
        return QStringLiteral("webm");
    if (suffix == QLatin1String("mkv"))
        return QStringLiteral("matroska");
    return QString();
}

int ZuStreamEncoder::captionPixelSize(int pictureHeight, const QString &captionSize)
{
    const QString size = captionSize.trimmed().toLower();
    double divisor = 30.0;
    int minimum = 10;
    if (size == QLatin1String("small")) {
        divisor = 40.0;
        minimum = 8;
    } else if (size == QLatin1String("large")) {
        divisor = 22.0;
        minimum = 12;
    } else if (size == QLatin1String("extralarge")) {
        divisor = 16.0;
        minimum = 14;
    }
    return std::max(minimum, static_cast<int>(std::lround(pictureHeight / divisor)));
}

void ZuStreamEncoder::captionParts(const QString &label, const QString &timestamp, QString &prefix, QString &time)
{
    const QDateTime dt = parseFrameTime(timestamp);
    // A text that is no time at all is shown as it came, but bounded.
    time = dt.isValid() ? dt.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss.zzz")) : QString();
    const QString name = label.left(64);
    prefix = name.trimmed().isEmpty() ? QString() : name + QStringLiteral(" | ");
    if (!dt.isValid())
        prefix += timestamp.left(32);
}

QString ZuStreamEncoder::captionText(const QString &label, const QString &timestamp)
{
    QString prefix, time;
    captionParts(label, timestamp, prefix, time);
    return prefix + time;
}

bool ZuStreamEncoder::init_encoder(const QString &path, const QString &codecName, int rate, int fps, int width,
                                   int height, bool caption, const QString &captionSize, int pixelFormat)
{
    Q_UNUSED(rate);
    Q_UNUSED(pixelFormat);
    const QString fn = QStringLiteral("init_encoder");
    closeAll();
    m_nextPts = 0;
    m_encoderName.clear();
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        fail(fn, QStringLiteral("invalid picture size %1x%2").arg(width).arg(height));
        return false;
    }
    if (fps <= 0 || fps > 1000) {
        logMessage(QStringLiteral("[WARN] %1 :: init_encoder :: frame rate %2 replaced by 25").arg(QLatin1String(kComponent)).arg(fps));
        fps = 25;
    }
    const QString container = containerFor(path);
    if (container.isEmpty()) {
        fail(fn, QStringLiteral("unsupported output type: %1").arg(path));
        return false;
    }
    const AVOutputFormat *ofmt = av_guess_format(container.toLatin1().constData(), nullptr, nullptr);
    if (!ofmt) {
        fail(fn, QStringLiteral("no muxer %1").arg(container));
        return false;
    }
    const AVCodec *codec = nullptr;
    for (const QString &candidate : encoderCandidates(codecName)) {
        codec = avcodec_find_encoder_by_name(candidate.toLatin1().constData());
        if (codec) {
            m_encoderName = candidate;
            break;
        }
    }
    if (!codec) {
        fail(fn, QStringLiteral("unknown codec '%1'").arg(codecName.left(32)));
        return false;
    }
    if (avformat_query_codec(ofmt, codec->id, FF_COMPLIANCE_NORMAL) == 0) {
        fail(fn, QStringLiteral("%1 cannot be stored in %2").arg(m_encoderName, container));
        m_encoderName.clear();
        return false;
    }

    // 4:2:0 pictures need even sizes; the odd last row or column is dropped.
    const int encW = std::max(2, width & ~1);
    const int encH = std::max(2, height & ~1);

    m_finalPath = QFileInfo(path).absoluteFilePath();
    m_keptAs.clear();
    if (!m_replaceableGiven)
        m_replaceable = placefile::identityOf(m_finalPath);
    const QFileInfo finalInfo(m_finalPath);
    if (!finalInfo.absoluteDir().exists()) {
        fail(fn, QStringLiteral("folder missing: %1").arg(finalInfo.absolutePath()));
        closeAll();
        return false;
    }
    // A unique hidden name beside the final file; it gets the final name at
    // the end. (Not QTemporaryFile: its owner-only permissions would stick
    // to the exported file.)
    for (int attempt = 0; attempt < 100 && m_tempPath.isEmpty(); ++attempt) {
        const QString candidate = finalInfo.absolutePath() + QStringLiteral("/.") + finalInfo.completeBaseName()
            + QStringLiteral(".%1.part").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        if (!QFileInfo::exists(candidate))
            m_tempPath = candidate;
    }
    if (m_tempPath.isEmpty()) {
        fail(fn, QStringLiteral("no temporary name in %1").arg(finalInfo.absolutePath()));
        closeAll();
        return false;
    }
    int rc = avformat_alloc_output_context2(&m_fmt, ofmt, nullptr, QFile::encodeName(m_tempPath).constData());
    if (rc < 0 || !m_fmt) {
        fail(fn, QStringLiteral("output context: %1").arg(avErrorText(rc)));
        closeAll();
        return false;
    }
    m_stream = avformat_new_stream(m_fmt, nullptr);
    m_enc = avcodec_alloc_context3(codec);
    m_packet = av_packet_alloc();
    m_work = av_frame_alloc();
    if (!m_stream || !m_enc || !m_packet || !m_work) {
        fail(fn, QStringLiteral("allocation failed"));
        closeAll();
        return false;
    }

    m_encPixFmt = (codec->pix_fmts && codec->pix_fmts[0] != AV_PIX_FMT_NONE) ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    bool fullRangeAlias = false;
    ZuScaler::withoutFullRangeAlias(m_encPixFmt, &fullRangeAlias);
    m_enc->width = encW;
    m_enc->height = encH;
    m_enc->pix_fmt = static_cast<AVPixelFormat>(m_encPixFmt);
    m_enc->color_range = fullRangeAlias ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    m_enc->time_base = AVRational{1, fps};
    m_enc->framerate = AVRational{fps, 1};
    m_enc->sample_aspect_ratio = AVRational{1, 1};
    m_enc->gop_size = 2 * fps;
    m_enc->max_b_frames = 0;
    m_enc->thread_count = 0;
    if (m_fmt->oformat->flags & AVFMT_GLOBALHEADER)
        m_enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary *opts = nullptr;
    setEncoderOptions(m_encoderName, m_enc, &opts);
    rc = avcodec_open2(m_enc, codec, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        fail(fn, QStringLiteral("cannot open %1: %2").arg(m_encoderName, avErrorText(rc)));
        closeAll();
        return false;
    }
    rc = avcodec_parameters_from_context(m_stream->codecpar, m_enc);
    if (rc < 0) {
        fail(fn, QStringLiteral("stream parameters: %1").arg(avErrorText(rc)));
        closeAll();
        return false;
    }
    m_stream->time_base = m_enc->time_base;
    m_stream->avg_frame_rate = AVRational{fps, 1};
    m_stream->r_frame_rate = AVRational{fps, 1};

    rc = avio_open(&m_fmt->pb, QFile::encodeName(m_tempPath).constData(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        fail(fn, QStringLiteral("cannot open output: %1").arg(avErrorText(rc)));
        closeAll();
        return false;
    }
    rc = avformat_write_header(m_fmt, nullptr);
    if (rc < 0) {
        fail(fn, QStringLiteral("cannot write header: %1").arg(avErrorText(rc)));
        closeAll();
        return false;
    }
    m_headerWritten = true;

    m_work->format = m_encPixFmt;
    m_work->width = encW;
    m_work->height = encH;
    m_work->color_range = m_enc->color_range;
    if (av_frame_get_buffer(m_work, 0) < 0) {
        fail(fn, QStringLiteral("allocation failed"));
        closeAll();
        return false;
    }

    m_caption = caption;
    m_captionSize = captionSize;
    m_captionKey.clear();
    m_captionGeometry = QSize();
    m_captionUsable = true;
    if (m_caption && !qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        logMessage(QStringLiteral("[WARN] %1 :: init_encoder :: no text rendering without a GUI application, caption off")
                       .arg(QLatin1String(kComponent)));
        m_caption = false;
    }
    logMessage(QStringLiteral("[INFO] %1 :: init_encoder :: %2 %3x%4 %5 fps -> %6")
                   .arg(QLatin1String(kComponent), m_encoderName).arg(encW).arg(encH).arg(fps).arg(m_finalPath));
    return true;
}

bool ZuStreamEncoder::encodeFrame(AVFrame *frame, int width, int height, const QString &timestamp,
                                  const QString &label, int frameId, FILE *rawOut, FILE *rawIndex)
{
    Q_UNUSED(width);
    Q_UNUSED(height);
    const QString fn = QStringLiteral("encodeFrame");
    if (!m_fmt || !m_enc || !m_headerWritten) {
        fail(fn, QStringLiteral("encoder not open"));
        return false;
    }
    if (m_flushed)
        return true; // the encoder has signalled its end; nothing more goes in
    if (!frame || frame->width <= 0 || frame->height <= 0 || !frame->data[0]) {
        fail(fn, QStringLiteral("empty picture"));
        return false;
    }
    // The encoder may still hold the previous picture's buffer.
    if (av_frame_make_writable(m_work) < 0) {
        fail(fn, QStringLiteral("allocation failed"));
        return false;
    }
    const bool sameRange = ZuScaler::isFullRange(frame) == ZuScaler::isFullRange(m_work);
    if (frame->format == m_work->format && sameRange && frame->width == m_work->width
        && frame->height == m_work->height) {
        // Same layout: a plain copy is much cheaper than going through swscale.
        // (av_frame_copy wants the very same format: a full-range yuv420p
        // picture bound for yuvj420p goes through the scaler, which keeps
        // its levels.)
        if (av_frame_copy(m_work, frame) < 0) {
            fail(fn, QStringLiteral("copy failed"));
            return false;
        }
    } else if (!m_scaler.convert(frame, m_work)) {
        fail(fn, QStringLiteral("conversion failed"));
        return false;
    }
    if (m_caption)
        drawCaption(m_work, label, timestamp);

    m_work->pts = m_nextPts;
    // The file must play from its first picture, whatever the picture was
    // in the recording.
    m_work->pict_type = m_nextPts == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int rc = avcodec_send_frame(m_enc, m_work);
    if (rc == AVERROR_EOF) {
        m_flushed = true;
        return true;
    }
    if (rc < 0) {
        fail(fn, QStringLiteral("encoder refused the frame: %1").arg(avErrorText(rc)));
        return false;
    }
    ++m_nextPts;
    return writePackets(timestamp, frameId, rawOut, rawIndex);
}

bool ZuStreamEncoder::writePackets(const QString &timestamp, int frameId, FILE *rawOut, FILE *rawIndex)
{
    for (;;) {
        const int rc = avcodec_receive_packet(m_enc, m_packet);
        if (rc == AVERROR(EAGAIN))
            return true;
        if (rc == AVERROR_EOF) {
            m_flushed = true;
            return true;
        }
        if (rc < 0) {
            fail(QStringLiteral("encodeFrame"), QStringLiteral("encoder failed: %1").arg(avErrorText(rc)));
            return false;
        }
        if (rawOut && m_packet->size > 0)
            fwrite(m_packet->data, 1, static_cast<size_t>(m_packet->size), rawOut);
        if (rawIndex)
            fprintf(rawIndex, "%s:%d:%d:%d\n", timestamp.left(32).toLatin1().constData(), frameId, m_packet->size,
                    (m_packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0);
        if (m_packet->duration <= 0)
            m_packet->duration = 1;
        av_packet_rescale_ts(m_packet, m_enc->time_base, m_stream->time_base);
        m_packet->stream_index = m_stream->index;
        const int wrc = av_interleaved_write_frame(m_fmt, m_packet); // takes the packet's reference
        av_packet_unref(m_packet);
        if (wrc < 0) {
            fail(QStringLiteral("encodeFrame"), QStringLiteral("write failed: %1").arg(avErrorText(wrc)));
            return false;
        }
    }
}

bool ZuStreamEncoder::end_encoding()
{
    if (!m_fmt)
        return false;
    bool ok = m_headerWritten;
    if (ok && !m_flushed) {
        const int rc = avcodec_send_frame(m_enc, nullptr);
        if (rc < 0 && rc != AVERROR_EOF)
            ok = false;
        else
            ok = writePackets(QString(), -1, nullptr, nullptr);
        m_flushed = true;
    }
    const bool anyFrame = m_nextPts > 0;
    if (m_headerWritten) {
        const int rc = av_write_trailer(m_fmt);
        if (rc < 0) {
            fail(QStringLiteral("end_encoding"), QStringLiteral("trailer: %1").arg(avErrorText(rc)));
            ok = false;
        }
        m_headerWritten = false;
    }
    if (m_fmt->pb) {
        if (m_fmt->pb->error < 0)
            ok = false;
        avio_closep(&m_fmt->pb);
    }
    if (!anyFrame) {
        logMessage(QStringLiteral("[WARN] %1 :: end_encoding :: no frame encoded, no file written").arg(QLatin1String(kComponent)));
        ok = false;
    }
    if (ok)
        ok = placeFinishedFile();
    closeAll(); // removes the temporary file when it is still there
    return ok;
}

void ZuStreamEncoder::setReplaceable(const placefile::Identity &identity)
{
    m_replaceable = identity;
    m_replaceableGiven = true;
}

bool ZuStreamEncoder::placeFinishedFile()
{
    const QString fn = QStringLiteral("end_encoding");
    const placefile::Identity there = placefile::identityOf(m_finalPath);
    bool placed = false;
    if (there.exists && there == m_replaceable)
        placed = std::rename(QFile::encodeName(m_tempPath).constData(), QFile::encodeName(m_finalPath).constData()) == 0;
    else
        placed = placefile::renameNoReplace(m_tempPath, m_finalPath);
    if (placed) {
        m_tempPath.clear();
        logMessage(QStringLiteral("[INFO] %1 :: end_encoding :: %2 frames -> %3")
                       .arg(QLatin1String(kComponent)).arg(m_nextPts).arg(m_finalPath));
        return true;
    }
    if (errno != EEXIST) {
        fail(fn, QStringLiteral("cannot rename to %1: %2").arg(m_finalPath, QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    // Another file took the name while this one was written: it stays, and
    // what was encoded is kept beside it rather than thrown away.
    const QFileInfo finalInfo(m_finalPath);
    const QString suffix = finalInfo.suffix();
    const QString stem = finalInfo.absolutePath() + QLatin1Char('/')
        + (suffix.isEmpty() ? finalInfo.fileName() : finalInfo.completeBaseName());
    for (int n = 1; n < 1000 && m_keptAs.isEmpty(); ++n) {
        const QString candidate = stem + QLatin1Char('-') + QString::number(n)
            + (suffix.isEmpty() ? QString() : QString(QLatin1Char('.') + suffix));
        if (placefile::renameNoReplace(m_tempPath, candidate))
            m_keptAs = candidate;
        else if (errno != EEXIST)
            break;
    }
    if (m_keptAs.isEmpty())
        m_keptAs = m_tempPath;
    m_tempPath.clear();
    logMessage(QStringLiteral("[WARN] %1 :: end_encoding :: %2 was taken by another file meanwhile; %3 frames kept as %4")
                   .arg(QLatin1String(kComponent), m_finalPath).arg(m_nextPts).arg(m_keptAs));
    return false;
}

void ZuStreamEncoder::closeAll()
{
    if (m_fmt) {
        if (m_fmt->pb)
            avio_closep(&m_fmt->pb);
        avformat_free_context(m_fmt);
        m_fmt = nullptr;
    }
    avcodec_free_context(&m_enc);
    av_frame_free(&m_work);
    av_packet_free(&m_packet);
    m_stream = nullptr;
    if (!m_tempPath.isEmpty()) {
        QFile::remove(m_tempPath);
        m_tempPath.clear();
    }
    m_headerWritten = false;
    m_flushed = false;
    m_captionKey.clear();
}

// The caption is drawn from coverage maps: the label part ("Parking | ") is
// rendered once per label, the time from a cache of single characters, so a
// new frame time costs a few small copies instead of a text rendering. The
// box is black at kBoxAlpha and the text white; both have neutral chroma.
namespace {
constexpr int kBoxAlpha = 150;

QImage renderCoverage(const QFont &font, const QString &text, int width, int height, int x, int baseline)
{
    QImage image(std::max(1, width), std::max(1, height), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QPoint(x, baseline), text);
    return image;
}
} // namespace

bool ZuStreamEncoder::setupCaptionFont(int pictureWidth, int pictureHeight)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(m_encPixFmt));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) || !(desc->flags & AV_PIX_FMT_FLAG_PLANAR)
        || desc->nb_components < 3 || desc->comp[0].depth != 8) {
        logMessage(QStringLiteral("[WARN] %1 :: caption :: pixel format not supported, caption off").arg(QLatin1String(kComponent)));
        m_captionUsable = false;
        return false;
    }
    m_chromaShiftW = desc->log2_chroma_w;
    m_chromaShiftH = desc->log2_chroma_h;
    const bool fullRange = m_enc->color_range == AVCOL_RANGE_JPEG;
    const int black = fullRange ? 0 : 16;
    m_textY = fullRange ? 255 : 235;
    for (int v = 0; v < 256; ++v)
        m_boxLut[v] = blend(static_cast<uint8_t>(black), static_cast<uint8_t>(v), kBoxAlpha);
    for (int c = 0; c < 256; ++c)
        m_chromaLut[c] = static_cast<uint8_t>(255 - ((255 - kBoxAlpha) * (255 - c) + 127) / 255);

    const int alignW = 1 << m_chromaShiftW, alignH = 1 << m_chromaShiftH;
    auto alignUp = [](int v, int a) { return (v + a - 1) / a * a; };
    const int margin = std::max(2, pictureHeight / 60);
    m_capX = alignUp(margin, alignW);
    m_capY = alignUp(margin, alignH);
    m_capMaxW = (pictureWidth - m_capX) / alignW * alignW;

    // The date and time are the evidence the caption carries: a picture too
    // narrow for them at the chosen size gets a smaller font, never a cut
    // time. Digits are all as wide in this font, so any time measures alike.
    int pixelSize = captionPixelSize(pictureHeight, m_captionSize);
    const QString widestTime = QStringLiteral("00/00/0000 00:00:00.000");
    m_font = QFont(QStringLiteral("DejaVu Sans"));
    m_font.setBold(true);
    for (;;) {
        m_font.setPixelSize(pixelSize);
        m_capPad = std::max(2, pixelSize / 4);
        const int timeW = QFontMetrics(m_font).horizontalAdvance(widestTime);
        if (timeW + 2 * m_capPad <= m_capMaxW || pixelSize <= kMinCaptionPixels)
            break;
        pixelSize = std::max(kMinCaptionPixels, std::min(pixelSize - 1, pixelSize * (m_capMaxW - 2 * m_capPad) / timeW));
    }
    const QFontMetrics metrics(m_font);
    m_capOverhang = std::max(2, pixelSize / 3);
    m_capAscent = metrics.ascent();
    m_capH = std::min(alignUp(metrics.height() + 2 * m_capPad, alignH), (pictureHeight - m_capY) / alignH * alignH);
    m_glyphs.clear();
    m_prefixText.clear();
    m_prefixSource.clear();
    m_prefixRoom = -1;
    m_prefix = QImage();
    m_captionGeometry = QSize(pictureWidth, pictureHeight);
    return m_capH > 0 && m_capMaxW > 0;
}

const QImage &ZuStreamEncoder::glyph(QChar ch)
{
    auto it = m_glyphs.find(ch.unicode());
    if (it == m_glyphs.end()) {
        const QFontMetrics metrics(m_font);
        const int advance = metrics.horizontalAdvance(ch);
        it = m_glyphs.insert(ch.unicode(), renderCoverage(m_font, QString(ch), advance + 2 * m_capOverhang, m_capH,
                                                          m_capOverhang, m_capPad + m_capAscent));
    }
    return it.value();
}

bool ZuStreamEncoder::prepareCaption(const QString &source, const QString &time)
{
    const QFontMetrics metrics(m_font);
    int timeW = 0;
    for (const QChar ch : time)
        timeW += metrics.horizontalAdvance(ch);
    // The time is drawn whole; the label takes the room it leaves and is
    // elided when longer.
    const int room = m_capMaxW - 2 * m_capPad - timeW;
    if (source != m_prefixSource || room != m_prefixRoom || (m_prefix.isNull() && !m_prefixText.isEmpty())) {
        m_prefixSource = source;
        m_prefixRoom = room;
        QString prefix = source;
        const QLatin1String separator(" | ");
        if (metrics.horizontalAdvance(prefix) > room) {
            if (!time.isEmpty() && prefix.endsWith(separator)) {
                const QString name = metrics.elidedText(prefix.chopped(separator.size()), Qt::ElideRight,
                                                        room - metrics.horizontalAdvance(separator));
                prefix = name.isEmpty() ? QString() : name + separator;
            } else {
                prefix = metrics.elidedText(prefix, Qt::ElideRight, std::max(0, room));
            }
        }
        m_prefixText = prefix;
        m_prefixAdvance = prefix.isEmpty() ? 0 : metrics.horizontalAdvance(prefix);
        m_prefix = prefix.isEmpty() ? QImage()
                                    : renderCoverage(m_font, prefix, m_prefixAdvance + 2 * m_capOverhang, m_capH,
                                                     m_capOverhang, m_capPad + m_capAscent);
    }
    const int textW = m_prefixAdvance + timeW;
    const int alignW = 1 << m_chromaShiftW;
    m_capW = std::min((textW + 2 * m_capPad + alignW - 1) / alignW * alignW, m_capMaxW);
    if (m_capW <= 0)
        return false;
    m_capCw = m_capW >> m_chromaShiftW;
    m_capCh = m_capH >> m_chromaShiftH;

    // Coverage of the whole text: the union of the pieces, each placed at its
    // advance and clipped to the box.
    m_capCov.assign(size_t(m_capW) * m_capH, 0);
    auto place = [&](const QImage &piece, int left) {
        for (int y = 0; y < m_capH && y < piece.height(); ++y) {
            const QRgb *src = reinterpret_cast<const QRgb *>(piece.constScanLine(y));
            uint8_t *dst = m_capCov.data() + size_t(y) * m_capW;
            for (int x = 0; x < piece.width(); ++x) {
                const int bx = left + x;
                if (bx < 0 || bx >= m_capW)
                    continue;
                const uint8_t a = static_cast<uint8_t>(qAlpha(src[x]));
                if (a > dst[bx])
                    dst[bx] = a;
            }
        }
    };
    int pen = m_capPad;
    if (!m_prefix.isNull())
        place(m_prefix, pen - m_capOverhang);
    pen += m_prefixAdvance;
    for (const QChar ch : time) {
        place(glyph(ch), pen - m_capOverhang);
        pen += metrics.horizontalAdvance(ch);
    }
    m_capCovC.assign(size_t(m_capCw) * m_capCh, 0);
    const int sw = 1 << m_chromaShiftW, sh = 1 << m_chromaShiftH, n = sw * sh;
    for (int cy = 0; cy < m_capCh; ++cy)
        for (int cx = 0; cx < m_capCw; ++cx) {
            int sum = 0;
            for (int dy = 0; dy < sh; ++dy)
                for (int dx = 0; dx < sw; ++dx)
                    sum += m_capCov[size_t(cy * sh + dy) * m_capW + cx * sw + dx];
            m_capCovC[size_t(cy) * m_capCw + cx] = m_chromaLut[sum / n];
        }
    return true;
}

bool ZuStreamEncoder::drawCaption(AVFrame *picture, const QString &label, const QString &timestamp)
{
    if (!m_captionUsable)
        return false;
    if (m_captionGeometry != QSize(picture->width, picture->height)) {
        m_captionKey.clear();
        if (!setupCaptionFont(picture->width, picture->height)) {
            m_captionGeometry = QSize(picture->width, picture->height);
            m_capW = 0;
            return false;
        }
    }
    QString prefix, time;
    captionParts(label, timestamp, prefix, time);
    const QString key = prefix + QLatin1Char('\x1f') + time;
    if (key != m_captionKey) {
        m_captionKey = key;
        if (!prepareCaption(prefix, time))
            m_capW = 0;
    }
    if (m_capW <= 0 || m_capH <= 0)
        return false;
    const unsigned textY = m_textY;
    for (int y = 0; y < m_capH; ++y) {
        uint8_t *row = picture->data[0] + size_t(m_capY + y) * picture->linesize[0] + m_capX;
        const uint8_t *cov = m_capCov.data() + size_t(y) * m_capW;
        for (int x = 0; x < m_capW; ++x)
            row[x] = blend(static_cast<uint8_t>(textY), m_boxLut[row[x]], cov[x]);
    }
    const int cx0 = m_capX >> m_chromaShiftW, cy0 = m_capY >> m_chromaShiftH;
    for (int y = 0; y < m_capCh; ++y) {
        uint8_t *rowU = picture->data[1] + size_t(cy0 + y) * picture->linesize[1] + cx0;
        uint8_t *rowV = picture->data[2] + size_t(cy0 + y) * picture->linesize[2] + cx0;
        const uint8_t *t = m_capCovC.data() + size_t(y) * m_capCw;
        for (int x = 0; x < m_capCw; ++x) {
            rowU[x] = blend(128, rowU[x], t[x]);
            rowV[x] = blend(128, rowV[x], t[x]);
        }
    }
    return true;
}
