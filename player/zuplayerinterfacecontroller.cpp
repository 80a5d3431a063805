#include "zuplayerinterfacecontroller.h"

#include "canvas.h"
#include "exportfolder.h"
#include "integritydialog.h" // integrityrunner.h keeps a QPointer to it
#include "integrityrunner.h"
#include "seekfile.h"
#include "zufile.h"
#include "zulog.h"
#include "zustreamreadandcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {
const QLatin1String kName("ZuPlayerInferfaceController");
constexpr qint64 kDayMs = 86400000;

void logLine(const char *level, const char *function, const QString &detail = QString())
{
    QString line = QLatin1String(level) + kName + QLatin1String(" :: ") + QLatin1String(function);
    if (!detail.isEmpty())
        line += QLatin1String(" :: ") + detail;
    logMessage(line);
}

ZuPlayerInferfaceController::ExportDialogFactory &exportFactory()
{
    static ZuPlayerInferfaceController::ExportDialogFactory factory;
    return factory;
}

// A "yyyyMMddHHmmss[zzz]" time on a scale of days and milliseconds, so
// that times of two days compare; -1 when unreadable.
qint64 stampMs(const QString &timestamp)
{
    if (timestamp.size() < 14)
        return -1;
    const QDate date = QDate::fromString(timestamp.left(8), QStringLiteral("yyyyMMdd"));
    const QTime time = QTime::fromString(timestamp.mid(8, 6), QStringLiteral("HHmmss"));
    if (!date.isValid() || !time.isValid())
        return -1;
    return date.toJulianDay() * kDayMs + time.msecsSinceStartOfDay();
}

QJsonArray sortedByMs(QJsonArray array)
{
    QList<QJsonObject> items;
    for (const QJsonValue &v : array)
        items.append(v.toObject());
    std::stable_sort(items.begin(), items.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QLatin1String("ms")).toDouble() < b.value(QLatin1String("ms")).toDouble();
    });
    QJsonArray out;
    for (const QJsonObject &o : items)
        out.append(o);
    return out;
}

QString compact(const QJsonArray &array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}
} // namespace

// ---------------------------------------------------------------- set-up

void ZuPlayerInferfaceController::setExportDialogFactory(ExportDialogFactory factory)
{
    exportFactory() = std::move(factory);
}

bool ZuPlayerInferfaceController::hasExportDialogFactory()
{
    return bool(exportFactory());
}

ZuPlayerInferfaceController::ZuPlayerInferfaceController(QObject *parent)
    : QObject(parent)
    , m_engine(new ZuStreamReadAndControl(this))
{
    connect(m_engine, &ZuStreamReadAndControl::setTime, this, [this](QTime) { onEngineTime(); });
    connect(m_engine, &ZuStreamReadAndControl::stateChanged, this, [this](int state) {
        if (state == ZuStreamReadAndControl::Stopped && m_canvas)
            m_canvas->setup_disconnect(true);
        emit playStateChanged();
    });
    connect(m_engine, &ZuStreamReadAndControl::rateChanged, this, &ZuPlayerInferfaceController::playbackRateChanged);
    connect(m_engine, &ZuStreamReadAndControl::fileChanged, this, &ZuPlayerInferfaceController::currentFileChanged);
    connect(m_engine, &ZuStreamReadAndControl::endOfRecordings, this, &ZuPlayerInferfaceController::endOfRecordings);
}

ZuPlayerInferfaceController::~ZuPlayerInferfaceController()
{
    // Day scans post their result to this object: they must be over first.
    for (QFuture<void> &f : m_scans)
        f.waitForFinished();
    m_preparedScan.waitForFinished();
    m_engine->stop();
    if (m_exportDialog)
        delete m_exportDialog.data();
}

void ZuPlayerInferfaceController::set_canvas(Canvas *canvas)
{
    m_canvas = canvas;
}

QWidget *ZuPlayerInferfaceController::dialogParent() const
{
    return m_canvas ? m_canvas->window() : nullptr;
}

