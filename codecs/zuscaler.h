#pragma once
#include <QImage>
#include <QRect>

#include <cstdint>

struct AVFrame;
struct SwsContext;

// Converts decoded pictures to BGRA for display or to another pixel format
// and size for an encoder, honouring the colour range: full-range input
// (yuvj* formats or a frame marked full range) is not stretched a second
// time, limited-range input is expanded to full range for BGRA. The
// conversion context is kept while the geometry and formats stay the same.
// Not thread-safe; one scaler per thread.
class ZuScaler
{
public:
    ZuScaler();
    ~ZuScaler();
    ZuScaler(const ZuScaler &) = delete;
    ZuScaler &operator=(const ZuScaler &) = delete;

    // Writes the picture at its own size as BGRA (bytes B, G, R, A; alpha 255)
    // into `dst`, which holds `src->height` rows of `dstStride` bytes;
    // `dstStride` must be at least 4 * `src->width`. False for a missing or
    // zero-sized picture, an unknown pixel format or a short stride.
    bool toBgra(const AVFrame *src, uint8_t *dst, int dstStride);
    // Writes the part `crop` of the picture (in its pixels; clipped to it,
    // its corner moved to the chroma grid) scaled to `dstWidth` x `dstHeight`
    // as BGRA into `dst`, rows of `dstStride` bytes. False as toBgra().
    bool toBgraScaled(const AVFrame *src, const QRect &crop, uint8_t *dst, int dstWidth, int dstHeight,
                      int dstStride);
    // The picture as a QImage::Format_ARGB32 image of its own size (the same
    // bytes as BGRA on little-endian machines); a null image on failure.
    QImage toImage(const AVFrame *src);

    // Converts into `dst`, whose format, width and height are set and whose
    // buffers are allocated (av_frame_get_buffer); dst->color_range chooses
    // the output range for YUV formats (yuvj* formats are always full range).
    bool convert(const AVFrame *src, AVFrame *dst);
    // Converts into a new frame of `format` (an AVPixelFormat) and size that
    // the caller owns; null on failure.
    AVFrame *convert(const AVFrame *src, int format, int width, int height);

    // Scales with swscale's fast bilinear filter rather than its bilinear
    // one: for pictures shown and replaced many times a second.
    void setFast(bool fast)
    {
        if (fast != m_fast)
            reset();
        m_fast = fast;
    }

    // Releases the cached context.
    void reset();

    // The non-deprecated equivalent of a yuvj* format (yuv*) and whether the
    // given format is one of the full-range yuvj* formats.
    static int withoutFullRangeAlias(int format, bool *isFullRangeAlias = nullptr);
    // Whether the picture's samples use the full 0..255 range.
    static bool isFullRange(const AVFrame *frame);

private:
    bool prepare(int srcFormat, int srcW, int srcH, bool srcFull, int srcSpace,
                 int dstFormat, int dstW, int dstH, bool dstFull);

    SwsContext *m_sws = nullptr;
    bool m_fast = false;
    struct Key {
        int srcFormat = -1, srcW = 0, srcH = 0, srcSpace = -1;
        int dstFormat = -1, dstW = 0, dstH = 0;
        bool srcFull = false, dstFull = false;
        bool operator==(const Key &o) const
        {
            return srcFormat == o.srcFormat && srcW == o.srcW && srcH == o.srcH && srcSpace == o.srcSpace
                && dstFormat == o.dstFormat && dstW == o.dstW && dstH == o.dstH && srcFull == o.srcFull
                && dstFull == o.dstFull;
        }
    } m_key;
};
