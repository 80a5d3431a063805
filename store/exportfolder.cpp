#include "exportfolder.h"

#include <QDir>
#include <QFileInfo>

#include <climits>

namespace ZuExportFolder {

namespace {

// Hand-written checks instead of shared regular expressions: these run on
// every file of a folder walk, from several threads at once.

QStringView lastComponent(const QString &path)
{
    QStringView view(path);
    while (view.endsWith(QLatin1Char('/')) || view.endsWith(QLatin1Char('\\')))
        view.chop(1);
    const qsizetype slash = qMax(view.lastIndexOf(QLatin1Char('/')), view.lastIndexOf(QLatin1Char('\\')));
    return slash < 0 ? view : view.mid(slash + 1);
}

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

bool allDigits(QStringView text)
{
    for (QChar c : text) {
        if (!isDigit(c))
            return false;
    }
    return true;
}

bool isLowerHex(QChar c)
{
    return isDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
}

bool isWordChar(QChar c)
{
    return isDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
           || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

QDate parseCompactDate(QStringView text)
{
    if (text.size() != 8 || !allDigits(text))
        return QDate();
    return QDate(text.left(4).toInt(), text.mid(4, 2).toInt(), text.mid(6, 2).toInt());
}

QTime parseCompactTime(QStringView text)
{
    if (text.size() != 6 || !allDigits(text))
        return QTime();
    const int h = text.left(2).toInt();
    const int m = text.mid(2, 2).toInt();
    const int s = text.mid(4, 2).toInt();
    return QTime::isValid(h, m, s) ? QTime(h, m, s) : QTime();
}

// "<cam>_<yyyyMMdd>_<HHmmss>", exactly.
bool parseBase(QStringView base, int *cameraId, QDate *date, QTime *time)
{
    const qsizetype first = base.indexOf(QLatin1Char('_'));
    if (first < 1 || first > 10)
        return false;
    const QStringView cam = base.left(first);
    const QStringView rest = base.mid(first + 1);
    if (!allDigits(cam) || rest.size() != 15 || rest.at(8) != QLatin1Char('_'))
        return false;
    const qint64 id = cam.toLongLong();
    if (id > INT_MAX)
        return false;
    const QDate d = parseCompactDate(rest.left(8));
    const QTime t = parseCompactTime(rest.mid(9));
    if (!d.isValid() || !t.isValid())
        return false;
    *cameraId = static_cast<int>(id);
    *date = d;
    *time = t;
    return true;
}

bool endsWithCi(QStringView name, QLatin1String suffix)
{
    return name.size() > suffix.size() && name.endsWith(suffix, Qt::CaseInsensitive);
}

} // namespace

bool isExportFolderName(const QString &name)
{
    const QStringView n = lastComponent(name);
    static const QLatin1String prefix("talvor_");
    if (n.size() != prefix.size() + 19 || !n.startsWith(prefix))
        return false;
    const QStringView id = n.mid(prefix.size());
    for (int i = 0; i < id.size(); ++i) {
        const bool dash = (i % 5) == 4;
        if (dash ? id.at(i) != QLatin1Char('-') : !isLowerHex(id.at(i)))
            return false;
    }
    return true;
}

QDate dayFolderDate(const QString &name)
{
    const QStringView n = lastComponent(name);
    if (n.size() != 10 || n.at(4) != QLatin1Char('-') || n.at(7) != QLatin1Char('-'))
        return QDate();
    const QStringView y = n.left(4), m = n.mid(5, 2), d = n.mid(8, 2);
    if (!allDigits(y) || !allDigits(m) || !allDigits(d))
        return QDate();
    return QDate(y.toInt(), m.toInt(), d.toInt());
}

bool isDayFolderName(const QString &name)
{
    return dayFolderDate(name).isValid();
}

QTime segmentFolderTime(const QString &name)
{
    return parseCompactTime(lastComponent(name));
}

bool isSegmentFolderName(const QString &name)
{
    return segmentFolderTime(name).isValid();
}

QString exportRootOf(const QString &path)
{
    if (path.isEmpty())
        return QString();
    QDir dir(QFileInfo(path).absoluteFilePath());
    for (int depth = 0; depth < 256; ++depth) {
        if (isExportFolderName(dir.dirName()))
            return dir.absolutePath();
        if (!dir.cdUp())
            break;
    }
    return QString();
}

NameInfo classify(const QString &fileName)
{
    NameInfo info;
    const QStringView name = lastComponent(fileName);

    if (endsWithCi(name, QLatin1String(".zunfo"))) {
        info.kind = name.compare(QLatin1String("index.zunfo"), Qt::CaseInsensitive) == 0
                        ? FileKind::CameraListIndex
                        : FileKind::CameraList;
        return info;
    }

    static const struct {
        QLatin1String suffix;
        FileKind kind;
    } plain[] = {
        {QLatin1String(".zuvideo"), FileKind::Video},
        {QLatin1String(".zuseek"), FileKind::VideoSeek},
        {QLatin1String(".zuaudio"), FileKind::Audio},
        {QLatin1String(".zuaudioseek"), FileKind::AudioSeek},
        {QLatin1String(".zutag"), FileKind::Tag},
    };
    for (const auto &entry : plain) {
        if (endsWithCi(name, entry.suffix)) {
            if (parseBase(name.chopped(entry.suffix.size()), &info.cameraId, &info.date, &info.time))
                info.kind = entry.kind;
            else
                info = NameInfo();
            return info;
        }
    }

    static const QLatin1String jpg(".jpg");
    if (!endsWithCi(name, jpg))
        return info;
    const QStringView stem = name.chopped(jpg.size());
    // The base is 1..10 + 1 + 8 + 1 + 6 characters; the part after it follows
    // the third underscore.
    qsizetype cut = -1;
    for (int i = 0, found = 0; i < stem.size(); ++i) {
        if (stem.at(i) == QLatin1Char('_') && ++found == 3) {
            cut = i;
            break;
        }
    }
    if (cut < 0)
        return info;
    NameInfo parsed;
    if (!parseBase(stem.left(cut), &parsed.cameraId, &parsed.date, &parsed.time))
        return info;
    QStringView rest = stem.mid(cut + 1);
    static const QLatin1String thumb("-thumb");
    const bool isThumb = rest.endsWith(thumb);
    if (isThumb)
        rest.chop(thumb.size());
    if (rest.isEmpty())
        return info;
    for (QChar c : rest) {
        if (!isWordChar(c))
            return info;
    }
    if (rest == QLatin1String("preview")) {
        if (isThumb)
            return info;
        parsed.kind = FileKind::Preview;
    } else {
        parsed.kind = isThumb ? FileKind::AlarmThumbnail : FileKind::AlarmPicture;
        parsed.alarmKind = rest.toString();
    }
    return parsed;
}

bool parseRecordingName(const QString &fileName, int *cameraId, QDate *date, QTime *time)
{
    const NameInfo info = classify(fileName);
    switch (info.kind) {
    case FileKind::Video:
    case FileKind::VideoSeek:
    case FileKind::Audio:
    case FileKind::AudioSeek:
        break;
    default:
        return false;
    }
    if (cameraId)
        *cameraId = info.cameraId;
    if (date)
        *date = info.date;
    if (time)
        *time = info.time;
    return true;
}

bool parseStamp(const QString &fileName, int *cameraId, QDate *date, QTime *time)
{
    const QStringView name = lastComponent(fileName);
    const qsizetype end = name.indexOf(QLatin1Char('_')) + 16;
    if (end < 16 || end > name.size())
        return false;
    if (end < name.size()) {
        const QChar next = name.at(end);
        if (next != QLatin1Char('.') && next != QLatin1Char('_') && next != QLatin1Char('-'))
            return false;
    }
    int id = -1;
    QDate d;
    QTime t;
    if (!parseBase(name.left(end), &id, &d, &t))
        return false;
    if (cameraId)
        *cameraId = id;
    if (date)
        *date = d;
    if (time)
        *time = t;
    return true;
}

bool isRecordingName(const QString &fileName)
{
    const FileKind kind = classify(fileName).kind;
    return kind == FileKind::Video || kind == FileKind::Audio;
}

bool isSeekName(const QString &fileName)
{
    const FileKind kind = classify(fileName).kind;
    return kind == FileKind::VideoSeek || kind == FileKind::AudioSeek;
}

bool isTagName(const QString &fileName) { return classify(fileName).kind == FileKind::Tag; }
bool isAlarmPictureName(const QString &fileName) { return classify(fileName).kind == FileKind::AlarmPicture; }
bool isAlarmThumbnailName(const QString &fileName) { return classify(fileName).kind == FileKind::AlarmThumbnail; }
bool isPreviewName(const QString &fileName) { return classify(fileName).kind == FileKind::Preview; }

bool isCameraListName(const QString &fileName)
{
    const FileKind kind = classify(fileName).kind;
    return kind == FileKind::CameraList || kind == FileKind::CameraListIndex;
}

QString baseName(int cameraId, const QDate &date, const QTime &time)
{
    return QString::number(cameraId) + QLatin1Char('_') + date.toString(QStringLiteral("yyyyMMdd"))
           + QLatin1Char('_') + time.toString(QStringLiteral("HHmmss"));
}

QString videoFileName(int cameraId, const QDate &date, const QTime &time)
{
    return baseName(cameraId, date, time) + QLatin1String(".zuvideo");
}

QString audioFileName(int cameraId, const QDate &date, const QTime &time)
{
    return baseName(cameraId, date, time) + QLatin1String(".zuaudio");
}

QString tagFileName(int cameraId, const QDate &date, const QTime &time)
{
    return baseName(cameraId, date, time) + QLatin1String(".zutag");
}

QString alarmPictureName(int cameraId, const QDate &date, const QTime &time, const QString &kind)
{
    return baseName(cameraId, date, time) + QLatin1Char('_') + kind + QLatin1String(".jpg");
}

QString alarmThumbnailName(int cameraId, const QDate &date, const QTime &time, const QString &kind)
{
    return baseName(cameraId, date, time) + QLatin1Char('_') + kind + QLatin1String("-thumb.jpg");
}

QString previewName(int cameraId, const QDate &date, const QTime &time)
{
    return baseName(cameraId, date, time) + QLatin1String("_preview.jpg");
}

} // namespace ZuExportFolder