void ZuPlayerInferfaceController::notify(const QString &title, const QString &text, bool warning)
{
    emit messageRequested(title, text);
    if (!m_messageBoxes)
        return;
    auto *box = new QMessageBox(warning ? QMessageBox::Warning : QMessageBox::Information, title, text,
                                QMessageBox::Ok, dialogParent());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// ---------------------------------------------------------------- folder and days

bool ZuPlayerInferfaceController::is_talvor_directory(const QString &name) const
{
    return ZuExportFolder::isExportFolderName(QFileInfo(name).fileName().isEmpty() ? name : QFileInfo(name).fileName());
}

bool ZuPlayerInferfaceController::set_export_folder(const QString &path)
{
    const QString root = ZuExportFolder::exportRootOf(QDir::cleanPath(path));
    if (root.isEmpty() || !QFileInfo(root).isDir()) {
        logLine("[WARN] ", "set export folder", QStringLiteral("not an export folder :: ") + path);
        notify(tr("Dossier invalide"),
               tr("Seuls les dossiers d'exportation Talvor avec un identifiant valide sont acceptés.")
                   + QStringLiteral("\n\n") + tr("Exemple attendu : talvor_aaaa-bbbb-cccc-dddd"),
               true);
        return false;
    }
    m_engine->stop();
    // Another folder plays at normal speed: a rate kept from the last one
    // (backwards, fast) would start it at the wrong end or not at all.
    if (m_engine->rate() != 1.0)
        m_engine->change_rate(1.0);
    if (m_canvas)
        m_canvas->setEnding();
    ++m_scanGeneration; // answers for the old folder are dropped
    if (QFileInfo(m_preparedDayFolder).absolutePath() != QFileInfo(root).absoluteFilePath()) {
        m_preparedScan = QFuture<std::shared_ptr<DayScan>>(); // read ahead for another folder
        m_preparedDayFolder.clear();
        m_engine->setPreparedOpening(QFuture<ZuStreamReadAndControl::OpeningPtr>());
    }
    m_root = root;
    m_day = QDate();
    m_dayFolder.clear();
    applyDayScan(std::make_shared<DayScan>());
    logLine("[INFO] ", "set export folder", m_root);
    emit exportFolderChanged();
    emit selectedDayChanged();
    return true;
}

QFileInfoList ZuPlayerInferfaceController::get_days_list() const
{
    return get_days_list(m_root);
}

QFileInfoList ZuPlayerInferfaceController::get_days_list(const QString &root) const
{
    QFileInfoList days;
    if (root.isEmpty())
        return days;
    const QFileInfoList entries = QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &e : entries) {
        if (ZuExportFolder::isDayFolderName(e.fileName()))
            days.append(e);
    }
    return days;
}

QVariantList ZuPlayerInferfaceController::get_available_days()
{
    QVariantList out;
    const QFileInfoList days = get_days_list();
    for (const QFileInfo &d : days)
        out.append(d.fileName());
    if (out.isEmpty()) {
        logLine("[WARN] ", "get available days", QStringLiteral("no day in ") + m_root);
        notify(tr("Attention"), tr("Aucun enregistrement trouvé dans le dossier ") + m_root, true);
        return out;
    }
    const QDate last = ZuExportFolder::dayFolderDate(days.last().fileName());
    if (last != m_day) {
        m_day = last;
        m_dayFolder = days.last().absoluteFilePath();
        emit selectedDayChanged();
    }
    return out;
}

QFileInfoList ZuPlayerInferfaceController::zunfo_with_multiple_directory(const QString &folder) const
{
    QFileInfoList out;
    const QFileInfoList subs = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &sub : subs) {
        const QFileInfoList files = QDir(sub.absoluteFilePath()).entryInfoList({QStringLiteral("*.zunfo")}, QDir::Files,
                                                                             QDir::Name);
        out.append(files);
    }
    return out;
}

