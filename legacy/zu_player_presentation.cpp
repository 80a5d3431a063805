// The window's form, construction, day cameras, hour rows, camera choice,
// play controls and commands.
#include "zu_player_presentation.h"

#include "elidingcombobox.h"
#include "exportfolder.h"
#include "zu_player_presentation_p.h"

#include "alarmmodel.h"
#include "alarmviewer.h"
#include "canvas.h"
#include "http_singleton.h"
#include "integritycheck.h"
#include "integritydialog.h"
#include "integrityrunner.h"
#include "legacyresources.h"
#include "popupexport.h"
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
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QGraphicsOpacityEffect>
#include <QHeaderView>
#include <QMessageBox>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>

#include <algorithm>

using namespace ZuLegacyWindow;

namespace {

// The form names Public Sans, which Debian does not ship.
void fontFallback()
{
    static const bool done = [] {
        if (!QFontDatabase::families().contains(QStringLiteral("Public Sans")))
            QFont::insertSubstitution(QStringLiteral("Public Sans"), QStringLiteral("DejaVu Sans"));
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace

template <typename Sender, typename Signal, typename Receiver, typename Slot>
void ZU_Player_presentation::link(Sender *sender, Signal signal, Receiver *receiver, Slot slot)
{
    ++m_connectionCount;
    if (connect(sender, signal, receiver, slot))
        ++m_connectionsMade;
}

ZU_Player_presentation::ZU_Player_presentation(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_ZU_Player_presentation)
{
    ZuLegacy::initResources();
    fontFallback();
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                   | Qt::WindowCloseButtonHint);

    setLevelValue(1);
    logMessage("[INFO] Zuplayer Display :: construct");

    canvas = new Canvas(this);
    canvas->setStreamStart(false);
    canvas->setDigitalZoomEnabled(true);
    canvas->set_player_fed();
    canvas->setDoubleClickFullscreen(false);

    reader = new ZuStreamReadAndControl();
    controller = new ZuPlayerInferfaceController();
    controller->set_message_boxes_enabled(false);
    current_file = QStringLiteral("/");
    day_directory.clear();
    segment_seconds = 60;
    ui->encodeprogress->hide();

    link(this, &ZU_Player_presentation::change_timestamp, reader, &ZuStreamReadAndControl::set_read_timestamp);
    link(this, &ZU_Player_presentation::change_rate, reader, &ZuStreamReadAndControl::change_rate);
    link(this, &ZU_Player_presentation::changeRate, this, &ZU_Player_presentation::rate_button);
    // The engine moves the handle after each frame; the minute the handle
    // then reports is not a time the user chose, and shown it would replace
    // the frame's own time (14:01:59.900 read "14:01:00:000").
    link(reader, &ZuStreamReadAndControl::slidervalue, this, [this](int value, const QString &timestamp) {
        const QScopedValueRollback<bool> following(m_sliderFollowsEngine, true);
        ui->slider->setValue(value, timestamp);
    });
    link(reader, &ZuStreamReadAndControl::setTime, this, &ZU_Player_presentation::setTime);
    link(reader, &ZuStreamReadAndControl::set_next_file, this, &ZU_Player_presentation::set_next_file);
    link(reader, &ZuStreamReadAndControl::set_previous_file, this, &ZU_Player_presentation::set_previous_file);
    link(reader, &ZuStreamReadAndControl::set_display_frame, canvas, &Canvas::displayFrame);
    link(ui->slider, &QSlider::sliderPressed, reader, &ZuStreamReadAndControl::slider_pressed);
    link(ui->slider, &ZuSlidertimeline::change_value, this, &ZU_Player_presentation::slider_send_click);
    link(ui->slider, &ZuSlidertimeline::slider_move, this, [this](QTime time) {
        if (!m_sliderFollowsEngine)
            setTime(time);
    });
    link(canvas, &Canvas::endingsignal, this, &ZU_Player_presentation::end_displayer);
    link(canvas, &Canvas::set_id_stream, this, &ZU_Player_presentation::change_id_stream);
    link(ui->playButton, &QPushButton::clicked, this, &ZU_Player_presentation::play_pause_button_pressed);
    link(this, &ZU_Player_presentation::pause, this, &ZU_Player_presentation::pause_button);
    link(this, &ZU_Player_presentation::play, this, &ZU_Player_presentation::play_button);
    link(ui->stopButton, &QPushButton::clicked, this, &ZU_Player_presentation::stop_button);
    link(ui->rateBox, &QComboBox::activated, this, &ZU_Player_presentation::updateRate);
    link(ui->forwardButton, &QPushButton::clicked, this, &ZU_Player_presentation::next_frame_button);
    link(ui->forwardButton, &QPushButton::pressed, this, &ZU_Player_presentation::next_frame_button_pressed);
    link(ui->forwardButton, &QPushButton::released, this, &ZU_Player_presentation::set_frame_button_released);
    link(ui->backwardButton, &QPushButton::clicked, this, &ZU_Player_presentation::previous_frame_button);
    link(ui->backwardButton, &QPushButton::pressed, this, &ZU_Player_presentation::previous_frame_button_pressed);
    link(ui->backwardButton, &QPushButton::released, this, &ZU_Player_presentation::set_frame_button_released);
    link(ui->snapshotButton, &QPushButton::clicked, this, &ZU_Player_presentation::snapshot_button);
    link(ui->exportbutton, &QPushButton::clicked, this, &ZU_Player_presentation::export_slot);
    link(ui->integrityButton, &QPushButton::clicked, this, &ZU_Player_presentation::check_integrity_slot);
    link(ui->tree, &QTreeView::clicked, this, &ZU_Player_presentation::tree_clicked);
    link(ui->tree, &QTreeView::clicked, this, &ZU_Player_presentation::tree_entered);
    link(ui->tree, &QTreeView::doubleClicked, this, &ZU_Player_presentation::tree_clicked);
    link(ui->tree, &QTreeView::expanded, this, &ZU_Player_presentation::tree_entered);
    link(ui->tabWidget, &QTabWidget::currentChanged, this, &ZU_Player_presentation::tab_changed);
    link(ui->alarm_combobox, &QComboBox::activated, this, &ZU_Player_presentation::set_alarm_list_from_index);
    link(ui->tags_comboBox, &QComboBox::activated, this, &ZU_Player_presentation::set_tags_list_from_index);
    // The play controls follow the engine from whatever state it reaches
    // (a file end pauses it, a rate change starts it).
    link(reader, &ZuStreamReadAndControl::stateChanged, this, &ZU_Player_presentation::follow_engine_state);

    current_time_text = QStringLiteral("00:00:00:000");
    ui->lbl_timestamp->setText(current_time_text);
    ui->lbl_timestamp->setStyleSheet(QStringLiteral("color:white;"));

    ui->playButton->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    ui->playButton->setToolTip(tr("Lecture"));
    ui->stopButton->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    ui->stopButton->setToolTip(tr("Stop"));
    ui->forwardButton->setIcon(style()->standardIcon(QStyle::SP_MediaSkipForward));
    ui->forwardButton->setToolTip(tr("Frame suivante"));
    ui->backwardButton->setIcon(style()->standardIcon(QStyle::SP_MediaSkipBackward));
    ui->backwardButton->setToolTip(tr("Frame précédente"));
    ui->snapshotButton->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    ui->snapshotButton->setToolTip(tr("Enregistrer l'image en cours"));

    for (int i = 1; i <= 3; ++i)
        ui->tabWidget->setTabEnabled(i, false);
    for (QWidget *w : std::initializer_list<QWidget *>{ui->slider, ui->playButton, ui->stopButton, ui->forwardButton,
                                                       ui->backwardButton, ui->snapshotButton, ui->rateBox})
        w->setEnabled(false);

    for (double rate : {-8.0, -4.0, -2.0, -1.0, 1.0, 2.0, 4.0, 8.0})
        ui->rateBox->addItem(QString::number(rate, 'f', 1) + QLatin1Char('x'), rate);
    ui->rateBox->setCurrentIndex(4);
    fitPopupToItems(ui->rateBox);

    ui->displayLayout->addWidget(canvas);

    ui->exportbutton->setText(tr("Export vidéo"));
    ui->exportbutton->setEnabled(false);
    ui->exportbutton->setStyleSheet(QStringLiteral("color: white;"));
    ui->integrityButton->setText(tr("Vérification de l'intégrité"));
    ui->integrityButton->setEnabled(false);
    ui->integrityButton->setStyleSheet(QStringLiteral("color: white;"));

    file_model = new ZuVideoFileSystemModel();
    proxy_model = new TreeProxyModel();
    proxy_model->setFilterCaseSensitivity(Qt::CaseInsensitive);
    file_model->setNameFilters({QStringLiteral("*.zuvideo")});
    file_model->setNameFilterDisables(false);
    file_model->setRootPath(QDir::rootPath());
    proxy_model->setFilterKeyColumn(0);
    proxy_model->setDynamicSortFilter(true);
    proxy_model->setSourceModel(file_model);
    ui->tree->setModel(proxy_model);
    for (int c = 1; c <= 3; ++c)
        ui->tree->hideColumn(c);
    ui->tree->setIndentation(7);
    ui->tree->setSortingEnabled(true);
    ui->tree->sortByColumn(0, Qt::AscendingOrder);
    ui->tree->header()->hide();
    ui->tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    const QModelIndex home = treeIndex(QDir::homePath());
    QList<QModelIndex> chain;
    for (QModelIndex i = home.parent(); i.isValid(); i = i.parent())
        chain.prepend(i);
    for (const QModelIndex &i : std::as_const(chain))
        ui->tree->expand(i);
    ui->tree->expand(home);
    ui->tree->scrollTo(home, QAbstractItemView::EnsureVisible);
    ui->tree->setCurrentIndex(home);

    setWindowTitle(QStringLiteral("ZuPlayer ") + Http_singleton::instance()->appVersion());

    for (int h = 0; h < 24; ++h)
        hour_labels << QStringLiteral("%1:00:00 - %2:00:00").arg(h, 2, 10, QLatin1Char('0')).arg((h + 1) % 24, 2, 10, QLatin1Char('0'));
    if (ui->video_stream_box->count() > 0)
        ui->video_stream_box->clear();
    canvas->setGeometry(ui->displayLayout->geometry());

    camera_combobox = new ElidingComboBox();
    camera_id_text = QStringLiteral("-1");
    time_known = false;
    ui->slider->clear_minutes();
}

ZU_Player_presentation::~ZU_Player_presentation()
{
    logMessage("[INFO] Zuplayer Display :: destruct");
    logMessage("[INFO] Zuplayer Display :: delete layout");
    teardown_timelines();
    if (frame_repeat_timer)
        frame_repeat_timer->stop();
    // A running check is stopped and joined by its runner.
    delete m_integrityRunner.data();
    delete export_popup.data();
    reader->stop();
    delete reader;
    reader = nullptr;
    logMessage("[INFO] Zuplayer Display :: delete tabs");
    delete controller;
    controller = nullptr;
    ui->listVignettes_view->setModel(nullptr);
    ui->listTags_view->setModel(nullptr);
    delete alarm_model;
    delete tags_model;
    delete alarm_delegate;
    delete tag_delegate;
    ui->slider->check_and_add_tags({}, -1);
    clear_day_tags();
    ui->tree->setModel(nullptr);
    delete proxy_model;
    delete file_model;
    if (!camera_combobox->parent())
        delete camera_combobox;
    if (m_waitCursor)
        QApplication::restoreOverrideCursor();
    logMessage("[INFO] Zuplayer Display :: delete ui");
    delete ui;
    ui = nullptr;
    logMessage("[INFO] Zuplayer Display :: destruct done");
}

QModelIndex ZU_Player_presentation::treeIndex(const QString &path) const
{
    return proxy_model->mapFromSource(file_model->index(path));
}

PopupExport *ZU_Player_presentation::exportPopup() const
{
    return export_popup.data();
}

IntegrityDialog *ZU_Player_presentation::integrityDialog() const
{
    return integrity_dialog.data();
}

bool ZU_Player_presentation::isBuildingTimelines() const
{
    return m_builder != nullptr;
}

// ---------------------------------------------------------------- cameras of the day

int ZU_Player_presentation::camera_id_for_text(const QString &text) const
{
    if (!camera_names.isEmpty()) {
        QList<int> ids = camera_names.keys();
        std::sort(ids.begin(), ids.end());
        for (int id : ids) {
            if (camera_names.value(id) == text)
                return id;
        }
    }
    if (text.contains(QLatin1String("CAMERA")))
        return QString(text).remove(QStringLiteral("CAMERA ")).toInt();
    return -1;
}

void ZU_Player_presentation::init_day_cameras()
{
    info(QStringLiteral("init day cameras"));
    camera_names.clear();
    if (day_directory.isEmpty())
        return;
    // The names come from the segment folders' camera lists, which the day's
    // manifest covers, as the main window takes them: the day-level
    // index.zunfo is not verified by the integrity check, so no name is
    // taken from it.
    for (const QFileInfo &list : ZuFile::day_camera_lists(day_directory)) {
        info(QStringLiteral("init day cameras :: zunfo path ") + list.filePath());
        camera_names = ZuFile::check_and_parse_nfo_file(list, camera_names);
    }
    if (camera_names.isEmpty()) {
        const QFileInfoList old = controller->zunfo_with_multiple_directory(day_directory);
        info(QStringLiteral("init day cameras :: using old method. ZuNfo count ") + QString::number(old.size()));
        // The plain-text form of older recorders.
        for (const QFileInfo &f : old)
            camera_names = ZuFile::parse_camera_names_file(f, camera_names);
    }
    // The day's index is kept for the other readers of the folder: its own
    // names, with the names the window uses where both name a camera, so
    // that a camera only the index knows stays in it. An index that already
    // says all that is left as it is. On media that cannot be written the
    // failure is logged and the names stand as they are.
    if (!camera_names.isEmpty()) {
        const QFileInfo index(QDir(day_directory).filePath(QStringLiteral("index.zunfo")));
        QHash<int, QString> stored;
        if (index.exists()) {
            info(QStringLiteral("init day cameras :: zunfo index path ") + index.filePath());
            stored = ZuFile::check_and_parse_nfo_file(index, {});
        }
        QHash<int, QString> merged = stored;
        merged.insert(camera_names);
        if (!index.exists() || merged != stored)
            ZuFile::create_zunfo_index_file(index, merged);
    }
    ZuFile::distinguish_camera_names(&camera_names);
}

void ZU_Player_presentation::init_timelines(QFileInfoList VIDEO_filelist, int camera_id, int minute_diff)
{
    teardown_timelines();
    segment_minutes = minute_diff;
    info(QStringLiteral("init timelines :: camera id :: ") + QString::number(camera_id));
    if (VIDEO_filelist.isEmpty()) {
        update();
        return;
    }
    timelines_widget = new QWidget();
    timelines_layout = new QVBoxLayout();
    timelines_layout->setSpacing(2);
    timelines_layout->setAlignment(Qt::AlignTop);
    timelines_layout->setContentsMargins(0, 0, 0, 0);
    camera_combobox->setStyleSheet(QStringLiteral(
        "QComboBox{height:25px;padding:.25rem .5rem;line-height:1.5px;color:#fff;background-color:rgba(255,255,255,0.05);"
        "border:1px solid rgba(255,255,255,0.5);border-radius:.25rem;}\n"
        "QComboBox:on{padding-top:3px;padding-left:4px;}\n"
        "QComboBox QAbstractItemView::item:selected{background:lightgray;color:black;}\n"
        "QComboBox QAbstractItemView::item{background:gray;color:black;}\n"
        "QComboBox QAbstractItemView{border:2px solid darkgray;background:white;}\n"
        "QListView{color:black;background:white;}\n"
        // The popup rows are menu items of the box: without a colour of their
        // own they take the box's white text on the white list.
        "QComboBox::item{color:black;}\n"));
    const qint64 started = steadyNs();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    info(QStringLiteral("init timelines :: video files count") + QString::number(VIDEO_filelist.size()));
    if (camera_id == -1) {
        for (const QFileInfo &f : std::as_const(VIDEO_filelist)) {
            int id = -1;
            if (ZuExportFolder::parseRecordingName(f.fileName(), &id, nullptr, nullptr)) {
                camera_id = id;
                camera_id_text = QString::number(camera_id);
                break;
            }
        }
    }
    info(QStringLiteral("init timelines :: video files check and parse done in ")
         + QString::number((steadyNs() - started) / 1e6, 'g', 6) + QStringLiteral(" ms"));
    QApplication::restoreOverrideCursor();

    ui->slider->clear_minutes();
    ui->slider->set_camera_id(camera_id);
    ui->slider->check_and_add_tags(day_tags, camera_id);
    if (camera_id != -1) {
        const QString name = camera_names.value(camera_id, QString::number(camera_id));
        for (int i = 0; i < camera_combobox->count(); ++i) {
            if (camera_combobox->itemText(i).contains(name))
                camera_combobox->setCurrentIndex(i);
        }
    }
    disconnect(camera_combobox, &QComboBox::activated, this, &ZU_Player_presentation::change_timelines_from_combobox);
    connect(camera_combobox, &QComboBox::activated, this, &ZU_Player_presentation::change_timelines_from_combobox);
    disconnect(ui->video_stream_box, &QComboBox::activated, this, &ZU_Player_presentation::change_idstream_from_combobox);
    connect(ui->video_stream_box, &QComboBox::activated, this, &ZU_Player_presentation::change_idstream_from_combobox);

    int height = 0;
    for (const QString &text : std::as_const(hour_labels)) {
        auto *label = new QLabel(text, timelines_widget);
        QFont font(QStringLiteral("Public Sans"), 7);
        font.setWeight(QFont::Normal);
        label->setFont(font);
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
        label->setStyleSheet(QStringLiteral("font:7pt; margin-top:5px; color: white;"));
        label->setFixedHeight(20);
        timelines_layout->addWidget(label);
        auto *line = new ZuTimeline(text, timelines_widget);
        line->set_time_label(label);
        line->clear_minutes();
        connect(line, &ZuTimeline::clicked, this, &ZU_Player_presentation::timeline_send_click);
        hour_timelines.insert(text, line);
        timelines_layout->addWidget(line);
        height += QFontMetrics(label->font()).lineSpacing() + 30;
    }
    set_all_timelines_background(camera_id, VIDEO_filelist);

    timelines_widget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    timelines_widget->setLayout(timelines_layout);
    timelines_widget->setMinimumHeight(height);
    timelines_widget->setMaximumHeight(height);
    m_timelinesScroll = new QScrollArea();
    m_timelinesScroll->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    m_timelinesScroll->setWidgetResizable(true);
    // Only the area, its viewport and the rows' container are transparent: a
    // rule without selector reaches the rows' tag tooltips too, which then
    // show as an empty black box.
    m_timelinesScroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget, QScrollArea > QWidget > QWidget"
                                                    "{background-color:transparent; border:0px;}"));
    m_timelinesScroll->setWidget(timelines_widget);

