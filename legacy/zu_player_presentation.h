#pragma once
#include "eventrecord.h"

#include <QDate>
#include <QFileInfo>
#include <QFileInfoList>
#include <QHash>
#include <QList>
#include <QModelIndex>
#include <QPointer>
#include <QStringList>
#include <QTime>
#include <QWidget>

class AlarmItemDelegate;
class AlarmModel;
class Canvas;
class IntegrityCheck;
class IntegrityDialog;
class IntegrityRunner;
class PopupExport;
class QAbstractItemModel;
class QComboBox;
class QScrollArea;
class QTableView;
class QTimer;
class QVBoxLayout;
class TagItemDelegate;
class TagsModel;
class TreeProxyModel;
class Ui_ZU_Player_presentation;
class ZuPlayerInferfaceController;
class ZuStreamReadAndControl;
class ZuTag;
class ZuTimeline;
class ZuTimelinethread;
class ZuEventItemDelegate;
class ZuVideoFileSystemModel;

// The older player window built from widgets: a recording tree, 24 hour
// timelines of the chosen camera, the day's alarm and tag lists, a video
// surface with a day slider, play controls, export and integrity commands.
// It drives its own playback engine (owned) and reads the day's files
// through a controller (owned). Start-up opens the QML window instead; this
// one is reached through tools/zuplayer_legacy and the tests.
//
// Everything runs on the GUI thread except the timeline builder, which
// returns its findings when it ends (stale builds are dropped), and the
// integrity check, run by an IntegrityRunner.
class ZU_Player_presentation : public QWidget
{
    Q_OBJECT
public:
    explicit ZU_Player_presentation(QWidget *parent = nullptr);
    ~ZU_Player_presentation() override;

    // The event's time "yyyyMMddHHmmss" (override, else from its file name).
    static QString eventDisplayTime(const EventRecord &record);
    // The rate chosen in the rate box (-8.0 .. 8.0).
    double selected_rate() const;

    // ---- read access for the harness and the tests --------------------
    Ui_ZU_Player_presentation *form() const { return ui; }
    ZuStreamReadAndControl *engine() const { return reader; }
    ZuPlayerInferfaceController *fileController() const { return controller; }
    Canvas *surface() const { return canvas; }
    QComboBox *cameraBox() const { return camera_combobox; }
    int playState() const { return play_state; }
    QString currentFile() const { return current_file; }
    QString currentTimeText() const { return current_time_text; }
    QString cameraIdText() const { return camera_id_text; }
    QString dayDirectory() const { return day_directory; }
    int segmentSeconds() const { return segment_seconds; }
    int segmentMinutes() const { return segment_minutes; }
    QHash<QString, ZuTimeline *> hourTimelines() const { return hour_timelines; }
    QStringList hourLabels() const { return hour_labels; }
    QHash<int, QString> cameraNames() const { return camera_names; }
    QList<ZuTag *> dayTags() const { return day_tags; }
    QList<EventRecord> alarmEvents() const { return alarm_events; }
    QList<EventRecord> tagEvents() const { return tag_events; }
    PopupExport *exportPopup() const;
    IntegrityDialog *integrityDialog() const;
    // True while a timeline build runs.
    bool isBuildingTimelines() const;
    // How many of the constructor's connections were made (all of them).
    int connectionCount() const { return m_connectionCount; }
    int connectionsMade() const { return m_connectionsMade; }
    // The tree's model index of a folder or file path.
    QModelIndex treeIndex(const QString &path) const;