void ZuPlayerInferfaceController::applyDayScan(const std::shared_ptr<DayScan> &scan)
{
    m_videoFiles = scan->videos;
    m_audioFiles = scan->audios;
    m_alarmFiles = scan->alarms;
    m_thumbFiles = scan->thumbnails;
    m_tagFiles = scan->tags;
    m_previewFiles = scan->previews;
    m_ranges = scan->ranges;
    m_streams = scan->streams;
    m_tagEvents = scan->tagEvents;
    m_alarmEvents = scan->alarmEvents;
    m_cameraNames = scan->cameraNames;

    QList<int> ids = m_cameraNames.keys();
    std::sort(ids.begin(), ids.end());
    m_cameraList.clear();
    QHash<int, int> filesOf; // one pass: a day may hold thousands of recordings
    for (const QFileInfo &v : m_videoFiles)
        ++filesOf[ZuExportFolder::classify(v.fileName()).cameraId];
    for (int id : ids) {
        const int files = filesOf.value(id);
        QVariantMap cam;
        cam.insert(QStringLiteral("id"), id);
        cam.insert(QStringLiteral("name"), m_cameraNames.value(id));
        cam.insert(QStringLiteral("streams"), QVariant(m_streams.value(id)));
        cam.insert(QStringLiteral("files"), files);
        m_cameraList.append(cam);
    }
    if (m_selectedCameraId >= 0) {
        m_selectedCameraId = -1;
        m_selectedCameraName.clear();
        emit selectedCameraChanged();
    }
    m_readMs = -1;
    m_readStamp.clear();
    emit camerasChanged();
    emit dayListsChanged();
}

void ZuPlayerInferfaceController::init_day_video_list(const QString &dayFolder)
{
    auto scan = scanDay(dayFolder);
    if (!scan->ok) {
        logLine("[WARN] ", "init day video list", scan->error);
        return;
    }
    m_engine->stop();
    m_day = scan->day;
    m_dayFolder = scan->dayFolder;
    applyDayScan(scan);
    emit selectedDayChanged();
}

void ZuPlayerInferfaceController::get_cameras_for_date_async(const QString &date)
{
    const QDate day = QDate::fromString(date.trimmed(), QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid() || m_root.isEmpty()) {
        const QString message = m_root.isEmpty() ? tr("Aucun dossier d'exportation ouvert.") : tr("Jour invalide : ") + date.left(32);
        logLine("[WARN] ", "get cameras for date", message);
        emit camerasForDateError(date, message);
        return;
    }
    const QString dayFolder = m_root + QLatin1Char('/') + day.toString(QStringLiteral("yyyy-MM-dd"));
    const quint64 generation = ++m_scanGeneration;
    m_scans.erase(std::remove_if(m_scans.begin(), m_scans.end(), [](const QFuture<void> &f) { return f.isFinished(); }),
                  m_scans.end());
    // The day read ahead at start, when it is this one.
    QFuture<std::shared_ptr<DayScan>> prepared;
    if (m_preparedScan.isValid() && QFileInfo(m_preparedDayFolder) == QFileInfo(dayFolder))
        prepared = m_preparedScan;
    m_preparedScan = QFuture<std::shared_ptr<DayScan>>();
    m_preparedDayFolder.clear();
    m_scans.append(QtConcurrent::run([this, dayFolder, date, generation, prepared]() {
        std::shared_ptr<DayScan> scan = prepared.isValid() ? prepared.result() : scanDay(dayFolder);
        // Back on the GUI thread; the destructor waits for this task, so
        // `this` is alive when the call is posted.
        QMetaObject::invokeMethod(
            this,
            [this, scan, date, generation]() {
                if (generation != m_scanGeneration)
                    return; // a newer request or another folder
                if (!scan->ok || !scan->error.isEmpty()) {
                    logLine("[WARN] ", "get cameras for date", scan->error);
                    emit camerasForDateError(date, scan->error);
                    return;
                }
                m_engine->stop();
                if (m_canvas)
                    m_canvas->setEnding();
                m_day = scan->day;
                m_dayFolder = scan->dayFolder;
                applyDayScan(scan);
                emit selectedDayChanged();
                emit camerasForDateReady(date, m_cameraList);
            },
            Qt::QueuedConnection);
    }));
}