    playback_tab_layout = new QVBoxLayout();
    playback_tab_layout->addWidget(camera_combobox);
    playback_tab_layout->addWidget(m_timelinesScroll);
    info(QStringLiteral("init timelines :: set ui tab 3 layout"));
    ui->tab_3->setLayout(playback_tab_layout);
    update();
}

void ZU_Player_presentation::stop_builder()
{
    if (!m_builder)
        return;
    ++m_buildGeneration; // its end, already queued or not, is no longer waited for
    m_builder->requestInterruption();
    m_builder->wait();
    delete m_builder;
    m_builder = nullptr;
    if (m_waitCursor) {
        QApplication::restoreOverrideCursor();
        m_waitCursor = false;
    }
}

void ZU_Player_presentation::teardown_timelines()
{
    stop_builder();
    // Every reference to the rows goes with them: the hash, the clicks'
    // targets, and the layouts.
    hour_timelines.clear();
    if (m_timelinesScroll)
        delete m_timelinesScroll; // with timelines_widget and its rows
    else
        delete timelines_widget;
    m_timelinesScroll = nullptr;
    timelines_widget = nullptr;
    timelines_layout = nullptr;
    if (playback_tab_layout) {
        playback_tab_layout->removeWidget(camera_combobox);
        delete playback_tab_layout;
        playback_tab_layout = nullptr;
    }
}

