// The window's timeline navigation, file stepping, alarm and tag lists, tab
// changes and the reset on a new day folder.
#include "zu_player_presentation.h"
#include "zu_player_presentation_p.h"

#include "alarmmodel.h"
#include "canvas.h"
#include "exportfolder.h"
#include "popupexport.h"
#include "seekfile.h"
#include "ui_zu_player_presentation.h"
#include "zufile.h"
#include "zulog.h"
#include "zuplayer_tabwidget.h"
#include "zuplayerinterfacecontroller.h"
#include "zuslidertimeline.h"
#include "zustreamreadandcontrol.h"
#include "zutag.h"
#include "zutimeline.h"
#include "zutimelinethread.h"
#include "zuvideofilesystemmodel.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMessageBox>
#include <QScrollArea>

#include <algorithm>
#include <memory>

using namespace ZuLegacyWindow;

namespace {

// Camera, date and start ("HHmmss") of a recording name.
struct NameParts {
    QString camera, date, start;
    bool ok = false;
};

NameParts nameParts(const QString &fileName)
{
    NameParts p;
    int camera = -1;
    QDate date;
    QTime start;
    if (!ZuExportFolder::parseRecordingName(fileName, &camera, &date, &start))
        return p;
    p.camera = QString::number(camera);
    p.date = date.toString(QStringLiteral("yyyyMMdd"));
    p.start = start.toString(QStringLiteral("HHmmss"));
    p.ok = true;
    return p;
}

QTime hms(const QString &text)
{
    return QTime::fromString(text, QStringLiteral("HHmmss"));
}

const int kTagRowHeight = 45;

} // namespace

// ---------------------------------------------------------------- builder

void ZU_Player_presentation::set_all_timelines_background(int cameraId, QFileInfoList files)
{
    stop_builder();
    if (!m_waitCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_waitCursor = true;
    }
    timelines_started_at = steadyNs();
    m_builder = new ZuTimelinethread(hour_labels, cameraId, files, controller->day_audio_files(), day_tags);
    const quint64 generation = ++m_buildGeneration;
    connect(m_builder, &QThread::finished, this, [this, generation] {
        if (generation == m_buildGeneration)
            timeline_thread_finished();
    });
    m_builder->start();
}

void ZU_Player_presentation::timeline_thread_finished()
{
    if (!m_builder)
        return;
    ZuTimelinethread *builder = m_builder;
    m_builder = nullptr;
    builder->wait();
    const ZuTimelineBuild build = builder->result();
    builder->deleteLater();
    info(QStringLiteral("init timelines :: timelines creation done in ")
         + QString::number((steadyNs() - timelines_started_at) / 1e6, 'g', 6) + QStringLiteral(" ms"));

    // The builder's findings reach the widgets here, on the GUI thread.
    for (auto it = hour_timelines.cbegin(); it != hour_timelines.cend(); ++it) {
        ZuTimeline *line = it.value();
        const int hour = hour_labels.indexOf(it.key());
        line->clear_minutes();
        line->set_tags(build.hourTags.value(it.key()));
        line->set_camera_id(build.cameraId);
        for (int m = 0; hour >= 0 && m < 60; ++m) {
            if (build.hourMinutes.value(hour * 60 + m))
                line->mark_minutes(m, 1);
        }
        line->update();
    }
    for (int i = 0; i < build.dayMinutes.size(); ++i) {
        if (build.dayMinutes.at(i))
            ui->slider->mark_minutes(i, 1);
    }
    ui->slider->update();
    // The recordings' length: the builder's estimate, one minute without one.
    m_estimatedSeconds = build.segmentMinutes > 0 ? qRound(build.segmentMinutes * 60) : -1;
    segment_minutes = build.segmentMinutes > 0 ? qMax(1, int(build.segmentMinutes)) : 1;
    recompute_segment_seconds();
    update_stream_box(build.streamIds);

    timeline_send_click(current_time_text, camera_id_text.toInt());
    update();
    if (m_waitCursor) {
        QApplication::restoreOverrideCursor();
        m_waitCursor = false;
    }
}

void ZU_Player_presentation::update_stream_box(const QStringList &ids)
{
    ui->video_stream_box->clear();
    for (QString id : ids) {
        info(QStringLiteral("init timelines :: id streams found :: ") + id);
        if (id.contains(QLatin1String("video")))
            id.remove(QStringLiteral("video"));
        ui->video_stream_box->addItem(QStringLiteral("Video ") + id);
    }
    fitPopupToItems(ui->video_stream_box);
}

