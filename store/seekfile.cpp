#include "seekfile.h"

#include "zulog.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <climits>
#include <vector>

namespace ZuSeekFile {

namespace {

const QLatin1String kVideoData(".zuvideo");
const QLatin1String kVideoSeek(".zuseek");
const QLatin1String kAudioData(".zuaudio");
const QLatin1String kAudioSeek(".zuaudioseek");

// A malformed file could otherwise fill the log with one line per entry.
constexpr int kMaxLoggedMalformed = 50;
// Longest run of entries of a stream whose times are taken from their
// neighbours; a longer one is not a slip of the recorder's clock text.
constexpr int kMaxRepairedRun = 30;

// Suffixes are matched whatever their case, as the folder listing does; the
// new suffix follows the case of the one it replaces letter by letter (the
// last letter's case for the letters beyond it), so "X.ZUVIDEO" pairs with
// "X.ZUSEEK" as a copy from a case-insensitive disk names them.
QString replaceSuffix(const QString &path, QLatin1String from, QLatin1String to)
{
    const qsizetype cut = path.size() - from.size();
    QString out = path.left(cut);
    bool upper = false;
    for (qsizetype i = 0; i < to.size(); ++i) {
        if (i < from.size())
            upper = path.at(cut + i).isUpper();
        const QChar c = QLatin1Char(to.at(i));
        out += upper ? c.toUpper() : c;
    }
    return out;
}

bool hasSuffix(const QString &path, QLatin1String suffix)
{
    return path.endsWith(suffix, Qt::CaseInsensitive);
}

bool isDigits(const QByteArray &text, int minLen, int maxLen)
{
    if (text.size() < minLen || text.size() > maxLen)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The size field: a plain decimal count of at most kMaxFrameBytes; signs,
// blanks and anything else make it unreadable.
bool parseSize(const QByteArray &text, int *size)
{
    if (!isDigits(text, 1, 10))
        return false;
    const qint64 value = text.toLongLong();
    if (value > kMaxFrameBytes)
        return false;
    *size = static_cast<int>(value);
    return true;
}

bool isCodecName(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 32)
        return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                        || c == '_' || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool isResolution(const QByteArray &text)
{
    const int x = text.indexOf('x');
    return x > 0 && isDigits(text.left(x), 1, 5) && isDigits(text.mid(x + 1), 1, 5);
}


QString timestampOfMs(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyyMMddHHmmsszzz"));
}

// What one non-blank line says. `sizeKnown` tells whether the line's size can
// be trusted for the offsets of the lines after it, even when the line
// itself is unusable.
struct LineResult {
    bool valid = false;
    bool timeUnreadable = false; // valid but for its time, which its neighbours give
    bool sizeKnown = false;
    int size = 0;
    ZuFrame frame;
};

LineResult parseLine(const QByteArray &line)
{
    LineResult r;
    const QList<QByteArray> fields = line.split(':');
    // Only the two shapes of the format say where the size is; in any
    // other the last field may be anything, so it is not taken as a size.
    if (fields.size() != 4 && fields.size() != 6)
        return r;
    r.sizeKnown = parseSize(fields.last(), &r.size);
    if (!r.sizeKnown)
        return r;

    const QByteArray &stream = fields.at(1);
    const bool video = stream.startsWith("video");
    const bool audio = stream.startsWith("audio");
    if (!video && !audio)
        return r;
    const QByteArray id = stream.mid(5);
    if (!isDigits(id, 1, 9))
        return r;
    if ((video && fields.size() != 6) || (audio && fields.size() != 4))
        return r;
    if (!isCodecName(fields.at(2)))
        return r;
    if (video) {
        if (!isResolution(fields.at(3)))
            return r;
        if (fields.at(4) != "0" && fields.at(4) != "1")
            return r;
    }
    // An empty frame cannot be decoded; it is reported, and it moves no
    // offset either way.
    if (r.size == 0)
        return r;

    r.timeUnreadable = !isDigits(fields.at(0), 17, 17) || msOfTimestamp(QString::fromLatin1(fields.at(0))) < 0;
    if (!r.timeUnreadable)
        r.frame.timestamp = QString::fromLatin1(fields.at(0));
    r.frame.stream_id = QString::fromLatin1(id);
    r.frame.codec = QString::fromLatin1(fields.at(2));
    r.frame.type = video ? QStringLiteral("video") : QStringLiteral("audio");
    if (video) {
        r.frame.resolution = QString::fromLatin1(fields.at(3));
        r.frame.keyframe = QString::fromLatin1(fields.at(4));
    }
    r.frame.size = r.size;
    r.valid = true;
    return r;
}

// The time of an entry in the seek file's own form, or an empty text when
// the time cannot be written so (before 1970 or past the year 9999).
QString seekTimestampOfMs(qint64 ms)
{
    if (ms < 0)
        return QString();
    const QString text = timestampOfMs(ms);
    return msOfTimestamp(text) == ms ? text : QString();
}

// The usual step of a stream: the median of the gaps between neighbouring
// readable times that move forward. A median, so that one wild time (a
// clock glitch of years) cannot make the step of a repair.
qint64 usualStep(const std::vector<qint64> &t)
{
    std::vector<qint64> gaps;
    for (size_t k = 1; k < t.size(); ++k) {
        if (t[k - 1] >= 0 && t[k] > t[k - 1])
            gaps.push_back(t[k] - t[k - 1]);
    }
    if (gaps.empty())
        return 0;
    const size_t middle = (gaps.size() - 1) / 2;
    std::nth_element(gaps.begin(), gaps.begin() + ptrdiff_t(middle), gaps.end());
    return gaps[middle];
}

// Entries whose time could not be read still hold their stream's bytes: a
// decoder that missed them would decode what follows against the wrong
// pictures. Each short run of them takes the times its stream's neighbours
// imply: evenly spaced between them, or, at either end of the file, the
// stream's usual step on from the one side known. A repaired time never
// leaves the stretch its neighbours bound, so neighbours that disagree (the
// later one earlier) give no time; such an entry, a longer run, or one with
// no readable neighbour is no entry. `lines` are the entries' line numbers;
// returns the number of entries dropped.
int repairTimes(ZuFrameList &frames, std::vector<qint64> &lines, const QString &seekPath)
{
    QHash<QString, std::vector<int>> streams;
    for (int i = 0; i < frames.size(); ++i)
        streams[frames.at(i).type + frames.at(i).stream_id].push_back(i);
    std::vector<bool> drop(size_t(frames.size()), false);
    int dropped = 0;
    int logged = 0;
    const auto log = [&](const QString &line) {
        if (logged++ < kMaxLoggedMalformed)
            logMessage(line);
    };
    for (auto it = streams.cbegin(); it != streams.cend(); ++it) {
        const std::vector<int> &idx = it.value();
        const int n = int(idx.size());
        std::vector<qint64> t(static_cast<size_t>(n), -1);
        for (int k = 0; k < n; ++k)
            t[size_t(k)] = frames.at(idx[size_t(k)]).timestamp.isEmpty() ? -1 : msOfTimestamp(frames.at(idx[size_t(k)]).timestamp);
        const qint64 step = usualStep(t);
        for (int a = 0; a < n; ++a) {
            if (t[size_t(a)] >= 0)
                continue;
            int b = a;
            while (b < n && t[size_t(b)] < 0)
                ++b;
            const qint64 prev = a > 0 ? t[size_t(a - 1)] : -1;
            const qint64 next = b < n ? t[size_t(b)] : -1;
            const int run = b - a;
            for (int k = a; k < b; ++k) {
                const int i = idx[size_t(k)];
                QString time;
                if (run <= kMaxRepairedRun) {
                    if (prev >= 0 && next >= 0) {
                        if (next >= prev)
                            time = seekTimestampOfMs(prev + (next - prev) * (k - a + 1) / (run + 1));
                    } else if (prev >= 0) {
                        time = seekTimestampOfMs(prev + step * (k - a + 1));
                    } else if (next >= 0) {
                        time = seekTimestampOfMs(next - step * (b - k));
                    }
                }
                if (time.isEmpty()) {
                    drop[size_t(i)] = true;
                    ++dropped;
                    log(QStringLiteral("[WARN] ZuSeekFile :: parse :: unreadable time :: line %1 :: %2")
                                   .arg(lines[size_t(i)]).arg(seekPath));
                    continue;
                }
                frames[i].timestamp = time;
                log(QStringLiteral("[WARN] ZuSeekFile :: parse :: unreadable time taken from its neighbours "
                                          ":: line %1 :: %2 :: %3")
                               .arg(lines[size_t(i)]).arg(frames.at(i).timestamp, seekPath));
            }
            a = b;
        }
    }
    if (dropped > 0) {
        ZuFrameList kept;
        std::vector<qint64> keptLines;
        for (int i = 0; i < frames.size(); ++i) {
            if (!drop[size_t(i)]) {
                kept.append(std::move(frames[i]));
                keptLines.push_back(lines[size_t(i)]);
            }
        }
        frames = std::move(kept);
        lines = std::move(keptLines);
    }
    return dropped;
}

// `streamId` is the decimal id ("0"), or the stream field itself ("video0",
// "audio1") when a caller wants one type only.
bool matchesStream(const ZuFrame &frame, const QString &streamId)
{
    if (streamId.isEmpty())
        return true;
    if (streamId.startsWith(QLatin1String("video")) || streamId.startsWith(QLatin1String("audio")))
        return frame.type == streamId.left(5) && frame.stream_id == streamId.mid(5);
    return frame.stream_id == streamId;
}

} // namespace

qint64 msOfTimestamp(const QString &timestamp)
{
    if (timestamp.size() != 17)
        return -1;
    const QDate date = QDate::fromString(timestamp.left(8), QStringLiteral("yyyyMMdd"));
    const QTime time = QTime::fromString(timestamp.mid(8), QStringLiteral("HHmmsszzz"));
    if (!date.isValid() || !time.isValid())
        return -1;
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
}

QString seekPathFor(const QString &dataPath)
{
    if (hasSuffix(dataPath, kVideoData))
        return replaceSuffix(dataPath, kVideoData, kVideoSeek);
    if (hasSuffix(dataPath, kAudioData))
        return replaceSuffix(dataPath, kAudioData, kAudioSeek);
    return QString();
}

QString dataPathFor(const QString &seekPath)
{
    if (hasSuffix(seekPath, kVideoSeek))
        return replaceSuffix(seekPath, kVideoSeek, kVideoData);
    if (hasSuffix(seekPath, kAudioSeek))
        return replaceSuffix(seekPath, kAudioSeek, kAudioData);
    return QString();
}

Result parse(const QString &seekPath, const QString &dataPath, const QString &streamId)
{
    Result result;
    QFile seek(seekPath);
    // Only regular files: a named pipe or a device under a seek file's name
    // would block the open or never reach its end.
    if (!QFileInfo(seekPath).isFile() || !seek.open(QIODevice::ReadOnly)) {
        logMessage(QStringLiteral("[ERROR] ZuSeekFile :: parse :: cannot open :: ") + seekPath);
        return result;
    }
    result.ok = true;

    const QString data = dataPath.isEmpty() ? dataPathFor(seekPath) : dataPath;
    const QFileInfo dataInfo(data);
    const QString absoluteData = dataInfo.absoluteFilePath();
    qint64 dataSize = 0;
    if (dataInfo.isFile()) {
        dataSize = dataInfo.size();
    } else {
        result.dataFileMissing = true;
        logMessage(QStringLiteral("[ERROR] ZuSeekFile :: parse :: data file missing :: ") + data);
    }

    auto reportMalformed = [&](qint64 lineNo) {
        ++result.malformedLines;
        if (result.malformedLines <= kMaxLoggedMalformed) {
            logMessage(QStringLiteral("[WARN] ZuSeekFile :: parse :: malformed line %1 :: %2")
                           .arg(lineNo).arg(seekPath));
        } else if (result.malformedLines == kMaxLoggedMalformed + 1) {
            logMessage(QStringLiteral("[WARN] ZuSeekFile :: parse :: further malformed lines not logged :: ")
                       + seekPath);
        }
    };

    // The file is read in large blocks and cut into lines here: a file of
    // millions of lines, or of nothing but blank lines, costs one pass at
    // memory speed instead of a call per line.
    constexpr qint64 kBlock = 1 << 20;
    QByteArray block;
    qsizetype pos = 0;         // start of the next line in `block`
    bool atEnd = false;        // the whole file is in `block`
    const auto refill = [&]() {
        block.remove(0, pos);
        pos = 0;
        const QByteArray more = seek.read(kBlock);
        block += more;
        atEnd = more.isEmpty() || seek.atEnd();
    };
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };

    qint64 offset = 0;
    qint64 lineNo = 0;
    std::vector<qint64> entryLines; // line of each entry kept
    int unreadableTimes = 0;
    // Blank lines count as faults only when a line follows them.
    qint64 pendingBlank = 0;
    qint64 firstBlank = 0;
    refill();
    for (;;) {
        // Blank lines first, in one tight pass.
        for (;;) {
            while (pos < block.size() && (block.at(pos) == '\n' || isBlank(block.at(pos)))) {
                if (block.at(pos) == '\n') {
                    if (pendingBlank++ == 0)
                        firstBlank = lineNo + 1;
                    ++lineNo;
                }
                ++pos;
            }
            if (pos < block.size() || atEnd)
                break;
            refill();
        }
        if (pos >= block.size())
            break; // only blanks were left
        // The line's end, within the longest line taken as an entry.
        qsizetype end = block.indexOf('\n', pos);
        while (end < 0 && block.size() - pos <= kMaxLineBytes && !atEnd) {
            refill();
            end = block.indexOf('\n', pos);
        }
        const qsizetype lineEnd = end < 0 ? block.size() : end;
        ++lineNo;
        const qint64 lineLength = lineEnd - pos;
        if (lineLength > kMaxLineBytes || (end < 0 && !atEnd)) {
            // Longer than any real entry: binary data or a damaged file. Its
            // size cannot be told, so nothing after it has a known offset.
            reportMalformed(lineNo);
            result.truncated = true;
            break;
        }
        const QByteArray line = block.mid(pos, lineEnd - pos).trimmed();
        pos = end < 0 ? block.size() : end + 1;
        for (qint64 k = 0; k < pendingBlank; ++k) {
            if (result.malformedLines > kMaxLoggedMalformed) {
                // Nothing more is logged: count the rest at once.
                result.malformedLines += int(qMin<qint64>(pendingBlank - k, INT_MAX - result.malformedLines));
                break;
            }
            reportMalformed(firstBlank + k);
        }
        pendingBlank = 0;

        LineResult parsed = parseLine(line);
        if (!parsed.sizeKnown) {
            reportMalformed(lineNo);
            result.truncated = true;
            break;
        }
        if (offset + parsed.size > dataSize) {
            logMessage(QStringLiteral("[ERROR] ZuSeekFile :: parse :: entry past the end of the data file :: line %1 :: %2")
                           .arg(lineNo).arg(seekPath));
            result.truncated = true;
            break;
        }
        if (!parsed.valid) {
            reportMalformed(lineNo);
        } else if (matchesStream(parsed.frame, streamId)) {
            parsed.frame.offset = offset;
            parsed.frame.file_path = absoluteData;
            result.frames.append(std::move(parsed.frame));
            entryLines.push_back(lineNo);
            unreadableTimes += parsed.timeUnreadable ? 1 : 0;
        }
        offset += parsed.size;
        if (pos >= block.size() && atEnd)
            break;
    }
    result.dataSize = dataSize;
    result.indexedEnd = offset;
    if (unreadableTimes > 0)
        result.malformedLines += repairTimes(result.frames, entryLines, seekPath);
    return result;
}

bool inDisplayOrder(const ZuFrameList &frames, qint64 maxStepBackMs)
{
    qint64 previous = -1;
    for (const ZuFrame &f : frames) {
        const qint64 t = msOfTimestamp(f.timestamp);
        if (t >= 0 && previous >= 0 && t < previous && previous - t <= maxStepBackMs)
            return true;
        if (t >= 0)
            previous = t;
    }
    return false;
}

void sortTimesWithinGroups(ZuFrameList &frames, const std::vector<int> &keys)
{
    std::vector<int> starts{0};
    for (int key : keys) {
        if (key > starts.back() && key < frames.size())
            starts.push_back(key);
    }
    starts.push_back(int(frames.size()));
    for (size_t g = 0; g + 1 < starts.size(); ++g) {
        QStringList times;
        for (int i = starts[g]; i < starts[g + 1]; ++i)
            times.append(frames.at(i).timestamp);
        // The 17-digit texts sort as their times.
        std::sort(times.begin(), times.end());
        for (int i = starts[g]; i < starts[g + 1]; ++i)
            frames[i].timestamp = times.at(i - starts[g]);
    }
}

QString formatLine(const ZuFrame &frame)
{
    if (frame.type == QLatin1String("audio")) {
        return QStringLiteral("%1:audio%2:%3:%4")
            .arg(frame.timestamp, frame.stream_id, frame.codec)
            .arg(frame.size);
    }
    return QStringLiteral("%1:video%2:%3:%4:%5:%6")
        .arg(frame.timestamp, frame.stream_id, frame.codec, frame.resolution,
             frame.keyframe.isEmpty() ? QStringLiteral("0") : frame.keyframe)
        .arg(frame.size);
}

bool write(const QString &seekPath, const ZuFrameList &frames)
{
    QByteArray text;
    for (const ZuFrame &frame : frames) {
        text += formatLine(frame).toLatin1();
        text += '\n';
    }
    QSaveFile out(seekPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        logMessage(QStringLiteral("[ERROR] ZuSeekFile :: write :: write failed :: ") + seekPath);
        return false;
    }
    return true;
}

} // namespace ZuSeekFile