void ZuPlayerInferfaceController::prepare_day(const QString &exportFolder)
{
    const QString root = ZuExportFolder::exportRootOf(QDir::cleanPath(exportFolder));
    if (root.isEmpty() || m_preparedScan.isValid())
        return;
    const QFileInfoList days = get_days_list(root);
    if (days.isEmpty())
        return;
    m_preparedDayFolder = days.last().absoluteFilePath();
    m_preparedScan = QtConcurrent::run(&ZuPlayerInferfaceController::scanDay, m_preparedDayFolder);
    // The home tab then plays the day's first camera from its first
    // recording: that file is opened, up to its first pictures, meanwhile.
    const QString stream = m_selectedStream;
    m_engine->setPreparedOpening(m_preparedScan.then(
        QtFuture::Launch::Async, [stream](const std::shared_ptr<DayScan> &scan) -> ZuStreamReadAndControl::OpeningPtr {
            if (!scan || !scan->ok || scan->cameraNames.isEmpty())
                return nullptr;
            const QList<int> ids = scan->cameraNames.keys();
            const int first = *std::min_element(ids.begin(), ids.end());
            const QStringList files = videoFilesOf(scan->videos, first);
            if (files.isEmpty())
                return nullptr;
            return ZuStreamReadAndControl::prepareOpening(files.first(), streamFor(scan->streams.value(first), stream));
        }));
}

// ---------------------------------------------------------------- cameras

int ZuPlayerInferfaceController::cameraIdFor(const QString &camera) const
{
    const QString text = camera.trimmed();
    for (auto it = m_cameraNames.begin(); it != m_cameraNames.end(); ++it) {
        if (it.value() == text)
            return it.key();
    }
    QString number = text;
    if (number.startsWith(QLatin1String("CAMERA "), Qt::CaseInsensitive))
        number = number.mid(7);
    bool ok = false;
    const int id = number.toInt(&ok);
    return ok && id >= 0 ? id : -1;
}

QString ZuPlayerInferfaceController::cameraNameFor(int id) const
{
    return m_cameraNames.value(id, QStringLiteral("CAMERA %1").arg(id));
}

QStringList ZuPlayerInferfaceController::videoFilesOf(const QFileInfoList &videos, int cameraId)
{
    QStringList files;
    for (const QFileInfo &v : videos) {
        if (ZuExportFolder::classify(v.fileName()).cameraId == cameraId)
            files.append(v.absoluteFilePath());
    }
    return files; // the day's lists are sorted by name: segment order
}

QString ZuPlayerInferfaceController::streamFor(const QStringList &streams, const QString &stream)
{
    return streams.isEmpty() || streams.contains(stream) ? stream : streams.first();
}

QStringList ZuPlayerInferfaceController::camera_video_files(int cameraId) const
{
    return videoFilesOf(m_videoFiles, cameraId);
}

QVariantList ZuPlayerInferfaceController::get_streams_for_camera(int cameraId) const
{
    const int id = cameraId < 0 ? m_selectedCameraId : cameraId;
    QVariantList out;
    for (const QString &s : m_streams.value(id))
        out.append(s);
    return out;
}

QVariantList ZuPlayerInferfaceController::available_streams() const
{
    return get_streams_for_camera(-1);
}

QString ZuPlayerInferfaceController::timestampForMs(qint64 msOfDay) const
{
    if (!m_day.isValid() || msOfDay < 0)
        return QString();
    return m_day.toString(QStringLiteral("yyyyMMdd"))
           + QTime::fromMSecsSinceStartOfDay(int(qBound<qint64>(0, msOfDay, kDayMs - 1))).toString(QStringLiteral("HHmmsszzz"));
}

QString ZuPlayerInferfaceController::readStamp() const
{
    const QString shown = m_engine->current_timestamp();
    return shown.isEmpty() ? m_readStamp : shown;
}

