#include "alarmviewer.h"
#include "canvas.h"
#include "integritycheck.h"
#include "player_testutil.h"
#include "zufile.h"
#include "zuplayerinterfacecontroller.h"

#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <sys/stat.h>

using namespace playertest;
using Controller = ZuPlayerInferfaceController;

namespace {
QJsonArray parse(const QString &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8());
    return doc.isArray() ? doc.array() : QJsonArray{QStringLiteral("bad json")};
}

// A controller feeding a canvas as the window wires them, with what the
// engine emits recorded.
struct Player {
    Controller c;
    Canvas canvas;
    Recorder rec{c.reader()};
    Player()
    {
        c.set_message_boxes_enabled(false);
        canvas.set_player_fed();
        c.set_canvas(&canvas);
        QObject::connect(c.reader(), &ZuStreamReadAndControl::set_display_frame, &canvas, &Canvas::displayFrame,
                         Qt::QueuedConnection);
    }
    // Loads the day through the asynchronous road, as the QML does.
    bool loadDay(const QString &root, QVariantList *cameras = nullptr)
    {
        if (!c.set_export_folder(root) || c.get_available_days() != QVariantList{QStringLiteral("2024-03-05")})
            return false;
        QSignalSpy ready(&c, &Controller::camerasForDateReady);
        c.get_cameras_for_date_async(QStringLiteral("2024-03-05"));
        if (!ready.wait(30000))
            return false;
        if (cameras)
            *cameras = ready.first().at(1).toList();
        return true;
    }
    // Parking paused on its picture of 14:00:04.
    bool parkingAt140004()
    {
        if (!loadDay(smallExport()) || !c.set_selected_camera(QStringLiteral("Parking")))
            return false;
        c.pause_button();
        c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140004"));
        return QTest::qWaitFor([&] { return canvas.currentTimestamp() == QLatin1String("2024-03-05 14:00:04.000"); });
    }
};

// Moves camera `camera`'s two recordings of the copied fixture by `seconds`
// (seek lines and file names), so that they may run into the next day.
bool shiftCamera(const QString &root, int camera, qint64 seconds)
{
    for (const QString &start : {QStringLiteral("140000"), QStringLiteral("140006")}) {
        const QString data = videoFile(root, camera, start);
        const QString seek = ZuSeekFile::seekPathFor(data);
        const bool shifted = rewrite(seek, [&](const QByteArray &text) {
            QByteArray out;
            for (const QByteArray &line : text.trimmed().split('\n')) {
                const QDateTime t = QDateTime::fromString(QString::fromLatin1(line.left(17)),
                                                          QStringLiteral("yyyyMMddHHmmsszzz")).toUTC();
                out += t.addSecs(seconds).toString(QStringLiteral("yyyyMMddHHmmsszzz")).toLatin1() + line.mid(17) + '\n';
            }
            return out;
        });
        const QString newStart = QTime::fromString(start, QStringLiteral("HHmmss")).addSecs(int(seconds))
                                     .toString(QStringLiteral("HHmmss"));
        const QString newData = QFileInfo(data).absolutePath()
                                + QStringLiteral("/%1_20240305_%2.zuvideo").arg(camera).arg(newStart);
        if (!shifted || !QFile::rename(data, newData) || !QFile::rename(seek, ZuSeekFile::seekPathFor(newData)))
            return false;
    }
    return true;
}

// Gives every camera listed in the day's camera lists the names in `names`.
bool renameCameras(const QString &root, const QHash<int, QString> &names)
{
    QStringList lists{dayFolder(root) + QStringLiteral("/index.zunfo")};
    for (const QString &seg : {QStringLiteral("140000"), QStringLiteral("140006")})
        lists << dayFolder(root) + QStringLiteral("/%1/%1.zunfo").arg(seg);
    for (const QString &list : lists) {
        QHash<int, QString> cams = ZuFile::check_and_parse_nfo_file(QFileInfo(list), {});
        cams.insert(names);
        if (!ZuFile::create_zunfo_index_file(QFileInfo(list), cams))
            return false;
    }
    return true;
}
} // namespace

