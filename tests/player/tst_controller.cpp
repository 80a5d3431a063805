#include "alarmviewer.h"
#include "canvas.h"
#include "eventrecord.h"
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

namespace {
// Stands in for the export dialog: what the export code's dialog offers.
class FakeExportDialog : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
    bool closed = false;
signals:
    void endingsignal();
public slots:
    void closeall() { closed = true; }
};

QJsonArray parse(const QString &json)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &err);
    return err.error == QJsonParseError::NoError && doc.isArray() ? doc.array() : QJsonArray{QStringLiteral("bad json")};
}

// Loads the fixture's day into a controller through the asynchronous road.
bool loadDay(ZuPlayerInferfaceController &c, const QString &root, QVariantList *cameras = nullptr)
{
    if (!c.set_export_folder(root))
        return false;
    if (c.get_available_days() != QVariantList{QStringLiteral("2024-03-05")})
        return false;
    QSignalSpy ready(&c, &ZuPlayerInferfaceController::camerasForDateReady);
    c.get_cameras_for_date_async(QStringLiteral("2024-03-05"));
    if (!ready.wait(10000))
        return false;
    if (cameras)
        *cameras = ready.first().at(1).toList();
    return true;
}
// Moves camera `camera`'s two recordings of the copied fixture by `seconds`
// (seek lines and file names), so that they may run into the next day.
bool shiftCamera(const QString &root, int camera, qint64 seconds)
{
    for (const QString &start : {QStringLiteral("140000"), QStringLiteral("140006")}) {
        const QString data = videoFile(root, camera, start);
        const QString seek = ZuSeekFile::seekPathFor(data);
        QFile in(seek);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        QByteArray out;
        for (const QByteArray &line : in.readAll().split('\n')) {
            if (line.size() < 17) {
                out += line + '\n';
                continue;
            }
            const QDateTime t(QDate::fromString(QString::fromLatin1(line.left(8)), QStringLiteral("yyyyMMdd")),
                              QTime::fromString(QString::fromLatin1(line.mid(8, 9)), QStringLiteral("HHmmsszzz")),
                              Qt::UTC);
            out += t.addSecs(seconds).toString(QStringLiteral("yyyyMMddHHmmsszzz")).toLatin1() + line.mid(17) + '\n';
        }
        in.close();
        const QTime newStart = QTime::fromString(start, QStringLiteral("HHmmss")).addSecs(int(seconds));
        const QString newData = QFileInfo(data).absolutePath()
                                + QStringLiteral("/%1_20240305_%2.zuvideo").arg(camera).arg(newStart.toString(QStringLiteral("HHmmss")));
        QFile outFile(ZuSeekFile::seekPathFor(newData));
        if (!QFile::remove(seek) || !QFile::rename(data, newData) || !outFile.open(QIODevice::WriteOnly)
            || outFile.write(out.trimmed() + '\n') <= 0)
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
    void camerasWithoutFilesAndEmptyDays();
    void exportHookAndSnapshots();
    void snapshotIsThePictureAskedFor();
    void timesInTheViewersDaylightSavingGap();
    void recordingsPastMidnight();
    void camerasSharingAName();
    void eventRecords();
    void alarmViewer();
};

void TestController::folderDaysAndCameras()
{
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    QSignalSpy messages(&c, &ZuPlayerInferfaceController::messageRequested);
    QTemporaryDir tmp;
    QVERIFY(!c.set_export_folder(tmp.path()));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(), QStringLiteral("Dossier invalide"));
    QVERIFY(c.export_folder().isEmpty());

    const QString root = smallExport();
    // A folder inside the export folder opens its root.
    QVERIFY(c.set_export_folder(dayFolder(root)));
    QCOMPARE(c.export_folder(), root);
    QVERIFY(c.is_talvor_directory(QStringLiteral("talvor_0a1b-2c3d-4e5f-6a7b")));
    QVERIFY(!c.is_talvor_directory(QStringLiteral("talvor_0a1b-2c3d-4e5f")));
    QCOMPARE(c.get_days_list().size(), 1);
    QCOMPARE(c.get_available_days(), QVariantList{QStringLiteral("2024-03-05")});
    QCOMPARE(c.selected_day(), QStringLiteral("2024-03-05"));
    QCOMPARE(c.zunfo_with_multiple_directory(dayFolder(root)).size(), 2);

    QVariantList cameras;
    QVERIFY(loadDay(c, root, &cameras));
    QCOMPARE(cameras.size(), 2);
    const QVariantMap cam3 = cameras.at(0).toMap();
    const QVariantMap cam12 = cameras.at(1).toMap();
    QCOMPARE(cam3.value(QStringLiteral("id")).toInt(), 3);
    QCOMPARE(cam3.value(QStringLiteral("name")).toString(), QStringLiteral("Entrée principale"));
    QCOMPARE(cam3.value(QStringLiteral("streams")).toStringList(), (QStringList{QStringLiteral("0"), QStringLiteral("1")}));
    QCOMPARE(cam3.value(QStringLiteral("files")).toInt(), 2);
    QCOMPARE(cam12.value(QStringLiteral("name")).toString(), QStringLiteral("Parking"));
    QCOMPARE(cam12.value(QStringLiteral("streams")).toStringList(), QStringList{QStringLiteral("0")});
    QCOMPARE(c.cameras(), cameras);

    // Bad dates and missing days answer with an error.
    QSignalSpy errors(&c, &ZuPlayerInferfaceController::camerasForDateError);
    c.get_cameras_for_date_async(QStringLiteral("2024-13-40"));
    QCOMPARE(errors.count(), 1);
    c.get_cameras_for_date_async(QStringLiteral("2024-03-06"));
    QVERIFY(errors.wait(10000));
    QCOMPARE(errors.last().first().toString(), QStringLiteral("2024-03-06"));
    // Only the latest of several requests is answered.
    QSignalSpy ready(&c, &ZuPlayerInferfaceController::camerasForDateReady);
    errors.clear();
    c.get_cameras_for_date_async(QStringLiteral("2024-03-06"));
    c.get_cameras_for_date_async(QStringLiteral("2024-03-05"));
    QVERIFY(ready.wait(10000));
    QTest::qWait(100);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(ready.count(), 1);
}

