#include "zuaudiovideofilereader.h"

#include "exportfolder.h"
#include "seekfile.h"
#include "streamframe.h"
#include "videodecoder.h"
#include "zulog.h"

#include <QFile>
#include <QMutex>
#include <QSet>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace {
// The reader looks at a full queue again after this many milliseconds.
constexpr int kFullWaitSliceMs = 5;
}

ZuAudioVideoFileReader::ZuAudioVideoFileReader(QList<QFileInfo> files, QString streamId, QString begin, QString end)
    : m_files(std::move(files))
    , m_streamId(std::move(streamId))
    , m_begin(std::move(begin))
    , m_end(std::move(end))
{
}

ZuAudioVideoFileReader::~ZuAudioVideoFileReader()
{
    m_stop = true;
    wait();
}

void ZuAudioVideoFileReader::set_camera_names(QHash<int, QString> names)
{
    m_cameraNames = std::move(names);
}

void ZuAudioVideoFileReader::set_frame_queue(std::deque<StreamFrame *> *queue)
{
    m_queue = queue;
}

void ZuAudioVideoFileReader::set_queue_mutex(QMutex *mutex)
{
    m_mutex = mutex;
}

void ZuAudioVideoFileReader::set_max_queue(int frames)
{
    m_maxQueue = qMax(1, frames);
}

void ZuAudioVideoFileReader::stop()
{
    logMessage("[INFO] ZuAudioVideo file reader :: stop");
    m_stop = true;
}

bool ZuAudioVideoFileReader::push(StreamFrame *frame)
{
    for (;;) {
        {
            QMutexLocker lock(m_mutex);
            if (int(m_queue->size()) < m_maxQueue) {
                m_queue->push_back(frame);
                return true;
            }
        }
        if (m_stop) {
            delete frame;
            return false;
        }
        msleep(kFullWaitSliceMs);
    }
}

void ZuAudioVideoFileReader::run()
{
    if (!m_queue || !m_mutex) {
        logMessage("[ERROR] ZuAudioVideo file reader :: no frame queue");
        return;
    }
    const bool everything = m_begin.isEmpty() || m_end.isEmpty();
    const QString stream = QStringLiteral("video") + m_streamId;
    bool inRange = everything;
    bool done = false;
    int frameId = 0;

    for (const QFileInfo &file : std::as_const(m_files)) {
        if (m_stop || done)
            break;
        const QString dataPath = file.absoluteFilePath();
        const QString seekPath = ZuSeekFile::seekPathFor(dataPath);
        if (seekPath.isEmpty()) {
            logMessage(QStringLiteral("[WARN] ZuAudioVideo file reader :: not a data file :: ") + dataPath);
            continue;
        }
        const ZuSeekFile::Result seek = ZuSeekFile::parse(seekPath, dataPath, stream);
        if (!seek.ok) {
            logMessage(QStringLiteral("[WARN] ZuAudioVideo file reader :: no seek file :: ") + seekPath);
            continue;
        }
        const ZuFrameList &entries = seek.frames;
        QSet<QString> seconds;
        for (const ZuFrame &e : entries)
            seconds.insert(e.timestamp.left(14));
        m_frameCount = entries.isEmpty() ? -1 : int(entries.size());
        m_fps = seconds.isEmpty() ? -1.0 : double(entries.size()) / double(seconds.size());

        int cameraId = -1;
        ZuExportFolder::parseRecordingName(file.fileName(), &cameraId, nullptr, nullptr);
        const QString overlay = m_cameraNames.value(cameraId);

        QFile data(dataPath);
        if (!entries.isEmpty() && !data.open(QIODevice::ReadOnly)) {
            logMessage(QStringLiteral("[ERROR] ZuAudioVideo file reader :: cannot open :: ") + dataPath);
            m_readError = true;
            break;
        }
        VideoDecoder decoder;
        bool keySeen = false;
        QByteArray unit;
        for (const ZuFrame &e : entries) {
            if (m_stop)
                break;
            bool last = false;
            if (!everything) {
                const QString tod = e.timeOfDay();
                if (!inRange) {
                    if (tod < m_begin || tod >= m_end)
                        continue;
                    inRange = true;
                } else if (tod >= m_end) {
                    last = true;
                }
            }
            if (!keySeen && !e.isKeyframe()) {
                if (last) {
                    done = true;
                    break;
                }
                continue;
            }
            if (!keySeen) {
                keySeen = true;
                if (!decoder.open(e.codec)) {
                    m_readError = true;
                    done = true;
                    break;
                }
            }
            unit.resize(e.size);
            if (!data.seek(e.offset) || data.read(unit.data(), e.size) != e.size) {
                logMessage(QStringLiteral("[ERROR] ZuAudioVideo file reader :: short read :: ") + dataPath);
                m_readError = true;
                done = true;
                break;
            }
            AVFrame *picture = nullptr;
            const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(unit.constData()), int(unit.size()),
                                          &picture);
            if (rc == 0 && picture) {
                auto *frame = new StreamFrame;
                const bool key = picture->key_frame != 0;
                frame->setAvFrame(picture);
                frame->setKeyframe(key);
                frame->setFrameId(frameId);
                frameId = (frameId + 1) % StreamFrame::kFrameIdWrap;
                frame->setTimestampText(e.timestamp.toLatin1());
                frame->setDrawOverlay(overlay);
                frame->setFps(m_fps.load());
                if (!push(frame)) {
                    done = true;
                    break;
                }
            } else if (rc != AVERROR(EAGAIN)) {
                logMessage(QStringLiteral("[ERROR] ZuAudioVideo file reader :: cannot decode :: ") + e.timestamp);
                m_readError = true;
                done = true;
                break;
            }
            if (last) {
                done = true;
                break;
            }
        }
    }
}
