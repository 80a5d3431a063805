#include "zudownload_encode_data.h"

#include "archiveextractor.h"
#include "http_singleton.h"
#include "keyunits.h"
#include "peertext.h"
#include "streamframe.h"
#include "zulog.h"
#include "zustreamencoder.h"
#include "zustreamparser.h"
#include "zustreamremux.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSaveFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <zip.h>

#include <cstring>
#include <memory>

namespace {
constexpr int kEncodeQueue = 30;
constexpr int kRawQueue = 60;
constexpr int kEncodeWaitMs = 500;
constexpr int kRawWaitMs = 200;
constexpr int kMaxWaits = 30;
constexpr int kMinEncodedFrames = 50;
constexpr int kRemuxAttempts = 50;
constexpr int kDefaultFps = 25;
constexpr int kRateWaitMs = 20;
constexpr qint64 kVerifyChunk = 1 << 16;
// The free space is looked at again after this many bytes of the work file.
constexpr qint64 kSpaceCheckBytes = ArchiveExtractor::kSpaceCheckBytes;

void logLine(const QString &line)
{
    logMessage(line);
}

// Why writing `upcoming` more bytes into `folder` must not happen: it would
// eat into the space kept free on its file system (the margin archive
// extraction keeps too). Empty when it may, or when the space is unknown.
QString diskFullText(const QString &folder, qint64 upcoming)
{
    const QStorageInfo storage(folder);
    const qint64 available = storage.isValid() ? storage.bytesAvailable() : -1;
    if (available < 0 || available - upcoming >= ArchiveExtractor::kFreeSpaceMargin)
        return QString();
    return QStringLiteral("Espace disque insuffisant : le téléchargement est abandonné pour ne pas remplir le disque "
                          "(%1 Mo disponibles dans « %2 »).")
        .arg(QString::number(double(available) / (1024.0 * 1024.0), 'f', 1), storage.rootPath());
}

// When the free space is looked at: before a run's first write, and again
// once kSpaceCheckBytes more have been written.
class SpaceCheck
{
public:
    bool due(qint64 upcoming)
    {
        const bool now = m_since < 0 || m_since >= kSpaceCheckBytes;
        if (now)
            m_since = 0;
        m_since += upcoming;
        return now;
    }

private:
    qint64 m_since = -1;
};

// Whether the raw road may write a part into the work file, which is read
// only as `format`: the format the parts before showed, empty until one
// shows it. A part whose type names a codec must name that format; one
// whose type names none (application/octet-stream) must be a unit of that
// format. Until the format is known, such a part's own bytes show it; a
// unit that could open either kind of stream (a message alone) waits for a
// part that tells.
bool rawPartFits(const QByteArray &type, const QByteArray &bytes, QString &format)
{
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    const int size = int(bytes.size());
    QString codec = ZuStreamParser::codecForType(type);
    if (codec.isEmpty() && !format.isEmpty())
        return KeyUnits::isUnitOf(format, data, size);
    if (codec.isEmpty())
        codec = ZuStreamParser::codecForBytes(bytes);
    if (codec.isEmpty())
        return KeyUnits::isUnitOf(QStringLiteral("h264"), data, size)
            || KeyUnits::isUnitOf(QStringLiteral("hevc"), data, size);
    if (!format.isEmpty() && codec != format)
        return false;
    format = codec;
    return true;
}

// Reads an archive entry back in chunks; its byte count must match what
// the archive announces and the file it was made from.
bool verifyEntry(zip_t *zip, const QString &name, qint64 expectedSize, bool *found)
{
    const QByteArray utf8 = name.toUtf8();
    zip_stat_t st;
    zip_stat_init(&st);
    *found = zip_stat(zip, utf8.constData(), 0, &st) == 0 && (st.valid & ZIP_STAT_INDEX)
        && (st.valid & ZIP_STAT_SIZE);
    if (!*found)
        return false;
    if (qint64(st.size) != expectedSize)
        return false;
    zip_file_t *file = zip_fopen_index(zip, st.index, 0);
    if (!file)
        return false;
    QByteArray buffer(kVerifyChunk, Qt::Uninitialized);
    qint64 total = 0;
    bool ok = true;
    for (;;) {
        const zip_int64_t n = zip_fread(file, buffer.data(), zip_uint64_t(buffer.size()));
        if (n < 0) {
            ok = false; // a damaged entry (its checksum is tested at its end)
            break;
        }
        if (n == 0)
            break;
        total += n;
    }
    zip_fclose(file);
    return ok && total == expectedSize;
}
} // namespace

