// The export dialog: file-name rules, start times, time checks with their
// message boxes, theme, the camera and file choice over the generated
// export folder, and the encoded road: "Exporter" opens a job window whose
// job writes a file that ffprobe accepts.
#include "test_popupexport_util.h"

#include "download_presentation.h"
#include "popupexport.h"
#include "zufile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimeEdit>

#include <ctime>

using namespace etest;

using CameraNames = QHash<int, QString>;

class TestPopupExport : public QObject
{
    Q_OBJECT

    QString m_export;

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

private slots:
    void initTestCase()
    {
        m_export = smallExport();
        QVERIFY2(!m_export.isEmpty(), "no generated export folder under testdata/small");
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
        QCOMPARE(PopupExport::file_name_part("CAMERA 12"), QStringLiteral("CAMERA12"));
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
        const QStringList legacyNames{"a", "b"};
        PopupExport legacy({}, 3, "1", legacyNames, "/day", ts());
        QCOMPARE(legacy.export_names(), legacyNames);
        QCOMPARE(legacy.stream_id(), QStringLiteral("1"));
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
        QString probe;
        QVERIFY2(run("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width", "-of", "csv=p=0", output},
                     &probe),
                 qPrintable(probe));
        QCOMPARE(probe.trimmed(), QStringLiteral("h264,320"));
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

    void fileForTime()
    {
        std::unique_ptr<PopupExport> d(dayDialog(3));
        QList<QFileInfo> range;
        setTimes(d.get(), QTime(14, 0, 1), QTime(14, 0, 2));
        QCOMPARE(d->select_range(&range), 0);
        QCOMPARE(d->find_file_for_time("140005", true), QStringLiteral("3_20240305_140000"));
        QCOMPARE(d->find_file_for_time("140006", true), QStringLiteral("3_20240305_140006"));
        QCOMPARE(d->find_file_for_time("140011", true), QString());
        QCOMPARE(d->find_file_for_time("140011", false), QStringLiteral("3_20240305_140006"));
        QCOMPARE(d->find_file_for_time("090000", true), QString());
        QCOMPARE(d->find_file_for_time("090000", false), QStringLiteral("3_20240305_140006"));

        const QString seek = dayFolderOf(m_export) + "/140006/3_20240305_140006.zuseek";
        QCOMPARE(PopupExport::last_seek_timestamp(seek), QStringLiteral("20240305140011900"));
        QCOMPARE(PopupExport::last_seek_timestamp(seek + ".missing"), QString());

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
};

ZU_EXPORT_TEST_MAIN(TestPopupExport)
#include "test_popupexport.moc"
