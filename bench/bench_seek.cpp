// zubench seek --folder EXPORT_DIR [--camera ID] [--seeks N] [--steps N] [--seconds S]
//
// Playback engine figures on a generated export folder (meant for one made
// with --size 1280x720 --minutes 2):
//   seek_ms     median time from a seek to a random time until its picture
//               is emitted (the first key frame at or after the time)
//   backstep_ms median time of one backward frame step, stepping back
//               through the recording as a user holding the key would
//   fps_at_8x   recorded frames passed per second of wall time at rate 8
//               (the target is 8 times the recorded frame rate)
// The lines before the last give the details (frames decoded and shown per
// second at rate 8, the recorded frame rate).
#include "zubench.h"

#include "exportfolder.h"
#include "zustreamreadandcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextStream>

#include <algorithm>

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
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

int run(const QStringList &args)
{
    QTextStream out(stdout);
    const QString root = findRoot(zubench::option(args, QStringLiteral("folder")));
    if (root.isEmpty()) {
        out << "error: --folder must name an export folder or a folder holding one\n";
        return 2;
    }
    const int camera = zubench::option(args, QStringLiteral("camera"), QStringLiteral("-1")).toInt();
    const int seeks = qMax(1, zubench::option(args, QStringLiteral("seeks"), QStringLiteral("40")).toInt());
    const int steps = qMax(1, zubench::option(args, QStringLiteral("steps"), QStringLiteral("120")).toInt());
    const double seconds = qMax(1.0, zubench::option(args, QStringLiteral("seconds"), QStringLiteral("6")).toDouble());
    const QStringList files = cameraFiles(root, camera);
    if (files.isEmpty()) {
        out << "error: no video file in " << root << "\n";
        return 2;
    }

    ZuStreamReadAndControl engine;
    QElapsedTimer clock;
    qint64 emittedAt = -1;
    QString shown;
    QSize size;
    QObject::connect(&engine, &ZuStreamReadAndControl::set_display_frame, &engine,
                     [&](uint8_t *, int w, int h, int, QString ts, QString, bool, int, double, bool) {
                         emittedAt = clock.nsecsElapsed();
                         shown = ts;
                         size = QSize(w, h);
                     },
                     Qt::DirectConnection);
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
    out << "folder=" << root << " files=" << files.size() << " size=" << size.width() << 'x' << size.height()
        << " fps=" << fps << "\n";

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
        QCoreApplication::processEvents();
    }

    // Backward steps from the middle of the recording, as a held key does.
    engine.set_read_timestamp(stampOf((firstMs + lastMs) / 2, date).left(14));
    std::vector<double> stepMs;
    for (int i = 0; i < steps; ++i) {
        emittedAt = -1;
        clock.start();
        if (!engine.read_and_display_previous_frame(false))
            break;
        if (emittedAt >= 0)
            stepMs.push_back(emittedAt / 1e6);
        QCoreApplication::processEvents();
    }

    // Rate 8 from the start for a few seconds (or to the end).
    engine.set_read_timestamp(stampOf(firstMs, date).left(14));
    const qint64 startMs = engine.current_ms_of_day();
    const qint64 decoded0 = engine.decodedFrames();
    const qint64 emitted0 = engine.emittedFrames();
    bool ended = false;
    QObject::connect(&engine, &ZuStreamReadAndControl::endOfRecordings, &engine, [&] { ended = true; });
    QElapsedTimer wall;
    wall.start();
    engine.change_rate(8);
    while (!ended && wall.elapsed() < seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double wallS = wall.nsecsElapsed() / 1e9;
    engine.pause();
    const double recordedS = (engine.current_ms_of_day() - startMs) / 1000.0;
    const double fpsAt8 = fps > 0 ? recordedS * fps / wallS : -1.0;
    out << "rate8_recorded_seconds=" << recordedS << " wall_seconds=" << wallS
        << " decoded_per_s=" << (engine.decodedFrames() - decoded0) / wallS
        << " shown_per_s=" << (engine.emittedFrames() - emitted0) / wallS << " target_fps=" << 8 * fps << "\n";
    out << "seek_ms=" << QString::number(median(seekMs), 'f', 2) << " backstep_ms="
        << QString::number(median(stepMs), 'f', 2) << " fps_at_8x=" << QString::number(fpsAt8, 'f', 1) << "\n";
    return 0;
}

zubench::Register r("seek", run);
} // namespace
