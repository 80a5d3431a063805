#include "zuaudiovideofilereader.h"

#include "exportfolder.h"
#include "keyunits.h"
#include "pictureorder.h"
#include "seekfile.h"
#include "streamframe.h"
#include "streamunits.h"
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

QString ZuAudioVideoFileReader::videoStream(const QString &streamId)
{
    if (streamId.isEmpty() || streamId.startsWith(QLatin1String("video")))
        return streamId;
    return QStringLiteral("video") + streamId;
}

ZuSeekFile::Result ZuAudioVideoFileReader::parseFile(const QFileInfo &file) const
{
    const QString dataPath = file.absoluteFilePath();
    const QString seekPath = ZuSeekFile::seekPathFor(dataPath);
    // The video stream only: audio entries of the same number may be
    // interleaved with it.
    return seekPath.isEmpty() ? ZuSeekFile::Result() : ZuSeekFile::parse(seekPath, dataPath, videoStream(m_streamId));
}

QList<ZuAudioVideoFileReader::Unindexed> ZuAudioVideoFileReader::unindexed_data() const
{
    QMutexLocker locker(&m_unindexedMutex);
    return m_unindexed;
}

namespace {
// Units decoded past the range's last entry to end its group: more than any
// reorder depth, so that every picture of the range's places is out.
constexpr int kMaxFinishingUnits = 64;
// Units decoded at most while a decoder learns how far B-frames reach.
constexpr int kMaxLearningUnits = 64;

int keyAtOrBefore(const std::vector<int> &keys, int index)
{
    auto it = std::upper_bound(keys.begin(), keys.end(), index);
    return it == keys.begin() ? -1 : *(it - 1);
}
} // namespace

