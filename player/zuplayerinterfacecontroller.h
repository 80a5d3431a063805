#pragma once
#include "canvas.h"
#include "dayscan.h"
#include "eventrecord.h"
#include "exportdialog.h"

#include <QDate>
#include <QFuture>
#include <QFileInfoList>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>

class QWidget;
class ZuStreamReadAndControl;

// The QML back-end of the player window (root-context objects "videoWidget"
// and "videoController"): holds the export folder, the day, the camera and
// the stream chosen, the day's file lists, and drives the playback engine it
// creates. Everything runs on the GUI thread except the day scan of
// get_cameras_for_date_async, which runs on the global thread pool and hands
// its result back through a queued signal.
//
// Time forms used with QML:
//   day         "yyyy-MM-dd"
//   timestamp   "yyyyMMddHHmmss" (the day's date and the time of day)
//   ms          milliseconds since the start of the day (timeline positions)
//
// Messages for the user (no day found, ...) are emitted as messageRequested
// and, unless switched off (tests), also shown in a non-blocking message box.
class ZuPlayerInferfaceController : public QObject
{
    Q_OBJECT
    // The export root folder ("…/talvor_xxxx-xxxx-xxxx-xxxx"), empty when none.
    Q_PROPERTY(QString exportFolder READ export_folder NOTIFY exportFolderChanged)
    // The selected day "yyyy-MM-dd", empty when none.
    Q_PROPERTY(QString selectedDay READ selected_day NOTIFY selectedDayChanged)
    // The day's cameras, as camerasForDateReady gives them.
    Q_PROPERTY(QVariantList cameras READ cameras NOTIFY camerasChanged)
    // Selected camera: its name (as listed) and id (-1 when none).
    Q_PROPERTY(QString selectedCamera READ selected_camera NOTIFY selectedCameraChanged)
    Q_PROPERTY(int selectedCameraId READ selected_camera_id NOTIFY selectedCameraChanged)
    // Selected stream id ("0", "1"), and the streams the selected camera records.
    Q_PROPERTY(QString selectedStream READ selected_stream NOTIFY selectedStreamChanged)
    Q_PROPERTY(QVariantList availableStreams READ available_streams NOTIFY selectedCameraChanged)
    // 0 stopped, 1 playing, 2 paused; `playing` is playState == 1.
    Q_PROPERTY(int playState READ play_state NOTIFY playStateChanged)
    Q_PROPERTY(bool playing READ is_playing NOTIFY playStateChanged)
    // -8, -4, -2, -1, 1, 2, 4 or 8.
    Q_PROPERTY(double playbackRate READ playback_rate NOTIFY playbackRateChanged)
    // Position of the picture on screen (or of the read time when none).
    Q_PROPERTY(qint64 currentTimeMs READ get_current_read_time_is_ms NOTIFY timeChanged)
    Q_PROPERTY(QString currentTimeText READ current_time_text NOTIFY timeChanged)   // "HH:mm:ss.zzz"
    Q_PROPERTY(QString currentTimestamp READ current_timestamp NOTIFY timeChanged)  // "yyyyMMddHHmmss"
    // The data file being read, empty when none.
    Q_PROPERTY(QString currentFile READ current_file NOTIFY currentFileChanged)

public:
    // What the export dialog needs, as the transport bar's export command
    // gathers it.
    struct ExportRequest {
        QFileInfoList dayVideoFiles;  // the day's video data files
        int cameraId = -1;
        QString streamId;             // decimal text, "0"
        QString dayFolder;            // export root + "/" + day folder name
        QString timestamp;            // picture on screen, "yyyy-MM-dd HH:mm:ss.zzz"
        QWidget *parentWidget = nullptr;
    };
    // Builds the export dialog for a request; the controller makes it modal,
    // shows it and deletes it after endingsignal(). Installed by the export
    // dialog's code; without it video_export() reports that export is not
    // available.
    using ExportDialogFactory = std::function<ExportDialog *(const ExportRequest &)>;
    static void setExportDialogFactory(ExportDialogFactory factory);
    static bool hasExportDialogFactory();

    explicit ZuPlayerInferfaceController(QObject *parent = nullptr);
    ~ZuPlayerInferfaceController() override;

