#include "zustreamreadandcontrol.h"

#include "exportfolder.h"
#include "keyunits.h"
#include "seekfile.h"
#include "streamframe.h"
#include "streamunits.h"
#include "videodecoder.h"
#include "zuaudiovideofilereader.h"
#include "zulog.h"
#include "zuscaler.h"
#include "zupictureworker.h"
#include "zuslotdecoder.h"

#include <QCoreApplication>
#include <QDate>
#include <QFileInfo>
#include <QMetaMethod>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>
#include <utility>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace {
const QLatin1String kName("ZuStreamReadAndControl");
constexpr qint64 kDayMs = 86400000;
// How far a step or an open looks for a picture it can decode before it
// gives up (corrupt frames, frames before the first key frame).
constexpr int kMaxSkippedFrames = 600;
// While playing, the pictures shown are at least this far apart on the
// wall clock: enough for a smooth picture at any rate, and what is left of
// the recorded frames at high rates is decoded but not converted.
constexpr int kShowIntervalMs = 15;

void logLine(const char *level, const char *function, const QString &detail = QString())
{
    QString line = QLatin1String(level) + kName + QLatin1String(" :: ") + QLatin1String(function);
    if (!detail.isEmpty())
        line += QLatin1String(" :: ") + detail;
    logMessage(line);
}

const qreal kRates[] = {-8, -4, -2, -1, 1, 2, 4, 8};
} // namespace

struct ZuStreamReadAndControl::Entries : ZuPlayFile {
    QString streamId;
    std::vector<qint64> times; // ms on a day-based scale, never decreasing (for searching)
    // The same for pacing: where the recorder's clock went back, the frames
    // after the step keep their own spacing instead of all coming due at once.
    std::vector<qint64> play;
    double fps = -1.0;
    bool ok = false;
    QString error;
};

struct ZuStreamReadAndControl::Opening {
    EntriesPtr entries;
    std::vector<std::pair<int, std::shared_ptr<AVFrame>>> pictures; // slot, picture
    std::unique_ptr<ZuSlotDecoder> decoder;                          // null when it cannot decode
};

ZuStreamReadAndControl::ZuStreamReadAndControl(QObject *parent)
    : QThread(parent)
    , m_worker(std::make_unique<ZuPictureWorker>())
{
    // Until a receiver of set_display_frame comes, pictures are made at
    // their own size only when no view asks for them scaled.
    m_worker->setFullPictures(false);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ZuStreamReadAndControl::onTick);
    // A neighbour parsed while paused goes to the worker at once, so that
    // it prepares the first step into it.
    for (QFutureWatcher<EntriesPtr> &watcher : m_parsed)
        connect(&watcher, &QFutureWatcherBase::finished, this, &ZuStreamReadAndControl::offerNeighbours);
}

ZuStreamReadAndControl::~ZuStreamReadAndControl()
{
    m_timer.stop();
    // The prefetch tasks only touch their own data, but they must not
    // outlive the engine that may still ask for their results.
    for (Neighbour &n : m_neighbours)
        n.parsing.waitForFinished();
    m_opening.waitForFinished();
    // m_worker's destructor stops its thread and joins it.
}

// ---------------------------------------------------------------- entries

qint64 ZuStreamReadAndControl::parseTimeMs(const QString &t)
{
    if (t.size() < 14)
        return -1;
    int v[7] = {};
    const int widths[7] = {4, 2, 2, 2, 2, 2, 3};
    int pos = 0;
    const int fields = t.size() >= 17 ? 7 : 6;
    for (int f = 0; f < fields; ++f) {
        int n = 0;
        for (int i = 0; i < widths[f]; ++i) {
            const QChar c = t.at(pos++);
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return -1;
            n = n * 10 + (c.unicode() - '0');
        }
        v[f] = n;
    }
    const QDate date(v[0], v[1], v[2]);
    if (!date.isValid() || v[3] > 23 || v[4] > 59 || v[5] > 59)
        return -1;
    return date.toJulianDay() * kDayMs + ((v[3] * 60 + v[4]) * 60 + v[5]) * 1000LL + v[6];
}

QString ZuStreamReadAndControl::normalizeStreamId(const QString &id)
{
    QString s = id.trimmed();
    if (s.startsWith(QLatin1String("video"), Qt::CaseInsensitive))
        s = s.mid(5);
    if (s.startsWith(QLatin1String("Video "), Qt::CaseInsensitive))
        s = s.mid(6);
    return s.trimmed();
}

