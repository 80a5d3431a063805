#include "zuaudiovideofilereader.h"

#include "exportfolder.h"
#include "keyunits.h"
#include "seekfile.h"
#include "streamframe.h"
#include "videodecoder.h"
#include "zulog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

namespace {
const QString kLogPrefix = QStringLiteral("ZuAudioVideo file reader :: ");
// Entries placed by their neighbours' times logged per file, so a damaged
// file cannot flood the log.
constexpr int kMaxLoggedPlaced = 50;

using ZuSeekFile::msOfTimestamp;
} // namespace

ZuAudioVideoFileReader::ZuAudioVideoFileReader(QList<QFileInfo> files, QString streamId, QString begin, QString end,
                                               QObject *parent)
    : QThread(parent), m_files(std::move(files)), m_streamId(std::move(streamId)), m_begin(std::move(begin)),
      m_end(std::move(end))
{
}

ZuAudioVideoFileReader::~ZuAudioVideoFileReader()
{
    m_stop.store(true);
    {
        // Under the mutex, like stop(): a wake between the reader's last look
        // at the flag and its wait would otherwise be lost.
        QMutexLocker locker(&m_waitMutex);
        m_wake.wakeAll();
    }
    wait();
}

void ZuAudioVideoFileReader::set_camera_names(const QHash<int, QString> &names)
{
    m_cameraNames = names;
}

void ZuAudioVideoFileReader::set_frame_queue(std::deque<StreamFrame *> *queue)
{
    m_queue = queue;
}

void ZuAudioVideoFileReader::set_queue_mutex(QMutex *mutex)
{
    m_queueMutex = mutex;
}

void ZuAudioVideoFileReader::set_max_queue(int frames)
{
    m_maxQueue = std::max(1, frames);
}

void ZuAudioVideoFileReader::stop()
{
    logMessage("[INFO] ZuAudioVideo file reader :: stop");
    m_stop.store(true);
    QMutexLocker locker(&m_waitMutex);
    m_wake.wakeAll();
}

void ZuAudioVideoFileReader::fail(const QString &detail)
{
    logMessage(QStringLiteral("[ERROR] ") + kLogPrefix + QStringLiteral("run :: ") + detail);
    m_error.store(kReadError);
    emit error(kReadError);
}

std::vector<bool> ZuAudioVideoFileReader::outOfOrder(const ZuFrameList &frames, qint64 before, qint64 after)
{
    const int n = int(frames.size());
    std::vector<qint64> t(size_t(n), -1);
    for (int i = 0; i < n; ++i)
        t[size_t(i)] = msOfTimestamp(frames.at(i).timestamp);
    // Past the file's edges, the neighbouring files' times when known.
    const auto at = [&](int i) {
        if (i >= 0 && i < n)
            return t[size_t(i)];
        return i == -1 ? before : i == n ? after : qint64(-1);
    };
    // Up to a second's worth of entries in a row can be glitched.
    const int maxRun = std::clamp(int(std::lround(entriesFps(frames))), 2, 120);
    std::vector<bool> out(size_t(n), false);
    // The last two entries in order before the one looked at.
    qint64 good = before;
    qint64 goodBefore = -1;
    for (int i = 0; i < n;) {
        if (t[size_t(i)] < 0) {
            out[size_t(i)] = true;
            ++i;
            continue;
        }
        // The shortest run from i on whose entries all lie away from the
        // times its neighbours agree on. A clock set back or forward moves
        // every later entry, so its neighbours never agree again. Entries
        // stamped in display order stray from their neighbours by a few
        // pictures only, well within the tolerance.
        int run = 0;
        qint64 lowestNear = LLONG_MAX; // the run's lowest time not far below `good`
        bool anyFarBelow = false;
        for (int len = 1; len <= maxRun && i + len <= n && run == 0; ++len) {
            const qint64 time = t[size_t(i + len - 1)];
            if (time >= 0 && good >= 0 && time < good - kReorderToleranceMs)
                anyFarBelow = true;
            else if (time >= 0)
                lowestNear = std::min(lowestNear, time);
            const qint64 next = at(i + len);
            if (next < 0)
                break;
            bool glitched = false;
            if (good >= 0) {
                glitched = good <= next && (lowestNear == LLONG_MAX || lowestNear > next + kReorderToleranceMs);
            } else {
                // At the file's start with nothing before: the entries after
                // the run must agree with each other.
                const qint64 afterNext = at(i + len + 1);
                glitched = !anyFarBelow && afterNext >= 0 && next <= afterNext
                           && afterNext - next <= 2 * kReorderToleranceMs && lowestNear > next + kReorderToleranceMs;
            }
            if (glitched)
                run = len;
        }
        if (run == 0 && i == n - 1 && at(n) < 0 && good >= 0 && goodBefore >= 0) {
            // The last entry with nothing after it: it goes back behind two
            // entries that agree.
            run = goodBefore <= good && t[size_t(i)] < good - kReorderToleranceMs ? 1 : 0;
        }
        if (run > 0) {
            for (int k = i; k < i + run; ++k)
                out[size_t(k)] = true;
            i += run;
            continue;
        }
        goodBefore = good;
        good = t[size_t(i)];
        ++i;
    }
    return out;
}