class TestController : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(!smallExport().isEmpty()); }
    void folderDaysAndCameras();
    void dayLists();
    void selectPlayAndTransport();
    void firstCameraOpenedWhileTheWindowIsBuilt_data();
    void firstCameraOpenedWhileTheWindowIsBuilt();
    void camerasWithoutFilesAndEmptyDays();
    void exportAndSnapshotOfThePictureOnScreen_data();
    void exportAndSnapshotOfThePictureOnScreen();
    void recordingsPastMidnight();
    void camerasSharingAName();
    void plantedCameraLists_data();
    void plantedCameraLists();
    void alarmViewer();
};

void TestController::folderDaysAndCameras()
{
    Player p;
    QSignalSpy messages(&p.c, &Controller::messageRequested);
    QTemporaryDir tmp;
    QVERIFY(!p.c.set_export_folder(tmp.path()));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(), QStringLiteral("Dossier invalide"));
    QVERIFY(p.c.export_folder().isEmpty());

    // A folder inside the export folder opens its root.
    const QString root = smallExport();
    QVERIFY(p.c.set_export_folder(dayFolder(root)));
    QCOMPARE(p.c.export_folder(), root);
    QCOMPARE(p.c.get_available_days(), QVariantList{QStringLiteral("2024-03-05")});
    QCOMPARE(p.c.selected_day(), QStringLiteral("2024-03-05"));

    QVariantList cameras;
    QVERIFY(p.loadDay(root, &cameras));
    QCOMPARE(cameras.size(), 2);
    const QVariantMap cam3 = cameras.at(0).toMap();
    QCOMPARE(cam3.value(QStringLiteral("id")).toInt(), 3);
    QCOMPARE(cam3.value(QStringLiteral("name")).toString(), QStringLiteral("Entrée principale"));
    QCOMPARE(cam3.value(QStringLiteral("streams")).toStringList(), (QStringList{QStringLiteral("0"), QStringLiteral("1")}));
    QCOMPARE(cam3.value(QStringLiteral("files")).toInt(), 2);
    QCOMPARE(cameras.at(1).toMap().value(QStringLiteral("name")).toString(), QStringLiteral("Parking"));

    // Bad dates and missing days answer with an error.
    QSignalSpy errors(&p.c, &Controller::camerasForDateError);
    p.c.get_cameras_for_date_async(QStringLiteral("2024-13-40"));
    QCOMPARE(errors.count(), 1);
    p.c.get_cameras_for_date_async(QStringLiteral("2024-03-06"));
    QVERIFY(errors.wait(30000));
    QCOMPARE(errors.last().first().toString(), QStringLiteral("2024-03-06"));
    // Only the latest of several requests is answered.
    QSignalSpy ready(&p.c, &Controller::camerasForDateReady);
    errors.clear();
    p.c.get_cameras_for_date_async(QStringLiteral("2024-03-06"));
    p.c.get_cameras_for_date_async(QStringLiteral("2024-03-05"));
    QVERIFY(ready.wait(30000));
    QTest::qWait(100);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(ready.count(), 1);
}

