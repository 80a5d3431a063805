#include "popupexport.h"

#include "download_presentation.h"
#include "encodeitem_presentation.h"
#include "export_error.h"
#include "exportfolder.h"
#include "ff_export.h"
#include "rawexport.h"
#include "seekfile.h"
#include "zufile.h"
#include "zulog.h"
#include "zutheme.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleFactory>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QLatin1String kVideoSuffix(".zuvideo");
// Past 23:59:59 as an HHmmss number: the end of a file that runs into the
// next day.
constexpr int kPastTheDay = 240000;
const QString kIcons = QStringLiteral(":/qml/Zuplayer/resources/icons/");
// A seek line longer than this is no entry (binary data or a damaged file).
constexpr qint64 kMaxSeekLine = 4096;

// The export dialog's sheet; the dark and light themes differ only in the
// colours and in the icons' suffix filled in by exportStyle().
const char *const kExportStyle = R"(
QWidget { font-family: "Segoe UI", "Helvetica Neue", sans-serif; font-size: 11pt; background: %1;%2 }
QLabel { color: %3; }
QLineEdit, QComboBox, QTimeEdit { color: %4; background: %5; border: 1px solid %6; border-radius: 4px; padding: 4px 6px; }
QLineEdit:focus, QComboBox:focus, QTimeEdit:focus { border: 1px solid #5e9ed6; }
QTimeEdit::up-button { subcontrol-origin: border; subcontrol-position: top right; width: 20px; padding: 2px; image: url(:/qml/Zuplayer/resources/icons/arrow_up%7.svg); }
QTimeEdit::down-button { subcontrol-origin: border; subcontrol-position: bottom right; width: 20px; padding: 2px; image: url(:/qml/Zuplayer/resources/icons/arrow_down%7.svg); }
QTimeEdit::up-arrow, QTimeEdit::down-arrow { width: 12px; height: 12px; }
QCheckBox { spacing: 6px;%2 }
QCheckBox::indicator { width: 18px; height: 18px; }
QCheckBox::indicator:unchecked { image: url(:/qml/Zuplayer/resources/icons/checkbox_unchecked%7.svg); }
QCheckBox::indicator:checked { image: url(:/qml/Zuplayer/resources/icons/checkbox_checked%7.svg); }
QPushButton { background-color: #5e9ed6; color: white; border: none; padding: 6px 14px; border-radius: 4px; }
QPushButton:hover { background-color: #4b8cc7; }
QPushButton:pressed { background-color: #417bb2; }
QPushButton:disabled { background-color: %8; color: #8c8c8c; }
QLabel#timesHint { color: %9; }
QToolButton { border: none; background: transparent; }
QComboBox QAbstractItemView { color: %4; background: %10; selection-background-color: #5e9ed6; selection-color: white; }
)";

QString exportStyle(bool dark)
{
    const QString sheet = QLatin1String(kExportStyle);
    if (dark) {
        return sheet.arg(QStringLiteral("#2b2b2b"), QStringLiteral(" color: white;"), QStringLiteral("white"),
                         QStringLiteral("white"), QStringLiteral("#3a3a3a"), QStringLiteral("#555"),
                         QStringLiteral("_white"), QStringLiteral("#4a4a4a"), QStringLiteral("#ff8a80"),
                         QStringLiteral("#2b2b2b"));
    }
    return sheet.arg(QStringLiteral("#f7f7f7"), QString(), QStringLiteral("#333"), QStringLiteral("black"),
                     QStringLiteral("#fff"), QStringLiteral("#ccc"), QString(), QStringLiteral("#d4d4d4"),
                     QStringLiteral("#c62828"), QStringLiteral("#ffffff"));
}

// The Fusion style, shared by every export dialog and released with the
// application (a widget does not own the style it is given).
QStyle *fusionStyle()
{
    static QPointer<QStyle> style;
    if (!style) {
        style = QStyleFactory::create(QStringLiteral("Fusion"));
        if (style)
            style->setParent(QCoreApplication::instance());
    }
    return style.data();
}

// Start time of a data file as a number ("090000" is 90000); 0 for a name
// that is no recording name.
int fileStartTime(const QFileInfo &file)
{
    const QTime t = ZuExportFolder::classify(file.fileName()).time;
    return t.isValid() ? t.hour() * 10000 + t.minute() * 100 + t.second() : 0;
}

// -1 for a name that is no recording name.
int fileCameraId(const QFileInfo &file)
{
    return ZuExportFolder::classify(file.fileName()).cameraId;
}

// Recorded times are wall-clock times without a zone. Read as a date and a
// time of day and carried in UTC, which has no daylight-saving gap, so a
// picture recorded in the viewer's gap still has its time.
QDateTime wallClockTime(const QString &text, const QString &timeFormat)
{
    if (text.size() != 11 + timeFormat.size() || text.at(10) != QLatin1Char(' '))
        return QDateTime();
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), timeFormat);
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, Qt::UTC);
}

QString seekPathOf(const QString &dataPath)
{
    // Any case, as the day's file lists are made.
    if (!dataPath.endsWith(kVideoSuffix, Qt::CaseInsensitive))
        return QString();
    return ZuSeekFile::seekPathFor(dataPath);
}

} // namespace

PopupExport::PopupExport(QList<QFileInfo> files, int cameraId, QString streamId, QString dayFolder,
                         QString startTime)
    : ExportDialog(nullptr)
    , m_dayFiles(std::move(files))
    , m_cameraId(cameraId)
    , m_streamId(std::move(streamId))
    , m_dayFolder(std::move(dayFolder))
    , m_startText(std::move(startTime))
{
    init();
}

PopupExport::~PopupExport()
{
    // A raw copy still running goes on without the dialog and releases
    // itself at its end; the application joins it if it quits first. One
    // that has ended but is not released yet goes now.
    if (m_rawWorker && m_rawWorker->isFinished())
        m_rawWorker->deleteLater();
}

void PopupExport::init()
{
    logMessage(QStringLiteral("[INFO] ZuPlayer Popup Export :: Popup Export :: ") + m_startText);
    m_startTime = wallClockTime(m_startText, QStringLiteral("HH:mm:ss:zzz"));
    if (!m_startTime.isValid()) {
        logMessage("[INFO] ZuPlayer Popup Export :: Timestamp not valid. Try another format");
        m_startTime = wallClockTime(m_startText, QStringLiteral("HH:mm:ss.zzz"));
    }
    if (!m_startTime.isValid()) {
        logMessage("[INFO] ZuPlayer Popup Export :: Timestamp not valid.");
        const QDateTime now = QDateTime::currentDateTime();
        m_startTime = QDateTime(now.date(), now.time(), Qt::UTC);
    } else {
        logMessage(QStringLiteral("[INFO] ZuPlayer Popup Export :: export timestamp :: ") + m_startText);
    }

    QSettings settings(m_settingsOrganisation, m_settingsApplication);
    m_lastExportFolder = settings.value(QLatin1String(settingsKey())).toString();

    setLayout_();
}

void PopupExport::applyTheme()
{
    m_dark = ZuTheme::prefersDark();
    if (QStyle *fusion = fusionStyle())
        setStyle(fusion);
    if (!m_dark) {
        setStyleSheet(exportStyle(false));
        return;
    }
    QPalette palette = this->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Window, QColor(QStringLiteral("#2b2b2b")));
        palette.setColor(group, QPalette::Base, QColor(QStringLiteral("#3a3a3a")));
        palette.setColor(group, QPalette::Text, Qt::white);
        palette.setColor(group, QPalette::Button, QColor(QStringLiteral("#444")));
        palette.setColor(group, QPalette::ButtonText, Qt::white);
        palette.setColor(group, QPalette::Highlight, QColor(QStringLiteral("#5e9ed6")));
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    setPalette(palette);
    setStyleSheet(exportStyle(true));
}