ZuAudioVideoFileReader::Step ZuAudioVideoFileReader::readFile(const QFileInfo &file, const ZuSeekFile::Result &parsed,
                                                              qint64 nextTime, bool last, VideoDecoder &decoder,
                                                              bool &started, bool &ended)
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
    // Each file's stream may reach further back than the one before (its own
    // parameter sets): the decoder learns it again at the file's first key
    // frame from which it can start afresh.
    m_depthLearned = false;
    // Glitched stamps take the times their neighbours imply, so that they
    // neither end nor open the range, nor caption a picture with a time it
    // does not have.
    ZuFrameList frames = parsed.frames;
    placeOutOfOrder(frames, m_lastTime, nextTime, dataPath);

    QFile data(dataPath);
    const bool dataOpen = data.open(QIODevice::ReadOnly);
    bool flagsIgnored = false;
    const std::vector<int> keys = dataOpen ? ZuStreamUnits::keys(frames, data, &flagsIgnored) : std::vector<int>();
    if (flagsIgnored)
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: key frame flags that the data contradicts, key frames found in the data :: ")
                   + dataPath);
    // Whether pictures take their own units' places or their groups' is
    // settled before any of them is paired, from the units themselves; a
    // stream found to reorder stays so.
    if (dataOpen && !m_reorders && !frames.isEmpty() && ZuStreamUnits::reorders(frames, data, keys))
        m_reorders = true;
    m_places.setReorders(m_reorders);
    if (ZuSeekFile::inDisplayOrder(frames, kReorderToleranceMs)) {
        if (m_reorders) {
            // Entries stamped with their pictures' own times in a stream
            // that reorders pictures come in display order, not in file
            // order: each group's times are put in the order its pictures
            // are shown in.
            logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                       + QStringLiteral("run :: entries not in time order (pictures' own times in display order) :: ")
                       + dataPath);
            ZuSeekFile::sortTimesWithinGroups(frames, keys);
        } else {
            // Pictures shown in their stored order: a step back is the
            // recorder's clock, and each picture keeps its own time.
            logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                       + QStringLiteral("run :: the recorder's clock went back, pictures keep their own times :: ")
                       + dataPath);
        }
    }
    if (!frames.isEmpty())
        m_fps.store(entriesFps(frames));

    const bool wasStarted = started;
    const ZuExportFolder::NameInfo fileName = ZuExportFolder::classify(file.fileName());
    const QDate fileDay = fileName.date;
    // The neighbouring files' times tell whether this file's first or last
    // entry is a glitched one.
    QList<int> kept = selectRange(frames, m_begin, m_end, started, ended, fileDay, m_lastTime, nextTime);
    for (int i = frames.size() - 1; i >= 0; --i) {
        const qint64 time = msOfTimestamp(frames.at(i).timestamp);
        if (time >= 0) {
            m_lastTime = time;
            break;
        }
    }
    // Entries of one instant go together: a range that ends on parameter
    // sets stored as an entry of their own ends with the picture after them.
    for (int i = kept.isEmpty() ? int(frames.size()) : kept.last() + 1;
         ended && i < frames.size() && frames.at(i).timestamp == frames.at(i - 1).timestamp; ++i)
        kept.append(i);
    // Data past the last entry (of every stream): no entry says what it
    // holds, so it is not read. Within the range, it is told. Unless it
    // opens on a key frame, the last group of pictures goes on in it.
    const qint64 unindexed = parsed.truncated ? 0 : std::max<qint64>(0, parsed.dataSize - parsed.indexedEnd);
    const QString tailCodec = frames.isEmpty() ? decoder.codecName() : frames.last().codec;
    const bool groupGoesOn = unindexed > 0 && dataOpen
                             && KeyUnits::kindAt(tailCodec, data, parsed.indexedEnd, int(std::min<qint64>(unindexed, INT_MAX)))
                                    != KeyUnits::Kind::Key;
    if (unindexed > 0 && !ended) {
        Unindexed left;
        left.path = dataPath;
        left.after = frames.isEmpty() ? QString() : frames.last().timestamp.left(17);
        left.bytes = unindexed;
        {
            QMutexLocker locker(&m_unindexedMutex);
            m_unindexed.append(left);
        }
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + (left.after.isEmpty()
                          ? QStringLiteral("run :: data without a seek entry not read :: %1 bytes :: %2").arg(unindexed)
                          : QStringLiteral("run :: data past the last seek entry not read :: %1 bytes after %2 :: %3")
                                .arg(unindexed)
                                .arg(left.after))
                         .arg(dataPath));
    }
    // Entries lost at the end of a damaged file would leave a hole in the range.
    const bool lostInRange = parsed.truncated && started && !ended;
    if (kept.isEmpty()) {
        if (lostInRange) {
            fail(QStringLiteral("seek file points past its data :: ") + seekPath);
            return Step::Failed;
        }
        // The stream goes on in data that is not read: what the decoder
        // holds is handed out, and it starts again at a key frame.
        if (unindexed > 0 && started && !ended && decoder.isOpen())
            return drainDecoder(decoder, groupGoesOn);
        return Step::Ok;
    }

    if (!dataOpen) {
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
    auto isKey = [&](int index) { return std::binary_search(keys.begin(), keys.end(), index); };
    // Opens the decoder for the entry's codec when it is not; true when it
    // was opened now.
    auto ensureDecoder = [&](const ZuFrame &entry, bool *opened) {
        *opened = false;
        const QString codec = VideoDecoder::normalizedCodecName(entry.codec);
        if (decoder.isOpen() && decoder.codecName() == codec && !codec.isEmpty())
            return true;
        m_decoderLive = false;
        m_depthLearned = false;
        m_parameters.clear();
        m_lastUnit.clear();
        *opened = decoder.open(entry.codec);
        return *opened;
    };

    // A range that opens on a non-key frame: decode from the key frame before
    // it so that its first pictures are whole; the pictures of its group's
    // units before the range keep their places. A group that opens on a key
    // frame from which not every later picture decodes (an open group of
    // pictures: pictures stored after the key frame but shown before it
    // refer to the group before) is reached from the group before, in the
    // file before when the group is the file's first.
    const int first = kept.first();
    if (!wasStarted) {
        const int groupKey = keyAtOrBefore(keys, first);
        int startKey = groupKey;
        bool ledIn = false;
        if ((groupKey < 0 || (groupKey == 0 && !ZuStreamUnits::startsClean(frames, 0, data)))
            && leadInFromPreviousFile(file, frames.first().codec, decoder)) {
            // Decoding goes on from the file before over this file's first units.
            ledIn = true;
            startKey = 0;
        } else if (groupKey > 0 && !ZuStreamUnits::startsClean(frames, groupKey, data)) {
            const int before = keyAtOrBefore(keys, groupKey - 1);
            if (before >= 0)
                startKey = before;
        }
        bool opened = false;
        if (!ledIn && startKey >= 0 && ensureDecoder(frames.at(startKey), &opened)) {
            decoder.flush();
            m_decoderLive = false;
            resetPlaces();
            m_parameters.clear();
            m_lastUnit.clear();
            learnReorderDepth(decoder, frames, startKey, keys, data);
        }
        if (startKey >= 0 && startKey < first && decoder.isOpen()) {
            QByteArray bytes;
            for (int i = startKey; i < first && !stopRequested(); ++i) {
                AVFrame *picture = nullptr;
                if (!readEntry(frames.at(i), bytes))
                    continue;
                // A reordering decoder hands these pictures out later, while
                // the range is decoded: their places are not shown.
                const int rc = decodeUnit(decoder, bytes, isKey(i), discarded(frames.at(i).timestamp), &picture);
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
        if (m_places.waiting() > 0 && decoder.isOpen()
            && decoder.codecName() != VideoDecoder::normalizedCodecName(entry.codec)) {
            if (drainDecoder(decoder) == Step::Stopped)
                return Step::Stopped;
        }
        bool opened = false;
        if (!ensureDecoder(entry, &opened)) {
            fail(QStringLiteral("no decoder for '%1' :: %2").arg(entry.codec.left(32), dataPath));
            return Step::Failed;
        }
        // At a key frame from which decoding starts afresh, the decoder can
        // learn how far B-frames reach without losing a picture of the range:
        // what it holds of the group before is whole and handed out first.
        if (!m_depthLearned && m_reorders && isKey(index)
            && (opened || m_places.waiting() == 0 || ZuStreamUnits::startsClean(frames, index, data))) {
            if (!opened && m_places.waiting() > 0 && drainDecoder(decoder) == Step::Stopped)
                return Step::Stopped;
            learnReorderDepth(decoder, frames, index, keys, data);
        }
        AVFrame *picture = nullptr;
        const bool idle = !m_decoderLive && m_places.waiting() == 0;
        const int rc = decodeUnit(decoder, bytes, isKey(index), Place{entry.timestamp, entry.stream_id, cameraName},
                                  &picture);
        if (rc == kNoPlace)
            continue;
        if (rc == AVERROR(EAGAIN) && idle && !m_lastUnitStartsGroup) {
            // Nothing to decode against yet: the stream has not reached its
            // first key frame. Counted and logged, not an error.
            withdrawLast();
            ++waitingForKey;
            continue;
        }
        if (rc == AVERROR(EAGAIN)) {
            // Taken in, its picture comes out later (a reordering stream).
            if (m_places.waiting() > kMaxPending) {
                fail(QStringLiteral("no picture from the decoder for %1 frames, up to %2 :: %3")
                         .arg(m_places.waiting()).arg(entry.timestamp.left(17)).arg(dataPath));
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
    if (waitingForKey > 0)
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: %1 frames before the first key frame not decodable :: %2").arg(waitingForKey).arg(dataPath));
    if (lostInRange) {
        fail(QStringLiteral("seek file points past its data :: ") + seekPath);
        return Step::Failed;
    }
    // Where the range ends, a stream with B-frames has not yet shown every
    // picture of the kept entries' places: the k-th picture shown from a
    // group goes with the group's k-th entry, and the last pictures shown
    // may come from units stored after the range's last entry, in this file
    // or the next. The rest of the group is decoded, its own places not
    // shown, so that the range ends with its own pictures.
    if (m_reorders && (ended || last)) {
        bool complete = true;
        const Step step = finishGroup(file, frames, keys, kept.last(), data, unindexed > 0, groupGoesOn, decoder,
                                      &complete);
        if (step != Step::Ok)
            return step;
        if (!complete)
            return drainDecoder(decoder, true);
    } else if (unindexed > 0 && !ended && !last) {
        // The next file does not go on from this one's last unit: what the
        // decoder holds is handed out, and it starts again at a key frame.
        return drainDecoder(decoder, groupGoesOn);
    }
    return Step::Ok;
}

ZuAudioVideoFileReader::Step ZuAudioVideoFileReader::finishGroup(const QFileInfo &file, const ZuFrameList &frames,
                                                                 const std::vector<int> &keys, int index, QFile &data,
                                                                 bool unindexedData, bool goesOnUnindexed,
                                                                 VideoDecoder &decoder, bool *complete)
{
    *complete = true;
    int fed = 0;
    // Feeds one unit of the group's end; false when the group cannot go on.
    const auto feed = [&](const ZuFrame &entry, QFile &from) {
        QByteArray bytes;
        if (entry.size <= 0 || !from.seek(entry.offset) || (bytes = from.read(entry.size)).size() != entry.size
            || VideoDecoder::normalizedCodecName(entry.codec) != decoder.codecName())
            return false;
        AVFrame *picture = nullptr;
        const int rc = decodeUnit(decoder, bytes, false, discarded(entry.timestamp), &picture);
        if (rc != 0 && rc != AVERROR(EAGAIN) && rc != kNoPlace)
            return false;
        if (rc == 0)
            deliverPicture(picture);
        ++fed;
        return true;
    };
    int i = index + 1;
    for (; i < frames.size() && fed < kMaxFinishingUnits && !std::binary_search(keys.begin(), keys.end(), i); ++i) {
        if (waitForRoom() == Step::Stopped)
            return Step::Stopped;
        if (!feed(frames.at(i), data))
            return Step::Ok;
    }
    if (i < frames.size() || fed >= kMaxFinishingUnits)
        return Step::Ok;
    if (unindexedData) {
        // Data that no entry reaches comes next, not the next file: the
        // group may go on in it.
        *complete = !goesOnUnindexed;
        return Step::Ok;
    }
    bool reachesKey = false;
    const ZuFrameList trail = trailEntries(file, m_streamId, &reachesKey);
    if (trail.isEmpty())
        return Step::Ok;
    QFile next(trail.first().file_path);
    if (!next.open(QIODevice::ReadOnly))
        return Step::Ok;
    logMessage(QStringLiteral("[INFO] ") + kLogPrefix
               + QStringLiteral("run :: the last group of pictures goes on in %1, decoded there to its end")
                     .arg(next.fileName()));
    for (int k = 0; k < trail.size() && fed < kMaxFinishingUnits; ++k) {
        if (waitForRoom() == Step::Stopped)
            return Step::Stopped;
        if (!feed(trail.at(k), next))
            break;
    }
    return Step::Ok;
}

void ZuAudioVideoFileReader::learnReorderDepth(VideoDecoder &decoder, const ZuFrameList &entries, int from,
                                               const std::vector<int> &keys, QFile &data)
{
    if (m_depthLearned || !m_reorders || !decoder.isOpen() || from < 0 || from >= entries.size())
        return;
    m_depthLearned = true;
    auto next = std::upper_bound(keys.begin(), keys.end(), from);
    const int end = std::min({next == keys.end() ? int(entries.size()) : *next, int(entries.size()),
                              from + kMaxLearningUnits});
    QByteArray parameters;
    bool first = true;
    for (int i = from; i < end && !stopRequested(); ++i) {
        const ZuFrame &e = entries.at(i);
        if (e.size <= 0 || !data.seek(e.offset))
            break;
        QByteArray bytes = data.read(e.size);
        if (bytes.size() != e.size)
            break;
        const auto *unit = reinterpret_cast<const uint8_t *>(bytes.constData());
        if (KeyUnits::holdsOnlyParameters(e.codec, unit, int(bytes.size()))) {
            KeyUnits::holdParameters(parameters, bytes);
            continue;
        }
        if (!parameters.isEmpty())
            bytes.prepend(parameters);
        parameters.clear();
        unit = reinterpret_cast<const uint8_t *>(bytes.constData());
        // Parameter sets that state the depth make the rest unneeded.
        if (first && VideoDecoder::statesReorderDepth(e.codec, unit, int(bytes.size())))
            return;
        first = false;
        AVFrame *picture = nullptr;
        decoder.decode(unit, int(bytes.size()), -1, &picture);
        av_frame_free(&picture);
    }
    decoder.flush();
}

namespace {
// The camera's data file of the same day that comes just before (or just
// after) `file`, in the day's segment folders (the file's folder is one of
// them); empty when none.
QString neighbourDataFile(const QFileInfo &file, bool after)
{
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
            const bool side = after ? other.time > own.time : other.time < own.time;
            const bool nearer = bestStart.isNull() || (after ? other.time <= bestStart : other.time >= bestStart);
            if (side && nearer) {
                bestStart = other.time;
                best = folder.absoluteFilePath(name);
            }
        }
    }
    return best;
}

// The entries of a video stream of the data file `path`, with its key
// entries; empty when the file or its seek file cannot be read.
ZuFrameList streamEntries(const QString &path, const QString &streamId, QFile &data, std::vector<int> *keys,
                          bool *unindexedEnd)
{
    const ZuSeekFile::Result parsed = ZuSeekFile::parse(ZuSeekFile::seekPathFor(path), path,
                                                        ZuAudioVideoFileReader::videoStream(streamId));
    const ZuFrameList &frames = parsed.frames;
    *unindexedEnd = parsed.truncated || parsed.dataSize > parsed.indexedEnd;
    data.setFileName(path);
    if (frames.isEmpty() || !data.open(QIODevice::ReadOnly))
        return {};
    *keys = ZuStreamUnits::keys(frames, data);
    return frames;
}
} // namespace

QString ZuAudioVideoFileReader::previousDataFile(const QFileInfo &file)
{
    return neighbourDataFile(file, false);
}

QString ZuAudioVideoFileReader::nextDataFile(const QFileInfo &file)
{
    return neighbourDataFile(file, true);
}

ZuFrameList ZuAudioVideoFileReader::leadInEntries(const QFileInfo &file, const QString &streamId, int *groupStart)
{
    *groupStart = -1;
    const QString previous = previousDataFile(file);
    if (previous.isEmpty())
        return {};
    QFile data;
    std::vector<int> keys;
    bool unindexedEnd = false;
    const ZuFrameList frames = streamEntries(previous, streamId, data, &keys, &unindexedEnd);
    // Units no entry reaches come between that file's last entry and this file.
    if (keys.empty() || unindexedEnd)
        return {};
    const int key = keys.back();
    int start = key;
    if (!ZuStreamUnits::startsClean(frames, key, data) && keys.size() > 1)
        start = keys[keys.size() - 2];
    *groupStart = key - start;
    return frames.mid(start);
}

ZuFrameList ZuAudioVideoFileReader::trailEntries(const QFileInfo &file, const QString &streamId, bool *reachesKey)
{
    *reachesKey = false;
    const QString next = nextDataFile(file);
    if (next.isEmpty())
        return {};
    QFile data;
    std::vector<int> keys;
    bool unindexedEnd = false;
    const ZuFrameList frames = streamEntries(next, streamId, data, &keys, &unindexedEnd);
    if (frames.isEmpty() || (!keys.empty() && keys.front() == 0))
        return {};
    ZuFrameList trail = frames.mid(0, keys.empty() ? frames.size() : keys.front());
    // Only the units that take places in this file's last group finish it:
    // past a lost or damaged key frame, the next file's units are another
    // group's, whose pictures would take this group's places.
    QFile own;
    std::vector<int> ownKeys;
    bool ownUnindexed = false;
    ZuFrameList group = streamEntries(file.absoluteFilePath(), streamId, own, &ownKeys, &ownUnindexed);
    if (ownKeys.empty()) {
        // The group starts in the file before.
        int key = -1;
        group = leadInEntries(file, streamId, &key) + group;
    } else {
        group = group.mid(ownKeys.back());
    }
    const int goesOn = ZuStreamUnits::continuing(group, trail);
    if (goesOn < trail.size()) {
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: the next file's units from %1 on are no part of the last group of pictures, "
                                    "not decoded with it :: %2")
                         .arg(trail.at(goesOn).timestamp.left(17), next));
        trail = trail.mid(0, goesOn);
    }
    *reachesKey = !keys.empty() && trail.size() == keys.front();
    return trail;
}

bool ZuAudioVideoFileReader::leadInFromPreviousFile(const QFileInfo &file, const QString &codec, VideoDecoder &decoder)
{
    int key = -1;
    const ZuFrameList frames = leadInEntries(file, m_streamId, &key);
    // Units of another codec lead into nothing of this file.
    const QString own = VideoDecoder::normalizedCodecName(codec);
    if (frames.isEmpty() || std::any_of(frames.cbegin(), frames.cend(), [&](const ZuFrame &f) {
            return VideoDecoder::normalizedCodecName(f.codec) != own;
        }))
        return false;
    QFile data(frames.first().file_path);
    if (!data.open(QIODevice::ReadOnly) || !decoder.open(frames.first().codec))
        return false;
    m_decoderLive = false;
    m_depthLearned = false;
    resetPlaces();
    m_parameters.clear();
    m_lastUnit.clear();
    logMessage(QStringLiteral("[INFO] ") + kLogPrefix
               + QStringLiteral("run :: the file starts inside a group of pictures, decoded from %1 of %2")
                     .arg(frames.first().timestamp.left(17), data.fileName()));
    const std::vector<int> keys = key > 0 ? std::vector<int>{0, key} : std::vector<int>{0};
    learnReorderDepth(decoder, frames, 0, keys, data);
    QByteArray bytes;
    for (int i = 0; i < frames.size() && !stopRequested(); ++i) {
        const ZuFrame &f = frames.at(i);
        if (!data.seek(f.offset))
            break;
        bytes = data.read(f.size);
        if (bytes.size() != f.size)
            break;
        AVFrame *picture = nullptr;
        // The groups of the file before only lead into this file's first
        // pictures (or into the group that goes on here): their places are
        // not shown.
        const int rc = decodeUnit(decoder, bytes, i == 0 || i == key, discarded(f.timestamp), &picture);
        if (rc == 0) {
            m_decoderLive = true;
            deliverPicture(picture);
        }
    }
    return true;
}

void ZuAudioVideoFileReader::pushPicture(AVFrame *picture, const Place &owner, bool damaged)
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
    if (damaged) {
        // Concealed by the decoder, or decoded from a damaged picture: kept, and told.
        ++m_damaged;
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: damaged picture :: %1 :: %2").arg(owner.timestamp.left(17), m_currentPath));
    }
    push(frame);
}