ZuStreamReadAndControl::EntriesPtr ZuStreamReadAndControl::loadEntries(const QString &dataPath,
                                                                       const QString &streamId)
{
    auto e = std::make_shared<Entries>();
    e->path = dataPath;
    e->streamId = normalizeStreamId(streamId);
    const QString seekPath = ZuSeekFile::seekPathFor(dataPath);
    if (seekPath.isEmpty() || !dataPath.endsWith(QLatin1String(".zuvideo"), Qt::CaseInsensitive)) {
        e->error = QStringLiteral("not a video file ") + dataPath;
        return e;
    }
    if (!QFileInfo::exists(dataPath)) {
        e->error = QStringLiteral("missing data file ") + dataPath;
        return e;
    }
    ZuSeekFile::Result r = ZuSeekFile::parse(seekPath, dataPath, e->streamId);
    if (!r.ok) {
        e->error = QStringLiteral("cannot read seek file ") + seekPath;
        return e;
    }
    if (r.truncated)
        logLine("[WARN] ", "read seek file", QStringLiteral("data file shorter than its seek file ") + dataPath);
    ZuFrameList frames;
    frames.reserve(r.frames.size());
    for (ZuFrame &f : r.frames) {
        if (f.type != QLatin1String("video") || f.size <= 0)
            continue;
        if (e->streamId.isEmpty())
            e->streamId = f.stream_id; // the first video stream of the file
        if (f.stream_id == e->streamId)
            frames.append(std::move(f));
    }
    e->frames = std::move(frames);
    const int n = int(e->frames.size());
    QFile data(dataPath);
    if (n > 0 && data.open(QIODevice::ReadOnly)) {
        // Key frames as the entries flag them when the units agree, else as
        // the units tell.
        bool flagsIgnored = false;
        e->keys = ZuStreamUnits::keys(e->frames, data, &flagsIgnored);
        const bool flagged = std::any_of(e->frames.cbegin(), e->frames.cend(), [](const ZuFrame &f) { return f.isKeyframe(); });
        if (!flagged)
            logLine("[WARN] ", "read seek file",
                    QStringLiteral("no key frame flagged, %1 found in the data :: ").arg(e->keys.size()) + dataPath);
        else if (flagsIgnored)
            logLine("[WARN] ", "read seek file",
                    QStringLiteral("key frame flags that the data contradicts, %1 key frames found in the data :: ")
                            .arg(e->keys.size())
                        + dataPath);
        e->edges.reorders = ZuStreamUnits::reorders(e->frames, data, e->keys);
    }
    const bool unindexed = !r.truncated && r.dataSize > r.indexedEnd;
    if (unindexed) {
        logLine("[WARN] ", "read seek file", QStringLiteral("data past the last seek entry not read :: ") + dataPath);
        // Unless that data opens on a key frame, the last group of pictures
        // goes on in it.
        e->edges.unindexedEnd = n > 0 && data.isOpen()
                                && KeyUnits::kindAt(e->frames.last().codec, data, r.indexedEnd,
                                                    int(std::min<qint64>(r.dataSize - r.indexedEnd, INT_MAX)))
                                       != KeyUnits::Kind::Key;
    }
    const bool startsInGroup = n > 0 && (e->keys.empty() || e->keys.front() > 0);
    if (startsInGroup || (n > 0 && !ZuStreamUnits::startsClean(e->frames, 0, data))) {
        // The file starts inside a group of pictures, or on a key frame
        // whose first pictures refer to the group before: its first
        // pictures are reached from the last key frame of the file before.
        int groupStart = -1;
        ZuFrameList leadIn = ZuAudioVideoFileReader::leadInEntries(QFileInfo(dataPath), e->streamId, &groupStart);
        if (!leadIn.isEmpty() && VideoDecoder::normalizedCodecName(leadIn.first().codec)
                                     == VideoDecoder::normalizedCodecName(e->frames.first().codec)) {
            e->edges.leadIn = std::move(leadIn);
            e->edges.leadInKey = groupStart;
            e->edges.continuesGroup = startsInGroup;
            if (startsInGroup)
                e->keys.insert(e->keys.begin(), 0);
            logLine("[INFO] ", "read seek file",
                    QStringLiteral("starts inside a group of pictures, decoded from the file before :: ") + dataPath);
        }
    }
    if (n > 0 && e->edges.reorders && !unindexed) {
        // Pictures of the last group may be shown after pictures stored at
        // the start of the next file.
        bool reachesKey = false;
        ZuFrameList trail = ZuAudioVideoFileReader::trailEntries(QFileInfo(dataPath), e->streamId, &reachesKey);
        if (!trail.isEmpty() && VideoDecoder::normalizedCodecName(trail.first().codec)
                                    == VideoDecoder::normalizedCodecName(e->frames.first().codec))
            e->edges.trail = std::move(trail);
    }
    if (ZuSeekFile::inDisplayOrder(e->frames)) {
        if (e->edges.reorders) {
            // Position i is shown as the i-th picture: it takes that
            // picture's own time.
            logLine("[WARN] ", "read seek file",
                    QStringLiteral("entries not in time order (pictures' own times in display order) :: ") + dataPath);
            ZuSeekFile::sortTimesWithinGroups(e->frames, e->keys);
        } else {
            // Pictures shown in their stored order: a step back is the
            // recorder's clock, and each picture keeps its own time.
            logLine("[WARN] ", "read seek file",
                    QStringLiteral("the recorder's clock went back, pictures keep their own times :: ") + dataPath);
        }
    }
    e->times.resize(size_t(n));
    std::vector<qint64> own(static_cast<size_t>(n));
    qint64 last = -1;
    for (int i = 0; i < n; ++i) {
        qint64 t = own[size_t(i)] = parseTimeMs(e->frames.at(i).timestamp);
        // Unreadable or backwards times keep the order searchable.
        if (t < 0 || t < last)
            t = last < 0 ? 0 : last;
        e->times[size_t(i)] = last = t;
    }
    // A file may open with unreadable times; give them the first good one.
    int firstGood = -1;
    for (int i = 0; i < n && firstGood < 0; ++i) {
        if (e->times[size_t(i)] > 0)
            firstGood = i;
    }
    for (int i = 0; i < firstGood; ++i)
        e->times[size_t(i)] = e->times[size_t(firstGood)];
    e->play.resize(size_t(n));
    qint64 step = 0; // the last usual interval, for the frame after a step back
    for (int i = 0; i < n; ++i) {
        if (i == 0) {
            e->play[0] = e->times[0];
            continue;
        }
        const size_t k = size_t(i);
        qint64 d = (own[k] >= 0 && own[k - 1] >= 0) ? own[k] - own[k - 1] : e->times[k] - e->times[k - 1];
        if (d < 0)
            d = step;
        else if (d > 0 && d <= kMaxGapMs)
            step = d;
        e->play[k] = e->play[k - 1] + d;
    }
    if (n >= 2) {
        const qint64 span = e->times.back() - e->times.front();
        if (span > 0)
            e->fps = (n - 1) * 1000.0 / double(span);
    }
    e->ok = true;
    if (n == 0)
        e->error = QStringLiteral("no frame of stream %1 in ").arg(e->streamId) + seekPath;
    return e;
}

QList<ZuFrame> ZuStreamReadAndControl::read_seek_file(const QStringList &seekFiles, const QString &streamId)
{
    QList<ZuFrame> all;
    for (const QString &seek : seekFiles) {
        const QString data = ZuSeekFile::dataPathFor(seek);
        if (data.isEmpty())
            continue;
        EntriesPtr e = loadEntries(data, streamId);
        if (!e->ok) {
            logLine("[WARN] ", "read seek file", e->error);
            continue;
        }
        all.append(e->frames);
    }
    return all;
}