void PopupExport::setLayout_()
{
    logMessage("[INFO] ZuPlayer Popup Export :: Set Layout");
    logMessage(QStringLiteral("[INFO] ZuPlayer Popup Export :: Selected camera ") + QString::number(m_cameraId));
    applyTheme();

    auto *mainLayout = new QVBoxLayout(this);
    mainLayout->setSpacing(10);
    mainLayout->setContentsMargins(24, 8, 24, 16);

    auto *title = new QLabel(tr("Exportation d'une séquence vidéo"), this);
    title->setObjectName(QStringLiteral("titleLabel"));
    title->setMinimumHeight(24);
    QFont titleFont = title->font();
    titleFont.setPointSize(14);
    titleFont.setWeight(QFont::Bold);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    mainLayout->addWidget(title);

    auto *formWidget = new QWidget(this);
    auto *form = new QFormLayout(formWidget);
    form->setLabelAlignment(Qt::AlignRight);
    form->setFormAlignment(Qt::AlignLeft | Qt::AlignTop);
    form->setHorizontalSpacing(14);
    form->setVerticalSpacing(10);
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    const QSizePolicy fieldPolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    m_cameraCombo = new QComboBox(formWidget);
    m_cameraCombo->setObjectName(QStringLiteral("cameraCombo"));
    m_cameraCombo->setSizePolicy(fieldPolicy);
    if (!m_dayFiles.isEmpty()) {
        const QStringList names = camera_list(m_dayFiles);
        for (const QString &name : names) {
            int id = -1;
            bool found = false;
            for (auto it = m_cameraNames.cbegin(); it != m_cameraNames.cend() && !found; ++it) {
                if (it.value() == name) {
                    id = it.key();
                    found = true;
                }
            }
            if (!found && name.startsWith(QLatin1String("CAMERA ")))
                id = name.mid(7).toInt();
            m_cameraCombo->addItem(name, id);
        }
        const int current = m_cameraCombo->findData(m_cameraId, Qt::UserRole);
        if (current >= 0)
            m_cameraCombo->setCurrentIndex(current);
    }
    form->addRow(tr("Caméra"), m_cameraCombo);

    m_dateLabel = new QLabel(m_startTime.date().toString(QStringLiteral("yyyy-MM-dd")), formWidget);
    m_dateLabel->setObjectName(QStringLiteral("dateLabel"));
    form->addRow(tr("Date"), m_dateLabel);

    m_beginEdit = new QTimeEdit(m_startTime.time(), formWidget);
    m_beginEdit->setObjectName(QStringLiteral("beginEdit"));
    m_beginEdit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    m_beginEdit->setSizePolicy(fieldPolicy);
    form->addRow(tr("Début"), m_beginEdit);

    m_endEdit = new QTimeEdit(m_startTime.time().addSecs(60), formWidget);
    m_endEdit->setObjectName(QStringLiteral("endEdit"));
    m_endEdit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    m_endEdit->setSizePolicy(fieldPolicy);
    form->addRow(tr("Fin"), m_endEdit);

    auto *fileRow = new QWidget(formWidget);
    auto *fileLayout = new QHBoxLayout(fileRow);
    fileLayout->setContentsMargins(0, 0, 0, 0);
    m_fileNameEdit = new QLineEdit(fileRow);
    m_fileNameEdit->setObjectName(QStringLiteral("fileNameEdit"));
    m_fileNameEdit->setSizePolicy(QSizePolicy::Expanding, m_fileNameEdit->sizePolicy().verticalPolicy());
    m_folderButton = new QToolButton(fileRow);
    m_folderButton->setObjectName(QStringLiteral("folderButton"));
    m_folderButton->setIcon(QIcon(kIcons + (m_dark ? QStringLiteral("folder_white.svg") : QStringLiteral("folder.svg"))));
    m_folderButton->setIconSize(QSize(20, 20));
    m_folderButton->setStyleSheet(QStringLiteral("background-color: transparent; border: none;"));
    m_folderButton->setToolTip(tr("Choisir un répertoire"));
    m_folderButton->setAutoRaise(true);
    m_folderButton->setCursor(Qt::PointingHandCursor);
    fileLayout->addWidget(m_fileNameEdit);
    fileLayout->addWidget(m_folderButton);
    form->addRow(tr("Nom du fichier"), fileRow);

    m_formatCombo = new QComboBox(formWidget);
    m_formatCombo->setObjectName(QStringLiteral("formatCombo"));
    m_formatCombo->setSizePolicy(fieldPolicy);
    m_formatCombo->addItems({tr("H.264 (.mp4)"), tr("H.265 (.mp4)"), tr("MJPEG (.avi)"), tr("VP9 (.webm)"),
                             tr("AV1 (.mkv)"), tr("RAW (talvor format)")});
    m_formatCombo->setCurrentIndex(0);
    form->addRow(tr("Format vidéo"), m_formatCombo);

    m_captionCheck = new QCheckBox(tr("Incruster date et heure"), formWidget);
    m_captionCheck->setObjectName(QStringLiteral("captionCheck"));
    m_captionCheck->setChecked(true);
    form->addRow(m_captionCheck);

    m_captionSizeCombo = new QComboBox(formWidget);
    m_captionSizeCombo->setObjectName(QStringLiteral("captionSizeCombo"));
    m_captionSizeCombo->setSizePolicy(fieldPolicy);
    m_captionSizeCombo->addItems({tr("Petit"), tr("Moyen"), tr("Grand"), tr("XL")});
    m_captionSizeCombo->setCurrentIndex(1);
    form->addRow(tr("Taille de l'incrustation"), m_captionSizeCombo);

    auto *buttonRow = new QWidget(formWidget);
    auto *buttonLayout = new QHBoxLayout(buttonRow);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    buttonLayout->addStretch();
    m_exportButton = new QPushButton(tr("Exporter"), buttonRow);
    m_exportButton->setObjectName(QStringLiteral("exportButton"));
    m_exportButton->setFixedWidth(120);
    buttonLayout->addWidget(m_exportButton);
    // Says why "Exporter" is off while the times are refused; its line stays
    // (empty) otherwise, so that the dialog does not jump.
    m_timesHint = new QLabel(formWidget);
    m_timesHint->setObjectName(QStringLiteral("timesHint"));
    m_timesHint->setTextFormat(Qt::PlainText);
    m_timesHint->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_timesHint->setMinimumHeight(m_timesHint->fontMetrics().height());
    form->addRow(m_timesHint);
    form->addRow(QString(), buttonRow);

    mainLayout->addWidget(formWidget);

    connect(m_folderButton, &QToolButton::clicked, this, &PopupExport::change_export_path);
    connect(m_exportButton, &QPushButton::clicked, this, &PopupExport::doExport);
    connect(m_beginEdit, &QTimeEdit::timeChanged, this, &PopupExport::startTimeChanged);
    connect(m_cameraCombo, &QComboBox::currentTextChanged, this, &PopupExport::updateExportFilename);
    connect(m_beginEdit, &QTimeEdit::timeChanged, this, &PopupExport::updateExportFilename);
    connect(m_formatCombo, &QComboBox::currentIndexChanged, this, &PopupExport::updateExportFilename);
    connect(m_beginEdit, &QTimeEdit::timeChanged, this, &PopupExport::export_enabled_check);
    connect(m_endEdit, &QTimeEdit::timeChanged, this, &PopupExport::export_enabled_check);

    export_enabled_check();
    updateExportFilename();
    adjustPopupWidthToFilename();
    adjustSize();
}