void ZU_Player_presentation::recompute_segment_seconds()
{
    // Before any build of the day the length is not known: one minute.
    segment_seconds = m_estimatedSeconds > 0 ? m_estimatedSeconds : segment_minutes > 0 ? segment_minutes * 60 : 60;
}

// ---------------------------------------------------------------- clicks and time

void ZU_Player_presentation::setTime(QTime time)
{
    current_time_text = time.toString(QStringLiteral("HH:mm:ss:zzz"));
    ui->lbl_timestamp->setText(current_time_text);
    time_known = true;
}

void ZU_Player_presentation::slider_send_click(QString videotime_str, int camera_id)
{
    if (!time_known)
        return;
    time_known = false;
    timeline_send_click(videotime_str, camera_id);
}

void ZU_Player_presentation::timeline_send_click(QString time, int cameraId)
{
    logMessage(QStringLiteral("[INFO] ZUPlayer Display :: timeline send click :: search datetime for :: ") + time
               + QStringLiteral(" / id ") + QString::number(cameraId));
    QTime t = QTime::fromString(time, QStringLiteral("HH:mm:ss"));
    if (!t.isValid())
        t = QTime::fromString(time, QStringLiteral("HH:mm:ss:zzz"));
    time = t.toString(QStringLiteral("HH:mm:ss"));
    QString found = timeline_get_datetime(time, cameraId, 0);
    logMessage(QStringLiteral("[INFO] ZUPlayer Display :: timeline send click :: found time :: ") + found);
    if (found.isEmpty()) {
        logMessage(QStringLiteral("[INFO] ZUPlayer Display :: timeline send click :: search time again for :: ") + time
                   + QStringLiteral(" / id ") + QString::number(cameraId));
        found = timeline_get_datetime(time, cameraId, 900);
    }
    if (found.isEmpty()) {
        logMessage("[INFO] ZUPlayer Display :: timeline send click :: time not found");
        stop_button();
        return;
    }
    logMessage(QStringLiteral("[INFO] ZUPlayer Display :: timeline send click :: send change timestamp :: ") + found);
    emit change_timestamp(found);
}

QFileInfoList ZU_Player_presentation::usable_media(QFileInfoList files, const char *logPrefix) const
{
    for (int i = files.size() - 1; i >= 0; --i) {
        const QFileInfo &f = files.at(i);
        const QFileInfo seek(ZuSeekFile::seekPathFor(f.absoluteFilePath()));
        if (!seek.exists()) {
            if (logPrefix)
                info(QLatin1String(logPrefix) + QStringLiteral(" :: remove ") + f.filePath());
            files.removeAt(i);
        } else if (seek.size() == 0 && f.exists() && f.size() == 0) {
            if (logPrefix)
                info(QLatin1String(logPrefix) + QStringLiteral(" :: file") + f.fileName() + QStringLiteral(" size ")
                     + QString::number(f.size()));
            files.removeAt(i);
        }
    }
    return files;
}