ZuDownload_encode_data::ZuDownload_encode_data()
    : QThread(nullptr)
{
}

ZuDownload_encode_data::~ZuDownload_encode_data()
{
    logMessage("[INFO] Raw data downloader :: destruct");
    m_stoppedByUser = true;
    set_stop();
    wait();
    releaseParser();
    logLine(QStringLiteral("[INFO] Raw data downloader :: destruct :: ") + (isRunning() ? "1" : "0"));
}

QString ZuDownload_encode_data::encoderCodecName(const QString &videoFormat)
{
    const QString lower = videoFormat.toLower();
    if (lower == QLatin1String("h264"))
        return QStringLiteral("libx264");
    if (lower == QLatin1String("h265"))
        return QStringLiteral("hevc");
    return lower;
}

bool ZuDownload_encode_data::isRawFormat(const QString &videoFormat)
{
    return videoFormat.toLower().contains(QLatin1String("raw"));
}

QString ZuDownload_encode_data::temporaryFolder()
{
    return QDir::homePath() + QStringLiteral("/.") + Http_singleton::instance()->appFolderName()
        + QStringLiteral("/ZUDOWNLOAD/");
}

QString ZuDownload_encode_data::streamUrl() const
{
    return ZuStreamParser::makeUrl(m_scheme, m_host, m_port, m_path);
}

QString ZuDownload_encode_data::lastTimestamp() const
{
    QMutexLocker lock(&m_lastLock);
    return m_lastTimestamp;
}

void ZuDownload_encode_data::setLastTimestamp(const QString &timestamp)
{
    QMutexLocker lock(&m_lastLock);
    m_lastTimestamp = timestamp;
}

QString ZuDownload_encode_data::failureText() const
{
    QMutexLocker lock(&m_lastLock);
    return m_failureText;
}

void ZuDownload_encode_data::setFailureText(const QString &text)
{
    QMutexLocker lock(&m_lastLock);
    m_failureText = text;
}

// ---------------------------------------------------------------- control

void ZuDownload_encode_data::start(QThread::Priority priority)
{
    if (isRunning())
        return;
    m_stop = false;
    m_stoppedByUser = false;
    m_streamFailed = false;
    setFailureText(QString());
    QThread::start(priority);
}

void ZuDownload_encode_data::set_stop()
{
    logMessage("[INFO] Raw data downloader :: set stop");
    m_stop = true;
    stopParser();
}

void ZuDownload_encode_data::set_stop_from_user()
{
    logMessage("[INFO] Raw data downloader ::set stop from user");
    m_stoppedByUser = true;
    set_stop();
}

void ZuDownload_encode_data::get_error()
{
    logMessage("[INFO] Raw data downloader ::get error");
    m_streamFailed = true;
}

void ZuDownload_encode_data::stopParser()
{
    QMutexLocker lock(&m_parserLock);
    if (m_parser)
        m_parser->threadStop(false);
}

void ZuDownload_encode_data::releaseParser()
{
    ZuStreamParser *parser = nullptr;
    {
        QMutexLocker lock(&m_parserLock);
        parser = m_parser;
        m_parser = nullptr;
    }
    if (parser) {
        parser->threadStop(false);
        parser->wait();
        delete parser;
    }
    clearQueue();
}