    // The playback engine (owned; lives as long as the controller).
    ZuStreamReadAndControl *reader() const { return m_engine; }
    // The video surface: told when a stream starts or stops, read for
    // snapshots and the export time, parent of dialogs. The owner connects
    // the reader's pictures to the surface itself.
    void set_canvas(Canvas *canvas);
    Canvas *canvas() const { return m_canvas; }
    void set_message_boxes_enabled(bool enabled) { m_messageBoxes = enabled; }

    QString export_folder() const { return m_root; }
    QString selected_day() const { return m_day.isValid() ? m_day.toString(QStringLiteral("yyyy-MM-dd")) : QString(); }
    QVariantList cameras() const { return m_cameraList; }
    QString selected_camera() const { return m_selectedCameraName; }
    int selected_camera_id() const { return m_selectedCameraId; }
    QString selected_stream() const { return m_selectedStream; }
    QVariantList available_streams() const;
    int play_state() const;
    bool is_playing() const { return play_state() == 1; }
    double playback_rate() const;
    QString current_time_text() const;
    QString current_timestamp() const;
    QString current_file() const;

    // ---- QML invokables --------------------------------------------------

    // Opens an export folder: the folder itself or any folder inside one
    // (its export root is taken). Stops playing and forgets the day. Returns
    // false, with a message, when no export root is found.
    Q_INVOKABLE bool set_export_folder(const QString &path);

    // The day folders of the export folder as "yyyy-MM-dd" texts, ascending.
    // Selects the last one (selectedDay); with none, tells the user
    // "Aucun enregistrement trouvé dans le dossier <path>" ("Attention").
    Q_INVOKABLE QVariantList get_available_days();

    // Scans the day `date` ("yyyy-MM-dd") on the global thread pool: camera
    // names from the camera lists, the day's files, marker contents and the
    // recorded time ranges. On success the day becomes the selected day,
    // playing stops, the day lists are replaced and camerasForDateReady is
    // emitted; otherwise camerasForDateError with a French text. Only the
    // latest request is answered.
    Q_INVOKABLE void get_cameras_for_date_async(const QString &date);
    // Starts reading the day that opening `exportFolder` will show (its
    // last day) on the thread pool, so that the views find it read, or
    // nearly, when they ask for it while they are still being built. The
    // reading is used by the first request for that day only. The first
    // recording of the day's first camera is then opened on the pool too,
    // up to its first pictures, for the engine's first open_file().
    void prepare_day(const QString &exportFolder);
    // The day folder being read ahead and not asked for yet (empty when none).
    QString prepared_day() const { return m_preparedDayFolder; }

    // Selects and plays a camera of the day: `camera` is a name as listed, a
    // decimal id or "CAMERA <id>". Playing starts at the current read time
    // (the time on screen, kept across camera changes) or at the camera's
    // first recording. Returns false (and logs) for an unknown camera, a
    // camera without recordings or a file that cannot be played.
    Q_INVOKABLE bool set_selected_camera(const QString &camera);
    // Chooses the stream ("0", "1" or "video1") of the selected camera and
    // goes on at the same time.
    Q_INVOKABLE bool set_selected_stream(const QString &streamId);
    // The streams ("0", "1", ...) recorded for a camera id (the selected one
    // when -1).
    Q_INVOKABLE QVariantList get_streams_for_camera(int cameraId = -1) const;

    // Transport. start_button plays (resuming a pause, or reopening the
    // selected camera at the read time after a stop).
    Q_INVOKABLE void start_button();
    Q_INVOKABLE void pause_button();
    Q_INVOKABLE void toggle_play_pause();
    Q_INVOKABLE void stop_button();
    Q_INVOKABLE bool next_frame_button();
    Q_INVOKABLE bool previous_frame_button();
    // -8, -4, -2, -1, 1, 2, 4 or 8 (others are snapped to the nearest).
    Q_INVOKABLE void set_playback_rate(double rate);
    // Moves to "yyyyMMddHHmmss" (the first key frame at or after it). With
    // nothing playing it becomes the read time of the next camera choice;
    // after a stop, the selected camera is reopened there.
    Q_INVOKABLE void set_zustream_reader_read_timestamp(const QString &timestamp);
    // The same with a time of the selected day in milliseconds.
    Q_INVOKABLE void seek_to_ms(qint64 msOfDay);
    // Moves by `seconds` of recording time (5, 10, 30, negative backwards).
    Q_INVOKABLE void jump_seconds(int seconds);
    // Milliseconds of the day of the picture on screen; the read time when
    // none is shown; -1 when there is neither.
    Q_INVOKABLE qint64 get_current_read_time_is_ms() const;