// ---- file names -------------------------------------------------------------

QString PopupExport::file_name_part(const QString &cameraName)
{
    QString part;
    part.reserve(cameraName.size());
    for (const QChar c : cameraName) {
        if (c.isSpace())
            continue;
        // A camera name comes from the export folder's camera lists; a
        // separator in it must not move the file into another folder.
        static const QString refused = QStringLiteral("/\\:*?\"<>|");
        part.append(refused.contains(c) || c.category() == QChar::Other_Control ? QLatin1Char('_') : c);
    }
    if (part == QLatin1String(".") || part == QLatin1String(".."))
        part.fill(QLatin1Char('_'));
    return part;
}

QString PopupExport::default_file_name(const QString &folder) const
{
    const ExportFormat row = export_format_for_label(m_formatCombo->currentText());
    return QStringLiteral("%1/%2_%3_%4_%5%6")
        .arg(folder, file_name_part(m_cameraCombo->currentText()), m_dateLabel->text(),
             m_beginEdit->time().toString(QStringLiteral("HHmmss")), row.key, row.extension);
}

QString PopupExport::default_folder() const
{
    if (!m_lastExportFolder.isEmpty())
        return m_lastExportFolder;
    const QStringList documents = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && !documents.constFirst().isEmpty())
        return documents.constFirst();
    return QDir::homePath();
}