QString ZU_Player_presentation::timeline_get_datetime(const QString &time, int cameraId, int tolerance)
{
    logMessage(QStringLiteral("[INFO] ZUPlayer Display :: timeline send click get datetime :: time ") + time
               + QStringLiteral(" // camera_id ") + QString::number(cameraId) + QStringLiteral(" // approx ")
               + QString::number(tolerance));
    ZuTimeline *clickLine = timeline_for_time(time);
    recompute_segment_seconds();
    QFileInfoList media = controller->day_video_files() + controller->day_audio_files();
    if (media.isEmpty()) {
        logMessage("[WARN] Zuplayer Display :: timeline get datetime :: medialist is empty");
        return QString();
    }
    media = usable_media(media, "timeline get datetime");
    const QTime click = hms(QString(time).remove(QLatin1Char(':')));
    const QString prefix = QStringLiteral("timeline get datetime :: ");
    int foundIndex = -1;
    int lastIndex = -1;
    QTime lastEnd;
    for (int i = 0; i < media.size(); ++i) {
        const NameParts p = nameParts(media.at(i).fileName());
        if (!p.ok)
            continue;
        if (cameraId == -1)
            cameraId = p.camera.toInt();
        if (p.camera.toInt() != cameraId)
            continue;
        const QTime start = hms(p.start);
        if (!start.isValid() || !click.isValid())
            continue;
        lastIndex = i;
        lastEnd = start.addSecs(segment_seconds);
        if (tolerance == 0) {
            // The file that starts last at or before the time: with a length
            // estimate longer than the files, earlier ones "cover" it too.
            // (strictly later: a video file stays ahead of its own audio file).
            if (start <= click && start.secsTo(click) < segment_seconds
                && (foundIndex < 0 || hms(nameParts(media.at(foundIndex).fileName()).start) < start))
                foundIndex = i;
            continue;
        }
        // The next recording of the same camera and kind (another camera's
        // next file, or this camera's audio after its videos, says nothing
        // about what follows this one).
        QTime nextStart;
        int nextIndex = -1;
        for (int j = i + 1; j < media.size() && nextIndex < 0; ++j) {
            const NameParts q = nameParts(media.at(j).fileName());
            if (q.ok && q.camera.toInt() == cameraId && hms(q.start).isValid()
                && media.at(j).suffix() == media.at(i).suffix()) {
                nextIndex = j;
                nextStart = hms(q.start);
            }
        }
        const int d1 = click.secsTo(start);
        const int d2 = nextIndex >= 0 ? click.secsTo(nextStart) : 0;
        if (d1 > 0 && d1 < tolerance) {
            info(prefix + QStringLiteral("video time to begin file        ") + QString::number(d1));
            foundIndex = i;
        } else if (d2 > 0 && d2 < tolerance) {
            if (tolerance <= qAbs(d1) || d2 <= qAbs(d1)) {
                info(prefix + QStringLiteral("::video time to next file         ") + QString::number(d2));
                foundIndex = nextIndex;
            } else {
                info(prefix + QStringLiteral("video time to file              ") + QString::number(d1));
                foundIndex = i;
            }
        } else if (qAbs(d1) > 0 && qAbs(d1) < tolerance && (d2 == 0 || qAbs(d2) >= tolerance)) {
            info(prefix + QStringLiteral("video time to begin file        ") + QString::number(d1));
            foundIndex = i;
        }
        if (foundIndex >= 0) {
            info(prefix + QStringLiteral("change for file                 ") + media.at(foundIndex).filePath());
            break;
        }
    }
    if (foundIndex < 0 && tolerance > 0 && lastIndex >= 0 && lastEnd.isValid()) {
        const int toEnd = click.secsTo(lastEnd);
        if (toEnd < 0 && toEnd > -tolerance) {
            info(prefix + QStringLiteral("video time to end file          ") + QString::number(toEnd));
            foundIndex = lastIndex;
        }
    }
    if (foundIndex < 0) {
        logMessage("[WARN] Zuplayer Display :: timeline get datetime :: file not found");
        return QString();
    }
    if (tolerance == 0)
        info(prefix + QStringLiteral("change for file                 ") + media.at(foundIndex).filePath());

    // The engine plays video: an audio file found stands for its video.
    QFileInfo found = media.at(foundIndex);
    if (found.suffix() == QLatin1String("zuaudio")) {
        const QString video = found.completeBaseName() + QStringLiteral(".zuvideo");
        for (const QFileInfo &f : std::as_const(media)) {
            if (f.fileName() == video && f.absolutePath() == found.absolutePath())
                found = f;
        }
    }
    const NameParts p = nameParts(found.fileName());
    const QString stream = selected_stream();
    const QTime start = hms(p.start);
    if (clickLine)
        clickLine->clear_range(start.minute(), 1);
    ui->slider->clear_range(start.hour() * 60 + start.minute(), 1);
    const QList<ZuFrame> frames = reader->read_seek_file({ZuSeekFile::seekPathFor(found.absoluteFilePath())}, stream);
    if (!frames.isEmpty()) {
        // Each frame's minute on its own hour's row: a file may run past
        // the end of the hour it starts in.
        QHash<ZuTimeline *, QList<ZuFrame>> byRow;
        for (const ZuFrame &f : frames) {
            if (ZuTimeline *row = timeline_for_time(f.timestamp.mid(8, 6)))
                byRow[row].append(f);
        }
        for (auto it = byRow.cbegin(); it != byRow.cend(); ++it) {
            it.key()->mark_minutes_from_frames(it.value());
            it.key()->update();
        }
        ui->slider->mark_minutes_from_frames(frames);
        ui->slider->update();
    }
    const bool otherFile = found.fileName() != QFileInfo(current_file).fileName();
    const bool otherStream = !stream.isEmpty() && !reader->stream_id().contains(stream);
    if (otherStream && !otherFile)
        info(QStringLiteral("change id stream !"));
    // A stopped engine has no file: the same file is opened again.
    if (otherFile || otherStream || reader->state() == ZuStreamReadAndControl::Stopped)
        change_camera(found);
    const QString result = p.date + click.toString(QStringLiteral("HHmmss"));
    info(prefix + QStringLiteral("emit change timestamp ") + result);
    return result;
}

