// zubench raw --folder EXPORT_DIR --day yyyy-MM-dd --camera ID
//             --begin HHmmss --end HHmmss --out DIR [--make-mb N] [--runs N]
//
// Picks the camera's files of the range as the export dialog does, runs the
// raw export headless into DIR, then copies the same files (data, seek and
// every camera list of the export folder) with one `cp --parents` into DIR
// too. Both read from a warm page cache (every source is read once first);
// each side runs --runs times (default 2) and its best time counts. The two
// copies are compared with `diff -r` and removed.
// With --make-mb N a synthetic export folder of about N MiB (one camera,
// 64 MiB data files with plausible seek files) is written under DIR first
// and used instead of --folder.
// Last line: result=OK|FAIL bytes=… project_s=… cp_s=… ratio=…
// (ratio = cp time over project time; 1 means as fast as cp).
#include "zubench.h"

#include "popupexport.h"
#include "rawexport.h"

#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTextStream>
#include <QTimeEdit>

namespace {
using zubench::out;

// A synthetic export folder: `count` data files of camera 1 on 2024-03-05,
// ten minutes apart from 10:00:00, each with a seek file of one entry per
// 40 ms whose sizes add up to the data file's size.
QString makeExport(const QString &parent, qint64 totalMb)
{
    const qint64 fileBytes = 64LL * 1024 * 1024;
    const int count = int(qMax<qint64>(1, (totalMb * 1024 * 1024 + fileBytes - 1) / fileBytes));
    const QString root = parent + QStringLiteral("/talvor_0000-0000-0000-0000");
    QRandomGenerator rng(20240305);
    for (int i = 0; i < count; ++i) {
        const QTime start = QTime(10, 0).addSecs(600 * i);
        const QString seg = start.toString(QStringLiteral("HHmmss"));
        const QString folder = root + QStringLiteral("/2024-03-05/") + seg;
        if (!QDir().mkpath(folder))
            return QString();
        const QString base = folder + QStringLiteral("/1_20240305_") + seg;
        QFile data(base + QStringLiteral(".zuvideo"));
        if (!data.open(QIODevice::WriteOnly))
            return QString();
        if (!zubench::writeRandom(data, fileBytes, rng))
            return QString();
        QFile seek(base + QStringLiteral(".zuseek"));
        if (!seek.open(QIODevice::WriteOnly))
            return QString();
        const int entries = 600 * 25;
        const qint64 each = fileBytes / entries;
        const QDateTime t0(QDate(2024, 3, 5), start);
        for (int e = 0; e < entries; ++e) {
            const qint64 size = e + 1 < entries ? each : fileBytes - each * (entries - 1);
            seek.write(QStringLiteral("%1:video0:h264:1920x1080:%2:%3\n")
                           .arg(t0.addMSecs(40LL * e).toString(QStringLiteral("yyyyMMddHHmmsszzz")))
                           .arg(e % 50 == 0 ? 1 : 0)
                           .arg(size)
                           .toLatin1());
        }
        QFile nfo(folder + QLatin1Char('/') + seg + QStringLiteral(".zunfo"));
        if (!nfo.open(QIODevice::WriteOnly) || nfo.write(QByteArray(48, 'n')) != 48)
            return QString();
    }
    return root;
}

int usageFault(const QString &why)
{
    QTextStream(stderr) << "raw: " << why << '\n';
    return 2;
}

int fail(const QString &why)
{
    QTextStream(stderr) << "raw: " << why << '\n';
    out() << "result=FAIL bytes=0 project_s=0 cp_s=0 ratio=0\n";
    return 1;
}

} // namespace

