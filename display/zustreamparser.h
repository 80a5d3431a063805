#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>
#include <memory>

#include "multipartparser.h"

class StreamFrame;
class VideoDecoder;

// The client of a live HTTP multipart frame stream (a recorder's live or
// replay stream): a thread that fetches scheme://host:port/path with libcurl
// and turns each part into a StreamFrame pushed at the back of the
// consumer's queue, under the consumer's lock. While the queue holds the
// maximum number of frames it stops reading (the sender is held back by the
// connection) and looks again every 200 ms.
//
// Each frame carries: the part's "Timestamp" header as
// "yyyy-MM-dd HH:mm:ss.zzz" (a part without one, or with one that does not
// read as a time, is stamped with its arrival time), its "Frametag" header,
// a running frame id, the frame rate measured over the last timestamps (-1
// until two are known), the decoded picture (unless decoding is off; the
// codec comes from the part's Content-Type, else from the codec of the
// stream's first picture, else from the part's bytes), and the part's body
// as raw bytes when raw copy is on.
//
// A peer chooses the size of its pictures, so the queue is bounded by bytes
// as well as by frames, parts wait encoded until the queue has room, a
// picture larger than kMaxPictureSide in either direction is never kept
// (with a log line), and the decoder may hold at most kMaxDecoderBytes of
// pictures (their size times the pictures the stream keeps for reference and
// reordering). Redirects are followed to http and https addresses only.
//
// error() is emitted at most once per run, when the stream fails: no
// connection, an HTTP error status, a transfer error (a reset connection), a
// stream that is not multipart, a stream that ends without any part,
// pictures too large for the decoder's bound, or a stream that gives no
// picture for the silence timeout: from the start, then from the last
// picture (with decoding off, the last part with a body); bytes that make
// no picture do not count, nor does time spent waiting for room in the
// queue; but until the first picture (a view joined in the middle of a
// group waits for the next key frame) every part with a body counts, within
// six silence limits from the start. A stream ends at its closing delimiter, whatever the server sends
// after it, and a stream that the server closes cleanly after its parts just
// ends the thread. A stop request (threadStop) ends the run within about
// 200 ms and never counts as a failure. libcurl must have been set up once
// for the process (zuCurlGlobalInit) before the first start.
class ZuStreamParser : public QThread
{
    Q_OBJECT
public:
    // `streamId`, `objectsOnly`, `replay` and `owner` describe the stream for
    // a display; the parser only records them. `codec`, when not empty,
    // forces the decoder ("h264", "hevc", "mjpeg").
    ZuStreamParser(const QString &scheme, const QString &host, const QString &port, const QString &streamId,
                   const QString &path, bool objectsOnly, const QString &codec, bool replay, QObject *owner);
    // Stops the transfer and joins the thread; frames not handed over yet are freed.
    ~ZuStreamParser() override;

    // The consumer's queue and the lock that guards it; set before start().
    // Without a lock the parser uses one of its own; without a queue the
    // frames are dropped.
    void setFrameQueue(std::deque<StreamFrame *> *queue);
    void setQueueLock(QMutex *lock);
    void setMaxQueuedFrames(int frames);
    // The most bytes (pictures and raw copies) the queue holds before the
    // parser waits; a frame alone in the queue may exceed it. <= 0: no bound.
    void setMaxQueuedBytes(qint64 bytes);
    // 0 or less: no limit (a consumer that bounds its own waits).
    void setSilenceTimeoutMs(int ms);

    static constexpr int kMaxPictureSide = 8192;
    static constexpr qint64 kMaxDecoderBytes = 512 * 1024 * 1024;
    static constexpr qint64 kDefaultMaxQueuedBytes = 256 * 1024 * 1024;
    static constexpr int kDefaultSilenceTimeoutMs = 5000;
    // What a frame holds in memory: its picture's buffers and its raw bytes.
    static qint64 frameBytes(const StreamFrame *frame);
    // Raw frames: every part becomes a frame, also one that gives no picture
    // (its size stays -1); otherwise only parts with a picture are queued.
    void setRawFrames(bool raw);
    // Raw copy: each part's body is kept in the frame's raw bytes.
    void setRawCopy(bool copy);
    void setNoDecode(bool noDecode);
    // The name that tells this stream apart in the log lines.
    void setLogName(const QString &name);