void ZuStreamReadAndControl::set_playlist(const QStringList &dataFiles)
{
    m_playlist.clear();
    m_playlistStart.clear();
    for (const QString &f : dataFiles) {
        const QString path = QFileInfo(f).absoluteFilePath();
        int cam = -1;
        QDate date;
        QTime time;
        qint64 start = -1;
        if (ZuExportFolder::parseRecordingName(path, &cam, &date, &time))
            start = date.toJulianDay() * kDayMs + time.msecsSinceStartOfDay();
        m_playlist.append(path);
        m_playlistStart.push_back(start);
    }
}

QString ZuStreamReadAndControl::neighbourPath(const QString &path, bool forward) const
{
    const int i = m_playlist.indexOf(path);
    if (i < 0)
        return QString();
    const int j = forward ? i + 1 : i - 1;
    return (j >= 0 && j < m_playlist.size()) ? m_playlist.at(j) : QString();
}

void ZuStreamReadAndControl::triggerPrefetch(const QString &direction)
{
    const bool forward = !direction.contains(QLatin1String("previous"));
    const QString path = neighbourPath(m_path, forward);
    Neighbour &n = m_neighbours[forward ? 1 : 0];
    if (path.isEmpty() || path == n.path)
        return;
    // A task still running for another file finishes on its own; its
    // result is simply not used.
    n = Neighbour();
    n.path = path;
    n.parsing = QtConcurrent::run(&ZuStreamReadAndControl::loadEntries, path, m_streamId);
    m_parsed[forward ? 1 : 0].setFuture(n.parsing);
}

void ZuStreamReadAndControl::prefetchNeighbours()
{
    triggerPrefetch(QStringLiteral("previous"));
    triggerPrefetch(QStringLiteral("next"));
}

void ZuStreamReadAndControl::forgetNeighbours()
{
    for (int side = 0; side < 2; ++side) {
        m_neighbours[side] = Neighbour();
        m_parsed[side].setFuture(QFuture<EntriesPtr>());
    }
}

ZuStreamReadAndControl::EntriesPtr ZuStreamReadAndControl::takeEntries(const QString &path)
{
    for (Neighbour &n : m_neighbours) {
        if (n.path != path || (!n.entries && !n.parsing.isValid()))
            continue;
        const EntriesPtr e = n.entries ? n.entries : n.parsing.result();
        n = Neighbour();
        if (e && (m_streamId.isEmpty() || e->streamId == normalizeStreamId(m_streamId)))
            return e;
        break;
    }
    return loadEntries(path, m_streamId);
}

ZuStreamReadAndControl::OpeningPtr ZuStreamReadAndControl::prepareOpening(const QString &dataPath,
                                                                         const QString &streamId)
{
    auto opening = std::make_shared<Opening>();
    opening->entries = loadEntries(QFileInfo(dataPath).absoluteFilePath(), streamId);
    const Entries &e = *opening->entries;
    if (!e.ok || e.frames.isEmpty() || e.keys.empty()
        || VideoDecoder::normalizedCodecName(e.frames.first().codec).isEmpty())
        return opening;
    // The worker's kind of decoder, which it takes over: playing goes on
    // from where this one is, the first pictures are ready, and the window's
    // threads do not share the processor with a decoder starting then.
    auto decoder = std::make_unique<ZuSlotDecoder>();
    decoder->setThreads(ZuSlotDecoder::Threads::Frame);
    QString error;
    if (!decoder->setFile(e.path, e.frames, e.keys, &error, e.edges))
        return opening;
    const auto keep = [&](int slot, AVFrame *picture) {
        opening->pictures.emplace_back(slot, std::shared_ptr<AVFrame>(picture, [](AVFrame *p) { av_frame_free(&p); }));
    };
    const int first = e.keys.front();
    const int last = std::min(int(e.frames.size()) - 1, first + ZuPictureWorker::kReadyAhead);
    for (int slot = first; slot <= last; ++slot) {
        if (!decoder->delivered(slot))
            decoder->decodeTo(slot, keep);
    }
    opening->decoder = std::move(decoder);
    return opening;
}

void ZuStreamReadAndControl::setPreparedOpening(const QFuture<OpeningPtr> &opening)
{
    m_opening = opening;
}

ZuStreamReadAndControl::OpeningPtr ZuStreamReadAndControl::takeOpening(const QString &path)
{
    // None is a default future, which is a canceled one: isValid() cannot
    // tell, as it is false too for an opening still waiting for its day
    // scan to end.
    if (m_opening.isCanceled())
        return nullptr;
    QFuture<OpeningPtr> opening = std::exchange(m_opening, QFuture<OpeningPtr>());
    opening.waitForFinished();
    if (opening.isCanceled() || opening.resultCount() == 0)
        return nullptr;
    const OpeningPtr o = opening.result();
    if (!o || !o->entries || !o->entries->ok || o->entries->path != path
        || (!m_streamId.isEmpty() && o->entries->streamId != m_streamId))
        return nullptr;
    return o;
}

// ---------------------------------------------------------------- files

void ZuStreamReadAndControl::closeFile()
{
    m_worker->setFile(nullptr);
    forgetPosition();
}

void ZuStreamReadAndControl::forgetPosition()
{
    m_enterWait.invalidate();
    m_entries.reset();
    m_frames.clear();
    m_pos = -1;
    m_shownPos = -1;
    m_fps = -1.0;
}