void TestController::dayLists()
{
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    const QString root = smallExport();
    QVERIFY(loadDay(c, root));
    QCOMPARE(c.day_video_files().size(), 4);
    QCOMPARE(c.day_audio_files().size(), 2);
    QVERIFY(c.day_video_files().first().fileName() < c.day_video_files().last().fileName());
    QCOMPARE(c.camera_video_files(12),
             (QStringList{videoFile(root, 12, QStringLiteral("140000")), videoFile(root, 12, QStringLiteral("140006"))}));

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
        QVERIFY(!a.value(QStringLiteral("kind")).toString().isEmpty());
    }
    const QJsonArray alarms3 = parse(c.day_alarm_list_string(3));
    QVERIFY(alarms3.size() > 0 && alarms3.size() < alarms.size());
    for (const QJsonValue &v : alarms3)
        QCOMPARE(v.toObject().value(QStringLiteral("camera")).toInt(), 3);

    const QJsonArray tags = parse(c.day_tags_list_string());
    QCOMPARE(tags.size(), 2);
    for (const QJsonValue &v : tags) {
        const QJsonObject t = v.toObject();
        QVERIFY(t.value(QStringLiteral("name")).toString().startsWith(QStringLiteral("Repère")));
        QVERIFY(t.value(QStringLiteral("ms")).toDouble() >= 14 * 3600000.0);
    }
    QCOMPARE(parse(c.day_tags_list_string(12)).size(), 1);
    QCOMPARE(parse(c.day_preview_list_string()).size(), c.day_preview_files().size());
    QCOMPARE(parse(c.day_preview_list_string(12)).size(), 2);

    QCOMPARE(c.day_timestamp_list(-1), QVariantList{840});
    const QVariantList ranges = c.day_recording_ranges(12);
    QCOMPARE(ranges.size(), 2);
    QCOMPARE(ranges.at(0).toMap().value(QStringLiteral("start")).toLongLong(), 14 * 3600000LL);
    QCOMPARE(ranges.at(0).toMap().value(QStringLiteral("end")).toLongLong(), 14 * 3600000LL + 5900);
    QCOMPARE(ranges.at(1).toMap().value(QStringLiteral("start")).toLongLong(), 14 * 3600000LL + 6000);

    // The copies are copies.
    QFileInfoList copy = c.day_video_files();
    copy.clear();
    QCOMPARE(c.day_video_files().size(), 4);
    c.clear_day_video_files();
    c.clear_day_alarm_files();
    c.clear_day_audio_files();
    c.clear_day_timestamp_list();
    QVERIFY(c.day_video_files().isEmpty() && c.day_alarm_files().isEmpty() && c.day_audio_files().isEmpty());
    QVERIFY(c.day_timestamp_list(-1).isEmpty());
    // The synchronous road gives the same lists.
    c.init_day_video_list(dayFolder(root));
    QCOMPARE(c.day_video_files().size(), 4);
    QCOMPARE(c.day_tag_files().size(), 2);
}

