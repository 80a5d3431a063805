#include "zustreamparser.h"

#include "http_singleton.h"
#include "keyunits.h"
#include "streamframe.h"
#include "videodecoder.h"
#include "peertext.h"
#include "zulog.h"
#include "logaddress.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTimeZone>

#include <curl/curl.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include <cerrno>

namespace {
constexpr int kPollMs = 200;
// The first picture may wait this many silence limits for its key frame.
constexpr int kFirstPictureSilences = 6;
constexpr int kFpsWindow = 20;
const char kTimeFormat[] = "yyyy-MM-dd HH:mm:ss.zzz";

CURLM *multiOf(void *p)
{
    return static_cast<CURLM *>(p);
}
CURL *easyOf(void *p)
{
    return static_cast<CURL *>(p);
}
} // namespace

ZuStreamParser::ZuStreamParser(const QString &scheme, const QString &host, const QString &port,
                               const QString &streamId, const QString &path, bool objectsOnly, const QString &codec,
                               bool replay, QObject *owner)
    : QThread(nullptr)
    , m_scheme(scheme)
    , m_host(host)
    , m_port(port)
    , m_streamId(streamId)
    , m_path(path)
    , m_codec(VideoDecoder::normalizedCodecName(codec))
    , m_objectsOnly(objectsOnly)
    , m_replay(replay)
    , m_owner(owner)
{
    m_url = makeUrl(scheme, host, port, path);
}

QString ZuStreamParser::makeUrl(const QString &scheme, const QString &host, const QString &port, const QString &path)
{
    QString hostPart = host;
    if (hostPart.contains(QLatin1Char(':')) && !hostPart.startsWith(QLatin1Char('[')))
        hostPart = QLatin1Char('[') + hostPart + QLatin1Char(']');
    QString url = (scheme.isEmpty() ? QStringLiteral("http") : scheme) + QStringLiteral("://") + hostPart;
    if (!port.isEmpty() && port != QLatin1String("-1"))
        url += QLatin1Char(':') + port;
    if (!path.isEmpty() && !path.startsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + path;
}

ZuStreamParser::~ZuStreamParser()
{
    threadStop(false);
    wait();
    freePending();
}

void ZuStreamParser::setFrameQueue(std::deque<StreamFrame *> *queue)
{
    m_queue = queue;
}

void ZuStreamParser::setQueueLock(QMutex *lock)
{
    m_queueLock = lock;
}

void ZuStreamParser::setMaxQueuedFrames(int frames)
{
    m_maxQueued = frames;
}

void ZuStreamParser::setMaxQueuedBytes(qint64 bytes)
{
    m_maxQueuedBytes = bytes;
}

void ZuStreamParser::setSilenceTimeoutMs(int ms)
{
    m_silenceTimeoutMs = ms;
}

qint64 ZuStreamParser::frameBytes(const StreamFrame *frame)
{
    qint64 bytes = frame->rawDataSize();
    if (const AVFrame *picture = frame->avFrame()) {
        for (const AVBufferRef *buf : picture->buf)
            if (buf)
                bytes += qint64(buf->size);
    }
    return bytes;
}

void ZuStreamParser::setRawFrames(bool raw)
{
    m_rawFrames = raw;
}

void ZuStreamParser::setRawCopy(bool copy)
{
    m_rawCopy = copy;
}

void ZuStreamParser::setNoDecode(bool noDecode)
{
    m_noDecode = noDecode;
}

void ZuStreamParser::setLogName(const QString &name)
{
    m_logName = name;
}

void ZuStreamParser::threadStop(bool delete_after_reply)
{
    if (!m_stop.exchange(true))
        logMessage(QStringLiteral("[INFO] ZuStreamParser :: %1 :: thread stop").arg(m_logName));
    {
        QMutexLocker lock(&m_curlLock);
        if (m_multi)
            curl_multi_wakeup(multiOf(m_multi));
    }
    if (delete_after_reply && !m_deleteAfterStop.exchange(true)) {
        // Connected before the test: a thread that is no longer running has
        // emitted finished() already, one that still runs will.
        connect(this, &QThread::finished, this, &QObject::deleteLater);
        if (!isRunning())
            deleteLater();
    }
}

// ---------------------------------------------------------------- parts

QByteArray ZuStreamParser::normalizedTimestamp(const QByteArray &value)
{
    const QString text = QString::fromLatin1(value.trimmed());
    if (text.isEmpty())
        return QByteArray();
    static const QRegularExpression dated(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})[ T](\\d{2}):(\\d{2}):(\\d{2})(?:[.,](\\d{1,9}))?\\s*(Z|[+-]\\d{2}:?\\d{2})?$"));
    static const QRegularExpression compact(QStringLiteral("^(\\d{4})(\\d{2})(\\d{2})(\\d{2})(\\d{2})(\\d{2})(\\d{3})?$"));
    static const QRegularExpression epoch(QStringLiteral("^(\\d{10}|\\d{13})(?:\\.(\\d{1,9}))?$"));
    QDateTime when;
    QRegularExpressionMatch m = dated.match(text);
    if (!m.hasMatch())
        m = compact.match(text);
    if (m.hasMatch()) {
        const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        const int ms = m.captured(7).isEmpty() ? 0 : m.captured(7).left(3).leftJustified(3, QLatin1Char('0')).toInt();
        const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), ms);
        if (!date.isValid() || !time.isValid())
            return QByteArray();
        const QString zone = m.lastCapturedIndex() >= 8 ? m.captured(8) : QString();
        if (zone.isEmpty()) {
            when = QDateTime(date, time); // the recorder's own (local) time, as written
        } else {
            int offset = 0;
            if (zone != QLatin1String("Z")) {
                const QString digits = QString(zone).remove(QLatin1Char(':'));
                offset = (digits.mid(1, 2).toInt() * 3600 + digits.mid(3, 2).toInt() * 60)
                    * (digits.startsWith(QLatin1Char('-')) ? -1 : 1);
            }
            when = QDateTime(date, time, QTimeZone(offset)).toLocalTime();
        }
    } else if ((m = epoch.match(text)).hasMatch()) {
        const qint64 n = m.captured(1).toLongLong();
        const qint64 ms = m.captured(1).size() == 13 ? n : n * 1000 + m.captured(2).left(3).leftJustified(3, QLatin1Char('0')).toInt();
        when = QDateTime::fromMSecsSinceEpoch(ms);
    }
    if (!when.isValid())
        return QByteArray();
    return when.toString(QLatin1String(kTimeFormat)).toLatin1();
}