ZuAudioVideoFileReader::Place ZuAudioVideoFileReader::discarded(const QString &timestamp)
{
    Place place;
    place.timestamp = timestamp;
    place.discard = true;
    return place;
}

int ZuAudioVideoFileReader::decodeUnit(VideoDecoder &decoder, const QByteArray &bytes, bool startsGroup, Place unit,
                                       AVFrame **picture)
{
    *picture = nullptr;
    if (startsGroup) {
        ++m_group;
        m_groupKeyNext = true;
    }
    if (ZuStreamUnits::resent(m_lastUnitTime, m_lastUnit, unit.timestamp, bytes)) {
        // A re-sent frame: decoded twice it would take the place of the next
        // picture, or break the references of the pictures after it.
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: unit stored twice in a row, decoded once :: %1 :: %2")
                         .arg(unit.timestamp.left(17), m_currentPath));
        return kNoPlace;
    }
    m_lastUnit = bytes;
    m_lastUnitTime = unit.timestamp;
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    if (KeyUnits::holdsOnlyParameters(decoder.codecName(), data, int(bytes.size()))) {
        // Parameter sets stored as an entry of their own go in with the
        // picture after them.
        KeyUnits::holdParameters(m_parameters, bytes);
        return kNoPlace;
    }
    const QByteArray withParameters = m_parameters.isEmpty() ? bytes : m_parameters + bytes;
    m_parameters.clear();
    m_lastUnitStartsGroup = m_groupKeyNext;
    m_groupKeyNext = false;
    unit.seq = m_nextSeq++;
    unit.group = m_group;
    const auto *in = reinterpret_cast<const uint8_t *>(withParameters.constData());
    if (m_orderCodec != decoder.codecName()) {
        m_orderCodec = decoder.codecName();
        m_order.open(m_orderCodec);
        m_places.forgetStep();
    }
    const int64_t order = m_reorders ? m_order.orderOf(in, int(withParameters.size())) : PictureOrder::kUnknown;
    m_groupPlaces[unit.group].push_back(unit);
    m_places.unitIn(unit.seq, unit.group, order == PictureOrder::kUnknown ? ZuPicturePlaces::kUnknownOrder : order);
    const int rc = decoder.decode(in, int(withParameters.size()), unit.seq, picture);
    if (rc != 0 && rc != AVERROR(EAGAIN)) {
        // Its place stays empty; the pictures after it in its group may
        // refer to it.
        m_places.refused(unit.seq);
        countPlaces();
    }
    return rc;
}

