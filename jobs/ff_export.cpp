#include "ff_export.h"

#include "streamframe.h"
#include "zuaudiovideofilereader.h"
#include "zulog.h"
#include "zustreamencoder.h"

#include <QElapsedTimer>
#include <QFile>

#include <cmath>
#include <memory>

namespace {
// A frame the encoder refuses this many times in a row ends the export
// rather than being offered for ever.
constexpr int kMaxRefusals = 3;
// While the reader's frame rate is not known yet, the worker looks again
// after this many milliseconds...
constexpr int kRateWaitSliceMs = 10;
// ...and gives up waiting for it after this long, or as soon as the reader
// has ended or has queued enough frames to be held back.
constexpr int kRateWaitLimitMs = 2000;
constexpr int kEmptyWaitSliceMs = 5;

bool usableRate(double fps)
{
    return std::isfinite(fps) && fps > 0.0;
}
} // namespace

ff_export::ff_export()
    : QThread(nullptr)
{
}

ff_export::~ff_export()
{
    logMessage("[INFO] ZuPlayer Exporter :: destruct ");
    // A worker destroyed while it runs is asked to stop first, so that the
    // wait below ends.
    set_stop();
    while (isRunning()) {
        logMessage("[INFO] ZuPlayer Exporter :: is running, waiting... ");
        wait(500);
    }
    freeQueue();
}

void ff_export::set_files(QList<QFileInfo> files)
{
    m_files = std::move(files);
}

void ff_export::set_begin_time(QString begin)
{
    m_beginTime = std::move(begin);
}

void ff_export::set_end_time(QString end)
{
    m_endTime = std::move(end);
}

void ff_export::set_camera_names(QHash<int, QString> names)
{
    m_cameraNames = std::move(names);
}

void ff_export::set_stream_id(QString id)
{
    m_streamId = std::move(id);
}

bool ff_export::configure(QString outputPath, QString encoderName, int rate, bool caption, QString captionSize)
{
    m_outputPath = std::move(outputPath);
    m_replaceable = placefile::identityOf(m_outputPath);
    m_encoderName = std::move(encoderName);
    m_rate = rate;
    m_caption = caption;
    m_captionSize = std::move(captionSize);
    return true;
}