int ZuAudioVideoFileReader::placeOutOfOrder(ZuFrameList &frames, qint64 before, qint64 after, const QString &path)
{
    const std::vector<bool> odd = outOfOrder(frames, before, after);
    const int n = int(frames.size());
    int placed = 0;
    for (int a = 0; a < n; ++a) {
        if (!odd[size_t(a)])
            continue;
        int b = a;
        while (b < n && odd[size_t(b)])
            ++b;
        const qint64 prev = a > 0 ? msOfTimestamp(frames.at(a - 1).timestamp) : before;
        const qint64 next = b < n ? msOfTimestamp(frames.at(b).timestamp) : after;
        // One step of the stream next to the run, for a run at an edge.
        qint64 step = 0;
        if (a > 1 && prev >= 0)
            step = std::max<qint64>(0, prev - msOfTimestamp(frames.at(a - 2).timestamp));
        else if (b + 1 < n && next >= 0)
            step = std::max<qint64>(0, msOfTimestamp(frames.at(b + 1).timestamp) - next);
        const int run = b - a;
        for (int k = a; k < b; ++k) {
            qint64 time = -1;
            if (prev >= 0 && next >= prev)
                time = prev + (next - prev) * (k - a + 1) / (run + 1);
            else if (prev >= 0)
                time = prev + step * (k - a + 1);
            else if (next >= 0)
                time = std::max<qint64>(0, next - step * (b - k));
            if (time < 0)
                continue;
            const QString placedAt = QDateTime::fromMSecsSinceEpoch(time, Qt::UTC).toString(QStringLiteral("yyyyMMddHHmmsszzz"));
            if (placed < kMaxLoggedPlaced)
                logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                           + QStringLiteral("run :: entry out of order with its neighbours :: %1 taken as %2 :: %3")
                                 .arg(frames.at(k).timestamp.left(17), placedAt, path));
            frames[k].timestamp = placedAt;
            ++placed;
        }
        a = b;
    }
    return placed;
}