QString ZuStreamParser::codecForPart(const QByteArray &contentType, const QByteArray &body)
{
    const QString named = codecForType(contentType);
    return named.isEmpty() ? codecForBytes(body) : named;
}

QString ZuStreamParser::codecForType(const QByteArray &contentType)
{
    const QByteArray type = contentType.toLower();
    if (type.contains("jpeg") || type.contains("jpg"))
        return QStringLiteral("mjpeg");
    if (type.contains("h264") || type.contains("avc"))
        return QStringLiteral("h264");
    if (type.contains("h265") || type.contains("hevc"))
        return QStringLiteral("hevc");
    return QString();
}

QString ZuStreamParser::codecForBytes(const QByteArray &body)
{
    const auto *b = reinterpret_cast<const uint8_t *>(body.constData());
    if (KeyUnits::isUnitOf(QStringLiteral("mjpeg"), b, int(body.size())))
        return QStringLiteral("mjpeg");
    // A two-byte look cannot tell them: an H.264 unit may open with a
    // message whose first bytes read as an H.265 header, and an H.265
    // picture of a higher temporal sub-layer as an H.264 one.
    return KeyUnits::codecOf(b, int(body.size()));
}

double ZuStreamParser::measureFps(const QByteArray &timestamp)
{
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(timestamp), QLatin1String(kTimeFormat));
    if (!when.isValid())
        return -1.0;
    const qint64 ms = when.toMSecsSinceEpoch();
    if (!m_recentTimes.empty() && ms < m_recentTimes.back())
        m_recentTimes.clear(); // the stream jumped back (a new replay)
    m_recentTimes.push_back(ms);
    while (int(m_recentTimes.size()) > kFpsWindow)
        m_recentTimes.pop_front();
    const qint64 span = m_recentTimes.back() - m_recentTimes.front();
    if (m_recentTimes.size() < 2 || span <= 0)
        return -1.0;
    return double(m_recentTimes.size() - 1) * 1000.0 / double(span);
}

