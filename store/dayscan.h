#pragma once
#include "eventrecord.h"

#include <QDate>
#include <QFileInfoList>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// One day folder as the windows show it: its files by kind (each list in
// name order), its cameras, the time range and video streams of each
// recording (read from the head and tail of its seek file), and its alarm
// and marker events. Reads files only, touches no widget: it runs on any
// thread.
struct ZuDayScan {
    bool ok = false;
    QString error;                     // why the day cannot be shown
    QDate day;
    QString dayFolder;
    QHash<int, QString> cameraNames;   // one distinct name per camera
    QFileInfoList videos, audios, alarms, thumbnails, tags, previews;
    struct Range { int cameraId; qint64 start; qint64 end; QString file; };
    QList<Range> ranges;               // per video file, ms of the day
    QHash<int, QStringList> streams;   // camera id -> stream ids
    QList<EventRecord> tagEvents;
    QList<EventRecord> alarmEvents;

    static std::shared_ptr<ZuDayScan> scan(const QString &dayFolder);

    // Recorded times are wall-clock times without a zone: `text` is read as
    // a date and a time of day, never through the viewer's zone, where a time
    // in a daylight-saving gap would not exist.
    static bool readsAsTime(const QString &text, const QString &dateFormat, const QString &timeFormat);
};