void TestController::selectPlayAndTransport()
{
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    Canvas canvas;
    canvas.set_player_fed();
    c.set_canvas(&canvas);
    connect(c.reader(), &ZuStreamReadAndControl::set_display_frame, &canvas, &Canvas::displayFrame,
            Qt::QueuedConnection);
    Recorder rec(c.reader());
    const QString root = smallExport();
    QVERIFY(loadDay(c, root));
    QSignalSpy time(&c, &ZuPlayerInferfaceController::timeChanged);
    QSignalSpy state(&c, &ZuPlayerInferfaceController::playStateChanged);

    QVERIFY(!c.set_selected_camera(QStringLiteral("Nowhere")));
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(c.selected_camera_id(), 12);
    QCOMPARE(c.play_state(), 1);
    QVERIFY(c.is_playing());
    QVERIFY(state.count() >= 1);
    QCOMPARE(rec.timestamps.first(), QStringLiteral("20240305140000000"));
    QVERIFY(time.count() >= 1);
    QTRY_VERIFY(!canvas.currentTimestamp().isEmpty());
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
    QVERIFY(c.next_frame_button());
    QVERIFY(c.next_frame_button());
    QCOMPARE(rec.last(), QStringLiteral("20240305140006100"));
    c.jump_seconds(-5);
    QCOMPARE(rec.last(), QStringLiteral("20240305140001100"));
    c.seek_to_ms(14 * 3600000LL + 4000);
    QCOMPARE(rec.last(), QStringLiteral("20240305140004000"));

    // Another camera keeps the time on screen.
    QVERIFY(c.set_selected_camera(QStringLiteral("3")));
    QCOMPARE(c.selected_camera(), QStringLiteral("Entrée principale"));
    QCOMPARE(rec.last(), QStringLiteral("20240305140004000"));
    QCOMPARE(c.available_streams(), (QVariantList{QStringLiteral("0"), QStringLiteral("1")}));
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
    QVERIFY(canvas.isDisconnected());
    // After a stop, play reopens the camera at the read time.
    const qint64 readMs = c.get_current_read_time_is_ms();
    QVERIFY(readMs >= 14 * 3600000LL);
    c.start_button();
    QCOMPARE(c.play_state(), 1);
    QVERIFY(!rec.last().isEmpty());
    c.stop_button();
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140008"));
    QCOMPARE(c.play_state(), 1);
    QCOMPARE(rec.last(), QStringLiteral("20240305140008000"));
    // Playing runs to the end of the camera's day.
    QSignalSpy end(&c, &ZuPlayerInferfaceController::endOfRecordings);
    c.set_playback_rate(8);
    QVERIFY(end.wait(10000));
    QCOMPARE(c.play_state(), 2);
}

