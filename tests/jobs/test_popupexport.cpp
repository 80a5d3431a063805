// The export dialog and its two roads, over the generated export folder:
// file-name rules, start times, time checks with their message boxes,
// theme, the camera and file choice; the encoded road, where "Exporter"
// opens a job window whose job writes a file that ffprobe accepts; and the
// raw road: placement below the export folder's name, the copy compared
// with a tree made by cp, repeated exports into the same place, conflicts,
// missing files and paths without an export folder, never into the source,
// never through a planted link, never a torn copy.
#include "download_presentation.h"
#include "popupexport.h"
#include "rawexport.h"
#include "zufile.h"

#include "../codecs/probe.h"
#include "../common/zu_test_util.h"

#include <QApplication>
#include <QComboBox>
#include <QDirIterator>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The generated export folder (read-only for the tests).
QString smallExport()
{
    const QDir small(ZU_BINARY_DIR "/testdata/small");
    const QFileInfoList found = small.entryInfoList({QStringLiteral("talvor_*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    return found.isEmpty() ? QString() : found.constFirst().absoluteFilePath();
}

bool run(const QString &program, const QStringList &args, QString *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(p.readAll());
    return ok;
}

// Copies the export folder `source` into `parent` (made as needed) with cp.
QString copyExport(const QString &source, const QString &parent)
{
    if (!QDir().mkpath(parent) || !run(QStringLiteral("cp"), {QStringLiteral("-a"), source, parent}))
        return QString();
    return parent + QLatin1Char('/') + QFileInfo(source).fileName();
}

// Every video data file of a day folder, sorted by file name as the player
// hands them over (so each camera's files follow in start order).
QList<QFileInfo> dayVideoFiles(const QString &dayFolder)
{
    QList<QFileInfo> files;
    QDirIterator it(dayFolder, {QStringLiteral("*.zuvideo")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QFileInfo(it.next()));
    std::sort(files.begin(), files.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    return files;
}

QString dayFolderOf(const QString &exportFolder)
{
    return exportFolder + QStringLiteral("/2024-03-05");
}

// Closes the message boxes that open while it lives, recording their titles
// and texts.
class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            titles.append(box->windowTitle());
            texts.append(box->text());
            box->done(QMessageBox::Ok);
        });
        m_timer.start(20);
    }
    QStringList titles;
    QStringList texts;

private:
    QTimer m_timer;
};

// The mounts of these tests live in a mount namespace of the test's own, so
// that none shows to other processes or outlives the test. Empty when that
// works, else why not.
QString privateMounts()
{
    return zutest::privateMountNamespace();
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

using CameraNames = QHash<int, QString>;

class TestPopupExport : public QObject
{
    Q_OBJECT

    QString m_export;
    QString m_name; // talvor_…

    static QString ts() { return QStringLiteral("2024-03-05 14:00:03.250"); }

    // A dialog over the generated day, proposing camera `camera`.
    PopupExport *dayDialog(int camera = 3, const QString &exportFolder = QString())
    {
        const QString day = dayFolderOf(exportFolder.isEmpty() ? m_export : exportFolder);
        return new PopupExport(dayVideoFiles(day), camera, QStringLiteral("0"), day, ts());
    }

    static Download_presentation *jobWindow()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *window = qobject_cast<Download_presentation *>(w))
                return window;
        return nullptr;
    }

    static void setTimes(PopupExport *d, const QTime &begin, const QTime &end)
    {
        d->begin_edit()->setTime(begin);
        d->end_edit()->setTime(end);
    }

    static QStringList names(const QList<QFileInfo> &files)
    {
        QStringList out;
        for (const QFileInfo &f : files)
            out << f.completeBaseName();
        return out;
    }

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
        PopupExport *d = dayDialog(3, exportFolder);
        d->show();
        d->format_combo()->setCurrentIndex(5);
        setTimes(d, begin, end);
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
        QDeadlineTimer deadline(30000);
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
        qunsetenv("ZU_THEME");
        // A zone with a daylight-saving gap, for the whole program.
        qputenv("TZ", "Europe/Paris");
        tzset();
    }

    void fileNameRules()
    {
        std::unique_ptr<PopupExport> d(dayDialog());
        QCOMPARE(d->camera_combo()->currentText(), QStringLiteral("Entrée principale"));
        QCOMPARE(d->default_file_name("/out"), QStringLiteral("/out/Entréeprincipale_2024-03-05_140003_H264.mp4"));
        d->format_combo()->setCurrentIndex(1);
        QCOMPARE(d->default_file_name("/out"), QStringLiteral("/out/Entréeprincipale_2024-03-05_140003_H265.mp4"));

        // The edit follows camera, begin and format, replacing a typed name.
        d->format_combo()->setCurrentIndex(0);
        QVERIFY(d->file_name_edit()->text().endsWith("_140003_H264.mp4"));
        d->format_combo()->setCurrentIndex(4);
        QVERIFY(d->file_name_edit()->text().endsWith("_140003_AV1.mkv"));
        d->file_name_edit()->setText("/somewhere/typed.mkv");
        d->begin_edit()->setTime(QTime(14, 0, 5));
        QCOMPARE(d->file_name_edit()->text(), d->default_file_name(d->default_folder()));
        QVERIFY(d->file_name_edit()->text().endsWith("/Entréeprincipale_2024-03-05_140005_AV1.mkv"));
        d->camera_combo()->setCurrentText("Parking");
        QVERIFY(d->file_name_edit()->text().endsWith("/Parking_2024-03-05_140005_AV1.mkv"));

        // Normalising: the format's key and extension replace a known key.
        struct Case { int format; QString in; QString out; };
        const QList<Case> cases = {
            {3, "/out/cam_H264.mp4", "/out/cam_VP9.webm"},
            {5, "/out/clip", "/out/clip_RAW.talvor"},
            {0, "/out/film.h264.mp4", "/out/film.h264_H264.mp4"},
            {0, "/out/x_h265.mp4", "/out/x_H264.mp4"},
            {4, "/out/a_H264_VP9.webm", "/out/a_H264_AV1.mkv"},
            {2, "/out/cam_mjpeg.avi", "/out/cam_MJPEG.avi"},
        };
        for (const Case &c : cases) {
            d->format_combo()->setCurrentIndex(c.format);
            QCOMPARE(d->normalize_export_filename(c.in), c.out);
        }
        d->format_combo()->setCurrentIndex(0);
        QCOMPARE(d->normalize_export_filename("clip"), QDir::currentPath() + "/clip_H264.mp4");

        // Every combo item of the dialog finds its own row of the table.
        for (int i = 0; i < d->format_combo()->count(); ++i)
            QCOMPARE(export_format_for_label(d->format_combo()->itemText(i)).key, exportFormats.at(i).key);
        QCOMPARE(export_format_for_label("Theora (.ogv)").key, QStringLiteral("H264"));

        // Camera names become one file-name part, never a path.
        QCOMPARE(PopupExport::file_name_part(" Quai\tB "), QStringLiteral("QuaiB"));
        QCOMPARE(PopupExport::file_name_part("../../etc/x"), QStringLiteral(".._.._etc_x"));
        QCOMPARE(PopupExport::file_name_part(".."), QStringLiteral("__"));
        QCOMPARE(PopupExport::file_name_part("a\\b:c*d?e\"f<g>h|i"), QStringLiteral("a_b_c_d_e_f_g_h_i"));
    }

    void defaultFolderAndSettings()
    {
        QSettings(PopupExport::settingsOrganisation(), PopupExport::settingsApplication()).clear();
        std::unique_ptr<PopupExport> d(dayDialog());
        QCOMPARE(d->last_export_folder(), QString());
        const QStringList docs = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
        QCOMPARE(d->default_folder(), docs.isEmpty() ? QDir::homePath() : docs.first());

        QTemporaryDir out;
        d->format_combo()->setCurrentIndex(3);
        d->apply_chosen_path(out.filePath("chosen_H264.mp4"));
        QCOMPARE(d->file_name_edit()->text(), out.filePath("chosen_VP9.webm"));
        QCOMPARE(d->last_export_folder(), out.path());
        QCOMPARE(QSettings("Talvor", "ZuPlayer").value("export/lastDir").toString(), out.path());

        // A later dialog starts in that folder.
        std::unique_ptr<PopupExport> next(dayDialog());
        QCOMPARE(next->default_folder(), out.path());
        QCOMPARE(next->file_name_edit()->text(), out.path() + "/Entréeprincipale_2024-03-05_140003_H264.mp4");
        QSettings("Talvor", "ZuPlayer").clear();
    }

    // The start time read from the caller's text (the wrap past midnight
    // is in refusedTimesShowWhy, the ":zzz" form in the daylight-saving case).
    void startTimes()
    {
        PopupExport d({}, 3, "0", QString(), "2024-03-05 14:00:03.250");
        QCOMPARE(d.start_time(), QDateTime(QDate(2024, 3, 5), QTime(14, 0, 3, 250), Qt::UTC));
        QCOMPARE(d.date_label()->text(), QStringLiteral("2024-03-05"));
        QCOMPARE(d.begin_edit()->time(), QTime(14, 0, 3, 250));
        QCOMPARE(d.end_edit()->time(), QTime(14, 1, 3, 250));
        QVERIFY(d.export_button()->isEnabled());
        PopupExport other({}, 3, "1", "/day", ts());
        QCOMPARE(other.stream_id(), QStringLiteral("1"));
    }

    void timesInADaylightSavingGap()
    {
        // 2024-03-31 02:00-03:00 does not exist in Paris; a recorder on
        // another clock still has pictures there, and their time is kept.
        QVERIFY(!QDateTime::fromString("2024-03-31 02:30:00.000", "yyyy-MM-dd HH:mm:ss.zzz").isValid());

        QTemporaryDir tmp;
        const QString data = tmp.filePath("3_20240331_020000.zuvideo");
        QFile video(data), seek(tmp.filePath("3_20240331_020000.zuseek"));
        QVERIFY(video.open(QIODevice::WriteOnly) && video.write(QByteArray(20, 'x')) == 20);
        QVERIFY(seek.open(QIODevice::WriteOnly));
        seek.write("20240331020000000:video0:h264:320x240:1:10\n20240331023000000:video0:h264:320x240:0:10\n");
        video.close();
        seek.close();

        for (const char *text : {"2024-03-31 02:30:00.000", "2024-03-31 02:30:00:000"}) {
            PopupExport d({QFileInfo(data)}, 3, "0", tmp.path(), QString::fromLatin1(text));
            QCOMPARE(d.start_time().date(), QDate(2024, 3, 31));
            QCOMPARE(d.start_time().time(), QTime(2, 30));
            QCOMPARE(d.date_label()->text(), QStringLiteral("2024-03-31"));
            QCOMPARE(d.begin_edit()->time(), QTime(2, 30));
            QCOMPARE(d.end_edit()->time(), QTime(2, 31));
        }
        // The file's end is its last entry's time of day, in the gap too.
        PopupExport d({QFileInfo(data)}, 3, "0", tmp.path(), "2024-03-31 02:10:00.000");
        setTimes(&d, QTime(2, 10), QTime(2, 20));
        QList<QFileInfo> range;
        QCOMPARE(d.select_range(&range), 0);
        QCOMPARE(names(range), QStringList{"3_20240331_020000"});
    }

    // File names carry whole seconds: a file that starts within the begin
    // second leaves the frames of that second before it in the file before.
    void beginSecondSplitByAFileBoundary_data()
    {
        QTest::addColumn<QTime>("begin");
        QTest::addColumn<QTime>("end");
        QTest::addColumn<QStringList>("range");
        const QStringList both{"3_20240305_100000", "3_20240305_100010"};
        QTest::newRow("begin second split") << QTime(10, 0, 10) << QTime(10, 0, 12) << both;
        QTest::newRow("begin second before") << QTime(10, 0, 9) << QTime(10, 0, 12) << both;
        QTest::newRow("begin after the split") << QTime(10, 0, 11) << QTime(10, 0, 12)
                                               << QStringList{"3_20240305_100010"};
        QTest::newRow("last entry's second") << QTime(10, 0, 20) << QTime(10, 0, 21)
                                             << QStringList{"3_20240305_100010"};
    }
    void beginSecondSplitByAFileBoundary()
    {
        QFETCH(QTime, begin);
        QFETCH(QTime, end);
        QFETCH(QStringList, range);
        QTemporaryDir tmp;
        QList<QFileInfo> files;
        // 10:00:00.000 to 10:00:10.400, then 10:00:10.500 to 10:00:20.400.
        for (const QString stem : {"3_20240305_100000", "3_20240305_100010"}) {
            const int firstMs = stem.endsWith("10") ? 10500 : 0;
            QFile video(tmp.filePath(stem + ".zuvideo")), seek(tmp.filePath(stem + ".zuseek"));
            QVERIFY(video.open(QIODevice::WriteOnly) && seek.open(QIODevice::WriteOnly));
            for (int ms = firstMs; ms < firstMs + 10000 + (firstMs == 0 ? 500 : 0); ms += 100) {
                video.write(QByteArray(10, 'x'));
                seek.write(QDateTime(QDate(2024, 3, 5), QTime(10, 0), Qt::UTC).addMSecs(ms)
                               .toString("yyyyMMddHHmmsszzz").toLatin1() + ":video0:h264:320x240:1:10\n");
            }
            files << QFileInfo(video.fileName());
        }
        PopupExport d(files, 3, "0", tmp.path(), "2024-03-05 10:00:00.000");
        setTimes(&d, begin, end);
        QList<QFileInfo> selected;
        QCOMPARE(d.select_range(&selected), 0);
        QCOMPARE(names(selected), range);
    }

    void timeChecks()
    {
        QCOMPARE(PopupExport::check_export_times(QTime(), QTime(14, 0)), -1);
        QCOMPARE(PopupExport::check_export_times(QTime(14, 0), QTime()), -2);
        QCOMPARE(PopupExport::check_export_times(QTime(), QTime()), -1);
        QCOMPARE(PopupExport::check_export_times(QTime(14, 0), QTime(14, 0)), -13);
        QCOMPARE(PopupExport::check_export_times(QTime(14, 1), QTime(14, 0)), -13);
        QCOMPARE(PopupExport::check_export_times(QTime(14, 0), QTime(14, 0, 0, 1)), 0);
    }

    void errorBoxes()
    {
        std::unique_ptr<PopupExport> d(dayDialog());
        QTemporaryDir out;
        d->format_combo()->setCurrentIndex(5);
        QSignalSpy errors(d.get(), &PopupExport::error);
        BoxCloser boxes;

        // Before the first recording: no begin file.
        setTimes(d.get(), QTime(13, 59, 0), QTime(14, 0, 5));
        d->export_button()->click();
        // Equal times: the button is off, a press by other means is refused.
        setTimes(d.get(), QTime(14, 0, 2), QTime(14, 0, 2));
        QVERIFY(!d->export_button()->isEnabled());
        d->doExport();
        // Twice more the same refusal: one box per press.
        setTimes(d.get(), QTime(14, 0, 30), QTime(14, 0, 40));
        d->file_name_edit()->setText(out.filePath("x"));
        d->export_button()->click();
        d->export_button()->click();
        // The end text as the dialog's reporter shows it.
        Q_EMIT d->error(-2);

        QCOMPARE(errors.size(), 5);
        QCOMPARE(boxes.titles, QStringList(5, QStringLiteral("Erreur de paramétrage")));
        QCOMPARE(boxes.texts, (QStringList{"Heure de début d'exportation introuvable.", "Période invalide.",
                                           "Heure de début d'exportation introuvable.",
                                           "Heure de début d'exportation introuvable.",
                                           "Heure de fin d'exportation introuvable."}));
        // Nothing started, nothing written, the dialog keeps its input.
        QVERIFY(d->raw_worker() == nullptr);
        QVERIFY(d->get_export_path().isEmpty());
        QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(d->begin_edit()->time(), QTime(14, 0, 30));
        QCOMPARE(d->file_name_edit()->text(), out.filePath("x_RAW.talvor"));
    }

    // The encoded road: an existing file of that name is kept unless the
    // user agrees; then "Exporter" hides the dialog and opens a job window,
    // whose file ffprobe reads, and the dialog goes with that window.
    void encodedRoad()
    {
        QTemporaryDir out;
        QPointer<PopupExport> d = dayDialog();
        d->show();
        d->format_combo()->setCurrentIndex(0);
        setTimes(d, QTime(14, 0, 1), QTime(14, 0, 9));
        d->file_name_edit()->setText(out.filePath("Out/clip"));
        const QString output = out.filePath("Out/clip_H264.mp4");
        QVERIFY(QDir().mkpath(out.filePath("Out")));
        QFile earlier(output);
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier export") == 17);
        earlier.close();
        {
            BoxCloser boxes; // answers neither "Oui" nor "Non": the file stays
            QVERIFY(!d->create_exporter());
            QCOMPARE(boxes.titles, QStringList{QStringLiteral("Fichier existant")});
        }
        QVERIFY(d->get_export_path().isEmpty() && d->isVisible() && !jobWindow());
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("an earlier export"));
        earlier.close();

        QVERIFY(earlier.remove());
        d->doExport();
        QCOMPARE(d->get_export_path(), output);
        QVERIFY(!d->isVisible() && !d->raw_worker());
        QPointer<Download_presentation> window = jobWindow();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Téléchargement"));
        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 120000);
        QVERIFY(window->failedJobs().isEmpty());
        QCOMPARE(window->succeededJobs().first()->fileName(), output);
        const codectest::Probe probe = codectest::probe(output);
        QCOMPARE(probe.codec, QStringLiteral("h264"));
        QCOMPARE(probe.width, 320);
        // Nobody deletes the hidden dialog but its job window's end.
        QVERIFY(d);
        window->close();
        QTRY_VERIFY(window.isNull());
        QTRY_VERIFY(d.isNull());
    }

    // A camera the day does not hold, or a day without files.
    void cameraCombo()
    {
        std::unique_ptr<PopupExport> unknown(dayDialog(77));
        QCOMPARE(unknown->camera_combo()->currentIndex(), 0);
        PopupExport empty({}, 3, "0", dayFolderOf(m_export), ts());
        QCOMPARE(empty.camera_combo()->count(), 0);
        QList<QFileInfo> range;
        QCOMPARE(empty.select_range(&range), -1);
        QCOMPARE(empty.camera_id(), 0);
        QVERIFY(empty.camera_files().isEmpty());
    }

    void cameraNamesFromSegments()
    {
        QTemporaryDir tmp;
        const QString copy = copyExport(m_export, tmp.filePath("data"));
        QVERIFY(!copy.isEmpty());
        const QString day = dayFolderOf(copy);

        // The segment folders name the cameras; the day's own list, which
        // its manifest does not cover, is never read.
        const QHash<int, QString> listed{{3, "Entrée principale"}, {12, "Parking"}};
        QCOMPARE(PopupExport::day_camera_names(day), listed);
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(day + "/index.zunfo"), {{3, "Hall"}, {99, "Planted"}}));
        QCOMPARE(PopupExport::day_camera_names(day), listed);

        // Without any list the cameras are "CAMERA <id>" and still export.
        QDirIterator it(copy, {"*.zunfo"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            QVERIFY(QFile::remove(it.next()));
        std::unique_ptr<PopupExport> d(dayDialog(12, copy));
        QCOMPARE(d->camera_combo()->itemText(0), QStringLiteral("CAMERA 12"));
        QCOMPARE(d->camera_combo()->itemData(0).toInt(), 12);
        QCOMPARE(d->camera_combo()->currentText(), QStringLiteral("CAMERA 12"));
        QVERIFY(d->file_name_edit()->text().endsWith("/CAMERA12_2024-03-05_140003_H264.mp4"));
        setTimes(d.get(), QTime(14, 0, 1), QTime(14, 0, 4));
        QList<QFileInfo> range;
        QCOMPARE(d->select_range(&range), 0);
        QCOMPARE(d->camera_id(), 12);
        QCOMPARE(names(range), QStringList{"12_20240305_140000"});
    }

    // Each camera is an item with its own id, in order of first appearance
    // in the day's files; two cameras of one name are two items, named as
    // the main window names them. The export is of the camera chosen, and
    // its caption names it the same way.
    void camerasSharingAName_data()
    {
        QTest::addColumn<CameraNames>("listed");
        QTest::addColumn<QStringList>("items"); // for cameras 12 and 3, in the combo's order
        QTest::newRow("names as recorded") << CameraNames{{3, "Entrée principale"}, {12, "Parking"}}
                                           << QStringList{"Parking", "Entrée principale"};
        QTest::newRow("two cameras, one name") << CameraNames{{3, "Parking"}, {12, "Parking"}}
                                               << QStringList{"Parking (12)", "Parking (3)"};
        // Camera 12 with its id appended would be named as camera 3 is.
        QTest::newRow("an appended id meets another camera's name")
            << CameraNames{{3, "Parking (12)"}, {12, "Parking"}, {7, "Parking"}}
            << QStringList{"Parking (12) (12)", "Parking (12) (3)"};
        // Alike to the eye: composed against decomposed accent, and a
        // zero-width space.
        QTest::newRow("one name in two Unicode forms")
            << CameraNames{{3, "Entr\u00e9e"}, {12, "Entre\u0301e"}}
            << QStringList{"Entre\u0301e (12)", "Entr\u00e9e (3)"};
        QTest::newRow("a name with an invisible character")
            << CameraNames{{3, "Parking"}, {12, "Park\u200bing"}} << QStringList{"Park\u200bing (12)", "Parking (3)"};
    }
    void camerasSharingAName()
    {
        QFETCH(CameraNames, listed);
        QFETCH(QStringList, items);
        QTemporaryDir tmp;
        const QString copy = copyExport(m_export, tmp.filePath("data"));
        QVERIFY(!copy.isEmpty());
        QDirIterator it(dayFolderOf(copy), {"*.zunfo"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(it.next()), listed));
        for (const int chosen : {3, 12}) {
            std::unique_ptr<PopupExport> d(dayDialog(chosen, copy));
            QComboBox *combo = d->camera_combo();
            QCOMPARE(combo->count(), 2);
            QCOMPARE(combo->itemText(0), items.at(0));
            QCOMPARE(combo->itemData(0).toInt(), 12);
            QCOMPARE(combo->itemText(1), items.at(1));
            QCOMPARE(combo->itemData(1).toInt(), 3);
            QCOMPARE(combo->currentData().toInt(), chosen);
            setTimes(d.get(), QTime(14, 0, 1), QTime(14, 0, 4));
            QList<QFileInfo> range;
            QCOMPARE(d->select_range(&range), 0);
            QCOMPARE(d->camera_id(), chosen);
            QCOMPARE(names(range), QStringList{QString("%1_20240305_140000").arg(chosen)});
            QCOMPARE(d->camera_names().value(chosen), items.at(chosen == 12 ? 0 : 1));
        }
    }

    void fileChoice_data()
    {
        QTest::addColumn<int>("camera");
        QTest::addColumn<QTime>("begin");
        QTest::addColumn<QTime>("end");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("range");
        const QStringList both{"3_20240305_140000", "3_20240305_140006"};
        QTest::newRow("straddles both files") << 3 << QTime(14, 0, 3) << QTime(14, 0, 8) << 0 << both;
        QTest::newRow("first file only") << 3 << QTime(14, 0, 0) << QTime(14, 0, 5) << 0
                                         << QStringList{"3_20240305_140000"};
        QTest::newRow("second file only") << 3 << QTime(14, 0, 6) << QTime(14, 0, 9) << 0
                                          << QStringList{"3_20240305_140006"};
        QTest::newRow("end past the recording") << 3 << QTime(14, 0, 5) << QTime(14, 30, 0) << 0 << both;
        QTest::newRow("last second before the last entry") << 3 << QTime(14, 0, 10) << QTime(14, 0, 20) << 0
                                                           << QStringList{"3_20240305_140006"};
        QTest::newRow("begin before the recording") << 3 << QTime(13, 59, 59) << QTime(14, 0, 5) << -1
                                                    << QStringList();
        QTest::newRow("begin after the last entry") << 3 << QTime(14, 0, 12) << QTime(14, 0, 20) << -1
                                                    << QStringList();
        QTest::newRow("other camera") << 12 << QTime(14, 0, 3) << QTime(14, 0, 8) << 0
                                      << QStringList{"12_20240305_140000", "12_20240305_140006"};
        QTest::newRow("end before begin file") << 12 << QTime(14, 0, 7) << QTime(14, 0, 3) << 0
                                               << QStringList{"12_20240305_140006"};
    }

    void fileChoice()
    {
        QFETCH(int, camera);
        QFETCH(QTime, begin);
        QFETCH(QTime, end);
        QFETCH(int, code);
        QFETCH(QStringList, range);
        std::unique_ptr<PopupExport> d(dayDialog(camera));
        setTimes(d.get(), begin, end);
        QList<QFileInfo> files;
        QCOMPARE(d->select_range(&files), code);
        QCOMPARE(d->camera_id(), camera);
        // Camera 3 never takes camera 12's files, nor the other way round.
        for (const QFileInfo &f : d->camera_files())
            QVERIFY(f.fileName().startsWith(QString::number(camera) + "_"));
        QCOMPARE(d->camera_files().size(), 2);
        if (code == 0)
            QCOMPARE(names(files), range);
    }

    // The day's last file runs past midnight (23:59:50 to 00:00:09 of the
    // next day): a range inside it, or reaching into it, finds it; a begin
    // before the day's first file still finds nothing.
    void fileRunningPastMidnight_data()
    {
        QTest::addColumn<QTime>("begin");
        QTest::addColumn<QTime>("end");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("range");
        const QString before = "3_20240305_235930", last = "3_20240305_235950";
        QTest::newRow("inside the last file") << QTime(23, 59, 55) << QTime(23, 59, 59) << 0 << QStringList{last};
        QTest::newRow("from the file before into it") << QTime(23, 59, 45) << QTime(23, 59, 58) << 0
                                                      << QStringList{before, last};
        QTest::newRow("at the day's last second") << QTime(23, 59, 59) << QTime(23, 59, 59) << 0 << QStringList{last};
        QTest::newRow("before the day's first file") << QTime(23, 59, 20) << QTime(23, 59, 58) << -1 << QStringList();
    }
    void fileRunningPastMidnight()
    {
        QFETCH(QTime, begin);
        QFETCH(QTime, end);
        QFETCH(int, code);
        QFETCH(QStringList, range);
        QTemporaryDir tmp;
        const QString day = tmp.filePath(m_name + "/2024-03-05");
        QList<QFileInfo> files;
        const auto write = [&](const QString &start, const QDateTime &from, int entries) {
            const QString base = day + '/' + start + "/3_20240305_" + start;
            QDir().mkpath(day + '/' + start);
            QFile data(base + ".zuvideo");
            QFile seek(base + ".zuseek");
            if (!data.open(QIODevice::WriteOnly) || !seek.open(QIODevice::WriteOnly))
                return false;
            for (int i = 0; i < entries; ++i)
                seek.write(from.addMSecs(i * 500).toString("yyyyMMddHHmmsszzz").toLatin1() + ":video0:h264:320x240:"
                           + (i % 4 == 0 ? "1" : "0") + ":10\n");
            files << QFileInfo(data.fileName());
            return true;
        };
        QVERIFY(write("235930", QDateTime(QDate(2024, 3, 5), QTime(23, 59, 30), Qt::UTC), 40));
        QVERIFY(write("235950", QDateTime(QDate(2024, 3, 5), QTime(23, 59, 50), Qt::UTC), 40)); // to 00:00:09.500
        PopupExport d(files, 3, "0", day, "2024-03-05 23:59:55.000");
        setTimes(&d, begin, end);
        QList<QFileInfo> found;
        QCOMPARE(d.select_range(&found), code);
        QCOMPARE(names(found), range);
    }

    // The end of a file is its seek file's last entry (the choice of files
    // by time is in fileChoice): hostile seek files neither hang nor mislead.
    void lastSeekTimestamp()
    {
        // Hostile seek files: junk, an overlong line, no entry at all.
        QTemporaryDir tmp;
        QFile f(tmp.filePath("a.zuseek"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("20240305140000000:video0:h264:320x240:1:10\n");
        f.write(":no key\n");
        f.write(" 20240305140001000 :video0:h264:320x240:0:10\r\n");
        f.write(QByteArray(100000, 'x') + ":y\n");
        f.write("no colon here\n\n");
        f.close();
        QCOMPARE(PopupExport::last_seek_timestamp(f.fileName()), QStringLiteral("20240305140001000"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray(50000, '\0'));
        f.close();
        QCOMPARE(PopupExport::last_seek_timestamp(f.fileName()), QString());
        const QString fifo = tmp.filePath("fifo.zuseek");
        QCOMPARE(QProcess::execute("mkfifo", {fifo}), 0);
        QCOMPARE(PopupExport::last_seek_timestamp(fifo), QString()); // must not block
    }

    // A refused time range shows why, and the button looks off in either
    // theme (its face is drawn in another colour than when it is on).
    void refusedTimesShowWhy_data()
    {
        QTest::addColumn<QByteArray>("theme");
        QTest::newRow("dark") << QByteArray("dark");
        QTest::newRow("light") << QByteArray("light");
    }
    void refusedTimesShowWhy()
    {
        QFETCH(QByteArray, theme);
        qputenv("ZU_THEME", theme);
        PopupExport d({}, 3, "0", QString(), "2024-03-05 23:59:30.000");
        qunsetenv("ZU_THEME");
        QPushButton *button = d.export_button();
        const auto face = [button] {
            const QImage image = button->grab().toImage();
            return image.pixelColor(6, image.height() / 2);
        };
        QVERIFY(!button->isEnabled());
        QCOMPARE(d.times_hint()->text(), QStringLiteral("Période invalide : la fin doit être après le début."));
        QCOMPARE(button->toolTip(), d.times_hint()->text());
        const QColor off = face();
        d.end_edit()->setTime(QTime(23, 59, 59));
        QVERIFY(button->isEnabled());
        QVERIFY(d.times_hint()->text().isEmpty());
        const QColor on = face();
        QVERIFY2(qAbs(on.lightness() - off.lightness()) + qAbs(on.hslSaturation() - off.hslSaturation()) > 60,
                 qPrintable(on.name() + " / " + off.name()));
    }

    // The theme: ZU_THEME in any case, else the application palette.
    void themes()
    {
        const auto dialog = [] { return std::make_unique<PopupExport>(QList<QFileInfo>(), 3, "0", QString(), ts()); };
        qputenv("ZU_THEME", "dark");
        QVERIFY(dialog()->dark_theme());
        qputenv("ZU_THEME", "LIGHT");
        QVERIFY(!dialog()->dark_theme());
        QVERIFY(!dialog()->styleSheet().contains("_white.svg"));
        qunsetenv("ZU_THEME");
        const QPalette saved = QApplication::palette();
        for (const int window : {30, 240}) {
            QPalette palette = saved;
            palette.setColor(QPalette::Window, QColor(window, window, window));
            QApplication::setPalette(palette);
            QCOMPARE(dialog()->dark_theme(), window < 128);
        }
        QApplication::setPalette(saved);
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
                ZU_SKIP_MISSING("permission to mount: " + privateMounts());
            const QString why = mountFatDrive(tmp.filePath("fat.img"), tmp.filePath("Usb"));
            if (!why.isEmpty())
                ZU_SKIP_MISSING("a way to mount a FAT drive: " + why);
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
                ZU_SKIP_MISSING("permission to mount: " + privateMounts());
            const bool parent = where == "bind parent";
            const QString point = tmp.filePath("Bind");
            QVERIFY(QDir().mkpath(point));
            const QString from = parent ? tmp.filePath("Src") : source;
            if (::mount(QFile::encodeName(from).constData(), QFile::encodeName(point).constData(), nullptr, MS_BIND,
                        nullptr) != 0)
                ZU_SKIP_MISSING("permission to bind mount: " + QString::fromLocal8Bit(std::strerror(errno)));
            mounted.point = point;
            target = parent ? point + '/' + m_name + "/Out" : point + "/2024-03-05";
        }
        const QStringList before = treeState(source);

        for (const int format : {5, 0}) { // raw, H.264
            std::unique_ptr<PopupExport> d(dayDialog(3, source));
            d->format_combo()->setCurrentIndex(format);
            setTimes(d.get(), QTime(14, 0, 3), QTime(14, 0, 8));
            d->file_name_edit()->setText(target + "/clip");
            {
                BoxCloser boxes;
                QVERIFY(!d->create_exporter());
                QCOMPARE(boxes.titles, QStringList{"Erreur de paramétrage"});
            }
            QVERIFY(!d->raw_worker());
        }
        const RawRun r = rawExport({dayFolderOf(source) + "/140000/3_20240305_140000.zuvideo"}, target + "/x_RAW.talvor");
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.errors.size(), 1);
        QCOMPARE(treeState(source), before);
    }

    // The folder that holds the export folder (the export saved at the root
    // of the same drive), by its path, through a link or through another
    // mount of it: every copy would be its own source. The dialog refuses it
    // with a message, the worker copies nothing and says so, and a copy onto
    // the source file itself never counts as made.
    void targetHoldingTheSource_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("folder holding the export folder") << "parent";
        QTest::newRow("link to that folder") << "link";
        QTest::newRow("bind mount of that folder") << "bind";
    }
    void targetHoldingTheSource()
    {
        QFETCH(QString, where);
        QTemporaryDir tmp;
        Mounted mounted;
        const QString source = copyExport(m_export, tmp.filePath("Src"));
        QVERIFY(!source.isEmpty());
        QString target = tmp.filePath("Src");
        if (where == "link") {
            target = tmp.filePath("Link");
            QVERIFY(QFile::link(tmp.filePath("Src"), target));
        } else if (where == "bind") {
            if (!privateMounts().isEmpty())
                ZU_SKIP_MISSING("permission to mount: " + privateMounts());
            target = tmp.filePath("Bind");
            QVERIFY(QDir().mkpath(target));
            if (::mount(QFile::encodeName(tmp.filePath("Src")).constData(), QFile::encodeName(target).constData(),
                        nullptr, MS_BIND, nullptr) != 0)
                ZU_SKIP_MISSING("permission to bind mount: " + QString::fromLocal8Bit(std::strerror(errno)));
            mounted.point = target;
        }
        const QStringList before = treeState(tmp.filePath("Src"));

        std::unique_ptr<PopupExport> d(dayDialog(3, source));
        d->format_combo()->setCurrentIndex(5); // raw
        setTimes(d.get(), QTime(14, 0, 3), QTime(14, 0, 8));
        d->file_name_edit()->setText(target + "/clip");
        {
            BoxCloser boxes;
            QVERIFY(!d->create_exporter());
            QCOMPARE(boxes.titles, QStringList{"Erreur de paramétrage"});
        }
        QVERIFY(!d->raw_worker());

        const QString data = dayFolderOf(source) + "/140000/3_20240305_140000.zuvideo";
        const RawRun r = rawExport({data}, target + "/x_RAW.talvor");
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.errors, QList<int>{2});
        RawExport worker;
        QVERIFY(!worker.copy_file(data, data));
        QCOMPARE(treeState(tmp.filePath("Src")), before);
    }

    // A data, seek or camera-list file of the export folder that is a link,
    // or that lies in a folder leading out of the export folder, is not
    // copied and counts as a failure; the other files of the range are
    // copied.
    void sourceLinks_data()
    {
        QTest::addColumn<QString>("linked");   // below the day folder
        QTest::addColumn<bool>("outside");     // where the link leads
        QTest::addColumn<QStringList>("refused"); // below the copy's day folder
        const QString first = "140000/3_20240305_140000";
        QTest::newRow("data file, to a file outside") << first + ".zuvideo" << true << QStringList{first + ".zuvideo"};
        QTest::newRow("seek file, to a file outside") << first + ".zuseek" << true << QStringList{first + ".zuseek"};
        QTest::newRow("camera list, to a file outside") << "140000/140000.zunfo" << true
                                                        << QStringList{"140000/140000.zunfo"};
        QTest::newRow("data file, to another file of the export folder")
            << first + ".zuvideo" << false << QStringList{first + ".zuvideo"};
        QTest::newRow("segment folder, to a folder outside")
            << "140006" << true << QStringList{"140006/3_20240305_140006.zuvideo", "140006/3_20240305_140006.zuseek"};
    }
    void sourceLinks()
    {
        QFETCH(QString, linked);
        QFETCH(bool, outside);
        QFETCH(QStringList, refused);
        QTemporaryDir tmp;
        const QString source = copyExport(m_export, tmp.filePath("Src"));
        QVERIFY(!source.isEmpty());
        const QString day = dayFolderOf(source);
        const QString path = day + '/' + linked;
        const QString moved = outside ? tmp.filePath("Outside/") + QFileInfo(path).fileName()
                                      : day + "/140000/moved_" + QFileInfo(path).fileName();
        QVERIFY(QDir().mkpath(QFileInfo(moved).absolutePath()));
        QVERIFY(QDir().rename(path, moved));
        QVERIFY(QFile::link(moved, path));

        const RawRun r = rawExport({day + "/140000/3_20240305_140000.zuvideo", day + "/140006/3_20240305_140006.zuvideo"},
                                   tmp.filePath("Out/x_RAW.talvor"));
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.failures, int(refused.size()));
        QCOMPARE(r.errors, QList<int>{int(refused.size())});
        const QString copy = tmp.filePath("Out/") + m_name + "/2024-03-05/";
        for (const QString &rel : refused)
            QVERIFY2(!QFileInfo::exists(copy + rel), qPrintable(rel));
        const QStringList all{"140000/3_20240305_140000.zuvideo", "140000/3_20240305_140000.zuseek",
                              "140000/140000.zunfo", "140006/3_20240305_140006.zuvideo",
                              "140006/3_20240305_140006.zuseek"};
        for (const QString &rel : all)
            if (!refused.contains(rel))
                QVERIFY2(QFileInfo(copy + rel).isFile() && !QFileInfo(copy + rel).isSymLink(), qPrintable(rel));
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

    // The target folder, or a folder above it, swapped for a link to the
    // evidence once the first file is copied: the rest of the copy still goes
    // into the folder held open from the start, nothing lands in the export
    // folder being read, and the run says where its copy lies.
    void targetSwappedMidCopy_data()
    {
        QTest::addColumn<QString>("swapped"); // below the temporary folder
        QTest::newRow("target folder") << "Top/Out";
        QTest::newRow("folder above the target") << "Top";
    }
    void targetSwappedMidCopy()
    {
        QFETCH(QString, swapped);
        QTemporaryDir tmp;
        const QString source = copyExport(m_export, tmp.filePath("Src"));
        QVERIFY(!source.isEmpty());
        const QStringList before = treeState(source);
        RawExport worker;
        worker.set_files({QFileInfo(dayFolderOf(source) + "/140000/3_20240305_140000.zuvideo")});
        worker.set_output(QFileInfo(tmp.filePath("Top/Out/x_RAW.talvor")));
        QSignalSpy errors(&worker, &RawExport::error);
        const QString folder = tmp.filePath(swapped);
        bool moved = false;
        connect(&worker, &RawExport::valueChanged, &worker, [&] {
            if (!moved)
                moved = QDir().rename(folder, folder + "Moved") && QFile::link(dayFolderOf(source), folder);
        }, Qt::DirectConnection);
        worker.start();
        QVERIFY(worker.wait(60000));
        QVERIFY(moved);
        QCOMPARE(treeState(source), before);
        const QString copied = tmp.filePath(swapped + "Moved") + (swapped == "Top" ? "/Out/" : "/") + m_name
                               + "/2024-03-05/140000/";
        QVERIFY(QFileInfo::exists(copied + "3_20240305_140000.zuvideo"));
        QVERIFY(QFileInfo::exists(copied + "3_20240305_140000.zuseek"));
        QCOMPARE(worker.failures(), 1);
        QCOMPARE(errors.size(), 1);
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

// A settings home and a log level of the tests' own, before the application
// object exists.
int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("HOME", home.path().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    // The dialog's icons live in the player's resources.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.svg.warning=false"));
    QApplication app(argc, argv);
    TestPopupExport test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_popupexport.moc"