void ZuAudioVideoFileReader::withdrawLast()
{
    auto group = m_groupPlaces.find(m_group);
    if (group == m_groupPlaces.end() || group->second.empty())
        return;
    m_places.withdraw(group->second.back().seq, m_group);
    group->second.pop_back();
}

void ZuAudioVideoFileReader::resetPlaces()
{
    m_places.clear();
    m_groupPlaces.clear();
    m_order.reset();
}

void ZuAudioVideoFileReader::countPlaces(const char *why)
{
    std::deque<Place> lost;
    for (const ZuPicturePlaces::Empty &e : m_places.takeEmpty()) {
        const auto group = m_groupPlaces.find(e.group);
        if (group != m_groupPlaces.end() && e.place >= 0 && size_t(e.place) < group->second.size())
            lost.push_back(group->second[size_t(e.place)]);
    }
    countLost(lost, why);
    for (const ZuPicturePlaces::Empty &e : m_places.takeDamagedAfter()) {
        const auto group = m_groupPlaces.find(e.group);
        if (group == m_groupPlaces.end() || e.place < 0 || size_t(e.place) >= group->second.size())
            continue;
        const Place &p = group->second[size_t(e.place)];
        if (p.discard)
            continue;
        ++m_damaged;
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix
                   + QStringLiteral("run :: damaged picture (its group holds a damaged one) :: %1 :: %2")
                         .arg(p.timestamp.left(17), m_currentPath));
    }
}

