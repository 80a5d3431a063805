#pragma once
#include <QFileInfo>
#include <QFileInfoList>
#include <QList>
#include <QString>

// One alarm or marker event of a day, as the event lists show it: the
// recording file that holds it (empty until known) and eleven text fields.
// Plain value, copied freely. The fields are addressed by name below or by
// number (0 to 10) through field()/setField().
struct EventRecord {
    QFileInfo file;           //    the recording that holds the event
    QString fileName;         //  0 picture (alarm) file name
    QString tagFileName;      //  1 marker file name
    QString cameraName;       //  2
    QString picturePath;      //  3 path of the event's picture
    QString extra;            //  4 free
    QString timeText;         //  5 time part of an alarm picture's name ("HHmmss")
    QString kindText;         //  6 alarm kind from the picture's name ("motion")
    QString cameraId;         //  7 decimal camera id
    QString displayTime;      //  8 display-time override, "yyyyMMddHHmmss"
    QString tagName;          //  9 marker name
    QString tagDescription;   // 10 marker description

    static constexpr int kFieldCount = 11;

    EventRecord() = default;
    // The alarm list's form: fields 0, 2, 3, 5, 6 and 7.
    EventRecord(const QString &fileName, const QString &cameraName, const QString &picturePath,
                const QString &timeText, const QString &kindText, const QString &cameraId);

    QString field(int index) const;   // empty for an index outside 0..10
    void setField(int index, const QString &text);

    // The event's time "yyyyMMddHHmmss": the display-time override when set,
    // else the date and time of the file name (the 8-digit date part and the
    // 6-digit time part after it); empty when the name holds neither.
    QString eventDisplayTime() const;

    bool operator==(const EventRecord &other) const;
};

// Whether `list` holds a file named `fileName` (file name only, exact case).
bool containsFileName(const QFileInfoList &list, const QString &fileName);