StreamFrame *ZuStreamParser::frameFromPart(const ZuMultipartParser::Part &part)
{
    if (part.body.isEmpty())
        return nullptr;
    QByteArray stamp = normalizedTimestamp(part.header("Timestamp"));
    if (stamp.isEmpty())
        stamp = QDateTime::currentDateTime().toString(QLatin1String(kTimeFormat)).toLatin1();
    auto *frame = new StreamFrame;
    frame->setTimestampText(stamp);
    frame->setFrameTag(QString::fromUtf8(part.header("Frametag")));
    frame->setPartType(part.header("Content-Type"));
    frame->setFrameId(m_nextFrameId);
    m_nextFrameId = (m_nextFrameId + 1) % StreamFrame::kFrameIdWrap;
    frame->setFps(measureFps(stamp));
    if (m_rawCopy)
        frame->setRawData(part.body);
    if (!m_noDecode) {
        QString codec = m_codec;
        if (codec.isEmpty())
            codec = codecForType(part.header("Content-Type"));
        if (codec.isEmpty() && m_pictureCodec.isEmpty()) {
            codec = codecForBytes(part.body);
        } else if (codec.isEmpty()) {
            // One unit's bytes alone may read as either codec's: the stream
            // keeps the codec of its first picture.
            const auto *bytes = reinterpret_cast<const uint8_t *>(part.body.constData());
            if (KeyUnits::isUnitOf(m_pictureCodec, bytes, int(part.body.size())))
                codec = m_pictureCodec;
        }
        if (codec.isEmpty()) {
            if (!m_unknownCodecLogged)
                logMessage(QStringLiteral("[WARN] ZuStreamParser :: %1 :: no decoder for part type %2")
                               .arg(m_logName, peertext::clean(part.header("Content-Type"))));
            m_unknownCodecLogged = true;
        } else {
            if (!m_decoder) {
                m_decoder = std::make_unique<VideoDecoder>();
                m_decoder->setMemoryLimit(kMaxDecoderBytes);
            }
            if (codec != m_decoderCodec) { // a decoder that refuses to open is not asked again
                m_decoderCodec = codec;
                m_decoder->open(codec);
            }
            AVFrame *picture = nullptr;
            const int decoded = m_decoder->isOpen()
                ? m_decoder->decode(reinterpret_cast<const uint8_t *>(part.body.constData()), int(part.body.size()),
                                    &picture)
                : AVERROR(EINVAL);
            // A view joined in the middle of a group gets no picture before
            // the next key frame (nor the parameter sets it carries), which
            // a camera may send many seconds later: until the first picture,
            // every part with a body keeps the stream alive, within
            // kFirstPictureSilences silence limits from the start.
            if (decoded != 0 && !m_anyPicture)
                m_lastPictureMs = m_clock.elapsed();
            if (decoded == 0) {
                m_anyPicture = true;
                if (m_pictureCodec.isEmpty())
                    m_pictureCodec = codec;
                if (picture->width > kMaxPictureSide || picture->height > kMaxPictureSide) {
                    if (!m_oversizeLogged)
                        logMessage(QStringLiteral("[WARN] ZuStreamParser :: %1 :: picture of %2x%3 refused, larger "
                                                  "than %4 in a direction")
                                       .arg(m_logName)
                                       .arg(picture->width)
                                       .arg(picture->height)
                                       .arg(kMaxPictureSide));
                    m_oversizeLogged = true;
                    av_frame_free(&picture);
                } else {
                    frame->setKeyframe(picture->key_frame != 0);
                    frame->setAvFrame(picture);
                }
            } else if (decoderRefused()) {
                failRun(QStringLiteral("pictures too large to decode within %1 MiB")
                            .arg(kMaxDecoderBytes / (1024 * 1024)));
            }
        }
    }
    if (!m_rawFrames && !frame->avFrame()) {
        delete frame;
        return nullptr;
    }
    return frame;
}