void ZuDownload_encode_data::startParser(bool raw)
{
    auto *parser = new ZuStreamParser(m_scheme, m_host, m_port, QStringLiteral("-1"), m_path, false, QString(), false,
                                      nullptr);
    parser->setLogName(QStringLiteral("RAW DATA"));
    parser->setRawFrames(true);
    if (raw)
        parser->setRawCopy(true);
    parser->setNoDecode(false);
    parser->setFrameQueue(&m_queue);
    parser->setQueueLock(&m_queueLock);
    parser->setMaxQueuedFrames(raw ? kRawQueue : kEncodeQueue);
    // A recorder may take a while to start a replay, or pause in one: this
    // run's own waits for frames decide when it gives up, and with which code.
    parser->setSilenceTimeoutMs(0);
    // Direct: the client's thread only raises a flag that this run reads.
    connect(parser, &ZuStreamParser::error, this, &ZuDownload_encode_data::get_error, Qt::DirectConnection);
    {
        QMutexLocker lock(&m_parserLock);
        m_parser = parser;
    }
    if (m_stop)
        parser->threadStop(false); // a stop that came while the client was being made
    parser->start(QThread::InheritPriority);
}

StreamFrame *ZuDownload_encode_data::front()
{
    QMutexLocker lock(&m_queueLock);
    return m_queue.empty() ? nullptr : m_queue.front();
}

void ZuDownload_encode_data::dropFront()
{
    StreamFrame *frame = nullptr;
    {
        QMutexLocker lock(&m_queueLock);
        if (m_queue.empty())
            return;
        frame = m_queue.front();
        m_queue.pop_front();
    }
    delete frame;
}

void ZuDownload_encode_data::clearQueue()
{
    std::deque<StreamFrame *> left;
    {
        QMutexLocker lock(&m_queueLock);
        left.swap(m_queue);
    }
    for (StreamFrame *f : left)
        delete f;
}

bool ZuDownload_encode_data::streamExhausted()
{
    bool ended = false;
    {
        QMutexLocker lock(&m_parserLock);
        ended = m_parser && m_parser->isFinished();
    }
    // The client queues its last frames before its thread ends.
    return ended && !front();
}

double ZuDownload_encode_data::queuedRate()
{
    QMutexLocker lock(&m_queueLock);
    for (const StreamFrame *frame : m_queue) {
        if (frame->fps() > 0)
            return frame->fps();
    }
    return -1.0;
}

bool ZuDownload_encode_data::rateSettled(const QDeadlineTimer &deadline)
{
    // No more times to come: the client has ended, or it waits for room in a
    // full queue, or it has been silent too long.
    if (deadline.hasExpired() || m_streamFailed)
        return true;
    {
        QMutexLocker lock(&m_parserLock);
        if (!m_parser || m_parser->isFinished())
            return true;
    }
    QMutexLocker lock(&m_queueLock);
    return int(m_queue.size()) >= kEncodeQueue;
}

StreamFrame *ZuDownload_encode_data::waitFrame(int waitMs, const QString &road, int silentCode, Waits &waits,
                                              int &result)
{
    if (!waits.clock.isValid())
        waits.clock.start();
    bool exhausted = false;
    if (StreamFrame *frame = front()) {
        if (waits.clock.elapsed() < waitMs)
            return frame;
        ++waits.count;
        waits.clock.start();
        if (waits.count <= kMaxWaits)
            return frame;
    } else {
        // Read before the failure flag: a client that failed meanwhile has
        // raised it before its thread ended.
        exhausted = streamExhausted();
        if (m_streamFailed) {
            // Every frame the stream gave before it failed has been used.
            result = -11;
            m_stop = true;
            return nullptr;
        }
        if (!exhausted) {
            QThread::msleep(waitMs);
            ++waits.count;
            waits.clock.start();
        }
    }
    if (exhausted || waits.count > kMaxWaits) {
        logLine(QStringLiteral("[ERROR] Raw data downloader :: %1 :: frame waited %2 stop encoding.")
                    .arg(road)
                    .arg(waits.count));
        m_stop = true;
        result = silentCode;
    }
    return nullptr;
}