QString PopupExport::normalize_export_filename(const QString &path) const
{
    const ExportFormat row = export_format_for_label(m_formatCombo->currentText());
    const QFileInfo info(path);
    QString folder = info.absolutePath();
    if (folder.isEmpty())
        folder = QStringLiteral(".");
    QString base = info.completeBaseName();
    for (const ExportFormat &known : exportFormats) {
        const QString suffix = QLatin1Char('_') + known.key;
        if (base.endsWith(suffix, Qt::CaseInsensitive)) {
            base.chop(suffix.size());
            break;
        }
    }
    return folder + QLatin1Char('/') + base + QLatin1Char('_') + row.key + row.extension;
}

void PopupExport::updateExportFilename()
{
    if (!m_fileNameEdit)
        return;
    m_fileNameEdit->setText(default_file_name(default_folder()));
}

void PopupExport::startTimeChanged(QTime)
{
    updateExportFilename();
}

void PopupExport::change_export_path()
{
    const QString chosen = QFileDialog::getSaveFileName(this, tr("Choix du chemin d'export"),
                                                        default_file_name(default_folder()));
    if (chosen.isEmpty())
        return;
    apply_chosen_path(chosen);
}

void PopupExport::apply_chosen_path(const QString &path)
{
    const QString normalized = normalize_export_filename(path);
    m_fileNameEdit->setText(normalized);
    const QString folder = QFileInfo(normalized).absolutePath();
    if (!folder.isEmpty()) {
        m_lastExportFolder = folder;
        QSettings settings(m_settingsOrganisation, m_settingsApplication);
        settings.setValue(QLatin1String(settingsKey()), folder);
    }
    adjustPopupWidthToFilename();
}