void TestController::dayLists()
{
    Player p;
    const QString root = smallExport();
    QVERIFY(p.loadDay(root));
    Controller &c = p.c;
    QCOMPARE(c.day_video_files().size(), 4);
    QCOMPARE(c.camera_video_files(12),
             (QStringList{videoFile(root, 12, QStringLiteral("140000")), videoFile(root, 12, QStringLiteral("140006"))}));

    // Alarms in time order, with pictures that exist, per camera on request.
    const QJsonArray alarms = parse(c.day_alarm_list_string());
    QCOMPARE(alarms.size(), c.day_alarm_files().size());
    QVERIFY(alarms.size() >= 2);
    double lastMs = -1;
    for (const QJsonValue &v : alarms) {
        const QJsonObject a = v.toObject();
        QVERIFY(QFileInfo::exists(a.value(QStringLiteral("path")).toString()));
        QVERIFY(QFileInfo::exists(a.value(QStringLiteral("thumb")).toString()));
        QVERIFY(a.value(QStringLiteral("ms")).toDouble() >= lastMs);
        lastMs = a.value(QStringLiteral("ms")).toDouble();
        QVERIFY(a.value(QStringLiteral("time")).toString().startsWith(QStringLiteral("202403051400")));
    }
    const QJsonArray alarms3 = parse(c.day_alarm_list_string(3));
    QVERIFY(alarms3.size() > 0 && alarms3.size() < alarms.size());
    for (const QJsonValue &v : alarms3)
        QCOMPARE(v.toObject().value(QStringLiteral("camera")).toInt(), 3);

    QCOMPARE(parse(c.day_tags_list_string()).size(), 2);
    QCOMPARE(parse(c.day_tags_list_string(12)).size(), 1);
    QCOMPARE(parse(c.day_preview_list_string(12)).size(), 2);

    // The timeline's recorded ranges.
    const QVariantList ranges = c.day_recording_ranges(12);
    QCOMPARE(ranges.size(), 2);
    QCOMPARE(ranges.at(0).toMap().value(QStringLiteral("start")).toLongLong(), 14 * 3600000LL);
    QCOMPARE(ranges.at(0).toMap().value(QStringLiteral("end")).toLongLong(), 14 * 3600000LL + 5900);
    QCOMPARE(ranges.at(1).toMap().value(QStringLiteral("start")).toLongLong(), 14 * 3600000LL + 6000);
}

void TestController::firstCameraOpenedWhileTheWindowIsBuilt_data()
{
    QTest::addColumn<int>("camera"); // in the order camerasForDateReady lists them
    QTest::addColumn<bool>("ahead");
    QTest::newRow("the day's first camera, which the home tab plays") << 0 << true;
    QTest::newRow("another camera, opened as usual") << 1 << false;
}

void TestController::firstCameraOpenedWhileTheWindowIsBuilt()
{
    // The day read ahead at start-up comes with its first camera's first
    // recording opened up to its first pictures: when the home tab plays
    // that camera, the engine waits for no decoding, and shows the same
    // picture with the same signals in the same order as an opening made
    // then.
    QFETCH(int, camera);
    QFETCH(bool, ahead);
    const QString root = smallExport();
    const auto play = [&](bool readAhead, QStringList *signalsSeen, QByteArray *pixels, qint64 *waited) {
        Player p;
        if (readAhead)
            p.c.prepare_day(root);
        QVariantList cameras;
        if (!p.loadDay(root, &cameras) || cameras.size() <= camera)
            return QStringLiteral("no day");
        ZuStreamReadAndControl *engine = p.c.reader();
        Recorder shown(engine, true);
        QObject::connect(engine, &ZuStreamReadAndControl::startRead, [=] { signalsSeen->append(QStringLiteral("start")); });
        QObject::connect(engine, &ZuStreamReadAndControl::fileChanged,
                         [=](const QString &f) { signalsSeen->append(QStringLiteral("file ") + QFileInfo(f).fileName()); });
        QObject::connect(engine, &ZuStreamReadAndControl::set_display_frame,
                         [=](uint8_t *, int, int, int, const QString &t) { signalsSeen->append(QStringLiteral("picture ") + t); });
        QObject::connect(engine, &ZuStreamReadAndControl::setTime,
                         [=](QTime t) { signalsSeen->append(QStringLiteral("time ") + t.toString(Qt::ISODateWithMs)); });
        QObject::connect(engine, &ZuStreamReadAndControl::slidervalue, [=](int i, const QString &t) {
            signalsSeen->append(QStringLiteral("slider %1 ").arg(i) + t);
        });
        QObject::connect(engine, &ZuStreamReadAndControl::stateChanged,
                         [=](int s) { signalsSeen->append(QStringLiteral("state %1").arg(s)); });
        if (!p.c.set_selected_camera(cameras.at(camera).toMap().value(QStringLiteral("name")).toString()))
            return QStringLiteral("not played");
        *waited = engine->decodedFrames();
        *pixels = shown.lastPixels;
        const ZuFrameList list = entries(engine->current_file());
        for (int i = 0; i < list.size(); ++i) {
            if (list.at(i).timestamp == shown.timestamps.value(0))
                return referencePicture(list, i) == shown.lastPixels ? QStringLiteral("ok") : QStringLiteral("other picture");
        }
        return QStringLiteral("no picture");
    };
    QStringList readAheadSignals, plainSignals;
    QByteArray readAheadPixels, plainPixels;
    qint64 readAheadWaited = -1, plainWaited = -1;
    QCOMPARE(play(true, &readAheadSignals, &readAheadPixels, &readAheadWaited), QStringLiteral("ok"));
    QCOMPARE(play(false, &plainSignals, &plainPixels, &plainWaited), QStringLiteral("ok"));
    // Only the read-ahead camera promises no wait: any other opening may or
    // may not have its first picture decoded before the engine asks for it.
    if (ahead)
        QCOMPARE(readAheadWaited, qint64(0));
    QCOMPARE(readAheadSignals, plainSignals);
    QCOMPARE(readAheadPixels, plainPixels);
}