bool ZuDownload_encode_data::diskFull(const QString &folder, qint64 upcoming, const QString &road)
{
    const QString full = diskFullText(folder, upcoming);
    if (full.isEmpty())
        return false;
    logLine(QStringLiteral("[ERROR] Raw data downloader :: %1 :: disk full :: %2").arg(road, full));
    setFailureText(full);
    return true;
}

// ---------------------------------------------------------------- run

void ZuDownload_encode_data::run()
{
    // The stop flags were cleared by start(): a stop that came since holds.
    m_streamFps = -1.0;
    setLastTimestamp(QString());
    logLine(QStringLiteral("[INFO] Raw data downloader :: start stream parser :: video format ") + m_videoFormat);
    // A retry starts from a clean state: the last run's client and frames go.
    releaseParser();

    int result = 1;
    if (!m_archiveFile.isEmpty() && QFileInfo::exists(m_archiveFile)) {
        logMessage("[ERROR] Raw data downloader :: archive file already exist");
        result = -29;
    } else if (isRawFormat(m_videoFormat)) {
        result = runRaw();
    } else {
        result = runEncode();
    }

    set_stop();
    releaseParser();
    if (result == 1)
        Q_EMIT finished();
    else
        Q_EMIT error(result);
}

int ZuDownload_encode_data::runEncode()
{
    startParser(false);
    int encoded = 0;
    Waits waits;
    int result = 1;
    std::unique_ptr<ZuStreamEncoder> encoder;
    const QByteArray end = m_endTimestamp.toLatin1();
    const QString road = QStringLiteral("raw zustream");
    // The encoder writes beside the output file.
    const QString outputFolder = QFileInfo(m_outputFile).absolutePath();
    SpaceCheck spaceCheck;

    while (!m_stop) {
        StreamFrame *frame = waitFrame(kEncodeWaitMs, road, -10, waits, result);
        if (!frame)
            continue;
        if (frame->width() == -1 || frame->height() == -1 || !frame->avFrame()) {
            // A part without a picture is no answer: it neither ends the
            // range nor keeps the run waiting for ever.
            logLine(QStringLiteral("[WARN] Raw data downloader :: raw zustream :: remove frame %1 / invalid size")
                        .arg(frame->frameId()));
            dropFront();
            continue;
        }
        if (!encoder) {
            const QString codec = encoderCodecName(m_videoFormat);
            int fps = qRound(frame->fps());
            if (fps <= 0)
                fps = m_frameRate;
            if (fps <= 0) {
                // The client measures the rate from the parts' times once it has
                // seen two of them: a guessed rate would play the file too fast
                // or too slow.
                const QDeadlineTimer rateDeadline(qint64(kMaxWaits) * kEncodeWaitMs);
                while (!m_stop && (fps = qRound(queuedRate())) <= 0 && !rateSettled(rateDeadline))
                    QThread::msleep(kRateWaitMs);
                if (m_stop)
                    break;
                if (fps <= 0)
                    fps = kDefaultFps;
            }
            encoder = std::make_unique<ZuStreamEncoder>();
            if (!encoder->init_encoder(m_outputFile, codec, 2048, fps, frame->width(), frame->height(),
                                       m_captionFlag != 0, QStringLiteral("large"), frame->pixelFormat())) {
                logMessage("[ERROR] Raw data downloader :: raw zustream :: failed to init encoder");
                result = -5;
                set_stop();
                encoder.reset();
                break;
            }
        }
        const QString timestamp = QString::fromLatin1(frame->timestampText());
        if (std::strcmp(frame->timestampText(), end.constData()) > 0) {
            set_stop();
            break;
        }
        // A picture takes less room encoded than decoded.
        const qint64 pictureBytes = ZuStreamParser::frameBytes(frame);
        if (spaceCheck.due(pictureBytes) && diskFull(outputFolder, pictureBytes, road)) {
            result = -20;
            set_stop();
            break;
        }
        if (encoder->encodeFrame(frame->avFrame(), frame->width(), frame->height(), timestamp, m_captionLabel,
                                 frame->frameId())) {
            Q_EMIT frame_downloaded_encoded(timestamp, m_endTimestamp);
            setLastTimestamp(timestamp);
            ++encoded;
            waits.answered();
        } else {
            // Offering it again would refuse it again: the frame is lost, and
            // a run whose pictures are all refused ends as one without any.
            logLine(QStringLiteral("[WARN] Raw data downloader :: raw zustream :: frame %1 refused by the encoder")
                        .arg(frame->frameId()));
        }
        dropFront();
    }

    if (!encoder) {
        if (m_stoppedByUser)
            return -34;
        // Stopped before any picture: nothing was written.
        return result == 1 ? -14 : result;
    }
    // A full disk is said as such, however few pictures it let through.
    if (encoded < kMinEncodedFrames && result != -20)
        result = -14;
    if (m_stoppedByUser)
        result = -34;
    if (result == -14 || result == -34 || result == -20) {
        // Abandoned: the encoder removes its unfinished file, and a file the
        // output path named before stays as it was.
        encoder.reset();
        return result;
    }
    const bool ended = encoder->end_encoding();
    encoder.reset();
    if (!ended) {
        logLine(QStringLiteral("[ERROR] Raw data downloader :: raw zustream :: cannot finish ") + m_outputFile);
        return -20;
    }
    return finishOutputs(result);
}