void PopupExport::adjustPopupWidthToFilename()
{
    const QFontMetrics metrics(m_fileNameEdit->font());
    const int width = qBound(420, metrics.horizontalAdvance(m_fileNameEdit->text()) + 240, 2280);
    setMinimumWidth(width);
    resize(width, height());
}

void PopupExport::export_enabled_check()
{
    const QTime begin = m_beginEdit->time();
    const QTime end = m_endEdit->time();
    QString why;
    if (!begin.isValid())
        why = export_error::errorMessage(-1);
    else if (!end.isValid())
        why = export_error::errorMessage(-2);
    else if (begin.msecsTo(end) <= 0)
        why = tr("Période invalide : la fin doit être après le début.");
    m_exportButton->setEnabled(why.isEmpty());
    m_exportButton->setToolTip(why);
    m_timesHint->setText(why);
}

int PopupExport::check_export_times(const QTime &begin, const QTime &end)
{
    if (!begin.isValid()) {
        logMessage("[ERROR] ZuPlayer Popup Export :: begin export time INVALID.");
        return -1;
    }
    if (!end.isValid()) {
        logMessage("[ERROR] ZuPlayer Popup Export :: end export time INVALID.");
        return -2;
    }
    if (begin.msecsTo(end) <= 0) {
        logMessage("[ERROR] ZuPlayer Popup Export :: begin time after end time");
        return -13;
    }
    return 0;
}

// ---- cameras and files ------------------------------------------------------

QHash<int, QString> PopupExport::day_camera_names(const QString &dayFolder)
{
    return ZuFile::day_camera_names(dayFolder);
}