void TestController::selectPlayAndTransport()
{
    Player p;
    Controller &c = p.c;
    Recorder &rec = p.rec;
    const QString root = smallExport();
    QVERIFY(p.loadDay(root));

    QVERIFY(!c.set_selected_camera(QStringLiteral("Nowhere")));
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(c.selected_camera_id(), 12);
    QCOMPARE(c.play_state(), 1);
    QCOMPARE(rec.timestamps.first(), QStringLiteral("20240305140000000"));
    QTRY_VERIFY(!p.canvas.currentTimestamp().isEmpty());
    QCOMPARE(c.current_file(), QFileInfo(videoFile(root, 12, QStringLiteral("140000"))).absoluteFilePath());

    c.pause_button();
    QCOMPARE(c.play_state(), 2);
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140005"));
    QCOMPARE(rec.last(), QStringLiteral("20240305140006000"));
    QCOMPARE(c.get_current_read_time_is_ms(), 14 * 3600000LL + 6000);
    QCOMPARE(c.current_time_text(), QStringLiteral("14:00:06.000"));
    QCOMPARE(c.current_timestamp(), QStringLiteral("20240305140006"));
    QVERIFY(c.previous_frame_button());
    QCOMPARE(rec.last(), QStringLiteral("20240305140005900"));
    c.seek_to_ms(14 * 3600000LL + 4000);
    QCOMPARE(rec.last(), QStringLiteral("20240305140004000"));

    // Another camera, by id, and its second stream keep the time on screen.
    QVERIFY(c.set_selected_camera(QStringLiteral("3")));
    QCOMPARE(c.selected_camera(), QStringLiteral("Entrée principale"));
    QVERIFY(c.set_selected_stream(QStringLiteral("video1")));
    QCOMPARE(c.selected_stream(), QStringLiteral("1"));
    QCOMPARE(rec.size, QSize(160, 120));
    QCOMPARE(rec.last(), QStringLiteral("20240305140004000"));
    // Parking has no stream 1: back to its stream 0.
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(c.selected_stream(), QStringLiteral("0"));
    QCOMPARE(rec.size, QSize(320, 240));

    c.set_playback_rate(-2);
    QCOMPARE(c.playback_rate(), -2.0);
    c.set_playback_rate(4);
    QCOMPARE(c.play_state(), 1);
    c.toggle_play_pause();
    QCOMPARE(c.play_state(), 2);
    c.stop_button();
    QCOMPARE(c.play_state(), 0);
    QVERIFY(p.canvas.isDisconnected());
    // After a stop, a seek reopens the camera at that time.
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140008"));
    QCOMPARE(c.play_state(), 1);
    QCOMPARE(rec.last(), QStringLiteral("20240305140008000"));
    // Playing runs to the end of the camera's day.
    QSignalSpy end(&c, &Controller::endOfRecordings);
    c.set_playback_rate(8);
    QVERIFY(end.wait(30000));
    QCOMPARE(c.play_state(), 2);

    // A rate chosen for one folder does not carry over to the next one.
    c.set_playback_rate(-8);
    QVERIFY(p.loadDay(root));
    QCOMPARE(c.playback_rate(), 1.0);
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QTRY_VERIFY(rec.timestamps.size() >= 3 && rec.last() > QStringLiteral("20240305140000000"));
    QCOMPARE(c.play_state(), 1);
}