bool ZuStreamReadAndControl::openEntries(EntriesPtr entries)
{
    if (!entries || !entries->ok || entries->frames.isEmpty()) {
        logLine("[ERROR] ", "open file", entries ? entries->error : QStringLiteral("no entries"));
        return false;
    }
    // A file that cannot be read or has no known codec leaves the current
    // one as it is.
    QFile data(entries->path);
    if (!data.open(QIODevice::ReadOnly)) {
        logLine("[ERROR] ", "open file", QStringLiteral("cannot open ") + entries->path);
        return false;
    }
    data.close();
    if (VideoDecoder::normalizedCodecName(entries->frames.first().codec).isEmpty()) {
        logLine("[ERROR] ", "open file",
                QStringLiteral("unknown codec '%1' in ").arg(entries->frames.first().codec.left(32)) + entries->path);
        return false;
    }
    const EntriesPtr left = m_entries;
    // Straight from one file to the other: the worker turns a neighbour it
    // prepared into the current file with what it holds.
    forgetPosition();
    m_worker->setFile(entries);
    m_entries = entries;
    m_frames = entries->frames;
    m_fps = entries->fps;
    m_path = entries->path;
    m_streamId = entries->streamId;
    ++m_generation;
    // The file left for one next to it is that one's neighbour, already
    // parsed; the worker keeps what it holds of it.
    for (int side = 0; left && left->streamId == m_streamId && side < 2; ++side) {
        if (left->path == neighbourPath(m_path, side == 1)) {
            m_neighbours[side] = Neighbour();
            m_neighbours[side].path = left->path;
            m_neighbours[side].entries = left;
            m_parsed[side].setFuture(QFuture<EntriesPtr>());
        }
    }
    logLine("[INFO] ", "open file", m_path + QStringLiteral(" :: stream ") + m_streamId
                                          + QStringLiteral(" :: frames ") + QString::number(m_frames.size()));
    return true;
}

bool ZuStreamReadAndControl::open_file(const QString &dataPath, const QString &streamId,
                                       const QString &readTimestamp, bool play)
{
    const QString path = QFileInfo(dataPath).absoluteFilePath();
    ++m_commands;
    m_timer.stop();
    if (normalizeStreamId(streamId) != m_streamId)
        forgetNeighbours();
    m_streamId = normalizeStreamId(streamId);
    const OpeningPtr opening = takeOpening(path);
    if (!openEntries(opening ? opening->entries : takeEntries(path))) {
        stop();
        return false;
    }
    if (opening)
        m_worker->adopt(opening->pictures, std::move(opening->decoder));
    if (!announceFile(true))
        return m_state != Stopped; // a receiver stopped the engine or opened another file
    // The first picture's receivers may move the engine on as well.
    const quint64 commands = m_commands;
    bool shown = false;
    const qint64 ms = readTimestamp.isEmpty() ? -1 : parseTimeMs(readTimestamp);
    m_opensPlaying = play;
    if (ms >= 0)
        shown = seekToMs(ms, false);
    if (!shown && commands == m_commands) {
        int idx = m_entries->keys.empty() ? 0 : m_entries->keys.front();
        for (int tries = 0; !shown && idx < frame_count() && tries < kMaxSkippedFrames; ++tries)
            shown = showFrame(idx++);
    }
    m_opensPlaying = false;
    if (commands != m_commands)
        return m_state != Stopped;
    if (!shown) {
        logLine("[ERROR] ", "open file", QStringLiteral("no decodable frame in ") + m_path);
        stop();
        return false;
    }
    setState(play ? Playing : Paused);
    anchorClock();
    updateTimer();
    prefetchNeighbours();
    return true;
}

bool ZuStreamReadAndControl::continue_read(const QString &dataPath, const QString &streamId, bool play,
                                           const QString &direction)
{
    const QString path = QFileInfo(dataPath).absoluteFilePath();
    const bool backward = direction.contains(QLatin1String("previous"));
    const State before = m_state;
    ++m_commands;
    if (!streamId.isEmpty())
        m_streamId = normalizeStreamId(streamId);
    EntriesPtr entries = takeEntries(path);
    if (!entries->ok || entries->frames.isEmpty()) {
        logLine("[ERROR] ", "continue read", entries->error);
        return false;
    }
    if (!openEntries(entries))
        return false;
    if (!announceFile(true))
        return m_state != Stopped;
    const quint64 commands = m_commands;
    bool shown = false;
    if (backward) {
        for (int i = frame_count() - 1, tries = 0; !shown && i >= 0 && tries < kMaxSkippedFrames; --i, ++tries)
            shown = showFrame(i);
    } else {
        int idx = m_entries->keys.empty() ? 0 : m_entries->keys.front();
        for (int tries = 0; !shown && idx < frame_count() && tries < kMaxSkippedFrames; ++tries)
            shown = showFrame(idx++);
    }
    if (commands != m_commands)
        return m_state != Stopped;
    if (!shown)
        logLine("[WARN] ", "continue read", QStringLiteral("no decodable frame in ") + m_path);
    if (before == Stopped)
        setState(play ? Playing : Paused);
    anchorClock();
    updateTimer();
    prefetchNeighbours();
    return true;
}

bool ZuStreamReadAndControl::announceFile(bool started)
{
    const quint64 generation = m_generation;
    if (started)
        emit startRead();
    if (generation == m_generation)
        emit fileChanged(m_path);
    return generation == m_generation;
}