void ZU_Player_presentation::change_timelines_from_cameraid(int id)
{
    if (id < 0)
        return;
    info(QStringLiteral("change timeline for camera id :: ") + QString::number(id) + QStringLiteral(" // current time :: ")
         + current_time_text);
    controller->clear_day_video_files();
    controller->clear_day_audio_files();
    controller->clear_day_alarm_files();
    controller->clear_day_timestamp_list();
    controller->init_day_video_list(QDir::cleanPath(day_directory));
    if (!camera_names.isEmpty()) {
        const QString name = camera_names.value(id);
        for (int i = 0; i < camera_combobox->count(); ++i) {
            if (camera_combobox->itemText(i) == name)
                camera_combobox->setCurrentIndex(i);
        }
    }
    QFileInfoList files = controller->day_video_files();
    if (files.isEmpty())
        return;
    files = usable_media(files, nullptr);
    ui->slider->clear_minutes();
    ui->slider->set_camera_id(id);
    ui->slider->check_and_add_tags(day_tags, id);
    set_all_timelines_background(id, files);
    reader->stop();
    update();
}

void ZU_Player_presentation::change_timelines_from_combobox(int index)
{
    if (camera_combobox->count() == 0)
        return;
    info(QStringLiteral("change timelines from combobox :: combobox_index       ") + QString::number(index));
    info(QStringLiteral("change timelines from combobox :: camera name          ") + camera_combobox->itemText(index));
    const int id = camera_id_for_text(camera_combobox->itemText(index));
    change_timelines_from_cameraid(id);
    camera_id_text = QString::number(id);
}

