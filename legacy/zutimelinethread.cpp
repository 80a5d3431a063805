#include "zutimelinethread.h"

#include "exportfolder.h"
#include "seekfile.h"
#include "zulog.h"
#include "zutimeline.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {

// The start time text ("HHmmss") and camera text of a recording name.
bool splitName(const QString &fileName, QString *camera, QString *start)
{
    int id = -1;
    QTime time;
    if (!ZuExportFolder::parseRecordingName(fileName, &id, nullptr, &time))
        return false;
    *camera = QString::number(id);
    *start = time.toString(QStringLiteral("HHmmss"));
    return true;
}

ZuFrame emptyFrame()
{
    ZuFrame f;
    f.timestamp = f.stream_id = f.codec = f.resolution = f.keyframe = f.type = QLatin1String("");
    f.size = -1;
    f.offset = -1;
    return f;
}

} // namespace

ZuTimelinethread::ZuTimelinethread(const QStringList &hourLabels, int cameraId, const QFileInfoList &videoFiles,
                                   const QFileInfoList &audioFiles, const QList<ZuTag *> &tags, QObject *parent)
    : QThread(parent)
    , m_hourLabels(hourLabels)
    , m_cameraId(cameraId)
    , m_videoFiles(videoFiles)
    , m_audioFiles(audioFiles)
    , m_tags(tags)
{
}

ZuTimelinethread::~ZuTimelinethread()
{
    requestInterruption();
    wait();
}

void ZuTimelinethread::run()
{
    m_result = ZuTimelineBuild();
    m_lastFrames.clear();
    m_result.hourMinutes.fill(0, 24 * 60);
    m_result.dayMinutes.fill(0, 24 * 60);
    for (const QString &label : std::as_const(m_hourLabels)) {
        if (isInterruptionRequested())
            return;
        if (!m_videoFiles.isEmpty())
            frame_timestamp(label, m_videoFiles);
        if (!m_audioFiles.isEmpty())
            frame_timestamp(label, m_audioFiles);
    }
    if (isInterruptionRequested())
        return;
    // Without a seek file read on the way (the length came from the gaps
    // between files) no stream id was met: the camera's first seek file
    // tells them, so that a camera with recordings always offers a stream.
    if (m_result.streamIds.isEmpty()) {
        for (const QFileInfo &f : std::as_const(m_videoFiles)) {
            QString camera, start;
            if (!splitName(f.fileName(), &camera, &start) || (m_cameraId != -1 && camera.toInt() != m_cameraId))
                continue;
            cachedLastFrame(ZuSeekFile::seekPathFor(f.filePath()));
            break;
        }
    }
    m_result.cameraId = m_cameraId;
    for (const QString &label : std::as_const(m_hourLabels))
        m_result.hourTags.insert(label,
                                 ZuTimeline::select_tags(label, m_tags, m_cameraId, "[INFO] ZuTimeline :: tag insert "));
}

void ZuTimelinethread::markFile(int hourMinute, int count)
{
    const int hour = hourMinute / 60;
    const int minute = hourMinute % 60;
    for (int i = 0; i < count; ++i) {
        if (minute + i < 60)
            m_result.hourMinutes[hour * 60 + minute + i] = 1;
        if (hourMinute + i < m_result.dayMinutes.size())
            m_result.dayMinutes[hourMinute + i] = 1;
    }
}

