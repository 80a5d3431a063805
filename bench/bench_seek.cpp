// zubench seek --folder EXPORT_DIR [--seeks N] [--steps N] [--seconds S]
//               [--seconds1x S] [--launches N] [--cache-mb MB]
//
// Playback figures of the player's main window (the QML side panel and
// timeline view beside and under the video surface), built as the program
// builds it, at its default size on a virtual 1920x1080 screen (Xvfb: the
// benchmark runs itself again there), on the camera and stream the window
// opens by itself in the export folder (for the targets, one made with
// --size 1920x1080 --fps 25 --gop 4 and two files or more a camera).
// --cache-mb sets the engine's memory limit instead of its own default.
//   first_picture_ms  launch of the program (a copy of it beside the export
//                     folder, so that it opens the folder itself) to the
//                     first picture on the screen, median of --launches runs
//   painted_fps_1x    pictures painted per second playing at rate 1 for
//                     --seconds1x seconds (default 10) from the first
//                     picture the window shows
//   max_gap_1x_ms     the largest gap between two pictures painted then,
//                     the first one included
//   cpu_s_per_min_1x  processor time of the process per minute of that run
//   rss_peak_mb_1x    peak resident memory during that run
//   seek_ms           median time from a seek to a random time until its
//                     picture is emitted (the first key frame at or after it);
//                     the surface paints each picture as it is emitted, so
//                     this and the step times below include that paint
//   backstep_ms       median time of one backward frame step
//   backstep_p99_ms   99th percentile and largest time of a backward step,
//   backstep_max_ms   over --steps steps (default 300) paced as a held key
//                     repeats (every 40 ms), from a seek to the start of the
//                     second file: the first step goes into the file before,
//                     the others cross several groups of pictures
//   first_backstep_ms the first backward step right after a jump to a group's
//                     first picture (the group before must be decoded),
//                     median over a few jumps
//   fps_at_8x         recorded frames passed per second of wall time at rate
//                     8 (the clock: 8 times the recorded frame rate)
//   shown_fps_8x      pictures painted per second of wall time at rate 8 and
//   shown_fps_minus8x at rate -8; each run crosses the boundary between the
//                     first two files halfway
//   max_gap_ms        the largest gap between two pictures painted at either
//                     rate, the first one counted from the start of playing
//   gui_block_ms      the longest time the GUI thread did not return to its
//                     event loop while playing at either rate
//   paint_ms_p99      99th percentile of the time the window takes to paint
//                     and put on the screen a new picture (the whole window's
//                     repaint, composition included), all runs
//   ffmpeg_decode_fps the ffmpeg command line decoding the same access units
//                     with its default threads
//   ffplay_*          ffplay (software renderer) playing the same access units
//                     on the same screen: first_picture_ms (median of
//                     --launches), cpu_s_per_min_1x and rss_peak_mb over
//                     --seconds1x seconds from its first picture
// The lines before the last give the details.
#include "zubench.h"
#include "benchscreen.h"

#include "canvas.h"
#include "dayscan.h"
#include "exportfolder.h"
#include "seekfile.h"
#include "zu_player_qmlpresentation.h"
#include "zufolderdialog.h"
#include "zuplayerinterfacecontroller.h"
#include "zustartup.h"
#include "zustreamreadandcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QQuickWindow>
#include <QSet>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <memory>

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

QString stampOf(qint64 msOfDay, const QString &date)
{
    return date + QTime::fromMSecsSinceStartOfDay(int(msOfDay)).toString(QStringLiteral("HHmmsszzz"));
}