void TestController::camerasWithoutFilesAndEmptyDays()
{
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    // A camera listed without any recording, and an empty day.
    QVERIFY(renameCameras(root, {{99, QStringLiteral("Quai")}}));
    QVERIFY(QDir(root).mkdir(QStringLiteral("2024-03-06")));
    // Camera 12's second segment lost its seek file, and camera 3's second
    // one has a named pipe in its place.
    QVERIFY(QFile::remove(ZuSeekFile::seekPathFor(videoFile(root, 12, QStringLiteral("140006")))));
    const QString pipe = ZuSeekFile::seekPathFor(videoFile(root, 3, QStringLiteral("140006")));
    QVERIFY(QFile::remove(pipe));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    // Camera 3's first seek file is padded with blank lines at both ends.
    QVERIFY(rewrite(ZuSeekFile::seekPathFor(videoFile(root, 3, QStringLiteral("140000"))), [](const QByteArray &text) {
        return QByteArray(40000, '\n') + text + QByteArray(20000, ' ') + "\r\n";
    }));

    Player p;
    Controller &c = p.c;
    QVERIFY(c.set_export_folder(root));
    QCOMPARE(c.get_available_days().size(), 2);
    QCOMPARE(c.selected_day(), QStringLiteral("2024-03-06"));
    QSignalSpy errors(&c, &Controller::camerasForDateError);
    c.get_cameras_for_date_async(QStringLiteral("2024-03-06"));
    QVERIFY(errors.wait(30000));

    QSignalSpy ready(&c, &Controller::camerasForDateReady);
    c.get_cameras_for_date_async(QStringLiteral("2024-03-05"));
    QVERIFY(ready.wait(30000));
    QCOMPARE(ready.first().at(1).toList().size(), 3);
    QVERIFY(!c.set_selected_camera(QStringLiteral("Quai")));
    QCOMPARE(c.play_state(), 0);
    // The user goes on with another camera; its broken second file ends the day.
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(c.play_state(), 1);
    QSignalSpy end(&c, &Controller::endOfRecordings);
    c.set_playback_rate(8);
    QVERIFY(end.wait(30000));
    QCOMPARE(c.day_recording_ranges(12).size(), 1);
    const QVariantList padded = c.day_recording_ranges(3);
    QCOMPARE(padded.size(), 1);
    QVERIFY(padded.first().toMap().value("end").toLongLong() - padded.first().toMap().value("start").toLongLong() >= 5000);

    // A folder without days.
    QTemporaryDir empty;
    const QString none = empty.path() + QStringLiteral("/talvor_0000-0000-0000-0000");
    QVERIFY(QDir().mkdir(none));
    QSignalSpy messages(&c, &Controller::messageRequested);
    QVERIFY(c.set_export_folder(none));
    QVERIFY(c.get_available_days().isEmpty());
    QCOMPARE(messages.count(), 1);
    QCOMPARE(c.play_state(), 0);
    QVERIFY(!c.check_integrity());
}

void TestController::exportAndSnapshotOfThePictureOnScreen_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::newRow("viewer's zone") << QByteArray();
    // A zone that jumps from 14:00 to 15:00 on the recorded day: the
    // recorder's wall-clock times in that hour must still seek and export.
    QTest::newRow("viewer's daylight-saving gap") << QByteArray("XST-1XDT,M3.1.2/14,M10.5.0/3");
}

