// The widget player window as a user works with it, on a generated export
// folder of two cameras in three 2-minute segments: the day's cameras and
// hour rows, choose a camera, play from an hour row, pause, rates, stop,
// step across file boundaries, play from an alarm and a tag, take a
// snapshot, export raw and encoded, check the day's integrity.
#include "alarmmodel.h"
#include "alarmviewer.h"
#include "../codecs/probe.h"
#include "download_presentation.h"
#include "integritydialog.h"
#include "legacy_testutil.h"
#include "popupexport.h"
#include "zuslidertimeline.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeEdit>

using namespace legacytest;

namespace {

template <typename T>
T *topLevel(const std::function<bool(T *)> &match = [](T *) { return true; })
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *t = qobject_cast<T *>(w); t && match(t))
            return t;
    }
    return nullptr;
}

bool run(const QString &program, const QStringList &args, QString *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(120000))
        return false;
    if (output)
        *output = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString shownTime(ZU_Player_presentation &w) { return w.surface()->currentTimestamp(); }

} // namespace

class TestLegacyEndToEnd : public QObject
{
    Q_OBJECT
    QTemporaryDir m_tmp;
    QString m_root;
    QString m_day;

private slots:
    void initTestCase()
    {
        QString out;
        QVERIFY2(run(QStringLiteral("python3"),
                     {QStringLiteral(ZU_SOURCE_DIR "/tools/make_export_folder"), QStringLiteral("--out"),
                      m_tmp.filePath(QStringLiteral("src")), QStringLiteral("--minutes"), QStringLiteral("6"),
                      QStringLiteral("--segment-minutes"), QStringLiteral("2")},
                     &out),
                 qPrintable(out));
        m_root = out.trimmed().section(QLatin1Char('\n'), -1);
        m_day = m_root + QStringLiteral("/2024-03-05");
        QVERIFY(QFileInfo(m_day).isDir());
    }