bool ZuPlayerInferfaceController::openSelectedAt(const QString &timestamp, bool play)
{
    const QStringList files = camera_video_files(m_selectedCameraId);
    m_engine->stop();
    if (files.isEmpty()) {
        logLine("[WARN] ", "open camera", QStringLiteral("no recording for camera %1").arg(m_selectedCameraId));
        if (m_canvas)
            m_canvas->setEnding();
        return false;
    }
    // The file that covers the time: the last one starting at or before it.
    // Date and time both: a recording may run past midnight.
    QString file = files.first();
    const qint64 at = stampMs(timestamp);
    if (at >= 0) {
        for (const QString &f : files) {
            QDate date;
            QTime start;
            if (ZuExportFolder::parseRecordingName(f, nullptr, &date, &start)
                && date.toJulianDay() * kDayMs + start.msecsSinceStartOfDay() <= at)
                file = f;
        }
    }
    if (m_canvas)
        m_canvas->setStreamStart(true);
    m_engine->set_playlist(files);
    m_engine->set_overlay_text(m_selectedCameraName);
    if (!m_engine->open_file(file, m_selectedStream, timestamp, play)) {
        logLine("[ERROR] ", "open camera", QStringLiteral("cannot play ") + file);
        if (m_canvas)
            m_canvas->setEnding();
        return false;
    }
    return true;
}

bool ZuPlayerInferfaceController::set_selected_camera(const QString &camera)
{
    const int id = cameraIdFor(camera);
    if (id < 0 || (!m_cameraNames.contains(id) && camera_video_files(id).isEmpty())) {
        logLine("[WARN] ", "set selected camera", QStringLiteral("unknown camera ") + camera.left(64));
        return false;
    }
    // Keep the time on screen, date included, when moving to another camera.
    const QString at = readStamp();
    m_selectedCameraId = id;
    m_selectedCameraName = cameraNameFor(id);
    const QString stream = streamFor(m_streams.value(id), m_selectedStream);
    if (stream != m_selectedStream) {
        m_selectedStream = stream;
        emit selectedStreamChanged();
    }
    logLine("[INFO] ", "set selected camera", QStringLiteral("%1 :: %2").arg(id).arg(m_selectedCameraName));
    emit selectedCameraChanged();
    return openSelectedAt(at, true);
}

bool ZuPlayerInferfaceController::set_selected_stream(const QString &streamId)
{
    QString id = streamId.trimmed();
    if (id.startsWith(QLatin1String("video"), Qt::CaseInsensitive))
        id = id.mid(5);
    bool ok = false;
    id.toInt(&ok);
    if (!ok)
        return false;
    if (id != m_selectedStream) {
        m_selectedStream = id;
        emit selectedStreamChanged();
    }
    if (m_selectedCameraId < 0)
        return true;
    const bool play = m_engine->state() != ZuStreamReadAndControl::Paused;
    return openSelectedAt(readStamp(), play);
}

// ---------------------------------------------------------------- transport

int ZuPlayerInferfaceController::play_state() const
{
    return int(m_engine->state());
}

double ZuPlayerInferfaceController::playback_rate() const
{
    return m_engine->rate();
}

QString ZuPlayerInferfaceController::current_file() const
{
    return m_engine->current_file();
}

void ZuPlayerInferfaceController::start_button()
{
    switch (m_engine->state()) {
    case ZuStreamReadAndControl::Paused:
        m_engine->start_read();
        break;
    case ZuStreamReadAndControl::Stopped:
        if (m_selectedCameraId >= 0)
            openSelectedAt(readStamp(), true);
        break;
    case ZuStreamReadAndControl::Playing:
        break;
    }
}

void ZuPlayerInferfaceController::pause_button()
{
    m_engine->pause();
}

void ZuPlayerInferfaceController::toggle_play_pause()
{
    if (m_engine->state() == ZuStreamReadAndControl::Playing)
        pause_button();
    else
        start_button();
}