int ZuDownload_encode_data::finishOutputs(int result)
{
    if (result != 1 || m_stoppedByUser)
        return m_stoppedByUser ? -34 : result;
    if (!m_descriptorData.isEmpty() && !m_descriptorFile.isEmpty()) {
        result = descriptor();
        if (result != 1)
            return result;
    }
    if (!m_archiveFile.isEmpty())
        result = archive();
    return result;
}

int ZuDownload_encode_data::runRaw()
{
    logLine(QStringLiteral("[INFO] Raw data downloader :: start zustream remuxer :: register filepath :: absolute path ")
            + QFileInfo(m_outputFile).absolutePath());
    QDir().mkpath(temporaryFolder());
    // A folder of this run's own: two downloads never share their files, and
    // whatever is left in it goes with it.
    QTemporaryDir work(temporaryFolder() + QStringLiteral("run-XXXXXX"));
    QFile raw(work.isValid() ? work.filePath(QStringLiteral("tmp.raw")) : QString());
    if (!work.isValid() || !raw.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        logMessage("[ERROR] Raw data downloader :: zustream remuxer :: failed to open temporary file");
        return -20;
    }
    logMessage("[INFO] Raw data downloader :: start zustream remuxer");
    startParser(true);
    int written = 0;
    Waits waits;
    int result = 1;
    const QByteArray end = m_endTimestamp.toLatin1();
    const QString road = QStringLiteral("zustream remuxer");

    // What the parts show is the only format the work file is read as:
    // bytes of another kind would be probed, and could name other files.
    QString format;
    SpaceCheck spaceCheck;

    while (!m_stop) {
        StreamFrame *frame = waitFrame(kRawWaitMs, road, -1, waits, result);
        if (!frame)
            continue;
        const QString timestamp = QString::fromLatin1(frame->timestampText());
        if (std::strcmp(frame->timestampText(), end.constData()) > 0) {
            set_stop();
            break;
        }
        if (frame->rawDataSize() <= 0) {
            logLine(QStringLiteral("[WARN] Raw data downloader :: zustream remuxer :: frame %1 without data")
                        .arg(frame->frameId()));
            dropFront();
            continue;
        }
        const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(frame->rawData()),
                                                         frame->rawDataSize());
        if (!rawPartFits(frame->partType(), bytes, format)) {
            logLine(QStringLiteral("[ERROR] Raw data downloader :: zustream remuxer :: part of type %1 refused")
                        .arg(peertext::clean(QString::fromLatin1(frame->partType()))));
            result = -11;
            set_stop();
            break;
        }
        if (spaceCheck.due(bytes.size()) && diskFull(work.path(), bytes.size(), road)) {
            result = -20;
            set_stop();
            break;
        }
        const qint64 n = raw.write(bytes.constData(), bytes.size());
        if (n != frame->rawDataSize()) {
            logLine(QStringLiteral("[ERROR] Raw data downloader :: zustream remuxer :: write failed :: ")
                    + raw.errorString());
            result = -20;
            m_stop = true;
            stopParser();
            break;
        }
        if (frame->fps() > 0)
            m_streamFps = frame->fps();
        ++written;
        waits.answered();
        Q_EMIT frame_downloaded_encoded(timestamp, m_endTimestamp);
        setLastTimestamp(timestamp);
        dropFront();
    }

    logMessage("[INFO] Raw data downloader :: zustream remuxer :: outfile close");
    // The bytes still buffered are written now: their failure is a failed write too.
    const bool flushed = raw.flush();
    raw.close();
    if (m_stoppedByUser)
        return -34;
    if (result != 1)
        return result;
    if (!flushed) {
        logLine(QStringLiteral("[ERROR] Raw data downloader :: zustream remuxer :: write failed :: ")
                + raw.errorString());
        return -20;
    }

    if (format.isEmpty()) {
        logMessage("[ERROR] Raw data downloader :: zustream remuxer :: no frame written");
        return -15;
    }
    // The copy takes about as much again beside the work file, and on the
    // output's file system when that is another one.
    const qint64 rawBytes = QFileInfo(raw.fileName()).size();
    const QString outputFolder = QFileInfo(m_outputFile).absolutePath();
    if (diskFull(work.path(), rawBytes, road)
        || (QStorageInfo(work.path()) != QStorageInfo(outputFolder) && diskFull(outputFolder, rawBytes, road)))
        return -20;
    int fps = m_frameRate > 0 ? m_frameRate : int(m_streamFps + 0.5);
    if (fps <= 0)
        fps = kDefaultFps;
    const double duration = double(written) / double(fps);
    ZuStreamRemux remux;
    const QString rawPath = QFileInfo(raw.fileName()).absoluteFilePath();
    const QString tmpPath = work.filePath(QStringLiteral("tmp.mp4"));
    int rc = -15;
    for (int attempt = 0; attempt < kRemuxAttempts; ++attempt) {
        if (m_stoppedByUser)
            return -34;
        rc = remux.remuxUrlToFile(rawPath, tmpPath, m_outputFile, duration, format);
        if (rc == 0)
            break;
        logMessage("[WARN] Raw data downloader :: zustream remuxer :: retry to remux file");
    }
    if (rc != 0)
        return rc;
    return finishOutputs(1);
}