void TestController::camerasWithoutFilesAndEmptyDays()
{
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    // A camera listed without any recording, and an empty day.
    QHash<int, QString> cams = ZuFile::check_and_parse_nfo_file(QFileInfo(dayFolder(root) + QStringLiteral("/index.zunfo")), {});
    cams.insert(99, QStringLiteral("Quai"));
    QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(dayFolder(root) + QStringLiteral("/index.zunfo")), cams));
    QVERIFY(QDir(root).mkdir(QStringLiteral("2024-03-06")));
    // Camera 12's second segment lost its seek file, and camera 3's second
    // one has a named pipe in its place.
    QVERIFY(QFile::remove(ZuSeekFile::seekPathFor(videoFile(root, 12, QStringLiteral("140006")))));
    const QString pipe = ZuSeekFile::seekPathFor(videoFile(root, 3, QStringLiteral("140006")));
    QVERIFY(QFile::remove(pipe));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);

    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    QVERIFY(c.set_export_folder(root));
    QCOMPARE(c.get_available_days().size(), 2);
    QCOMPARE(c.selected_day(), QStringLiteral("2024-03-06"));
    QSignalSpy errors(&c, &ZuPlayerInferfaceController::camerasForDateError);
    c.get_cameras_for_date_async(QStringLiteral("2024-03-06"));
    QVERIFY(errors.wait(10000));

    QVariantList cameras;
    QSignalSpy ready(&c, &ZuPlayerInferfaceController::camerasForDateReady);
    c.get_cameras_for_date_async(QStringLiteral("2024-03-05"));
    QVERIFY(ready.wait(10000));
    QCOMPARE(ready.first().at(1).toList().size(), 3);
    QVERIFY(!c.set_selected_camera(QStringLiteral("Quai")));
    QCOMPARE(c.play_state(), 0);
    QCOMPARE(c.selected_camera_id(), 99);
    // The user goes on with another camera; its broken second file ends the day.
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(c.play_state(), 1);
    QSignalSpy end(&c, &ZuPlayerInferfaceController::endOfRecordings);
    c.set_playback_rate(8);
    QVERIFY(end.wait(10000));
    QCOMPARE(c.day_recording_ranges(12).size(), 1);
    QCOMPARE(c.day_recording_ranges(3).size(), 1);

    // A folder without days.
    QTemporaryDir empty;
    QVERIFY(QDir(empty.path()).mkdir(QStringLiteral("talvor_0000-0000-0000-0000")));
    QSignalSpy messages(&c, &ZuPlayerInferfaceController::messageRequested);
    QVERIFY(c.set_export_folder(empty.path() + QStringLiteral("/talvor_0000-0000-0000-0000")));
    QVERIFY(c.get_available_days().isEmpty());
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(), QStringLiteral("Attention"));
    QVERIFY(messages.first().at(1).toString().startsWith(QStringLiteral("Aucun enregistrement trouvé dans le dossier ")));
    QCOMPARE(c.play_state(), 0);
    QVERIFY(!c.check_integrity());
}

