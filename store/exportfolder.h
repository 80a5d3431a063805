#pragma once
#include <QDate>
#include <QString>
#include <QTime>

// Names of the export folder and of the files in it (layout:
// docs/formats.md):
//   talvor_xxxx-xxxx-xxxx-xxxx/            export folder
//     yyyy-MM-dd/                          day folder (index.zunfo, hash.json)
//       HHmmss/                            segment folder
//         <cam>_<yyyyMMdd>_<HHmmss>.zuvideo / .zuseek / .zuaudio / .zuaudioseek
//         <HHmmss>.zunfo                   camera list
//         <cam>_<yyyyMMdd>_<HHmmss>.zutag  marker
//         <cam>_<yyyyMMdd>_<HHmmss>_<kind>.jpg and ..._<kind>-thumb.jpg  alarm
//         <cam>_<yyyyMMdd>_<HHmmss>_preview.jpg                          preview
// The functions take a bare file name or a path (only its last component is
// looked at) and never throw or crash on odd input. Suffixes are matched
// without regard to case; everything else is exact.
namespace ZuExportFolder {

bool isExportFolderName(const QString &name);
// "yyyy-MM-dd" naming a real date.
bool isDayFolderName(const QString &name);
// "HHmmss" naming a real time of day.
bool isSegmentFolderName(const QString &name);
QDate dayFolderDate(const QString &name);       // null when not a day folder name
QTime segmentFolderTime(const QString &name);   // null when not a segment folder name

// The nearest folder at or above `path` whose name is an export folder name;
// empty when there is none.
QString exportRootOf(const QString &path);

enum class FileKind {
    Unknown,
    Video,          // .zuvideo
    VideoSeek,      // .zuseek
    Audio,          // .zuaudio
    AudioSeek,      // .zuaudioseek
    CameraList,     // <HHmmss>.zunfo or any other *.zunfo but the index
    CameraListIndex,// index.zunfo
    Tag,            // .zutag
    AlarmPicture,   // ..._<kind>.jpg
    AlarmThumbnail, // ..._<kind>-thumb.jpg
    Preview,        // ..._preview.jpg
};

// What a file name says. Camera id, date and time are set for the
// recording, marker, alarm and preview names; `alarmKind` for alarm
// pictures and thumbnails ("motion" in 3_20240105_103000_motion-thumb.jpg).
struct NameInfo {
    FileKind kind = FileKind::Unknown;
    int cameraId = -1;
    QDate date;
    QTime time;
    QString alarmKind;
};

NameInfo classify(const QString &fileName);

// `<cam>_<yyyyMMdd>_<HHmmss>` followed by .zuvideo, .zuaudio, .zuseek or
// .zuaudioseek; false (outputs untouched) for any other name. Any output may
// be null.
bool parseRecordingName(const QString &fileName, int *cameraId, QDate *date, QTime *time);

// The `<cam>_<yyyyMMdd>_<HHmmss>` a name starts with, where the name ends
// there or goes on with '.', '_' or '-' (any kind of file named after a
// recording second, "4_20240115_101500-thumb.jpg" included); false (outputs
// untouched) otherwise. Any output may be null.
bool parseStamp(const QString &fileName, int *cameraId, QDate *date, QTime *time);

bool isRecordingName(const QString &fileName);   // .zuvideo or .zuaudio
bool isSeekName(const QString &fileName);        // .zuseek or .zuaudioseek
bool isTagName(const QString &fileName);
bool isAlarmPictureName(const QString &fileName);
bool isAlarmThumbnailName(const QString &fileName);
bool isPreviewName(const QString &fileName);
bool isCameraListName(const QString &fileName);  // index.zunfo included

// Builders of the same names.
QString baseName(int cameraId, const QDate &date, const QTime &time); // "<cam>_<yyyyMMdd>_<HHmmss>"
QString videoFileName(int cameraId, const QDate &date, const QTime &time);
QString audioFileName(int cameraId, const QDate &date, const QTime &time);
QString tagFileName(int cameraId, const QDate &date, const QTime &time);
QString alarmPictureName(int cameraId, const QDate &date, const QTime &time, const QString &kind);
QString alarmThumbnailName(int cameraId, const QDate &date, const QTime &time, const QString &kind);
QString previewName(int cameraId, const QDate &date, const QTime &time);

} // namespace ZuExportFolder
