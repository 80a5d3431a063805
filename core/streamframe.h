#pragma once
#include <QByteArray>
#include <QString>

struct AVFrame;

// One video frame on its way from a reader or stream client to the display
// or an encoder. It owns its decoded picture and its raw bytes and releases
// both exactly once; it cannot be copied.
class StreamFrame
{
public:
    // Frame ids count up and wrap at this value.
    static constexpr int kFrameIdWrap = 1000000;
    // Frame id that marks the end of a replay.
    static constexpr int kEndOfReplayId = -99;
    static constexpr int kMaxTimestampChars = 128;

    StreamFrame() = default;
    ~StreamFrame();
    StreamFrame(const StreamFrame &) = delete;
    StreamFrame &operator=(const StreamFrame &) = delete;

    // Takes ownership of `frame` (freed with av_frame_free), replacing any
    // picture held before; width, height, pixel format and line sizes are
    // taken from it.
    void setAvFrame(AVFrame *frame);
    AVFrame *avFrame() const { return m_frame; }
    // Gives the picture away; the record no longer frees it.
    AVFrame *takeAvFrame();

    int width() const { return m_width; }
    int height() const { return m_height; }
    void setSize(int width, int height) { m_width = width; m_height = height; }
    int pixelFormat() const { return m_pixelFormat; }
    void setPixelFormat(int format) { m_pixelFormat = format; }
    const int *lineSizes() const { return m_lineSizes; }
    int imageSize() const { return m_imageSize; }
    void setImageSize(int bytes) { m_imageSize = bytes; }

    int frameId() const { return m_frameId; }
    void setFrameId(int id) { m_frameId = id; }
    bool isKeyframe() const { return m_keyframe; }
    void setKeyframe(bool key) { m_keyframe = key; }
    double fps() const { return m_fps; }
    void setFps(double fps) { m_fps = fps; }

    // Zero-terminated 8-bit text of at most kMaxTimestampChars characters.
    const char *timestampText() const { return m_timestamp.constData(); }
    void setTimestampText(const QByteArray &text);

    QString frameTag() const { return m_frameTag; }
    void setFrameTag(const QString &tag) { m_frameTag = tag; }
    QString drawOverlay() const { return m_drawOverlay; }
    void setDrawOverlay(const QString &text) { m_drawOverlay = text; }
    // The Content-Type of the stream part the frame came from, as sent.
    QByteArray partType() const { return m_partType; }
    void setPartType(const QByteArray &type) { m_partType = type; }

    const uint8_t *rawData() const { return reinterpret_cast<const uint8_t *>(m_raw.constData()); }
    int rawDataSize() const { return static_cast<int>(m_raw.size()); }
    void setRawData(const QByteArray &bytes) { m_raw = bytes; }

private:
    AVFrame *m_frame = nullptr;
    int m_width = -1;
    int m_height = -1;
    int m_pixelFormat = -1;
    int m_lineSizes[8] = {};
    int m_imageSize = 0;
    int m_frameId = 0;
    bool m_keyframe = false;
    double m_fps = -1.0;
    QByteArray m_timestamp;
    QString m_frameTag;
    QString m_drawOverlay;
    QByteArray m_partType;
    QByteArray m_raw;
};
