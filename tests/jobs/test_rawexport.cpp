// The raw export: placement below the export folder's name, the copy through
// the dialog compared with a tree made by cp, repeated exports into the same
// place, conflicts, missing files and paths without an export folder; never
// into the source, never through a planted link, never a torn copy.
#include "test_popupexport_util.h"

#include "popupexport.h"
#include "rawexport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTimeEdit>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace etest;

namespace {
// The mounts of these tests live in a mount namespace of the test's own, so
// that none shows to other processes or outlives the test. Empty when that
// works, else why not.
QString privateMounts()
{
    static const QString refused = [] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        return QString();
    }();
    return refused;
}

// Unmounts its folder when it goes (before the temporary folder holding it).
struct Mounted {
    QString point;
    ~Mounted()
    {
        if (!point.isEmpty() && ::umount(QFile::encodeName(point).constData()) != 0)
            ::umount2(QFile::encodeName(point).constData(), MNT_DETACH);
    }
};

// A small FAT drive, as evidence arrives on a USB stick, mounted at `point`:
// through a loop device when the kernel has vfat, else through FUSE. Empty
// when mounted, else why not.
QString mountFatDrive(const QString &image, const QString &point)
{
    QString out;
    if (!QDir().mkpath(point) || !run("mkfs.vfat", {"-C", image, "4096"}, &out))
        return "mkfs.vfat (dosfstools): " + out.trimmed();
    QString fuse;
    if (run("mount", {"-t", "vfat", "-o", "loop", image, point}, &out)
        || run("fusefat", {"-o", "rw+", image, point}, &fuse))
        return QString();
    return "mount: " + out.trimmed() + "; fusefat: " + fuse.trimmed();
}

// What one run of the worker reported; `ended` is -1 when it did not end.
struct RawRun {
    int ended = -1;
    QList<int> errors;
    int failures = -1;
};

RawRun rawExport(const QStringList &files, const QString &output)
{
    RawExport worker;
    QList<QFileInfo> infos;
    for (const QString &f : files)
        infos << QFileInfo(f);
    worker.set_files(infos);
    worker.set_output(QFileInfo(output));
    QSignalSpy ended(&worker, &RawExport::endingsignal);
    QSignalSpy errors(&worker, &RawExport::error);
    worker.start();
    RawRun r;
    if (!worker.wait(60000))
        return r;
    r.ended = int(ended.size());
    for (const QList<QVariant> &e : errors)
        r.errors << e.at(0).toInt();
    r.failures = worker.failures();
    return r;
}
} // namespace

class TestRawExport : public QObject
{
    Q_OBJECT

    QString m_export;
    QString m_name; // talvor_…

