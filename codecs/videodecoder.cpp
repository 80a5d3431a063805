#include "videodecoder.h"

#include "averror.h"
#include "zulog.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {
void logError(const QString &function, const QString &detail)
{
    logMessage(QStringLiteral("[ERROR] VideoDecoder :: %1 :: %2").arg(function, detail));
}
// The pictures a decoder keeps at once besides the one it decodes into.
int heldPictures(const AVCodecContext *ctx)
{
    switch (ctx->codec_id) {
    case AV_CODEC_ID_MJPEG:
        return 0;
    case AV_CODEC_ID_H264:
        // The reference count comes from the stream's parameter set, read
        // before libavcodec asks for a pixel format; the reordering delay may
        // still grow as the pictures come.
        return qBound(1, ctx->refs, 16) + qBound(0, ctx->has_b_frames, 16);
    default:
        // libavcodec does not tell an H.265 stream's buffer size: the most
        // the format allows, pictures held for reordering included.
        return 16;
    }
}

qint64 pictureBytes(const AVFrame *picture)
{
    qint64 bytes = 0;
    for (const AVBufferRef *buf : picture->buf)
        if (buf)
            bytes += qint64(buf->size);
    return bytes;
}
} // namespace

struct VideoDecoderHooks {
    // Called once a stream's parameters are known and before any picture of
    // them is allocated: the place to refuse pictures too large to hold.
    static AVPixelFormat getFormat(AVCodecContext *ctx, const AVPixelFormat *formats)
    {
        auto *self = static_cast<VideoDecoder *>(ctx->opaque);
        // Counted in the software format: a hardware picture is copied into it.
        AVPixelFormat software = AV_PIX_FMT_NONE;
        for (const AVPixelFormat *f = formats; *f != AV_PIX_FMT_NONE; ++f) {
            const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(*f);
            if (desc && !(desc->flags & AV_PIX_FMT_FLAG_HWACCEL))
                software = *f;
        }
        const int width = qMax(ctx->coded_width, ctx->width);
        const int height = qMax(ctx->coded_height, ctx->height);
        if (software != AV_PIX_FMT_NONE && width > 0 && height > 0) {
            const int bytes = av_image_get_buffer_size(software, width, height, 1);
            if (bytes < 0 || !self->admitsPictures(ctx, bytes, width, height))
                return AV_PIX_FMT_NONE;
        }
        return avcodec_default_get_format(ctx, formats);
    }
};

VideoDecoder::VideoDecoder() = default;

VideoDecoder::~VideoDecoder()
{
    close();
}

QString VideoDecoder::normalizedCodecName(const QString &codecName)
{
    const QString name = codecName.trimmed().toLower();
    if (name == QLatin1String("h264") || name == QLatin1String("avc") || name == QLatin1String("h.264"))
        return QStringLiteral("h264");
    if (name == QLatin1String("hevc") || name == QLatin1String("h265") || name == QLatin1String("h.265"))
        return QStringLiteral("hevc");
    if (name == QLatin1String("mjpeg") || name == QLatin1String("jpeg") || name == QLatin1String("mjpg"))
        return QStringLiteral("mjpeg");
    return QString();
}

