// The player's main window and start-up: the order of the start-up steps,
// the QML views loading cleanly and driving the controller, the export
// command and the folder picker's refusal.
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
#include <QQuickView>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
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
    if (!from || from->objectName() == name)
        return from;
    const QList<QQuickItem *> children = from->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

QQuickItem *item(QQuickView *view, const char *name)
{
    return findItem(view->rootObject(), QString::fromUtf8(name));
}

void click(QQuickView *view, const char *name)
{
    QQuickItem *it = item(view, name);
    QVERIFY2(it, name);
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier,
                      it->mapToScene(QPointF(it->width() / 2, it->height() / 2)).toPoint());
}

QString hms(qint64 ms)
{
    return QTime::fromMSecsSinceStartOfDay(int(ms)).toString(QStringLiteral("HH:mm:ss"));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QTemporaryDir m_work;
    QString m_export;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid() && m_work.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/.config")).toUtf8());
        // No update server: the check must not reach the network.
        qputenv("ZUPLAYER_CONFIG", (m_home.path() + QStringLiteral("/none.ini")).toUtf8());
        m_export = playertest::copyExport(m_work.path());
        QVERIFY2(!m_export.isEmpty(), "small_export fixture missing");
        // Windows built from here on open the copy at start.
        ZuFolderDialogController::setDefaultSearchStart(m_work.path());
    }

    void cleanupTestCase()
    {
        ZuLogFile::uninstall();
        ZuCrashHandler::stop();
    }

    // The views load from the resources and drive the controller the way a
    // user does, without a single QML warning; the picture and the time code
    // follow, and the export command opens on the picture shown.
    void viewsDriveThePlayer()
    {
        g_messages.clear();
        g_previous = qInstallMessageHandler(collect);
        auto w = std::make_unique<ZU_Player_qmlpresentation>();
        w->controller()->set_message_boxes_enabled(false);
        w->resize(1600, 900);
        w->show();
        QQuickView *side = w->sidePanel();
        QQuickView *bar = w->timelineView();
        ZuPlayerInferfaceController *c = w->controller();
        Canvas *canvas = w->canvas();
        // The day shown first is being read while the views are built.
        const QFileInfoList days = c->get_days_list(m_export);
        QVERIFY(!days.isEmpty());
        QCOMPARE(c->prepared_day(), days.last().absoluteFilePath());
        QCOMPARE(side->status(), QQuickView::Ready);
        QCOMPARE(bar->status(), QQuickView::Ready);
        QVERIFY(w->qmlErrors().isEmpty());
        // The camera's first picture does not wait for the views to fill the
        // day's lists (thousands of alarms and recordings on a busy day).
        int alarmsAtFirstPicture = -1;
        int rangesAtFirstPicture = -1;
        connect(c->reader(), &ZuStreamReadAndControl::display_picture, w.get(), [&] {
            if (alarmsAtFirstPicture < 0) {
                alarmsAtFirstPicture = int(side->rootObject()->property("alarms").toList().size());
                rangesAtFirstPicture = int(bar->rootObject()->property("ranges").toList().size());
            }
        }, Qt::DirectConnection);

        // The folder beside the start folder is opened, its last day shown
        // and the first camera played, without any click.
        QTRY_COMPARE_WITH_TIMEOUT(c->export_folder(), QDir(m_export).absolutePath(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(c->selected_camera(), QStringLiteral("Entrée principale"), 30000);
        QCOMPARE(c->selected_day(), QStringLiteral("2024-03-05"));
        QCOMPARE(c->prepared_day(), QString()); // that reading was used
        QTRY_VERIFY(side->rootObject()->property("alarms").toList().size() > 0);
        QTRY_VERIFY(bar->rootObject()->property("ranges").toList().size() > 0);
        QCOMPARE(alarmsAtFirstPicture, 0);
        QCOMPARE(rangesAtFirstPicture, 0);
        QTRY_VERIFY_WITH_TIMEOUT(canvas->receivedFrames() > 3, 30000);
        QTRY_VERIFY(c->is_playing());
        QCOMPARE(item(side, "folderName")->property("text").toString(), QFileInfo(m_export).fileName());

        // The views draw themselves in windows of their own inside the main
        // window, so that a new picture is painted and put on the screen
        // without composing the whole window, the views included, again.
        const QList<QQuickWindow *> views = w->windowHandle()->findChildren<QQuickWindow *>(Qt::FindDirectChildrenOnly);
        QCOMPARE(views.size(), 2);
        QCOMPARE(w->windowHandle()->surfaceType(), QSurface::RasterSurface);

        // The time code shows the controller's time while the picture moves.
        const QString shot1 = canvas->currentTimestamp();
        QTRY_VERIFY_WITH_TIMEOUT(canvas->currentTimestamp() != shot1, 30000);
        QQuickItem *timecode = item(bar, "timecode");
        QVERIFY(timecode);
        QTRY_COMPARE(timecode->property("text").toString(), hms(c->get_current_read_time_is_ms()));

        // The camera list: choosing the other camera plays it.
        click(side, "camera_Parking");
        QTRY_COMPARE(c->selected_camera(), QStringLiteral("Parking"));
        QTRY_VERIFY(canvas->currentOverlay().contains(QLatin1String("Parking")));

        // Pause with the play button; the picture stops.
        click(bar, "playPauseButton");
        QTRY_VERIFY(!c->is_playing());
        QTest::qWait(150);
        const QString paused = canvas->currentTimestamp();
        QTest::qWait(300);
        QCOMPARE(canvas->currentTimestamp(), paused);

        // Paused while playing at any rate, the time code tells the time of
        // the picture on screen to the millisecond, and that picture is the
        // one recorded at that time.
        QQuickItem *millis = nullptr;
        for (QQuickItem *sibling : timecode->parentItem()->childItems())
            millis = sibling != timecode ? sibling : millis;
        QVERIFY(millis);
        for (const double rate : {8.0, -8.0, 1.0}) {
            c->set_playback_rate(rate);
            QTRY_VERIFY(c->is_playing());
            QTest::qWait(120);
            c->pause_button();
            const auto timeCode = [&]() {
                return timecode->property("text").toString() + millis->property("text").toString();
            };
            QTRY_COMPARE(timeCode(), canvas->currentTimestamp().mid(11));
            QCOMPARE(c->current_time_text(), timeCode());
            const ZuFrameList list = playertest::entries(c->reader()->current_file());
            int index = list.size() - 1;
            while (index >= 0 && list.at(index).timestamp != c->reader()->current_timestamp())
                --index;
            QVERIFY(index >= 0);
            const QByteArray reference = playertest::referencePicture(list, index);
            const QImage shown = canvas->currentImage();
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(shown.constBits()), shown.sizeInBytes()), reference);
        }
        c->set_playback_rate(1.0);
        c->pause_button();

        // Frame steps move by one picture each way.
        const qint64 t0 = c->get_current_read_time_is_ms();
        click(bar, "nextFrameButton");
        QTRY_VERIFY(c->get_current_read_time_is_ms() > t0);
        QVERIFY(c->get_current_read_time_is_ms() - t0 < 1000);
        click(bar, "previousFrameButton");
        QTRY_COMPARE(c->get_current_read_time_is_ms(), t0);
        QTRY_COMPARE(timecode->property("text").toString(), hms(t0));

        // Jumps of 5 seconds forward and back.
        click(bar, "jumpForward5");
        QTRY_VERIFY(c->get_current_read_time_is_ms() >= t0 + 5000);
        const qint64 t2 = c->get_current_read_time_is_ms();
        QVERIFY(t2 < t0 + 6000);
        click(bar, "jumpBack5");
        QTRY_VERIFY(c->get_current_read_time_is_ms() <= t2 - 5000 + 100);

        // A click on the timeline seeks there (first key frame at or after).
        QQuickItem *timeline = item(bar, "timeline");
        QQuickItem *track = item(bar, "timelineTrack");
        QVERIFY(timeline && track);
        QMetaObject::invokeMethod(timeline, "fitRecording");
        const qint64 target = 14 * 3600000LL + 9000; // 14:00:09
        QVariant x;
        QVERIFY(QMetaObject::invokeMethod(timeline, "xOf", Q_RETURN_ARG(QVariant, x), Q_ARG(QVariant, double(target))));
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier,
                          track->mapToScene(QPointF(x.toDouble(), track->height() / 2)).toPoint());
        QTRY_VERIFY(qAbs(c->get_current_read_time_is_ms() - target) < 2500);
        QVERIFY(c->get_current_read_time_is_ms() >= target - 200);
        // Hovering shows the segment's preview with the time under the pointer.
        const QPoint global = bar->mapToGlobal(QPoint(10, 10));
        QVERIFY(QMetaObject::invokeMethod(timeline, "hovered", Q_ARG(qreal, qreal(target + 1500)),
                                          Q_ARG(qreal, global.x()), Q_ARG(qreal, global.y())));
        QTRY_VERIFY(w->previewPopup()->isVisible());
        QVERIFY(w->previewPopup()->currentPath().endsWith(QLatin1String("140006_preview.jpg")));
        QCOMPARE(w->previewPopup()->currentCaption(), QStringLiteral("14:00:10"));
        QVERIFY(QMetaObject::invokeMethod(timeline, "hoverEnded"));

        // Speed 2 from the speed selector, then play again.
        click(bar, "speed2");
        QTRY_COMPARE(c->playback_rate(), 2.0);
        if (!c->is_playing())
            click(bar, "playPauseButton");
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
        // Also while a view has the keyboard.
        bar->requestActivate();
        QTRY_VERIFY(bar->isActive());
        const qint64 k1 = c->get_current_read_time_is_ms();
        QTest::keyClick(bar, Qt::Key_Right);
        QTRY_VERIFY(c->get_current_read_time_is_ms() > k1);

        // The export dialog opens on the camera and the picture on screen.
        QTest::qWait(100);
        const QString onScreen = canvas->currentTimestamp();
        click(bar, "exportButton");
        PopupExport *popup = nullptr;
        QTRY_VERIFY((popup = qobject_cast<PopupExport *>(QApplication::activeModalWidget())));
        QCOMPARE(popup->camera_id(), 12);
        QCOMPARE(popup->start_time().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), onScreen);
        delete popup;

        w.reset();
        qInstallMessageHandler(g_previous);
        QStringList qmlMessages;
        for (const QString &m : qAsConst(g_messages)) {
            if (m.contains(QLatin1String("qrc:")) || m.contains(QLatin1String(".qml")) || m.contains(QLatin1String("QML")))
                qmlMessages << m;
        }
        QVERIFY2(qmlMessages.isEmpty(), qPrintable(qmlMessages.join(QLatin1Char('\n'))));
    }

    // Each view's first frame is its background alone, and its content comes
    // with the next one: the window's thread waits for a view's first frame,
    // and must not wait for the content's (long with a software renderer)
    // before the camera's first picture. The surface puts each picture on
    // the screen in the engine's own step.
    void viewsFirstDrawnEmptyAndPicturesAtOnce()
    {
        auto w = std::make_unique<ZU_Player_qmlpresentation>();
        w->controller()->set_message_boxes_enabled(false);
        QQuickView *views[] = {w->sidePanel(), w->timelineView()};
        // Whether each view's content was visible at its first synchronisation.
        std::atomic<int> atFirstFrame[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            QQuickItem *root = views[i]->rootObject();
            QVERIFY(root);
            connect(views[i], &QQuickWindow::beforeSynchronizing, views[i], [&atFirstFrame, i, root] {
                int none = -1;
                atFirstFrame[i].compare_exchange_strong(none, root->isVisible() ? 1 : 0);
            }, Qt::DirectConnection);
        }
        // What the surface holds when the engine tells the time of its first picture.
        qint64 receivedAtFirstTime = -1;
        Canvas *canvas = w->canvas();
        connect(w->controller()->reader(), &ZuStreamReadAndControl::setTime, w.get(), [&] {
            if (receivedAtFirstTime < 0)
                receivedAtFirstTime = canvas->receivedFrames();
        }, Qt::DirectConnection);
        w->resize(1600, 900);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTRY_VERIFY_WITH_TIMEOUT(atFirstFrame[0] >= 0 && atFirstFrame[1] >= 0, 30000);
        QCOMPARE(int(atFirstFrame[0]), 0);
        QCOMPARE(int(atFirstFrame[1]), 0);
        QTRY_VERIFY(views[0]->rootObject()->isVisible() && views[1]->rootObject()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(receivedAtFirstTime >= 0, 30000);
        QCOMPARE(receivedAtFirstTime, qint64(1));
        // The content is there and takes clicks.
        QTRY_VERIFY(item(views[0], "camera_Parking"));
        click(views[0], "camera_Parking");
        QTRY_COMPARE(w->controller()->selected_camera(), QStringLiteral("Parking"));
    }

    // On a 1366 x 768 screen every control of the bar under the video is
    // inside the window.
    void everyControlOnASmallScreen()
    {
        auto w = std::make_unique<ZU_Player_qmlpresentation>();
        w->controller()->set_message_boxes_enabled(false);
        w->resize(1366, 768);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QQuickView *bar = w->timelineView();
        QTRY_VERIFY(bar->width() > 0 && bar->width() < 1100);
        QCOMPARE(w->size(), QSize(1366, 768));
        for (const char *name : {"jumpBack30", "playPauseButton", "jumpForward30", "speed-8", "speed8", "snapshotButton",
                                 "exportButton", "integrityButton", "zoomOutButton", "wholeDayButton", "timeline"}) {
            QQuickItem *it = item(bar, name);
            QVERIFY2(it, name);
            const QRectF r = it->mapRectToScene(QRectF(0, 0, it->width(), it->height()));
            QVERIFY2(r.left() >= 0 && r.right() <= bar->width() && r.top() >= 0 && r.bottom() <= bar->height(),
                     qPrintable(QStringLiteral("%1 at %2,%3 %4x%5 in %6x%7").arg(name).arg(r.x()).arg(r.y())
                                    .arg(r.width()).arg(r.height()).arg(bar->width()).arg(bar->height())));
        }
    }

    // Pictures and icon names come from outside: only sane ones are shown.
    void untrustedPicturesAndIcons()
    {
        PreviewPopup popup;
        QVERIFY(!popup.show_preview(QStringLiteral("/nonexistent/x_preview.jpg"), QStringLiteral("14:00:00"), 10, 10));
        QTemporaryDir dir;
        QFile junk(dir.filePath(QStringLiteral("junk.jpg")));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write(QByteArray(4096, '\x5a')) > 0);
        junk.close();
        QVERIFY(!popup.show_preview(junk.fileName(), QString(), 10, 10));
        QVERIFY(!popup.isVisible());
        // A picture far larger than any camera's is not decoded.
        QImage wide(20000, 4, QImage::Format_RGB32);
        wide.fill(Qt::red);
        QVERIFY(wide.save(dir.filePath(QStringLiteral("wide.png"))));
        QVERIFY(PreviewPopup::loadPreview(dir.filePath(QStringLiteral("wide.png"))).isNull());

        QDirIterator it(m_export, {QStringLiteral("*_preview.jpg")}, QDir::Files, QDirIterator::Subdirectories);
        const QString real = it.next();
        QVERIFY(popup.show_preview(real, QStringLiteral("14:00:00"), 400, 400));
        QVERIFY(popup.isVisible());
        QVERIFY(PreviewPopup::loadPreview(real).width() <= PreviewPopup::kWidth);
        popup.hide_preview();
        QVERIFY(!popup.isVisible());

        AppInfo info;
        QVERIFY(QFile::exists(info.icon(QStringLiteral("play")).toString().mid(3)));
        QCOMPARE(info.icon(QStringLiteral("../../etc/passwd")), QUrl());
        QCOMPARE(info.icon(QString()), QUrl());
    }

    // Only export folders are accepted; the refusal says why.
    void invalidFolderIsRefused()
    {
        QTemporaryDir dir;
        const QString wrong = dir.path() + QStringLiteral("/talvor_1234");
        const QString right = dir.path() + QStringLiteral("/talvor_0a1b-2c3d-4e5f-6a7b");
        const QString file = dir.path() + QStringLiteral("/talvor_aaaa-bbbb-cccc-dddd");
        QVERIFY(QDir().mkpath(wrong) && QDir().mkpath(right) && QFile(file).open(QIODevice::WriteOnly));

        ZuFolderDialogController picker;
        QString answer = wrong;
        picker.setChooser([&](QWidget *, const QString &) { return answer; });
        QStringList titles;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                titles << box->windowTitle();
                box->accept();
            }
        });
        closer.start(20);
        QSignalSpy refused(&picker, &ZuFolderDialogController::folderRefused);
        QCOMPARE(picker.choose_folder(), QString());
        QCOMPARE(titles, QStringList{QStringLiteral("Dossier invalide")});
        QCOMPARE(refused.count(), 1);
        QVERIFY(picker.currentFolder().isEmpty());
        // A file named like an export folder is no folder either.
        QVERIFY(!picker.accept_folder(file));
        QCOMPARE(titles.size(), 2);

        answer = right;
        QCOMPARE(picker.choose_folder(), right);
        QCOMPARE(titles.size(), 2);
        QCOMPARE(ZuFolderDialog::lastFolder(), right);
        // The export dialog's own folder setting is left alone.
        QVERIFY(!QSettings(QStringLiteral("Talvor"), QStringLiteral("ZuPlayer")).contains(QStringLiteral("export/lastDir")));
    }

    // Where start-up looks for an export folder.
    void nearestExportFolder()
    {
        QTemporaryDir dir;
        const QString a = dir.path() + QStringLiteral("/a");
        const auto nearest = [](const QString &from, int levels) {
            return ZuFolderDialog::findNearestExportFolder(from, levels);
        };
        // Upper-case or short names, or deeper folders, are not found.
        for (const char *sub : {"/b/c", "/TALVOR_0000-1111-2222-3333", "/talvor_000-1111-2222-3333",
                                "/b/x/talvor_4444-5555-6666-7777"})
            QVERIFY(QDir().mkpath(a + QLatin1String(sub)));
        QCOMPARE(nearest(a + QStringLiteral("/b/c"), 2), QString());
        // A sibling of a parent is found; the nearest level wins.
        QVERIFY(QDir().mkpath(dir.path() + QStringLiteral("/talvor_0000-1111-2222-3333/2024-03-05")));
        QCOMPARE(nearest(a + QStringLiteral("/b/c"), 3), dir.path() + QStringLiteral("/talvor_0000-1111-2222-3333"));
        QVERIFY(QDir().mkpath(a + QStringLiteral("/b/talvor_8888-9999-aaaa-bbbb")));
        QCOMPARE(nearest(a + QStringLiteral("/b/c"), 3), a + QStringLiteral("/b/talvor_8888-9999-aaaa-bbbb"));
        // Starting inside an export folder gives that folder.
        QCOMPARE(nearest(dir.path() + QStringLiteral("/talvor_0000-1111-2222-3333/2024-03-05"), 3),
                 dir.path() + QStringLiteral("/talvor_0000-1111-2222-3333"));

        // Without one nearby the last folder is used, when it is still
        // valid. The walk goes up to the root: only assert when nothing is
        // found above the temporary folder.
        QTemporaryDir lone;
        if (!ZuFolderDialog::findNearestExportFolder(lone.path()).isEmpty())
            return;
        ZuFolderDialogController picker;
        picker.setSearchStart(lone.path());
        ZuFolderDialog::setLastFolder(dir.path() + QStringLiteral("/gone/talvor_0000-1111-2222-3333"));
        QCOMPARE(picker.initial_folder(), QString());
        ZuFolderDialog::setLastFolder(dir.path() + QStringLiteral("/talvor_0000-1111-2222-3333"));
        QCOMPARE(picker.initial_folder(), dir.path() + QStringLiteral("/talvor_0000-1111-2222-3333"));
    }

    // The start-up steps without the event loop, in the program's order.
    // Runs last: it switches the scene graph back-end after the application
    // exists, which later windows of the same process must not inherit.
    void startupRunsInOrder()
    {
        ZuStartup::beforeApplication();
        ZuStartup::prepareApplication(*qApp);
        QCOMPARE(QLocale().language(), QLocale::French);

        const QString user = m_home.path() + QStringLiteral("/.ZuPlayer");
        QVERIFY(!QFileInfo::exists(user));
        const ZuStartup::Environment env = ZuStartup::prepareUserEnvironment();
        QCOMPARE(QDir(env.userFolder).absolutePath(), QDir(user).absolutePath());
        QVERIFY(env.userFolderReady && env.crashHandlerStarted);
        QVERIFY(QFileInfo(user + QStringLiteral("/crash_reports/metrics")).isDir());
        QCOMPARE(env.logFile, user + QStringLiteral("/zulogfile.log"));
        QVERIFY(QFileInfo(env.logFile).isFile());

        QVERIFY(ZuStartup::checkForUpdates(*qApp));
        std::unique_ptr<ZU_Player_qmlpresentation> window = ZuStartup::createMainWindow();
        QVERIFY(window->isVisible());
        // Never larger than the screen shows, 1600 x 900 where it can.
        const QSize screen = window->screen()->availableGeometry().size();
        QCOMPARE(window->minimumSize(), QSize(1600, 900).boundedTo(screen));
        window->controller()->set_message_boxes_enabled(false);
        ZuStartup::checkCrashFiles(); // no dump: nothing opens
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible() || w == window.get() || w->inherits("PreviewPopup"),
                     qPrintable(w->metaObject()->className()));

        // The log was open before the crash handler started, and the window
        // opened the export folder found beside the start folder.
        QFile log(env.logFile);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("[INFO] MAIN :: ZUPLAYER 3.4.3 :: crashpad started"));
        QVERIFY(text.contains("initial_folder"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