// The access units of stream `stream` of `files`, back to back in `path`; their count.
int writeStream(const QStringList &files, const QString &stream, const QString &path)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return 0;
    int count = 0;
    for (const QString &data : files) {
        QFile in(data);
        if (!in.open(QIODevice::ReadOnly))
            continue;
        for (const ZuFrame &f : ZuSeekFile::parse(ZuSeekFile::seekPathFor(data), data, stream).frames) {
            if (f.type != QLatin1String("video"))
                continue;
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

// The window's repaints: a repaint of the top-level window paints its dirty
// widgets, composes the window and puts it on the screen. Counted are those
// that painted a picture the surface had not painted before: their time and
// the gaps between them.
class PaintWatch : public QObject
{
public:
    PaintWatch(QWidget *window, Canvas *canvas) : m_window(window), m_canvas(canvas)
    {
        window->installEventFilter(this);
        canvas->installEventFilter(this);
        m_clock.start();
    }
    void watchHandle()
    {
        if (QWindow *handle = m_window->windowHandle(); handle && handle != m_handle) {
            m_handle = handle;
            handle->installEventFilter(this);
        }
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_canvas) {
            if (event->type() != QEvent::Paint || m_canvas->receivedFrames() == m_lastReceived || m_inCanvas)
                return false;
            m_lastReceived = m_canvas->receivedFrames();
            m_newPicture = true;
            m_inCanvas = true;
            const qint64 start = m_clock.nsecsElapsed();
            static_cast<QObject *>(m_canvas)->event(event);
            if (m_recording)
                m_surfaceTimes.push_back((m_clock.nsecsElapsed() - start) / 1e6);
            m_inCanvas = false;
            return true;
        }
        if (event->type() != QEvent::UpdateRequest || m_inside)
            return false;
        m_inside = true;
        m_newPicture = false;
        const qint64 start = m_clock.nsecsElapsed();
        watched->event(event);
        const qint64 end = m_clock.nsecsElapsed();
        m_inside = false;
        if (!m_newPicture)
            return true;
        if (m_recording)
            m_times.push_back((end - start) / 1e6);
        ++m_new;
        if (m_gaps && m_lastNew >= 0 && (end - m_lastNew) / 1e6 > m_longestGap) {
            m_longestGap = (end - m_lastNew) / 1e6;
            m_gapEnd = (end - m_gapsFrom) / 1e6;
            m_gapBefore = m_canvas->currentTimestamp();
        }
        m_lastNew = end;
        if (m_firstAt < 0)
            m_firstAt = end;
        return true;
    }
    qint64 newPictures() const { return m_new; }
    const std::vector<double> &times() const { return m_times; }
    // The surface's own paint of those pictures.
    const std::vector<double> &surfaceTimes() const { return m_surfaceTimes; }
    void record(bool on) { m_recording = on; }
    // Gaps from now (the first one from now when `fromNow`).
    void trackGaps(bool on, bool fromNow = false)
    {
        m_gaps = on;
        m_gapsFrom = m_clock.nsecsElapsed();
        m_lastNew = fromNow ? m_gapsFrom : -1;
        m_longestGap = 0;
    }
    double longestGapMs() const { return m_longestGap; }
    // Where it ended: ms from the start of tracking, and the picture after it.
    QString longestGapPlace() const { return QStringLiteral("%1 ms in, before %2").arg(m_gapEnd).arg(m_gapBefore); }
    double firstPictureMs() const { return m_firstAt / 1e6; } // on clock(), -1e-6 before
    const QElapsedTimer &clock() const { return m_clock; }

private:
    QWidget *m_window;
    Canvas *m_canvas;
    QWindow *m_handle = nullptr;
    QElapsedTimer m_clock;
    bool m_inside = false;
    bool m_inCanvas = false;
    bool m_newPicture = false;
    bool m_gaps = false;
    bool m_recording = true;
    std::vector<double> m_times;
    std::vector<double> m_surfaceTimes;
    qint64 m_lastReceived = 0;
    qint64 m_new = 0;
    qint64 m_lastNew = -1;
    qint64 m_firstAt = -1;
    double m_longestGap = 0;
    qint64 m_gapsFrom = 0;
    double m_gapEnd = 0;
    QString m_gapBefore;
};

// Time the QML windows spend on their frames (scene synchronisation and
// rendering, on whichever thread renders them), and their number.
class QmlWatch
{
public:
    void watchAll()
    {
        for (QWindow *w : QGuiApplication::allWindows()) {
            auto *quick = qobject_cast<QQuickWindow *>(w);
            if (!quick || m_watched.contains(quick))
                continue;
            m_watched.insert(quick);
            auto start = std::make_shared<std::atomic<qint64>>(-1);
            QObject::connect(quick, &QQuickWindow::beforeSynchronizing, quick,
                             [this, start] { start->store(m_clock.nsecsElapsed()); }, Qt::DirectConnection);
            QObject::connect(quick, &QQuickWindow::afterRendering, quick, [this, start] {
                qint64 expected = -1;
                m_firstFrameNs.compare_exchange_strong(expected, m_clock.nsecsElapsed());
                const qint64 s = start->exchange(-1);
                if (s >= 0) {
                    m_ns += m_clock.nsecsElapsed() - s;
                    ++m_frames;
                }
            }, Qt::DirectConnection);
        }
    }
    // `clock` measures the frames' times.
    explicit QmlWatch(const QElapsedTimer &clock) : m_clock(clock) {}
    double ms() const { return m_ns.load() / 1e6; }
    // When the first of them had its first frame, on the clock; -1 before.
    double firstFrameMs() const { return m_firstFrameNs.load() / 1e6; }
    qint64 frames() const { return m_frames.load(); }

private:
    QElapsedTimer m_clock;
    QSet<QQuickWindow *> m_watched;
    std::atomic<qint64> m_ns{0};
    std::atomic<qint64> m_frames{0};
    std::atomic<qint64> m_firstFrameNs{-1};
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

// Runs the event loop until `done` or for `ms` at most, sleeping while
// nothing happens (processEvents() with a time limit would spin, and its
// processor time would count as the player's).
template <typename Done>
bool waitUntil(Done done, int ms)
{
    QEventLoop loop;
    QElapsedTimer t;
    t.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() >= ms)
            loop.quit();
    });
    poll.start(5);
    if (!done())
        loop.exec();
    return done();
}