bool ZuStreamReadAndControl::switchFile(bool forward)
{
    const QString dir = forward ? QStringLiteral("next") : QStringLiteral("previous");
    QString next = neighbourPath(m_path, forward);
    if (next.isEmpty()) {
        const quint64 generation = m_generation;
        if (forward)
            emit set_next_file();
        else
            emit set_previous_file();
        if (generation != m_generation)
            return true; // the owner continued with another file
        logLine("[INFO] ", "end of recordings", dir);
        if (m_state == Playing)
            setState(Paused);
        emit endOfRecordings(dir);
        return false;
    }
    // Skip neighbours that cannot be read, and come back to the current file
    // and its picture when none can.
    const EntriesPtr original = m_entries;
    const int originalPos = m_pos;
    for (int guard = 0; !next.isEmpty() && guard < m_playlist.size(); ++guard) {
        EntriesPtr entries = takeEntries(next);
        if (entries->ok && !entries->frames.isEmpty() && openEntries(entries)) {
            if (!announceFile(false))
                return true; // a receiver moved the engine on
            bool shown = false;
            if (forward) {
                int idx = m_entries->keys.empty() ? 0 : m_entries->keys.front();
                for (int tries = 0; !shown && idx < frame_count() && tries < kMaxSkippedFrames; ++tries)
                    shown = showFrame(idx++);
            } else {
                for (int i = frame_count() - 1, tries = 0; !shown && i >= 0 && tries < kMaxSkippedFrames; --i, ++tries)
                    shown = showFrame(i);
            }
            if (shown) {
                anchorClock();
                updateTimer();
                prefetchNeighbours();
                return true;
            }
            logLine("[WARN] ", "switch file", QStringLiteral("no decodable frame in ") + m_path);
            next = neighbourPath(m_path, forward);
            continue;
        }
        logLine("[WARN] ", "switch file", QStringLiteral("skipping ") + next + QStringLiteral(" :: ") + entries->error);
        const int i = m_playlist.indexOf(next);
        const int j = forward ? i + 1 : i - 1;
        next = (i >= 0 && j >= 0 && j < m_playlist.size()) ? m_playlist.at(j) : QString();
    }
    if (original && m_entries != original && openEntries(original)) {
        if (!announceFile(false))
            return true;
        showFrame(originalPos);
        anchorClock();
    }
    logLine("[INFO] ", "end of recordings", dir);
    if (m_state == Playing)
        setState(Paused);
    emit endOfRecordings(dir);
    return false;
}

// ---------------------------------------------------------------- state

void ZuStreamReadAndControl::setState(State s)
{
    if (m_state == s)
        return;
    m_state = s;
    updateTimer();
    updatePlan();
    emit stateChanged(int(s));
}

void ZuStreamReadAndControl::updateTimer()
{
    if (m_state != Playing || m_frames.isEmpty()) {
        m_timer.stop();
        return;
    }
    const double frameMs = m_fps > 0 ? 1000.0 / m_fps : 40.0;
    // A quarter of a frame period: a picture comes at most that late, so the
    // gap between two pictures stays near the recorded one; never faster
    // than kMinTickMs.
    const int interval = qBound(kMinTickMs, int(frameMs / std::abs(m_rate) / 4.0), 20);
    if (!m_timer.isActive() || m_timer.interval() != interval)
        m_timer.start(interval);
}

void ZuStreamReadAndControl::anchorClock()
{
    m_enterWait.invalidate();
    if (m_pos >= 0 && m_entries)
        m_anchorMedia = m_entries->play[size_t(m_pos)];
    m_clock.restart();
}

qint64 ZuStreamReadAndControl::clockTarget() const
{
    return m_anchorMedia + qint64(double(m_clock.nsecsElapsed()) / 1e6 * m_rate);
}

void ZuStreamReadAndControl::start_read()
{
    if (m_frames.isEmpty() || m_pos < 0)
        return;
    anchorClock();
    setState(Playing);
    updateTimer();
}

void ZuStreamReadAndControl::pause()
{
    if (m_state == Playing)
        setState(Paused);
}

void ZuStreamReadAndControl::toggle_pause()
{
    if (m_state == Playing)
        setState(Paused);
    else if (m_state == Paused)
        start_read();
}

void ZuStreamReadAndControl::stop()
{
    ++m_commands;
    m_timer.stop();
    closeFile();
    m_streamId.clear();
    m_path.clear();
    m_playlist.clear();
    m_playlistStart.clear();
    forgetNeighbours();
    m_sliderHeld = false;
    ++m_generation;
    setState(Stopped);
}

void ZuStreamReadAndControl::change_rate(qreal rate)
{
    qreal best = 1.0;
    if (rate != 0 && std::isfinite(rate)) {
        qreal bestDistance = 1e9;
        for (qreal r : kRates) {
            const qreal d = std::abs(r - rate);
            if (d < bestDistance) {
                bestDistance = d;
                best = r;
            }
        }
    }
    const bool directionChanged = (best < 0) != (m_rate < 0);
    m_rate = best;
    m_stepDirection = best < 0 ? -1 : 1;
    updatePlan();
    anchorClock();
    emit rateChanged(m_rate);
    if (directionChanged)
        prefetchNeighbours();
    if (m_state == Paused)
        start_read();
    else
        updateTimer();
}

void ZuStreamReadAndControl::slider_pressed()
{
    m_sliderHeld = true;
}

QString ZuStreamReadAndControl::current_timestamp() const
{
    return (m_pos >= 0 && m_pos < m_frames.size()) ? m_frames.at(m_pos).timestamp : QString();
}

qint64 ZuStreamReadAndControl::current_ms_of_day() const
{
    if (m_pos < 0 || !m_entries)
        return -1;
    return msOfDay(m_pos);
}

qint64 ZuStreamReadAndControl::msOfDay(int index) const
{
    // The entry's own time: the search times are held back where the
    // recorder's clock went back (a daylight-saving change), and the time
    // shown must be the one the picture carries.
    const qint64 own = parseTimeMs(m_frames.at(index).timestamp);
    return (own >= 0 ? own : m_entries->times[size_t(index)]) % kDayMs;
}

ZuFrame ZuStreamReadAndControl::current_frame() const
{
    return (m_pos >= 0 && m_pos < m_frames.size()) ? m_frames.at(m_pos) : ZuFrame();
}

// ---------------------------------------------------------------- playing

void ZuStreamReadAndControl::onTick()
{
    if (m_state != Playing || m_frames.isEmpty() || m_pos < 0) {
        m_timer.stop();
        return;
    }
    const qint64 target = clockTarget();
    if (m_rate > 0)
        tickForward(target);
    else
        tickBackward(target);
}