    QString url() const { return m_url; }
    // scheme://host:port/path; no port part for an empty port or "-1".
    static QString makeUrl(const QString &scheme, const QString &host, const QString &port, const QString &path);
    QString logName() const { return m_logName; }
    bool stopRequested() const { return m_stop.load(); }
    // Frames handed to the queue during the current or last run.
    qint64 framesQueued() const { return m_framesQueued.load(); }

    // The frame for one part, as the thread makes it (no network needed).
    // Null for a part that gives no frame (an empty body, or no picture
    // while raw frames are off). The caller owns the frame.
    StreamFrame *frameFromPart(const ZuMultipartParser::Part &part);

    // A "Timestamp" header value as "yyyy-MM-dd HH:mm:ss.zzz" local time:
    // that form itself (with up to nine fraction digits), ISO 8601 with "T"
    // and a zone, "yyyyMMddHHmmss[zzz]", or seconds / milliseconds since
    // 1970. Empty when the value reads as none of them.
    static QByteArray normalizedTimestamp(const QByteArray &value);
    // The decoder for a part: the one its Content-Type names, else the one
    // its bytes show. Empty when unknown.
    static QString codecForPart(const QByteArray &contentType, const QByteArray &body);
    // The decoder a Content-Type names ("image/jpeg", "video/h264",
    // "video/hevc"...); empty for one that names none
    // ("application/octet-stream").
    static QString codecForType(const QByteArray &contentType);
    // The decoder a unit's own bytes show: a JPEG start of image, or NAL
    // units that read as H.264 or H.265 only (see KeyUnits::codecOf). Empty
    // when they show none.
    static QString codecForBytes(const QByteArray &body);

public Q_SLOTS:
    // Stops the stream; with `delete_after_reply` the parser also deletes
    // itself once its thread has ended. Callable from any thread.
    void threadStop(bool delete_after_reply);

Q_SIGNALS:
    void error();

protected:
    void run() override;

private:
    static size_t writeCallback(char *data, size_t size, size_t count, void *self);
    size_t onData(const char *data, size_t size);
    bool checkResponse();
    // Decodes the parts taken from the stream, one at a time and only while
    // the queue has room for their frames; true when none is left waiting.
    bool drainParts();
    // Hands pending frames to the queue while it has room; true when none is left.
    bool flushPending();
    void failRun(const QString &why);
    // The decoder refused the stream's pictures: nothing more is decoded.
    bool decoderRefused() const;
    void freePending();
    double measureFps(const QByteArray &timestamp);

    QString m_scheme, m_host, m_port, m_streamId, m_path, m_codec, m_url;
    bool m_objectsOnly = false;
    bool m_replay = false;
    QPointer<QObject> m_owner;
    QString m_logName = QStringLiteral("STREAM");

    std::deque<StreamFrame *> *m_queue = nullptr;
    QMutex *m_queueLock = nullptr;
    QMutex m_ownLock;
    int m_maxQueued = 30;
    qint64 m_maxQueuedBytes = kDefaultMaxQueuedBytes;
    int m_silenceTimeoutMs = kDefaultSilenceTimeoutMs;
    bool m_rawFrames = false;
    bool m_rawCopy = false;
    bool m_noDecode = false;

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_deleteAfterStop{false};
    std::atomic<qint64> m_framesQueued{0};
    QMutex m_curlLock; // guards m_multi against threadStop's wake-up
    void *m_multi = nullptr;
    void *m_easy = nullptr;

    // State of one run, touched by the parser's thread only.
    std::unique_ptr<ZuMultipartParser> m_multipart;
    std::unique_ptr<VideoDecoder> m_decoder;
    std::deque<StreamFrame *> m_pending;
    bool m_responseChecked = false;
    bool m_paused = false;
    bool m_closed = false; // the closing delimiter came
    QString m_failure;
    QString m_decoderCodec;
    // The codec of the run's first picture: parts whose type names no codec
    // are decoded with it when they are units of it, whatever one unit's
    // bytes alone would tell, and not at all otherwise.
    QString m_pictureCodec;
    bool m_unknownCodecLogged = false;
    bool m_oversizeLogged = false;
    QElapsedTimer m_clock;
    qint64 m_lastPictureMs = 0; // steady time of the last picture, or of the last wait for the queue
    bool m_anyPicture = false;  // the run has decoded a picture
    int m_nextFrameId = 0;
    std::deque<qint64> m_recentTimes; // ms since the epoch of the last parts
};