    // The timeline of a time "HH:mm:ss" (null when none).
    ZuTimeline *timeline_for_time(const QString &time) const;
    // The recording of `camera` and `date` ("yyyyMMdd") that covers the
    // alarm time "HHmmss"; empty when none.
    QFileInfo get_video_file_for_alarm(const QString &camera, const QString &date, const QString &time) const;
    // The date-time "yyyyMMddHHmmss" to play for a click at `time`
    // ("HH:mm:ss") on camera `cameraId`, opening the file that holds it;
    // empty when no file is found within `tolerance` seconds.
    QString timeline_get_datetime(const QString &time, int cameraId, int tolerance);
    // Switches to a recording chosen in the tree, on a timeline or in a list.
    void change_camera(const QFileInfo &file);
    void init_day_cameras();
    // Sets the play controls for a state (0 stopped, 1 playing, 2 paused).
    void update_buttons(int state);
    // The camera id of a camera text (a name of the day, "CAMERA <id>"), -1.
    int camera_id_for_text(const QString &text) const;

signals:
    void change_rate(double rate);
    void change_timestamp(QString timestamp);
    void changeRate(double rate);
    void play();
    void pause();

private slots:
    void timeline_thread_finished();
    void integrity_check_done();

public slots:
    void timeline_send_click(QString time, int cameraId);
    void slider_send_click(QString videotime_str, int camera_id);
    void set_all_timelines_background(int cameraId, QFileInfoList files);
    void change_timelines_from_cameraid(int id);
    void change_timelines_from_combobox(int index);
    void change_idstream_from_combobox(int index);
    void change_id_stream(QString id);
    void init_timelines(QFileInfoList VIDEO_filelist, int camera_id, int minute_diff);
    void set_alarm_list_from_cameraid(int id);
    void set_alarm_list_from_index(int index);
    void set_tags_list_from_index(int index);
    void set_tags_list_from_cameraid(int id);
    void setTime(QTime time);
    void snapshot_full_button();
    void snapshot_button();
    void open_button();
    void stop_button();
    void play_button();
    void pause_button();
    void rate_button(double rate);
    void set_next_file();
    void set_previous_file();
    void set_file(QString direction);
    void previous_frame_button_pressed();
    void previous_frame_button();
    void next_frame_button_pressed();
    void next_frame_button();
    void set_frame_button_released();
    void tree_clicked(QModelIndex index);
    void tree_entered(QModelIndex index);
    void combox_index_changed(QString path);
    void set_timestamp(QModelIndex index);
    void tab_changed(int index);
    void export_slot();
    void set_progress(int value);
    void end_displayer();
    void get_export_endingsignal();
    void open_alarm_popup(QModelIndex index);
    void play_pause_button_pressed();
    void updateRate();
    void fadeOut();
    void check_integrity_slot();

private:
    template <typename Sender, typename Signal, typename Receiver, typename Slot>
    void link(Sender *sender, Signal signal, Receiver *receiver, Slot slot);
    // Stops the builder and removes the hour rows (tab 1 builds them again).
    void teardown_timelines();
    void stop_builder();
    // The stream chosen in the stream box ("0"), empty when none.
    QString selected_stream() const;
    // The day's media with a usable seek file, as the click search and the
    // file stepping take them; `logPrefix` names the caller in the log.
    QFileInfoList usable_media(QFileInfoList files, const char *logPrefix) const;
    // Opens `path` in the engine (from any state) and plays it.
    bool open_in_engine(const QString &path, const QString &stream);
    // Loads the tag files of the day folder into day_tags (replacing them).
    void load_day_tags();
    void clear_day_tags();
    // Refills a camera box with "Toutes les caméras" and `names`.
    void fill_list_box(QComboBox *box, const QStringList &names, int current);
    void recompute_segment_seconds();
    void update_stream_box(const QStringList &ids);
    void follow_engine_state(int state);
    // Pauses and repeats `step` every 250 ms until the frame button is let go.
    void start_frame_repeat(void (ZU_Player_presentation::*step)());
    // A list's camera becomes the current one; the day's lists and camera
    // names are read when still missing.
    void list_camera(int id);
    // The camera of a list box's row (-1 for "Toutes les caméras").
    int list_box_camera(QComboBox *box, int index);
    // Puts a new list model and row delegate on a list view, wired to the
    // window, and lets the old ones go.
    void install_list(QTableView *view, QAbstractItemModel *model, ZuEventItemDelegate *delegate, QObject *oldModel,
                      QObject *oldDelegate);

    Ui_ZU_Player_presentation *ui = nullptr;
    int play_state = 0;
    Canvas *canvas = nullptr;
    ZuStreamReadAndControl *reader = nullptr;
    ZuPlayerInferfaceController *controller = nullptr;
    QString current_file = QStringLiteral("/");
    QString day_directory;
    ZuVideoFileSystemModel *file_model = nullptr;
    TreeProxyModel *proxy_model = nullptr;
    QString actual_zuvideo_file;
    QPointer<PopupExport> export_popup;
    QPointer<IntegrityDialog> integrity_dialog;
    IntegrityCheck *integrity_check = nullptr;
    QVBoxLayout *playback_tab_layout = nullptr;
    QWidget *timelines_widget = nullptr;
    QVBoxLayout *timelines_layout = nullptr;
    QComboBox *camera_combobox = nullptr;
    QHash<QString, ZuTimeline *> hour_timelines;
    QStringList hour_labels;
    QString camera_id_text = QStringLiteral("-1");
    QString current_time_text = QStringLiteral("00:00:00:000");
    QDate current_date;
    bool time_known = false;
    int segment_seconds = 60;
    int segment_minutes = -1;
    AlarmModel *alarm_model = nullptr;
    TagsModel *tags_model = nullptr;
    AlarmItemDelegate *alarm_delegate = nullptr;
    TagItemDelegate *tag_delegate = nullptr;
    QList<EventRecord> alarm_events;
    QList<EventRecord> tag_events;
    QHash<int, QString> camera_names;
    QList<ZuTag *> day_tags;
    qint64 timelines_started_at = 0;
    QTimer *frame_repeat_timer = nullptr;

    // Not in the form: the running builder, the scroll area of the hour
    // rows, the integrity run, the builder's length estimate in seconds.
    ZuTimelinethread *m_builder = nullptr;
    QScrollArea *m_timelinesScroll = nullptr;
    QPointer<IntegrityRunner> m_integrityRunner;
    int m_estimatedSeconds = -1;
    quint64 m_buildGeneration = 0;
    bool m_waitCursor = false;
    bool m_sliderFollowsEngine = false;
    int m_connectionCount = 0;
    int m_connectionsMade = 0;
};