void TestController::exportAndSnapshotOfThePictureOnScreen()
{
    QFETCH(QByteArray, tz);
    const QByteArray oldTz = qgetenv("TZ");
    const bool hadTz = qEnvironmentVariableIsSet("TZ");
    const auto restore = qScopeGuard([&] {
        hadTz ? qputenv("TZ", oldTz) : qunsetenv("TZ");
        tzset();
        Controller::setExportDialogFactory({});
    });
    if (!tz.isEmpty()) {
        qputenv("TZ", tz);
        tzset();
        QVERIFY(!QDateTime::fromString(QStringLiteral("20240305140004"), QStringLiteral("yyyyMMddHHmmss")).isValid());
    }

    Player p;
    Controller &c = p.c;
    QVERIFY(!c.video_export()); // no picture yet
    QVERIFY(c.snapshot_image().isNull());
    QVERIFY(p.parkingAt140004());
    QCOMPARE(p.rec.last(), QStringLiteral("20240305140004000"));

    // Without the export code there is no dialog, and the user is told.
    Controller::setExportDialogFactory({});
    QSignalSpy messages(&c, &Controller::messageRequested);
    QVERIFY(!c.video_export());
    QCOMPARE(messages.count(), 1);

    Controller::ExportRequest seen;
    QPointer<FakeExportDialog> dialog;
    Controller::setExportDialogFactory([&](const Controller::ExportRequest &r) {
        seen = r;
        return dialog = new FakeExportDialog;
    });
    QVERIFY(c.video_export());
    QVERIFY(dialog && dialog->isVisible());
    QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
    QCOMPARE(seen.cameraId, 12);
    QCOMPARE(seen.streamId, QStringLiteral("0"));
    QCOMPARE(seen.dayFolder, dayFolder(smallExport()));
    QCOMPARE(seen.timestamp, QStringLiteral("2024-03-05 14:00:04.000"));
    QCOMPARE(seen.dayVideoFiles.size(), 4);
    // The end of the export closes and deletes the dialog and tells the user.
    messages.clear();
    emit dialog->endingsignal();
    QVERIFY(dialog->closed);
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(messages.count(), 1);

    QTemporaryDir tmp;
    QVERIFY(!c.save_snapshot(tmp.filePath(QStringLiteral("missing/dir/shot.png"))));
    const QImage asked = c.snapshot_image();

    // While the file dialog is open, the picture moves on (as it does while
    // playing); the file still gets the picture that was on screen.
    const QString path = tmp.filePath(QStringLiteral("asked.png"));
    QString proposed;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!files)
            return;
        poll.stop();
        proposed = files->selectedFiles().value(0);
        for (int i = 0; i < 10; ++i)
            c.next_frame_button();
        QTRY_COMPARE(p.canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:05.000"));
        files->selectFile(path);
        QMetaObject::invokeMethod(files, "accept");
    });
    poll.start(20);
    const QString written = c.take_snapshot();
    QVERIFY(QFileInfo(proposed).fileName().startsWith(QStringLiteral("12_2024-03-05_14-00-04.000")));
    QVERIFY2(written.startsWith(tmp.path()), qPrintable(written));
    QCOMPARE(QImage(written).convertToFormat(QImage::Format_RGB32), asked.convertToFormat(QImage::Format_RGB32));
}

void TestController::recordingsPastMidnight()
{
    // The day's recordings start at 23:59:52 and run into the next day.
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    QVERIFY(shiftCamera(root, 12, 35992));
    QVERIFY(shiftCamera(root, 3, 35992));
    Player p;
    Controller &c = p.c;
    QVERIFY(p.loadDay(root));
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(p.rec.last(), QStringLiteral("20240305235952000"));
    c.pause_button();
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240306000001"));
    QCOMPARE(p.rec.last(), QStringLiteral("20240306000002000"));
    QCOMPARE(c.current_timestamp(), QStringLiteral("20240306000002"));

    // Another camera, another stream, a stop and play again: the same
    // moment of the next day, not that time of the selected day.
    QVERIFY(c.set_selected_camera(QStringLiteral("Entrée principale")));
    QCOMPARE(p.rec.last(), QStringLiteral("20240306000002000"));
    QVERIFY(c.set_selected_stream(QStringLiteral("1")));
    QCOMPARE(p.rec.size, QSize(160, 120));
    QCOMPARE(p.rec.last(), QStringLiteral("20240306000002000"));
    c.stop_button();
    QCOMPARE(c.current_timestamp(), QStringLiteral("20240306000002"));
    c.start_button();
    QCOMPARE(p.rec.last(), QStringLiteral("20240306000002000"));
    c.pause_button();
}

