#include "eventrecord.h"

#include "exportfolder.h"

EventRecord::EventRecord(const QString &fileName_, const QString &cameraName_, const QString &picturePath_,
                         const QString &timeText_, const QString &kindText_, const QString &cameraId_)
    : fileName(fileName_)
    , cameraName(cameraName_)
    , picturePath(picturePath_)
    , timeText(timeText_)
    , kindText(kindText_)
    , cameraId(cameraId_)
{
}

QString EventRecord::field(int index) const
{
    switch (index) {
    case 0: return fileName;
    case 1: return tagFileName;
    case 2: return cameraName;
    case 3: return picturePath;
    case 4: return extra;
    case 5: return timeText;
    case 6: return kindText;
    case 7: return cameraId;
    case 8: return displayTime;
    case 9: return tagName;
    case 10: return tagDescription;
    default: return QString();
    }
}

void EventRecord::setField(int index, const QString &text)
{
    switch (index) {
    case 0: fileName = text; break;
    case 1: tagFileName = text; break;
    case 2: cameraName = text; break;
    case 3: picturePath = text; break;
    case 4: extra = text; break;
    case 5: timeText = text; break;
    case 6: kindText = text; break;
    case 7: cameraId = text; break;
    case 8: displayTime = text; break;
    case 9: tagName = text; break;
    case 10: tagDescription = text; break;
    default: break;
    }
}

QString EventRecord::eventDisplayTime() const
{
    if (!displayTime.isEmpty())
        return displayTime;
    QDate date;
    QTime time;
    if (!ZuExportFolder::parseStamp(fileName, nullptr, &date, &time))
        return QString();
    return date.toString(QStringLiteral("yyyyMMdd")) + time.toString(QStringLiteral("HHmmss"));
}

bool EventRecord::operator==(const EventRecord &o) const
{
    if (file != o.file)
        return false;
    for (int i = 0; i < kFieldCount; ++i) {
        if (field(i) != o.field(i))
            return false;
    }
    return true;
}

bool containsFileName(const QFileInfoList &list, const QString &fileName)
{
    for (const QFileInfo &f : list) {
        if (f.fileName() == fileName)
            return true;
    }
    return false;
}
