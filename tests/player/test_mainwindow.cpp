// The player's main window and start-up: the order of the start-up steps,
// the QML views loading cleanly, the views driving the controller, the
// export command and the folder picker's refusal.
#include "appinfo.h"
#include "canvas.h"
#include "crashhandler.h"
#include "player_testutil.h"
#include "popupexport.h"
#include "previewpopup.h"
#include "zu_player_qmlpresentation.h"
#include "zufolderdialog.h"
#include "zulog.h"
#include "zuplayerinterfacecontroller.h"
#include "zustartup.h"
#include "zustreamreadandcontrol.h"

#include <QMessageBox>
#include <QQuickItem>
#include <QQuickWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QStringList g_messages;
QtMessageHandler g_previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        g_messages << msg;
    if (g_previous)
        g_previous(type, ctx, msg);
}

// Items made by a Repeater have no QObject parent, so the search follows
// the visual tree.
QQuickItem *findItem(QQuickItem *from, const QString &name)
{
    if (!from)
        return nullptr;
    if (from->objectName() == name)
        return from;
    const QList<QQuickItem *> children = from->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

QQuickItem *item(QQuickWidget *view, const char *name)
{
    return view ? findItem(view->rootObject(), QString::fromUtf8(name)) : nullptr;
}

QPoint centreOf(QQuickItem *it)
{
    return it->mapToScene(QPointF(it->width() / 2, it->height() / 2)).toPoint();
}

void click(QQuickWidget *view, QQuickItem *it)
{
    QVERIFY(it);
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, centreOf(it));
}

QString hms(qint64 ms)
{
    return QTime::fromMSecsSinceStartOfDay(int(ms)).toString(QStringLiteral("HH:mm:ss"));
}

// A stand-in export dialog: records what the controller asked for.
class FakeExportDialog : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
signals:
    void endingsignal();