bool ZuStreamReadAndControl::tickForward(qint64 target)
{
    const auto &times = m_entries->play;
    const int n = frame_count();
    const double frameMs = m_fps > 0 ? 1000.0 / m_fps : 40.0;
    if (m_pos + 1 < n && times[size_t(m_pos + 1)] - target > kMaxGapMs) {
        // A hole in the recording: go on with the next frame at once.
        m_anchorMedia = times[size_t(m_pos + 1)];
        m_clock.restart();
        target = m_anchorMedia;
    }
    int j = lastIndexAtOrBefore(target);
    offerNeighbours();
    updatePlan(qMax(j, m_pos));
    if (j <= m_pos) {
        if (m_pos == n - 1 && target >= times.back() + qint64(frameMs)) {
            if (!readyToEnter(true))
                return false;
            // Carry the time already run past this file into the next one,
            // so file changes do not slow fast playing down.
            const qint64 overshoot = target - (times.back() + qint64(frameMs));
            const bool switched = switchFile(true);
            if (switched && m_state == Playing)
                m_anchorMedia += qMin(overshoot, kMaxGapMs);
            return switched;
        }
        return false;
    }
    // The newest picture ready up to the one due; the worker prepares them
    // ahead, so the wait is never on this thread.
    for (int k = j; k > m_pos; --k) {
        if (ZuPictureWorker::PicturePtr picture = m_worker->readyPicture(k))
            return showPicture(k, picture);
    }
    // Frames that give no picture (damage) are passed over once.
    for (int k = m_pos + 1; k <= j; ++k) {
        if (!m_worker->isDead(k))
            return false;
    }
    m_pos = j;
    return false;
}

bool ZuStreamReadAndControl::tickBackward(qint64 target)
{
    const auto &times = m_entries->play;
    const double frameMs = m_fps > 0 ? 1000.0 / m_fps : 40.0;
    if (m_pos > 0 && target - times[size_t(m_pos - 1)] > kMaxGapMs) {
        m_anchorMedia = times[size_t(m_pos - 1)];
        m_clock.restart();
        target = m_anchorMedia;
    }
    int j = qMax(0, lastIndexAtOrBefore(target));
    offerNeighbours();
    updatePlan(qMin(j, m_pos));
    if (j >= m_pos) {
        if (m_pos == 0 && target <= times.front() - qint64(frameMs)) {
            if (!readyToEnter(false))
                return false;
            const qint64 overshoot = (times.front() - qint64(frameMs)) - target;
            const bool switched = switchFile(false);
            if (switched && m_state == Playing)
                m_anchorMedia -= qMin(overshoot, kMaxGapMs);
            return switched;
        }
        // Frames before the first key frame of a file cannot be shown.
        if (m_pos > 0 && keyAtOrBefore(m_pos - 1) < 0 && target <= times.front() - qint64(frameMs)
            && readyToEnter(false))
            return switchFile(false);
        return false;
    }
    // Frames before the first key frame of a file cannot be shown.
    if (keyAtOrBefore(j) < 0) {
        const int firstKey = m_entries->keys.empty() ? m_pos : m_entries->keys.front();
        if (m_pos <= firstKey)
            return readyToEnter(false) && switchFile(false);
        j = firstKey;
    }
    for (int k = j; k < m_pos; ++k) {
        if (ZuPictureWorker::PicturePtr picture = m_worker->readyPicture(k))
            return showPicture(k, picture);
    }
    for (int k = j; k < m_pos; ++k) {
        if (!m_worker->isDead(k))
            return false;
    }
    m_pos = j;
    return false;
}

bool ZuStreamReadAndControl::stepBy(int delta)
{
    if (m_frames.isEmpty() || m_pos < 0)
        return false;
    m_stepDirection = delta < 0 ? -1 : 1;
    int idx = m_pos + delta;
    for (int tries = 0; tries < kMaxSkippedFrames; ++tries, idx += delta) {
        if (idx < 0 || idx >= frame_count())
            return switchFile(delta > 0);
        if (delta < 0 && keyAtOrBefore(idx) < 0)
            return switchFile(false); // only undecodable frames before this one
        if (showFrame(idx)) {
            anchorClock();
            return true;
        }
    }
    return false;
}

bool ZuStreamReadAndControl::read_and_display_next_frame(bool keepPlaying)
{
    if (!keepPlaying)
        pause();
    return stepBy(1);
}

bool ZuStreamReadAndControl::read_and_display_previous_frame(bool keepPlaying)
{
    if (!keepPlaying)
        pause();
    return stepBy(-1);
}

// ---------------------------------------------------------------- seeking

int ZuStreamReadAndControl::firstKeyAtOrAfter(qint64 ms) const
{
    if (!m_entries)
        return -1;
    const auto &t = m_entries->times;
    for (int k : m_entries->keys) {
        if (t[size_t(k)] >= ms)
            return k;
    }
    return -1;
}

int ZuStreamReadAndControl::lastIndexAtOrBefore(qint64 ms) const
{
    if (!m_entries)
        return -1;
    const auto &t = m_entries->play;
    auto it = std::upper_bound(t.begin(), t.end(), ms);
    return int(it - t.begin()) - 1;
}

qint64 ZuStreamReadAndControl::decodedFrames() const
{
    return m_worker->waitedUnits();
}

qint64 ZuStreamReadAndControl::decodedFramesTotal() const
{
    return m_worker->decodedUnits();
}

qint64 ZuStreamReadAndControl::convertedFramesTotal() const
{
    return m_worker->convertedPictures();
}

void ZuStreamReadAndControl::setCacheLimitBytes(qint64 bytes)
{
    m_worker->setLimitBytes(bytes);
}

qint64 ZuStreamReadAndControl::cacheLimitBytes() const
{
    return m_worker->limitBytes();
}

qint64 ZuStreamReadAndControl::cacheBytes() const
{
    return m_worker->cacheBytes();
}

int ZuStreamReadAndControl::cachedFrames() const
{
    return m_worker->cachedFrames();
}

bool ZuStreamReadAndControl::isKey(int index) const
{
    return m_entries && std::binary_search(m_entries->keys.begin(), m_entries->keys.end(), index);
}

int ZuStreamReadAndControl::keyAtOrBefore(int index) const
{
    if (!m_entries || index < 0)
        return -1;
    const auto &k = m_entries->keys;
    auto it = std::upper_bound(k.begin(), k.end(), index);
    return it == k.begin() ? -1 : *(it - 1);
}