void ZuAudioVideoFileReader::countLost(const std::deque<Place> &places, const char *why)
{
    int lost = 0;
    QString firstTime;
    for (const Place &p : places) {
        if (p.discard)
            continue;
        if (lost++ == 0)
            firstTime = p.timestamp.left(17);
    }
    if (lost == 0)
        return;
    m_damaged += lost;
    logMessage(QStringLiteral("[WARN] ") + kLogPrefix
               + QStringLiteral("run :: %1 places from %2 without a picture (%3) :: %4")
                     .arg(lost)
                     .arg(firstTime, QLatin1String(why), m_currentPath));
}

void ZuAudioVideoFileReader::deliverPicture(AVFrame *picture)
{
    const qint64 tag = picture->pts != AV_NOPTS_VALUE ? picture->pts : picture->best_effort_timestamp;
    const bool concealed = (picture->flags & AV_FRAME_FLAG_CORRUPT) || picture->decode_error_flags;
    const ZuPicturePlaces::Placed placed = tag == AV_NOPTS_VALUE ? ZuPicturePlaces::Placed()
                                                                 : m_places.picture(tag, concealed);
    countPlaces();
    // The groups before are closed: their places are all known.
    if (placed.group >= 0)
        m_groupPlaces.erase(m_groupPlaces.begin(), m_groupPlaces.lower_bound(placed.group));
    const auto group = m_groupPlaces.find(placed.group);
    if (placed.place < 0 || group == m_groupPlaces.end() || size_t(placed.place) >= group->second.size()) {
        // Not a unit of the range's decoding, or more pictures than places.
        av_frame_free(&picture);
        return;
    }
    const Place &place = group->second[size_t(placed.place)];
    if (place.discard)
        av_frame_free(&picture);
    else
        pushPicture(picture, place, placed.damaged);
}