void TestController::exportHookAndSnapshots()
{
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    Canvas canvas;
    canvas.set_player_fed();
    c.set_canvas(&canvas);
    connect(c.reader(), &ZuStreamReadAndControl::set_display_frame, &canvas, &Canvas::displayFrame,
            Qt::QueuedConnection);
    const QString root = smallExport();
    QVERIFY(loadDay(c, root));
    QVERIFY(!c.video_export()); // no picture yet
    QVERIFY(c.snapshot_image().isNull());
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    c.pause_button();
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140004"));
    QTRY_COMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:04.000"));

    const auto previous = ZuPlayerInferfaceController::hasExportDialogFactory();
    QVERIFY(!previous || true);
    ZuPlayerInferfaceController::setExportDialogFactory({});
    QSignalSpy messages(&c, &ZuPlayerInferfaceController::messageRequested);
    QVERIFY(!c.video_export());
    QCOMPARE(messages.count(), 1);

    ZuPlayerInferfaceController::ExportRequest seen;
    QPointer<FakeExportDialog> dialog;
    ZuPlayerInferfaceController::setExportDialogFactory([&](const ZuPlayerInferfaceController::ExportRequest &r) {
        seen = r;
        dialog = new FakeExportDialog;
        return dialog.data();
    });
    QVERIFY(c.video_export());
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
    QCOMPARE(seen.cameraId, 12);
    QCOMPARE(seen.streamId, QStringLiteral("0"));
    QCOMPARE(seen.dayFolder, root + QStringLiteral("/2024-03-05"));
    QCOMPARE(seen.timestamp, QStringLiteral("2024-03-05 14:00:04.000"));
    QCOMPARE(seen.dayVideoFiles.size(), 4);
    messages.clear();
    emit dialog->endingsignal();
    QVERIFY(dialog->closed);
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Information"));
    QCOMPARE(messages.first().at(1).toString(), QStringLiteral("Votre exportation est terminée."));
    ZuPlayerInferfaceController::setExportDialogFactory({});

    QTemporaryDir tmp;
    const QString png = tmp.filePath(QStringLiteral("shot.png"));
    QVERIFY(c.save_snapshot(png));
    const QImage saved(png);
    QCOMPARE(saved.size(), QSize(320, 240));
    const QImage shown = canvas.currentImage();
    QCOMPARE(saved.pixel(10, 10) | 0xff000000u, shown.pixel(10, 10) | 0xff000000u);
    QVERIFY(!c.save_snapshot(tmp.filePath(QStringLiteral("missing/dir/shot.png"))));
}

void TestController::snapshotIsThePictureAskedFor()
{
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    Canvas canvas;
    canvas.set_player_fed();
    c.set_canvas(&canvas);
    connect(c.reader(), &ZuStreamReadAndControl::set_display_frame, &canvas, &Canvas::displayFrame,
            Qt::QueuedConnection);
    QVERIFY(loadDay(c, smallExport()));
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    c.pause_button();
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140004"));
    QTRY_COMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:04.000"));
    const QImage asked = c.snapshot_image();

    // While the file dialog is open, the picture moves on (as it does while
    // playing); the file still gets the picture that was on screen.
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("shot.png"));
    QString proposed;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll.stop();
        proposed = dialog->selectedFiles().value(0);
        for (int i = 0; i < 10; ++i)
            c.next_frame_button();
        QTRY_COMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:05.000"));
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    poll.start(20);
    const QString written = c.take_snapshot();
    QVERIFY(QFileInfo(proposed).fileName().startsWith(QStringLiteral("12_2024-03-05_14-00-04.000")));
    QVERIFY2(written.startsWith(tmp.path()), qPrintable(written));
    const QImage saved(written);
    QCOMPARE(saved.size(), asked.size());
    QCOMPARE(saved.convertToFormat(QImage::Format_RGB32), asked.convertToFormat(QImage::Format_RGB32));
}