void ZU_Player_presentation::change_idstream_from_combobox(int)
{
    if (play_state != 1 || camera_combobox->count() == 0)
        return;
    const int id = camera_id_for_text(camera_combobox->currentText());
    if (id == -1)
        return;
    timeline_send_click(QTime::fromString(current_time_text, QStringLiteral("HH:mm:ss:zzz")).toString(QStringLiteral("HH:mm:ss")), id);
}

void ZU_Player_presentation::change_id_stream(QString id)
{
    for (int i = 0; i < ui->video_stream_box->count(); ++i) {
        if (ui->video_stream_box->itemText(i).contains(id))
            ui->video_stream_box->setCurrentIndex(i);
    }
    auto *effect = new QGraphicsOpacityEffect(ui->label);
    ui->label->setGraphicsEffect(effect);
    ui->label->setStyleSheet(QStringLiteral("border: 2px solid gray; border-radius:10px; background-color:#ffffff; color:gray;"));
    ui->label->setAlignment(Qt::AlignCenter);
    ui->label->setText(tr("Changement automatique de qualité"));
    auto *fadeIn = new QPropertyAnimation(effect, "opacity");
    fadeIn->setDuration(2000);
    fadeIn->setStartValue(0);
    fadeIn->setEndValue(1);
    fadeIn->setEasingCurve(QEasingCurve::InBack);
    fadeIn->start(QPropertyAnimation::DeleteWhenStopped);
    ui->label->show();
    QTimer::singleShot(2000, this, &ZU_Player_presentation::fadeOut);
}

