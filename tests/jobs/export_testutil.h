#pragma once
// Helpers of the export tests: the generated folder, an independent count
// of the frames an export must hold (read straight from the seek files),
// ffprobe, and a blocking run of the export worker.
#include "ff_export.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

namespace etest {

// The day folder of the shared generated export folder (read only).
inline QString smallDay()
{
    const QDir small(ZU_BINARY_DIR "/testdata/small");
    const QStringList roots = small.entryList({"talvor_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    return roots.isEmpty() ? QString() : small.filePath(roots.first() + "/2024-03-05");
}

// The camera's data files of a day folder, in time order.
inline QList<QFileInfo> cameraFiles(const QString &day, int camera)
{
    QList<QFileInfo> files;
    for (const QString &segment : QDir(day).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir dir(day + '/' + segment);
        for (const QString &name : dir.entryList({QString("%1_*.zuvideo").arg(camera)}, QDir::Files, QDir::Name))
            files.append(QFileInfo(dir.filePath(name)));
    }
    return files;
}

// Stream "video0" of the seek files as (timestamp, key frame) pairs.
inline QList<QPair<QByteArray, bool>> seekLines(const QList<QFileInfo> &files)
{
    QList<QPair<QByteArray, bool>> out;
    for (const QFileInfo &fi : files) {
        QFile f(fi.absoluteFilePath().replace(".zuvideo", ".zuseek"));
        f.open(QIODevice::ReadOnly);
        for (const QByteArray &raw : f.readAll().split('\n')) {
            const QList<QByteArray> fields = raw.trimmed().split(':');
            if (fields.size() == 6 && fields[1] == "video0")
                out.append({fields[0], fields[4] == "1"});
        }
    }
    return out;
}

// Frames from the first key frame at or after `begin` to the first entry at
// or after `end`, both included; 0 when the range holds no key frame.
inline int expectedFrames(const QList<QPair<QByteArray, bool>> &lines, const QString &begin, const QString &end,
                          QString *firstKey = nullptr)
{
    auto tod = [&](int i) { return QString::fromLatin1(lines[i].first.mid(8, 6)); };
    int first = 0;
    while (first < lines.size() && !(tod(first) >= begin && tod(first) < end))
        ++first;
    int last = first + 1;
    while (last < lines.size() && tod(last) < end)
        ++last;
    last = qMin(last, int(lines.size()) - 1);
    for (int k = first; k <= last && first < lines.size(); ++k) {
        if (lines[k].second) {
            if (firstKey)
                *firstKey = QString::fromLatin1(lines[k].first);
            return last - k + 1;
        }
    }
    return 0;
}

struct Probe {
    QString codec;
    int width = 0, height = 0, frames = -1;
};

inline Probe probe(const QString &path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=codec_name,width,height,nb_read_frames", "-of", "json", path});
    p.waitForFinished(60000);
    const QJsonObject s = QJsonDocument::fromJson(p.readAllStandardOutput())["streams"][0].toObject();
    return {s["codec_name"].toString(), s["width"].toInt(), s["height"].toInt(),
            s.isEmpty() ? -1 : s["nb_read_frames"].toString().toInt()};
}

// What one run of the worker reported.
struct Run {
    int endings = 0;
    QList<int> errors, values;
    QStringList timestamps;
    bool finished = false;
};

// Configures and runs a worker to its end; `onFrame` is called on the GUI
// thread for each encoded frame.
inline Run runExport(const QList<QFileInfo> &files, const QString &begin, const QString &end, const QString &codec,
                     const QString &out, std::function<void(ff_export *, int)> onFrame = {})
{
    Run r;
    auto *worker = new ff_export;
    worker->set_files(files);
    worker->set_begin_time(begin);
    worker->set_end_time(end);
    worker->set_stream_id("0");
    worker->set_camera_names({{3, "Entrée principale"}, {12, "Parking"}});
    worker->configure(out, codec, 2048, true, "normal");
    QObject ctx;
    QObject::connect(worker, &ff_export::endingsignal, &ctx, [&] { ++r.endings; });
    QObject::connect(worker, &ff_export::error, &ctx, [&](int code) { r.errors.append(code); });
    QObject::connect(worker, &ff_export::valueChanged, &ctx, [&](int v) { r.values.append(v); });
    QObject::connect(worker, &ff_export::frame_downloaded_encoded, &ctx, [&](const QString &ts) {
        r.timestamps.append(ts);
        if (onFrame)
            onFrame(worker, int(r.timestamps.size()));
    });
    QObject::connect(worker, &QThread::finished, &ctx, [&] { r.finished = true; });
    worker->start();
    (void)QTest::qWaitFor([&] { return r.finished; }, 120000);
    QCoreApplication::processEvents(); // queued signals emitted just before the end
    delete worker;
    return r;
}

} // namespace etest