    // Day lists for the panels, as JSON array texts (compact, UTF-8), sorted
    // by time; `cameraId` -1 lists every camera.
    //  alarms:   [{"camera":3,"cameraName":"…","time":"20240305140002","ms":50402000,
    //              "kind":"motion","path":"/…/3_20240305_140002_motion.jpg",
    //              "thumb":"/…/3_20240305_140002_motion-thumb.jpg","name":"3_20240305_140002_motion.jpg"}]
    //            ("thumb" is "" when the thumbnail is missing)
    //  markers:  [{"id":"1","camera":3,"cameraName":"…","time":"20240305140003","ms":…,
    //              "name":"…","description":"…","path":"/…/3_20240305_140003.zutag"}]
    //  previews: [{"camera":3,"cameraName":"…","time":"20240305140000","ms":…,"path":"/…_preview.jpg"}]
    Q_INVOKABLE QString day_alarm_list_string(int cameraId = -1) const;
    Q_INVOKABLE QString day_tags_list_string(int cameraId = -1) const;
    Q_INVOKABLE QString day_preview_list_string(int cameraId = -1) const;
    // The minutes of the day (0..1439, ascending, no repeats) in which the
    // camera (every camera when -1; the selected one when -2) has recordings.
    Q_INVOKABLE QVariantList day_timestamp_list(int cameraId = -2) const;
    // The recorded spans of a camera (same `cameraId` rule), ascending:
    // [{"start": ms, "end": ms, "file": path}] as a list of maps.
    Q_INVOKABLE QVariantList day_recording_ranges(int cameraId = -2) const;

    // Opens the export dialog for the selected camera, stream and the time
    // on screen (see ExportDialogFactory). Returns false when there is no
    // picture time, no camera, or no export dialog yet.
    Q_INVOKABLE bool video_export();
    // Checks the selected day folder against its manifest in a dialog.
    // Returns false when no day is selected.
    Q_INVOKABLE bool check_integrity();

    // The picture on screen with its timestamp box (null when none).
    Q_INVOKABLE QImage snapshot_image() const;
    // Writes it to `path` (PNG unless the suffix says JPG), atomically.
    Q_INVOKABLE bool save_snapshot(const QString &path);
    // Asks for a file name (proposed: the picture's time) and saves the
    // snapshot of the picture on screen at the call there, whatever played
    // meanwhile; returns the path written, empty when nothing was.
    Q_INVOKABLE QString take_snapshot();

    // ---- day lists -------------------------------------------------------

    // The day folders of the export root, or of the export folder `root`.
    QFileInfoList get_days_list() const;
    QFileInfoList get_days_list(const QString &root) const;
    // Rebuilds the day lists from a day folder path (read directly, on the
    // calling thread); the day becomes the selected day.
    void init_day_video_list(const QString &dayFolder);
    // Whether `name` is an export root folder name.
    bool is_talvor_directory(const QString &name) const;
    // The ".zunfo" files of the sub-folders of `folder`.
    QFileInfoList zunfo_with_multiple_directory(const QString &folder) const;

