// zubench seek --folder EXPORT_DIR [--camera ID] [--seeks N] [--steps N] [--seconds S]
//
// Playback engine figures on a generated export folder (for the targets, one
// made with --size 1920x1080 --fps 25 --gop 4 and two files or more). The
// engine drives a video surface (Canvas) as in the main window: pictures go
// to it through a queued connection and it paints them, on this thread.
//   seek_ms           median time from a seek to a random time until its
//                     picture is emitted (the first key frame at or after it)
//   backstep_ms       median time of one backward frame step
//   backstep_p99_ms   99th percentile and largest time of a backward step,
//   backstep_max_ms   over --steps steps (default 300) paced as a held key
//                     repeats (every 40 ms), from a seek to the start of the
//                     second file: the first step goes into the file before,
//                     the others cross several groups of pictures
//   fps_at_8x         recorded frames passed per second of wall time at rate
//                     8 (the clock: 8 times the recorded frame rate)
//   shown_fps_8x      pictures that reached the video surface per second of
//   shown_fps_minus8x wall time at rate 8 and at rate -8; each run crosses
//                     the boundary between the first two files halfway
//   max_gap_ms        the largest gap between two pictures reaching the
//                     surface at either rate, the first one counted from the
//                     start of playing
//   gui_block_ms      the longest time the GUI thread did not return to its
//                     event loop while playing at either rate
//   ffmpeg_decode_fps the ffmpeg command line decoding the same access units
//                     with its default threads
//   painted_fps_1x    pictures painted per second playing at rate 1 for
//                     --seconds1x seconds (default 10) from the first file's start
//   max_gap_1x_ms     the largest gap between two pictures painted then
//   paint_ms_p99      99th percentile of the surface's paint time, all runs
//   cpu_s_per_min_1x  processor time of the process per minute of that run
//   rss_peak_mb_1x    peak resident memory during that run
// The surface is the size of the main window's video area at its default
// size on a 1920x1080 screen, fed as the main window feeds it; with
// --surface copy it copies each picture and scales it while painting.
// The lines before the last give the details.
#include "zubench.h"

#include "canvas.h"
#include "exportfolder.h"
#include "seekfile.h"
#include "zustreamreadandcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

#include <sys/resource.h>

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size())));
    return v[i];
}

QString findRoot(const QString &folder)
{
    if (ZuExportFolder::isExportFolderName(QFileInfo(folder).fileName()))
        return QFileInfo(folder).absoluteFilePath();
    const QStringList roots = QDir(folder).entryList({QStringLiteral("talvor_*")}, QDir::Dirs, QDir::Name);
    for (const QString &r : roots) {
        if (ZuExportFolder::isExportFolderName(r))
            return QDir(folder).absoluteFilePath(r);
    }
    return QString();
}

// The video files of one camera of the first day, in play order.
QStringList cameraFiles(const QString &root, int camera)
{
    const QStringList days = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &day : days) {
        if (!ZuExportFolder::isDayFolderName(day))
            continue;
        QStringList files;
        const QString dayPath = root + QLatin1Char('/') + day;
        for (const QString &seg : QDir(dayPath).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            for (const QFileInfo &f : QDir(dayPath + QLatin1Char('/') + seg).entryInfoList({QStringLiteral("*.zuvideo")}, QDir::Files)) {
                int cam = -1;
                if (ZuExportFolder::parseRecordingName(f.fileName(), &cam, nullptr, nullptr) && (camera < 0 || cam == camera))
                    files.append(f.absoluteFilePath());
            }
        }
        if (camera < 0 && !files.isEmpty()) {
            // Without a choice: the camera of the first file.
            int first = -1;
            ZuExportFolder::parseRecordingName(files.first(), &first, nullptr, nullptr);
            return cameraFiles(root, first);
        }
        std::sort(files.begin(), files.end(), [](const QString &a, const QString &b) {
            return QFileInfo(a).fileName() < QFileInfo(b).fileName();
        });
        if (!files.isEmpty())
            return files;
    }
    return {};
}

QString stampOf(qint64 msOfDay, const QString &date)
{
    return date + QTime::fromMSecsSinceStartOfDay(int(msOfDay)).toString(QStringLiteral("HHmmsszzz"));
}

// The access units of stream 0 of `files`, back to back in `path`; their count.
int writeStream(const QStringList &files, const QString &path)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return 0;
    int count = 0;
    for (const QString &data : files) {
        QFile in(data);
        if (!in.open(QIODevice::ReadOnly))
            continue;
        for (const ZuFrame &f : ZuSeekFile::parse(ZuSeekFile::seekPathFor(data), data, QStringLiteral("0")).frames) {
            in.seek(f.offset);
            out.write(in.read(f.size));
            ++count;
        }
    }
    return count;
}