QList<int> ZuAudioVideoFileReader::selectRange(const ZuFrameList &frames, const QString &begin, const QString &end,
                                               bool &started, bool &ended, const QDate &day, qint64 before,
                                               qint64 after)
{
    QList<int> kept;
    if (begin.isEmpty() || end.isEmpty()) {
        started = true;
        for (int i = 0; i < frames.size(); ++i)
            kept.append(i);
        return kept;
    }
    const std::vector<bool> odd = outOfOrder(frames, before, after);
    // The range lies on the recording's day: that of the data file, else
    // that of its first entry in order. Entries are compared with it by
    // their full date and time, so that an entry of another day can neither
    // open nor close it.
    QDate rangeDay = day;
    for (int i = 0; i < frames.size() && !rangeDay.isValid(); ++i) {
        if (!odd[size_t(i)])
            rangeDay = QDate::fromString(frames.at(i).timestamp.left(8), QStringLiteral("yyyyMMdd"));
    }
    const QTime beginTime = QTime::fromString(begin, QStringLiteral("HHmmss"));
    const QTime endTime = QTime::fromString(end, QStringLiteral("HHmmss"));
    if (!rangeDay.isValid() || !beginTime.isValid() || !endTime.isValid())
        return kept;
    const qint64 from = QDateTime(rangeDay, beginTime, Qt::UTC).toMSecsSinceEpoch();
    const qint64 to = QDateTime(rangeDay, endTime, Qt::UTC).toMSecsSinceEpoch();

    for (int i = 0; i < frames.size() && !ended; ++i) {
        // A glitched time says nothing about where the range is: the frame
        // belongs to it when its neighbours do.
        if (odd[size_t(i)]) {
            if (started)
                kept.append(i);
            continue;
        }
        const qint64 time = msOfTimestamp(frames.at(i).timestamp);
        if (!started) {
            if (time >= from && time < to) {
                started = true;
                kept.append(i);
            }
            continue;
        }
        kept.append(i);
        if (time >= to)
            ended = true;
    }
    return kept;
}

double ZuAudioVideoFileReader::entriesFps(const ZuFrameList &frames)
{
    if (frames.isEmpty())
        return -1.0;
    if (frames.size() == 1)
        return 1.0;
    // The time from each entry to the next. A pause of the recording (event
    // recording, a lost camera) or a clock change shows as one interval far
    // longer than the usual one, or as one that runs backwards; those are
    // left out, so that the rate is the one at which frames were recorded
    // and not their count over the file's whole span.
    std::vector<qint64> steps;
    std::vector<qint64> positive;
    steps.reserve(size_t(frames.size()));
    qint64 previous = msOfTimestamp(frames.first().timestamp);
    for (int i = 1; i < frames.size(); ++i) {
        const qint64 current = msOfTimestamp(frames.at(i).timestamp);
        if (previous >= 0 && current >= previous) {
            steps.push_back(current - previous);
            if (current > previous)
                positive.push_back(current - previous);
        }
        previous = current;
    }
    if (positive.empty())
        return 1.0;
    auto middle = positive.begin() + std::ptrdiff_t(positive.size() / 2);
    std::nth_element(positive.begin(), middle, positive.end());
    const qint64 longest = *middle * 4;
    qint64 span = 0;
    int counted = 0;
    for (qint64 step : steps) {
        if (step <= longest) {
            span += step;
            ++counted;
        }
    }
    const double fps = counted * 1000.0 / double(span);
    // Two decimals: the encoder takes the whole part, and 2.9999 must stay 3.
    return std::clamp(std::round(fps * 100.0) / 100.0, 0.01, 1000.0);
}

ZuAudioVideoFileReader::Step ZuAudioVideoFileReader::waitForRoom()
{
    for (;;) {
        if (stopRequested())
            return Step::Stopped;
        {
            QMutexLocker locker(m_queueMutex);
            if (static_cast<int>(m_queue->size()) < m_maxQueue)
                return Step::Ok;
        }
        QMutexLocker locker(&m_waitMutex);
        if (!stopRequested())
            m_wake.wait(&m_waitMutex, 300);
    }
}

bool ZuAudioVideoFileReader::push(StreamFrame *frame)
{
    QMutexLocker locker(m_queueMutex);
    m_queue->push_back(frame);
    ++m_queued;
    return true;
}

ZuSeekFile::Result ZuAudioVideoFileReader::parseFile(const QFileInfo &file) const
{
    const QString dataPath = file.absoluteFilePath();
    const QString seekPath = ZuSeekFile::seekPathFor(dataPath);
    return seekPath.isEmpty() ? ZuSeekFile::Result() : ZuSeekFile::parse(seekPath, dataPath, m_streamId);
}

