// zubench transcode --folder EXPORT_DIR [--runs N] [--keep] [--no-caption]
//
// Decodes every frame of the first camera's stream 0 on the first day of an
// export folder (all its files, in order) and encodes it with the export
// encoder as H.264 with the normal-size caption, the way an export runs: one
// thread reads and decodes into a queue of at most 30 pictures, the other
// encodes. Then the ffmpeg command line does the same transcode from the same
// access units (concatenated into a temporary .h264 file first, not timed),
// with the same encoder settings, thread count and a drawtext caption.
// Last line: frames=… project_fps=… ffmpeg_fps=… ratio=… (project over ffmpeg).
#include "zubench.h"

#include "exportfolder.h"
#include "seekfile.h"
#include "videodecoder.h"
#include "zustreamencoder.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {
using zubench::out;

QString findExportRoot(const QString &folder)
{
    const QRegularExpression re(QStringLiteral("^talvor_[a-f0-9]{4}-[a-f0-9]{4}-[a-f0-9]{4}-[a-f0-9]{4}$"));
    const QDir dir(folder);
    if (re.match(dir.dirName()).hasMatch())
        return dir.absolutePath();
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        if (re.match(name).hasMatch())
            return dir.absoluteFilePath(name);
    return {};
}

struct Unit {
    QByteArray bytes;
    QString timestamp;
};

// The first day's files of the lowest camera id, in time order, and their
// stream-0 access units.
bool collectUnits(const QString &root, QList<Unit> &units, QString &camera, double &fps)
{
    const QStringList days = QDir(root).entryList({QStringLiteral("[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]")},
                                                  QDir::Dirs, QDir::Name);
    if (days.isEmpty())
        return false;
    const QDir day(QDir(root).absoluteFilePath(days.first()));
    QMap<int, QStringList> byCamera; // camera id -> data files in time order
    for (const QString &segment : day.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir seg(day.absoluteFilePath(segment));
        for (const QString &name : seg.entryList({QStringLiteral("*.zuvideo")}, QDir::Files, QDir::Name)) {
            int id = -1;
            if (ZuExportFolder::parseRecordingName(name, &id, nullptr, nullptr))
                byCamera[id].append(seg.absoluteFilePath(name));
        }
    }
    if (byCamera.isEmpty())
        return false;
    camera = QString::number(byCamera.firstKey());
    QSet<QString> seconds;
    for (const QString &data : byCamera.first()) {
        const ZuSeekFile::Result r = ZuSeekFile::parse(ZuSeekFile::seekPathFor(data), data, QStringLiteral("0"));
        QFile f(data);
        if (!r.ok || !f.open(QIODevice::ReadOnly))
            return false;
        for (const ZuFrame &frame : r.frames) {
            if (!f.seek(frame.offset))
                return false;
            Unit u{f.read(frame.size), frame.timestamp};
            if (u.bytes.size() != frame.size)
                return false;
            seconds.insert(frame.timestamp.left(14));
            units.append(u);
        }
    }
    fps = seconds.isEmpty() ? 25.0 : double(units.size()) / seconds.size();
    return !units.isEmpty();
}

// The export pipeline: a decoding thread feeding a bounded queue, the
// encoder on this thread. Returns the seconds taken, -1 on failure.
double runProject(const QList<Unit> &units, const QString &camera, int fps, const QString &output, bool caption)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<AVFrame *> queue;
    bool producerDone = false;
    bool failed = false;
    const size_t maxQueue = 30;

    QElapsedTimer timer;
    timer.start();
    std::thread producer([&] {
        VideoDecoder decoder;
        if (!decoder.open(QStringLiteral("h264"))) {
            std::lock_guard<std::mutex> lock(mutex);
            failed = producerDone = true;
            changed.notify_all();
            return;
        }
        for (const Unit &u : units) {
            AVFrame *picture = decoder.decode(u.bytes);
            std::unique_lock<std::mutex> lock(mutex);
            if (!picture) {
                failed = true;
                break;
            }
            changed.wait(lock, [&] { return queue.size() < maxQueue || failed; });
            queue.push_back(picture);
            changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex);
        producerDone = true;
        changed.notify_all();
    });

    ZuStreamEncoder encoder;
    bool open = false;
    int index = 0;
    for (;;) {
        AVFrame *picture = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !queue.empty() || producerDone; });
            if (queue.empty())
                break;
            picture = queue.front();
            queue.pop_front();
            changed.notify_all();
        }
        if (!open) {
            open = encoder.init_encoder(output, QStringLiteral("libx264"), 2048, fps, picture->width, picture->height,
                                        caption, QStringLiteral("normal"), picture->format);
            if (!open) {
                av_frame_free(&picture);
                std::lock_guard<std::mutex> lock(mutex);
                failed = true;
                changed.notify_all();
                break;
            }
        }
        const Unit &u = units.at(index);
        if (!encoder.encodeFrame(picture, picture->width, picture->height, u.timestamp, camera, index))
            failed = true;
        ++index;
        av_frame_free(&picture);
    }
    producer.join();
    for (AVFrame *f : queue)
        av_frame_free(&f);
    if (!open || !encoder.end_encoding() || failed || index != units.size())
        return -1.0;
    return timer.nsecsElapsed() / 1e9;
}
} // namespace

