#include "zuscaler.h"

#include "zulog.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {
void logError(const char *function, const QString &detail)
{
    logMessage(QStringLiteral("[ERROR] ZuScaler :: %1 :: %2").arg(QLatin1String(function), detail));
}

bool isYuv(int format)
{
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->nb_components >= 3;
}

// swscale's coefficient table for an FFmpeg colour space; BT.601 unless the
// stream says otherwise.
int swsColorspace(int space)
{
    switch (space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_DEFAULT;
    }
}
} // namespace

ZuScaler::ZuScaler() = default;

ZuScaler::~ZuScaler()
{
    reset();
}

void ZuScaler::reset()
{
    sws_freeContext(m_sws);
    m_sws = nullptr;
    m_key = Key();
}

int ZuScaler::withoutFullRangeAlias(int format, bool *isFullRangeAlias)
{
    int mapped = format;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: mapped = AV_PIX_FMT_YUV420P; break;
    case AV_PIX_FMT_YUVJ422P: mapped = AV_PIX_FMT_YUV422P; break;
    case AV_PIX_FMT_YUVJ444P: mapped = AV_PIX_FMT_YUV444P; break;
    case AV_PIX_FMT_YUVJ440P: mapped = AV_PIX_FMT_YUV440P; break;
    case AV_PIX_FMT_YUVJ411P: mapped = AV_PIX_FMT_YUV411P; break;
    default: break;
    }
    if (isFullRangeAlias)
        *isFullRangeAlias = mapped != format;
    return mapped;
}

bool ZuScaler::isFullRange(const AVFrame *frame)
{
    if (!frame)
        return false;
    bool alias = false;
    withoutFullRangeAlias(frame->format, &alias);
    if (alias || frame->color_range == AVCOL_RANGE_JPEG)
        return true;
    // RGB and grey-less formats carry full-range samples by nature.
    return !isYuv(frame->format) && frame->format != AV_PIX_FMT_GRAY8;
}

bool ZuScaler::prepare(int srcFormat, int srcW, int srcH, bool srcFull, int srcSpace,
                       int dstFormat, int dstW, int dstH, bool dstFull)
{
    Key key;
    key.srcFormat = srcFormat;
    key.srcW = srcW;
    key.srcH = srcH;
    key.srcSpace = srcSpace;
    key.srcFull = srcFull;
    key.dstFormat = dstFormat;
    key.dstW = dstW;
    key.dstH = dstH;
    key.dstFull = dstFull;
    if (m_sws && key == m_key)
        return true;
    reset();
    // The ranges must be known before the context is initialised: with equal
    // ranges and sizes swscale may pick a plain copy, which would otherwise
    // skip a range conversion asked for later.
    m_sws = sws_alloc_context();
    bool ok = m_sws != nullptr;
    if (ok) {
        ok = av_opt_set_int(m_sws, "srcw", srcW, 0) >= 0 && av_opt_set_int(m_sws, "srch", srcH, 0) >= 0
            && av_opt_set_int(m_sws, "src_format", srcFormat, 0) >= 0
            && av_opt_set_int(m_sws, "dstw", dstW, 0) >= 0 && av_opt_set_int(m_sws, "dsth", dstH, 0) >= 0
            && av_opt_set_int(m_sws, "dst_format", dstFormat, 0) >= 0
            && av_opt_set_int(m_sws, "sws_flags", m_fast ? SWS_FAST_BILINEAR : SWS_BILINEAR, 0) >= 0
            && av_opt_set_int(m_sws, "src_range", srcFull ? 1 : 0, 0) >= 0
            && av_opt_set_int(m_sws, "dst_range", dstFull ? 1 : 0, 0) >= 0
            && sws_init_context(m_sws, nullptr, nullptr) >= 0;
    }
    if (!ok) {
        sws_freeContext(m_sws);
        m_sws = nullptr;
        logError("prepare", QStringLiteral("no conversion from %1 %2x%3 to %4 %5x%6")
                                .arg(QString::fromLatin1(av_get_pix_fmt_name(static_cast<AVPixelFormat>(srcFormat))))
                                .arg(srcW).arg(srcH)
                                .arg(QString::fromLatin1(av_get_pix_fmt_name(static_cast<AVPixelFormat>(dstFormat))))
                                .arg(dstW).arg(dstH));
        return false;
    }
    // The yuvj aliases were mapped to plain yuv formats, so the range has to
    // be told explicitly, for the input and for the output.
    const int *coefficients = sws_getCoefficients(swsColorspace(srcSpace));
    sws_setColorspaceDetails(m_sws, coefficients, srcFull ? 1 : 0, coefficients, dstFull ? 1 : 0,
                             0, 1 << 16, 1 << 16);
    m_key = key;
    return true;
}

bool ZuScaler::toBgra(const AVFrame *src, uint8_t *dst, int dstStride)
{
    if (!src || !dst || src->width <= 0 || src->height <= 0 || src->format < 0 || !src->data[0]) {
        logError("toBgra", QStringLiteral("empty picture"));
        return false;
    }
    if (dstStride < 4 * src->width) {
        logError("toBgra", QStringLiteral("stride too short"));
        return false;
    }
    const int srcFormat = withoutFullRangeAlias(src->format);
    if (!prepare(srcFormat, src->width, src->height, isFullRange(src), src->colorspace,
                 AV_PIX_FMT_BGRA, src->width, src->height, true))
        return false;
    uint8_t *dstData[4] = {dst, nullptr, nullptr, nullptr};
    int dstLines[4] = {dstStride, 0, 0, 0};
    const int rows = sws_scale(m_sws, src->data, src->linesize, 0, src->height, dstData, dstLines);
    if (rows <= 0) {
        logError("toBgra", QStringLiteral("conversion failed"));
        return false;
    }
    return true;
}