QStringList PopupExport::camera_list(QList<QFileInfo> files)
{
    m_cameraNames = day_camera_names(m_dayFolder);
    // The cameras are named as the main window names them: "CAMERA <id>"
    // without a listed name, and the id appended to a name that two cameras
    // share, so that each camera is an item of its own and the export is
    // always of the camera chosen.
    for (const QFileInfo &file : files) {
        const int id = fileCameraId(file);
        if (id >= 0 && !m_cameraNames.contains(id))
            m_cameraNames.insert(id, QStringLiteral("CAMERA %1").arg(id));
    }
    ZuFile::distinguish_camera_names(&m_cameraNames);
    QStringList names;
    for (const QFileInfo &file : files) {
        const int id = fileCameraId(file);
        if (id < 0)
            continue;
        const QString name = m_cameraNames.value(id);
        if (!names.contains(name))
            names.append(name);
    }
    return names;
}

int PopupExport::resolveCameraId() const
{
    int id = m_cameraCombo->currentData(Qt::UserRole).toInt();
    const QString text = m_cameraCombo->currentText();
    if (id <= 0 && !m_cameraNames.isEmpty()) {
        id = -1;
        for (auto it = m_cameraNames.cbegin(); it != m_cameraNames.cend(); ++it) {
            if (it.value() == text) {
                id = it.key();
                break;
            }
        }
    }
    if (id == -1 && text.contains(QLatin1String("CAMERA"))) {
        QString rest = text;
        rest.remove(QStringLiteral("CAMERA "));
        id = rest.toInt();
    }
    return id;
}

void PopupExport::collectCameraFiles()
{
    m_cameraFiles.clear();
    for (const QFileInfo &file : qAsConst(m_dayFiles)) {
        const int id = fileCameraId(file);
        if (m_cameraId == -1)
            m_cameraId = id;
        if (id == m_cameraId)
            m_cameraFiles.append(file);
    }
}

QString PopupExport::last_seek_timestamp(const QString &path)
{
    // A FIFO or device under a seek file's name would block the GUI thread.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        logMessage(QStringLiteral("Decoder :: Error Opening Seek File ") + path);
        return QString();
    }
    QString last;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxSeekLine);
        if (line.isEmpty())
            break;
        if (!line.endsWith('\n') && !file.atEnd()) {
            // Overlong: no entry. Skip to the end of that line.
            while (!file.atEnd()) {
                const QByteArray rest = file.readLine(kMaxSeekLine);
                if (rest.isEmpty() || rest.endsWith('\n'))
                    break;
            }
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon > 0)
            last = QString::fromUtf8(line.constData(), colon).trimmed();
    }
    return last;
}

QString PopupExport::find_file_for_time(const QString &time, bool begin) const
{
    if (m_cameraFiles.isEmpty())
        return QString();
    // The time of day of a file's last entry, read without a zone (see
    // wallClockTime); 0 when it cannot be read. A file that runs past the
    // end of the day its name gives holds the rest of that day: its end is
    // then past any time of the day (a last entry at 00:00:09 of the next
    // day is no end at 9 seconds past midnight).
    const auto lastEntrySecond = [](const QFileInfo &file) {
        const QString seek = seekPathOf(file.filePath());
        const QString lastEntry = seek.isEmpty() ? QString() : last_seek_timestamp(seek);
        const QDate date = lastEntry.size() == 17 ? QDate::fromString(lastEntry.left(8), QStringLiteral("yyyyMMdd"))
                                                  : QDate();
        if (!date.isValid() || !QTime::fromString(lastEntry.mid(8), QStringLiteral("HHmmsszzz")).isValid())
            return 0;
        const QDate fileDate = ZuExportFolder::classify(file.fileName()).date;
        if (fileDate.isValid() && date > fileDate)
            return kPastTheDay;
        return lastEntry.mid(8, 6).toInt();
    };
    const int t = time.toInt();
    const int count = m_cameraFiles.size();
    // File names and the begin time carry whole seconds: the file named
    // after second N may start anywhere within it, and the file before it
    // then holds frames of second N too. The begin lookup takes that earlier
    // file when it does; the reader leaves out its frames before the begin.
    for (int i = 0; i + 1 < count; ++i) {
        const int start = fileStartTime(m_cameraFiles.at(i));
        const int next = fileStartTime(m_cameraFiles.at(i + 1));
        if (start <= t && t < next)
            return m_cameraFiles.at(i).completeBaseName();
        if (begin && start <= t && t == next && lastEntrySecond(m_cameraFiles.at(i)) >= t)
            return m_cameraFiles.at(i).completeBaseName();
    }
    const QFileInfo &last = m_cameraFiles.constLast();
    const int start = fileStartTime(last);
    // The last entry's second holds frames up to its end.
    if ((start <= t && t <= lastEntrySecond(last)) || !begin)
        return last.completeBaseName();
    return QString();
}