static int transcode(const QStringList &args)
{
    const QString folder = zubench::option(args, QStringLiteral("folder"));
    if (folder.isEmpty()) {
        return 2;
    }
    const QString root = findExportRoot(folder);
    if (root.isEmpty()) {
        out() << "no export folder in " << folder << '\n';
        return 1;
    }
    av_log_set_level(AV_LOG_ERROR);
    QList<Unit> units;
    QString cameraId;
    double measuredFps = 0;
    if (!collectUnits(root, units, cameraId, measuredFps)) {
        out() << "cannot read the first camera's recordings in " << root << '\n';
        return 1;
    }
    const int fps = qMax(1, qRound(measuredFps));
    QTemporaryDir work;
    if (args.contains(QStringLiteral("--keep")))
        work.setAutoRemove(false);
    const QString raw = work.filePath(QStringLiteral("input.h264"));
    {
        QFile f(raw);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        for (const Unit &u : units)
            f.write(u.bytes);
    }
    out() << "camera " << cameraId << ": " << units.size() << " frames at " << fps << " fps, work folder "
          << work.path() << '\n';
    out().flush();

    const QString label = QStringLiteral("Camera ") + cameraId;
    // The machine is shared: the two transcodes take turns and each keeps
    // its best run.
    const int runs = qBound(1, zubench::option(args, QStringLiteral("runs"), QStringLiteral("3")).toInt(), 20);
    const bool caption = !args.contains(QStringLiteral("--no-caption"));
    // The same settings the export encoder uses for libx264, and a caption of
    // the same size and look, with a time text that changes every frame.
    const int fontSize = ZuStreamEncoder::captionPixelSize(720, QStringLiteral("normal"));
    const QString drawtext =
        QStringLiteral("drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf:fontsize=%1"
                       ":fontcolor=white:box=1:boxcolor=black@0.6:boxborderw=%2:x=12:y=12"
                       ":text='%3 | 05/03/2024 %{pts\\:hms}'")
            .arg(fontSize)
            .arg(qMax(2, fontSize / 4))
            .arg(label);
    QStringList ffmpegArgs = {
        QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
        QStringLiteral("-y"), QStringLiteral("-framerate"), QString::number(fps), QStringLiteral("-f"),
        QStringLiteral("h264"), QStringLiteral("-i"), raw};
    if (caption)
        ffmpegArgs << QStringLiteral("-vf") << drawtext;
    ffmpegArgs << QStringLiteral("-c:v") << QStringLiteral("libx264") << QStringLiteral("-preset")
               << QStringLiteral("veryfast") << QStringLiteral("-crf") << QStringLiteral("23") << QStringLiteral("-g")
               << QString::number(2 * fps) << QStringLiteral("-bf") << QStringLiteral("0") << QStringLiteral("-threads")
               << QStringLiteral("0") << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p")
               << work.filePath(QStringLiteral("ffmpeg.mp4"));
    double projectSeconds = -1.0, ffmpegSeconds = -1.0;
    for (int run = 0; run < runs; ++run) {
        const double p = runProject(units, label, fps, work.filePath(QStringLiteral("project.mp4")), caption);
        if (p <= 0) {
            out() << "project transcode failed\n";
            return 1;
        }
        const double f = zubench::timeProcess(QStringLiteral("ffmpeg"), ffmpegArgs);
        if (f <= 0) {
            out() << "ffmpeg transcode failed\n";
            return 1;
        }
        out() << QStringLiteral("run %1: project_s=%2 ffmpeg_s=%3\n").arg(run + 1).arg(p, 0, 'f', 3).arg(f, 0, 'f', 3);
        out().flush();
        projectSeconds = projectSeconds < 0 ? p : qMin(projectSeconds, p);
        ffmpegSeconds = ffmpegSeconds < 0 ? f : qMin(ffmpegSeconds, f);
    }
    const double projectFps = units.size() / projectSeconds;
    const double ffmpegFps = units.size() / ffmpegSeconds;
    out() << QStringLiteral("frames=%1 project_fps=%2 ffmpeg_fps=%3 ratio=%4\n")
                 .arg(units.size())
                 .arg(projectFps, 0, 'f', 1)
                 .arg(ffmpegFps, 0, 'f', 1)
                 .arg(projectFps / ffmpegFps, 0, 'f', 3);
    return 0;
}

static zubench::Register registerTranscode(QStringLiteral("transcode"),
                                           QStringLiteral("--folder EXPORT_DIR [--runs N] [--keep] [--no-caption]"),
                                           transcode);