ZuAudioVideoFileReader::Step ZuAudioVideoFileReader::readFile(const QFileInfo &file, const ZuSeekFile::Result &parsed,
                                                              qint64 nextTime, VideoDecoder &decoder, bool &started,
                                                              bool &ended)
{
    const QString dataPath = file.absoluteFilePath();
    const QString seekPath = ZuSeekFile::seekPathFor(dataPath);
    if (seekPath.isEmpty()) {
        fail(QStringLiteral("not a video data file :: ") + dataPath);
        return Step::Failed;
    }
    if (!parsed.ok) {
        fail(QStringLiteral("cannot read the seek file :: ") + seekPath);
        return Step::Failed;
    }
    if (parsed.dataFileMissing) {
        fail(QStringLiteral("data file missing :: ") + dataPath);
        return Step::Failed;
    }
    m_frameCount.store(parsed.frames.isEmpty() ? -1 : static_cast<int>(parsed.frames.size()));
    m_currentPath = dataPath;
    // Glitched stamps take the times their neighbours imply, so that they
    // neither end nor open the range, nor caption a picture with a time it
    // does not have.
    ZuFrameList frames = parsed.frames;
    placeOutOfOrder(frames, m_lastTime, nextTime, dataPath);
    // Entries stamped with their pictures' own times in a stream that
    // reorders pictures come in display order, not in file order: each
    // group's times are put in the order its pictures are shown in.
    if (ZuSeekFile::inDisplayOrder(frames, kReorderToleranceMs)) {
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: entries not in time order (pictures' own times in display order) :: ")
                   + dataPath);
        std::vector<int> keys;
        QFile keyData(dataPath);
        const bool flagged = std::any_of(frames.cbegin(), frames.cend(), [](const ZuFrame &f) { return f.isKeyframe(); });
        if (flagged || keyData.open(QIODevice::ReadOnly)) {
            for (int i = 0; i < frames.size(); ++i) {
                const ZuFrame &f = frames.at(i);
                if (flagged ? f.isKeyframe() : KeyUnits::isKey(f.codec, keyData, f.offset, f.size))
                    keys.push_back(i);
            }
        }
        ZuSeekFile::sortTimesWithinGroups(frames, keys);
    }
    if (!frames.isEmpty())
        m_fps.store(entriesFps(frames));

    const bool wasStarted = started;
    const ZuExportFolder::NameInfo fileName = ZuExportFolder::classify(file.fileName());
    const QDate fileDay = fileName.date;
    // The neighbouring files' times tell whether this file's first or last
    // entry is a glitched one.
    const QList<int> kept = selectRange(frames, m_begin, m_end, started, ended, fileDay, m_lastTime, nextTime);
    for (int i = frames.size() - 1; i >= 0; --i) {
        const qint64 time = msOfTimestamp(frames.at(i).timestamp);
        if (time >= 0) {
            m_lastTime = time;
            break;
        }
    }
    // Entries lost at the end of a damaged file would leave a hole in the range.
    const bool lostInRange = parsed.truncated && started && !ended;
    if (kept.isEmpty()) {
        if (lostInRange) {
            fail(QStringLiteral("seek file points past its data :: ") + seekPath);
            return Step::Failed;
        }
        return Step::Ok;
    }

    QFile data(dataPath);
    if (!data.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot open :: ") + dataPath);
        return Step::Failed;
    }
    const int cameraId = fileName.cameraId;
    const QString cameraName = cameraId >= 0 ? m_cameraNames.value(cameraId, QString::number(cameraId)) : QString();

    auto readEntry = [&](const ZuFrame &entry, QByteArray &bytes) {
        if (entry.size <= 0 || entry.offset < 0 || !data.seek(entry.offset))
            return false;
        bytes = data.read(entry.size);
        return bytes.size() == entry.size;
    };
    // Some recorders flag no key frame at all: the units a decoder can start
    // from are then found in the units themselves, as the player finds them.
    const bool flagsKeys = std::any_of(frames.cbegin(), frames.cend(),
                                       [](const ZuFrame &entry) { return entry.isKeyframe(); });
    auto isKey = [&](int index) {
        const ZuFrame &entry = frames.at(index);
        return flagsKeys ? entry.isKeyframe() : KeyUnits::isKey(entry.codec, data, entry.offset, entry.size);
    };
    auto ensureDecoder = [&](const ZuFrame &entry) {
        const QString codec = VideoDecoder::normalizedCodecName(entry.codec);
        if (decoder.isOpen() && decoder.codecName() == codec && !codec.isEmpty())
            return true;
        m_decoderLive = false;
        return decoder.open(entry.codec);
    };

    // A range that opens on a non-key frame: decode from the key frame before
    // it so that its first pictures are whole; the pictures of its group's
    // units before the range keep their places. A group that opens on a key
    // frame from which not every later picture decodes (an open group of
    // pictures: pictures stored after the key frame but shown before it
    // refer to the group before) is reached from the group before.
    const int first = kept.first();
    if (!wasStarted) {
        int groupKey = first;
        while (groupKey >= 0 && !isKey(groupKey))
            --groupKey;
        int startKey = groupKey;
        if (groupKey < 0 && leadInFromPreviousFile(file, decoder)) {
            // The file starts inside a group whose key frame the file before
            // holds: decoding goes on from there over this file's first units.
            startKey = 0;
            groupKey = 0;
        } else if (groupKey > 0) {
            const ZuFrame &k = frames.at(groupKey);
            if (!KeyUnits::startsClean(k.codec, data, k.offset, k.size)) {
                int before = groupKey - 1;
                while (before >= 0 && !isKey(before))
                    --before;
                if (before >= 0)
                    startKey = before;
            }
        }
        const bool ledIn = startKey == 0 && groupKey == 0 && !isKey(0);
        if (startKey >= 0 && startKey < first && (ledIn || ensureDecoder(frames.at(startKey)))) {
            if (!ledIn) {
                decoder.flush();
                m_decoderLive = false;
                m_pending.clear();
            }
            QByteArray bytes;
            for (int i = startKey; i < first && !stopRequested(); ++i) {
                AVFrame *picture = nullptr;
                if (!readEntry(frames.at(i), bytes))
                    continue;
                // A reordering decoder hands these pictures out later, while
                // the range is decoded: they are marked to be dropped then.
                const int rc = decodeUnit(decoder, bytes, discarded(i < groupKey), &picture);
                if (rc == 0) {
                    m_decoderLive = true;
                    deliverPicture(picture);
                }
            }
        }
    }

    int waitingForKey = 0;
    QByteArray bytes;
    for (int index : kept) {
        if (waitForRoom() == Step::Stopped)
            return Step::Stopped;
        const ZuFrame &entry = frames.at(index);
        if (!readEntry(entry, bytes)) {
            fail(QStringLiteral("cannot read the frame at %1 (%2 bytes) :: %3").arg(entry.offset).arg(entry.size).arg(dataPath));
            return Step::Failed;
        }
        // Pictures still held by the decoder belong to the range: they are
        // handed out before it is opened again for another codec.
        if (!m_pending.empty() && decoder.isOpen()
            && decoder.codecName() != VideoDecoder::normalizedCodecName(entry.codec)) {
            if (drainDecoder(decoder) == Step::Stopped)
                return Step::Stopped;
        }
        if (!ensureDecoder(entry)) {
            fail(QStringLiteral("no decoder for '%1' :: %2").arg(entry.codec.left(32), dataPath));
            return Step::Failed;
        }
        AVFrame *picture = nullptr;
        const bool idle = !m_decoderLive && m_pending.empty();
        const int rc = decodeUnit(decoder, bytes,
                                  Pending{entry.timestamp, entry.stream_id, cameraName, false, 0},
                                  &picture);
        if (rc == AVERROR(EAGAIN) && idle && !isKey(index)) {
            // Nothing to decode against yet: the stream has not reached its
            // first key frame. Counted and logged, not an error.
            m_pending.pop_back();
            ++waitingForKey;
            continue;
        }
        if (rc == AVERROR(EAGAIN)) {
            // Taken in, its picture comes out later (a reordering stream).
            if (m_pending.size() > kMaxPending) {
                fail(QStringLiteral("no picture from the decoder for %1 frames, up to %2 :: %3")
                         .arg(m_pending.size()).arg(entry.timestamp.left(17)).arg(dataPath));
                return Step::Failed;
            }
            continue;
        }
        if (rc != 0 || !picture) {
            av_frame_free(&picture);
            fail(QStringLiteral("cannot decode the frame of %1 at %2 :: %3").arg(entry.timestamp.left(17)).arg(entry.offset).arg(dataPath));
            return Step::Failed;
        }
        m_decoderLive = true;
        deliverPicture(picture);
    }
    // Where the range ends, a stream with B-frames has not yet shown every
    // picture of the kept entries' places: the k-th picture shown from a
    // group goes with the group's k-th entry, and the last pictures shown
    // may come from units stored after the range's last entry. The rest of
    // the group is decoded, its own places dropped, so that the range ends
    // with its own pictures.
    if (ended && !m_pending.empty()) {
        for (int index = kept.last() + 1; index < frames.size() && !isKey(index); ++index) {
            if (waitForRoom() == Step::Stopped)
                return Step::Stopped;
            const ZuFrame &entry = frames.at(index);
            AVFrame *picture = nullptr;
            if (!readEntry(entry, bytes)
                || VideoDecoder::normalizedCodecName(entry.codec) != decoder.codecName()) {
                break;
            }
            const int rc = decodeUnit(decoder, bytes, discarded(false), &picture);
            if (rc != 0 && rc != AVERROR(EAGAIN))
                break;
            if (rc == 0)
                deliverPicture(picture);
        }
    }
    if (waitingForKey > 0)
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: %1 frames before the first key frame not decodable :: %2").arg(waitingForKey).arg(dataPath));
    if (lostInRange) {
        fail(QStringLiteral("seek file points past its data :: ") + seekPath);
        return Step::Failed;
    }
    return Step::Ok;
}

