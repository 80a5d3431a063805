#include "zuaudiovideofilereader.h"

#include "seekfile.h"
#include "streamframe.h"
#include "videodecoder.h"
#include "zulog.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

namespace {
const QString kLogPrefix = QStringLiteral("ZuAudioVideo file reader :: ");

// Seek-file times are the recorder's wall-clock times and carry no zone.
// They are read as zone-less (UTC) times: read as the viewer's local time, a
// time inside the viewer's own daylight-saving gap would be no time at all.
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

std::vector<qint64> timesOf(const ZuFrameList &frames)
{
    std::vector<qint64> t(size_t(frames.size()), -1);
    for (int i = 0; i < frames.size(); ++i)
        t[size_t(i)] = msOfTimestamp(frames.at(i).timestamp);
    return t;
}

// A stream with B-frames stores each picture in decoding order, stamped
// with the time it is shown: a picture comes a few entries before the ones
// shown ahead of it (H.264 holds back at most 16).
constexpr int kMaxReorder = 16;

// The order in which the entries' pictures are shown. Only a file whose
// times go back again and again is a reordering stream; a time out of order
// now and then is a glitched stamp, and such an entry keeps its place.
std::vector<int> showOrder(const std::vector<qint64> &t)
{
    const int n = int(t.size());
    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    int descents = 0;
    qint64 previous = -1;
    for (const qint64 time : t) {
        if (time < 0)
            continue;
        if (previous >= 0 && time < previous)
            ++descents;
        previous = time;
    }
    if (descents < 3 || descents * 8 < n)
        return order;

    // As a decoder shows them: the earliest of the last few entries. A time
    // that is unreadable, or far outside those of the entries stored around
    // it (a glitched stamp), says nothing of where its picture is shown: the
    // entry goes with the one stored before it. One held back far longer
    // than reordering ever does goes out anyway, so that it stays near where
    // it was recorded.
    std::vector<qint64> key(static_cast<size_t>(n));
    std::vector<qint64> around;
    qint64 last = std::numeric_limits<qint64>::min();
    for (int i = 0; i < n; ++i) {
        const qint64 time = t[size_t(i)];
        bool far = time < 0;
        around.clear();
        for (int j = std::max(0, i - kMaxReorder); !far && j <= std::min(n - 1, i + kMaxReorder); ++j) {
            if (j != i && t[size_t(j)] >= 0)
                around.push_back(t[size_t(j)]);
        }
        if (around.size() >= 4) {
            // Quartiles, so that another glitch nearby does not widen the
            // span; a second at least, for times written to the second.
            std::nth_element(around.begin(), around.begin() + around.size() / 4, around.end());
            const qint64 low = around[around.size() / 4];
            std::nth_element(around.begin(), around.begin() + around.size() * 3 / 4, around.end());
            const qint64 high = around[around.size() * 3 / 4];
            const qint64 margin = 2 * std::max<qint64>(high - low, 1000);
            far = time > high + margin || time < low - margin;
        }
        if (!far)
            last = time;
        key[size_t(i)] = last;
    }
    const auto earlier = [&key](int a, int b) {
        return key[size_t(a)] < key[size_t(b)] || (key[size_t(a)] == key[size_t(b)] && a < b);
    };
    order.clear();
    std::vector<int> held; // in decoding order
    for (int i = 0; i <= n; ++i) {
        if (i < n)
            held.push_back(i);
        while (!held.empty() && (i == n || int(held.size()) > kMaxReorder)) {
            const auto shown = i < n && i - held.front() >= 2 * kMaxReorder
                                   ? held.begin()
                                   : std::min_element(held.begin(), held.end(), earlier);
            order.push_back(*shown);
            held.erase(shown);
            if (i < n)
                break;
        }
    }
    return order;
}

// Per entry of `t` (times in the order shown): whether its time is
// unreadable, or out of order with both its neighbours while they agree with
// each other. `before` and `after` are the neighbouring files' times next to
// this one (-1 when unknown).
std::vector<bool> oddTimes(const std::vector<qint64> &t, qint64 before, qint64 after)
{
    const int n = int(t.size());
    const auto at = [&](int i) {
        if (i >= 0 && i < n)
            return t[size_t(i)];
        return i == -1 ? before : i == n ? after : qint64(-1);
    };
    std::vector<bool> out(size_t(n), false);
    for (int i = 0; i < n; ++i) {
        const qint64 time = t[size_t(i)];
        const qint64 prev = at(i - 1);
        const qint64 next = at(i + 1);
        bool odd = time < 0;
        if (!odd && prev >= 0 && next >= 0) {
            // Its neighbours agree with each other, not with it. A clock set
            // back or forward moves every later entry, and agrees with its
            // neighbours on one side.
            odd = (time < prev || time > next) && prev <= next;
        } else if (!odd && next >= 0) {
            const qint64 afterNext = at(i + 2);
            odd = time > next && afterNext >= 0 && next <= afterNext;
        } else if (!odd && prev >= 0) {
            const qint64 beforePrev = at(i - 2);
            odd = time < prev && beforePrev >= 0 && beforePrev <= prev;
        }
        out[size_t(i)] = odd;
    }
    return out;
}

template <typename T>
std::vector<T> inOrder(const std::vector<T> &values, const std::vector<int> &order)
{
    std::vector<T> out;
    out.reserve(order.size());
    for (const int i : order)
        out.push_back(values[size_t(i)]);
    return out;
}
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

std::vector<bool> ZuAudioVideoFileReader::outOfOrder(const ZuFrameList &frames)
{
    const std::vector<qint64> t = timesOf(frames);
    const std::vector<int> order = showOrder(t);
    const std::vector<bool> shownOdd = oddTimes(inOrder(t, order), -1, -1);
    std::vector<bool> odd(t.size(), false);
    for (size_t p = 0; p < order.size(); ++p)
        odd[size_t(order[p])] = shownOdd[p];
    return odd;
}

QList<int> ZuAudioVideoFileReader::selectRange(const ZuFrameList &frames, const QString &begin, const QString &end,
                                               bool &started, bool &ended, const QDate &day, qint64 before,
                                               qint64 after, qint64 *lastInOrder)
{
    QList<int> kept;
    const std::vector<qint64> t = timesOf(frames);
    // The rule follows the pictures in the order they are shown, which is
    // the order of the entries unless the stream reorders its pictures.
    const std::vector<int> order = showOrder(t);
    const std::vector<qint64> shownTimes = inOrder(t, order);
    const std::vector<bool> odd = oddTimes(shownTimes, before, after);
    if (lastInOrder) {
        for (size_t p = order.size(); p-- > 0;) {
            if (!odd[p]) {
                *lastInOrder = shownTimes[p];
                break;
            }
        }
    }
    if (begin.isEmpty() || end.isEmpty()) {
        started = true;
        for (int i = 0; i < frames.size(); ++i)
            kept.append(i);
        return kept;
    }
    // The range lies on the recording's day: that of the data file, else
    // that of its first entry in order. Entries are compared with it by
    // their full date and time, so that an entry of another day can neither
    // open nor close it.
    QDate rangeDay = day;
    for (size_t p = 0; p < order.size() && !rangeDay.isValid(); ++p) {
        if (!odd[p])
            rangeDay = QDate::fromString(frames.at(order[p]).timestamp.left(8), QStringLiteral("yyyyMMdd"));
    }
    const QTime beginTime = QTime::fromString(begin, QStringLiteral("HHmmss"));
    const QTime endTime = QTime::fromString(end, QStringLiteral("HHmmss"));
    if (!rangeDay.isValid() || !beginTime.isValid() || !endTime.isValid())
        return kept;
    const qint64 from = QDateTime(rangeDay, beginTime, Qt::UTC).toMSecsSinceEpoch();
    const qint64 to = QDateTime(rangeDay, endTime, Qt::UTC).toMSecsSinceEpoch();

    for (size_t p = 0; p < order.size() && !ended; ++p) {
        const int i = order[p];
        // A glitched time says nothing about where the range is: the frame
        // belongs to it when its neighbours do.
        if (odd[p]) {
            if (started)
                kept.append(i);
            continue;
        }
        const qint64 time = shownTimes[p];
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
    // Decoded in the order they are stored.
    std::sort(kept.begin(), kept.end());
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
    // In the order the pictures are shown (a stream with B-frames stores
    // them out of time order), a glitched stamp taken as halfway between its
    // neighbours: its picture still took its place among them.
    const std::vector<qint64> t = timesOf(frames);
    std::vector<qint64> shown = inOrder(t, showOrder(t));
    const std::vector<bool> odd = oddTimes(shown, -1, -1);
    for (size_t i = 1; i + 1 < shown.size(); ++i) {
        if (odd[i] && !odd[i - 1] && !odd[i + 1] && shown[i - 1] >= 0 && shown[i + 1] >= 0)
            shown[i] = (shown[i - 1] + shown[i + 1]) / 2;
    }
    std::vector<qint64> steps;
    std::vector<qint64> positive;
    steps.reserve(size_t(frames.size()));
    qint64 previous = shown.front();
    for (size_t i = 1; i < shown.size(); ++i) {
        const qint64 current = shown[i];
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
    if (!parsed.frames.isEmpty())
        m_fps.store(entriesFps(parsed.frames));

    const bool wasStarted = started;
    const QDate fileDay = QDate::fromString(file.fileName().section(QLatin1Char('_'), 1, 1), QStringLiteral("yyyyMMdd"));
    // The neighbouring files' times tell a glitched first or last entry.
    qint64 lastInOrder = -1;
    const QList<int> kept = selectRange(parsed.frames, m_begin, m_end, started, ended, fileDay, m_lastInOrder, nextTime,
                                        &lastInOrder);
    m_lastInOrder = lastInOrder;
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
    bool ok = false;
    const int cameraId = file.fileName().section(QLatin1Char('_'), 0, 0).toInt(&ok);
    const QString cameraName = ok ? m_cameraNames.value(cameraId, QString::number(cameraId)) : QString();

    auto readEntry = [&](const ZuFrame &entry, QByteArray &bytes) {
        if (entry.size <= 0 || entry.offset < 0 || !data.seek(entry.offset))
            return false;
        bytes = data.read(entry.size);
        return bytes.size() == entry.size;
    };
    auto ensureDecoder = [&](const ZuFrame &entry) {
        const QString codec = VideoDecoder::normalizedCodecName(entry.codec);
        if (decoder.isOpen() && decoder.codecName() == codec && !codec.isEmpty())
            return true;
        m_decoderLive = false;
        return decoder.open(entry.codec);
    };

    // A range that opens on a non-key frame: decode from the key frame before
    // it so that its first pictures are whole.
    const int first = kept.first();
    if (!wasStarted && !parsed.frames.at(first).isKeyframe()) {
        int key = first - 1;
        while (key >= 0 && !parsed.frames.at(key).isKeyframe())
            --key;
        if (key >= 0 && ensureDecoder(parsed.frames.at(key))) {
            decoder.flush();
            m_decoderLive = false;
            m_pending.clear();
            QByteArray bytes;
            for (int i = key; i < first && !stopRequested(); ++i) {
                AVFrame *picture = nullptr;
                if (!readEntry(parsed.frames.at(i), bytes))
                    continue;
                const qint64 tag = m_nextTag++;
                const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()),
                                              tag, &picture);
                // A reordering decoder hands these pictures out later, while
                // the range is decoded: they are dropped then.
                if (rc == 0 || rc == AVERROR(EAGAIN))
                    m_pending.emplace(tag, Pending{QString(), QString(), QString(), true});
                if (rc == 0) {
                    m_decoderLive = true;
                    deliverPicture(picture);
                } else {
                    av_frame_free(&picture);
                }
            }
        }
    }

    // Every entry from the first kept to the last is decoded, in the order
    // stored; those of a reordering stream that the range does not keep are
    // decoded for their pictures' sake only.
    std::vector<bool> shown(size_t(parsed.frames.size()), false);
    for (const int index : kept)
        shown[size_t(index)] = true;
    int waitingForKey = 0;
    QByteArray bytes;
    for (int index = first; index <= kept.last(); ++index) {
        if (waitForRoom() == Step::Stopped)
            return Step::Stopped;
        const ZuFrame &entry = parsed.frames.at(index);
        const bool discard = !shown[size_t(index)];
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
        const qint64 tag = m_nextTag++;
        const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()), tag,
                                      &picture);
        if (rc == AVERROR(EAGAIN) && !m_decoderLive && m_pending.empty() && !entry.isKeyframe()) {
            // Nothing to decode against yet: the stream has not reached its
            // first key frame. Counted and logged, not an error.
            ++waitingForKey;
            continue;
        }
        if (rc == AVERROR(EAGAIN)) {
            // Taken in, its picture comes out later (a reordering stream).
            m_pending.emplace(tag, Pending{entry.timestamp, entry.stream_id, cameraName, discard});
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
        // The picture that comes out may be another unit's (a reordering
        // stream): each carries its own unit's tag.
        m_pending.emplace(tag, Pending{entry.timestamp, entry.stream_id, cameraName, discard});
        deliverPicture(picture);
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
    push(frame);
}

void ZuAudioVideoFileReader::deliverPicture(AVFrame *picture)
{
    const int64_t tag = picture->pts != AV_NOPTS_VALUE ? picture->pts : picture->best_effort_timestamp;
    const auto it = m_pending.find(tag);
    if (it == m_pending.end()) {
        // Not a unit that is waiting: no entry to show it with.
        av_frame_free(&picture);
        return;
    }
    const Pending owner = it->second;
    m_pending.erase(it);
    // A decoder never holds a picture back this long: the units before gave
    // none (damaged, or skipped where decoding started).
    int lost = 0;
    while (!m_pending.empty() && m_pending.begin()->first < tag - 2 * kMaxReorder) {
        lost += m_pending.begin()->second.discard ? 0 : 1;
        m_pending.erase(m_pending.begin());
    }
    if (lost > 0)
        logMessage(QStringLiteral("[WARN] ") + kLogPrefix + QStringLiteral("run :: %1 frames gave no picture").arg(lost));
    if (owner.discard)
        av_frame_free(&picture);
    else
        pushPicture(picture, owner);
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
    for (const auto &waiting : m_pending)
        lost += waiting.second.discard ? 0 : 1;
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
    m_lastInOrder = -1;
    bool started = false;
    bool ended = false;
    Step step = Step::Ok;
    // Each seek file is parsed one file ahead: the first time of the next
    // file tells whether the last entry of this one is out of order.
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
