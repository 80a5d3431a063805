#pragma once
#include "exportdialog.h"
#include "exportformat.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTime>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimeEdit;
class QToolButton;
class RawExport;
class export_error;
class ff_export;

// The export dialog: one camera of the open day, a begin and an end time,
// an output file and a format. "Exporter" checks the input, picks the
// camera's files that cover the range and starts either a raw copy
// (RawExport, whose progress and end the dialog forwards) or an encoded
// export in a new job window. The dialog hides itself once an export has
// started; after an encoded export it deletes itself when that job window
// is gone, after a raw export its creator deletes it on endingsignal().
class PopupExport : public ExportDialog
{
    Q_OBJECT
public:
    // `files`: the day's video data files (all cameras, each camera's files
    // in ascending start time); `cameraId`: the camera to propose;
    // `streamId`: decimal stream number; `dayFolder`: export root, "/", day
    // folder name; `startTime`: the picture's time,
    // "yyyy-MM-dd HH:mm:ss.zzz" (or with a colon before the milliseconds).
    PopupExport(QList<QFileInfo> files, int cameraId, QString streamId, QString dayFolder, QString startTime);
    ~PopupExport() override;

    // The export action behind "Exporter"; false (after error(code)) when
    // the input does not allow an export, or (without a code) when the user
    // keeps an existing file of the output's name or the output lies inside
    // the export folder being read (refused with a message box).
    bool create_exporter();
    void closeall() override;
    // Set at export: the output path (encoded) or its folder (raw).
    QString get_export_path() const { return m_exportTarget; }

    static ExportFormat export_format_for_label(const QString &text) { return ::export_format_for_label(text); }
    // "<folder>/<camera>_<yyyy-MM-dd>_<HHmmss>_<KEY><ext>" from the dialog's
    // current choices.
    QString default_file_name(const QString &folder) const;
    // The last export folder, else the Documents folder, else home.
    QString default_folder() const;
    // `path` with the current format's key and extension (replacing a key
    // the name already ends with).
    QString normalize_export_filename(const QString &path) const;
    // A camera name as it may stand in a file name: no blanks, no path
    // separators or characters that file systems refuse.
    static QString file_name_part(const QString &cameraName);
    // 0 when the times allow an export; otherwise the error code (-1 begin
    // invalid, -2 end invalid, -13 begin not strictly before end), logged.
    static int check_export_times(const QTime &begin, const QTime &end);

    // Camera names for the combo, in order of first appearance; refills the
    // camera names from the day folder's camera lists, named as the main
    // window names them (one name per camera).
    QStringList camera_list(QList<QFileInfo> files);
    // Complete base name of the camera file holding `time` ("HHmmss").
    QString find_file_for_time(const QString &time, bool begin) const;
    // Time text of the last entry of a seek file, empty when none.
    static QString last_seek_timestamp(const QString &path);
    // Camera id to name of a day folder, from the camera lists of its
    // segment folders (see ZuFile::day_camera_names).
    static QHash<int, QString> day_camera_names(const QString &dayFolder);
    // Resolves the camera, collects its files and the files of the current
    // range into `range`; 0, or -1 (no begin file) / -2 (no end file).
    int select_range(QList<QFileInfo> *range);

    // Remembers a path the user chose: normalised into the file name edit,
    // its folder stored as the last export folder.
    void apply_chosen_path(const QString &path);

    int camera_id() const { return m_cameraId; }
    QString stream_id() const { return m_streamId; }
    QHash<int, QString> camera_names() const { return m_cameraNames; }
    QList<QFileInfo> camera_files() const { return m_cameraFiles; }
    // The picture's wall-clock date and time, in UTC so that no zone's
    // daylight-saving gap applies (compare fields, or with a UTC value).
    QDateTime start_time() const { return m_startTime; }
    QString last_export_folder() const { return m_lastExportFolder; }
    bool dark_theme() const { return m_dark; }
    // The raw export running for this dialog, null when none runs.
    RawExport *raw_worker() const;
    int raw_failures() const override { return m_rawFailures; }

    QComboBox *camera_combo() const { return m_cameraCombo; }
    QLabel *date_label() const { return m_dateLabel; }
    QTimeEdit *begin_edit() const { return m_beginEdit; }
    QTimeEdit *end_edit() const { return m_endEdit; }
    QLineEdit *file_name_edit() const { return m_fileNameEdit; }
    QComboBox *format_combo() const { return m_formatCombo; }
    QCheckBox *caption_check() const { return m_captionCheck; }
    QComboBox *caption_size_combo() const { return m_captionSizeCombo; }
    QPushButton *export_button() const { return m_exportButton; }
    // Above the export button: why it is off, empty while it is on.
    QLabel *times_hint() const { return m_timesHint; }
    QToolButton *folder_button() const { return m_folderButton; }

    static const char *settingsOrganisation() { return "Talvor"; }
    static const char *settingsApplication() { return "ZuPlayer"; }
    static const char *settingsKey() { return "export/lastDir"; }

Q_SIGNALS:
    void valueChanged(int value);
    void exportstart();
    void error(int code);

public Q_SLOTS:
    void doExport();
    void getvalueChanged(int value);
    void getendingsignal();
    void change_export_path();
    void startTimeChanged(QTime time);
    void updateExportFilename();
    void adjustPopupWidthToFilename();
    void export_enabled_check();

private Q_SLOTS:
    void getRawError(int failedCopies);

private:
    void init();
    void setLayout_();
    void applyTheme();
    int resolveCameraId() const;
    void collectCameraFiles();
    // True when `output` is free, or holds a file the user agrees to replace.
    bool confirmReplace(const QString &output);
    bool startRawExport(const QString &output, const QList<QFileInfo> &range);
    bool startEncodedExport(const QString &output, const ExportFormat &row, const QList<QFileInfo> &range,
                            const QString &begin, const QString &end);

    QList<QFileInfo> m_dayFiles;
    int m_cameraId = -1;
    QString m_streamId;
    QString m_dayFolder;
    QDateTime m_startTime;
    QString m_startText;

    QComboBox *m_cameraCombo = nullptr;
    QLabel *m_dateLabel = nullptr;
    QTimeEdit *m_beginEdit = nullptr;
    QTimeEdit *m_endEdit = nullptr;
    QLineEdit *m_fileNameEdit = nullptr;
    QToolButton *m_folderButton = nullptr;
    QComboBox *m_formatCombo = nullptr;
    QCheckBox *m_captionCheck = nullptr;
    QComboBox *m_captionSizeCombo = nullptr;
    QPushButton *m_exportButton = nullptr;
    QLabel *m_timesHint = nullptr;

    QString m_exportTarget;
    QList<QFileInfo> m_cameraFiles;
    QHash<int, QString> m_cameraNames;
    QString m_lastExportFolder;
    QString m_settingsOrganisation = QStringLiteral("Talvor");
    QString m_settingsApplication = QStringLiteral("ZuPlayer");

    // The encoded export is handed to its job item, which owns it from then
    // on; the pointer only follows it.
    QPointer<ff_export> m_encoder;
    QPointer<RawExport> m_rawWorker;
    export_error *m_errorReporter = nullptr;
    int m_rawFailures = 0;
    bool m_dark = false;
};