void ZU_Player_presentation::stop_button()
{
    reader->stop();
    if (canvas)
        canvas->setup_disconnect(true);
    current_time_text = QStringLiteral("00:00:00:000");
    ui->lbl_timestamp->setText(current_time_text);
    ui->slider->setValue(0, current_time_text);
    if (play_state != 0)
        update_buttons(0);
}

// ---------------------------------------------------------------- file stepping

void ZU_Player_presentation::set_next_file()
{
    set_file(QStringLiteral("next"));
}

void ZU_Player_presentation::set_previous_file()
{
    set_file(QStringLiteral("previous"));
}

void ZU_Player_presentation::set_file(QString direction)
{
    // The file's own name: a folder on the path may hold underscores too.
    const QString name = QFileInfo(current_file).fileName();
    info(QStringLiteral("set file :: current file :: ") + name);
    const NameParts p = nameParts(name);
    const QTime start = hms(p.start);
    if (!p.ok || !start.isValid()) {
        stop_button();
        return;
    }
    const bool next = direction.contains(QLatin1String("next"));
    recompute_segment_seconds();
    const QString expectedStart = start.addSecs(next ? segment_seconds : -segment_seconds).toString(QStringLiteral("HHmmss"));
    QString suffix;
    QFileInfoList candidates;
    if (name.contains(QLatin1String(".zuvideo"))) {
        suffix = QStringLiteral(".zuvideo");
        candidates = controller->day_video_files();
    } else if (name.contains(QLatin1String(".zuaudio"))) {
        suffix = QStringLiteral(".zuaudio");
        candidates = controller->day_audio_files();
    }
    const QString expectedName = p.camera + QLatin1Char('_') + p.date + QLatin1Char('_') + expectedStart + suffix;
    // The segment folder is named by its start time: only that last folder
    // name changes, never a part of the path above it.
    QString folder = QFileInfo(current_file).absolutePath();
    const int slash = folder.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0 && folder.mid(slash + 1) == p.start)
        folder = folder.left(slash + 1) + expectedStart;
    QString newPath;
    if (!suffix.isEmpty() && QFileInfo(folder).isDir() && containsFileName(candidates, expectedName)
        && QFileInfo::exists(folder + QLatin1Char('/') + expectedName)) {
        newPath = folder + QLatin1Char('/') + expectedName;
    } else {
        info(QStringLiteral("set file :: day video list NOT contain ") + expectedName);
        candidates = usable_media(candidates, "set file");
        int bestGap = 0;
        for (const QFileInfo &f : std::as_const(candidates)) {
            const NameParts q = nameParts(f.fileName());
            if (!q.ok || q.camera != p.camera || q.date != p.date)
                continue;
            info(QStringLiteral("set file :: file :: ") + f.fileName() + QStringLiteral(" size ")
                 + QString::number(QFileInfo(ZuSeekFile::seekPathFor(f.absoluteFilePath())).size()));
            if (next) {
                if (q.start > p.start) {
                    newPath = f.absoluteFilePath();
                    break;
                }
            } else {
                const QTime s = hms(q.start);
                const int gap = s.isValid() ? start.secsTo(s) : 0;
                if (gap < 0 && (newPath.isEmpty() || gap > bestGap)) {
                    bestGap = gap;
                    newPath = f.absoluteFilePath();
                }
            }
        }
    }
    if (newPath.isEmpty()) {
        // The end (or start) of the day's recordings of this camera.
        info(QStringLiteral("set file :: no ") + direction + QStringLiteral(" file"));
        stop_button();
        return;
    }
    info(QStringLiteral("set file :: new file :: ") + newPath);
    const QString stream = selected_stream();
    bool stepped = false;
    if (play_state == 1)
        stepped = reader->continue_read(newPath, stream, true,
                                        reader->rate() <= 0 ? QStringLiteral("previous") : QStringLiteral("next"));
    else if (play_state == 2)
        stepped = reader->continue_read(newPath, stream, true, direction);
    if (stepped) {
        current_file = newPath;
        actual_zuvideo_file = newPath;
    }
}

