#include "dayscan.h"

#include "exportfolder.h"
#include "seekfile.h"
#include "zufile.h"
#include "zulog.h"
#include "zutag.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QThreadPool>
#include <QTime>
#include <QtConcurrentMap>

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace {

// A seek line is short; reading this much of a file's head and tail is
// enough for its first and last entries and its stream ids.
constexpr qint64 kSeekHeadBytes = 8192;
constexpr qint64 kSeekTailBytes = 1024;
constexpr qint64 kBlankBlockBytes = 1 << 20;

// The day scan logs under the name of the controller that has always run it.
void logLine(const char *level, const char *function, const QString &detail)
{
    logMessage(QLatin1String(level) + QLatin1String("ZuPlayerInferfaceController :: ") + QLatin1String(function)
               + QLatin1String(" :: ") + detail);
}

// In file-name order. Each name is made once: QFileInfo makes it anew at
// every comparison, which costs more than the sort on a day of thousands.
void sortByFileName(QFileInfoList *files)
{
    std::vector<std::pair<QString, QFileInfo>> named;
    named.reserve(files->size());
    for (const QFileInfo &f : std::as_const(*files))
        named.emplace_back(f.fileName(), f);
    std::stable_sort(named.begin(), named.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (qsizetype i = 0; i < files->size(); ++i)
        (*files)[i] = std::move(named[i].second);
}

// Milliseconds of the day of a seek line's timestamp field, -1 when unreadable.
qint64 lineMs(QByteArrayView line)
{
    if (line.size() < 17)
        return -1;
    for (int i = 0; i < 17; ++i) {
        if (line.at(i) < '0' || line.at(i) > '9')
            return -1;
    }
    // All digits: read without the locale-aware conversion, which costs more
    // than the rest of a day's scan.
    const auto number = [&line](int at, int digits) {
        int n = 0;
        for (int i = at; i < at + digits; ++i)
            n = n * 10 + (line.at(i) - '0');
        return n;
    };
    const int h = number(8, 2);
    const int m = number(10, 2);
    const int s = number(12, 2);
    const int z = number(14, 3);
    if (h > 23 || m > 59 || s > 59)
        return -1;
    return ((h * 60 + m) * 60 + s) * 1000LL + z;
}

// The time and stream fields of a video entry line (six fields or more,
// the second "video..."), read in place: a day's scan looks at hundreds of
// thousands of lines.
bool videoEntryFields(QByteArrayView line, QByteArrayView *time, QByteArrayView *stream)
{
    line = line.trimmed();
    if (line.count(':') < 5)
        return false;
    const qsizetype first = line.indexOf(':');
    const qsizetype second = line.indexOf(':', first + 1);
    *time = line.first(first);
    *stream = line.sliced(first + 1, second - first - 1);
    return stream->startsWith("video");
}

// Offset of the first (or last) byte of a seek file that is not blank, -1
// when there is none. The player's parser passes over blank lines anywhere,
// so the head and tail read here must too.
qint64 contentEdge(QFile &f, bool fromEnd)
{
    const qint64 size = f.size();
    for (qint64 done = 0; done < size;) {
        const qint64 n = qMin(kBlankBlockBytes, size - done);
        const qint64 at = fromEnd ? size - done - n : done;
        if (!f.seek(at))
            return -1;
        const QByteArray block = f.read(n);
        if (block.size() != n)
            return -1;
        for (qint64 i = 0; i < n; ++i) {
            const qint64 j = fromEnd ? n - 1 - i : i;
            if (!std::isspace(static_cast<unsigned char>(block.at(j))))
                return at + j;
        }
        done += n;
    }
    return -1;
}

// First and last entry times and the video stream ids of a seek file,
// read from its head and tail only.
bool seekSummary(const QString &seekPath, qint64 *first, qint64 *last, QStringList *streams)
{
    QFile f(seekPath);
    // Only regular files: a named pipe under a seek file's name would block
    // the day scan, and the controller's end that waits for it, for good.
    if (!QFileInfo(seekPath).isFile() || !f.open(QIODevice::ReadOnly))
        return false;
    const qint64 start = contentEdge(f, false);
    const qint64 end = contentEdge(f, true) + 1;
    if (start < 0 || !f.seek(start))
        return false;
    const QByteArray head = f.read(kSeekHeadBytes);
    *first = -1;
    QList<QByteArrayView> seen;
    QByteArrayView time, stream;
    for (qsizetype at = 0; at < head.size();) {
        qsizetype end = head.indexOf('\n', at);
        if (end < 0)
            end = head.size();
        const QByteArrayView raw = QByteArrayView(head).sliced(at, end - at);
        at = end + 1;
        if (!videoEntryFields(raw, &time, &stream))
            continue;
        // A stream seen already had a readable time: the first time is known.
        const QByteArrayView idBytes = stream.sliced(5).first(qMin<qsizetype>(8, stream.size() - 5));
        if (seen.contains(idBytes))
            continue;
        const qint64 ms = lineMs(time);
        if (ms < 0)
            continue;
        if (*first < 0)
            *first = ms;
        seen.append(idBytes);
        const QString id = QString::fromLatin1(idBytes);
        bool numeric = false;
        id.toInt(&numeric);
        if (numeric && !streams->contains(id))
            streams->append(id);
    }
    const qint64 tailStart = qMax(start, end - kSeekTailBytes);
    f.seek(tailStart);
    const QList<QByteArray> tailLines = f.read(end - tailStart).split('\n');
    *last = -1;
    for (auto it = tailLines.rbegin(); it != tailLines.rend() && *last < 0; ++it) {
        if (videoEntryFields(*it, &time, &stream))
            *last = lineMs(time);
    }
    if (*first < 0)
        return false;
    if (*last < *first)
        *last = *first;
    return true;
}

} // namespace

bool ZuDayScan::readsAsTime(const QString &text, const QString &dateFormat, const QString &timeFormat)
{
    const qsizetype dateLen = dateFormat.size();
    if (text.size() != dateLen + timeFormat.size())
        return false;
    return QDate::fromString(text.left(dateLen), dateFormat).isValid()
           && QTime::fromString(text.mid(dateLen), timeFormat).isValid();
}

std::shared_ptr<ZuDayScan> ZuDayScan::scan(const QString &dayFolder)
{
    auto scan = std::make_shared<ZuDayScan>();
    const QFileInfo dayInfo(dayFolder);
    scan->dayFolder = dayInfo.absoluteFilePath();
    scan->day = ZuExportFolder::dayFolderDate(dayInfo.fileName());
    if (!scan->day.isValid()) {
        scan->error = QCoreApplication::translate("ZuPlayerInferfaceController", "Jour invalide : ") + dayInfo.fileName();
        return scan;
    }
    if (!dayInfo.isDir()) {
        scan->error = QCoreApplication::translate("ZuPlayerInferfaceController", "Dossier du jour introuvable : ")
                      + dayFolder;
        return scan;
    }

    scan->cameraNames = ZuFile::day_camera_names(dayInfo.absoluteFilePath());

    const QFileInfoList segments = QDir(dayFolder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &seg : segments) {
        if (!ZuExportFolder::isSegmentFolderName(seg.fileName()))
            continue;
        const QFileInfoList files = QDir(seg.absoluteFilePath()).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo &f : files) {
            const ZuExportFolder::NameInfo info = ZuExportFolder::classify(f.fileName());
            switch (info.kind) {
            case ZuExportFolder::FileKind::Video:
                scan->videos.append(f);
                break;
            case ZuExportFolder::FileKind::Audio:
                scan->audios.append(f);
                break;
            case ZuExportFolder::FileKind::AlarmPicture:
                scan->alarms.append(f);
                break;
            case ZuExportFolder::FileKind::AlarmThumbnail:
                scan->thumbnails.append(f);
                break;
            case ZuExportFolder::FileKind::Tag:
                scan->tags.append(f);
                break;
            case ZuExportFolder::FileKind::Preview:
                scan->previews.append(f);
                break;
            default:
                break;
            }
        }
    }
    sortByFileName(&scan->videos);
    sortByFileName(&scan->audios);
    sortByFileName(&scan->alarms);
    sortByFileName(&scan->thumbnails);
    sortByFileName(&scan->tags);
    sortByFileName(&scan->previews);

    // The seek files are read on several threads: on a day of thousands of
    // recordings they are most of the scan, which the first picture waits for.
    // The threads are the scan's own: the scan itself runs on the global
    // pool, whose other threads may all be waiting for it, and a wait for
    // work queued behind them there would never end.
    struct Summary {
        bool ok = false;
        qint64 first = -1;
        qint64 last = -1;
        QStringList streams;
    };
    QThreadPool readers;
    const QList<Summary> summaries =
        QtConcurrent::blockingMapped<QList<Summary>>(&readers, scan->videos, [](const QFileInfo &v) {
            Summary r;
            r.ok = seekSummary(ZuSeekFile::seekPathFor(v.absoluteFilePath()), &r.first, &r.last, &r.streams);
            return r;
        });
    // Cameras seen in recording names join the listed ones.
    for (qsizetype i = 0; i < scan->videos.size(); ++i) {
        const QFileInfo &v = scan->videos.at(i);
        const ZuExportFolder::NameInfo info = ZuExportFolder::classify(v.fileName());
        if (!scan->cameraNames.contains(info.cameraId))
            scan->cameraNames.insert(info.cameraId, QStringLiteral("CAMERA %1").arg(info.cameraId));
        const Summary &summary = summaries.at(i);
        if (summary.ok) {
            scan->ranges.append({info.cameraId, summary.first, summary.last, v.absoluteFilePath()});
            QStringList &known = scan->streams[info.cameraId];
            for (const QString &s : summary.streams) {
                if (!known.contains(s))
                    known.append(s);
            }
        } else {
            logLine("[WARN] ", "scan day", QStringLiteral("no usable seek file for ") + v.absoluteFilePath());
        }
    }
    for (auto it = scan->streams.begin(); it != scan->streams.end(); ++it)
        std::sort(it.value().begin(), it.value().end(), [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });

    // Two cameras listed under one name could not be told apart in the
    // list, on screen or in a snapshot, and choosing one by its name could
    // play the other: such names get their camera id.
    ZuFile::distinguish_camera_names(&scan->cameraNames);

    const auto nameOf = [&](int id) {
        return scan->cameraNames.value(id, QStringLiteral("CAMERA %1").arg(id));
    };

    QSet<QString> thumbs;
    for (const QFileInfo &t : scan->thumbnails)
        thumbs.insert(t.fileName());
    for (const QFileInfo &a : scan->alarms) {
        const ZuExportFolder::NameInfo info = ZuExportFolder::classify(a.fileName());
        EventRecord r(a.fileName(), nameOf(info.cameraId), a.absoluteFilePath(),
                      info.time.toString(QStringLiteral("HHmmss")), info.alarmKind, QString::number(info.cameraId));
        const QString thumbName = a.completeBaseName() + QStringLiteral("-thumb.") + a.suffix();
        if (thumbs.contains(thumbName))
            r.extra = a.absolutePath() + QLatin1Char('/') + thumbName; // field 4: the thumbnail
        r.displayTime = info.date.toString(QStringLiteral("yyyyMMdd")) + info.time.toString(QStringLiteral("HHmmss"));
        scan->alarmEvents.append(r);
    }
    for (const QFileInfo &t : scan->tags) {
        const ZuExportFolder::NameInfo info = ZuExportFolder::classify(t.fileName());
        std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(t.absoluteFilePath()));
        if (!tag) {
            logLine("[ERROR] ", "scan day", QStringLiteral("failed to parse TAG file ") + t.fileName());
            continue;
        }
        EventRecord r;
        r.tagFileName = t.fileName();
        r.picturePath = t.absoluteFilePath();
        int cam = info.cameraId;
        bool ok = false;
        const int tagCam = tag->get_camera_id().toInt(&ok);
        if (ok && tagCam >= 0)
            cam = tagCam;
        r.cameraId = QString::number(cam);
        r.cameraName = nameOf(cam);
        // The marker's own time when it reads as one, else its file name's.
        const QString tagTime = tag->get_tag_time();
        r.displayTime = ZuDayScan::readsAsTime(tagTime, QStringLiteral("yyyyMMdd"), QStringLiteral("HHmmss")) ? tagTime
                                     : info.date.toString(QStringLiteral("yyyyMMdd")) + info.time.toString(QStringLiteral("HHmmss"));
        r.extra = tag->get_tag_id();
        r.tagName = tag->get_tag_name();
        r.tagDescription = tag->get_description();
        scan->tagEvents.append(r);
    }
    scan->ok = true;
    if (scan->cameraNames.isEmpty() && scan->videos.isEmpty())
        scan->error = QCoreApplication::translate("ZuPlayerInferfaceController", "Aucune caméra trouvée pour le ")
                      + dayInfo.fileName();
    return scan;
}