void TestController::timesInTheViewersDaylightSavingGap()
{
    // A viewer whose zone jumps from 14:00 to 15:00 on the recorded day: the
    // recorder's wall-clock times in that hour still seek and export.
    const QByteArray oldTz = qgetenv("TZ");
    const bool hadTz = qEnvironmentVariableIsSet("TZ");
    qputenv("TZ", "XST-1XDT,M3.1.2/14,M10.5.0/3");
    tzset();
    const auto restore = qScopeGuard([&] {
        if (hadTz)
            qputenv("TZ", oldTz);
        else
            qunsetenv("TZ");
        tzset();
    });
    QVERIFY(!QDateTime::fromString(QStringLiteral("20240305140004"), QStringLiteral("yyyyMMddHHmmss")).isValid());

    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    Canvas canvas;
    canvas.set_player_fed();
    c.set_canvas(&canvas);
    connect(c.reader(), &ZuStreamReadAndControl::set_display_frame, &canvas, &Canvas::displayFrame,
            Qt::QueuedConnection);
    Recorder rec(c.reader());
    QVERIFY(loadDay(c, smallExport()));
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    c.pause_button();
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240305140004"));
    QCOMPARE(rec.last(), QStringLiteral("20240305140004000"));
    QTRY_COMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:04.000"));

    ZuPlayerInferfaceController::ExportRequest seen;
    ZuPlayerInferfaceController::setExportDialogFactory([&](const ZuPlayerInferfaceController::ExportRequest &r) {
        seen = r;
        return new FakeExportDialog;
    });
    const bool exported = c.video_export();
    ZuPlayerInferfaceController::setExportDialogFactory({});
    QVERIFY(exported);
    QCOMPARE(seen.timestamp, QStringLiteral("2024-03-05 14:00:04.000"));
}

void TestController::recordingsPastMidnight()
{
    // The day's recordings start at 23:59:52 and run into the next day.
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    QVERIFY(shiftCamera(root, 12, 35992));
    QVERIFY(shiftCamera(root, 3, 35992));
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    Recorder rec(c.reader());
    QVERIFY(loadDay(c, root));
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking")));
    QCOMPARE(rec.last(), QStringLiteral("20240305235952000"));
    c.pause_button();
    c.set_zustream_reader_read_timestamp(QStringLiteral("20240306000001"));
    QCOMPARE(rec.last(), QStringLiteral("20240306000002000"));
    QCOMPARE(c.current_timestamp(), QStringLiteral("20240306000002"));

    // Another camera, another stream, a stop and play again: the same
    // moment of the next day, not that time of the selected day.
    QVERIFY(c.set_selected_camera(QStringLiteral("Entrée principale")));
    QCOMPARE(rec.last(), QStringLiteral("20240306000002000"));
    QVERIFY(c.set_selected_stream(QStringLiteral("1")));
    QCOMPARE(rec.size, QSize(160, 120));
    QCOMPARE(rec.last(), QStringLiteral("20240306000002000"));
    c.stop_button();
    QCOMPARE(c.current_timestamp(), QStringLiteral("20240306000002"));
    c.start_button();
    QCOMPARE(rec.last(), QStringLiteral("20240306000002000"));
    c.pause_button();
}

void TestController::camerasSharingAName()
{
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    QStringList lists{dayFolder(root) + QStringLiteral("/index.zunfo")};
    for (const QString &seg : {QStringLiteral("140000"), QStringLiteral("140006")})
        lists << dayFolder(root) + QStringLiteral("/%1/%1.zunfo").arg(seg);
    for (const QString &list : lists) {
        QHash<int, QString> cams = ZuFile::check_and_parse_nfo_file(QFileInfo(list), {});
        QVERIFY(cams.contains(3) && cams.contains(12));
        cams[3] = QStringLiteral("Parking");
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(list), cams));
    }
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    Recorder rec(c.reader());
    QVariantList cameras;
    QVERIFY(loadDay(c, root, &cameras));
    QStringList names;
    for (const QVariant &cam : cameras)
        names << cam.toMap().value(QStringLiteral("name")).toString();
    QVERIFY2(names.contains(QStringLiteral("Parking (3)")) && names.contains(QStringLiteral("Parking (12)")),
             qPrintable(names.join(QLatin1Char('|'))));
    // Each name plays its own camera, and says which one on the picture.
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking (3)")));
    QCOMPARE(c.selected_camera_id(), 3);
    QVERIFY(c.set_selected_camera(QStringLiteral("Parking (12)")));
    QCOMPARE(c.selected_camera_id(), 12);
    QVERIFY(QFileInfo(c.current_file()).fileName().startsWith(QStringLiteral("12_")));
    const QJsonArray alarms = parse(c.day_alarm_list_string(3));
    for (const QJsonValue &a : alarms)
        QCOMPARE(a.toObject().value(QStringLiteral("cameraName")).toString(), QStringLiteral("Parking (3)"));
}