ZuAudioVideoFileReader::Step ZuAudioVideoFileReader::drainDecoder(VideoDecoder &decoder, bool incomplete)
{
    std::vector<AVFrame *> held;
    for (;;) {
        AVFrame *picture = nullptr;
        if (decoder.drain(&picture) != 0 || !picture)
            break;
        held.push_back(picture);
    }
    // The last pictures a reordering decoder held may be shown after
    // pictures of units that were not fed: their places are not known.
    const size_t withheld = incomplete && m_reorders ? std::min(held.size(), size_t(std::max(1, decoder.reorderDepth())))
                                                     : 0;
    Step step = Step::Ok;
    for (size_t i = 0; i < held.size(); ++i) {
        if (i + withheld >= held.size() || step == Step::Stopped || (step = waitForRoom()) == Step::Stopped) {
            av_frame_free(&held[i]);
            continue;
        }
        deliverPicture(held[i]);
    }
    if (step == Step::Stopped)
        return step;
    m_places.closeBefore(INT64_MAX);
    countPlaces(incomplete ? "their pictures depend on data that is not read" : "the decoder gave none");
    resetPlaces();
    m_parameters.clear();
    m_lastUnit.clear();
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
    resetPlaces();
    m_nextSeq = 0;
    m_group = 0;
    m_lastTime = -1;
    m_reorders = false;
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
        step = readFile(m_files.at(k), parsed, nextTime, k + 1 == m_files.size(), decoder, started, ended);
        if (step != Step::Ok)
            break;
    }
    if (step == Step::Ok && !stopRequested() && decoder.isOpen())
        drainDecoder(decoder);
    resetPlaces();
    logMessage(QStringLiteral("[INFO] ") + kLogPrefix + QStringLiteral("run :: end, %1 frames").arg(m_queued.load()));
}