void ZuTimelinethread::frame_timestamp(const QString &hourLabel, const QFileInfoList &files)
{
    if (m_result.hourMinutes.size() != 24 * 60) {
        m_result.hourMinutes.fill(0, 24 * 60);
        m_result.dayMinutes.fill(0, 24 * 60);
    }
    QTime hourStart, hourEnd;
    ZuTimeline::hourBounds(hourLabel, &hourStart, &hourEnd);
    QTime reference;
    double &estimate = m_result.segmentMinutes;
    for (int i = 0; i < files.size(); ++i) {
        if (isInterruptionRequested())
            return;
        QString camera, startText;
        if (!splitName(files.at(i).fileName(), &camera, &startText))
            continue;
        if (m_cameraId == -1)
            m_cameraId = camera.toInt();
        if (camera.toInt() != m_cameraId)
            continue;
        const QTime start = QTime::fromString(startText, QStringLiteral("HHmmss"));
        if (i + 1 < files.size()) {
            QString nextCamera, nextStart;
            if (splitName(files.at(i + 1).fileName(), &nextCamera, &nextStart))
                reference = QTime::fromString(nextStart, QStringLiteral("HHmmss"));
        }
        if (reference.isValid() && start.isValid() && start.msecsTo(reference) > 0) {
            const int minutes = start.msecsTo(reference) / 60000;
            if (minutes > 1 && minutes < 10 && (estimate == -1.0 || estimate >= minutes))
                estimate = minutes;
        }
        if (estimate == -1.0) {
            logMessage(QStringLiteral("[INFO] ZTimeline thread :: get minute diff :: filepath :: ") + files.at(i).filePath());
            const QString seek = ZuSeekFile::seekPathFor(files.at(i).filePath());
            const ZuFrame last = seek.isEmpty() ? emptyFrame() : cachedLastFrame(seek);
            logMessage(QStringLiteral("[INFO] ZTimeline thread :: frame_timestamp ") + last.timestamp);
            QDateTime lastTime = QDateTime::fromString(last.timestamp, QStringLiteral("yyyyMMddHHmmss"));
            if (!lastTime.isValid())
                lastTime = QDateTime::fromString(last.timestamp, QStringLiteral("yyyyMMddHHmmsszzz"));
            reference = lastTime.time();
            if (reference.isValid() && start.isValid() && start.msecsTo(reference) > 0) {
                const double d = start.msecsTo(reference) / 1000.0 / 60.0;
                if (d > 1.0 && d < 10.0 && (estimate == -1.0 || estimate >= d))
                    estimate = d;
                else if (d < 1.0 && estimate == -1.0)
                    estimate = 1.0;
            }
        }
        if (!start.isValid() || estimate < 0)
            continue;
        const int n = int(estimate);
        const bool inHour = hourStart.isValid() && start >= hourStart
                            && ((hourEnd.isValid() && start < hourEnd) || hourStart.hour() == 23);
        if (inHour)
            markFile(start.hour() * 60 + start.minute(), n);
    }
}

ZuFrame ZuTimelinethread::cachedLastFrame(const QString &seekPath)
{
    // Without an estimate every hour asks again for the same files: a day of
    // one-hour recordings would read each seek file 24 times.
    auto it = m_lastFrames.constFind(seekPath);
    if (it == m_lastFrames.cend())
        it = m_lastFrames.insert(seekPath, seek_last_frame(seekPath));
    return it.value();
}

ZuFrame ZuTimelinethread::seek_last_frame(const QString &seekPath)
{
    const bool audio = seekPath.contains(QLatin1String(".zuaudio"));
    QFile file(seekPath);
    // Regular files only: a pipe under a seek file's name would block the build.
    if (!QFileInfo(seekPath).isFile() || !file.open(QIODevice::ReadOnly)) {
        logMessage(QStringLiteral("[WARN] ZuTimelinethread :: seek last frame :: Error Opening Seek File ") + seekPath);
        return emptyFrame();
    }
    // The last line holding anything: line ends may be CRLF and a file may
    // end in blank lines.
    QByteArray lastLine;
    bool skipping = false; // inside a line longer than any entry
    while (!file.atEnd()) {
        QByteArray line = file.readLine(512);
        if (line.isEmpty())
            break;
        const bool complete = line.endsWith('\n') || file.atEnd();
        if (skipping || !complete) {
            skipping = !complete;
            continue;
        }
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() > 1 && fields.at(1).contains("video")) {
            const QString id = QString::fromLatin1(fields.at(1));
            if (!m_result.streamIds.contains(id))
                m_result.streamIds.append(id);
        }
        lastLine = line;
    }
    if (lastLine.isEmpty()) {
        logMessage("[WARN] ZuTimelinethread :: seek last frame :: read return value  :: 0");
        logMessage("[WARN] ZuTimelinethread :: seek last frame :: buffer check       :: 1");
        logMessage("[WARN] ZuTimelinethread :: seek last frame :: return empty frame");
        return emptyFrame();
    }
    const QStringList fields = QString::fromLatin1(lastLine).split(QLatin1Char(':'));
    ZuFrame frame;
    const QString stamp = fields.value(0);
    if (stamp.isEmpty() || !QDateTime::fromString(stamp, QStringLiteral("yyyyMMddHHmmsszzz")).isValid())
        return frame;
    frame.timestamp = stamp;
    frame.type = audio ? QStringLiteral("audio") : QStringLiteral("video");
    frame.file_path = seekPath;
    if (audio) {
        if (fields.size() > 1)
            frame.stream_id = QString(fields.at(1)).remove(QLatin1String("audio"));
        if (fields.size() > 2)
            frame.codec = fields.at(2);
        if (fields.size() > 3)
            frame.size = fields.at(3).toInt();
    } else {
        if (fields.size() > 1)
            frame.stream_id = QString(fields.at(1)).remove(QLatin1String("video"));
        if (fields.size() > 2)
            frame.codec = fields.at(2);
        if (fields.size() > 3)
            frame.resolution = fields.at(3);
        if (fields.size() > 4)
            frame.keyframe = fields.at(4);
        if (fields.size() > 5)
            frame.size = fields.at(5).toInt();
    }
    return frame;
}