    // Copies of the day lists, sorted by file name (so a camera's next file
    // is its next segment); empty when no day is loaded.
    QFileInfoList day_video_files() const { return m_videoFiles; }
    QFileInfoList day_audio_files() const { return m_audioFiles; }
    QFileInfoList day_alarm_files() const { return m_alarmFiles; }
    QFileInfoList day_tag_files() const { return m_tagFiles; }
    QFileInfoList day_preview_files() const { return m_previewFiles; }
    // The alarm and marker events of the day (every camera).
    QList<EventRecord> day_alarm_events() const;
    QList<EventRecord> day_tag_events() const;
    void clear_day_video_files() { m_videoFiles.clear(); }
    void clear_day_audio_files() { m_audioFiles.clear(); }
    void clear_day_alarm_files() { m_alarmFiles.clear(); }
    void clear_day_timestamp_list() { m_ranges.clear(); }
    // Camera id to name of the day.
    QHash<int, QString> camera_names() const { return m_cameraNames; }
    // The video data files of a camera of the day, in play order.
    QStringList camera_video_files(int cameraId) const;

public slots:
    // End of a raw export, from the dialog's endingsignal(): closes and
    // deletes the dialog and tells "Votre exportation est terminée."
    // ("Information").
    void video_export_end();

signals:
    void exportFolderChanged();
    void selectedDayChanged();
    void camerasChanged();
    void selectedCameraChanged();
    void selectedStreamChanged();
    void playStateChanged();
    void playbackRateChanged();
    void timeChanged();
    void currentFileChanged();
    // The day's lists (alarms, markers, previews, recorded minutes) changed.
    void dayListsChanged();
    // Answer to get_cameras_for_date_async: `date` "yyyy-MM-dd" and the
    // cameras as maps {"id": int, "name": text, "streams": ["0", …],
    // "files": count of video files}, sorted by id.
    void camerasForDateReady(QString date, QVariantList cameras);
    void camerasForDateError(QString date, QString message);
    // A message for the user (title and French text).
    void messageRequested(QString title, QString text);
    // Playing reached the end ("next") or start ("previous") of the day's
    // recordings of the camera.
    void endOfRecordings(QString direction);

public:
    // The result of a day scan (also used by tests).
    using DayScan = ZuDayScan;
    static std::shared_ptr<DayScan> scanDay(const QString &dayFolder) { return ZuDayScan::scan(dayFolder); }

private:
    void applyDayScan(const std::shared_ptr<DayScan> &scan);
    void notify(const QString &title, const QString &text, bool warning);
    bool saveImage(const QImage &image, const QString &path);
    QWidget *dialogParent() const;
    int cameraIdFor(const QString &camera) const;
    // The video files of a camera among a day's, in play order.
    static QStringList videoFilesOf(const QFileInfoList &videos, int cameraId);
    // The stream a camera recording `streams` plays when `stream` was chosen.
    static QString streamFor(const QStringList &streams, const QString &stream);
    QString cameraNameFor(int id) const;
    // Opens the selected camera at "yyyyMMddHHmmss[zzz]" (its first recording
    // when empty).
    bool openSelectedAt(const QString &timestamp, bool play);
    // The time of the picture on screen, else the read time, with its date
    // ("yyyyMMddHHmmss[zzz]"; empty when none).
    QString readStamp() const;
    QString timestampForMs(qint64 msOfDay) const;
    void onEngineTime();

    ZuStreamReadAndControl *m_engine = nullptr;
    QPointer<Canvas> m_canvas;
    bool m_messageBoxes = true;

    QString m_root;
    QDate m_day;
    QString m_dayFolder;
    QHash<int, QString> m_cameraNames;
    QVariantList m_cameraList;
    QFileInfoList m_videoFiles, m_audioFiles, m_alarmFiles, m_thumbFiles, m_tagFiles, m_previewFiles;
    QList<DayScan::Range> m_ranges;
    QHash<int, QStringList> m_streams;
    QList<EventRecord> m_tagEvents;
    QList<EventRecord> m_alarmEvents;

    int m_selectedCameraId = -1;
    QString m_selectedCameraName;
    QString m_selectedStream = QStringLiteral("0");
    qint64 m_readMs = -1;            // read time (ms of the selected day)
    QString m_readStamp;             // the same with its date: past midnight it is not the selected day

    quint64 m_scanGeneration = 0;
    QList<QFuture<void>> m_scans;    // joined by the destructor
    // A day read ahead (prepare_day) for the first request of that day.
    QString m_preparedDayFolder;
    QFuture<std::shared_ptr<DayScan>> m_preparedScan;
    QPointer<ExportDialog> m_exportDialog;
};