void TestController::eventRecords()
{
    EventRecord alarm(QStringLiteral("3_20240105_103000_motion-thumb.jpg"), QStringLiteral("CAMERA 3"),
                      QStringLiteral("/x/3_20240105_103000_motion-thumb.jpg"), QStringLiteral("103000"),
                      QStringLiteral("motion"), QStringLiteral("3"));
    QCOMPARE(alarm.field(0), alarm.fileName);
    QCOMPARE(alarm.field(3), alarm.picturePath);
    QCOMPARE(alarm.field(7), QStringLiteral("3"));
    QCOMPARE(alarm.eventDisplayTime(), QStringLiteral("20240105103000"));
    EventRecord tag;
    tag.fileName = QStringLiteral("12_20240305_140004.zutag");
    QCOMPARE(tag.eventDisplayTime(), QStringLiteral("20240305140004"));
    tag.setField(8, QStringLiteral("20240305140009"));
    QCOMPARE(tag.eventDisplayTime(), QStringLiteral("20240305140009"));
    EventRecord odd;
    odd.fileName = QStringLiteral("nothing_here.jpg");
    QVERIFY(odd.eventDisplayTime().isEmpty());
    EventRecord copy = alarm;
    QVERIFY(copy == alarm);
    copy.setField(10, QStringLiteral("x"));
    QVERIFY(!(copy == alarm));
    QVERIFY(copy.field(11).isEmpty());

    const QFileInfoList list{QFileInfo(QStringLiteral("/a/3_20240305_140000.zuvideo")), QFileInfo(QStringLiteral("/b/x.txt"))};
    QVERIFY(containsFileName(list, QStringLiteral("3_20240305_140000.zuvideo")));
    QVERIFY(!containsFileName(list, QStringLiteral("3_20240305_140006.zuvideo")));
    QVERIFY(!containsFileName({}, QStringLiteral("x.txt")));
}

void TestController::alarmViewer()
{
    ZuPlayerInferfaceController c;
    c.set_message_boxes_enabled(false);
    QVERIFY(loadDay(c, smallExport()));
    const QList<EventRecord> alarms = c.day_alarm_events();
    QVERIFY(!alarms.isEmpty());
    QPointer<AlarmViewer> viewer = new AlarmViewer(alarms.first());
    QVERIFY(!viewer->image().isNull());
    QCOMPARE(viewer->windowTitle(), alarms.first().fileName);
    QTemporaryDir tmp;
    QVERIFY(viewer->saveTo(tmp.filePath(QStringLiteral("a.png"))));
    QCOMPARE(QImage(tmp.filePath(QStringLiteral("a.png"))).size(), viewer->image().size());
    QVERIFY(!viewer->saveTo(tmp.filePath(QStringLiteral("no/such/dir/a.png"))));
    viewer->show();
    viewer->close();
    QTRY_VERIFY(viewer.isNull()); // gone with its window

    EventRecord missing = alarms.first();
    missing.picturePath = tmp.filePath(QStringLiteral("gone.jpg"));
    QPointer<AlarmViewer> empty = new AlarmViewer(missing);
    QVERIFY(empty->image().isNull());
    QVERIFY(!empty->saveTo(tmp.filePath(QStringLiteral("b.png"))));
    delete empty.data();
    // A named pipe or a folder under the picture's name: no picture, no wait.
    const QString pipe = tmp.filePath(QStringLiteral("3_20240305_140002_motion.jpg"));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString &path : {pipe, tmp.path()}) {
        missing.picturePath = path;
        QPointer<AlarmViewer> odd = new AlarmViewer(missing);
        QVERIFY(odd->image().isNull());
        delete odd.data();
    }
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"