// ---------------------------------------------------------------- transfer

void ZuStreamParser::failRun(const QString &why)
{
    if (m_failure.isEmpty())
        m_failure = why;
}

bool ZuStreamParser::decoderRefused() const
{
    return m_decoder && m_decoder->exceedsMemoryLimit();
}

void ZuStreamParser::freePending()
{
    for (StreamFrame *f : m_pending)
        delete f;
    m_pending.clear();
}

bool ZuStreamParser::flushPending()
{
    if (m_pending.empty())
        return true;
    if (!m_queue) {
        freePending();
        return true;
    }
    QMutex *lock = m_queueLock ? m_queueLock : &m_ownLock;
    QMutexLocker locker(lock);
    // The consumer takes frames out at any time: what the queue holds is
    // counted anew under its lock.
    qint64 queuedBytes = 0;
    if (m_maxQueuedBytes > 0)
        for (const StreamFrame *f : *m_queue)
            queuedBytes += frameBytes(f);
    while (!m_pending.empty() && (m_maxQueued <= 0 || int(m_queue->size()) < m_maxQueued)) {
        const qint64 bytes = m_maxQueuedBytes > 0 ? frameBytes(m_pending.front()) : 0;
        if (m_maxQueuedBytes > 0 && !m_queue->empty() && queuedBytes + bytes > m_maxQueuedBytes)
            break;
        queuedBytes += bytes;
        m_queue->push_back(m_pending.front());
        m_pending.pop_front();
        m_framesQueued.fetch_add(1);
    }
    return m_pending.empty();
}

bool ZuStreamParser::drainParts()
{
    for (;;) {
        if (!flushPending())
            return false;
        if (!m_multipart || !m_multipart->hasParts() || decoderRefused())
            return true;
        StreamFrame *frame = frameFromPart(m_multipart->takePart());
        if (decoderRefused()) {
            delete frame; // the part that showed the stream too large for the decoder
            return true;
        }
        if (frame) {
            // Only what a viewer can show keeps the stream alive.
            if (frame->avFrame() || (m_noDecode && frame->rawDataSize() > 0)) {
                m_lastPictureMs = m_clock.elapsed();
                m_anyPicture = true;
            }
            m_pending.push_back(frame);
        }
    }
}

bool ZuStreamParser::checkResponse()
{
    m_responseChecked = true;
    long status = 0;
    curl_easy_getinfo(easyOf(m_easy), CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status >= 300) {
        failRun(QStringLiteral("HTTP status %1").arg(status));
        return false;
    }
    char *type = nullptr;
    curl_easy_getinfo(easyOf(m_easy), CURLINFO_CONTENT_TYPE, &type);
    const QByteArray contentType(type ? type : "");
    const QByteArray boundary = ZuMultipartParser::boundaryFromContentType(contentType);
    logMessage(QStringLiteral("[INFO] ZuStreamParser :: %1 :: connected :: %2 :: boundary %3")
                   .arg(m_logName, peertext::clean(contentType),
                        boundary.isEmpty() ? QStringLiteral("(from the stream)") : peertext::clean(boundary)));
    m_multipart = std::make_unique<ZuMultipartParser>(boundary);
    return true;
}

size_t ZuStreamParser::writeCallback(char *data, size_t size, size_t count, void *self)
{
    return static_cast<ZuStreamParser *>(self)->onData(data, size * count);
}