// The longest time the event loop of this thread was away, from a timer
// that wants to run every millisecond.
class LoopWatch : public QObject
{
public:
    LoopWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_last >= 0)
                m_longest = std::max(m_longest, (now - m_last) / 1e6 - 1.0);
            m_last = now;
        });
    }
    void start()
    {
        m_last = -1;
        m_clock.start();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    double longestMs() const { return m_longest; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = -1;
    double m_longest = 0;
};

// Paint times of a widget, and the pictures it painted for the first time.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(Canvas *canvas) : m_canvas(canvas)
    {
        canvas->installEventFilter(this);
        m_clock.start();
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_canvas || event->type() != QEvent::Paint || m_inside)
            return false;
        m_inside = true;
        const qint64 start = m_clock.nsecsElapsed();
        static_cast<QObject *>(m_canvas)->event(event);
        const qint64 end = m_clock.nsecsElapsed();
        m_inside = false;
        m_times.push_back((end - start) / 1e6);
        const qint64 received = m_canvas->receivedFrames();
        if (received != m_lastReceived) {
            m_lastReceived = received;
            ++m_new;
            if (m_gaps && m_lastNew >= 0)
                m_longestGap = std::max(m_longestGap, (end - m_lastNew) / 1e6);
            m_lastNew = end;
        }
        return true;
    }
    qint64 newPictures() const { return m_new; }
    const std::vector<double> &times() const { return m_times; }
    void trackGaps(bool on)
    {
        m_gaps = on;
        m_lastNew = -1;
    }
    double longestGapMs() const { return m_longestGap; }

private:
    Canvas *m_canvas;
    QElapsedTimer m_clock;
    bool m_inside = false;
    bool m_gaps = false;
    std::vector<double> m_times;
    qint64 m_lastReceived = 0;
    qint64 m_new = 0;
    qint64 m_lastNew = -1;
    double m_longestGap = 0;
};

double processorSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The kernel's peak resident size of this process starts again from now.
void resetPeakMemory()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

double peakMemoryMb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