bool ZuScaler::toBgraScaled(const AVFrame *src, const QRect &crop, uint8_t *dst, int dstWidth, int dstHeight,
                            int dstStride)
{
    if (!src || !dst || src->width <= 0 || src->height <= 0 || src->format < 0 || !src->data[0]) {
        logError("toBgraScaled", QStringLiteral("empty picture"));
        return false;
    }
    if (dstWidth <= 0 || dstHeight <= 0 || dstStride < 4 * dstWidth) {
        logError("toBgraScaled", QStringLiteral("bad target %1x%2 stride %3").arg(dstWidth).arg(dstHeight).arg(dstStride));
        return false;
    }
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))) {
        logError("toBgraScaled", QStringLiteral("unsupported pixel format"));
        return false;
    }
    QRect part = crop.intersected(QRect(0, 0, src->width, src->height));
    if (part.isEmpty())
        part = QRect(0, 0, src->width, src->height);
    // The corner on the chroma grid, so that every plane starts on a whole sample.
    const int alignX = 1 << desc->log2_chroma_w;
    const int alignY = 1 << desc->log2_chroma_h;
    const int left = part.left() - part.left() % alignX;
    const int top = part.top() - part.top() % alignY;
    const int width = part.right() + 1 - left;
    const int height = part.bottom() + 1 - top;
    const uint8_t *planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int lines[4] = {0, 0, 0, 0};
    int pixelSteps[4] = {0, 0, 0, 0};
    av_image_fill_max_pixsteps(pixelSteps, nullptr, desc);
    for (int i = 0; i < 4 && src->data[i]; ++i) {
        const bool chroma = (i == 1 || i == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
        const int x = chroma ? left >> desc->log2_chroma_w : left;
        const int y = chroma ? top >> desc->log2_chroma_h : top;
        planes[i] = src->data[i] + qptrdiff(y) * src->linesize[i] + qptrdiff(x) * pixelSteps[i];
        lines[i] = src->linesize[i];
    }
    const int srcFormat = withoutFullRangeAlias(src->format);
    if (!prepare(srcFormat, width, height, isFullRange(src), src->colorspace, AV_PIX_FMT_BGRA, dstWidth,
                 dstHeight, true))
        return false;
    uint8_t *dstData[4] = {dst, nullptr, nullptr, nullptr};
    int dstLines[4] = {dstStride, 0, 0, 0};
    const int rows = sws_scale(m_sws, planes, lines, 0, height, dstData, dstLines);
    if (rows <= 0) {
        logError("toBgraScaled", QStringLiteral("conversion failed"));
        return false;
    }
    return true;
}

QImage ZuScaler::toImage(const AVFrame *src)
{
    if (!src || src->width <= 0 || src->height <= 0) {
        logError("toImage", QStringLiteral("empty picture"));
        return QImage();
    }
    QImage image(src->width, src->height, QImage::Format_ARGB32);
    if (image.isNull()) {
        logError("toImage", QStringLiteral("allocation failed"));
        return QImage();
    }
    if (!toBgra(src, image.bits(), static_cast<int>(image.bytesPerLine())))
        return QImage();
    return image;
}

bool ZuScaler::convert(const AVFrame *src, AVFrame *dst)
{
    if (!src || !dst || src->width <= 0 || src->height <= 0 || src->format < 0 || !src->data[0]
        || dst->width <= 0 || dst->height <= 0 || dst->format < 0 || !dst->data[0]) {
        logError("convert", QStringLiteral("empty picture"));
        return false;
    }
    bool dstAlias = false;
    const int dstFormat = withoutFullRangeAlias(dst->format, &dstAlias);
    const bool dstFull = dstAlias || dst->color_range == AVCOL_RANGE_JPEG || !isYuv(dst->format);
    if (!prepare(withoutFullRangeAlias(src->format), src->width, src->height, isFullRange(src), src->colorspace,
                 dstFormat, dst->width, dst->height, dstFull))
        return false;
    const int rows = sws_scale(m_sws, src->data, src->linesize, 0, src->height, dst->data, dst->linesize);
    if (rows <= 0) {
        logError("convert", QStringLiteral("conversion failed"));
        return false;
    }
    return true;
}

AVFrame *ZuScaler::convert(const AVFrame *src, int format, int width, int height)
{
    if (width <= 0 || height <= 0 || format < 0) {
        logError("convert", QStringLiteral("empty target"));
        return nullptr;
    }
    AVFrame *dst = av_frame_alloc();
    if (!dst)
        return nullptr;
    dst->format = format;
    dst->width = width;
    dst->height = height;
    bool alias = false;
    withoutFullRangeAlias(format, &alias);
    dst->color_range = alias ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(dst, 0) < 0 || !convert(src, dst)) {
        av_frame_free(&dst);
        return nullptr;
    }
    return dst;
}