QString ZuAudioVideoFileReader::previousDataFile(const QFileInfo &file)
{
    // The camera's files of the day: in the day's segment folders (the
    // file's folder is one of them).
    ZuExportFolder::NameInfo own;
    if (!ZuExportFolder::parseRecordingName(file.fileName(), &own.cameraId, &own.date, &own.time))
        return QString();
    QDir day = file.absoluteDir();
    day.cdUp();
    QString best;
    QTime bestStart;
    for (const QString &segment : day.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir folder(day.filePath(segment));
        for (const QString &name : folder.entryList({QStringLiteral("*.zuvideo")}, QDir::Files, QDir::Name)) {
            const ZuExportFolder::NameInfo other = ZuExportFolder::classify(name);
            if (other.kind != ZuExportFolder::FileKind::Video || other.cameraId != own.cameraId
                || other.date != own.date)
                continue;
            if (other.time < own.time && (bestStart.isNull() || other.time >= bestStart)) {
                bestStart = other.time;
                best = folder.absoluteFilePath(name);
            }
        }
    }
    return best;
}

ZuFrameList ZuAudioVideoFileReader::leadInEntries(const QFileInfo &file, const QString &streamId, int *groupStart)
{
    *groupStart = -1;
    const QString previous = previousDataFile(file);
    if (previous.isEmpty())
        return {};
    const ZuFrameList frames = ZuSeekFile::parse(ZuSeekFile::seekPathFor(previous), previous, streamId).frames;
    QFile data(previous);
    if (frames.isEmpty() || !data.open(QIODevice::ReadOnly))
        return {};
    const bool flagsKeys = std::any_of(frames.cbegin(), frames.cend(), [](const ZuFrame &f) { return f.isKeyframe(); });
    auto isKey = [&](int i) {
        const ZuFrame &f = frames.at(i);
        return flagsKeys ? f.isKeyframe() : KeyUnits::isKey(f.codec, data, f.offset, f.size);
    };
    int key = int(frames.size()) - 1;
    while (key >= 0 && !isKey(key))
        --key;
    if (key < 0)
        return {};
    int start = key;
    if (!KeyUnits::startsClean(frames.at(key).codec, data, frames.at(key).offset, frames.at(key).size)) {
        int before = key - 1;
        while (before >= 0 && !isKey(before))
            --before;
        if (before >= 0)
            start = before;
    }
    *groupStart = key - start;
    return frames.mid(start);
}