void settle(int ms)
{
    waitUntil([] { return false; }, ms);
}

// Part of the screen inside the video area, away from the texts the
// surface shows before a picture: the picture is there when it has colours.
const QRect kPlayerPictureArea(500, 100, 400, 300);

// Launch to first picture of the program itself, run from a copy beside the
// export folder as a user would start it; -1 when it shows none.
double launchPlayer(const QString &root)
{
    const QString program = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../zuplayer"));
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("zuplayer"));
    if (!QFile::copy(program, exe) || !QFile::link(root, dir.filePath(QFileInfo(root).fileName())))
        return -1;
    QFile::setPermissions(exe, QFile::permissions(exe) | QFileDevice::ExeOwner);
    QProcess app;
    app.setStandardOutputFile(QProcess::nullDevice());
    app.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer since;
    since.start();
    app.start(exe, {});
    const double ms = app.waitForStarted(30000) ? benchscreen::waitForPicture(app, since, kPlayerPictureArea) : -1;
    benchscreen::stop(app);
    return ms;
}

struct OtherPlayer {
    double firstPictureMs = -1;
    double cpuPerMin = -1;
    double rssPeakMb = -1;
};

// ffplay with its software renderer on `stream` (raw H.264 at `fps`): its
// first picture and, when `seconds` > 0, its processor time and memory over
// that long from its first picture.
OtherPlayer runFfplay(const QString &stream, const QSize &size, double fps, double seconds)
{
    OtherPlayer r;
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SDL_RENDER_DRIVER"), QStringLiteral("software"));
    env.insert(QStringLiteral("SDL_VIDEODRIVER"), QStringLiteral("x11"));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    app.setProcessEnvironment(env);
    app.setStandardOutputFile(QProcess::nullDevice());
    app.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer since;
    since.start();
    app.start(QStringLiteral("ffplay"), {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                                         QStringLiteral("-an"), QStringLiteral("-autoexit"), QStringLiteral("-left"),
                                         QStringLiteral("0"), QStringLiteral("-top"), QStringLiteral("0"), QStringLiteral("-f"),
                                         QStringLiteral("h264"), QStringLiteral("-framerate"), QString::number(fps),
                                         QStringLiteral("-i"), stream});
    if (!app.waitForStarted(30000))
        return r;
    // Its window is as large as the picture (within the screen), at the
    // screen's top left: the middle of it.
    const QSize shown = size.boundedTo(QSize(1920, 1080));
    r.firstPictureMs = benchscreen::waitForPicture(
        app, since, QRect(shown.width() / 4, shown.height() / 4, qMax(1, shown.width() / 2), qMax(1, shown.height() / 2)));
    if (r.firstPictureMs >= 0 && seconds > 0) {
        const double cpu0 = benchscreen::processorSeconds(app.processId());
        QElapsedTimer wall;
        wall.start();
        QThread::msleep(qint64(seconds * 1000));
        const double cpu1 = benchscreen::processorSeconds(app.processId());
        r.rssPeakMb = benchscreen::peakMemoryMb(app.processId());
        if (cpu0 >= 0 && cpu1 >= 0)
            r.cpuPerMin = (cpu1 - cpu0) / (wall.nsecsElapsed() / 1e9) * 60.0;
    }
    benchscreen::stop(app);
    return r;
}