int PopupExport::select_range(QList<QFileInfo> *range)
{
    const QString begin = m_beginEdit->time().toString(QStringLiteral("HHmmss"));
    const QString end = m_endEdit->time().toString(QStringLiteral("HHmmss"));

    m_cameraId = resolveCameraId();
    collectCameraFiles();

    const QString beginFile = find_file_for_time(begin, true);
    if (beginFile.isEmpty()) {
        logMessage("[INFO] ZuPlayer Popup Export ::begin file empty");
        return -1;
    }
    const QString endFile = find_file_for_time(end, false);
    if (endFile.isEmpty()) {
        logMessage("[INFO] ZuPlayer Popup Export ::end file empty");
        return -2;
    }

    range->clear();
    bool inRange = false;
    for (const QFileInfo &file : qAsConst(m_cameraFiles)) {
        const QString name = file.completeBaseName();
        if (name == beginFile)
            inRange = true;
        if (inRange)
            range->append(file);
        if (name == endFile)
            inRange = false;
    }
    return 0;
}

// ---- the export -------------------------------------------------------------

void PopupExport::doExport()
{
    if (!m_errorReporter) {
        m_errorReporter = new export_error(this);
        m_errorReporter->setParent(this);
        connect(this, &PopupExport::error, m_errorReporter, &export_error::error_parse);
    }
    if (!create_exporter())
        logMessage("[INFO] ZuPlayer Popup Export ::Export error ");
}

bool PopupExport::create_exporter()
{
    logMessage("[INFO] ZuPlayer Popup Export :: do export");
    const QString output = normalize_export_filename(m_fileNameEdit->text());
    m_fileNameEdit->setText(output);

    const int timeCode = check_export_times(m_beginEdit->time(), m_endEdit->time());
    if (timeCode != 0) {
        Q_EMIT error(timeCode);
        return false;
    }
    const QString begin = m_beginEdit->time().toString(QStringLiteral("HHmmss"));
    const QString end = m_endEdit->time().toString(QStringLiteral("HHmmss"));

    QList<QFileInfo> range;
    const int rangeCode = select_range(&range);
    if (rangeCode != 0) {
        Q_EMIT error(rangeCode);
        return false;
    }

    logMessage("[INFO] ZuPlayer Popup Export ::Create Exporter");
    const ExportFormat row = export_format_for_label(m_formatCombo->currentText());
    const QString folder = QFileInfo(output).absolutePath();
    // Nothing is ever written into the evidence being read: its day would
    // no longer match its manifest.
    if (RawExport::target_inside_source(folder, range)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Popup Export :: target inside the export folder being read :: ")
                   + folder);
        QMessageBox::warning(this, tr("Erreur de paramétrage"),
                             tr("Le dossier de destination se trouve dans le dossier d'exportation lu. "
                                "Choisissez un dossier en dehors de celui-ci."));
        return false;
    }
    const bool raw = row.encoder == QLatin1String("raw");
    // A raw copy keeps the export folder's name: saved beside the export
    // folder, each copy would land on its own original.
    if (raw && RawExport::target_holds_source(folder, range)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Popup Export :: target holds the export folder being read :: ")
                   + folder);
        QMessageBox::warning(this, tr("Erreur de paramétrage"),
                             tr("Le dossier de destination contient le dossier d'exportation lu : la copie "
                                "prendrait la place de l'original. Choisissez un autre dossier."));
        return false;
    }
    if (!QDir().mkpath(folder))
        logMessage(QStringLiteral("[ERROR] ZuPlayer Popup Export :: failed to create ") + folder);

    // The finished video takes the output's name whatever stands there: a
    // file of that name (an earlier export of the same start) goes only when
    // the user agrees. Raw copies never replace anything.
    if (!raw && !confirmReplace(output))
        return false;
    const bool started = raw ? startRawExport(output, range) : startEncodedExport(output, row, range, begin, end);
    if (!started)
        return false;
    close();
    return true;
}

