// The widget player window on the generated export folder: its form, the
// day's cameras and hour rows, the play controls against the real engine,
// export and the integrity check.
#include "encrypt.h"
#include "integritydialog.h"
#include "legacy_testutil.h"
#include "legacy_window_util.h"
#include "popupexport.h"
#include "zufile.h"
#include "zuslidertimeline.h"
#include "zutag.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimeEdit>

using namespace legacytest;

namespace {

// A recording of a written day: its seek entries at `times` ("HHmmsszzz"),
// ten bytes each of data that is no video.
bool writeRecording(const QString &day, int camera, const QString &start, const QStringList &times)
{
    const QString base = QStringLiteral("%1/%2/%3_%4_%2").arg(day, start).arg(camera).arg(QFileInfo(day).fileName().remove(QLatin1Char('-')));
    QByteArray seek;
    for (const QString &t : times)
        seek += QFileInfo(day).fileName().remove(QLatin1Char('-')).toLatin1() + t.toLatin1() + ":video0:h264:320x240:1:10\n";
    return writeFile(base + QStringLiteral(".zuseek"), seek)
           && writeFile(base + QStringLiteral(".zuvideo"), QByteArray(10 * times.size(), 'x'));
}

} // namespace

class TestLegacyWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(!smallExport().isEmpty(), "small_export fixture missing");
    }

    void freshWindow()
    {
        ZU_Player_presentation w;
        Ui_ZU_Player_presentation *ui = w.form();
        QCOMPARE(w.windowTitle(), QStringLiteral("ZuPlayer 3.4.3"));
        QCOMPARE(ui->rateBox->currentText(), QStringLiteral("1.0x"));
        QCOMPARE(w.selected_rate(), 1.0);
        QCOMPARE(ui->rateBox->count(), 8);
        QCOMPARE(ui->lbl_timestamp->text(), QStringLiteral("00:00:00:000"));
        QCOMPARE(ui->exportbutton->text(), QStringLiteral("Export vidéo"));
        QCOMPARE(ui->integrityButton->text(), QStringLiteral("Vérification de l'intégrité"));
        for (QWidget *c : std::initializer_list<QWidget *>{ui->slider, ui->playButton, ui->stopButton, ui->forwardButton,
                                                           ui->backwardButton, ui->snapshotButton, ui->rateBox,
                                                           ui->exportbutton, ui->integrityButton})
            QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(!ui->tabWidget->isTabEnabled(i));
        QCOMPARE(w.playState(), 0);
        QCOMPARE(ui->slider->maximum(), 1439);
        QVERIFY(ui->encodeprogress->isHidden());
        QCOMPARE(w.hourLabels().first(), QStringLiteral("00:00:00 - 01:00:00"));
        QCOMPARE(w.hourLabels().last(), QStringLiteral("23:00:00 - 00:00:00"));
        // Every connection of the form was made.
        QCOMPARE(w.connectionsMade(), w.connectionCount());
        QCOMPARE(w.connectionCount(), 35);
        // The form keeps a name its widget already has.
        QWidget named;
        named.setObjectName(QStringLiteral("mine"));
        Ui_ZU_Player_presentation form;
        form.setupUi(&named);
        QCOMPARE(named.objectName(), QStringLiteral("mine"));
        // The tree starts on the home folder.
        QCOMPARE(w.form()->tree->currentIndex(), w.treeIndex(QDir::homePath()));
    }

    void dayCamerasAndHourRows()
    {
        ZU_Player_presentation w;
        w.show();
        QVERIFY(openDay(w, smallDay()));
        QCOMPARE(w.dayDirectory(), smallDay() + QLatin1Char('/'));
        QVERIFY(w.form()->exportbutton->isEnabled());
        QCOMPARE(w.cameraNames().value(3), QStringLiteral("Entrée principale"));
        QCOMPARE(w.cameraBox()->count(), 2);
        QCOMPARE(w.cameraBox()->itemText(0), QStringLiteral("Entrée principale"));
        QCOMPARE(w.cameraIdText(), QStringLiteral("3"));
        QCOMPARE(w.hourTimelines().size(), 24);
        ZuTimeline *row = w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00"));
        QVERIFY(row);
        QCOMPARE(row->minute(0), 1);
        QCOMPARE(row->minute(1), 0);
        QCOMPARE(row->camera_id(), 3);
        QCOMPARE(w.form()->slider->minute(14 * 60), 1);
        // Camera 3 records two streams; its tag is on the 14:00 row.
        QCOMPARE(w.form()->video_stream_box->itemText(0), QStringLiteral("Video 0"));
        QCOMPARE(w.form()->video_stream_box->itemText(1), QStringLiteral("Video 1"));
        QCOMPARE(row->tags().size(), 1);
        QCOMPARE(w.form()->slider->tags().size(), 1);
        QCOMPARE(w.dayTags().size(), 2);
        QCOMPARE(w.segmentMinutes(), 1);

        // Another camera from the camera box: its own rows and stream.
        w.cameraBox()->setCurrentIndex(1);
        emit w.cameraBox()->activated(1);
        QTRY_VERIFY(!w.isBuildingTimelines());
        QCOMPARE(w.cameraIdText(), QStringLiteral("12"));
        QCOMPARE(row->camera_id(), 12);
        QCOMPARE(w.form()->video_stream_box->count(), 1);

        // Back to the tree while a build runs: the rows and the build go,
        // and later slider releases or stream choices reach nothing freed.
        w.change_timelines_from_cameraid(3);
        w.form()->tabWidget->setCurrentIndex(0);
        QVERIFY(w.hourTimelines().isEmpty());
        QVERIFY(!w.isBuildingTimelines());
        w.setTime(QTime(14, 0, 1));
        emit w.form()->slider->change_value(QStringLiteral("14:00:00"), 3);
        emit w.form()->video_stream_box->activated(0);
        QTest::qWait(50);
    }

    void playPauseRatesAndSteps()
    {
        ZU_Player_presentation w;
        w.resize(1200, 700);
        w.show();
        QVERIFY(openDay(w, smallDay()));
        ZuStreamReadAndControl *engine = w.engine();
        Ui_ZU_Player_presentation *ui = w.form();

        clickRow(w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00")), 0);
        QCOMPARE(w.playState(), 1);
        QCOMPARE(engine->state(), ZuStreamReadAndControl::Playing);
        QVERIFY(waitPicture(w));
        QVERIFY(w.surface()->currentTimestamp().startsWith(QStringLiteral("2024-03-05 14:00:0")));
        QTRY_VERIFY(ui->lbl_timestamp->text().startsWith(QStringLiteral("14:00:0")));
        QVERIFY(ui->stopButton->isEnabled());

        // Pause and play through the one button.
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QCOMPARE(w.playState(), 2);
        QCOMPARE(engine->state(), ZuStreamReadAndControl::Paused);
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QCOMPARE(w.playState(), 1);
        QCOMPARE(engine->state(), ZuStreamReadAndControl::Playing);

        // A rate chosen while paused plays at that rate.
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        ui->rateBox->setCurrentIndex(2);
        emit ui->rateBox->activated(2);
        QCOMPARE(w.playState(), 1);
        QCOMPARE(engine->state(), ZuStreamReadAndControl::Playing);
        QCOMPARE(engine->rate(), -2.0);
        ui->rateBox->setCurrentIndex(4);
        emit ui->rateBox->activated(4);

        // One frame forward: paused on exactly the next entry.
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QVERIFY(waitPicture(w));
        const int before = engine->position();
        QTest::mouseClick(ui->forwardButton, Qt::LeftButton);
        QCOMPARE(w.playState(), 2);
        QCOMPARE(engine->position(), before + 1);
        QTest::mouseClick(ui->backwardButton, Qt::LeftButton);
        QCOMPARE(engine->position(), before);

        // Held forward: a step every 250 ms until released.
        const QString held = w.surface()->currentTimestamp();
        QTest::mousePress(ui->forwardButton, Qt::LeftButton);
        QTest::qWait(700);
        QTest::mouseRelease(ui->forwardButton, Qt::LeftButton);
        const int steps = engine->position() - before;
        QVERIFY2(steps >= 3, qPrintable(QString::number(steps))); // 2 repeats and the click
        QTest::qWait(400);
        QCOMPARE(engine->position() - before, steps);
        QVERIFY(w.surface()->currentTimestamp() > held);

        // Stop, then a rate choice does not pretend to play; play reopens.
        QTest::mouseClick(ui->stopButton, Qt::LeftButton);
        QCOMPARE(w.playState(), 0);
        QCOMPARE(engine->state(), ZuStreamReadAndControl::Stopped);
        QCOMPARE(ui->lbl_timestamp->text(), QStringLiteral("00:00:00:000"));
        ui->rateBox->setCurrentIndex(5);
        emit ui->rateBox->activated(5);
        QCOMPARE(w.playState(), 0);
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QCOMPARE(w.playState(), 1);
        QCOMPARE(engine->state(), ZuStreamReadAndControl::Playing);
        QCOMPARE(engine->rate(), 2.0);

        // An ended display keeps its surface.
        Canvas *surface = w.surface();
        emit surface->endingsignal();
        QCOMPARE(w.surface(), surface);
        QVERIFY(w.surface()->currentTimestamp().isEmpty() || waitPicture(w));
    }

    void exportAtTheTimeOnScreen()
    {
        ZU_Player_presentation w;
        w.show();
        QVERIFY(openDay(w, smallDay()));
        // Nothing on screen: nothing opens.
        QTest::mouseClick(w.form()->exportbutton, Qt::LeftButton);
        QVERIFY(!w.exportPopup());

        clickRow(w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00")), 0);
        QVERIFY(waitPicture(w));
        QTest::mouseClick(w.form()->playButton, Qt::LeftButton); // pause
        const QString shown = w.surface()->currentTimestamp();
        QTest::mouseClick(w.form()->exportbutton, Qt::LeftButton);
        PopupExport *popup = w.exportPopup();
        QVERIFY(popup);
        QCOMPARE(popup->camera_id(), 3);
        QCOMPARE(popup->stream_id(), QStringLiteral("0"));
        QCOMPARE(popup->begin_edit()->time().toString(QStringLiteral("HH:mm:ss")), shown.mid(11, 8));
        QCOMPARE(popup->date_label()->text().contains(QStringLiteral("05")), true);
        delete popup;

        // A day entered anew: the old day's picture goes with it, so an
        // export cannot take its day and time.
        emit w.form()->tree->clicked(w.treeIndex(smallDay()));
        QVERIFY(w.surface()->currentTimestamp().isEmpty());
        QTest::mouseClick(w.form()->exportbutton, Qt::LeftButton);
        QVERIFY(!w.exportPopup());
    }

    // An alarm row of another camera plays that camera at the alarm, also
    // when the stream chosen for the camera shown was not recorded by it.
    void alarmRowOfAnotherCamera_data()
    {
        QTest::addColumn<int>("stream");
        QTest::newRow("Video 0") << 0;
        QTest::newRow("Video 1") << 1; // camera 12 records video0 only
    }

    void alarmRowOfAnotherCamera()
    {
        QFETCH(int, stream);
        ZU_Player_presentation w;
        w.resize(1200, 800);
        w.show();
        QVERIFY(openDay(w, smallDay()));
        Ui_ZU_Player_presentation *ui = w.form();
        ZuTimeline *row = w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00"));
        row->grab();
        clickRow(row, (8 * row->width() + 3599) / 3600); // camera 3 at 14:00:08
        QVERIFY(waitPicture(w));
        ui->video_stream_box->setCurrentIndex(stream);
        emit ui->video_stream_box->activated(stream);
        QTRY_COMPARE(w.engine()->stream_id(), QString::number(stream));
        QVERIFY(waitPicture(w));

        ui->tabWidget->setCurrentIndex(2);
        emit ui->alarm_combobox->activated(0); // every camera
        QTRY_COMPARE(w.alarmEvents().size(), 4);
        int alarm = -1;
        for (int i = 0; i < w.alarmEvents().size(); ++i) {
            if (w.alarmEvents().at(i).fileName.startsWith(QStringLiteral("12_20240305_140002")))
                alarm = i;
        }
        QVERIFY(alarm >= 0);
        pressRow(ui->listVignettes_view, alarm);
        QTRY_VERIFY(!w.isBuildingTimelines());
        QTest::qWait(300); // the rows' end seeks once more
        QVERIFY(waitPicture(w));
        QCOMPARE(w.cameraIdText(), QStringLiteral("12"));
        QVERIFY2(w.currentFile().endsWith(QStringLiteral("/140000/12_20240305_140000.zuvideo")), qPrintable(w.currentFile()));
        const QString shown = w.surface()->currentTimestamp();
        QVERIFY2(shown >= QStringLiteral("2024-03-05 14:00:00") && shown < QStringLiteral("2024-03-05 14:00:06"), qPrintable(shown));
        QCOMPARE(w.engine()->stream_id(), QStringLiteral("0"));
    }

    void integrityVerdictAndStop()
    {
        ZU_Player_presentation w;
        w.show();
        QVERIFY(openDay(w, smallDay()));
        QTest::mouseClick(w.form()->integrityButton, Qt::LeftButton);
        QPointer<IntegrityDialog> dialog = w.integrityDialog();
        QVERIFY(dialog);
        QProgressBar *bar = dialog->findChild<QProgressBar *>();
        QTRY_COMPARE_WITH_TIMEOUT(bar->format(), QStringLiteral("Intégrité validée"), 20000);
        // A second click while the dialog is open does nothing.
        QTest::mouseClick(w.form()->integrityButton, Qt::LeftButton);
        QCOMPARE(w.integrityDialog(), dialog.data());
        dialog->close();
        QTRY_VERIFY(!w.integrityDialog());

        // "Arrêter" during a long check reaches the checker.
        QTemporaryDir tmp;
        const QString slow = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-03-05"));
        QVERIFY(QDir().mkpath(slow + QStringLiteral("/101500")));
        QFile big(slow + QStringLiteral("/101500/big.zuvideo"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(8) << 30));
        big.close();
        const QJsonArray manifest{QJsonObject{{QStringLiteral("file"), QStringLiteral("big.zuvideo")},
                                              {QStringLiteral("absolutepath"), big.fileName()},
                                              {QStringLiteral("path"), QStringLiteral("101500/big.zuvideo")},
                                              {QStringLiteral("sha256"), QString(64, QLatin1Char('0'))}}};
        QVERIFY(Encrypt().encryptFile(slow + QStringLiteral("/hash.json"), QJsonDocument(manifest).toJson()));
        emit w.form()->tree->clicked(w.treeIndex(slow));
        QCOMPARE(w.dayDirectory(), slow + QLatin1Char('/'));
        QTest::mouseClick(w.form()->integrityButton, Qt::LeftButton);
        dialog = w.integrityDialog();
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isChecking());
        QPushButton *stop = nullptr;
        for (QPushButton *b : dialog->findChildren<QPushButton *>()) {
            if (b->text() == QStringLiteral("Arrêter"))
                stop = b;
        }
        QVERIFY(stop);
        QTest::mouseClick(stop, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isChecking(), 20000);
        QCOMPARE(dialog->findChild<QProgressBar *>()->format(), QStringLiteral("Vérification arrêtée"));
        dialog->close();
        QTRY_VERIFY(!w.integrityDialog());

        // A window closed during a check stops it and waits for it.
        auto *other = new ZU_Player_presentation;
        other->show();
        emit other->form()->tree->clicked(other->treeIndex(slow));
        QTest::mouseClick(other->form()->integrityButton, Qt::LeftButton);
        QPointer<IntegrityDialog> running = other->integrityDialog();
        QVERIFY(running);
        QTRY_VERIFY(running->isChecking());
        delete other;
        QVERIFY(running.isNull());
    }

    // A recording row of the tree, as drawn under the window's style
    // sheets: its text stands out from what is behind it.
    void treeRowsReadable()
    {
        ZU_Player_presentation w;
        w.resize(1200, 800);
        w.show();
        QTreeView *tree = w.form()->tree;
        const QString segment = smallDay() + QStringLiteral("/140000");
        QModelIndex index;
        QVERIFY(QTest::qWaitFor([&] {
            index = w.treeIndex(segment);
            for (QModelIndex i = index; i.isValid(); i = i.parent())
                tree->expand(i);
            return index.isValid() && w.form()->tree->model()->rowCount(index) > 0;
        }, 10000));
        // The file model goes on listing folders: keep the row's index alive.
        const QPersistentModelIndex recording = tree->model()->index(0, 0, index);
        QCOMPARE(recording.data().toString(), QStringLiteral("14:00:00"));
        w.form()->tabWidget->setCurrentIndex(0);
        tree->scrollTo(recording, QAbstractItemView::PositionAtCenter);
        QTest::qWait(50);
        QVERIFY(recording.isValid());
        tree->scrollTo(recording, QAbstractItemView::PositionAtCenter);
        const QImage img = w.grab().toImage();
        img.save(QStringLiteral(ZU_BINARY_DIR "/tests/legacy/legacy_tree.png"));
        const QRect rowRect = tree->visualRect(recording);
        const QRect r = QRect(tree->viewport()->mapTo(&w, rowRect.topLeft()), rowRect.size()).intersected(img.rect());
        QVERIFY(r.height() > 5);
        int light = 0, dark = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const int g = qGray(img.pixel(x, y));
                light += g > 170;
                dark += g < 90;
            }
        QVERIFY2(light > 20 && dark > 20, qPrintable(QStringLiteral("%1 light, %2 dark").arg(light).arg(dark)));
    }

    // A click in the quarter hour after a camera's last recording: the
    // search ends on that camera's last video, not on its audio file (the
    // engine plays video only), and playing past its end stops.
    void clickAfterTheLastRecording()
    {
        ZU_Player_presentation w;
        w.show();
        QVERIFY(openDay(w, smallDay()));
        QCOMPARE(w.timeline_get_datetime(QStringLiteral("14:05:00"), 3, 900), QStringLiteral("20240305140500"));
        QVERIFY2(w.currentFile().endsWith(QStringLiteral("/140006/3_20240305_140006.zuvideo")), qPrintable(w.currentFile()));
        QCOMPARE(w.engine()->state(), ZuStreamReadAndControl::Playing);
        emit w.change_timestamp(QStringLiteral("20240305140500"));
        QTRY_COMPARE(w.playState(), 0);
    }

    // The boxes' popups as a user opens them: every row as wide as its text
    // needs, and text that stands out from its row.
    void boxPopupsReadable()
    {
        ZU_Player_presentation w;
        w.resize(1200, 800);
        w.show();
        QVERIFY(openDay(w, smallDay()));
        Ui_ZU_Player_presentation *ui = w.form();
        ui->tabWidget->setCurrentIndex(2);
        QTRY_VERIFY(ui->alarm_combobox->count() == 3);
        for (QComboBox *box : {ui->rateBox, ui->video_stream_box, w.cameraBox(), ui->alarm_combobox}) {
            if (!box->isVisible())
                ui->tabWidget->setCurrentIndex(box == w.cameraBox() ? 1 : 2);
            box->showPopup();
            QAbstractItemView *view = box->view();
            QTRY_VERIFY(view->isVisible());
            for (int i = 0; i < box->count(); ++i) {
                const QModelIndex index = box->model()->index(i, 0);
                QVERIFY2(view->viewport()->width() >= view->sizeHintForIndex(index).width(),
                         qPrintable(box->objectName() + QLatin1Char(' ') + box->itemText(i)));
            }
            const QImage img = view->viewport()->grab().toImage();
            const QRect r = view->visualRect(box->model()->index(box->count() - 1, 0)).intersected(img.rect());
            QMap<int, int> grays;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    ++grays[qGray(img.pixel(x, y)) / 8];
            int background = 0;
            for (auto it = grays.cbegin(); it != grays.cend(); ++it)
                background = it.value() > grays.value(background) ? it.key() : background;
            int text = 0;
            for (auto it = grays.cbegin(); it != grays.cend(); ++it)
                text += qAbs(it.key() - background) * 8 > 80 ? it.value() : 0;
            QVERIFY2(text > 20, qPrintable(QStringLiteral("%1: %2 text pixels").arg(box->objectName()).arg(text)));
            box->hidePopup();
        }
    }

    // A day written here: two cameras on different schedules, a file that
    // runs into the next hour, a tag on a file's first second.
    void searchesOnAWrittenDay()
    {
        QTemporaryDir tmp;
        const QString day = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-01-01"));
        QVERIFY(writeRecording(day, 1, QStringLiteral("100000"), {QStringLiteral("100000000"), QStringLiteral("100030000")}));
        QVERIFY(writeRecording(day, 1, QStringLiteral("105900"), {QStringLiteral("105900000"), QStringLiteral("110030000")}));
        QVERIFY(writeRecording(day, 2, QStringLiteral("101000"), {QStringLiteral("101000000"), QStringLiteral("101030000")}));
        QVERIFY(ZuFile::write_tag_file(day + QStringLiteral("/100000/1_20240101_100000.zutag"),
                                       ZuTag(QStringLiteral("7"), QStringLiteral("20240101100000"), QStringLiteral("1"),
                                             QStringLiteral("Début"), QStringLiteral("premier instant"))));

        ZU_Player_presentation w;
        w.show();
        QVERIFY(openDay(w, day));
        QCOMPARE(w.cameraIdText(), QStringLiteral("1"));
        QCOMPARE(w.segmentSeconds(), 60);

        // In the gap after camera 1's 10:00 file, camera 2's file starts
        // soon after: the search stays on camera 1.
        QCOMPARE(w.timeline_get_datetime(QStringLiteral("10:09:00"), 1, 900), QStringLiteral("20240101100900"));
        QVERIFY(w.currentFile().endsWith(QStringLiteral("1_20240101_100000.zuvideo")));

        // The 10:59 file's frames: 10:59 on its own row, 11:00 on the next.
        ZuTimeline *ten = w.hourTimelines().value(QStringLiteral("10:00:00 - 11:00:00"));
        ZuTimeline *eleven = w.hourTimelines().value(QStringLiteral("11:00:00 - 12:00:00"));
        QVERIFY(ten && eleven);
        QCOMPARE(eleven->minute(0), 0);
        QCOMPARE(w.timeline_get_datetime(QStringLiteral("10:59:10"), 1, 0), QStringLiteral("20240101105910"));
        QCOMPARE(ten->minute(59), 1);
        QCOMPARE(eleven->minute(0), 1);
        QCOMPARE(w.form()->slider->minute(11 * 60), 1);

        // The tag on the first second of its file is listed.
        w.set_tags_list_from_cameraid(1);
        QVERIFY(w.form()->listTags_view->model());
        QCOMPARE(w.tagEvents().size(), 1);
        QCOMPARE(w.tagEvents().first().file.fileName(), QStringLiteral("1_20240101_100000.zuvideo"));
        QCOMPARE(w.tagEvents().first().tagName, QStringLiteral("Début"));
    }

    // The alarm and tag lists opened before the recordings tab: their rows
    // are matched with the day's recording length (5 minutes here, not the
    // one-minute fallback), and a row opens its recording.
    void listsBeforeTheRecordingsTab()
    {
        QTemporaryDir tmp;
        const QString day = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-01-01"));
        QVERIFY(writeRecording(day, 1, QStringLiteral("100000"), {QStringLiteral("100000000"), QStringLiteral("100459000")}));
        QVERIFY(writeRecording(day, 1, QStringLiteral("100500"), {QStringLiteral("100500000"), QStringLiteral("100959000")}));
        QVERIFY(writeFile(day + QStringLiteral("/100000/1_20240101_100230_motion.jpg"), "x"));
        QVERIFY(writeFile(day + QStringLiteral("/100000/1_20240101_100230_motion-thumb.jpg"), "x"));
        QVERIFY(ZuFile::write_tag_file(day + QStringLiteral("/100000/1_20240101_100300.zutag"),
                                       ZuTag(QStringLiteral("8"), QStringLiteral("20240101100300"), QStringLiteral("1"),
                                             QStringLiteral("Passage"), QString())));

        ZU_Player_presentation w;
        w.resize(1200, 800);
        w.show();
        emit w.form()->tree->clicked(w.treeIndex(day));
        QCOMPARE(w.dayDirectory(), day + QLatin1Char('/'));
        w.form()->tabWidget->setCurrentIndex(3);
        QCOMPARE(w.tagEvents().size(), 1);
        QCOMPARE(w.tagEvents().first().file.fileName(), QStringLiteral("1_20240101_100000.zuvideo"));
        QVERIFY(w.form()->listTags_view->rowHeight(0) >= 40); // room for the row's two text lines
        w.form()->tabWidget->setCurrentIndex(2);
        QCOMPARE(w.alarmEvents().size(), 1);
        pressRow(w.form()->listVignettes_view, 0);
        QVERIFY2(w.currentFile().endsWith(QStringLiteral("/100000/1_20240101_100000.zuvideo")), qPrintable(w.currentFile()));
    }

    void destroyedWhileBuilding()
    {
        auto *w = new ZU_Player_presentation;
        w->show();
        const QModelIndex day = w->treeIndex(smallDay());
        emit w->form()->tree->clicked(day);
        w->form()->tabWidget->setCurrentIndex(1);
        delete w; // waits for the build, frees engine and controller
    }
};

QTEST_MAIN(TestLegacyWindow)
#include "tst_legacy_window.moc"