void ZU_Player_presentation::fadeOut()
{
    auto *effect = new QGraphicsOpacityEffect(ui->label);
    ui->label->setGraphicsEffect(effect);
    auto *animation = new QPropertyAnimation(effect, "opacity");
    animation->setDuration(5000);
    animation->setStartValue(1);
    animation->setEndValue(0);
    animation->setEasingCurve(QEasingCurve::OutBack);
    animation->start(QPropertyAnimation::DeleteWhenStopped);
    connect(animation, &QPropertyAnimation::finished, ui->label, &QLabel::hide);
}

void ZU_Player_presentation::combox_index_changed(QString path)
{
    logMessage(QStringLiteral("[INFO] Zuplayer Display ::combox_index_changed : ") + path);
    file_model->setRootPath(path);
    path.remove(QLatin1Char('/'));
    const QModelIndexList hits = proxy_model->match(proxy_model->index(0, 0), Qt::DisplayRole, path, 1,
                                                    Qt::MatchStartsWith | Qt::MatchWrap);
    logMessage(QStringLiteral("[INFO] Zuplayer Display ::size : ") + QString::number(hits.size()));
    if (!hits.isEmpty()) {
        logMessage(QStringLiteral("[INFO] Zuplayer Display ::root index col: ") + QString::number(hits.first().column())
                   + QStringLiteral(" + row : ") + QString::number(hits.first().row()));
        ui->tree->setRootIndex(hits.first());
    }
}