// ---------------------------------------------------------------- outputs

int ZuDownload_encode_data::descriptor()
{
    logMessage("[INFO] Raw data downloader :: descriptor");
    Q_EMIT generic_message(QStringLiteral("Création du descripteur [") + m_descriptorFile + QStringLiteral("]"));
    const auto decoded = QByteArray::fromBase64Encoding(m_descriptorData.toUtf8(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    const QString content = decoded ? QString::fromUtf8(*decoded) : QString();
    if (content.isEmpty()) {
        logMessage("[ERROR] Raw data downloader :: descriptor :: failed to decode data");
        return -30;
    }
    // Written whole each time, so a retried run never doubles it.
    QSaveFile file(m_descriptorFile);
    if (!file.open(QIODevice::WriteOnly)) {
        logMessage("[ERROR] Raw data downloader :: descriptor :: failed to open file");
        return -31;
    }
    QTextStream out(&file);
    out << content << Qt::endl;
    if (out.status() != QTextStream::Ok || !file.commit()) {
        logMessage("[ERROR] Raw data downloader :: descriptor :: failed to open file");
        return -31;
    }
    return 1;
}

int ZuDownload_encode_data::archive()
{
    logLine(QStringLiteral("[INFO] Raw data downloader :: archive data :: ") + m_archiveFile);
    logLine(QStringLiteral("[INFO] Raw data downloader :: archive data :: descriptor :: ") + m_descriptorFile);
    logLine(QStringLiteral("[INFO] Raw data downloader :: archive data :: video      :: ") + m_outputFile);
    Q_EMIT generic_message(QStringLiteral("Archivage des fichiers en cours ... [") + m_archiveFile
                           + QStringLiteral("]"));
    const QFileInfo descriptorInfo(m_descriptorFile);
    const QFileInfo videoInfo(m_outputFile);
    if (!descriptorInfo.isFile()) {
        logMessage("[ERROR] Raw data downloader :: archive :: descriptor file missing");
        return -26;
    }
    if (!videoInfo.isFile()) {
        logMessage("[ERROR] Raw data downloader :: archive :: video file missing");
        return -27;
    }
    const QByteArray archivePath = QFile::encodeName(m_archiveFile);
    int zipError = 0;
    zip_t *zip = zip_open(archivePath.constData(), ZIP_CREATE | ZIP_EXCL, &zipError);
    if (!zip) {
        logMessage("[ERROR] Raw data downloader :: archive :: Failed to create archive");
        return -28;
    }
    const struct {
        QFileInfo info;
        int code;
    } entries[] = {{descriptorInfo, -22}, {videoInfo, -23}};
    for (const auto &entry : entries) {
        const QString name = entry.info.fileName();
        const QByteArray source = QFile::encodeName(entry.info.absoluteFilePath());
        zip_source_t *src = zip_source_file(zip, source.constData(), 0, -1);
        if (!src || zip_file_add(zip, name.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8) < 0) {
            if (src)
                zip_source_free(src);
            logLine(QStringLiteral("[ERROR] Raw data downloader :: archive :: Failed to add file to zip : ") + name);
            zip_discard(zip); // nothing is written
            return entry.code;
        }
    }
    if (zip_close(zip) != 0) {
        logMessage("[ERROR] Raw data downloader :: archive :: Failed to create archive");
        zip_discard(zip);
        QFile::remove(m_archiveFile);
        return -28;
    }

    // Read back: both entries whole, at the sizes of the files they came from.
    zip = zip_open(archivePath.constData(), ZIP_RDONLY, &zipError);
    if (!zip) {
        logLine(QStringLiteral("[ERROR] Raw data downloader :: archive :: Failed to open archive : ") + m_archiveFile);
        QFile::remove(m_archiveFile);
        return -32;
    }
    bool videoFound = false;
    bool descriptorFound = false;
    const bool videoOk = verifyEntry(zip, videoInfo.fileName(), videoInfo.size(), &videoFound);
    const bool descriptorOk = videoFound
        && verifyEntry(zip, descriptorInfo.fileName(), descriptorInfo.size(), &descriptorFound);
    const bool twoEntries = zip_get_num_entries(zip, 0) == 2;
    zip_discard(zip);
    if (!videoFound || !videoOk || !descriptorOk || !twoEntries) {
        logLine(QStringLiteral("[ERROR] Raw data downloader :: archive :: Failed to read archive : ") + m_archiveFile);
        // A damaged archive would block the retry ("already exists"); the
        // sources are still there to make it again.
        QFile::remove(m_archiveFile);
        return videoFound ? -32 : -33;
    }
    for (const QFileInfo &info : {descriptorInfo, videoInfo}) {
        if (!QFile::remove(info.absoluteFilePath()))
            logLine(QStringLiteral("[WARN] Raw data downloader :: archive :: Failed to remove file ")
                    + info.absoluteFilePath());
    }
    return 1;
}