bool ZuAudioVideoFileReader::leadInFromPreviousFile(const QFileInfo &file, VideoDecoder &decoder)
{
    int key = -1;
    const ZuFrameList frames = leadInEntries(file, m_streamId, &key);
    if (frames.isEmpty())
        return false;
    QFile data(frames.first().file_path);
    if (!data.open(QIODevice::ReadOnly) || !decoder.open(frames.first().codec))
        return false;
    m_decoderLive = false;
    m_pending.clear();
    logMessage(QStringLiteral("[INFO] ") + kLogPrefix
               + QStringLiteral("run :: the file starts inside a group of pictures, decoded from %1 of %2")
                     .arg(frames.first().timestamp.left(17), data.fileName()));
    QByteArray bytes;
    for (int i = 0; i < frames.size() && !stopRequested(); ++i) {
        const ZuFrame &f = frames.at(i);
        if (!data.seek(f.offset))
            break;
        bytes = data.read(f.size);
        if (bytes.size() != f.size)
            break;
        AVFrame *picture = nullptr;
        // The group the file starts in holds these units' pictures: they
        // keep their places; the group before only leads into it.
        const int rc = decodeUnit(decoder, bytes, discarded(i < key), &picture);
        if (rc == 0) {
            m_decoderLive = true;
            deliverPicture(picture);
        }
    }
    return true;
}