int run(const QStringList &args)
{
    QTextStream &out = zubench::out();
    const QString root = findRoot(zubench::option(args, QStringLiteral("folder")));
    if (root.isEmpty()) {
        out << "error: --folder must name an export folder or a folder holding one\n";
        return 2;
    }
    const int camera = zubench::option(args, QStringLiteral("camera"), QStringLiteral("-1")).toInt();
    const int seeks = qMax(1, zubench::option(args, QStringLiteral("seeks"), QStringLiteral("40")).toInt());
    const int steps = qMax(1, zubench::option(args, QStringLiteral("steps"), QStringLiteral("300")).toInt());
    const double seconds = qMax(1.0, zubench::option(args, QStringLiteral("seconds"), QStringLiteral("6")).toDouble());
    const QStringList files = cameraFiles(root, camera);
    if (files.isEmpty()) {
        out << "error: no video file in " << root << "\n";
        return 2;
    }
    zubench::readFiles(files);

    ZuStreamReadAndControl engine;
    Canvas canvas;
    canvas.set_player_fed();
    canvas.resize(1559, 820);
    PaintWatch paints(&canvas);
    canvas.show();
    const bool copying = zubench::option(args, QStringLiteral("surface"), QStringLiteral("shared")) == QLatin1String("copy");
    if (copying) {
        QObject::connect(&engine, &ZuStreamReadAndControl::set_display_frame, &canvas, &Canvas::displayFrame,
                         Qt::QueuedConnection);
    } else {
        QObject::connect(&engine, &ZuStreamReadAndControl::display_picture, &canvas, &Canvas::displayPicture,
                         Qt::QueuedConnection);
        QObject::connect(&canvas, &Canvas::viewChanged, &engine, &ZuStreamReadAndControl::setDisplayView);
        engine.setDisplayView(canvas.viewArea(), canvas.zoomRect());
    }
    const double seconds1x = qMax(1.0, zubench::option(args, QStringLiteral("seconds1x"), QStringLiteral("10")).toDouble());
    QElapsedTimer clock;
    qint64 emittedAt = -1;
    QString shown;
    QSize size;
    // Told of each picture the way the surface is fed: a receiver of the
    // full-size signal would have every picture converted at its own size.
    if (copying) {
        QObject::connect(&engine, &ZuStreamReadAndControl::set_display_frame, &engine,
                         [&](uint8_t *, int w, int h, int, QString ts, QString, bool, int, double, bool) {
                             emittedAt = clock.nsecsElapsed();
                             shown = ts;
                             size = QSize(w, h);
                         },
                         Qt::DirectConnection);
    } else {
        QObject::connect(&engine, &ZuStreamReadAndControl::display_picture, &engine,
                         [&](const CanvasPicture &p, QString ts) {
                             emittedAt = clock.nsecsElapsed();
                             shown = ts;
                             size = p.fullSize;
                         },
                         Qt::DirectConnection);
    }
    // Pictures reaching the surface while playing, and the gaps between them.
    bool trackGaps = false;
    qint64 reached = 0;
    qint64 lastShown = -1;
    double maxGapMs = 0;
    QString gapAt; // the picture after the largest gap
    QObject::connect(&canvas, &Canvas::frameDisplayed, &canvas, [&](const QString &ts) {
        if (!trackGaps)
            return;
        const qint64 now = clock.nsecsElapsed();
        ++reached;
        if ((now - lastShown) / 1e6 > maxGapMs) {
            maxGapMs = (now - lastShown) / 1e6;
            gapAt = ts;
        }
        lastShown = now;
    });
    // Rate 1 from the first file's start.
    // First, as the player starts, so that the memory the other runs held
    // does not count.
    bool ended = false;
    QObject::connect(&engine, &ZuStreamReadAndControl::endOfRecordings, &engine, [&] { ended = true; });
    resetPeakMemory();
    const double cpu0 = processorSeconds();
    paints.trackGaps(true);
    QElapsedTimer wall1;
    wall1.start();
    engine.set_playlist(files);
    if (!engine.open_file(files.first(), QStringLiteral("0"), QString(), true)) {
        out << "error: cannot play " << files.first() << "\n";
        return 1;
    }
    while (!ended && wall1.elapsed() < seconds1x * 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double wall1S = wall1.nsecsElapsed() / 1e9;
    const double cpu1 = processorSeconds() - cpu0;
    const double rssPeakMb = peakMemoryMb();
    paints.trackGaps(false);
    engine.pause();
    const double paintedFps1 = (paints.newPictures()) / wall1S;

    engine.set_playlist(files);
    if (!engine.open_file(files.first(), QStringLiteral("0"), QString(), false)) {
        out << "error: cannot play " << files.first() << "\n";
        return 1;
    }
    const double fps = engine.fps();
    const QString date = shown.left(8);
    // The recorded span from the first file's first entry to the last file's last.
    const qint64 firstMs = engine.current_ms_of_day();
    engine.set_read_timestamp(stampOf(23 * 3600000LL + 59 * 60000 + 59000, date));
    const qint64 lastMs = engine.current_ms_of_day();
    // The start of the second file: the runs below cross it.
    qint64 boundaryMs = (firstMs + lastMs) / 2;
    if (files.size() > 1) {
        const ZuFrameList second = ZuSeekFile::parse(ZuSeekFile::seekPathFor(files.at(1)), files.at(1),
                                                     QStringLiteral("0")).frames;
        if (!second.isEmpty())
            boundaryMs = QTime::fromString(second.first().timestamp.mid(8, 9), QStringLiteral("HHmmsszzz"))
                             .msecsSinceStartOfDay();
    }
    out << "folder=" << root << " files=" << files.size() << " size=" << size.width() << 'x' << size.height()
        << " fps=" << fps << " cores=" << QThread::idealThreadCount() << "\n";

    const auto settle = [](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    };


    // Seeks to random times.
    QRandomGenerator rng(20240305);
    std::vector<double> seekMs;
    for (int i = 0; i < seeks; ++i) {
        const qint64 target = firstMs + qint64(rng.bounded(double(qMax<qint64>(1, lastMs - firstMs))));
        emittedAt = -1;
        clock.start();
        engine.set_read_timestamp(stampOf(target, date).left(14));
        if (emittedAt >= 0)
            seekMs.push_back(emittedAt / 1e6);
        settle(20);
    }

    // Backward steps from the start of the second file, as a held key
    // repeats a moment after the seek.
    engine.set_read_timestamp(stampOf(boundaryMs, date));
    settle(200);
    std::vector<double> stepMs;
    const QString stepFile = engine.current_file();
    for (int i = 0; i < steps; ++i) {
        emittedAt = -1;
        clock.start();
        if (!engine.read_and_display_previous_frame(false))
            break;
        if (emittedAt >= 0)
            stepMs.push_back(emittedAt / 1e6);
        if (emittedAt / 1e6 > 20 || i == 0)
            out << (i == 0 ? "first_step" : "slow_step") << "=" << i << " at=" << shown << " ms=" << emittedAt / 1e6
                << (engine.current_file() != stepFile ? " (in the file before)" : "") << "\n";
        settle(40);
    }

    // Rate 8, then -8, for a few seconds each, across the start of the second file.
    LoopWatch watch;
    double shownFps[2] = {0, 0};
    double fpsAt8 = -1;
    double decodedPerS = 0;
    for (int k = 0; k < 2; ++k) {
        const bool forward = k == 0;
        engine.pause();
        const qint64 half = qint64(seconds * 8 * 1000 / 2);
        const qint64 from = forward ? qMax(firstMs, boundaryMs - half) : qMin(lastMs, boundaryMs + half);
        engine.set_read_timestamp(stampOf(from, date).left(14));
        settle(300);
        const qint64 startMs = engine.current_ms_of_day();
        const qint64 reached0 = reached;
        const QString file0 = engine.current_file();
        const qint64 decoded0 = engine.decodedFramesTotal();
        ended = false;
        trackGaps = true;
        clock.start();
        lastShown = 0; // the first gap runs from the start of playing
        QElapsedTimer wall;
        wall.start();
        watch.start();
        engine.change_rate(forward ? 8 : -8);
        while (!ended && wall.elapsed() < seconds * 1000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        watch.stop();
        trackGaps = false;
        const double wallS = wall.nsecsElapsed() / 1e9;
        engine.pause();
        shownFps[k] = (reached - reached0) / wallS;
        out << (forward ? "rate8" : "rate_minus8") << "_from=" << stampOf(startMs, date)
            << " to=" << stampOf(engine.current_ms_of_day(), date)
            << " crossed_file=" << (engine.current_file() != file0 ? "yes" : "no") << "\n";
        if (forward) {
            const double recordedS = (engine.current_ms_of_day() - startMs) / 1000.0;
            fpsAt8 = fps > 0 ? recordedS * fps / wallS : -1.0;
            decodedPerS = (engine.decodedFramesTotal() - decoded0) / wallS;
            out << "rate8_recorded_seconds=" << recordedS << " wall_seconds=" << wallS
                << " decoded_per_s=" << decodedPerS << " target_fps=" << 8 * fps << "\n";
        }
    }


    out << "largest_gap_before=" << gapAt << "\n";
    // The ffmpeg command line on the same access units.
    double ffmpegFps = -1;
    QTemporaryDir tmp;
    const QString stream = tmp.filePath(QStringLiteral("stream.264"));
    const int units = writeStream(files, stream);
    const double ffmpegS = zubench::timeProcess(QStringLiteral("ffmpeg"),
                                                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                                 QStringLiteral("h264"), QStringLiteral("-i"), stream,
                                                 QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    if (ffmpegS > 0)
        ffmpegFps = units / ffmpegS;

    const auto f = [](double v, int d = 2) { return QString::number(v, 'f', d); };
    out << "seek_ms=" << f(median(seekMs)) << " backstep_ms=" << f(median(stepMs)) << " fps_at_8x=" << f(fpsAt8, 1)
        << " shown_fps_8x=" << f(shownFps[0], 1) << " shown_fps_minus8x=" << f(shownFps[1], 1)
        << " max_gap_ms=" << f(maxGapMs, 1) << " gui_block_ms=" << f(watch.longestMs(), 1)
        << " backstep_p99_ms=" << f(percentile(stepMs, 99)) << " backstep_max_ms=" << f(percentile(stepMs, 100))
        << " ffmpeg_decode_fps=" << f(ffmpegFps, 0) << " painted_fps_1x=" << f(paintedFps1, 1)
        << " max_gap_1x_ms=" << f(paints.longestGapMs(), 1) << " paint_ms_p99=" << f(percentile(paints.times(), 99))
        << " cpu_s_per_min_1x=" << f(cpu1 / wall1S * 60.0, 1) << " rss_peak_mb_1x=" << f(rssPeakMb, 0) << "\n";
    out.flush();
    return 0;
}

zubench::Register r(QStringLiteral("seek"),
                    QStringLiteral("--folder EXPORT_DIR [--camera ID] [--seeks N] [--steps N] [--seconds S]"), run);
} // namespace