QString ff_export::encoderFor(const QString &name)
{
    if (name.compare(QLatin1String("h264"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("libx264");
    if (name.compare(QLatin1String("h265"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("hevc");
    return name.toLower();
}

int ff_export::encoderFps(double readerFps, double frameFps)
{
    double fps = usableRate(readerFps) ? readerFps : (usableRate(frameFps) ? frameFps : 25.0);
    // Cut to a whole rate as the encoder takes it, but never to 0 (a rate
    // below 1 frame per second) and never past what the encoder accepts.
    return int(qBound(1.0, std::floor(fps), 1000.0));
}

QList<ZuAudioVideoFileReader::Unindexed> ff_export::unindexedData() const
{
    QMutexLocker lock(&m_unindexedMutex);
    return m_unindexed;
}

void ff_export::set_stop()
{
    {
        QMutexLocker lock(&m_readerMutex);
        if (m_reader)
            m_reader->stop();
    }
    m_stop = true;
}

void ff_export::readerFinished()
{
    logMessage("[INFO] ZuPlayer Exporter :: reader finished");
    m_readerFinished = true;
}

StreamFrame *ff_export::head()
{
    if (m_gateHeld)
        return m_queue.empty() ? nullptr : m_queue.front();
    QMutexLocker lock(&m_queueMutex);
    return m_queue.empty() ? nullptr : m_queue.front();
}

int ff_export::queueSize()
{
    if (m_gateHeld)
        return int(m_queue.size());
    QMutexLocker lock(&m_queueMutex);
    return int(m_queue.size());
}

StreamFrame *ff_export::takeHead()
{
    const auto take = [this]() -> StreamFrame * {
        if (m_queue.empty())
            return nullptr;
        StreamFrame *frame = m_queue.front();
        m_queue.pop_front();
        return frame;
    };
    if (m_gateHeld)
        return take();
    QMutexLocker lock(&m_queueMutex);
    return take();
}

void ff_export::dropHead()
{
    delete takeHead();
}

void ff_export::updateGate()
{
    if (queueSize() >= kGateFrames) {
        if (!m_gateHeld) {
            m_queueMutex.lock();
            m_gateHeld = true;
        }
    } else {
        openGate();
    }
}

void ff_export::openGate()
{
    if (m_gateHeld) {
        m_gateHeld = false;
        m_queueMutex.unlock();
    }
}

void ff_export::freeQueue()
{
    while (StreamFrame *frame = takeHead())
        delete frame;
}

void ff_export::waitForFrames()
{
    QElapsedTimer waited;
    waited.start();
    while (!m_stop && !m_readerFinished && waited.elapsed() < kEmptyWaitMs) {
        msleep(kEmptyWaitSliceMs);
        if (queueSize() > 0)
            return;
    }
}

void ff_export::run()
{
    m_framesEncoded = 0;
    m_damagedFrames = 0;
    {
        QMutexLocker lock(&m_unindexedMutex);
        m_unindexed.clear();
    }
    m_starvedMs = 0;
    freeQueue();

    // The reader lives on this thread's stack of ownership: it is
    // stopped, joined and freed here on every way out, so its end does not
    // depend on an event loop, and the queue outlives its last append.
    auto reader = std::make_unique<ZuAudioVideoFileReader>(m_files, m_streamId, m_beginTime, m_endTime);
    reader->set_camera_names(m_cameraNames);
    reader->set_frame_queue(&m_queue);
    reader->set_queue_mutex(&m_queueMutex);
    reader->set_max_queue(kMaxQueue);
    // Direct: the flag is set on the reader's thread as it ends, without a
    // trip through the GUI thread's event loop.
    connect(reader.get(), &QThread::finished, this, &ff_export::readerFinished, Qt::DirectConnection);
    m_readerFinished = false;
    {
        QMutexLocker lock(&m_readerMutex);
        m_reader = reader.get();
        if (m_stop)
            reader->stop();
    }
    reader->start(QThread::InheritPriority);

    std::unique_ptr<ZuStreamEncoder> encoder;
    int frameCount = -1;
    qint64 progress = 0;
    int refusals = 0;
    int errorCode = 0;
    bool stoppedByUser = false;
    QElapsedTimer rateWait;

    while (!m_stop) {
        updateGate();
        StreamFrame *frame = head();
        if (!frame) {
            if (m_readerFinished) {
                // The reader's last append comes before its end: an empty
                // queue now is final.
                if (queueSize() == 0)
                    break;
                continue;
            }
            QElapsedTimer waited;
            waited.start();
            waitForFrames();
            if (encoder)
                m_starvedMs += waited.elapsed();
            continue;
        }

        if (!encoder) {
            double rate = reader->fps();
            if (!usableRate(rate)) {
                if (!rateWait.isValid())
                    rateWait.start();
                const bool giveUp = m_readerFinished || queueSize() >= kGateFrames
                                    || rateWait.elapsed() >= kRateWaitLimitMs;
                if (!giveUp) {
                    openGate();
                    msleep(kRateWaitSliceMs);
                    continue;
                }
            }
            // The reader hands over whole pictures only (a range opening
            // inside a group of pictures is decoded from the key frame before
            // it), so the file starts with the first frame of the range, at
            // or after its begin; the encoder makes it a key frame.
            if (!usableRate(rate))
                logMessage(QStringLiteral("[WARN] ZuPlayer Exporter :: no usable frame rate from the reader (%1)")
                               .arg(rate));
            encoder = std::make_unique<ZuStreamEncoder>();
            encoder->setReplaceable(m_replaceable);
            const int fps = encoderFps(rate, frame->fps());
            if (!encoder->init_encoder(m_outputPath, encoderFor(m_encoderName), m_rate, fps, frame->width(),
                                       frame->height(), m_caption, m_captionSize, frame->pixelFormat())) {
                logMessage("[ERROR] ZuPlayer Exporter :: failed to init encoder");
                encoder.reset();
                errorCode = -5;
                break;
            }
        }

        const QString timestamp = QString::fromUtf8(frame->timestampText());
        if (!encoder->encodeFrame(frame->avFrame(), frame->width(), frame->height(), timestamp,
                                  frame->drawOverlay(), frame->frameId(), nullptr, nullptr)) {
            if (++refusals < kMaxRefusals)
                continue;
            logMessage(QStringLiteral("[ERROR] ZuPlayer Exporter :: frame refused by the encoder :: ") + timestamp);
            errorCode = -14;
            break;
        }
        refusals = 0;
        ++m_framesEncoded;
        progress += 100;
        const int count = reader->frame_count();
        if (count != frameCount)
            frameCount = count;
        Q_EMIT frame_downloaded_encoded(timestamp, m_endTime);
        if (frameCount > 0)
            Q_EMIT valueChanged(int(qMin<qint64>(progress / frameCount, qint64(INT_MAX))));
        dropHead();
    }
    stoppedByUser = m_stop;
    openGate();

    // Every way out: the reader is stopped and joined before it is freed,
    // then the frames it left are freed.
    {
        QMutexLocker lock(&m_readerMutex);
        reader->stop();
    }
    reader->wait();
    const bool readFailed = reader->error_code() != 0;
    m_damagedFrames = reader->damaged_frames();
    {
        QMutexLocker lock(&m_unindexedMutex);
        m_unindexed = reader->unindexed_data();
    }
    {
        QMutexLocker lock(&m_readerMutex);
        m_reader = nullptr;
    }
    reader.reset();
    freeQueue();

    QString keptAs;
    if (encoder) {
        if (errorCode == 0 && !stoppedByUser && readFailed) {
            logMessage("[ERROR] ZuPlayer Exporter :: a frame of the range could not be read");
            errorCode = -14;
        }
        // A file cut short by an error would stand under the final name
        // looking like a complete export of the range: it is abandoned
        // instead, which removes it. A stop by the user keeps what was
        // encoded, closed so that it plays.
        if (errorCode == 0 && !encoder->end_encoding()) {
            keptAs = encoder->keptAs();
            if (keptAs.isEmpty()) {
                logMessage("[ERROR] ZuPlayer Exporter :: the output file could not be finished");
                errorCode = -14;
            } else {
                logMessage(QStringLiteral("[ERROR] ZuPlayer Exporter :: output name taken during the export :: ")
                           + m_outputPath + QStringLiteral(" :: kept as :: ") + keptAs);
            }
        }
        const bool finished = errorCode == 0;
        encoder.reset();
        if (!finished)
            logMessage(QStringLiteral("[ERROR] ZuPlayer Exporter :: export failed, unfinished file removed :: ")
                       + m_outputPath);
    } else if (errorCode == 0) {
        if (stoppedByUser) {
            errorCode = -34;
        } else if (readFailed) {
            logMessage("[ERROR] ZuPlayer Exporter :: a frame of the range could not be read");
            errorCode = -14;
        } else {
            logMessage("[ERROR] ZuPlayer Exporter :: no frame in the range");
            errorCode = -10;
        }
    }

    if (errorCode != 0) {
        Q_EMIT error(errorCode);
        return;
    }
    if (!keptAs.isEmpty()) {
        Q_EMIT outputNameTaken(keptAs);
        return;
    }
    if (m_damagedFrames > 0)
        logMessage(QStringLiteral("[WARN] ZuPlayer Exporter :: %1 damaged pictures exported").arg(m_damagedFrames.load()));
    for (const ZuAudioVideoFileReader::Unindexed &left : unindexedData())
        logMessage(QStringLiteral("[WARN] ZuPlayer Exporter :: data without a seek entry left out :: %1 bytes after %2 :: %3")
                       .arg(left.bytes)
                       .arg(left.after.isEmpty() ? QStringLiteral("the file's start") : left.after, left.path));
    logMessage("[INFO] ZuPlayer Exporter :: Encodage terminé");
    Q_EMIT endingsignal();
}