    // Builds with cp what a raw export of `files` into `target` must hold:
    // each data file with its seek file and every camera list of the export
    // folder, below the export folder's name.
    static bool expectedTree(const QString &exportFolder, const QStringList &files, const QString &target)
    {
        const QString parent = QFileInfo(exportFolder).absolutePath();
        QStringList sources;
        for (const QString &f : files) {
            sources << f;
            sources << f.left(f.size() - QStringLiteral(".zuvideo").size()) + ".zuseek";
        }
        QDirIterator it(exportFolder, {"*.zunfo"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            sources << it.next();
        for (const QString &s : sources) {
            const QString dest = target + s.mid(parent.size());
            if (!QDir().mkpath(QFileInfo(dest).absolutePath()) || !run("cp", {s, dest}))
                return false;
        }
        return true;
    }

    // Every entry below `root` with its size and modification time.
    static QStringList treeState(const QString &root)
    {
        QStringList out;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo fi = it.fileInfo();
            out << QString("%1 %2 %3").arg(fi.filePath().mid(root.size())).arg(fi.size())
                       .arg(fi.lastModified().toMSecsSinceEpoch());
        }
        out.sort();
        return out;
    }

    static bool sameTree(const QString &a, const QString &b, QString *diff)
    {
        return run("diff", {"-r", a, b}, diff);
    }

    // A raw export through the dialog, as the player runs it; returns the
    // number of failures it reported (-1 when it did not end).
    int dialogExport(const QString &exportFolder, const QString &outFile, const QTime &begin, const QTime &end,
                     QList<int> *progress = nullptr, QString *target = nullptr)
    {
        const QString day = dayFolderOf(exportFolder);
        auto *d = new PopupExport(dayVideoFiles(day), 3, "0", day, "2024-03-05 14:00:03.000");
        d->show();
        d->format_combo()->setCurrentIndex(5);
        d->begin_edit()->setTime(begin);
        d->end_edit()->setTime(end);
        d->file_name_edit()->setText(outFile);
        QSignalSpy ended(d, &PopupExport::endingsignal);
        QSignalSpy values(d, &PopupExport::valueChanged);
        d->doExport();
        if (d->isVisible() || !d->raw_worker())
            return -1;
        QPointer<RawExport> worker = d->raw_worker();
        if (!ended.wait(60000) || ended.size() != 1)
            return -1;
        const int failures = d->raw_failures();
        if (target)
            *target = d->get_export_path();
        if (progress) {
            for (const QList<QVariant> &v : values)
                progress->append(v.at(0).toInt());
        }
        // What the controller does on endingsignal().
        d->closeall();
        delete d;
        // The worker releases itself once its thread has ended.
        QDeadlineTimer deadline(10000);
        while (!worker.isNull() && !deadline.hasExpired())
            QTest::qWait(10);
        return worker.isNull() ? failures : -1;
    }

private slots:
    void initTestCase()
    {
        m_export = smallExport();
        QVERIFY2(!m_export.isEmpty(), "no generated export folder under testdata/small");
        m_name = QFileInfo(m_export).fileName();
    }

    void placement()
    {
        const QString rel = "/2024-03-05/140000/3_20240305_140000.zuvideo";
        // Capitals above the export folder and in its own name are kept.
        QCOMPARE(RawExport::destination_for("/home/User/Exports/TALVOR_0a1b" + rel, "/Out"),
                 QString("/Out/TALVOR_0a1b" + rel));
        QCOMPARE(RawExport::destination_for("/home/User/talvor_0a1b" + rel, "/"), QString("/talvor_0a1b" + rel));
        // The nearest export folder counts, not a parent that looks like one.
        QCOMPARE(RawExport::destination_for("/srv/talvor_admin/x/talvor_0a1b" + rel, "/out/"),
                 QString("/out/talvor_0a1b" + rel));
        // No export folder above the file, or a path that climbs out of it.
        for (const char *path : {"/data/talvor_3_20240305_140000.zuvideo", "/data/talvor_1/../../etc/passwd"})
            QCOMPARE(RawExport::destination_for(path, "/out"), QString());
        QCOMPARE(RawExport::destination_for("/data/talvor_1" + rel, QString()), QString());
    }

    void dialogExportMatchesCp()
    {
        QTemporaryDir tmp;
        const QString source = copyExport(m_export, tmp.filePath("Data/Exports"));
        QVERIFY(!source.isEmpty());
        // A second day with only a camera list: it goes along too.
        QVERIFY(QDir().mkpath(source + "/2024-03-06/090000"));
        QVERIFY(QFile::copy(source + "/2024-03-05/140000/140000.zunfo", source + "/2024-03-06/090000/090000.zunfo"));
        const QString out = tmp.filePath("Home/User/Out");
        const QString expected = tmp.filePath("Expected");
        QVERIFY(expectedTree(source, {source + "/2024-03-05/140000/3_20240305_140000.zuvideo",
                                      source + "/2024-03-05/140006/3_20240305_140006.zuvideo"},
                             expected));

        // First export: the range straddles both files of camera 3.
        QList<int> progress;
        QString target;
        QCOMPARE(dialogExport(source, out + "/clip", QTime(14, 0, 3), QTime(14, 0, 8), &progress, &target), 0);
        QCOMPARE(progress, (QList<int>{25, 50, 75, 100}));
        QCOMPARE(target, out);
        QString diff;
        QVERIFY2(sameTree(expected, out, &diff), qPrintable(diff));

        // Second export into the same place: the same files stand there, so
        // nothing fails and nothing changes.
        QCOMPARE(dialogExport(source, out + "/clip", QTime(14, 0, 3), QTime(14, 0, 8)), 0);
        QVERIFY2(sameTree(expected, out, &diff), qPrintable(diff));

        // A destination file with other content is kept, and the export says
        // that one file could not be copied.
        QFile changed(out + "/" + m_name + "/2024-03-05/140006/3_20240305_140006.zuseek");
        QVERIFY(changed.open(QIODevice::Append) && changed.write("mine\n") == 5);
        changed.close();
        QCOMPARE(dialogExport(source, out + "/clip", QTime(14, 0, 3), QTime(14, 0, 8)), 1);
        QVERIFY(!sameTree(expected, out, &diff));
        QVERIFY(diff.contains("3_20240305_140006.zuseek"));
        QCOMPARE(diff.count("diff "), 1);
        QVERIFY(changed.open(QIODevice::ReadOnly) && changed.readAll().endsWith("mine\n"));

        // No temporary file is left behind anywhere.
        QDirIterator it(out, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            QVERIFY2(!it.next().endsWith(".part"), qPrintable(it.filePath()));
    }

    // A missing seek file fails that copy only; recordings copied from a
    // case-insensitive disk ("X.ZUVIDEO") take their "X.ZUSEEK" along; a
    // data file outside any export folder is refused, nothing written.
    void workerEdgeCases()
    {
        QTemporaryDir tmp;
        const QString source = copyExport(m_export, tmp.filePath("Src"));
        QVERIFY(!source.isEmpty());
        const QString first = dayFolderOf(source) + "/140000/3_20240305_140000";
        QVERIFY(QFile::remove(first + ".zuseek"));
        RawRun r = rawExport({first + ".zuvideo"}, tmp.filePath("Out/x_RAW.talvor"));
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.errors, QList<int>{1});
        QCOMPARE(r.failures, 1);
        const QString copied = tmp.filePath("Out/") + m_name + "/2024-03-05/140000/3_20240305_140000";
        QVERIFY(QFileInfo::exists(copied + ".zuvideo") && !QFileInfo::exists(copied + ".zuseek"));

        const QString second = dayFolderOf(source) + "/140006/3_20240305_140006";
        QVERIFY(QFile::rename(second + ".zuvideo", second + ".ZUVIDEO"));
        QVERIFY(QFile::rename(second + ".zuseek", second + ".ZUSEEK"));
        r = rawExport({second + ".ZUVIDEO"}, tmp.filePath("Upper/x_RAW.talvor"));
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.failures, 0);
        const QString upper = tmp.filePath("Upper/") + m_name + "/2024-03-05/140006/3_20240305_140006";
        QVERIFY(QFileInfo::exists(upper + ".ZUVIDEO") && QFileInfo::exists(upper + ".ZUSEEK"));

        QVERIFY(QDir().mkpath(tmp.filePath("plain")));
        QVERIFY(QFile::copy(copied + ".zuvideo", tmp.filePath("plain/3_20240305_140000.zuvideo")));
        r = rawExport({tmp.filePath("plain/3_20240305_140000.zuvideo")}, tmp.filePath("Nowhere/x_RAW.talvor"));
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.errors, QList<int>{2});
        QVERIFY(!QFileInfo::exists(tmp.filePath("Nowhere")));
    }

    // A target inside the export folder being read, at any level, behind a
    // link, through another mount of it or spelt in another case on a FAT
    // drive, is refused before anything is written, by the dialog with a
    // message (raw or encoded) and by the worker itself.
    void targetInsideTheSource_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("export root") << "";
        QTest::newRow("day folder") << "/2024-03-05";
        QTest::newRow("segment folder") << "/2024-03-05/140000";
        QTest::newRow("new folder in the export root") << "/Out/Deeper";
        QTest::newRow("link to the day folder") << "link";
        QTest::newRow("bind mount of the export folder") << "bind";
        QTest::newRow("new folder below a bind mount of its parent") << "bind parent";
        QTest::newRow("other case on a FAT drive") << "fat";
    }
    void targetInsideTheSource()
    {
        QFETCH(QString, where);
        QTemporaryDir tmp;
        Mounted mounted;
        QString source;
        QString target;
        if (where == "fat") {
            if (!privateMounts().isEmpty())
                QSKIP(qPrintable("mounting is not permitted here: " + privateMounts()));
            const QString why = mountFatDrive(tmp.filePath("fat.img"), tmp.filePath("Usb"));
            if (!why.isEmpty())
                QSKIP(qPrintable("no FAT drive can be mounted here: " + why));
            mounted.point = tmp.filePath("Usb");
            QVERIFY(run("cp", {"-r", m_export, mounted.point}));
            source = mounted.point + '/' + m_name;
            target = mounted.point + '/' + m_name.toUpper() + "/2024-03-05";
            QVERIFY(QFileInfo(target).isDir()); // the drive finds it in any case
        } else {
            source = copyExport(m_export, tmp.filePath("Src"));
            target = source + where;
        }
        QVERIFY(!source.isEmpty());
        if (where == "link") {
            target = tmp.filePath("Link");
            QVERIFY(QFile::link(dayFolderOf(source), target));
        } else if (where.startsWith("bind")) {
            if (!privateMounts().isEmpty())
                QSKIP(qPrintable("mounting is not permitted here: " + privateMounts()));
            const bool parent = where == "bind parent";
            const QString point = tmp.filePath("Bind");
            QVERIFY(QDir().mkpath(point));
            const QString from = parent ? tmp.filePath("Src") : source;
            if (::mount(QFile::encodeName(from).constData(), QFile::encodeName(point).constData(), nullptr, MS_BIND,
                        nullptr) != 0)
                QSKIP(qPrintable("bind mounts are not permitted here: " + QString::fromLocal8Bit(std::strerror(errno))));
            mounted.point = point;
            target = parent ? point + '/' + m_name + "/Out" : point + "/2024-03-05";
        }
        const QStringList before = treeState(source);

        const QString day = dayFolderOf(source);
        for (const int format : {5, 0}) { // raw, H.264
            auto *d = new PopupExport(dayVideoFiles(day), 3, "0", day, "2024-03-05 14:00:03.000");
            d->format_combo()->setCurrentIndex(format);
            d->begin_edit()->setTime(QTime(14, 0, 3));
            d->end_edit()->setTime(QTime(14, 0, 8));
            d->file_name_edit()->setText(target + "/clip");
            {
                BoxCloser boxes;
                QVERIFY(!d->create_exporter());
                QCOMPARE(boxes.titles, QStringList{"Erreur de paramétrage"});
            }
            QVERIFY(!d->raw_worker());
            delete d;
        }

        const RawRun r = rawExport({day + "/140000/3_20240305_140000.zuvideo"}, target + "/x_RAW.talvor");
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.errors.size(), 1);
        QCOMPARE(treeState(source), before);
    }

    // Links planted in the target are not followed: nothing lands outside it.
    void linksPlantedInTheTarget_data()
    {
        QTest::addColumn<QString>("link"); // below the target, pointing to Elsewhere
        QTest::newRow("export folder's name") << "NAME";
        QTest::newRow("day folder") << "NAME/2024-03-05";
        QTest::newRow("segment folder") << "NAME/2024-03-05/140000";
        QTest::newRow("the data file") << "NAME/2024-03-05/140000/3_20240305_140000.zuvideo";
    }
    void linksPlantedInTheTarget()
    {
        QFETCH(QString, link);
        QTemporaryDir tmp;
        const QString elsewhere = tmp.filePath("Elsewhere");
        QVERIFY(QDir().mkpath(elsewhere));
        const bool toFile = link.endsWith(".zuvideo");
        if (toFile)
            QVERIFY(QFile(elsewhere + "/victim").open(QIODevice::WriteOnly));
        const QString planted = tmp.filePath("Out/" + QString(link).replace("NAME", m_name));
        QVERIFY(QDir().mkpath(QFileInfo(planted).absolutePath()));
        QVERIFY(QFile::link(toFile ? elsewhere + "/victim" : elsewhere, planted));
        const QStringList before = treeState(elsewhere);

        QVERIFY(rawExport({dayFolderOf(m_export) + "/140000/3_20240305_140000.zuvideo"}, tmp.filePath("Out/x_RAW.talvor"))
                    .failures > 0);
        QCOMPARE(treeState(elsewhere), before);
        QVERIFY(QFileInfo(planted).isSymLink());
    }

    // A source that changes while it is copied fails that file, and its
    // copy is removed: the copy would match neither version. The file is
    // large and sparse, so that the copy surely runs when it is truncated.
    // A source that changes while it is copied: cut short, or rewritten in
    // place with its size and modification time put back as they were.
    void sourceChangedMidCopy_data()
    {
        QTest::addColumn<bool>("inPlace");
        QTest::newRow("truncated") << false;
        QTest::newRow("rewritten in place, time kept") << true;
    }
    void sourceChangedMidCopy()
    {
        QFETCH(bool, inPlace);
        QTemporaryDir tmp;
        const QString source = copyExport(m_export, tmp.filePath("Src"));
        QVERIFY(!source.isEmpty());
        const QString data = dayFolderOf(source) + "/140000/3_20240305_140000.zuvideo";
        {
            QFile big(data);
            QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(4) << 30));
        }
        const QString copyFolder = tmp.filePath("Out/") + m_name + "/2024-03-05/140000";
        RawExport worker;
        worker.set_files({QFileInfo(data)});
        worker.set_output(QFileInfo(tmp.filePath("Out/x_RAW.talvor")));
        worker.start();
        QDeadlineTimer deadline(60000);
        while (QDir(copyFolder).entryList({"*.part"}, QDir::Files | QDir::Hidden).isEmpty() && !worker.isFinished()
               && !deadline.hasExpired())
            QThread::usleep(200);
        QVERIFY2(!worker.isFinished(), "the copy ended before the source could change");
        if (inPlace) {
            struct stat st {};
            QVERIFY(::stat(QFile::encodeName(data).constData(), &st) == 0);
            const int fd = ::open(QFile::encodeName(data).constData(), O_WRONLY);
            QVERIFY(fd >= 0);
            const bool written = ::pwrite(fd, "x", 1, 0) == 1;
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            const bool timeKept = ::futimens(fd, times) == 0;
            ::close(fd);
            QVERIFY(written && timeKept);
        } else {
            QVERIFY(QFile(data).resize(0));
        }
        QVERIFY(worker.wait(120000));
        QCOMPARE(worker.failures(), 1);
        QCOMPARE(QDir(copyFolder).entryList(QDir::Files | QDir::Hidden), (QStringList{"140000.zunfo", "3_20240305_140000.zuseek"}));
    }
};

ZU_EXPORT_TEST_MAIN(TestRawExport)
#include "test_rawexport.moc"
