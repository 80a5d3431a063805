#pragma once
#include "zuframe.h"

#include <QFileInfoList>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QThread>
#include <QVector>

class ZuTag;

// What one build of a camera's day timelines found. The window applies it
// to its widgets on the GUI thread.
struct ZuTimelineBuild {
    int cameraId = -1;                 // the camera built (adopted from the first file when -1 was asked)
    QVector<quint8> hourMinutes;       // 24 x 60: minute m of hour h at h * 60 + m (each hour row's own marks)
    QVector<quint8> dayMinutes;        // 1440: the day slider's marks (a file may run into the next hour)
    QHash<QString, QList<ZuTag *>> hourTags; // hour label -> the camera's tags in that hour
    QStringList streamIds;             // "video0", "video1": in order of first appearance
    double segmentMinutes = -1.0;      // estimated recording length, -1 when none was found
};

// Fills one camera's day: for every hour the minutes covered by each
// recording that starts in it, the hour's tags, the stream ids met in seek
// files and one estimated recording length for the whole day (the smallest
// gap of 2 to 9 minutes between consecutive file starts, else the span of a
// file's seek entries). It touches no widget: the window reads result()
// when the thread has finished. Tags are only read; their owner keeps them
// alive until the thread has ended.
class ZuTimelinethread : public QThread
{
    Q_OBJECT
public:
    ZuTimelinethread() = default;
    ZuTimelinethread(const QStringList &hourLabels, int cameraId, const QFileInfoList &videoFiles,
                     const QFileInfoList &audioFiles, const QList<ZuTag *> &tags, QObject *parent = nullptr);
    ~ZuTimelinethread() override;

    // Marks, for one hour label, the minutes of the files of `files` that
    // start in that hour.
    void frame_timestamp(const QString &hourLabel, const QFileInfoList &files);
    // The last entry of a seek file (an entry with empty texts and size -1
    // when the file cannot be read; null texts when its last line is no
    // entry). Video stream fields met on the way join stream_ids().
    ZuFrame seek_last_frame(const QString &seekPath);

    QStringList stream_ids() const { return m_result.streamIds; }
    double segment_estimate() const { return m_result.segmentMinutes; }
    // The build's outcome; complete once the thread has finished.
    ZuTimelineBuild result() const { return m_result; }

protected:
    void run() override;

private:
    void markFile(int hourMinute, int count);
    // seek_last_frame, each seek file read once per build.
    ZuFrame cachedLastFrame(const QString &seekPath);

    QStringList m_hourLabels;
    int m_cameraId = -1;
    QFileInfoList m_videoFiles;
    QFileInfoList m_audioFiles;
    QList<ZuTag *> m_tags;
    ZuTimelineBuild m_result;
    QHash<QString, ZuFrame> m_lastFrames;
};