static int benchRaw(const QStringList &args)
{
    const QString outDir = QDir(zubench::option(args, QStringLiteral("out"))).absolutePath();
    QString folder = zubench::option(args, QStringLiteral("folder"));
    QString day = zubench::option(args, QStringLiteral("day"), QStringLiteral("2024-03-05"));
    QString camera = zubench::option(args, QStringLiteral("camera"), QStringLiteral("1"));
    QString begin = zubench::option(args, QStringLiteral("begin"));
    QString end = zubench::option(args, QStringLiteral("end"));
    const int runs = qMax(1, zubench::option(args, QStringLiteral("runs"), QStringLiteral("2")).toInt());
    if (zubench::option(args, QStringLiteral("out")).isEmpty())
        return usageFault(QStringLiteral("--out is required"));
    const qint64 makeMb = zubench::option(args, QStringLiteral("make-mb"), QStringLiteral("0")).toLongLong();
    if (makeMb > 0) {
        folder = makeExport(outDir + QStringLiteral("/source"), makeMb);
        if (folder.isEmpty())
            return fail(QStringLiteral("cannot write the synthetic export folder"));
        day = QStringLiteral("2024-03-05");
        camera = QStringLiteral("1");
        if (begin.isEmpty())
            begin = QStringLiteral("100000");
        if (end.isEmpty())
            end = QStringLiteral("235959");
    }
    folder = QDir(folder).absolutePath();
    const QTime beginTime = QTime::fromString(begin, QStringLiteral("HHmmss"));
    const QTime endTime = QTime::fromString(end, QStringLiteral("HHmmss"));
    if (!QFileInfo(folder).isDir() || !beginTime.isValid() || !endTime.isValid())
        return usageFault(QStringLiteral("need --folder EXPORT_DIR --begin HHmmss --end HHmmss (or --make-mb N)"));

    // The range exactly as the dialog picks it (its icons live in the
    // player's resources, which the benchmark does not carry).
    QLoggingCategory::setFilterRules(QStringLiteral("qt.svg.warning=false"));
    const QString dayFolder = folder + QLatin1Char('/') + day;
    QList<QFileInfo> dayFiles;
    QDirIterator it(dayFolder, {QStringLiteral("*.zuvideo")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        dayFiles.append(QFileInfo(it.next()));
    std::sort(dayFiles.begin(), dayFiles.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    PopupExport dialog(dayFiles, camera.toInt(), QStringLiteral("0"), dayFolder,
                       QDate::fromString(day, QStringLiteral("yyyy-MM-dd")).toString(QStringLiteral("yyyy-MM-dd"))
                           + QStringLiteral(" ") + beginTime.toString(QStringLiteral("HH:mm:ss.zzz")));
    dialog.begin_edit()->setTime(beginTime);
    dialog.end_edit()->setTime(endTime);
    QList<QFileInfo> range;
    if (dialog.select_range(&range) != 0 || range.isEmpty())
        return fail(QStringLiteral("no files in that range"));

    // What gets copied, for the warm-up, the byte count and cp.
    const QString parent = QFileInfo(folder).absolutePath();
    QStringList sources;
    for (const QFileInfo &f : qAsConst(range)) {
        const QString path = f.absoluteFilePath();
        sources << path << path.left(path.size() - 8) + QStringLiteral(".zuseek");
    }
    QDirIterator lists(folder, {QStringLiteral("*.zunfo")}, QDir::Files, QDirIterator::Subdirectories);
    while (lists.hasNext())
        sources << lists.next();
    const qint64 bytes = zubench::readFiles(sources);
    QStringList relative;
    for (const QString &s : qAsConst(sources))
        relative << s.mid(parent.size() + 1);

    double best = -1.0;
    double bestCp = -1.0;
    const QString projectDir = outDir + QStringLiteral("/project");
    const QString cpDir = outDir + QStringLiteral("/cp");
    bool same = true;
    for (int run = 0; run < runs; ++run) {
        QDir(projectDir).removeRecursively();
        QDir(cpDir).removeRecursively();
        if (!QDir().mkpath(projectDir) || !QDir().mkpath(cpDir))
            return fail(QStringLiteral("cannot create the output folders"));

        RawExport worker;
        worker.set_files(range);
        worker.set_output(QFileInfo(projectDir + QStringLiteral("/bench_RAW.talvor")));
        QElapsedTimer t;
        t.start();
        worker.start();
        worker.wait();
        const double s = t.nsecsElapsed() / 1e9;
        if (worker.failures() != 0)
            return fail(QStringLiteral("%1 file(s) not copied").arg(worker.failures()));
        best = best < 0 ? s : qMin(best, s);

        QProcess cp;
        cp.setWorkingDirectory(parent);
        cp.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer tc;
        tc.start();
        cp.start(QStringLiteral("cp"), QStringList{QStringLiteral("--parents"), QStringLiteral("--")} + relative
                                           + QStringList{cpDir});
        if (!cp.waitForFinished(-1) || cp.exitStatus() != QProcess::NormalExit || cp.exitCode() != 0)
            return fail(QStringLiteral("cp failed"));
        const double sc = tc.nsecsElapsed() / 1e9;
        bestCp = bestCp < 0 ? sc : qMin(bestCp, sc);

        same = same && zubench::timeProcess(QStringLiteral("diff"), {QStringLiteral("-r"), projectDir, cpDir}) >= 0;
    }
    QDir(projectDir).removeRecursively();
    QDir(cpDir).removeRecursively();
    if (makeMb > 0)
        QDir(outDir + QStringLiteral("/source")).removeRecursively();

    out() << "files=" << sources.size() << " runs=" << runs << '\n';
    out() << QStringLiteral("result=%1 bytes=%2 project_s=%3 cp_s=%4 ratio=%5\n")
                 .arg(same ? QStringLiteral("OK") : QStringLiteral("FAIL"))
                 .arg(bytes)
                 .arg(best, 0, 'f', 4)
                 .arg(bestCp, 0, 'f', 4)
                 .arg(best > 0 ? bestCp / best : 0.0, 0, 'f', 3);
    out().flush();
    return same ? 0 : 1;
}

static zubench::Register registerRaw(QStringLiteral("raw"),
                                     QStringLiteral("--out DIR (--folder EXPORT_DIR [--day yyyy-MM-dd] [--camera ID] "
                                                    "--begin HHmmss --end HHmmss | --make-mb N) [--runs N]"),
                                     benchRaw);