void ZuStreamReadAndControl::set_read_timestamp(const QString &timestamp)
{
    m_sliderHeld = false;
    const qint64 ms = parseTimeMs(timestamp.trimmed());
    if (ms < 0) {
        logLine("[WARN] ", "set read timestamp", QStringLiteral("unreadable time ") + timestamp.left(32));
        return;
    }
    if (m_frames.isEmpty()) {
        logLine("[WARN] ", "set read timestamp", QStringLiteral("no file open"));
        return;
    }
    seekToMs(ms, false);
}

void ZuStreamReadAndControl::jump_seconds(int seconds)
{
    if (m_pos < 0 || !m_entries)
        return;
    seekToMs(m_entries->times[size_t(m_pos)] + qint64(seconds) * 1000, true);
}

bool ZuStreamReadAndControl::seekToMs(qint64 ms, bool exactFrame)
{
    if (!m_entries)
        return false;
    // The files to look through, in order, starting with the one that holds
    // the time.
    QStringList files = m_playlist;
    std::vector<qint64> starts = m_playlistStart;
    if (!files.contains(m_path)) {
        files = QStringList{m_path};
        starts = {-1};
    }
    int first = files.indexOf(m_path);
    const bool inCurrent = ms >= m_entries->times.front() && ms <= m_entries->times.back();
    if (!inCurrent) {
        first = 0;
        for (int i = 0; i < files.size(); ++i) {
            if (starts[size_t(i)] >= 0 && starts[size_t(i)] <= ms)
                first = i;
        }
    }
    const auto pickIn = [&](const Entries &e) -> int {
        if (exactFrame) {
            auto it = std::lower_bound(e.times.begin(), e.times.end(), ms);
            // Only frames at or after the group's key frame can be decoded.
            if (it == e.times.end())
                return -1;
            const int idx = int(it - e.times.begin());
            return (!e.keys.empty() && e.keys.front() <= idx) ? idx : (e.keys.empty() ? -1 : e.keys.front());
        }
        for (int k : e.keys) {
            if (e.times[size_t(k)] >= ms)
                return k;
        }
        return -1;
    };
    for (int i = first; i < files.size(); ++i) {
        EntriesPtr e = files.at(i) == m_path ? m_entries : takeEntries(files.at(i));
        if (!e->ok || e->frames.isEmpty())
            continue;
        const int idx = pickIn(*e);
        if (idx < 0)
            continue;
        if (e != m_entries) {
            if (!openEntries(e))
                continue;
            if (!announceFile(false))
                return true;
        }
        for (int k = idx, tries = 0; k < frame_count() && tries < kMaxSkippedFrames; ++k, ++tries) {
            if (showFrame(k)) {
                anchorClock();
                updateTimer();
                prefetchNeighbours();
                return true;
            }
        }
    }
    // Past the last key frame of the recordings: show that one.
    for (int i = files.size() - 1; i >= 0; --i) {
        EntriesPtr e = files.at(i) == m_path ? m_entries : takeEntries(files.at(i));
        if (!e->ok || e->keys.empty())
            continue;
        if (e != m_entries) {
            if (!openEntries(e))
                continue;
            if (!announceFile(false))
                return true;
        }
        for (auto it = m_entries->keys.rbegin(); it != m_entries->keys.rend(); ++it) {
            if (showFrame(*it)) {
                anchorClock();
                updateTimer();
                return true;
            }
        }
    }
    logLine("[WARN] ", "seek", QStringLiteral("no decodable key frame"));
    return false;
}

// ---------------------------------------------------------------- pictures

void ZuStreamReadAndControl::updatePlan(int horizon)
{
    if (!m_entries || m_pos < 0)
        return;
    planFor(m_pos, horizon < 0 ? m_pos : horizon);
}

void ZuStreamReadAndControl::planFor(int pos, int horizon)
{
    // Opening to play, the worker prepares for playing from the first
    // picture on, not for the pause that the opening is not.
    const bool playing = m_state == Playing || m_opensPlaying;
    const int direction = playing ? (m_rate < 0 ? -1 : 1) : m_stepDirection;
    int stride = 1;
    if (playing && m_fps > 0)
        stride = qMax(1, int(std::abs(m_rate) * m_fps * kShowIntervalMs / 1000.0));
    // Only receivers of set_display_frame need every picture at its own size.
    m_worker->setFullPictures(isSignalConnected(QMetaMethod::fromSignal(&ZuStreamReadAndControl::set_display_frame)));
    m_worker->setPlan(pos, direction, stride, horizon, playing);
}

void ZuStreamReadAndControl::offerNeighbours()
{
    for (int side = 0; side < 2; ++side) {
        Neighbour &n = m_neighbours[side];
        if (n.offered || n.path.isEmpty() || n.path != neighbourPath(m_path, side == 1))
            continue;
        if (!n.entries) {
            if (!n.parsing.isValid() || !n.parsing.isFinished())
                continue;
            n.entries = n.parsing.result();
        }
        n.offered = true;
        const EntriesPtr &e = n.entries;
        if (e && e->ok && !e->frames.isEmpty() && e->streamId == normalizeStreamId(m_streamId))
            m_worker->setNeighbour(e, side == 1);
    }
}

bool ZuStreamReadAndControl::readyToEnter(bool forward)
{
    const QString next = neighbourPath(m_path, forward);
    if (next.isEmpty())
        return true; // the end of the playlist: switchFile() tells the owner
    Neighbour &n = m_neighbours[forward ? 1 : 0];
    if (n.path != next)
        triggerPrefetch(forward ? QStringLiteral("next") : QStringLiteral("previous"));
    offerNeighbours();
    bool ready = false;
    if (n.offered) {
        const EntriesPtr &e = n.entries;
        // A file that cannot be played is passed over at once.
        ready = !e || !e->ok || e->frames.isEmpty() || e->streamId != normalizeStreamId(m_streamId)
                || m_worker->readyToEnter(e, forward);
    }
    if (ready) {
        m_enterWait.invalidate();
        return true;
    }
    // Never held for good (a file the worker cannot prepare): past this,
    // moving on waits for the picture like a step does.
    if (!m_enterWait.isValid())
        m_enterWait.start();
    return m_enterWait.elapsed() >= kMaxEnterWaitMs;
}

