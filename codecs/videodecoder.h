#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVBufferRef;

// Decodes the recorded access units of one video stream (H.264, H.265 or
// MJPEG), one access unit in and, once the stream has started, one picture
// out: no frame threading and low delay, so a picture never lags behind the
// unit that carries it, except in streams that reorder pictures (see
// drain()). Not thread-safe; one decoder per reading thread.
class VideoDecoder
{
public:
    enum class Hardware {
        Software,        // libavcodec's software decoder only
        CudaIfAvailable, // try a CUDA device first, fall back to software silently
    };
    enum class Threading {
        LowDelay, // slice threads and low delay: a picture as soon as its unit is in
        Frame,    // frame threads on every core: far more pictures a second, each a few units late
    };

    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder &) = delete;
    VideoDecoder &operator=(const VideoDecoder &) = delete;

    // Opens the decoder for the codec text of a seek file ("h264", "hevc" or
    // "h265", "mjpeg"; case and blanks are ignored). Closes any decoder open
    // before. Returns false, with a log line, for an unknown codec text or
    // when libavcodec refuses.
    bool open(const QString &codecName, Hardware hardware = Hardware::Software,
              Threading threading = Threading::LowDelay);
    void close();
    bool isOpen() const { return m_ctx != nullptr; }
    // The normalised codec text the decoder was opened with ("h264", "hevc", "mjpeg").
    QString codecName() const { return m_codecName; }
    // True when pictures come from a hardware device (and are copied back to
    // system memory before they are returned).
    bool usesHardware() const { return m_hwDevice != nullptr; }
    // How many pictures the stream holds back for reordering (B-frames), as
    // far as the decoder knows from what it has decoded; 0 before that.
    int reorderDepth() const;

    // Decodes one access unit. Returns 0 and sets *picture to a new frame
    // that the caller owns (free it with av_frame_free); AVERROR(EAGAIN)
    // when the unit gave no picture (the stream has not reached a decodable
    // point yet); another negative AVERROR code when the bytes are invalid
    // or the decoder is not open. *picture is null whenever the result is
    // not 0. The picture's key_frame field carries the decoder's key-frame
    // flag.
    int decode(const uint8_t *data, int size, AVFrame **picture);
    // The same with a tag for the unit: the picture that the unit carries
    // comes out with `pts` in its pts field, whenever the decoder hands it
    // out (a reordering stream gives pictures in another order than the
    // units went in, and may give a unit's picture a few calls later).
    int decode(const uint8_t *data, int size, int64_t pts, AVFrame **picture);
    // Convenience form: the picture or null.
    AVFrame *decode(const QByteArray &accessUnit);

    // Forgets the reference pictures (after a jump in the stream).
    void flush();

    // Streams that reorder pictures (H.265 with B-frames) hold a few
    // pictures back whatever the flags: decode() then answers EAGAIN for
    // units that did go in. Once the last unit is in, drain() hands out the
    // pictures still held, one a call: 0 with *picture set (the caller owns
    // it), AVERROR_EOF when none is left. Call flush() before decoding again.
    int drain(AVFrame **picture);

    // Bounds what the decoder itself keeps: the size of the stream's
    // pictures times the pictures it may hold (references, pictures held
    // back for reordering, the one being decoded). A stream beyond it is
    // refused before its pictures are allocated where libavcodec tells
    // enough, else at its first picture: decode() then fails with
    // AVERROR(ENOMEM) until the decoder is opened again. Set before open();
    // 0, the default: no bound.
    void setMemoryLimit(qint64 bytes) { m_memoryLimit = bytes; }
    bool exceedsMemoryLimit() const { return m_overLimit; }

    // Whether the parameter sets the access unit carries say how far the
    // stream's B-frames reach (a decoder then knows it from its first unit,
    // instead of finding out on the way and dropping a picture then).
    static bool statesReorderDepth(const QString &codecName, const uint8_t *data, int size);

    // Maps a seek-file codec text to "h264", "hevc" or "mjpeg"; empty when unknown.
    static QString normalizedCodecName(const QString &codecName);

private:
    friend struct VideoDecoderHooks;
    // Whether pictures of this many bytes each fit the memory limit with
    // what the stream holds; logs and marks the decoder refused when not.
    bool admitsPictures(const AVCodecContext *ctx, qint64 bytesEach, int width, int height);

    bool openCuda(AVCodecContext *ctx);
    int receive(AVFrame **picture);

    AVCodecContext *m_ctx = nullptr;
    AVBufferRef *m_hwDevice = nullptr;
    AVPacket *m_packet = nullptr;
    AVFrame *m_work = nullptr;
    std::vector<uint8_t> m_buffer; // the unit plus the zeroed padding libavcodec reads past its end
    QString m_codecName;
    bool m_draining = false;
    qint64 m_memoryLimit = 0;
    bool m_overLimit = false;
};