void ZuPlayerInferfaceController::stop_button()
{
    m_engine->stop();
    emit timeChanged();
}

bool ZuPlayerInferfaceController::next_frame_button()
{
    return m_engine->read_and_display_next_frame(false);
}

bool ZuPlayerInferfaceController::previous_frame_button()
{
    return m_engine->read_and_display_previous_frame(false);
}

void ZuPlayerInferfaceController::set_playback_rate(double rate)
{
    m_engine->change_rate(rate);
}

void ZuPlayerInferfaceController::set_zustream_reader_read_timestamp(const QString &timestamp)
{
    const QString text = timestamp.trimmed().left(14);
    if (!ZuDayScan::readsAsTime(text, QStringLiteral("yyyyMMdd"), QStringLiteral("HHmmss"))) {
        logLine("[WARN] ", "set read timestamp", QStringLiteral("unreadable time ") + timestamp.left(32));
        return;
    }
    m_readMs = QTime::fromString(text.mid(8), QStringLiteral("HHmmss")).msecsSinceStartOfDay();
    m_readStamp = text;
    if (m_engine->state() != ZuStreamReadAndControl::Stopped && !m_engine->current_file().isEmpty())
        m_engine->set_read_timestamp(timestamp.trimmed());
    else if (m_selectedCameraId >= 0)
        openSelectedAt(m_readStamp, true);
    emit timeChanged();
}

void ZuPlayerInferfaceController::seek_to_ms(qint64 msOfDay)
{
    if (!m_day.isValid() || msOfDay < 0 || msOfDay >= kDayMs)
        return;
    set_zustream_reader_read_timestamp(timestampForMs(msOfDay).left(14));
}

void ZuPlayerInferfaceController::jump_seconds(int seconds)
{
    m_engine->jump_seconds(seconds);
}

void ZuPlayerInferfaceController::onEngineTime()
{
    const qint64 ms = m_engine->current_ms_of_day();
    if (ms >= 0) {
        m_readMs = ms;
        m_readStamp = m_engine->current_timestamp();
    }
    emit timeChanged();
}

qint64 ZuPlayerInferfaceController::get_current_read_time_is_ms() const
{
    const qint64 ms = m_engine->current_ms_of_day();
    return ms >= 0 ? ms : m_readMs;
}

