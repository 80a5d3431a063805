#pragma once
// Helpers of the export tests: the generated folders, an independent count
// of the frames an export must hold (read straight from the seek files),
// ffprobe, and a blocking run of the export worker.
#include "ff_export.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

namespace etest {

inline QString envOr(const char *name, const char *fallback)
{
    const QByteArray env = qgetenv(name);
    return env.isEmpty() ? QString::fromUtf8(fallback) : QString::fromLocal8Bit(env);
}

inline QString sourceDir() { return envOr("ZU_SOURCE_DIR", ZU_SOURCE_DIR); }
inline QString binaryDir() { return envOr("ZU_BINARY_DIR", ZU_BINARY_DIR); }

// The day folder of the shared generated export folder (read only).
inline QString smallDay()
{
    const QDir small(binaryDir() + QStringLiteral("/testdata/small"));
    const QStringList roots = small.entryList({QStringLiteral("talvor_*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    if (roots.isEmpty())
        return QString();
    return small.filePath(roots.first() + QStringLiteral("/2024-03-05"));
}

// Runs the generator into `out`; returns the day folder or an empty text.
inline QString makeFolder(const QString &out, const QStringList &extra)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("python3"),
            QStringList{sourceDir() + QStringLiteral("/tools/make_export_folder"), QStringLiteral("--out"), out} + extra);
    if (!p.waitForFinished(300000) || p.exitCode() != 0)
        return QString();
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
    return lines.last().trimmed() + QStringLiteral("/2024-03-05");
}

// The camera's data files of a day folder, in time order.
inline QList<QFileInfo> cameraFiles(const QString &day, int camera)
{
    QList<QFileInfo> files;
    const QStringList segments = QDir(day).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &segment : segments) {
        const QDir dir(day + QLatin1Char('/') + segment);
        for (const QString &name : dir.entryList({QStringLiteral("%1_*.zuvideo").arg(camera)}, QDir::Files, QDir::Name))
            files.append(QFileInfo(dir.filePath(name)));
    }
    return files;
}

struct SeekLine {
    QString timestamp;
    QString stream;
    bool key = false;
};

inline QList<SeekLine> seekLines(const QList<QFileInfo> &files, const QString &stream)
{
    QList<SeekLine> out;
    for (const QFileInfo &fi : files) {
        QString seek = fi.absoluteFilePath();
        seek.replace(QStringLiteral(".zuvideo"), QStringLiteral(".zuseek"));
        QFile f(seek);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &raw : f.readAll().split('\n')) {
            const QList<QByteArray> fields = raw.trimmed().split(':');
            if (fields.size() != 6 || QString::fromLatin1(fields.at(1)) != stream)
                continue;
            out.append({QString::fromLatin1(fields.at(0)), QString::fromLatin1(fields.at(1)), fields.at(4) == "1"});
        }
    }
    return out;
}

// Frames from the first key frame at or after `begin` to the first entry at
// or after `end`, both included; 0 when the range holds no key frame.
inline int expectedFrames(const QList<SeekLine> &lines, const QString &begin, const QString &end,
                          QString *firstTimestamp = nullptr)
{
    auto tod = [](const SeekLine &l) { return l.timestamp.mid(8, 6); };
    int first = -1;
    for (int i = 0; i < lines.size(); ++i)
        if (tod(lines[i]) >= begin && tod(lines[i]) < end) {
            first = i;
            break;
        }
    if (first < 0)
        return 0;
    int last = int(lines.size()) - 1;
    for (int i = first + 1; i < lines.size(); ++i)
        if (tod(lines[i]) >= end) {
            last = i;
            break;
        }
    for (int k = first; k <= last; ++k)
        if (lines[k].key) {
            if (firstTimestamp)
                *firstTimestamp = lines[k].timestamp;
            return last - k + 1;
        }
    return 0;
}

struct Probe {
    bool ok = false;
    QString codec;
    int width = 0;
    int height = 0;
    int frames = -1;
};

inline Probe probe(const QString &path)
{
    Probe p;
    QProcess proc;
    proc.start(QStringLiteral("ffprobe"),
               {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                QStringLiteral("stream=codec_name,width,height,nb_read_frames"), QStringLiteral("-of"),
                QStringLiteral("json"), path});
    if (!proc.waitForFinished(60000) || proc.exitCode() != 0)
        return p;
    const QJsonArray streams =
        QJsonDocument::fromJson(proc.readAllStandardOutput()).object().value(QStringLiteral("streams")).toArray();
    if (streams.isEmpty())
        return p;
    const QJsonObject s = streams.first().toObject();
    p.codec = s.value(QStringLiteral("codec_name")).toString();
    p.width = s.value(QStringLiteral("width")).toInt();
    p.height = s.value(QStringLiteral("height")).toInt();
    p.frames = s.value(QStringLiteral("nb_read_frames")).toString().toInt();
    p.ok = true;
    return p;
}

// What one run of the worker reported.
struct Run {
    int endings = 0;
    QList<int> errors;
    QList<int> values;
    QStringList timestamps;
    bool finished = false;
};

// Configures and runs a worker to its end (or `timeoutMs`); `onFrame` is
// called on the GUI thread for each encoded frame.
inline Run runExport(const QList<QFileInfo> &files, const QString &begin, const QString &end, const QString &codec,
                     const QString &out, std::function<void(ff_export *, int)> onFrame = {},
                     int timeoutMs = 120000)
{
    Run r;
    auto *worker = new ff_export;
    worker->set_files(files);
    worker->set_begin_time(begin);
    worker->set_end_time(end);
    worker->set_stream_id(QStringLiteral("0"));
    worker->set_camera_names({{3, QStringLiteral("Entrée principale")}, {12, QStringLiteral("Parking")}});
    worker->configure(out, codec, 2048, true, QStringLiteral("normal"));
    QObject ctx;
    QObject::connect(worker, &ff_export::endingsignal, &ctx, [&] { ++r.endings; });
    QObject::connect(worker, &ff_export::error, &ctx, [&](int code) { r.errors.append(code); });
    QObject::connect(worker, &ff_export::valueChanged, &ctx, [&](int v) { r.values.append(v); });
    QObject::connect(worker, &ff_export::frame_downloaded_encoded, &ctx, [&](const QString &ts, const QString &) {
        r.timestamps.append(ts);
        if (onFrame)
            onFrame(worker, int(r.timestamps.size()));
    });
    QObject::connect(worker, &QThread::finished, &ctx, [&] { r.finished = true; });
    worker->start();
    QElapsedTimer t;
    t.start();
    while (!r.finished && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // Queued signals emitted just before the end.
    QCoreApplication::processEvents();
    delete worker;
    return r;
}

} // namespace etest
