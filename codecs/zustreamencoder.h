#pragma once
#include <QFont>
#include <QHash>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "placefile.h"
#include "zuscaler.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

// Encodes decoded pictures into a video file, optionally with a burnt-in
// caption "label | dd/MM/yyyy HH:mm:ss.zzz". The date and time are always
// drawn whole (in a smaller font on a picture too narrow for them at the
// chosen size); a label longer than the room they leave is elided. The
// container follows the output path's suffix (.mp4, .avi, .webm, .mkv).
// The file is written under a temporary name in the same folder and gets
// its final name only when end_encoding() succeeds, so a failed or abandoned
// encode leaves nothing behind. The finished file never replaces a file that
// came to its name while it was being written (another export finished
// first, say): it is kept beside it instead. Used from one thread at a time;
// the caption needs a QGuiApplication (text rendering).
class ZuStreamEncoder
{
public:
    ZuStreamEncoder();
    // Abandons an encode that end_encoding() did not finish: its temporary
    // file is removed.
    virtual ~ZuStreamEncoder();
    ZuStreamEncoder(const ZuStreamEncoder &) = delete;
    ZuStreamEncoder &operator=(const ZuStreamEncoder &) = delete;

    // Opens the output and the encoder for `width` x `height` pictures at
    // `fps` frames per second (25 when not positive). `codecName`:
    // "libx264"/"h264", "hevc"/"h265", "mjpeg", "vp9", "av1". `rate` is
    // accepted for the callers' sake and not used: quality is constant.
    // `captionSize`: "small", "normal", "large", "extralarge" (others: normal).
    // `pixelFormat` is the pictures' expected format; any format the scaler
    // reads is accepted frame by frame, since the encoder uses its own
    // preferred format. False, with a log line and no file left behind, when
    // the container, the encoder or the output file cannot be set up.
    bool init_encoder(const QString &path, const QString &codecName, int rate, int fps, int width, int height,
                      bool caption, const QString &captionSize, int pixelFormat);

    // The one file the finished file may replace at its name: the file that
    // stood there when the user chose the name and agreed to replace it, or
    // nothing (an identity that does not exist) when the name was free.
    // Without this call, what stood at the name when init_encoder() opened
    // the output. Kept for the encodes that follow.
    void setReplaceable(const placefile::Identity &identity);

    // Converts `frame` to the encoder's format and size, draws the caption
    // (label and the time of `timestamp`, "yyyyMMddHHmmsszzz" or
    // "yyyy-MM-dd HH:mm:ss.zzz") when enabled, encodes it and writes the
    // packets. Presentation times come from the encoder's own frame counter;
    // `frameId` only appears in the raw index. When given, `rawOut` receives
    // every encoded packet's bytes and `rawIndex` one line per packet
    // "timestamp:frameId:size:key". The caller keeps ownership of `frame`,
    // which is never modified. False when not initialised, for an empty
    // picture, or when the encoder or the file refuses the frame.
    bool encodeFrame(AVFrame *frame, int width, int height, const QString &timestamp, const QString &label,
                     int frameId, FILE *rawOut = nullptr, FILE *rawIndex = nullptr);

    // Flushes the encoder, writes the trailer, closes the file and gives it
    // its final name, replacing only the file setReplaceable() allows. When
    // something else stands at the name, the file is kept beside it under
    // the first free name of "base-1.suffix", "base-2.suffix", ... (under
    // its temporary name when none is free), keptAs() says where, and false
    // is returned. When no frame was encoded the temporary file is removed
    // and false returned. Safe to call more than once.
    bool end_encoding();
    // Where the last end_encoding() kept the finished file because its name
    // had been taken; empty when it did not.
    QString keptAs() const { return m_keptAs; }

    bool isOpen() const { return m_fmt != nullptr; }
    int framesEncoded() const { return static_cast<int>(m_nextPts); }
    // The libavcodec encoder actually used (e.g. "libsvtav1" for "av1").
    QString encoderName() const { return m_encoderName; }
    // The pixel format the pictures are encoded in (an AVPixelFormat).
    int encoderPixelFormat() const { return m_encPixFmt; }
    QString outputPath() const { return m_finalPath; }

    // The caption text for a label and a frame time; exposed for tests.
    static QString captionText(const QString &label, const QString &timestamp);
    // The caption's font height in pixels for a picture height and size name
    // (a picture too narrow for the time gets a smaller one).
    static int captionPixelSize(int pictureHeight, const QString &captionSize);
    // The smallest font height the caption is made smaller to.
    static constexpr int kMinCaptionPixels = 6;
    // The muxer name for an output path's suffix; empty when unsupported.
    static QString containerFor(const QString &path);

private:
    bool writePackets(const QString &timestamp, int frameId, FILE *rawOut, FILE *rawIndex);
    bool drawCaption(AVFrame *picture, const QString &label, const QString &timestamp);
    bool setupCaptionFont(int pictureWidth, int pictureHeight);
    // `source` is the label part as captionParts gives it, elided here to
    // the room the time leaves.
    bool prepareCaption(const QString &source, const QString &time);
    const QImage &glyph(QChar ch);
    // The caption split into the part rendered as a whole (label, separator,
    // or a timestamp that is no time) and the time drawn character by character.
    static void captionParts(const QString &label, const QString &timestamp, QString &prefix, QString &time);
    void closeAll();
    void fail(const QString &function, const QString &detail);
    // Gives the finished temporary file the final name, or keeps it beside
    // it (keptAs); false when it has neither.
    bool placeFinishedFile();

    AVFormatContext *m_fmt = nullptr;
    AVCodecContext *m_enc = nullptr;
    AVStream *m_stream = nullptr;
    AVFrame *m_work = nullptr;
    AVPacket *m_packet = nullptr;
    ZuScaler m_scaler;
    QString m_finalPath;
    QString m_tempPath;
    QString m_keptAs;
    placefile::Identity m_replaceable;
    bool m_replaceableGiven = false;
    QString m_encoderName;
    int m_encPixFmt = -1;
    int64_t m_nextPts = 0;
    bool m_headerWritten = false;
    bool m_flushed = false;

    // Caption: coverage maps of the text, blended into each picture.
    bool m_caption = false;
    QString m_captionSize;
    QString m_captionKey;
    QSize m_captionGeometry;
    bool m_captionUsable = true;
    QFont m_font;
    int m_capPad = 0, m_capOverhang = 0, m_capAscent = 0, m_capMaxW = 0;
    int m_capX = 0, m_capY = 0, m_capW = 0, m_capH = 0; // luma box
    int m_capCw = 0, m_capCh = 0;                       // chroma box
    int m_chromaShiftW = 0, m_chromaShiftH = 0;
    int m_textY = 235;
    uint8_t m_boxLut[256] = {};    // luma under the box
    uint8_t m_chromaLut[256] = {}; // text coverage -> chroma pull towards neutral
    QString m_prefixText;   // the label part as drawn
    QString m_prefixSource; // ...and as it came, with the room it had
    int m_prefixRoom = -1;
    QImage m_prefix;
    int m_prefixAdvance = 0;
    QHash<char16_t, QImage> m_glyphs;
    std::vector<uint8_t> m_capCov, m_capCovC;
};
