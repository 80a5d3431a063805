// zubench export --folder EXPORT_DIR --day yyyy-MM-dd --camera ID --begin HHmmss --end HHmmss
//                --codec NAME --out FILE
//
// Runs the encoded export worker headless, exactly as an export job does
// (its reader thread, its queue and its encoder), on one camera's stream 0
// between two times of one day. EXPORT_DIR is the export folder or a folder
// holding one. Last line: frames=N seconds=S fps=F (wall time from the
// worker's start to the end of its thread).
#include "zubench.h"

#include "ff_export.h"
#include "zufile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTextStream>

namespace {
using zubench::out;

QString exportRoot(const QString &folder)
{
    const QDir dir(folder);
    if (dir.dirName().startsWith(QLatin1String("talvor_")))
        return dir.absolutePath();
    const QStringList roots = dir.entryList({QStringLiteral("talvor_*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    return roots.isEmpty() ? QString() : dir.absoluteFilePath(roots.first());
}

int benchExport(const QStringList &args)
{
    const QString folder = zubench::option(args, QStringLiteral("folder"));
    const QString day = zubench::option(args, QStringLiteral("day"));
    const QString camera = zubench::option(args, QStringLiteral("camera"));
    const QString begin = zubench::option(args, QStringLiteral("begin"));
    const QString end = zubench::option(args, QStringLiteral("end"));
    const QString codec = zubench::option(args, QStringLiteral("codec"), QStringLiteral("libx264"));
    const QString output = zubench::option(args, QStringLiteral("out"));
    if (folder.isEmpty() || day.isEmpty() || camera.isEmpty() || output.isEmpty()) {
        return 2;
    }
    const QString root = exportRoot(folder);
    const QDir dayDir(root + QLatin1Char('/') + day);
    if (root.isEmpty() || !dayDir.exists()) {
        out() << "no day " << day << " in " << folder << '\n';
        return 1;
    }
    QList<QFileInfo> files;
    QHash<int, QString> names;
    for (const QString &segment : dayDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir seg(dayDir.filePath(segment));
        const QHash<int, QString> more = ZuFile::hash_cameras_list(seg.absolutePath());
        for (auto it = more.cbegin(); it != more.cend(); ++it)
            names.insert(it.key(), it.value());
        for (const QString &name : seg.entryList({camera + QStringLiteral("_*.zuvideo")}, QDir::Files, QDir::Name))
            files.append(QFileInfo(seg.filePath(name)));
    }
    if (files.isEmpty()) {
        out() << "no recording of camera " << camera << " on " << day << '\n';
        return 1;
    }
    out() << files.size() << " files of camera " << camera << ", " << begin << " - " << end << ", " << codec << '\n';
    out().flush();

    ff_export worker;
    worker.set_files(files);
    worker.set_begin_time(begin);
    worker.set_end_time(end);
    worker.set_stream_id(QStringLiteral("0"));
    worker.set_camera_names(names);
    worker.configure(output, codec, 2048, true, QStringLiteral("normal"));
    int errorCode = 0;
    int endings = 0;
    QEventLoop loop;
    QObject::connect(&worker, &ff_export::error, &loop, [&](int code) { errorCode = code; });
    QObject::connect(&worker, &ff_export::endingsignal, &loop, [&] { ++endings; });
    QElapsedTimer timer;
    QObject::connect(&worker, &QThread::finished, &loop, &QEventLoop::quit);
    timer.start();
    worker.start();
    loop.exec();
    worker.wait();
    const double seconds = timer.nsecsElapsed() / 1e9;
    QCoreApplication::processEvents();
    if (errorCode != 0 || endings != 1) {
        out() << "export failed with code " << errorCode << '\n';
        return 1;
    }
    const int frames = worker.framesEncoded();
    out() << "encoder idle for want of frames: " << worker.starvedMs() << " ms\n";
    out() << QStringLiteral("frames=%1 seconds=%2 fps=%3\n")
                 .arg(frames)
                 .arg(seconds, 0, 'f', 3)
                 .arg(seconds > 0 ? frames / seconds : 0.0, 0, 'f', 1);
    return 0;
}
} // namespace

static zubench::Register registerExport(QStringLiteral("export"),
                                        QStringLiteral("--folder EXPORT_DIR --day yyyy-MM-dd --camera ID "
                                                       "--begin HHmmss --end HHmmss [--codec NAME] --out FILE"),
                                        benchExport);