void TestController::camerasSharingAName()
{
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    QVERIFY(renameCameras(root, {{3, QStringLiteral("Parking")}}));
    Player p;
    Controller &c = p.c;
    QVariantList cameras;
    QVERIFY(p.loadDay(root, &cameras));
    QStringList names;
    for (const QVariant &cam : cameras)
        names << cam.toMap().value(QStringLiteral("name")).toString();
    QCOMPARE(names, (QStringList{QStringLiteral("Parking (3)"), QStringLiteral("Parking (12)")}));
    // Each name plays its own camera, and says which one on the picture.
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking (3)")));
    QCOMPARE(c.selected_camera_id(), 3);
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking (12)")));
    QCOMPARE(c.selected_camera_id(), 12);
    QVERIFY(QFileInfo(c.current_file()).fileName().startsWith(QStringLiteral("12_")));
    for (const QJsonValue &a : parse(c.day_alarm_list_string(3)))
        QCOMPARE(a.toObject().value(QStringLiteral("cameraName")).toString(), QStringLiteral("Parking (3)"));
}

// A camera list planted where the day's integrity check does not look (the
// day's own index.zunfo) never names a camera; one planted anywhere else is
// a file of the day, and the check fails the day.
void TestController::plantedCameraLists_data()
{
    QTest::addColumn<QString>("planted"); // below the day folder
    QTest::addColumn<bool>("shown");
    QTest::newRow("the day's own list") << QStringLiteral("index.zunfo") << false;
    QTest::newRow("index.zunfo in a segment") << QStringLiteral("140006/index.zunfo") << true;
    QTest::newRow("zzindex.zunfo in a segment") << QStringLiteral("140006/zzindex.zunfo") << true;
}

void TestController::plantedCameraLists()
{
    QFETCH(QString, planted);
    QFETCH(bool, shown);
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    const QString day = dayFolder(root);
    QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(day + QLatin1Char('/') + planted),
                                            {{3, QStringLiteral("Planted")}, {12, QStringLiteral("Planted too")},
                                             {99, QStringLiteral("Planted unrecorded")}}));

    IntegrityCheck check(day);
    QSignalSpy verdict(&check, &IntegrityCheck::end_check);
    check.start();
    QVERIFY(check.wait(60000));
    QCOMPARE(verdict.size(), 1);
    QCOMPARE(verdict.first().first().toBool(), !shown);

    Player p;
    QVariantList cameras;
    QVERIFY(p.loadDay(root, &cameras));
    QStringList names;
    for (const QVariant &cam : cameras)
        names << cam.toMap().value(QStringLiteral("name")).toString();
    names.sort();
    const QStringList expected = shown ? QStringList{QStringLiteral("Planted"), QStringLiteral("Planted too"),
                                                     QStringLiteral("Planted unrecorded")}
                                       : QStringList{QStringLiteral("Entrée principale"), QStringLiteral("Parking")};
    QCOMPARE(names, expected);
}

void TestController::alarmViewer()
{
    Player p;
    QVERIFY(p.loadDay(smallExport()));
    const QList<EventRecord> alarms = p.c.day_alarm_events();
    QVERIFY(!alarms.isEmpty());
    QPointer<AlarmViewer> viewer = new AlarmViewer(alarms.first());
    QVERIFY(!viewer->image().isNull());
    QTemporaryDir tmp;
    QVERIFY(viewer->saveTo(tmp.filePath(QStringLiteral("a.png"))));
    QCOMPARE(QImage(tmp.filePath(QStringLiteral("a.png"))).size(), viewer->image().size());
    QVERIFY(!viewer->saveTo(tmp.filePath(QStringLiteral("no/such/dir/a.png"))));
    viewer->show();
    viewer->close();
    QTRY_VERIFY(viewer.isNull()); // gone with its window

    // A missing picture, a named pipe or a folder under the picture's name:
    // no picture, nothing saved, no wait.
    const QString pipe = tmp.filePath(QStringLiteral("3_20240305_140002_motion.jpg"));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString &path : {tmp.filePath(QStringLiteral("gone.jpg")), pipe, tmp.path()}) {
        EventRecord odd = alarms.first();
        odd.picturePath = path;
        AlarmViewer empty(odd);
        QVERIFY(empty.image().isNull());
        QVERIFY(!empty.saveTo(tmp.filePath(QStringLiteral("b.png"))));
    }
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"