bool PopupExport::confirmReplace(const QString &output)
{
    const QFileInfo existing(output);
    if (!existing.exists() && !existing.isSymLink())
        return true;
    logMessage(QStringLiteral("[INFO] ZuPlayer Popup Export :: output file exists ") + output);
    QMessageBox box(this);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(tr("Fichier existant"));
    box.setText(tr("Le fichier %1 existe déjà.").arg(QDir::toNativeSeparators(output)));
    box.setInformativeText(tr("Souhaitez-vous le remplacer ?"));
    QPushButton *no = box.addButton(QStringLiteral("Non"), QMessageBox::NoRole);
    QPushButton *yes = box.addButton(QStringLiteral("Oui"), QMessageBox::YesRole);
    box.setDefaultButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

bool PopupExport::startRawExport(const QString &output, const QList<QFileInfo> &range)
{
    logMessage("[INFO] ZuPlayer Popup Export :: raw exportation");
    m_exportTarget = QFileInfo(output).absolutePath();
    m_rawFailures = 0;
    auto *worker = new RawExport();
    // Owned by the application until it releases itself, so that quitting
    // in the middle of a copy stops and joins the thread.
    worker->setParent(QCoreApplication::instance());
    worker->set_output(QFileInfo(output));
    worker->set_files(range);
    connect(worker, &RawExport::valueChanged, this, &PopupExport::getvalueChanged);
    connect(worker, &RawExport::error, this, &PopupExport::getRawError);
    connect(worker, &RawExport::endingsignal, this, &PopupExport::getendingsignal);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    m_rawWorker = worker;
    worker->start();
    return true;
}

bool PopupExport::startEncodedExport(const QString &output, const ExportFormat &row,
                                     const QList<QFileInfo> &range, const QString &begin, const QString &end)
{
    m_exportTarget = output;
    const bool caption = m_captionCheck->isChecked();
    const QString sizeText = m_captionSizeCombo->currentText();
    QString captionSize;
    if (sizeText.contains(QLatin1String("Petit")))
        captionSize = QStringLiteral("small");
    else if (sizeText.contains(QLatin1String("Moyen")))
        captionSize = QStringLiteral("normal");
    else if (sizeText.contains(QLatin1String("Grand")))
        captionSize = QStringLiteral("large");
    else if (sizeText.contains(QLatin1String("XL")))
        captionSize = QStringLiteral("extralarge");

    auto *exporter = new ff_export();
    exporter->set_files(range);
    exporter->set_begin_time(begin);
    exporter->set_end_time(end);
    exporter->set_camera_names(m_cameraNames);
    exporter->set_stream_id(m_streamId);
    exporter->configure(output, row.encoder, 2048, caption, captionSize);
    m_encoder = exporter;

    auto *item = new EncodeItem_Presentation(output);
    item->setType(QStringLiteral("zuplayer"));
    item->set_exporter(exporter);

    auto *window = new Download_presentation();
    window->add_item(item);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(tr("Téléchargement"));
    window->resize(1080, 768);
    window->show();
    window->raise();
    window->activateWindow();
    // Nobody deletes a dialog that only hid itself after an encoded export;
    // it goes with the job window that shows the export's progress.
    connect(window, &QObject::destroyed, this, &QObject::deleteLater);
    return true;
}

RawExport *PopupExport::raw_worker() const
{
    return m_rawWorker.data();
}

void PopupExport::getRawError(int failedCopies)
{
    m_rawFailures = failedCopies;
    logMessage(QStringLiteral("[ERROR] ZuPlayer Popup Export :: raw export :: %1 file(s) not copied").arg(failedCopies));
}

void PopupExport::getvalueChanged(int value)
{
    Q_EMIT valueChanged(value);
}

void PopupExport::getendingsignal()
{
    Q_EMIT endingsignal();
}

void PopupExport::closeall()
{
    logMessage("[INFO] ZuPlayer Popup Export :: closeall");
}
