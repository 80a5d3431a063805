// The widget player window on the generated export folder and on days
// written here: its form, tearing down its hour rows, searches, lists,
// export and the integrity check.
#include "encrypt.h"
#include "integritydialog.h"
#include "legacy_testutil.h"
#include "zufile.h"
#include "zuslidertimeline.h"
#include "zulog.h"
#include "zutag.h"

#include "../common/zu_test_util.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolTip>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace legacytest;

namespace {

// A window on a day, its hour rows built; null when the day did not open.
std::unique_ptr<ZU_Player_presentation> dayWindow(const QString &day = smallDay())
{
    auto w = std::make_unique<ZU_Player_presentation>();
    w->resize(1200, 800);
    w->show();
    return openDay(*w, day) ? std::move(w) : nullptr;
}

// Pixels of `rect` in `img` that stand out from the commonest gray level
// there (the background).
int textPixels(const QImage &img, QRect rect)
{
    rect = rect.intersected(img.rect());
    QMap<int, int> grays; // gray level / 8 -> pixels
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            ++grays[qGray(img.pixel(x, y)) / 8];
    const int background = std::max_element(grays.cbegin(), grays.cend()).key();
    int text = 0;
    for (auto it = grays.cbegin(); it != grays.cend(); ++it)
        text += qAbs(it.key() - background) * 8 > 80 ? it.value() : 0;
    return text;
}

// The log lines written while it lives.
struct LogCapture {
    QTemporaryDir dir;
    LogCapture()
    {
        setLevelValue(1);
        ZuLogFile::install(dir.filePath(QStringLiteral("log")));
    }
    ~LogCapture() { ZuLogFile::uninstall(); }
    QStringList lines(const QString &containing) const
    {
        QFile f(dir.filePath(QStringLiteral("log")));
        f.open(QIODevice::ReadOnly);
        QStringList out;
        for (const QString &line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n')))
            if (line.contains(containing))
                out << line.section(containing, 1);
        return out;
    }
};

// A folder made read-only while it lives: by its mode, or, for root, whom
// modes do not stop, by a read-only bind mount of it onto itself in the
// test's own mount namespace. `refused` says why not when it could not.
struct ReadOnly {
    QString folder;
    bool mounted = false;
    QString refused;
    explicit ReadOnly(const QString &dir)
        : folder(dir)
    {
        const QByteArray path = QFile::encodeName(dir);
        if (::geteuid() != 0) {
            if (::chmod(path.constData(), 0555) != 0)
                refused = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        refused = zutest::privateMountNamespace();
        if (!refused.isEmpty())
            return;
        if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0) {
            refused = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        mounted = true;
        if (::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            refused = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~ReadOnly()
    {
        const QByteArray path = QFile::encodeName(folder);
        if (mounted && ::umount(path.constData()) != 0)
            ::umount2(path.constData(), MNT_DETACH);
        if (!mounted)
            ::chmod(path.constData(), 0755);
    }
};

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
        QCOMPARE(ui->lbl_timestamp->text(), QStringLiteral("00:00:00:000"));
        for (QWidget *c : std::initializer_list<QWidget *>{ui->slider, ui->playButton, ui->stopButton, ui->forwardButton,
                                                           ui->backwardButton, ui->snapshotButton, ui->rateBox,
                                                           ui->exportbutton, ui->integrityButton})
            QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(!ui->tabWidget->isTabEnabled(i));
        QCOMPARE(ui->slider->maximum(), 1439);
        // Every connection of the form was made.
        QCOMPARE(w.connectionsMade(), w.connectionCount());
        QCOMPARE(w.connectionCount(), 35);
        QCOMPARE(w.form()->tree->currentIndex(), w.treeIndex(QDir::homePath()));
    }

    // Back to the tree while a build runs: the rows and the build go, and
    // later slider releases or stream choices reach nothing freed.
    void rowsTornDownDuringABuild()
    {
        const auto w = dayWindow();
        QVERIFY(w);
        w->change_timelines_from_cameraid(12);
        w->form()->tabWidget->setCurrentIndex(0);
        QVERIFY(w->hourTimelines().isEmpty());
        QVERIFY(!w->isBuildingTimelines());
        w->setTime(QTime(14, 0, 1));
        emit w->form()->slider->change_value(QStringLiteral("14:00:00"), 3);
        emit w->form()->video_stream_box->activated(0);
        QTest::qWait(50);
    }

    // Export takes the picture on screen: nothing without one, and nothing
    // once the day is entered anew (its picture goes with it).
    void exportNeedsThePictureOnScreen()
    {
        const auto w = dayWindow();
        QVERIFY(w);
        // Nor does a slider release ask for a time before any was shown.
        QSignalSpy asked(w.get(), &ZU_Player_presentation::change_timestamp);
        emit w->form()->slider->change_value(QStringLiteral("14:00:00"), 3);
        QCOMPARE(asked.count(), 0);
        QTest::mouseClick(w->form()->exportbutton, Qt::LeftButton);
        QVERIFY(!w->exportPopup());
        clickRow(w->hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00")), 0);
        QVERIFY(waitPicture(*w));
        emit w->form()->tree->clicked(w->treeIndex(smallDay()));
        QVERIFY(w->surface()->currentTimestamp().isEmpty());
        QTest::mouseClick(w->form()->exportbutton, Qt::LeftButton);
        QVERIFY(!w->exportPopup());
    }

    // An alarm row of another camera plays that camera at the alarm, also
    // when the stream chosen for the camera shown was not recorded by it
    // (camera 12 records video0 only). The stream is chosen while playing.
    void alarmRowOfAnotherCamera()
    {
        const auto w = dayWindow();
        QVERIFY(w);
        Ui_ZU_Player_presentation *ui = w->form();
        ZuTimeline *row = w->hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00"));
        row->grab();
        clickRow(row, (8 * row->width() + 3599) / 3600); // camera 3 at 14:00:08
        QVERIFY(waitPicture(*w));
        // The stream box acts while playing only.
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        QCOMPARE(w->playState(), 2);
        ui->video_stream_box->setCurrentIndex(1);
        emit ui->video_stream_box->activated(1);
        QCoreApplication::processEvents();
        QCOMPARE(w->engine()->stream_id(), QStringLiteral("0"));
        QCOMPARE(w->playState(), 2);
        QTest::mouseClick(ui->playButton, Qt::LeftButton);
        emit ui->video_stream_box->activated(1);
        QTRY_COMPARE(w->engine()->stream_id(), QStringLiteral("1"));
        QVERIFY(waitPicture(*w));

        ui->tabWidget->setCurrentIndex(2);
        emit ui->alarm_combobox->activated(0); // every camera
        QTRY_COMPARE(w->alarmEvents().size(), 4);
        int alarm = -1;
        for (int i = 0; i < w->alarmEvents().size(); ++i) {
            if (w->alarmEvents().at(i).fileName.startsWith(QStringLiteral("12_20240305_140002")))
                alarm = i;
        }
        QVERIFY(alarm >= 0);
        pressRow(ui->listVignettes_view, alarm);
        QTRY_VERIFY(!w->isBuildingTimelines());
        QTest::qWait(300); // the rows' end seeks once more
        QVERIFY(waitPicture(*w));
        QCOMPARE(w->cameraIdText(), QStringLiteral("12"));
        QVERIFY2(w->currentFile().endsWith(QStringLiteral("/140000/12_20240305_140000.zuvideo")), qPrintable(w->currentFile()));
        const QString shown = w->surface()->currentTimestamp();
        QVERIFY2(shown >= QStringLiteral("2024-03-05 14:00:00") && shown < QStringLiteral("2024-03-05 14:00:06"), qPrintable(shown));
        QCOMPARE(w->engine()->stream_id(), QStringLiteral("0"));
    }

    // "Arrêter" during a long check reaches the checker; a window closed
    // during a check stops it and waits for it.
    void integrityStop()
    {
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
        for (bool closeWindow : {false, true}) {
            std::unique_ptr<ZU_Player_presentation> w(new ZU_Player_presentation);
            w->show();
            emit w->form()->tree->clicked(w->treeIndex(slow));
            QCOMPARE(w->dayDirectory(), slow + QLatin1Char('/'));
            QTest::mouseClick(w->form()->integrityButton, Qt::LeftButton);
            QPointer<IntegrityDialog> dialog = w->integrityDialog();
            QVERIFY(dialog);
            QTRY_VERIFY(dialog->isChecking());
            if (closeWindow) {
                w.reset();
                QVERIFY(dialog.isNull());
                break;
            }
            // A second click while the dialog is open does nothing.
            QTest::mouseClick(w->form()->integrityButton, Qt::LeftButton);
            QCOMPARE(w->integrityDialog(), dialog.data());
            QPushButton *stop = nullptr;
            for (QPushButton *b : dialog->findChildren<QPushButton *>())
                stop = b->text() == QStringLiteral("Arrêter") ? b : stop;
            QVERIFY(stop);
            QTest::mouseClick(stop, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!dialog->isChecking(), 20000);
            QCOMPARE(dialog->findChild<QProgressBar *>()->format(), QStringLiteral("Vérification arrêtée"));
            dialog->close();
            QTRY_VERIFY(!w->integrityDialog());
        }
    }

    // A click in the quarter hour after a camera's last recording: the
    // search ends on that camera's last video, not on its audio file (the
    // engine plays video only).
    void clickAfterTheLastRecording()
    {
        const auto w = dayWindow();
        QVERIFY(w);
        QCOMPARE(w->timeline_get_datetime(QStringLiteral("14:05:00"), 3, 900), QStringLiteral("20240305140500"));
        QVERIFY2(w->currentFile().endsWith(QStringLiteral("/140006/3_20240305_140006.zuvideo")), qPrintable(w->currentFile()));
        QCOMPARE(w->engine()->state(), ZuStreamReadAndControl::Playing);
    }

    // The boxes' popups and an hour row's tag tip as a user opens them:
    // every row as wide as its text needs, and text that stands out from
    // an opaque background.
    void popupsReadable()
    {
        const auto w = dayWindow();
        QVERIFY(w);
        Ui_ZU_Player_presentation *ui = w->form();
        ui->tabWidget->setCurrentIndex(2);
        QTRY_VERIFY(ui->alarm_combobox->count() == 3);
        for (QComboBox *box : {ui->rateBox, ui->video_stream_box, w->cameraBox(), ui->alarm_combobox}) {
            if (!box->isVisible())
                ui->tabWidget->setCurrentIndex(box == w->cameraBox() ? 1 : 2);
            box->showPopup();
            QAbstractItemView *view = box->view();
            QTRY_VERIFY(view->isVisible());
            for (int i = 0; i < box->count(); ++i) {
                const QModelIndex index = box->model()->index(i, 0);
                QVERIFY2(view->viewport()->width() >= view->sizeHintForIndex(index).width(),
                         qPrintable(box->objectName() + QLatin1Char(' ') + box->itemText(i)));
            }
            const QImage img = view->viewport()->grab().toImage();
            const int text = textPixels(img, view->visualRect(box->model()->index(box->count() - 1, 0)));
            QVERIFY2(text > 20, qPrintable(QStringLiteral("%1: %2 text pixels").arg(box->objectName()).arg(text)));
            box->hidePopup();
        }

        ui->tabWidget->setCurrentIndex(1);
        ZuTimeline *row = nullptr;
        for (ZuTimeline *line : w->hourTimelines())
            row = !line->tags().isEmpty() ? line : row;
        QVERIFY(row);
        row->grab();
        for (int x = 0; x < row->width() && !QToolTip::isVisible(); ++x) {
            QMouseEvent move(QEvent::MouseMove, QPointF(x, 12), row->mapToGlobal(QPointF(x, 12)), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(row, &move);
        }
        QVERIFY(QToolTip::isVisible());
        QWidget *tip = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets())
            tip = top->inherits("QTipLabel") && top->isVisible() ? top : tip;
        QVERIFY(tip);
        const QImage img = tip->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(qAlpha(img.pixel(img.width() / 2, 1)), 255);
        const int text = textPixels(img, img.rect());
        QVERIFY2(text > 20, qPrintable(QStringLiteral("tag tip: %1 text pixels").arg(text)));
        QToolTip::hideText();
    }

    // A day written here: two cameras on different schedules, a file that
    // runs into the next hour, a tag on a file's first second. The searches
    // stay on the camera asked for.
    void searchesOnAWrittenDay()
    {
        QTemporaryDir tmp;
        const QString day = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-01-01"));
        const QString date = QStringLiteral("20240101");
        QVERIFY(!writeRecording(day, date, 1, QStringLiteral("100000"), {QStringLiteral("100000000"), QStringLiteral("100030000")}).isEmpty());
        QVERIFY(!writeRecording(day, date, 1, QStringLiteral("102000"), {QStringLiteral("102000000"), QStringLiteral("102030000")}).isEmpty());
        QVERIFY(!writeRecording(day, date, 1, QStringLiteral("105900"), {QStringLiteral("105900000"), QStringLiteral("110030000")}).isEmpty());
        QVERIFY(!writeRecording(day, date, 2, QStringLiteral("110100"), {QStringLiteral("110100000"), QStringLiteral("110130000")}).isEmpty());
        QVERIFY(ZuFile::write_tag_file(day + QStringLiteral("/100000/1_20240101_100000.zutag"),
                                       ZuTag(QStringLiteral("7"), QStringLiteral("20240101100000"), QStringLiteral("1"),
                                             QStringLiteral("Début"), QStringLiteral("premier instant"))));

        const auto w = dayWindow(day);
        QVERIFY(w);
        QCOMPARE(w->cameraIdText(), QStringLiteral("1"));
        QCOMPARE(w->segmentSeconds(), 60);

        // In the gap after camera 1's 10:00 file: the file that began
        // nearer the time than the next one begins after it.
        QCOMPARE(w->timeline_get_datetime(QStringLiteral("10:09:00"), 1, 900), QStringLiteral("20240101100900"));
        QVERIFY(w->currentFile().endsWith(QStringLiteral("1_20240101_100000.zuvideo")));
        QCOMPARE(w->timeline_get_datetime(QStringLiteral("10:12:00"), 1, 900), QStringLiteral("20240101101200"));
        QVERIFY(w->currentFile().endsWith(QStringLiteral("1_20240101_102000.zuvideo")));

        // An alarm at a file's last second is in it, one a second later is not.
        QCOMPARE(w->get_video_file_for_alarm(QStringLiteral("1"), date, QStringLiteral("100059")).fileName(),
                 QStringLiteral("1_20240101_100000.zuvideo"));
        QVERIFY(w->get_video_file_for_alarm(QStringLiteral("1"), date, QStringLiteral("100100")).fileName().isEmpty());

        // A segment folder of the day keeps the day.
        emit w->form()->tree->clicked(w->treeIndex(day + QStringLiteral("/100000")));
        QCOMPARE(w->dayDirectory(), day + QLatin1Char('/'));
        QVERIFY(w->form()->exportbutton->isEnabled());

        // The 10:59 file's frames: 10:59 on its own row, 11:00 on the next.
        ZuTimeline *ten = w->hourTimelines().value(QStringLiteral("10:00:00 - 11:00:00"));
        ZuTimeline *eleven = w->hourTimelines().value(QStringLiteral("11:00:00 - 12:00:00"));
        QVERIFY(ten && eleven);
        QCOMPARE(eleven->minute(0), 0);
        QCOMPARE(w->timeline_get_datetime(QStringLiteral("10:59:10"), 1, 0), QStringLiteral("20240101105910"));
        QCOMPARE(ten->minute(59), 1);
        QCOMPARE(eleven->minute(0), 1);
        QCOMPARE(w->form()->slider->minute(11 * 60), 1);

        // The tag on the first second of its file is listed.
        w->set_tags_list_from_cameraid(1);
        QVERIFY(w->form()->listTags_view->model());
        QCOMPARE(w->tagEvents().size(), 1);
        QCOMPARE(w->tagEvents().first().file.fileName(), QStringLiteral("1_20240101_100000.zuvideo"));
        QCOMPARE(w->tagEvents().first().tagName, QStringLiteral("Début"));

        // After camera 1's last file, camera 2's starts soon after.
        QCOMPARE(w->timeline_get_datetime(QStringLiteral("11:00:50"), 1, 900), QStringLiteral("20240101110050"));
        QVERIFY2(w->currentFile().endsWith(QStringLiteral("1_20240101_105900.zuvideo")), qPrintable(w->currentFile()));
    }

    // Camera names come from the segment folders' camera lists, which the
    // day's manifest covers, never from the day's own index.zunfo; each list
    // merged is named in the log. The index is written with its own names
    // and those, which win where both name a camera, when it is missing or
    // says otherwise, left as it is when it already says all that, and a
    // day that cannot be written keeps its index while the
    // window still shows the lists' names. A name of 256 characters leaves
    // the video surface inside the window.
    void cameraNamesFromSegments_data()
    {
        QTest::addColumn<QString>("index");
        QTest::newRow("index naming another camera") << "other";
        QTest::newRow("no index") << "none";
        QTest::newRow("index naming the same cameras") << "same";
        QTest::newRow("read-only day, index naming another camera") << "readonly";
        // A camera only the index names stays in it; the lists' names win
        // where both name a camera.
        QTest::newRow("index naming a camera the lists do not") << "more";
        QTest::newRow("index naming the same cameras and one more") << "same and more";
    }
    void cameraNamesFromSegments()
    {
        QFETCH(QString, index);
        QTemporaryDir tmp;
        const QString day = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-01-01"));
        const QString date = QStringLiteral("20240101");
        QVERIFY(!writeRecording(day, date, 1, QStringLiteral("100000"), {QStringLiteral("100000000"), QStringLiteral("100030000")}).isEmpty());
        QVERIFY(!writeRecording(day, date, 2, QStringLiteral("100000"), {QStringLiteral("100000000"), QStringLiteral("100030000")}).isEmpty());
        const QHash<int, QString> listed{{1, QString(256, QLatin1Char('W'))}, {2, QStringLiteral("Parking")}};
        const QString list = day + QStringLiteral("/100000/100000.zunfo");
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(list), listed));
        const QString indexPath = day + QStringLiteral("/index.zunfo");
        const QHash<int, QString> planted{{1, QStringLiteral("Planted")}};
        const QHash<int, QString> onlyIndexed{{3, QStringLiteral("Entrée nord")}};
        QHash<int, QString> written = index == QLatin1String("readonly") ? planted : listed;
        if (index == QLatin1String("more") || index == QLatin1String("same and more"))
            written.insert(onlyIndexed);
        QHash<int, QString> stored = index.startsWith(QLatin1String("same")) ? listed : planted;
        if (index.endsWith(QLatin1String("more")))
            stored.insert(onlyIndexed);
        if (index != QLatin1String("none"))
            QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(indexPath), stored));
        const auto state = [&indexPath] {
            struct stat st {};
            const bool there = ::stat(QFile::encodeName(indexPath).constData(), &st) == 0;
            return there ? QStringLiteral("%1 %2.%3").arg(st.st_ino).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec)
                         : QString();
        };
        const QString before = state();
        std::unique_ptr<ReadOnly> readOnly;
        if (index == QLatin1String("readonly")) {
            readOnly = std::make_unique<ReadOnly>(day);
            if (!readOnly->refused.isEmpty())
                ZU_SKIP_MISSING(QStringLiteral("a read-only folder: ") + readOnly->refused);
        }