void ZU_Player_presentation::change_camera(const QFileInfo &file)
{
    info(QStringLiteral("change camera :: ") + file.filePath());
    current_file = file.filePath();
    if (!current_file.contains(QLatin1String(".zuvideo")) && !current_file.contains(QLatin1String(".zuaudio")))
        return;
    int cameraId = -1;
    bool cameraChanged = false;
    if (ZuExportFolder::parseRecordingName(file.fileName(), &cameraId, nullptr, nullptr)) {
        const QString camera = QString::number(cameraId);
        cameraChanged = camera != camera_id_text;
        if (cameraChanged) {
            camera_id_text = camera;
            info(QStringLiteral("change camera :: current_camera_id ") + camera);
        }
        if (camera_id_for_text(camera_combobox->currentText()) != camera.toInt()) {
            for (int i = 0; i < camera_combobox->count(); ++i) {
                info(QStringLiteral("change camera :: camera_combobox->itemText(i) + ") + camera_combobox->itemText(i));
                if (camera_names.isEmpty()) {
                    if (camera_combobox->itemText(i).contains(camera)) {
                        camera_combobox->setCurrentIndex(i);
                        info(QStringLiteral("change camera :: camera_combobox set index ") + QString::number(i));
                        change_timelines_from_combobox(i);
                        break;
                    }
                } else {
                    info(QStringLiteral("change camera :: with HASH"));
                    if (camera_id_for_text(camera_combobox->itemText(i)) == camera.toInt()) {
                        camera_combobox->setCurrentIndex(i);
                        info(QStringLiteral("change camera :: with HASH :: camera_combobox set index ") + QString::number(i));
                        change_timelines_from_combobox(i);
                        break;
                    }
                }
            }
        }
    }
    const QString stream = selected_stream();
    if (stream.isEmpty())
        return;
    if (!cameraChanged && reader->state() != ZuStreamReadAndControl::Stopped && reader->stream_id() == stream) {
        info(QStringLiteral("change camera :: continue decoding :: filename ") + current_file);
        if (reader->continue_read(current_file, stream, true, QStringLiteral("next"))) {
            info(QStringLiteral("set_actual_zuvideo_file  ") + file.filePath());
            actual_zuvideo_file = file.filePath();
            info(QStringLiteral("set_actual_zuvideo_file :: setActualCam :: ") + actual_zuvideo_file);
            update_buttons(1);
        }
        return;
    }
    if (play_state == 1)
        stop_button();
    if (canvas)
        canvas->setEnding();
    info(QStringLiteral("change camera :: init decoder :: ") + current_file);
    open_in_engine(current_file, stream);
}

bool ZU_Player_presentation::open_in_engine(const QString &path, const QString &stream)
{
    if (!reader) {
        logMessage("[ERROR] Zuplayer Display :: change camera :: global reader is null");
        return false;
    }
    int camera = 0;
    ZuExportFolder::parseRecordingName(path, &camera, nullptr, nullptr);
    reader->set_overlay_text(camera_names.value(camera, QStringLiteral("CAMERA %1").arg(camera)));
    if (!reader->open_file(path, stream, QString(), true)) {
        logMessage(QStringLiteral("[ERROR] Zuplayer Display :: change camera :: cannot open ") + path);
        return false;
    }
    current_file = path;
    actual_zuvideo_file = path;
    update_buttons(reader->state());
    return true;
}