int runOnScreen(const QStringList &args)
{
    QTextStream &out = zubench::out();
    const QString root = findRoot(zubench::option(args, QStringLiteral("folder")));
    const int seeks = qMax(1, zubench::option(args, QStringLiteral("seeks"), QStringLiteral("40")).toInt());
    const int steps = qMax(1, zubench::option(args, QStringLiteral("steps"), QStringLiteral("300")).toInt());
    const double seconds = qMax(1.0, zubench::option(args, QStringLiteral("seconds"), QStringLiteral("6")).toDouble());
    const double seconds1x = qMax(1.0, zubench::option(args, QStringLiteral("seconds1x"), QStringLiteral("10")).toDouble());
    const int launches = qMax(1, zubench::option(args, QStringLiteral("launches"), QStringLiteral("3")).toInt());
    {
        // The page cache holds the folder, as after the program's first run.
        QStringList all;
        QDirIterator it(root, {QStringLiteral("*.zuvideo"), QStringLiteral("*.zuseek")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            all.append(it.next());
        zubench::readFiles(all);
    }

    {
        // The reading of the day the window opens, on its own.
        const QStringList days = QDir(root).entryList({QStringLiteral("\?\?\?\?-\?\?-\?\?")}, QDir::Dirs, QDir::Name);
        if (!days.isEmpty()) {
            QElapsedTimer scanClock;
            scanClock.start();
            const std::shared_ptr<ZuDayScan> scan = ZuDayScan::scan(root + QLatin1Char('/') + days.last());
            out << "day_scan_ms=" << scanClock.nsecsElapsed() / 1e6 << " recordings=" << scan->videos.size()
                << " cameras=" << scan->cameraNames.size() << "\n";
        }
    }

    // The main window as the program makes it, opening the folder by itself.
    QQuickWindow::setSceneGraphBackend(QStringLiteral("rhi"));
    ZuFolderDialogController::setDefaultSearchStart(QFileInfo(root).absolutePath());
    QElapsedTimer created;
    created.start();
    std::unique_ptr<ZU_Player_qmlpresentation> window = ZuStartup::createMainWindow();
    const double builtMs = created.nsecsElapsed() / 1e6;
    window->controller()->set_message_boxes_enabled(false);
    double camerasMs = -1, selectedMs = -1, emittedMs = -1;
    QObject::connect(window->controller(), &ZuPlayerInferfaceController::camerasForDateReady, window.get(),
                     [&] { camerasMs = camerasMs < 0 ? created.nsecsElapsed() / 1e6 : camerasMs; });
    QObject::connect(window->controller(), &ZuPlayerInferfaceController::selectedCameraChanged, window.get(),
                     [&] { selectedMs = selectedMs < 0 ? created.nsecsElapsed() / 1e6 : selectedMs; });
    QObject::connect(window->controller()->reader(), &ZuStreamReadAndControl::display_picture, window.get(),
                     [&] { emittedMs = emittedMs < 0 ? created.nsecsElapsed() / 1e6 : emittedMs; });
    Canvas *canvas = window->canvas();
    ZuPlayerInferfaceController *controller = window->controller();
    ZuStreamReadAndControl *engine = controller->reader();
    const qint64 cacheMb = zubench::option(args, QStringLiteral("cache-mb"), QStringLiteral("0")).toLongLong();
    if (cacheMb > 0)
        engine->setCacheLimitBytes(cacheMb << 20);
    PaintWatch paints(window.get(), canvas);
    paints.watchHandle();
    QmlWatch qml(created);
    qml.watchAll();
    const qint64 createdAt = paints.clock().nsecsElapsed() - created.nsecsElapsed();
    // From the first picture on: what the window's thread does right after
    // it (the views filling in) holds the second one back.
    paints.trackGaps(true);
    if (!waitUntil([&] { return paints.newPictures() > 0; }, 60000)) {
        out << "error: the window showed no picture of " << root << "\n";
        return 1;
    }
    paints.watchHandle();
    qml.watchAll();
    const double windowFirstMs = (paints.firstPictureMs() * 1e6 - createdAt) / 1e6;

    // Rate 1 from the first picture, as the program plays once started.
    bool ended = false;
    QObject::connect(engine, &ZuStreamReadAndControl::endOfRecordings, engine, [&] { ended = true; });
    const double rssAtFirstMb = benchscreen::residentMemoryMb(QCoreApplication::applicationPid());
    resetPeakMemory();
    const double cpu0 = processorSeconds();
    const qint64 converted0 = engine->convertedFramesTotal();
    const qint64 painted0 = paints.newPictures();
    const double qmlMs0 = qml.ms();
    const qint64 qmlFrames0 = qml.frames();
    QElapsedTimer wall1;
    wall1.start();
    waitUntil([&] { return ended; }, int(seconds1x * 1000));
    const double wall1S = wall1.nsecsElapsed() / 1e9;
    const double cpu1 = processorSeconds() - cpu0;
    const double rssPeakMb = benchscreen::peakMemoryMb(QCoreApplication::applicationPid());
    const double maxGap1 = paints.longestGapMs();
    const QString maxGap1Place = paints.longestGapPlace();
    paints.trackGaps(false);
    const qint64 painted1 = paints.newPictures() - painted0;
    const double paintedFps1 = painted1 / wall1S;
    out << "window=" << window->width() << 'x' << window->height() << " surface=" << canvas->width() << 'x'
        << canvas->height() << " camera=" << controller->selected_camera() << " stream=" << engine->stream_id()
        << " window_first_picture_ms=" << windowFirstMs << " (built " << builtMs << ", cameras " << camerasMs
        << ", camera chosen " << selectedMs << ", picture emitted " << emittedMs << ", views' first frame "
        << qml.firstFrameMs() << ")\n";
    out << "longest_gap_1x_ms=" << maxGap1 << " (" << maxGap1Place << ")\n";
    out << "rss_mb_at_first_picture=" << rssAtFirstMb << " cache_mb_end_1x=" << engine->cacheBytes() / 1048576.0
        << " converted_per_painted_1x=" << (engine->convertedFramesTotal() - converted0) / double(qMax<qint64>(1, painted1))
        << "\n";
    out << "qml_frames_per_picture_1x=" << (qml.frames() - qmlFrames0) / double(qMax<qint64>(1, painted1))
        << " qml_ms_per_picture_1x=" << (qml.ms() - qmlMs0) / double(qMax<qint64>(1, painted1)) << "\n";
    engine->pause();

    const QStringList files = engine->playlist();
    const QString streamId = engine->stream_id();
    const double fps = engine->fps();
    QString shown;
    QSize size;
    QElapsedTimer clock;
    qint64 emittedAt = -1;
    QObject::connect(engine, &ZuStreamReadAndControl::display_picture, engine,
                     [&](const CanvasPicture &p, QString ts) {
                         emittedAt = clock.nsecsElapsed();
                         shown = ts;
                         size = p.fullSize;
                     },
                     Qt::DirectConnection);
    engine->set_read_timestamp(stampOf(0, engine->current_timestamp().left(8)));
    settle(50);
    const QString date = shown.left(8);
    // The recorded span from the first file's first entry to the last file's last.
    const qint64 firstMs = engine->current_ms_of_day();
    engine->set_read_timestamp(stampOf(23 * 3600000LL + 59 * 60000 + 59000, date));
    const qint64 lastMs = engine->current_ms_of_day();
    // The start of the second file: the runs below cross it.
    qint64 boundaryMs = (firstMs + lastMs) / 2;
    if (files.size() > 1) {
        const ZuFrameList second = ZuSeekFile::parse(ZuSeekFile::seekPathFor(files.at(1)), files.at(1), streamId).frames;
        if (!second.isEmpty())
            boundaryMs = QTime::fromString(second.first().timestamp.mid(8, 9), QStringLiteral("HHmmsszzz"))
                             .msecsSinceStartOfDay();
    }
    out << "folder=" << root << " files=" << files.size() << " size=" << size.width() << 'x' << size.height()
        << " fps=" << fps << " cores=" << QThread::idealThreadCount() << "\n";

    // Seeks to random times.
    QRandomGenerator rng(20240305);
    std::vector<double> seekMs;
    for (int i = 0; i < seeks; ++i) {
        const qint64 target = firstMs + qint64(rng.bounded(double(qMax<qint64>(1, lastMs - firstMs))));
        emittedAt = -1;
        clock.start();
        engine->set_read_timestamp(stampOf(target, date).left(14));
        if (emittedAt >= 0)
            seekMs.push_back(emittedAt / 1e6);
        settle(20);
    }

    // The first step back right after a jump to a group's first picture,
    // away from the files' ends.
    std::vector<double> firstStepMs;
    for (int i = 0; i < 5; ++i) {
        const qint64 target = firstMs + (lastMs - firstMs) * (i + 1) / 7;
        engine->set_read_timestamp(stampOf(target, date).left(14));
        emittedAt = -1;
        clock.start();
        if (engine->read_and_display_previous_frame(false) && emittedAt >= 0)
            firstStepMs.push_back(emittedAt / 1e6);
        settle(100);
    }

    // Backward steps from the start of the second file, as a held key
    // repeats a moment after the seek.
    engine->set_read_timestamp(stampOf(boundaryMs, date));
    settle(200);
    std::vector<double> stepMs;
    const QString stepFile = engine->current_file();
    for (int i = 0; i < steps; ++i) {
        emittedAt = -1;
        clock.start();
        if (!engine->read_and_display_previous_frame(false))
            break;
        if (emittedAt >= 0)
            stepMs.push_back(emittedAt / 1e6);
        if (emittedAt / 1e6 > 20 || i == 0)
            out << (i == 0 ? "first_step" : "slow_step") << "=" << i << " at=" << shown << " ms=" << emittedAt / 1e6
                << (engine->current_file() != stepFile ? " (in the file before)" : "") << "\n";
        settle(40);
    }

    // Rate 8, then -8, for a few seconds each, across the start of the second file.
    LoopWatch watch;
    double shownFps[2] = {0, 0};
    double fpsAt8 = -1;
    double maxGapMs = 0;
    for (int k = 0; k < 2; ++k) {
        const bool forward = k == 0;
        engine->pause();
        const qint64 half = qint64(seconds * 8 * 1000 / 2);
        const qint64 from = forward ? qMax(firstMs, boundaryMs - half) : qMin(lastMs, boundaryMs + half);
        engine->set_read_timestamp(stampOf(from, date).left(14));
        settle(300);
        const qint64 startMs = engine->current_ms_of_day();
        const int cachedBefore = engine->cachedFrames();
        const qint64 painted0k = paints.newPictures();
        const QString file0 = engine->current_file();
        const qint64 decoded0 = engine->decodedFramesTotal();
        const qint64 converted0k = engine->convertedFramesTotal();
        const double qmlMsK = qml.ms();
        const qint64 qmlFramesK = qml.frames();
        ended = false;
        paints.trackGaps(true, true); // the first gap runs from the start of playing
        QElapsedTimer wall;
        wall.start();
        watch.start();
        engine->change_rate(forward ? 8 : -8);
        waitUntil([&] { return ended; }, int(seconds * 1000));
        watch.stop();
        const double wallS = wall.nsecsElapsed() / 1e9;
        engine->pause();
        const double gapMs = paints.longestGapMs();
        const QString gapPlace = paints.longestGapPlace();
        maxGapMs = std::max(maxGapMs, gapMs);
        paints.trackGaps(false);
        const qint64 paintedK = paints.newPictures() - painted0k;
        shownFps[k] = paintedK / wallS;
        out << (forward ? "rate8" : "rate_minus8") << "_from=" << stampOf(startMs, date)
            << " to=" << stampOf(engine->current_ms_of_day(), date)
            << " crossed_file=" << (engine->current_file() != file0 ? "yes" : "no")
            << " cached_before=" << cachedBefore
            << " longest_gap_ms=" << gapMs << " (" << gapPlace << ") converted_per_painted="
            << (engine->convertedFramesTotal() - converted0k) / double(qMax<qint64>(1, paintedK))
            << " qml_ms_per_picture=" << (qml.ms() - qmlMsK) / double(qMax<qint64>(1, paintedK)) << " qml_frames_per_picture="
            << (qml.frames() - qmlFramesK) / double(qMax<qint64>(1, paintedK)) << "\n";
        if (forward) {
            const double recordedS = (engine->current_ms_of_day() - startMs) / 1000.0;
            fpsAt8 = fps > 0 ? recordedS * fps / wallS : -1.0;
            out << "rate8_recorded_seconds=" << recordedS << " wall_seconds=" << wallS
                << " decoded_per_s=" << (engine->decodedFramesTotal() - decoded0) / wallS
                << " target_fps=" << 8 * fps << "\n";
        }
    }
    engine->change_rate(1);
    engine->pause();
    const std::vector<double> paintTimes = paints.times();
    out << "surface_paint_ms_p99=" << percentile(paints.surfaceTimes(), 99)
        << " window_paint_ms_median=" << median(paintTimes) << "\n";
    window.reset();
    settle(200);

    // The same access units for the command-line tools.
    QTemporaryDir tmp;
    const QString stream = tmp.filePath(QStringLiteral("stream.264"));
    const int units = writeStream(files, streamId, stream);
    double ffmpegFps = -1;
    const double ffmpegS = zubench::timeProcess(QStringLiteral("ffmpeg"),
                                                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                                 QStringLiteral("h264"), QStringLiteral("-i"), stream,
                                                 QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    if (ffmpegS > 0)
        ffmpegFps = units / ffmpegS;

    // The program and ffplay launched in turn on the empty screen.
    std::vector<double> launchMs;
    std::vector<double> ffplayLaunchMs;
    OtherPlayer ffplay;
    for (int i = 0; i < launches; ++i) {
        launchMs.push_back(launchPlayer(root));
        const OtherPlayer run = runFfplay(stream, size, fps > 0 ? fps : 25, i == 0 ? seconds1x : 0);
        ffplayLaunchMs.push_back(run.firstPictureMs);
        if (i == 0)
            ffplay = run;
    }
    out << "launches_ms=";
    for (double v : launchMs)
        out << v << ' ';
    out << "ffplay_launches_ms=";
    for (double v : ffplayLaunchMs)
        out << v << ' ';
    out << "\n";

    const auto f = [](double v, int d = 2) { return QString::number(v, 'f', d); };
    out << "seek_ms=" << f(median(seekMs)) << " backstep_ms=" << f(median(stepMs)) << " fps_at_8x=" << f(fpsAt8, 1)
        << " shown_fps_8x=" << f(shownFps[0], 1) << " shown_fps_minus8x=" << f(shownFps[1], 1)
        << " max_gap_ms=" << f(maxGapMs, 1) << " gui_block_ms=" << f(watch.longestMs(), 1)
        << " backstep_p99_ms=" << f(percentile(stepMs, 99)) << " backstep_max_ms=" << f(percentile(stepMs, 100))
        << " first_backstep_ms=" << f(median(firstStepMs))
        << " ffmpeg_decode_fps=" << f(ffmpegFps, 0) << " painted_fps_1x=" << f(paintedFps1, 1)
        << " max_gap_1x_ms=" << f(maxGap1, 1) << " paint_ms_p99=" << f(percentile(paintTimes, 99))
        << " cpu_s_per_min_1x=" << f(cpu1 / wall1S * 60.0, 1) << " rss_peak_mb_1x=" << f(rssPeakMb, 0)
        << " first_picture_ms=" << f(median(launchMs), 0)
        << " ffplay_cpu_s_per_min_1x=" << f(ffplay.cpuPerMin, 1) << " ffplay_rss_peak_mb=" << f(ffplay.rssPeakMb, 0)
        << " ffplay_first_picture_ms=" << f(median(ffplayLaunchMs), 0) << "\n";
    out.flush();
    return 0;
}

int run(const QStringList &args)
{
    QTextStream &out = zubench::out();
    const QString root = findRoot(zubench::option(args, QStringLiteral("folder")));
    if (root.isEmpty()) {
        out << "error: --folder must name an export folder or a folder holding one\n";
        return 2;
    }
    if (benchscreen::onScreen())
        return runOnScreen(args);
    QString error;
    const int code = benchscreen::rerunOnScreen(QStringList{QStringLiteral("seek")} + args, QStringLiteral("1920x1080"),
                                                &error);
    if (code < 0) {
        out << "error: " << error << "\n";
        return 1;
    }
    return code;
}

zubench::Register r(QStringLiteral("seek"),
                    QStringLiteral("--folder EXPORT_DIR [--seeks N] [--steps N] [--seconds S] [--seconds1x S] "
                                   "[--launches N] [--cache-mb MB]"),
                    run);
} // namespace