bool ZuStreamReadAndControl::showPicture(int index, const ZuPictureWorker::PicturePtr &picture)
{
    const int before = m_pos;
    const quint64 generation = m_generation;
    const qint64 emitted = m_emittedCount;
    if (!emitPicture(index, picture)) {
        m_pos = before;
        return false;
    }
    // Unless a receiver moved the engine on (another file, or a step of
    // its own from its slot, which showed a later picture).
    if (generation == m_generation && m_emittedCount == emitted + 1) {
        m_pos = index;
        updatePlan();
    }
    return true;
}

namespace {
// Keeps the engine's picture alive while an image refers to it.
void releasePicture(void *held)
{
    delete static_cast<ZuPictureWorker::PicturePtr *>(held);
}
} // namespace

ZuPictureWorker::PicturePtr ZuStreamReadAndControl::withFullPicture(const ZuPictureWorker::PicturePtr &picture)
{
    if (picture->bgra || !picture->yuv)
        return picture->bgra ? picture : nullptr;
    auto full = std::make_shared<ZuPictureWorker::Picture>(*picture);
    full->stride = picture->width * 4;
    full->bgra = std::make_shared<std::vector<uint8_t>>(size_t(full->stride) * size_t(picture->height));
    ZuScaler scaler;
    if (!scaler.toBgra(picture->yuv.get(), full->bgra->data(), full->stride)) {
        logMessage(QStringLiteral("[WARN] ZuStreamReadAndControl :: convert frame :: ") + m_path);
        return nullptr;
    }
    return full;
}

CanvasPicture ZuStreamReadAndControl::canvasPicture(const ZuPictureWorker::PicturePtr &picture)
{
    CanvasPicture out;
    out.fullSize = QSize(picture->width, picture->height);
    if (picture->bgra) {
        out.full = QImage(picture->bgra->data(), picture->width, picture->height, picture->stride,
                          QImage::Format_RGB32, releasePicture, new ZuPictureWorker::PicturePtr(picture));
    } else {
        // Made on the surface's thread only when it is needed (a snapshot,
        // a view the shown part was not made for).
        const std::shared_ptr<AVFrame> yuv = picture->yuv;
        out.makeFull = [yuv]() {
            ZuScaler scaler;
            QImage image = scaler.toImage(yuv.get());
            image.reinterpretAsFormat(QImage::Format_RGB32); // alpha is 255 throughout
            return image;
        };
    }
    if (picture->shown) {
        out.shown = QImage(picture->shown->data(), picture->shownWidth, picture->shownHeight, picture->shownStride,
                           QImage::Format_RGB32, releasePicture, new ZuPictureWorker::PicturePtr(picture));
        out.area = picture->area;
        out.zoom = picture->zoom;
    }
    return out;
}

void ZuStreamReadAndControl::setDisplayView(QSize area, QRectF zoom)
{
    m_worker->setView(area, zoom);
}

void ZuStreamReadAndControl::connectNotify(const QMetaMethod &signal)
{
    // Called with the connection lists locked: no look at them from here
    // (updatePlan() sees receivers that went).
    QThread::connectNotify(signal);
    if (m_worker && signal == QMetaMethod::fromSignal(&ZuStreamReadAndControl::set_display_frame))
        m_worker->setFullPictures(true);
}


bool ZuStreamReadAndControl::emitPicture(int index, const ZuPictureWorker::PicturePtr &picture)
{
    const int w = picture->width;
    const int h = picture->height;
    if (w <= 0 || h <= 0 || (!picture->bgra && !picture->shown))
        return false;
    // Receivers of the full picture while the worker prepared scaled ones only.
    ZuPictureWorker::PicturePtr full = picture;
    if (!picture->bgra && isSignalConnected(QMetaMethod::fromSignal(&ZuStreamReadAndControl::set_display_frame))) {
        full = withFullPicture(picture);
        if (!full)
            return false;
    }
    // Copies, not references: a receiver may stop the engine or open another
    // file from its slot, which frees the entries.
    const QString timestamp = m_frames.at(index).timestamp;
    const bool keyframe = isKey(index);
    const qint64 ms = msOfDay(index);
    m_frameId = (m_frameId + 1) % StreamFrame::kFrameIdWrap;
    // Receivers read the position back from their slots.
    m_pos = index;
    m_shownPos = index;
    const qint64 emitted = ++m_emittedCount;
    const quint64 generation = m_generation;
    // A receiver may move the engine on from its slot: stop it, open another
    // file, or step again. The time and the position of this picture are
    // then no longer the ones on screen, and are not sent.
    const auto movedOn = [&]() { return generation != m_generation || m_emittedCount != emitted; };
    if (isSignalConnected(QMetaMethod::fromSignal(&ZuStreamReadAndControl::display_picture))) {
        emit display_picture(canvasPicture(picture), timestamp, m_overlayText, keyframe, m_frameId, m_fps,
                             m_state != Playing);
        if (movedOn())
            return true;
    }
    if (full->bgra) {
        emit set_display_frame(full->bgra->data(), w, h, full->stride, timestamp, m_overlayText, keyframe,
                               m_frameId, m_fps, m_state != Playing);
        // Queued receivers on this thread run before this event; only then
        // may the buffer be reused or freed.
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [full]() {}, Qt::QueuedConnection);
    }
    if (movedOn())
        return true;
    emit setTime(QTime::fromMSecsSinceStartOfDay(int(ms)));
    if (!movedOn() && !m_sliderHeld)
        emit slidervalue(index, timestamp);
    return true;
}

bool ZuStreamReadAndControl::showFrame(int index)
{
    // The worker prepares around the picture to show from now on, not
    // around the one it replaces (a jump lands far from it).
    if (m_entries)
        planFor(index, index);
    const ZuPictureWorker::PicturePtr picture = m_worker->picture(index);
    return picture && showPicture(index, picture);
}