bool VideoDecoder::open(const QString &codecName, Hardware hardware, Threading threading)
{
    close();
    const QString name = normalizedCodecName(codecName);
    AVCodecID id = AV_CODEC_ID_NONE;
    if (name == QLatin1String("h264"))
        id = AV_CODEC_ID_H264;
    else if (name == QLatin1String("hevc"))
        id = AV_CODEC_ID_HEVC;
    else if (name == QLatin1String("mjpeg"))
        id = AV_CODEC_ID_MJPEG;
    if (id == AV_CODEC_ID_NONE) {
        // The codec text comes from a file; keep the log line bounded.
        logError(QStringLiteral("open"), QStringLiteral("unknown codec '%1'").arg(codecName.left(32)));
        return false;
    }
    const AVCodec *codec = avcodec_find_decoder(id);
    if (!codec) {
        logError(QStringLiteral("open"), QStringLiteral("no decoder for %1").arg(name));
        return false;
    }
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    m_packet = av_packet_alloc();
    m_work = av_frame_alloc();
    if (!ctx || !m_packet || !m_work) {
        avcodec_free_context(&ctx);
        close();
        logError(QStringLiteral("open"), QStringLiteral("allocation failed"));
        return false;
    }
    if (threading == Threading::Frame) {
        ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        ctx->thread_count = 0;
    } else {
        // One unit in, one picture out: frame threading would hold pictures
        // back by one unit per thread, so only slice threads are allowed.
        ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ctx->thread_type = FF_THREAD_SLICE;
        ctx->thread_count = 0;
    }

    if (m_memoryLimit > 0) {
        ctx->opaque = this;
        ctx->get_format = &VideoDecoderHooks::getFormat;
        // A picture takes a byte a pixel at the least.
        ctx->max_pixels = qMin<int64_t>(ctx->max_pixels, m_memoryLimit);
    }
    if (hardware == Hardware::CudaIfAvailable)
        openCuda(ctx);

    const int rc = avcodec_open2(ctx, codec, nullptr);
    if (rc < 0) {
        avcodec_free_context(&ctx);
        close();
        logError(QStringLiteral("open"), QStringLiteral("%1: %2").arg(name, avErrorText(rc)));
        return false;
    }
    m_ctx = ctx;
    m_codecName = name;
    return true;
}

// Hardware decoding is a convenience: any failure here leaves the context
// untouched so that the software decoder takes over without a word.
bool VideoDecoder::openCuda(AVCodecContext *ctx)
{
#if defined(ZU_DISABLE_CUDA)
    Q_UNUSED(ctx);
    return false;
#else
    const AVCodec *codec = ctx->codec ? ctx->codec : avcodec_find_decoder(ctx->codec_id);
    bool supported = false;
    for (int i = 0; codec; ++i) {
        const AVCodecHWConfig *config = avcodec_get_hw_config(codec, i);
        if (!config)
            break;
        if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && config->device_type == AV_HWDEVICE_TYPE_CUDA) {
            supported = true;
            break;
        }
    }
    if (!supported)
        return false;
    AVBufferRef *device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_CUDA, nullptr, nullptr, 0) < 0)
        return false;
    ctx->hw_device_ctx = av_buffer_ref(device);
    if (!ctx->hw_device_ctx) {
        av_buffer_unref(&device);
        return false;
    }
    m_hwDevice = device;
    return true;
#endif
}

bool VideoDecoder::admitsPictures(const AVCodecContext *ctx, qint64 bytesEach, int width, int height)
{
    if (m_memoryLimit <= 0)
        return true;
    const int pictures = heldPictures(ctx) + 1;
    if (!m_overLimit && bytesEach * pictures <= m_memoryLimit)
        return true;
    if (!m_overLimit)
        logError(QStringLiteral("decode"),
                 QStringLiteral("pictures of %1x%2 refused: %3 of them need %4 MiB, more than the %5 MiB allowed")
                     .arg(width)
                     .arg(height)
                     .arg(pictures)
                     .arg(bytesEach * pictures / (1024 * 1024))
                     .arg(m_memoryLimit / (1024 * 1024)));
    m_overLimit = true;
    return false;
}

bool VideoDecoder::statesReorderDepth(const QString &codecName, const uint8_t *data, int size)
{
    VideoDecoder probe;
    if (!probe.open(codecName))
        return false;
    AVFrame *picture = nullptr;
    probe.decode(data, size, &picture);
    av_frame_free(&picture);
    return probe.reorderDepth() > 0;
}

int VideoDecoder::reorderDepth() const
{
    return m_ctx ? m_ctx->has_b_frames : 0;
}

void VideoDecoder::close()
{
    avcodec_free_context(&m_ctx);
    av_buffer_unref(&m_hwDevice);
    av_packet_free(&m_packet);
    av_frame_free(&m_work);
    m_codecName.clear();
    m_draining = false;
    m_overLimit = false;
}

void VideoDecoder::flush()
{
    if (m_ctx)
        avcodec_flush_buffers(m_ctx);
    m_draining = false;
}