void ZU_Player_presentation::set_timestamp(QModelIndex index)
{
    if (index.column() != 0)
        return;
    EventRecord record;
    bool alarm = false;
    if (sender() && sender() == alarm_delegate && alarm_model) {
        record = alarm_model->record(index.row());
        alarm = true;
    } else if (sender() && sender() == tag_delegate && tags_model) {
        record = tags_model->record(index.row());
    } else {
        return;
    }
    const QString time = eventDisplayTime(record);
    if (time.isEmpty()) {
        logMessage("[ERROR] Zuplayer Display :: set_timestamp  :: failed");
        return;
    }
    info(QStringLiteral("set_timestamp  :: timestamp      ") + time);
    info(QStringLiteral("set_timestamp  :: video file     ") + QFileInfo(current_file).fileName());
    const QDateTime from = QDateTime::fromString(time, QStringLiteral("yyyyMMddHHmmss")).addSecs(-2);
    const QString moved = from.toString(QStringLiteral("yyyyMMddHHmmss"));
    info(QStringLiteral("set_timestamp  :: recalc timestamp ") + moved);
    QFileInfo file = record.file;
    if (alarm && file.filePath().isEmpty() && !record.cameraId.isEmpty() && time.size() >= 14) {
        recompute_segment_seconds();
        file = get_video_file_for_alarm(record.cameraId, time.left(8), time.mid(8, 6));
    }
    if (file.filePath().isEmpty()) {
        logMessage("[ERROR] Zuplayer Display :: no file to display");
        auto *box = new QMessageBox(QMessageBox::Warning, tr("Attention"), tr("Aucun fichier vidéo détecté"));
        box->setObjectName(QStringLiteral("noFileMessage"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
        return;
    }
    const QString stream = selected_stream();
    const bool otherFile = file.fileName() != QFileInfo(current_file).fileName();
    const bool otherStream = !stream.isEmpty() && !reader->stream_id().contains(stream);
    if (!otherFile && otherStream)
        info(QStringLiteral("set_timestamp  :: change id stream"));
    if (otherFile || otherStream || reader->state() == ZuStreamReadAndControl::Stopped)
        change_camera(file);
    // The row's time is the time to show from now on: another camera's row
    // rebuilds the hour rows, whose end seeks again to the current time
    // (and opens the file again when the row's stream was not recorded).
    current_time_text = from.time().toString(QStringLiteral("HH:mm:ss:zzz"));
    emit change_timestamp(moved);
}

void ZU_Player_presentation::set_progress(int value)
{
    ui->encodeprogress->show();
    ui->encodeprogress->setFormat((export_popup ? export_popup->get_export_path() : QString()) + QStringLiteral("  [")
                                  + QString::number(value) + QStringLiteral("%]"));
    ui->exportbutton->setEnabled(false);
    ui->encodeprogress->setValue(value);
}

void ZU_Player_presentation::updateRate()
{
    logMessage("[INFO] Zuplayer Display :: updateRate");
    emit changeRate(selected_rate());
}

// ---------------------------------------------------------------- alarm and tag lists

void ZU_Player_presentation::fill_list_box(QComboBox *box, const QStringList &names, int current)
{
    box->clear();
    box->addItems(names);
    box->setCurrentIndex(current);
}

void ZU_Player_presentation::list_camera(int id)
{
    if (id >= 0)
        camera_id_text = QString::number(id);
    // The day's lists are read when a list is asked for before the
    // recordings tab was opened.
    if (!day_directory.isEmpty() && controller->day_video_files().isEmpty())
        controller->init_day_video_list(QDir::cleanPath(day_directory));
    if (camera_names.isEmpty())
        init_day_cameras();
    // Nor were the day's timelines built: the build gives the recordings'
    // length that alarm and tag rows are matched with, and the streams a
    // row's file is opened in. It is waited for, as the rows need it now.
    if (segment_minutes < 0 && !day_directory.isEmpty() && !controller->day_video_files().isEmpty()) {
        set_all_timelines_background(id, usable_media(controller->day_video_files(), nullptr));
        timeline_thread_finished();
    }
}

void ZU_Player_presentation::set_alarm_list_from_cameraid(int id)
{
    list_camera(id);
    // Thumbnails stand for their alarm pictures in the list.
    QFileInfoList pictures;
    for (const QFileInfo &a : controller->day_alarm_files()) {
        const QFileInfo thumb(a.absolutePath() + QLatin1Char('/') + a.completeBaseName() + QStringLiteral("-thumb.")
                              + a.suffix());
        pictures << (thumb.exists() ? thumb : a);
    }
    if (pictures.isEmpty() || controller->day_video_files().isEmpty()) {
        ui->listVignettes_view->setModel(nullptr);
        ui->alarm_combobox->hide();
        return;
    }
    alarm_events.clear();
    QStringList names{tr("Toutes les caméras")};
    int current = 0;
    info(QStringLiteral("alarm list from camera id :: id ") + QString::number(id));
    info(QStringLiteral("alarm list from camera id :: size ") + QString::number(pictures.size()));
    for (const QFileInfo &f : std::as_const(pictures)) {
        const ZuExportFolder::NameInfo thumb = ZuExportFolder::classify(f.fileName());
        if (thumb.kind != ZuExportFolder::FileKind::AlarmThumbnail)
            continue;
        const QString camera = QString::number(thumb.cameraId);
        const QString field5 = thumb.time.toString(QStringLiteral("HHmmss"));
        const QString &field6 = thumb.alarmKind;
        const QString name = camera_names.value(camera.toInt(), QStringLiteral("CAMERA ") + camera);
        if (!names.contains(name))
            names << name;
        if (camera.toInt() == id && id >= 0)
            current = int(names.indexOf(name));
        if (id == -1 || camera.toInt() == id)
            alarm_events << EventRecord(f.fileName(), name, f.absoluteFilePath(), field5, field6, camera);
    }
    fill_list_box(ui->alarm_combobox, names, current);
    AlarmModel *oldModel = alarm_model;
    AlarmItemDelegate *oldDelegate = alarm_delegate;
    alarm_model = new AlarmModel(alarm_events);
    alarm_delegate = new AlarmItemDelegate();
    install_list(ui->listVignettes_view, alarm_model, alarm_delegate, oldModel, oldDelegate);
    ui->listVignettes_view->horizontalHeader()->setDefaultSectionSize(200);
    ui->listVignettes_view->verticalHeader()->setDefaultSectionSize(200);
    ui->alarm_combobox->show();
}

int ZU_Player_presentation::list_box_camera(QComboBox *box, int index)
{
    recompute_segment_seconds();
    // Row 0, "Toutes les caméras", stands for every camera.
    if (index <= 0 || index >= box->count())
        return -1;
    box->setCurrentIndex(index);
    return camera_id_for_text(box->itemText(index));
}

void ZU_Player_presentation::set_alarm_list_from_index(int index)
{
    info(QStringLiteral("set alarm list from index :: ") + QString::number(index));
    const int id = list_box_camera(ui->alarm_combobox, index);
    set_alarm_list_from_cameraid(id);
    change_timelines_from_cameraid(id);
}

void ZU_Player_presentation::set_tags_list_from_index(int index)
{
    info(QStringLiteral("set tags list from index :: ") + QString::number(index));
    const int id = list_box_camera(ui->tags_comboBox, index);
    set_tags_list_from_cameraid(id);
    change_timelines_from_cameraid(id);
}

void ZU_Player_presentation::install_list(QTableView *view, QAbstractItemModel *model, ZuEventItemDelegate *delegate,
                                          QObject *oldModel, QObject *oldDelegate)
{
    view->setModel(model);
    view->setItemDelegate(delegate);
    view->setShowGrid(false);
    view->horizontalHeader()->hide();
    view->verticalHeader()->hide();
    view->horizontalHeader()->setStretchLastSection(true);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(delegate, &ZuEventItemDelegate::cellButtonClicked, this, &ZU_Player_presentation::set_timestamp);
    connect(delegate, &ZuEventItemDelegate::cellDownloadButtonClicked, this, &ZU_Player_presentation::open_alarm_popup);
    // The view has let go of them above.
    if (oldModel)
        oldModel->deleteLater();
    if (oldDelegate)
        oldDelegate->deleteLater();
}

void ZU_Player_presentation::set_tags_list_from_cameraid(int id)
{
    info(QStringLiteral("set tags list from cameraid :: ") + QString::number(id));
    list_camera(id);
    const QFileInfoList tagFiles = controller->day_tag_files();
    const QFileInfoList videos = controller->day_video_files();
    if (tagFiles.isEmpty() || videos.isEmpty())
        return;
    recompute_segment_seconds();
    tag_events.clear();
    QStringList names{tr("Toutes les caméras")};
    int current = 0;
    for (const QFileInfo &t : tagFiles) {
        const std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(t.absoluteFilePath()));
        const ZuExportFolder::NameInfo tagName = ZuExportFolder::classify(t.fileName());
        if (!tag || tagName.kind != ZuExportFolder::FileKind::Tag) {
            logMessage(QStringLiteral("[ERROR] Zuplayer Display :: failed to parse TAG file ") + t.fileName());
            continue;
        }
        const QString camera = QString::number(tagName.cameraId);
        const QString date = tagName.date.toString(QStringLiteral("yyyyMMdd"));
        const QString timeText = tagName.time.toString(QStringLiteral("HHmmss"));
        const QString name = camera_names.value(camera.toInt(), QStringLiteral("CAMERA ") + camera);
        if (!names.contains(name))
            names << name;
        if (camera.toInt() == id && id >= 0)
            current = int(names.indexOf(name));
        if (id != -1 && camera.toInt() != id)
            continue;
        const QTime tagAt = hms(timeText);
        for (const QFileInfo &v : videos) {
            const NameParts p = nameParts(v.fileName());
            const QTime s = hms(p.start);
            // A tag on a file's first second belongs to that file.
            if (!p.ok || p.camera != camera || p.date != date || !s.isValid() || !tagAt.isValid() || segment_seconds == -1
                || !(s <= tagAt && s.secsTo(tagAt) < segment_seconds))
                continue;
            EventRecord r;
            r.file = v;
            r.tagFileName = t.fileName();
            r.cameraName = name;
            r.displayTime = date + timeText;
            r.tagName = tag->get_tag_name();
            r.tagDescription = tag->get_description();
            tag_events << r;
            break;
        }
    }
    fill_list_box(ui->tags_comboBox, names, current);
    TagsModel *oldModel = tags_model;
    TagItemDelegate *oldDelegate = tag_delegate;
    tags_model = new TagsModel(tag_events);
    tag_delegate = new TagItemDelegate();
    install_list(ui->listTags_view, tags_model, tag_delegate, oldModel, oldDelegate);
    // A tag row paints two lines of text down to 40 px below its top: the
    // view's default row height put each row's second line over the next.
    ui->listTags_view->verticalHeader()->setDefaultSectionSize(kTagRowHeight);
}

// ---------------------------------------------------------------- tabs and the tree

void ZU_Player_presentation::tab_changed(int index)
{
    info(QStringLiteral("tab changed :: ") + QString::number(index));
    switch (index) {
    case 2:
    case 3: {
        const bool alarms = index == 2;
        info(QLatin1String(alarms ? "tab changed :: ALARMS :: current camera id " : "tab changed :: TAGS :: current camera id ")
             + camera_id_text);
        if (!camera_id_text.isEmpty()) {
            const int id = camera_id_text.toInt();
            if (alarms)
                set_alarm_list_from_cameraid(id);
            else
                set_tags_list_from_cameraid(id);
        } else {
            info(QLatin1String(alarms ? "set alarm list from index :: -1" : "set tags list from index :: -1"));
            recompute_segment_seconds();
            if (alarms)
                set_alarm_list_from_cameraid(-1);
            else
                set_tags_list_from_cameraid(-1);
            change_timelines_from_cameraid(-1);
        }
        break;
    }
    case 1: {
        info(QStringLiteral("tab changed :: REC :: current camera id  ") + camera_id_text);
        if (timelines_widget || timelines_layout)
            break;
        init_day_cameras();
        camera_combobox->clear();
        QList<int> ids = camera_names.keys();
        std::sort(ids.begin(), ids.end());
        for (int id : std::as_const(ids))
            camera_combobox->addItem(camera_names.value(id));
        if (camera_id_text == QLatin1String("-1") && !ids.isEmpty())
            camera_id_text = QString::number(ids.first());
        segment_minutes = 1;
        controller->init_day_video_list(QDir::cleanPath(day_directory));
        const QFileInfoList videos = controller->day_video_files();
        const QFileInfoList audios = controller->day_audio_files();
        if (!videos.isEmpty())
            init_timelines(videos, camera_id_text.toInt(), 1);
        else if (!audios.isEmpty())
            init_timelines(audios, camera_id_text.toInt(), 1);
        stop_button();
        break;
    }
    case 0:
        if (timelines_widget && timelines_layout)
            teardown_timelines();
        break;
    default:
        break;
    }
}

void ZU_Player_presentation::load_day_tags()
{
    clear_day_tags();
    if (day_directory.isEmpty())
        return;
    QStringList paths;
    QDirIterator it(day_directory, {QStringLiteral("*.zutag")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    std::sort(paths.begin(), paths.end());
    for (const QString &path : std::as_const(paths)) {
        if (ZuTag *tag = ZuFile::load_tag_file(path))
            day_tags << tag;
        else
            logMessage(QStringLiteral("[ERROR] Zuplayer Display :: failed to parse TAG file ") + QFileInfo(path).fileName());
    }
}

void ZU_Player_presentation::clear_day_tags()
{
    // Nothing may point at the tags any more: the rows are gone (or never
    // were) and the slider lets go of them first.
    ui->slider->check_and_add_tags({}, -1);
    for (ZuTimeline *line : std::as_const(hour_timelines))
        line->set_tags({});
    qDeleteAll(day_tags);
    day_tags.clear();
}

void ZU_Player_presentation::tree_entered(QModelIndex index)
{
    if (!index.isValid())
        return;
    const QModelIndex source = proxy_model->mapToSource(index);
    // A recording chosen in the tree leaves the day as it is.
    if (!file_model->isDir(source))
        return;
    const QString path = file_model->filePath(source);
    const QDate date = QDate::fromString(index.data(ZuVideoFileSystemModel::FullDateTimeRole).toString(),
                                         QStringLiteral("yyyy-MM-dd"));
    if (date.isValid()) {
        info(QStringLiteral("tree entered :: valid datetime"));
        // A new day: reading stops and everything of the old day goes, its
        // last picture too (an export would take that picture's day and time).
        teardown_timelines();
        stop_button();
        if (canvas)
            canvas->setEnding();
        current_date = date;
        day_directory = path + QLatin1Char('/');
        info(QStringLiteral("tree entered :: directory ") + day_directory);
        ui->exportbutton->setEnabled(true);
        ui->integrityButton->setEnabled(true);
        camera_id_text = QStringLiteral("-1");
        camera_names.clear();
        m_estimatedSeconds = -1;
        segment_minutes = -1; // no build of this day yet
        current_file = QStringLiteral("/");
        actual_zuvideo_file.clear();
        ui->video_stream_box->clear();
        ui->slider->clear_minutes();
        info(QStringLiteral("tree entered :: clear all media list"));
        controller->clear_day_video_files();
        controller->clear_day_alarm_files();
        controller->clear_day_timestamp_list();
        controller->clear_day_audio_files();
        load_day_tags();
        ui->tabWidget->setEnabled(true);
        for (int i = 1; i <= 3; ++i)
            ui->tabWidget->setTabEnabled(i, true);
        for (QWidget *w : std::initializer_list<QWidget *>{ui->slider, ui->playButton, ui->stopButton, ui->forwardButton,
                                                           ui->backwardButton, ui->snapshotButton, ui->rateBox})
            w->setEnabled(true);
        return;
    }
    // Segment folders inside the day entered keep the day.
    if (!day_directory.isEmpty() && (path + QLatin1Char('/')).startsWith(day_directory))
        return;
    if (!controller->is_talvor_directory(QFileInfo(path).fileName())) {
        day_directory.clear();
        ui->exportbutton->setEnabled(false);
        ui->integrityButton->setEnabled(false);
        return;
    }
    info(QStringLiteral("tree entered :: directory ") + path + QLatin1Char('/'));
    controller->get_days_list(path);
}