ZuTimeline *ZU_Player_presentation::timeline_for_time(const QString &time) const
{
    const QTime t = QTime::fromString(QString(time).remove(QLatin1Char(':')), QStringLiteral("HHmmss"));
    if (!t.isValid())
        return nullptr;
    for (auto it = hour_timelines.cbegin(); it != hour_timelines.cend(); ++it) {
        QTime begin, end;
        ZuTimeline::hourBounds(it.key(), &begin, &end);
        if (!begin.isValid())
            continue;
        if ((begin <= t && end.isValid() && t < end) || (begin.hour() == 23 && t >= begin))
            return it.value();
    }
    return nullptr;
}

QFileInfo ZU_Player_presentation::get_video_file_for_alarm(const QString &camera, const QString &date,
                                                           const QString &time) const
{
    info(QStringLiteral("get video file for alarm :: alarm time :: ") + time);
    const QTime alarmAt = QTime::fromString(time, QStringLiteral("HHmmss"));
    QFileInfo found;
    for (const QFileInfo &f : controller->day_video_files()) {
        int fileCamera = -1;
        QDate fileDate;
        QTime start;
        if (!ZuExportFolder::parseRecordingName(f.fileName(), &fileCamera, &fileDate, &start)
            || QString::number(fileCamera) != camera || fileDate.toString(QStringLiteral("yyyyMMdd")) != date
            || segment_seconds == -1)
            continue;
        // The latest start that covers the time: with a length estimate
        // longer than the files, earlier files "cover" it too.
        if (start.isValid() && alarmAt.isValid() && start <= alarmAt && start.secsTo(alarmAt) < segment_seconds)
            found = f;
    }
    return found;
}

// ---------------------------------------------------------------- play controls

void ZU_Player_presentation::play_pause_button_pressed()
{
    if (play_state == 1)
        emit pause();
    else
        emit play();
}

QString ZU_Player_presentation::selected_stream() const
{
    return ui->video_stream_box->currentText().remove(QStringLiteral("Video "));
}

void ZU_Player_presentation::play_button()
{
    if (play_state == 2) {
        reader->toggle_pause();
        update_buttons(reader->state());
        return;
    }
    if (play_state == 0) {
        const QString stream = selected_stream();
        if (!stream.isEmpty() && !reader) {
            logMessage("[ERROR] Zuplayer Display :: play button :: global reader is null");
            return;
        }
        // After a stop the file read last is played again from its start.
        if (!stream.isEmpty() && !actual_zuvideo_file.isEmpty())
            open_in_engine(actual_zuvideo_file, stream);
    }
}

void ZU_Player_presentation::pause_button()
{
    if (play_state != 1)
        return;
    reader->toggle_pause();
    update_buttons(reader->state());
}

void ZU_Player_presentation::rate_button(double rate)
{
    emit change_rate(rate);
    // The engine starts playing from a pause but not from a stop: the look
    // follows what it did.
    update_buttons(reader->state());
}

double ZU_Player_presentation::selected_rate() const
{
    return ui->rateBox->currentData(Qt::UserRole).toDouble();
}

void ZU_Player_presentation::next_frame_button()
{
    reader->read_and_display_next_frame(false);
}

void ZU_Player_presentation::previous_frame_button()
{
    reader->read_and_display_previous_frame(false);
}

void ZU_Player_presentation::start_frame_repeat(void (ZU_Player_presentation::*step)())
{
    pause_button();
    set_frame_button_released();
    frame_repeat_timer = new QTimer(this);
    connect(frame_repeat_timer, &QTimer::timeout, this, step);
    frame_repeat_timer->start(250);
}

void ZU_Player_presentation::next_frame_button_pressed()
{
    start_frame_repeat(&ZU_Player_presentation::next_frame_button);
}

void ZU_Player_presentation::previous_frame_button_pressed()
{
    start_frame_repeat(&ZU_Player_presentation::previous_frame_button);
}

void ZU_Player_presentation::set_frame_button_released()
{
    if (!frame_repeat_timer)
        return;
    frame_repeat_timer->stop();
    frame_repeat_timer->deleteLater();
    frame_repeat_timer = nullptr;
}

void ZU_Player_presentation::end_displayer()
{
    // The surface stays in the window for the next display; only its
    // picture goes.
    if (canvas)
        canvas->setEnding();
}

void ZU_Player_presentation::follow_engine_state(int state)
{
    update_buttons(state);
}