size_t ZuStreamParser::onData(const char *data, size_t size)
{
    if (m_stop.load())
        return 0; // ends the transfer; not a failure
    if (!m_responseChecked && !checkResponse())
        return 0;
    if (!drainParts()) {
        // The queue is full: the transfer waits, and these bytes come again.
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (!m_multipart->feed(data, qsizetype(size))) {
        failRun(m_multipart->failure());
        return 0;
    }
    drainParts();
    if (decoderRefused())
        return 0;
    if (m_multipart->ended()) {
        m_closed = true;
        return 0; // ends the transfer; what the server sends after the closing delimiter is not read
    }
    return size;
}

void ZuStreamParser::run()
{
    m_responseChecked = false;
    m_paused = false;
    m_closed = false;
    m_failure.clear();
    m_multipart.reset();
    m_framesQueued.store(0);
    m_oversizeLogged = false;
    m_clock.start();
    m_lastPictureMs = 0;
    m_anyPicture = false;
    logMessage(QStringLiteral("[INFO] ZuStreamParser :: %1 :: start :: %2").arg(m_logName, maskedAddress(m_url)));

    CURL *easy = curl_easy_init();
    CURLM *multi = curl_multi_init();
    if (!easy || !multi) {
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
        logMessage(QStringLiteral("[ERROR] ZuStreamParser :: %1 :: cannot set up a transfer").arg(m_logName));
        if (!m_stop.load())
            Q_EMIT error();
        return;
    }
    m_easy = easy;
    const QByteArray url = m_url.toUtf8();
    const QByteArray agent = Http_singleton::instance()->accessString(QString(), false).toLatin1();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 3L);
    // A recorder's answer may send the client elsewhere, but never off the web.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &ZuStreamParser::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_multi_add_handle(multi, easy);
    {
        QMutexLocker lock(&m_curlLock);
        m_multi = multi;
    }

    CURLcode result = CURLE_OK;
    bool done = false;
    while (!m_stop.load()) {
        if (!drainParts()) {
            m_lastPictureMs = m_clock.elapsed();
            QThread::msleep(kPollMs);
            continue;
        }
        if (decoderRefused())
            break;
        if (m_silenceTimeoutMs > 0
            && (m_clock.elapsed() - m_lastPictureMs > m_silenceTimeoutMs
                || (!m_anyPicture && m_clock.elapsed() > qint64(kFirstPictureSilences) * m_silenceTimeoutMs))) {
            failRun(QStringLiteral("no picture for %1 ms").arg(m_silenceTimeoutMs));
            break;
        }
        if (m_paused) {
            m_paused = false;
            curl_easy_pause(easy, CURLPAUSE_CONT); // may deliver the held bytes at once
            continue;
        }
        int running = 0;
        const CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            failRun(QString::fromLatin1(curl_multi_strerror(mc)));
            break;
        }
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                result = msg->data.result;
                done = true;
            }
        }
        if (done || running == 0)
            break;
        curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    }

    if (!m_stop.load() && m_failure.isEmpty()) {
        if (result != CURLE_OK && !m_closed) {
            failRun(QString::fromLatin1(curl_easy_strerror(result)));
        } else if (!m_responseChecked) {
            checkResponse(); // an answer without a body: its status decides
            if (m_failure.isEmpty())
                failRun(QStringLiteral("empty stream"));
        } else {
            m_multipart->finish();
            if (m_multipart->partCount() == 0)
                failRun(QStringLiteral("the stream ended without any part"));
        }
    }
    // The last frames of a stream that ended cleanly still reach the queue.
    while (!m_stop.load() && !drainParts())
        QThread::msleep(kPollMs);
    freePending();

    {
        QMutexLocker lock(&m_curlLock);
        m_multi = nullptr;
    }
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    m_easy = nullptr;
    m_decoder.reset();
    m_decoderCodec.clear();
    m_pictureCodec.clear();

    const qint64 parts = m_multipart ? m_multipart->partCount() : 0;
    if (m_stop.load()) {
        logMessage(QStringLiteral("[INFO] ZuStreamParser :: %1 :: stopped after %2 parts").arg(m_logName).arg(parts));
    } else if (!m_failure.isEmpty()) {
        logMessage(QStringLiteral("[ERROR] ZuStreamParser :: %1 :: stream failed after %2 parts :: %3")
                       .arg(m_logName)
                       .arg(parts)
                       .arg(peertext::clean(m_failure)));
        Q_EMIT error();
    } else {
        logMessage(QStringLiteral("[INFO] ZuStreamParser :: %1 :: end of stream after %2 parts").arg(m_logName).arg(parts));
    }
}