int VideoDecoder::drain(AVFrame **picture)
{
    if (!picture)
        return AVERROR(EINVAL);
    *picture = nullptr;
    if (!m_ctx)
        return AVERROR(EINVAL);
    if (!m_draining) {
        m_draining = true;
        const int rc = avcodec_send_packet(m_ctx, nullptr);
        if (rc < 0 && rc != AVERROR_EOF)
            return rc;
    }
    const int rc = receive(picture);
    return rc == AVERROR(EAGAIN) ? AVERROR_EOF : rc;
}

int VideoDecoder::decode(const uint8_t *data, int size, AVFrame **picture)
{
    return decode(data, size, AV_NOPTS_VALUE, picture);
}

int VideoDecoder::decode(const uint8_t *data, int size, int64_t pts, AVFrame **picture)
{
    if (picture)
        *picture = nullptr;
    if (!picture)
        return AVERROR(EINVAL);
    if (!m_ctx) {
        logError(QStringLiteral("decode"), QStringLiteral("decoder not open"));
        return AVERROR(EINVAL);
    }
    if (m_overLimit)
        return AVERROR(ENOMEM);
    if (!data || size <= 0) {
        logError(QStringLiteral("decode"), QStringLiteral("empty access unit"));
        return AVERROR_INVALIDDATA;
    }
    m_buffer.resize(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memcpy(m_buffer.data(), data, static_cast<size_t>(size));
    std::memset(m_buffer.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(m_packet);
    m_packet->data = m_buffer.data();
    m_packet->size = size;
    m_packet->pts = pts;

    int rc = avcodec_send_packet(m_ctx, m_packet);
    if (rc == AVERROR(EAGAIN)) {
        // A picture is still waiting: take it out first, then hand in the unit.
        rc = receive(picture);
        if (rc < 0 && rc != AVERROR(EAGAIN))
            return rc;
        const int sent = avcodec_send_packet(m_ctx, m_packet);
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            av_frame_free(picture);
            logError(QStringLiteral("decode"), avErrorText(sent));
            return sent;
        }
        return *picture ? 0 : AVERROR(EAGAIN);
    }
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (rc < 0) {
        logError(QStringLiteral("decode"), avErrorText(rc));
        return rc;
    }
    return receive(picture);
}

int VideoDecoder::receive(AVFrame **picture)
{
    av_frame_unref(m_work);
    const int rc = avcodec_receive_frame(m_ctx, m_work);
    if (rc == AVERROR(EAGAIN))
        return rc;
    if (rc < 0) {
        if (rc != AVERROR_EOF)
            logError(QStringLiteral("decode"), avErrorText(rc));
        return rc;
    }
    if (m_work->width <= 0 || m_work->height <= 0) {
        logError(QStringLiteral("decode"), QStringLiteral("picture without size"));
        av_frame_unref(m_work);
        return AVERROR_INVALIDDATA;
    }
    AVFrame *out = av_frame_alloc();
    if (!out) {
        av_frame_unref(m_work);
        return AVERROR(ENOMEM);
    }
    if (m_hwDevice && m_work->hw_frames_ctx) {
        const int t = av_hwframe_transfer_data(out, m_work, 0);
        if (t < 0 || av_frame_copy_props(out, m_work) < 0) {
            av_frame_free(&out);
            av_frame_unref(m_work);
            logError(QStringLiteral("decode"), QStringLiteral("hardware picture transfer failed"));
            return t < 0 ? t : AVERROR(ENOMEM);
        }
        out->width = m_work->width;
        out->height = m_work->height;
        av_frame_unref(m_work);
    } else {
        av_frame_move_ref(out, m_work);
    }
    // The reordering delay grows with what the stream shows: counted again
    // with each picture.
    if (m_memoryLimit > 0 && !admitsPictures(m_ctx, pictureBytes(out), out->width, out->height)) {
        av_frame_free(&out);
        return AVERROR(ENOMEM);
    }
    *picture = out;
    return 0;
}

AVFrame *VideoDecoder::decode(const QByteArray &accessUnit)
{
    AVFrame *picture = nullptr;
    decode(reinterpret_cast<const uint8_t *>(accessUnit.constData()), static_cast<int>(accessUnit.size()), &picture);
    return picture;
}