        LogCapture log;
        const auto w = dayWindow(day);
        QVERIFY(w);
        QCOMPARE(w->cameraNames(), listed);
        QCOMPARE(log.lines(QStringLiteral("Zuplayer Display :: init day cameras :: zunfo path ")), QStringList{list});
        if (index.startsWith(QLatin1String("same")) || index == QLatin1String("readonly"))
            QCOMPARE(state(), before);
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(indexPath), {}), written);
        if (index == QLatin1String("readonly"))
            QVERIFY(!log.lines(QStringLiteral("create zunfo index file :: write failed :: ")).isEmpty());
        QCOMPARE(w->cameraBox()->findText(listed.value(1)), 0);
        const QRect surface(w->surface()->mapTo(w.get(), QPoint(0, 0)), w->surface()->size());
        QVERIFY2(w->rect().contains(surface) && surface.width() >= w->width() / 3,
                 qPrintable(QStringLiteral("surface %1 x %2 at %3 in a window %4 wide").arg(surface.width())
                                .arg(surface.height()).arg(surface.x()).arg(w->width())));
    }

    // The alarm and tag lists opened before the recordings tab: their rows
    // are matched with the day's recording length (5 minutes here, not the
    // one-minute fallback), and a row opens its recording.
    void listsBeforeTheRecordingsTab()
    {
        QTemporaryDir tmp;
        const QString day = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-01-01"));
        QVERIFY(!writeRecording(day, QStringLiteral("20240101"), 7, QStringLiteral("100000"), {QStringLiteral("100000000"), QStringLiteral("100459000")}).isEmpty());
        QVERIFY(!writeRecording(day, QStringLiteral("20240101"), 7, QStringLiteral("100500"), {QStringLiteral("100500000"), QStringLiteral("100959000")}).isEmpty());
        QVERIFY(writeFile(day + QStringLiteral("/100000/7_20240101_100230_motion.jpg"), "x"));
        QVERIFY(writeFile(day + QStringLiteral("/100000/7_20240101_100230_motion-thumb.jpg"), "x"));
        QVERIFY(ZuFile::write_tag_file(day + QStringLiteral("/100000/7_20240101_100300.zutag"),
                                       ZuTag(QStringLiteral("8"), QStringLiteral("20240101100300"), QStringLiteral("7"),
                                             QStringLiteral("Passage"), QString())));

        ZU_Player_presentation w;
        w.resize(1200, 800);
        w.show();
        emit w.form()->tree->clicked(w.treeIndex(day));
        QCOMPARE(w.dayDirectory(), day + QLatin1Char('/'));
        w.form()->tabWidget->setCurrentIndex(3);
        QCOMPARE(w.tagEvents().size(), 1);
        QCOMPARE(w.tagEvents().first().file.fileName(), QStringLiteral("7_20240101_100000.zuvideo"));
        QVERIFY(w.form()->listTags_view->rowHeight(0) >= 40); // room for the row's two text lines
        w.form()->tabWidget->setCurrentIndex(2);
        QCOMPARE(w.alarmEvents().size(), 1);
        // A camera the day does not name is listed and chosen as "CAMERA 7".
        QCOMPARE(w.form()->alarm_combobox->itemText(1), QStringLiteral("CAMERA 7"));
        emit w.form()->alarm_combobox->activated(1);
        QCOMPARE(w.cameraIdText(), QStringLiteral("7"));
        QCOMPARE(w.alarmEvents().size(), 1);
        pressRow(w.form()->listVignettes_view, 0);
        QVERIFY2(w.currentFile().endsWith(QStringLiteral("/100000/7_20240101_100000.zuvideo")), qPrintable(w.currentFile()));
    }

    // The day's index of camera names is enough while the day holds as many
    // other lists as it names cameras; otherwise every list is read and the
    // index rewritten with what they say together.
    // A day without any recording: a click finds nothing, asks for no time
    // and reading stays stopped.
    void dayWithoutRecordings()
    {
        QTemporaryDir tmp;
        const QString day = tmp.filePath(QStringLiteral("talvor_aaaa-bbbb-cccc-dddd/2024-01-01"));
        QVERIFY(QDir().mkpath(day + QStringLiteral("/100000")));
        ZU_Player_presentation w;
        w.show();
        emit w.form()->tree->clicked(w.treeIndex(day));
        w.form()->tabWidget->setCurrentIndex(1);
        QTRY_VERIFY(!w.isBuildingTimelines());
        QSignalSpy asked(&w, &ZU_Player_presentation::change_timestamp);
        QVERIFY(w.timeline_get_datetime(QStringLiteral("10:00:00"), 1, 900).isEmpty());
        w.timeline_send_click(QStringLiteral("10:00:00"), 1);
        QCOMPARE(asked.count(), 0);
        QCOMPARE(w.playState(), 0);
        QCOMPARE(w.engine()->state(), ZuStreamReadAndControl::Stopped);
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