void ZuAudioVideoFileReader::pushPicture(AVFrame *picture, const Pending &owner)
{
    auto *frame = new StreamFrame;
    frame->setAvFrame(picture);
    frame->setKeyframe(picture->key_frame != 0);
    frame->setImageSize(av_image_get_buffer_size(static_cast<AVPixelFormat>(picture->format), picture->width,
                                                 picture->height, 1));
    frame->setFrameId(m_nextFrameId);
    m_nextFrameId = (m_nextFrameId + 1) % StreamFrame::kFrameIdWrap;
    frame->setTimestampText(owner.timestamp.toLatin1());
    frame->setDrawOverlay(owner.cameraName);
    frame->setFrameTag(QStringLiteral("video") + owner.streamId);
    frame->setFps(m_fps.load());
    if ((picture->flags & AV_FRAME_FLAG_CORRUPT) || picture->decode_error_flags) {
        // Concealed by the decoder: kept, and told.
        ++m_damaged;
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: damaged picture :: %1 :: %2").arg(owner.timestamp.left(17), m_currentPath));
    }
    push(frame);
}

ZuAudioVideoFileReader::Pending ZuAudioVideoFileReader::discarded(bool leadIn)
{
    return Pending{QString(), QString(), QString(), true, 0, leadIn};
}

int ZuAudioVideoFileReader::decodeUnit(VideoDecoder &decoder, const QByteArray &bytes, Pending unit, AVFrame **picture)
{
    unit.seq = m_nextSeq++;
    m_pending.push_back(unit);
    const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()), unit.seq,
                                  picture);
    if (rc != 0 && rc != AVERROR(EAGAIN))
        m_pending.pop_back();
    // Without reordering, each picture is its own unit's: one the decoder
    // could not give leaves no hole that shifts the times of the next.
    m_ownTimes = decoder.reorderDepth() == 0;
    return rc;
}