    void userSession()
    {
        ZU_Player_presentation w;
        w.resize(1400, 860);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Ui_ZU_Player_presentation *ui = w.form();
        QVERIFY(openDay(w, m_day));
        QCOMPARE(w.segmentSeconds(), 120); // from the 2-minute gaps
        // The day's cameras, the first one's hour rows, its two streams and
        // its tag on the 14:00 row and the slider.
        QCOMPARE(w.cameraBox()->count(), 2);
        QCOMPARE(w.cameraBox()->itemText(0), QStringLiteral("Entrée principale"));
        QCOMPARE(w.cameraIdText(), QStringLiteral("3"));
        QCOMPARE(w.hourTimelines().size(), 24);
        ZuTimeline *row = w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00"));
        QVERIFY(row);
        QCOMPARE(row->minute(0), 1);
        QCOMPARE(row->minute(6), 0);
        QCOMPARE(ui->slider->minute(14 * 60), 1);
        QCOMPARE(ui->video_stream_box->itemText(0), QStringLiteral("Video 0"));
        QCOMPARE(ui->video_stream_box->itemText(1), QStringLiteral("Video 1"));
        QCOMPARE(row->tags().size(), 1);
        QCOMPARE(ui->slider->tags().size(), 1);
        QCOMPARE(w.dayTags().size(), 2);

        // Camera "Parking" (12) from the camera box.
        const int parking = w.cameraBox()->findText(QStringLiteral("Parking"));
        QVERIFY(parking >= 0);
        w.cameraBox()->setCurrentIndex(parking);
        emit w.cameraBox()->activated(parking);
        QTRY_VERIFY(!w.isBuildingTimelines());
        QCOMPARE(w.cameraIdText(), QStringLiteral("12"));
        QCOMPARE(ui->video_stream_box->count(), 1);
        row = w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00"));
        QCOMPARE(row->minute(5), 1);
        QCOMPARE(row->minute(6), 0);

        // Play from 14:01 clicked on the hour row.
        row->grab();
        const int x = (61 * row->width() + 3599) / 3600;
        clickRow(row, x);
        QCOMPARE(w.playState(), 1);
        QVERIFY(waitPicture(w));
        QVERIFY2(shownTime(w) >= QStringLiteral("2024-03-05 14:01:00") && shownTime(w) < QStringLiteral("2024-03-05 14:01:30"),
                 qPrintable(shownTime(w)));
        QVERIFY(w.currentFile().endsWith(QStringLiteral("/140000/12_20240305_140000.zuvideo")));

        // The play button and the engine in step from every state: pause and
        // play; a rate chosen while paused plays at that rate.
        ZuStreamReadAndControl *engine = w.engine();
        // The play button shows what a click on it does.
        const auto shows = [&](QStyle::StandardPixmap icon) {
            return ui->playButton->icon().pixmap(16).toImage() == w.style()->standardIcon(icon).pixmap(16).toImage();
        };
        const auto state = [&](int look, ZuStreamReadAndControl::State s) {
            return w.playState() == look && engine->state() == s
                   && shows(look == 1 ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay);
        };
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QVERIFY(state(2, ZuStreamReadAndControl::Paused));
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QVERIFY(state(1, ZuStreamReadAndControl::Playing));
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        ui->rateBox->setCurrentIndex(2);
        emit ui->rateBox->activated(2);
        QVERIFY(state(1, ZuStreamReadAndControl::Playing));
        QCOMPARE(engine->rate(), -2.0);
        ui->rateBox->setCurrentIndex(4);
        emit ui->rateBox->activated(4);

        // Frame steps across the file boundary, forward then back.
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QVERIFY(state(2, ZuStreamReadAndControl::Paused));
        emit w.change_timestamp(QStringLiteral("20240305140158"));
        QTRY_VERIFY(shownTime(w) >= QStringLiteral("2024-03-05 14:01:58"));
        for (int i = 0; i < 60 && !w.currentFile().endsWith(QStringLiteral("12_20240305_140200.zuvideo")); ++i)
            QTest::mouseClick(ui->forwardButton, Qt::LeftButton);
        QVERIFY2(w.currentFile().endsWith(QStringLiteral("/140200/12_20240305_140200.zuvideo")), qPrintable(w.currentFile()));
        QCOMPARE(shownTime(w), QStringLiteral("2024-03-05 14:02:00.000"));
        QCOMPARE(w.playState(), 2);
        QTest::mouseClick(ui->backwardButton, Qt::LeftButton);
        QVERIFY(w.currentFile().endsWith(QStringLiteral("/140000/12_20240305_140000.zuvideo")));
        QCOMPARE(shownTime(w), QStringLiteral("2024-03-05 14:01:59.900"));
        // The time read-out is the frame's, not the minute the slider moved to.
        QCOMPARE(ui->lbl_timestamp->text(), QStringLiteral("14:01:59:900"));

        // Held forward: a step every 250 ms (10 frames a second) until released.
        QTest::mousePress(ui->forwardButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(shownTime(w) >= QStringLiteral("2024-03-05 14:02:00.200"), 30000); // 2 repeats and the click
        QTest::mouseRelease(ui->forwardButton, Qt::LeftButton);
        const QString held = shownTime(w);
        QTest::qWait(400);
        QCOMPARE(shownTime(w), held);

        // Stop; then a rate choice does not pretend to play, and play
        // reopens the file at that rate. An ended display keeps its surface.
        QTest::mouseClick(ui->stopButton, Qt::LeftButton);
        QVERIFY(state(0, ZuStreamReadAndControl::Stopped));
        QCOMPARE(ui->lbl_timestamp->text(), QStringLiteral("00:00:00:000"));
        ui->rateBox->setCurrentIndex(5);
        emit ui->rateBox->activated(5);
        QCOMPARE(w.playState(), 0);
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QVERIFY(state(1, ZuStreamReadAndControl::Playing));
        QCOMPARE(engine->rate(), 2.0);
        Canvas *surface = w.surface();
        emit surface->endingsignal();
        QCOMPARE(w.surface(), surface);
        QVERIFY(w.surface()->currentTimestamp().isEmpty() || waitPicture(w));
        ui->rateBox->setCurrentIndex(4);
        emit ui->rateBox->activated(4);

        // An alarm from the list: 2 s before it, in its own file.
        ui->tabWidget->setCurrentIndex(2);
        QTRY_VERIFY(ui->listVignettes_view->model() && ui->listVignettes_view->model()->rowCount() == 3);
        QCOMPARE(ui->alarm_combobox->currentText(), QStringLiteral("Parking"));
        QSignalSpy asked(&w, &ZU_Player_presentation::change_timestamp);
        pressRow(ui->listVignettes_view, 1);
        QCOMPARE(asked.last().at(0).toString(), QStringLiteral("20240305140200")); // the alarm is at 14:02:02
        QTRY_VERIFY(shownTime(w).startsWith(QStringLiteral("2024-03-05 14:02:0")));
        QVERIFY(w.currentFile().endsWith(QStringLiteral("12_20240305_140200.zuvideo")));
        // Its download square opens the picture.
        pressRow(ui->listVignettes_view, 1, true);
        AlarmViewer *alarmView = topLevel<AlarmViewer>();
        QVERIFY(alarmView);
        QVERIFY(!alarmView->image().isNull());
        QCOMPARE(alarmView->name(), QStringLiteral("12_20240305_140202_line-thumb.jpg"));
        alarmView->close();

        // The tag of camera 12 from the tag list (on its file's fifth second).
        ui->tabWidget->setCurrentIndex(3);
        const int parkingTags = ui->tags_comboBox->findText(QStringLiteral("Parking"));
        QVERIFY(parkingTags > 0);
        emit ui->tags_comboBox->activated(parkingTags);
        QTRY_VERIFY(ui->listTags_view->model() && ui->listTags_view->model()->rowCount() == 1);
        QCOMPARE(ui->listTags_view->model()->index(0, 0).data().toStringList().value(1), QStringLiteral("Repère 2"));
        pressRow(ui->listTags_view, 0);
        QTRY_VERIFY(shownTime(w).startsWith(QStringLiteral("2024-03-05 14:00:0")));
        QVERIFY(w.currentFile().endsWith(QStringLiteral("12_20240305_140000.zuvideo")));

        // A snapshot of the picture on screen.
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QCOMPARE(w.playState(), 2);
        const QString still = shownTime(w);
        QTest::mouseClick(ui->snapshotButton, Qt::LeftButton);
        AlarmViewer *snap = topLevel<AlarmViewer>([&](AlarmViewer *v) { return v->name() == still + QStringLiteral(".jpg"); });
        QVERIFY(snap);
        QCOMPARE(snap->image().size(), QSize(320, 240));
        snap->close();

        // Raw export of two files, compared byte for byte; the dialog opens
        // on the camera, stream and time on screen.
        QTest::mouseClick(ui->exportbutton, Qt::LeftButton);
        QPointer<PopupExport> raw = w.exportPopup();
        QVERIFY(raw);
        QCOMPARE(raw->camera_id(), 12);
        QCOMPARE(raw->stream_id(), QStringLiteral("0"));
        QCOMPARE(raw->begin_edit()->time().toString(QStringLiteral("HH:mm:ss")), still.mid(11, 8));
        QVERIFY(raw->date_label()->text().contains(QStringLiteral("05")));
        raw->format_combo()->setCurrentIndex(raw->format_combo()->findText(QStringLiteral("RAW"), Qt::MatchContains));
        raw->begin_edit()->setTime(QTime(14, 1, 0));
        raw->end_edit()->setTime(QTime(14, 3, 0));
        raw->file_name_edit()->setText(m_tmp.filePath(QStringLiteral("Raw/x")));
        raw->doExport();
        QMessageBox *end = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((end = topLevel<QMessageBox>([](QMessageBox *b) { return b->objectName() == QLatin1String("exportEndMessage"); })),
                                 60000);
        QCOMPARE(end->text(), QStringLiteral("Votre exportation est terminée."));
        end->close();
        const QString copy = m_tmp.filePath(QStringLiteral("Raw/")) + QFileInfo(m_root).fileName() + QStringLiteral("/2024-03-05");
        for (const QString &seg : {QStringLiteral("140000"), QStringLiteral("140200")}) {
            for (const QString &suffix : {QStringLiteral(".zuvideo"), QStringLiteral(".zuseek")}) {
                const QString rel = seg + QStringLiteral("/12_20240305_") + seg + suffix;
                QString diff;
                QVERIFY2(run(QStringLiteral("cmp"), {m_day + QLatin1Char('/') + rel, copy + QLatin1Char('/') + rel}, &diff),
                         qPrintable(rel + QLatin1Char(' ') + diff));
            }
        }
        QVERIFY(!QFileInfo::exists(copy + QStringLiteral("/140400/12_20240305_140400.zuvideo")));
        QVERIFY(ui->exportbutton->isEnabled());

        // Encoded export in a job window, checked with ffprobe.
        QTest::mouseClick(ui->exportbutton, Qt::LeftButton);
        QPointer<PopupExport> encoded = w.exportPopup();
        QVERIFY(encoded && encoded != raw);
        encoded->format_combo()->setCurrentIndex(0);
        encoded->end_edit()->setTime(encoded->begin_edit()->time().addSecs(8));
        encoded->file_name_edit()->setText(m_tmp.filePath(QStringLiteral("Enc/clip")));
        encoded->doExport();
        const QString output = encoded->get_export_path();
        QPointer<Download_presentation> jobs = topLevel<Download_presentation>();
        QVERIFY(jobs);
        QTRY_COMPARE_WITH_TIMEOUT(jobs->succeededJobs().size(), 1, 120000);
        const codectest::Probe probe = codectest::probe(output);
        QCOMPARE(QStringLiteral("%1,%2,%3").arg(probe.codec).arg(probe.width).arg(probe.height), "h264,320,240");
        jobs->close();
        QTRY_VERIFY(jobs.isNull());

        // The day's integrity.
        QTest::mouseClick(ui->integrityButton, Qt::LeftButton);
        QPointer<IntegrityDialog> check = w.integrityDialog();
        QVERIFY(check);
        QTRY_COMPARE_WITH_TIMEOUT(check->findChild<QProgressBar *>()->format(), QStringLiteral("Intégrité validée"), 60000);
        check->close();
        QTRY_VERIFY(!w.integrityDialog());

        // Playing on to the end of the day stops instead of asking for a
        // file without a name.
        ui->tabWidget->setCurrentIndex(1);
        row = w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00"));
        row->grab();
        clickRow(row, (350 * row->width() + 3599) / 3600);
        QTRY_VERIFY(shownTime(w) >= QStringLiteral("2024-03-05 14:05:50"));
        ui->rateBox->setCurrentIndex(7);
        emit ui->rateBox->activated(7);
        QTRY_VERIFY_WITH_TIMEOUT(w.playState() == 0, 20000);
        QVERIFY(w.currentFile().endsWith(QStringLiteral("12_20240305_140400.zuvideo")));
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("HOME", home.path().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    TestLegacyEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_legacy_e2e.moc"