public slots:
    void closeall() { close(); }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QTemporaryDir m_work;
    QString m_export;

    std::unique_ptr<ZU_Player_qmlpresentation> makeWindow()
    {
        auto w = std::make_unique<ZU_Player_qmlpresentation>();
        w->controller()->set_message_boxes_enabled(false);
        w->resize(1600, 900);
        w->show();
        return w;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_work.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/.config")).toUtf8());
        // No update server: the check must not reach the network.
        qputenv("ZUPLAYER_CONFIG", (m_home.path() + QStringLiteral("/none.ini")).toUtf8());
        QVERIFY2(!playertest::smallExport().isEmpty(), "small_export fixture missing");
        m_export = playertest::copyExport(m_work.path());
        QVERIFY(!m_export.isEmpty());
        // Windows built from here on open the copy at start.
        ZuFolderDialogController::setDefaultSearchStart(m_work.path());
    }

    void cleanupTestCase()
    {
        ZuLogFile::uninstall();
        ZuCrashHandler::stop();
    }

    // Both views load from the resources without a single QML warning.
    void qmlLoadsWithoutWarnings()
    {
        g_messages.clear();
        g_previous = qInstallMessageHandler(collect);
        {
            auto w = makeWindow();
            QCOMPARE(w->sidePanel()->status(), QQuickWidget::Ready);
            QCOMPARE(w->timelineView()->status(), QQuickWidget::Ready);
            QVERIFY(w->qmlErrors().isEmpty());
            // Let the start-up folder load and a camera play: the bindings
            // then see real lists.
            QTRY_VERIFY_WITH_TIMEOUT(!w->controller()->selected_camera().isEmpty(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(w->canvas()->receivedFrames() > 3, 10000);
            QTest::qWait(300);
        }
        qInstallMessageHandler(g_previous);
        QStringList qmlMessages;
        for (const QString &m : qAsConst(g_messages)) {
            if (m.contains(QLatin1String("qrc:")) || m.contains(QLatin1String(".qml")) ||
                m.contains(QLatin1String("QML")))
                qmlMessages << m;
        }
        QVERIFY2(qmlMessages.isEmpty(), qPrintable(qmlMessages.join(QLatin1Char('\n'))));
    }

    // The views drive the controller the way a user does, and the picture
    // and the time code follow.
    void viewsDriveThePlayer()
    {
        auto w = makeWindow();
        QQuickWidget *side = w->sidePanel();
        QQuickWidget *bar = w->timelineView();
        ZuPlayerInferfaceController *c = w->controller();

        // The folder beside the start folder is opened, its last day shown
        // and the first camera played, without any click.
        QTRY_COMPARE_WITH_TIMEOUT(c->export_folder(), QDir(m_export).absolutePath(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(c->selected_day(), QStringLiteral("2024-03-05"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(c->selected_camera(), QStringLiteral("Entrée principale"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(w->canvas()->receivedFrames() > 3, 10000);
        QTRY_VERIFY(c->is_playing());
        QCOMPARE(item(side, "folderName")->property("text").toString(), QFileInfo(m_export).fileName());

        // The time code shows the controller's time while the picture moves.
        const QString shot1 = w->canvas()->currentTimestamp();
        QTRY_VERIFY_WITH_TIMEOUT(w->canvas()->currentTimestamp() != shot1, 5000);
        QQuickItem *timecode = item(bar, "timecode");
        QVERIFY(timecode);
        QTRY_COMPARE(timecode->property("text").toString(), hms(c->get_current_read_time_is_ms()));

        // The camera list: choosing the other camera plays it.
        QQuickItem *parking = item(side, "camera_Parking");
        click(side, parking);
        QTRY_COMPARE(c->selected_camera(), QStringLiteral("Parking"));
        QTRY_VERIFY(w->canvas()->currentOverlay().contains(QLatin1String("Parking")));

        // Pause with the play button; the picture stops.
        click(bar, item(bar, "playPauseButton"));
        QTRY_VERIFY(!c->is_playing());
        QTest::qWait(150);
        const QString paused = w->canvas()->currentTimestamp();
        QTest::qWait(300);
        QCOMPARE(w->canvas()->currentTimestamp(), paused);

        // Frame steps move by one picture each way.
        const qint64 t0 = c->get_current_read_time_is_ms();
        click(bar, item(bar, "nextFrameButton"));
        QTRY_VERIFY(c->get_current_read_time_is_ms() > t0);
        const qint64 t1 = c->get_current_read_time_is_ms();
        QVERIFY(t1 - t0 < 1000);
        click(bar, item(bar, "previousFrameButton"));
        QTRY_COMPARE(c->get_current_read_time_is_ms(), t0);
        QTRY_COMPARE(timecode->property("text").toString(), hms(t0));

        // Jumps of 5 seconds forward and back.
        click(bar, item(bar, "jumpForward5"));
        QTRY_VERIFY(c->get_current_read_time_is_ms() >= t0 + 5000);
        QVERIFY(c->get_current_read_time_is_ms() < t0 + 6000);
        const qint64 t2 = c->get_current_read_time_is_ms();
        click(bar, item(bar, "jumpBack5"));
        QTRY_VERIFY(c->get_current_read_time_is_ms() <= t2 - 5000 + 100);

        // A click on the timeline seeks there (first key frame at or after).
        QQuickItem *timeline = item(bar, "timeline");
        QQuickItem *track = item(bar, "timelineTrack");
        QVERIFY(timeline && track);
        QMetaObject::invokeMethod(timeline, "fitRecording");
        const qint64 target = 14 * 3600000LL + 9000; // 14:00:09
        QVariant x;
        QVERIFY(QMetaObject::invokeMethod(timeline, "xOf", Q_RETURN_ARG(QVariant, x), Q_ARG(QVariant, double(target))));
        const QPoint at = track->mapToScene(QPointF(x.toDouble(), track->height() / 2)).toPoint();
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, at);
        QTRY_VERIFY(qAbs(c->get_current_read_time_is_ms() - target) < 2500);
        QVERIFY(c->get_current_read_time_is_ms() >= target - 200);

        // Speed 2 from the speed selector, then play again.
        click(bar, item(bar, "speed2"));
        QTRY_COMPARE(c->playback_rate(), 2.0);
        if (!c->is_playing())
            click(bar, item(bar, "playPauseButton"));
        QTRY_VERIFY(c->is_playing());

        // The day from the calendar: choosing the shown day again reloads
        // it and keeps the camera.
        QObject *panel = side->rootObject();
        QVERIFY(QMetaObject::invokeMethod(panel, "selectDay", Q_ARG(QVariant, QStringLiteral("2024-03-05"))));
        QTRY_VERIFY(!panel->property("loadingCameras").toBool());
        QTRY_COMPARE(c->selected_camera(), QStringLiteral("Parking"));
        QCOMPARE(panel->property("cameras").toList().size(), 2);

        // Keys: space pauses and plays, the arrows step.
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        const bool before = c->is_playing();
        QTest::keyClick(w.get(), Qt::Key_Space);
        QTRY_COMPARE(c->is_playing(), !before);
        if (c->is_playing())
            QTest::keyClick(w.get(), Qt::Key_Space);
        QTRY_VERIFY(!c->is_playing());
        const qint64 k0 = c->get_current_read_time_is_ms();
        QTest::keyClick(w.get(), Qt::Key_Right);
        QTRY_VERIFY(c->get_current_read_time_is_ms() > k0);
    }

    // The timeline's preview popup reads only sane pictures.
    void previewPopupPictures()
    {
        PreviewPopup popup;
        QVERIFY(!popup.show_preview(QStringLiteral("/nonexistent/x_preview.jpg"), QStringLiteral("14:00:00"), 10, 10));
        QVERIFY(!popup.isVisible());

        QTemporaryDir dir;
        QFile junk(dir.filePath(QStringLiteral("junk.jpg")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, '\x5a'));
        junk.close();
        QVERIFY(!popup.show_preview(junk.fileName(), QString(), 10, 10));
        // A picture far larger than any camera's is not decoded.
        QImage wide(20000, 4, QImage::Format_RGB32);
        wide.fill(Qt::red);
        QVERIFY(wide.save(dir.filePath(QStringLiteral("wide.png"))));
        QVERIFY(PreviewPopup::loadPreview(dir.filePath(QStringLiteral("wide.png"))).isNull());

        QDirIterator it(m_export, {QStringLiteral("*_preview.jpg")}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(it.hasNext());
        const QString real = it.next();
        QVERIFY(popup.show_preview(real, QStringLiteral("14:00:00"), 400, 400));
        QVERIFY(popup.isVisible());
        QCOMPARE(popup.currentPath(), real);
        QVERIFY(PreviewPopup::loadPreview(real).width() <= PreviewPopup::kWidth);
        popup.hide_preview();
        QVERIFY(!popup.isVisible());
    }

    // The export button asks the controller for the time on screen.
    void exportOpensForTimeOnScreen()
    {
        ZuPlayerInferfaceController::ExportRequest seen;
        QPointer<QWidget> dialog;
        const bool hadFactory = ZuPlayerInferfaceController::hasExportDialogFactory();
        ZuPlayerInferfaceController::setExportDialogFactory(
            [&](const ZuPlayerInferfaceController::ExportRequest &r) -> QWidget * {
                seen = r;
                dialog = new FakeExportDialog(r.parentWidget);
                return dialog;
            });
        auto w = makeWindow();
        ZuPlayerInferfaceController *c = w->controller();
        QTRY_VERIFY_WITH_TIMEOUT(w->canvas()->receivedFrames() > 3, 10000);
        c->pause_button();
        QTRY_VERIFY(!w->canvas()->currentTimestamp().isEmpty());
        QTest::qWait(100);
        const QString onScreen = w->canvas()->currentTimestamp();
        click(w->timelineView(), item(w->timelineView(), "exportButton"));
        QTRY_VERIFY(dialog);
        QCOMPARE(seen.timestamp, onScreen);
        QCOMPARE(seen.cameraId, c->selected_camera_id());
        QVERIFY(!seen.dayVideoFiles.isEmpty());
        QVERIFY(seen.dayFolder.endsWith(QLatin1String("/2024-03-05")));
        QTRY_VERIFY(dialog->isVisible());
        dialog->close();
        delete dialog.data();
        Q_UNUSED(hadFactory);
        ZU_Player_qmlpresentation::installExportDialog();

        // The real dialog opens on the camera and the time on screen.
        click(w->timelineView(), item(w->timelineView(), "exportButton"));
        PopupExport *popup = nullptr;
        QTRY_VERIFY((popup = qobject_cast<PopupExport *>(QApplication::activeModalWidget())));
        QCOMPARE(popup->camera_id(), c->selected_camera_id());
        QCOMPARE(popup->start_time().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), onScreen);
        popup->close();
        delete popup;
    }

    // Only export folders are accepted; the refusal says why.
    void invalidFolderIsRefused()
    {
        QTemporaryDir dir;
        const QString wrong = dir.path() + QStringLiteral("/talvor_1234");
        const QString right = dir.path() + QStringLiteral("/talvor_0a1b-2c3d-4e5f-6a7b");
        QVERIFY(QDir().mkpath(wrong));
        QVERIFY(QDir().mkpath(right));

        ZuFolderDialogController picker;
        QString answer = wrong;
        picker.setChooser([&](QWidget *, const QString &) { return answer; });
        QString title, text;
        int boxes = 0;
        QTimer closer;
        closer.setInterval(20);
        connect(&closer, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                ++boxes;
                box->accept();
            }
        });
        closer.start();
        QSignalSpy refused(&picker, &ZuFolderDialogController::folderRefused);
        QCOMPARE(picker.choose_folder(), QString());
        QCOMPARE(boxes, 1);
        QCOMPARE(refused.count(), 1);
        QCOMPARE(title, QStringLiteral("Dossier invalide"));
        QCOMPARE(text, QStringLiteral("Seuls les dossiers d'exportation Talvor avec un identifiant valide sont acceptés."
                                      "\n\nExemple attendu : talvor_aaaa-bbbb-cccc-dddd"));
        QVERIFY(picker.currentFolder().isEmpty());

        // A file named like an export folder is no folder either.
        QFile fake(dir.path() + QStringLiteral("/talvor_aaaa-bbbb-cccc-dddd"));
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.close();
        QVERIFY(!picker.accept_folder(fake.fileName()));
        QCOMPARE(boxes, 2);

        answer = right;
        QCOMPARE(picker.choose_folder(), right);
        QCOMPARE(boxes, 2);
        QCOMPARE(ZuFolderDialog::lastFolder(), right);
        // The export dialog's own folder setting is left alone.
        QVERIFY(!QSettings(QStringLiteral("Talvor"), QStringLiteral("ZuPlayer")).contains(QStringLiteral("export/lastDir")));
        closer.stop();
    }

    // Where start-up looks for an export folder.
    void nearestExportFolder()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        QVERIFY(QDir().mkpath(base + QStringLiteral("/a/b/c")));
        QCOMPARE(ZuFolderDialog::findNearestExportFolder(base + QStringLiteral("/a/b/c"), 3), QString());
        // A sibling of a parent is found; a deeper folder is not.
        QVERIFY(QDir().mkpath(base + QStringLiteral("/a/talvor_0000-1111-2222-3333")));
        QVERIFY(QDir().mkpath(base + QStringLiteral("/a/b/x/talvor_4444-5555-6666-7777")));
        QCOMPARE(ZuFolderDialog::findNearestExportFolder(base + QStringLiteral("/a/b/c"), 3),
                 base + QStringLiteral("/a/talvor_0000-1111-2222-3333"));
        // The nearest level wins.
        QVERIFY(QDir().mkpath(base + QStringLiteral("/a/b/talvor_8888-9999-aaaa-bbbb")));
        QCOMPARE(ZuFolderDialog::findNearestExportFolder(base + QStringLiteral("/a/b/c"), 3),
                 base + QStringLiteral("/a/b/talvor_8888-9999-aaaa-bbbb"));
        // Starting inside an export folder gives that folder.
        QVERIFY(QDir().mkpath(base + QStringLiteral("/a/talvor_0000-1111-2222-3333/2024-03-05")));
        QCOMPARE(ZuFolderDialog::findNearestExportFolder(
                     base + QStringLiteral("/a/talvor_0000-1111-2222-3333/2024-03-05"), 3),
                 base + QStringLiteral("/a/talvor_0000-1111-2222-3333"));
        // Upper-case or short names are not export folders.
        QVERIFY(QDir().mkpath(base + QStringLiteral("/u/TALVOR_0000-1111-2222-3333")));
        QVERIFY(QDir().mkpath(base + QStringLiteral("/u/talvor_000-1111-2222-3333")));
        QCOMPARE(ZuFolderDialog::findNearestExportFolder(base + QStringLiteral("/u"), 0), QString());

        // Without one nearby the last folder is used, when it is still valid.
        ZuFolderDialogController picker;
        picker.setSearchStart(base + QStringLiteral("/u"));
        ZuFolderDialog::setLastFolder(base + QStringLiteral("/gone/talvor_0000-1111-2222-3333"));
        // The walk goes up to the root: only assert when nothing is found
        // above the temporary folder.
        if (ZuFolderDialog::findNearestExportFolder(base + QStringLiteral("/u")).isEmpty()) {
            QCOMPARE(picker.initial_folder(), QString());
            ZuFolderDialog::setLastFolder(base + QStringLiteral("/a/talvor_0000-1111-2222-3333"));
            QCOMPARE(picker.initial_folder(), base + QStringLiteral("/a/talvor_0000-1111-2222-3333"));
        }
    }

    // Steps 1 to 8 without the event loop, in the program's order. Runs
    // last: it switches the scene graph back-end after the application
    // exists, which later windows of the same process must not inherit.
    void startupRunsInOrder()
    {
        ZuStartup::beforeApplication();
        QCOMPARE(logLevel(), 1);
        const bool translated = ZuStartup::prepareApplication(*qApp);
        QCOMPARE(QLocale().language(), QLocale::French);
        QCOMPARE(QLocale().territory(), QLocale::France);
        const QString qm = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_fr.qm");
        QCOMPARE(translated, QFileInfo::exists(qm));

        const QString user = m_home.path() + QStringLiteral("/.ZuPlayer");
        QVERIFY(!QFileInfo::exists(user));
        const ZuStartup::Environment env = ZuStartup::prepareUserEnvironment();
        QCOMPARE(QDir(env.userFolder).absolutePath(), QDir(user).absolutePath());
        QVERIFY(env.userFolderReady);
        QVERIFY(env.crashHandlerStarted);
        QVERIFY(QFileInfo(user + QStringLiteral("/crash_reports")).isDir());
        QVERIFY(QFileInfo(user + QStringLiteral("/crash_reports/metrics")).isDir());
        QCOMPARE(env.logFile, user + QStringLiteral("/zulogfile.log"));
        QVERIFY(QFileInfo(env.logFile).isFile());

        QVERIFY(ZuStartup::checkForUpdates(*qApp));

        std::unique_ptr<ZU_Player_qmlpresentation> window = ZuStartup::createMainWindow();
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("ZUPLAYER 3.4.3"));
        QCOMPARE(window->minimumSize(), QSize(1600, 900));
        window->controller()->set_message_boxes_enabled(false);
        ZuStartup::checkCrashFiles();   // no dump: nothing opens
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible() || w == window.get() || w->inherits("PreviewPopup"),
                     qPrintable(w->metaObject()->className()));

        QFile log(env.logFile);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("[INFO] MAIN :: ZUPLAYER 3.4.3 :: crashpad started"));
        // The window opened the export folder found beside the start folder.
        QVERIFY(text.contains("initial_folder"));
    }

    void appInfoPaths()
    {
        AppInfo info;
        QCOMPARE(info.title(), QStringLiteral("ZUPLAYER 3.4.3"));
        QCOMPARE(info.icon(QStringLiteral("play")), QUrl(QStringLiteral("qrc:/qml/Zuplayer/resources/icons/play.svg")));
        QVERIFY(QFile::exists(QStringLiteral(":/qml/Zuplayer/resources/icons/play.svg")));
        QCOMPARE(info.icon(QStringLiteral("../../etc/passwd")), QUrl());
        QCOMPARE(info.icon(QString()), QUrl());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