void ZuAudioVideoFileReader::deliverPicture(AVFrame *picture)
{
    auto owner = m_pending.begin();
    if (m_ownTimes) {
        // The picture's own unit, told by the tag it went in with.
        owner = std::find_if(m_pending.begin(), m_pending.end(),
                             [&](const Pending &p) { return p.seq == picture->pts; });
    }
    if (owner == m_pending.end()) {
        av_frame_free(&picture);
        return;
    }
    if (m_ownTimes) {
        // Pictures come out in their units' order: a unit still waiting
        // before this one gives none.
        const Pending found = *owner;
        int lost = 0;
        std::deque<Pending> waiting;
        for (const Pending &p : m_pending) {
            const bool before = p.seq < found.seq;
            if (p.seq == found.seq)
                continue;
            if (before)
                lost += p.discard ? 0 : 1;
            else
                waiting.push_back(p);
        }
        m_pending.swap(waiting);
        if (lost > 0)
            logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                       + QStringLiteral("run :: %1 frames before %2 gave no picture :: %3")
                             .arg(lost).arg(found.timestamp.left(17), m_currentPath));
        if (found.discard)
            av_frame_free(&picture);
        else
            pushPicture(picture, found);
        return;
    }
    // Units decoded only to reach the range's start are told by their tags:
    // decoding from a key frame that opens a group loses the pictures that
    // refer to the group before, so they do not take part in the count.
    const auto leadIn = std::find_if(m_pending.begin(), m_pending.end(),
                                     [&](const Pending &p) { return p.leadIn && p.seq == picture->pts; });
    if (leadIn != m_pending.end()) {
        m_pending.erase(leadIn);
        av_frame_free(&picture);
        return;
    }
    // A picture of the range is shown after every lead-in picture: those
    // still waiting give none.
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(), [](const Pending &p) { return p.leadIn; }),
                    m_pending.end());
    if (m_pending.empty()) {
        av_frame_free(&picture);
        return;
    }
    const Pending first = m_pending.front();
    m_pending.pop_front();
    if (first.discard)
        av_frame_free(&picture);
    else
        pushPicture(picture, first);
}

ZuAudioVideoFileReader::Step ZuAudioVideoFileReader::drainDecoder(VideoDecoder &decoder)
{
    while (!m_pending.empty()) {
        if (waitForRoom() == Step::Stopped)
            return Step::Stopped;
        AVFrame *picture = nullptr;
        if (decoder.drain(&picture) != 0 || !picture)
            break;
        deliverPicture(picture);
    }
    int lost = 0;
    for (const Pending &p : m_pending)
        lost += p.discard ? 0 : 1;
    if (lost > 0)
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: %1 frames gave no picture at the end of the stream").arg(lost));
    m_pending.clear();
    decoder.flush();
    m_decoderLive = false;
    return Step::Ok;
}

void ZuAudioVideoFileReader::run()
{
    logMessage(QStringLiteral("[INFO] ") + kLogPrefix + QStringLiteral("run :: %1 files, stream %2, %3 - %4")
                   .arg(m_files.size()).arg(m_streamId, m_begin, m_end));
    if (!m_queue || !m_queueMutex) {
        logMessage(QStringLiteral("[ERROR] ") + kLogPrefix + QStringLiteral("run :: no frame queue"));
        return;
    }
    VideoDecoder decoder;
    m_pending.clear();
    m_nextSeq = 0;
    m_lastTime = -1;
    bool started = false;
    bool ended = false;
    Step step = Step::Ok;
    // Each seek file is parsed one file ahead: the next file's first time
    // tells whether this one's last entry is out of order.
    ZuSeekFile::Result next = m_files.isEmpty() ? ZuSeekFile::Result() : parseFile(m_files.first());
    for (int k = 0; k < m_files.size(); ++k) {
        if (stopRequested() || ended)
            break;
        const ZuSeekFile::Result parsed = std::move(next);
        next = k + 1 < m_files.size() ? parseFile(m_files.at(k + 1)) : ZuSeekFile::Result();
        qint64 nextTime = -1;
        for (int i = 0; i < next.frames.size() && nextTime < 0; ++i)
            nextTime = msOfTimestamp(next.frames.at(i).timestamp);
        step = readFile(m_files.at(k), parsed, nextTime, decoder, started, ended);
        if (step != Step::Ok)
            break;
    }
    if (step == Step::Ok && !stopRequested())
        drainDecoder(decoder);
    m_pending.clear();
    logMessage(QStringLiteral("[INFO] ") + kLogPrefix + QStringLiteral("run :: end, %1 frames").arg(m_queued.load()));
}