QString ZuPlayerInferfaceController::current_time_text() const
{
    const qint64 ms = get_current_read_time_is_ms();
    return ms < 0 ? QStringLiteral("00:00:00.000")
                  : QTime::fromMSecsSinceStartOfDay(int(ms)).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QString ZuPlayerInferfaceController::current_timestamp() const
{
    return readStamp().left(14);
}

// ---------------------------------------------------------------- day lists

QList<EventRecord> ZuPlayerInferfaceController::day_alarm_events() const
{
    return m_alarmEvents;
}

QList<EventRecord> ZuPlayerInferfaceController::day_tag_events() const
{
    return m_tagEvents;
}

QString ZuPlayerInferfaceController::day_alarm_list_string(int cameraId) const
{
    QJsonArray out;
    for (const EventRecord &r : m_alarmEvents) {
        const int cam = r.cameraId.toInt();
        if (cameraId >= 0 && cam != cameraId)
            continue;
        const QTime t = QTime::fromString(r.displayTime.mid(8, 6), QStringLiteral("HHmmss"));
        QJsonObject o;
        o.insert(QStringLiteral("camera"), cam);
        o.insert(QStringLiteral("cameraName"), r.cameraName);
        o.insert(QStringLiteral("time"), r.displayTime);
        o.insert(QStringLiteral("ms"), t.isValid() ? double(t.msecsSinceStartOfDay()) : -1.0);
        o.insert(QStringLiteral("kind"), r.kindText);
        o.insert(QStringLiteral("path"), r.picturePath);
        o.insert(QStringLiteral("thumb"), r.extra);
        o.insert(QStringLiteral("name"), r.fileName);
        out.append(o);
    }
    return compact(sortedByMs(out));
}

QString ZuPlayerInferfaceController::day_tags_list_string(int cameraId) const
{
    QJsonArray out;
    for (const EventRecord &r : m_tagEvents) {
        const int cam = r.cameraId.toInt();
        if (cameraId >= 0 && cam != cameraId)
            continue;
        const QTime t = QTime::fromString(r.displayTime.mid(8, 6), QStringLiteral("HHmmss"));
        QJsonObject o;
        o.insert(QStringLiteral("id"), r.extra);
        o.insert(QStringLiteral("camera"), cam);
        o.insert(QStringLiteral("cameraName"), r.cameraName);
        o.insert(QStringLiteral("time"), r.displayTime);
        o.insert(QStringLiteral("ms"), t.isValid() ? double(t.msecsSinceStartOfDay()) : -1.0);
        o.insert(QStringLiteral("name"), r.tagName);
        o.insert(QStringLiteral("description"), r.tagDescription);
        o.insert(QStringLiteral("path"), r.picturePath);
        out.append(o);
    }
    return compact(sortedByMs(out));
}

QString ZuPlayerInferfaceController::day_preview_list_string(int cameraId) const
{
    QJsonArray out;
    for (const QFileInfo &p : m_previewFiles) {
        const ZuExportFolder::NameInfo info = ZuExportFolder::classify(p.fileName());
        if (cameraId >= 0 && info.cameraId != cameraId)
            continue;
        QJsonObject o;
        o.insert(QStringLiteral("camera"), info.cameraId);
        o.insert(QStringLiteral("cameraName"), cameraNameFor(info.cameraId));
        o.insert(QStringLiteral("time"), info.date.toString(QStringLiteral("yyyyMMdd")) + info.time.toString(QStringLiteral("HHmmss")));
        o.insert(QStringLiteral("ms"), double(info.time.msecsSinceStartOfDay()));
        o.insert(QStringLiteral("path"), p.absoluteFilePath());
        out.append(o);
    }
    return compact(sortedByMs(out));
}

QVariantList ZuPlayerInferfaceController::day_recording_ranges(int cameraId) const
{
    const int id = cameraId == -2 ? m_selectedCameraId : cameraId;
    QList<DayScan::Range> ranges;
    for (const DayScan::Range &r : m_ranges) {
        if (id < 0 ? cameraId == -1 : r.cameraId == id)
            ranges.append(r);
    }
    std::sort(ranges.begin(), ranges.end(), [](const DayScan::Range &a, const DayScan::Range &b) { return a.start < b.start; });
    QVariantList out;
    for (const DayScan::Range &r : ranges) {
        QVariantMap m;
        m.insert(QStringLiteral("start"), r.start);
        m.insert(QStringLiteral("end"), r.end);
        m.insert(QStringLiteral("file"), r.file);
        out.append(m);
    }
    return out;
}

QVariantList ZuPlayerInferfaceController::day_timestamp_list(int cameraId) const
{
    const int id = cameraId == -2 ? m_selectedCameraId : cameraId;
    QSet<int> minutes;
    for (const DayScan::Range &r : m_ranges) {
        if (id < 0 ? cameraId != -1 : r.cameraId != id)
            continue;
        for (qint64 m = r.start / 60000; m <= r.end / 60000 && m < 1440; ++m)
            minutes.insert(int(m));
    }
    QList<int> sorted = minutes.values();
    std::sort(sorted.begin(), sorted.end());
    QVariantList out;
    for (int m : sorted)
        out.append(m);
    return out;
}

// ---------------------------------------------------------------- export, integrity, snapshots

bool ZuPlayerInferfaceController::video_export()
{
    const QString timestamp = m_canvas ? m_canvas->currentTimestamp() : QString();
    logLine("[INFO] ", "video export", QStringLiteral("timestamp ") + timestamp);
    if (!ZuDayScan::readsAsTime(timestamp, QStringLiteral("yyyy-MM-dd "), QStringLiteral("HH:mm:ss.zzz"))) {
        logLine("[WARN] ", "video export", QStringLiteral("no picture time"));
        return false;
    }
    if (m_selectedCameraId < 0 || m_dayFolder.isEmpty())
        return false;
    if (!exportFactory()) {
        logLine("[WARN] ", "video export", QStringLiteral("export dialog not available"));
        notify(tr("Information"), tr("L'exportation n'est pas disponible dans cette version."), false);
        return false;
    }
    ExportRequest request;
    request.dayVideoFiles = m_videoFiles;
    request.cameraId = m_selectedCameraId;
    request.streamId = m_selectedStream;
    request.dayFolder = m_root + QLatin1Char('/') + QFileInfo(m_dayFolder).fileName();
    request.timestamp = timestamp;
    request.parentWidget = dialogParent();
    ExportDialog *dialog = exportFactory()(request);
    if (!dialog)
        return false;
    if (m_exportDialog)
        m_exportDialog->deleteLater();
    m_exportDialog = dialog;
    connect(dialog, &ExportDialog::endingsignal, this, &ZuPlayerInferfaceController::video_export_end);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
    return true;
}

void ZuPlayerInferfaceController::video_export_end()
{
    // A raw copy that could not copy every file must not end as a success.
    const int failures = m_exportDialog ? m_exportDialog->raw_failures() : 0;
    if (m_exportDialog) {
        m_exportDialog->closeall();
        // Called from the dialog's own signal: delete it once that returns.
        m_exportDialog->deleteLater();
        m_exportDialog.clear();
    }
    if (failures > 0) {
        notify(tr("Attention"),
               tr("Votre exportation est terminée, mais %1 fichier(s) n'ont pas pu être copiés.").arg(failures), true);
        return;
    }
    notify(tr("Information"), tr("Votre exportation est terminée."), false);
}

bool ZuPlayerInferfaceController::check_integrity()
{
    if (m_root.isEmpty() || !m_day.isValid())
        return false;
    const QString dayFolder = m_root + QLatin1Char('/') + m_day.toString(QStringLiteral("yyyy-MM-dd"));
    logLine("[INFO] ", "check integrity", dayFolder);
    return IntegrityRunner::start(dayFolder, dialogParent()) != nullptr;
}

QImage ZuPlayerInferfaceController::snapshot_image() const
{
    return m_canvas ? m_canvas->get_snapshot(QString(), QString()) : QImage();
}

bool ZuPlayerInferfaceController::save_snapshot(const QString &path)
{
    return saveImage(snapshot_image(), path);
}

bool ZuPlayerInferfaceController::saveImage(const QImage &image, const QString &path)
{
    if (image.isNull() || path.isEmpty())
        return false;
    const QString suffix = QFileInfo(path).suffix().toLower();
    const char *format = (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) ? "JPG" : "PNG";
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, format) || !file.commit()) {
        logLine("[ERROR] ", "save snapshot", QStringLiteral("cannot write ") + path);
        return false;
    }
    logLine("[INFO] ", "save snapshot", path);
    return true;
}

QString ZuPlayerInferfaceController::take_snapshot()
{
    // The picture is taken now: playing goes on while the file dialog is
    // open, and the file must hold the frame its name and box give the time of.
    const QImage image = snapshot_image();
    if (image.isNull())
        return QString();
    QString name = m_canvas->currentTimestamp();
    name.replace(QLatin1Char(':'), QLatin1Char('-')).replace(QLatin1Char(' '), QLatin1Char('_'));
    if (!m_selectedCameraName.isEmpty())
        name = QString::number(m_selectedCameraId) + QLatin1Char('_') + name;
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString path = QFileDialog::getSaveFileName(dialogParent(), tr("Enregistrer la capture"),
                                                      dir + QLatin1Char('/') + name + QStringLiteral(".png"),
                                                      tr("Images (*.png *.jpg)"));
    if (path.isEmpty() || !saveImage(image, path))
        return QString();
    return path;
}