void ZU_Player_presentation::update_buttons(int state)
{
    if (state == play_state)
        return;
    play_state = state;
    switch (state) {
    case 0:
        ui->stopButton->setEnabled(false);
        ui->snapshotButton->setEnabled(false);
        ui->playButton->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
        break;
    case 1:
        ui->stopButton->setEnabled(true);
        ui->snapshotButton->setEnabled(true);
        ui->playButton->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
        break;
    case 2:
        ui->stopButton->setEnabled(true);
        ui->snapshotButton->setEnabled(true);
        ui->playButton->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- commands

QString ZU_Player_presentation::eventDisplayTime(const EventRecord &record)
{
    return ::eventDisplayTime(record);
}

void ZU_Player_presentation::export_slot()
{
    info(QStringLiteral("export :: ") + day_directory);
    const QString timestamp = canvas ? canvas->currentTimestamp() : QString();
    info(QStringLiteral("export ::  timestamp ") + timestamp);
    const QString stream = selected_stream();
    if (timestamp.size() != 23 || !QDate::fromString(timestamp.left(10), QStringLiteral("yyyy-MM-dd")).isValid()
        || !QTime::fromString(timestamp.mid(11), QStringLiteral("HH:mm:ss.zzz")).isValid())
        return;
    // A dialog that has not started an export yet gives way to the new one;
    // one that runs an export ends by itself.
    if (export_popup && export_popup->isVisible() && !export_popup->raw_worker())
        export_popup->deleteLater();
    export_popup = new PopupExport(controller->day_video_files(), camera_id_text.toInt(), stream,
                                   QDir::cleanPath(day_directory), timestamp);
    connect(export_popup.data(), &PopupExport::valueChanged, this, &ZU_Player_presentation::set_progress);
    connect(export_popup.data(), &PopupExport::endingsignal, this, &ZU_Player_presentation::get_export_endingsignal);
    export_popup->show();
}

void ZU_Player_presentation::get_export_endingsignal()
{
    auto *popup = qobject_cast<PopupExport *>(sender());
    if (!popup)
        popup = export_popup.data();
    ui->encodeprogress->hide();
    const int failures = popup ? popup->raw_failures() : 0;
    if (popup) {
        popup->closeall();
        popup->deleteLater(); // called from its own signal
    }
    ui->exportbutton->setEnabled(true);
    // A copy that left files behind is not reported as a success.
    auto *box = failures > 0
                    ? new QMessageBox(QMessageBox::Warning, tr("Attention"),
                                      tr("Votre exportation est terminée, mais %1 fichier(s) n'ont pas pu être copiés.").arg(failures))
                    : new QMessageBox(QMessageBox::Information, tr("Information"), tr("Votre exportation est terminée."));
    box->setObjectName(QStringLiteral("exportEndMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

void ZU_Player_presentation::check_integrity_slot()
{
    if (m_integrityRunner)
        return;
    const QString dayFolder = QDir::cleanPath(day_directory);
    if (day_directory.isEmpty())
        return;
    // The runner passes "Arrêter" to the check and deletes the check only
    // once its thread has ended.
    m_integrityRunner = IntegrityRunner::start(dayFolder, this);
    if (!m_integrityRunner)
        return;
    integrity_dialog = m_integrityRunner->dialog();
    integrity_check = m_integrityRunner->checker();
    connect(m_integrityRunner.data(), &IntegrityRunner::released, this, &ZU_Player_presentation::integrity_check_done);
}

void ZU_Player_presentation::integrity_check_done()
{
    logMessage("[INFO] Zuplayer Display :: integrity check done");
    integrity_dialog.clear();
    integrity_check = nullptr;
    m_integrityRunner.clear();
}

void ZU_Player_presentation::open_alarm_popup(QModelIndex index)
{
    logMessage("[INFO] Zuplayer Display ::open_alarm_popup");
    if (!alarm_model || !index.isValid())
        return;
    auto *viewer = new AlarmViewer(alarm_model->record(index.row()));
    viewer->show();
}

void ZU_Player_presentation::snapshot_button()
{
    if (!canvas)
        return;
    const QImage image = canvas->get_snapshot(QString(), QString());
    if (image.isNull())
        return;
    auto *viewer = new AlarmViewer(image, canvas->currentTimestamp() + QStringLiteral(".jpg"));
    viewer->show();
}

void ZU_Player_presentation::snapshot_full_button()
{
    if (!canvas)
        return;
    const QImage image = canvas->get_snapshot_full(QString(), QString());
    if (image.isNull())
        return;
    auto *viewer = new AlarmViewer(image, canvas->currentTimestamp() + QStringLiteral(".jpg"));
    viewer->show();
}

void ZU_Player_presentation::open_button() {}

void ZU_Player_presentation::tree_clicked(QModelIndex) {}
