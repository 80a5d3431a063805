#include "ui_zu_player_presentation.h"

#include "elidingcombobox.h"
#include "zuplayer_tabwidget.h"
#include "zuslidertimeline.h"
#include "zutheme.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {

// Every widget of a panel: transparent, white 14px text in the form's font.
const char *const kBase =
    "QWidget{background-color:transparent;border-color:transparent;color:#fff;font-size:14px;"
    "font-family:\"Public Sans\";}\n";

const char *const kButtonRed =
    "QPushButton{font-weight:400;text-align:center;white-space:nowrap;vertical-align:middle;"
    "border:1px solid transparent;font-size:14px;line-height:1.3;padding:2px 5px;border-radius:3px;"
    "color:#fff;background-color:#B71C1C;border-color:#B71C1C;margin-left:9px;margin-right:9px;"
    "margin-bottom:9px;height:22px;}\n"
    "QPushButton:hover{background-color:#B73030;border-color:#B72525;}\n";

const char *const kComboBox =
    "QComboBox{height:25px;padding:.25rem .5rem;line-height:1.5px;color:#fff;"
    "background-color:rgba(255,255,255,0.05);border:1px solid rgba(255,255,255,0.5);border-radius:.25rem;}\n";

QString s1() { return QLatin1String(kBase) + QLatin1String("#widget_browser{background-color:rgba(0,0,0,0.5);border-radius:5px;}\n") + QLatin1String(kButtonRed); }

QString s2()
{
    return QStringLiteral(
               "ZuPlayer_TabWidget::pane{border-top:2px solid #C2C7CB;background:transparent;}\n"
               "ZuPlayer_TabWidget::tab-bar{alignment:center;}\n"
               "ZuPlayer_TabBar::scroller{width:0px;}\n"
               "ZuPlayer_TabBar::tab{background:transparent;border:2px solid #656565;border-top-left-radius:4px;"
               "border-top-right-radius:4px;min-width:40px;max-width:40px;min-height:40px;max-height:40px;}\n"
               "ZuPlayer_TabBar::tab:selected{background:#33656565;border-color:#656565;}\n"
               "ZuPlayer_TabBar::tab:hover{color:#fff;background:#33FFFFFF;border-color:#FFFFFF;}\n")
           + QLatin1String(kComboBox);
}

QString s3()
{
    return QStringLiteral(
        "QTreeView{background:transparent;show-decoration-selected:0;border:none;}\n"
        "QTreeView::item{border:1px solid transparent;}\n"
        "QTreeView::item:hover{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #e7effd,stop:1 #cbdaf1);"
        "border:1px solid #bfcde4;color:black;}\n"
        "QTreeView::item:selected{border:1px solid #567dbc;}\n"
        "QTreeView::branch:has-children:!has-siblings:closed,QTreeView::branch:closed:has-children:has-siblings"
        "{border-image:none;image:url(:/imgs/branch-closed.png);}\n"
        "QTreeView::branch:open:has-children:!has-siblings,QTreeView::branch:open:has-children:has-siblings"
        "{border-image:none;image:url(:/imgs/branch-open.png);}\n");
}

QString s4()
{
    return QStringLiteral(
        "QComboBox{height:25px;padding:.25rem .5rem;line-height:1.5px;background-color:rgba(255,255,255,0.1);"
        "border:1px solid rgba(255,255,255,0.5);border-radius:.25rem;}\n"
        "QComboBox:on{padding-top:3px;padding-left:4px;}\n"
        "QComboBox QAbstractItemView::item:selected{background:lightgray;color:black;}\n"
        "QComboBox QAbstractItemView::item{background:gray;color:black;}\n"
        "QComboBox QAbstractItemView{border:2px solid darkgray;background:white;}\n"
        "QListView{color:black;background:white;}\n"
        // The popup rows are menu items of the box: without a colour of their
        // own they take the panel's white text on the white list.
        "QComboBox::item{color:black;}\n");
}

QString s7()
{
    return QLatin1String(kBase)
           + QStringLiteral("QSlider{background-color:rgba(0,0,0,0.5);border:0px;border-radius:5px;}\n"
                            "QSlider::groove:horizontal{border:1px solid #262626;height:12px;background:#000000;"
                            "border-radius:4px;margin:0px 12px;}\n"
                            "QSlider::handle:horizontal{width:15px;height:20px;margin:-12px -12px;}\n");
}

QString buttonsGrey(bool withMiddle)
{
    return QStringLiteral("QPushButton{font-weight:400;text-align:center;white-space:nowrap;")
           + (withMiddle ? QStringLiteral("vertical-align:middle;") : QString())
           + QStringLiteral("border:1px solid transparent;font-size:14px;line-height:1.3;padding:2px 5px;"
                            "border-radius:3px;color:#fff;background-color:#656565;border-color:#656565;height:22px;}\n"
                            "QPushButton:hover{background-color:#787878;border-color:#787878;}\n");
}

QString s9() { return QLatin1String(kComboBox) + QStringLiteral("QComboBox QAbstractItemView{border:2px solid darkgray;background:gray;}\n"); }

QString s11()
{
    return QString::fromLatin1(ZuTheme::kProgressBarStyle)
           + QStringLiteral("QProgressBar::chunk{background-color:#282828;width:20px;}\n");
}

} // namespace

void Ui_ZU_Player_presentation::setupUi(QWidget *form)
{
    if (form->objectName().isEmpty())
        form->setObjectName(QStringLiteral("ZU_Player_presentation"));
    form->resize(1258, 675);
    form->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    form->setStyleSheet(QStringLiteral("QWidget{background-color:#333333;}"));

    horizontalLayout = new QHBoxLayout(form);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));

    widget_browser = new QWidget(form);
    widget_browser->setObjectName(QStringLiteral("widget_browser"));
    widget_browser->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    widget_browser->setStyleSheet(s1());
    verticalLayout_2 = new QVBoxLayout(widget_browser);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    tabWidget = new ZuPlayer_TabWidget(widget_browser);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    tabWidget->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    tabWidget->setStyleSheet(s2());

    tab = new QWidget();
    tab->setObjectName(QStringLiteral("tab"));
    tab->setStyleSheet(QStringLiteral("background:transparent;"));
    horizontalLayout_3 = new QHBoxLayout(tab);
    horizontalLayout_3->setObjectName(QStringLiteral("horizontalLayout_3"));
    tree = new QTreeView(tab);
    tree->setObjectName(QStringLiteral("tree"));
    tree->setStyleSheet(s3());
    horizontalLayout_3->addWidget(tree);
    tabWidget->addTab(tab, QString());

    tab_3 = new QWidget();
    tab_3->setObjectName(QStringLiteral("tab_3"));
    tabWidget->addTab(tab_3, QString());

    tab_2 = new QWidget();
    tab_2->setObjectName(QStringLiteral("tab_2"));
    horizontalLayout_4 = new QHBoxLayout(tab_2);
    horizontalLayout_4->setObjectName(QStringLiteral("horizontalLayout_4"));
    verticalLayout_4 = new QVBoxLayout();
    verticalLayout_4->setObjectName(QStringLiteral("verticalLayout_4"));
    alarm_combobox = new ElidingComboBox(tab_2);
    alarm_combobox->setObjectName(QStringLiteral("alarm_combobox"));
    alarm_combobox->setStyleSheet(s4());
    verticalLayout_4->addWidget(alarm_combobox);
    listVignettes_view = new QTableView(tab_2);
    listVignettes_view->setObjectName(QStringLiteral("listVignettes_view"));
    listVignettes_view->setMouseTracking(true);
    listVignettes_view->setStyleSheet(QString());
    verticalLayout_4->addWidget(listVignettes_view);
    horizontalLayout_4->addLayout(verticalLayout_4);
    tabWidget->addTab(tab_2, QString());

    tab_tags = new QWidget();
    tab_tags->setObjectName(QStringLiteral("tab_tags"));
    tab_tags->setStyleSheet(QString());
    horizontalLayout_5 = new QHBoxLayout(tab_tags);
    horizontalLayout_5->setObjectName(QStringLiteral("horizontalLayout_5"));
    verticalLayout_5 = new QVBoxLayout();
    verticalLayout_5->setObjectName(QStringLiteral("verticalLayout_5"));
    tags_comboBox = new ElidingComboBox(tab_tags);
    tags_comboBox->setObjectName(QStringLiteral("tags_comboBox"));
    tags_comboBox->setStyleSheet(s4());
    verticalLayout_5->addWidget(tags_comboBox);
    listTags_view = new QTableView(tab_tags);
    listTags_view->setObjectName(QStringLiteral("listTags_view"));
    listTags_view->setMouseTracking(true);
    listTags_view->setStyleSheet(QString());
    verticalLayout_5->addWidget(listTags_view);
    horizontalLayout_5->addLayout(verticalLayout_5);
    tabWidget->addTab(tab_tags, QString());

    verticalLayout_2->addWidget(tabWidget);
    horizontalLayout->addWidget(widget_browser);

    widget_display_info = new QWidget(form);
    widget_display_info->setObjectName(QStringLiteral("widget_display_info"));
    widget_display_info->setStyleSheet(QLatin1String(kBase)
                                       + QStringLiteral("#widget_display_info{background-color:rgba(0,0,0,0.5);border-radius:5px;}\n"));
    verticalLayout = new QVBoxLayout(widget_display_info);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    widget_canvas = new QWidget(widget_display_info);
    widget_canvas->setObjectName(QStringLiteral("widget_canvas"));
    widget_canvas->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
    widget_canvas->setStyleSheet(QLatin1String(kBase)
                                 + QStringLiteral("#widget_canvas{background-color:rgba(0,0,0,0.5);"
                                                  "border:0px solid rgba(255,255,255,0.2);border-radius:5px;}\n"));
    gridLayout = new QGridLayout(widget_canvas);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));
    displayLayout = new QGridLayout();
    displayLayout->setObjectName(QStringLiteral("displayLayout"));
    gridLayout->addLayout(displayLayout, 0, 0, 1, 1);
    verticalLayout->addWidget(widget_canvas);

    widget_informations = new QWidget(widget_display_info);
    widget_informations->setObjectName(QStringLiteral("widget_informations"));
    verticalLayout_3 = new QVBoxLayout(widget_informations);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));
    verticalLayout_3->setContentsMargins(0, -1, 0, -1);

    widget = new QWidget(widget_informations);
    widget->setObjectName(QStringLiteral("widget"));
    widget->setStyleSheet(QStringLiteral("padding-top:15px;\npadding-bottom:15px;"));
    horizontalLayout_2 = new QHBoxLayout(widget);
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    horizontalLayout_2->setContentsMargins(0, 0, 0, 0);
    slider = new ZuSlidertimeline(widget);
    slider->setObjectName(QStringLiteral("slider"));
    slider->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    slider->setMouseTracking(true);
    slider->setStyleSheet(s7());
    // One value per minute of the day: 0 .. 1439 (the slots end at 1439).
    slider->setMaximum(ZuSlidertimeline::kLastMinute);
    slider->setOrientation(Qt::Horizontal);
    horizontalLayout_2->addWidget(slider);
    lbl_timestamp = new QLabel(widget);
    lbl_timestamp->setObjectName(QStringLiteral("lbl_timestamp"));
    lbl_timestamp->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    lbl_timestamp->setFixedWidth(110);
    horizontalLayout_2->addWidget(lbl_timestamp);
    verticalLayout_3->addWidget(widget);

    camlayout = new QHBoxLayout();
    camlayout->setObjectName(QStringLiteral("camlayout"));
    camlayout->setSpacing(5);
    widget_4 = new QWidget(widget_informations);
    widget_4->setObjectName(QStringLiteral("widget_4"));
    widget_4->setStyleSheet(buttonsGrey(true));
    camidLayout = new QHBoxLayout(widget_4);
    camidLayout->setObjectName(QStringLiteral("camidLayout"));
    exportbutton = new QPushButton(widget_4);
    exportbutton->setObjectName(QStringLiteral("exportbutton"));
    camidLayout->addWidget(exportbutton);
    integrityButton = new QPushButton(widget_4);
    integrityButton->setObjectName(QStringLiteral("integrityButton"));
    camidLayout->addWidget(integrityButton);
    camlayout->addWidget(widget_4);
    horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    camlayout->addItem(horizontalSpacer);
    label = new QLabel(widget_informations);
    label->setObjectName(QStringLiteral("label"));
    camlayout->addWidget(label);
    label_video_quality = new QLabel(widget_informations);
    label_video_quality->setObjectName(QStringLiteral("label_video_quality"));
    camlayout->addWidget(label_video_quality);
    video_stream_box = new QComboBox(widget_informations);
    video_stream_box->setObjectName(QStringLiteral("video_stream_box"));
    video_stream_box->setStyleSheet(s9());
    camlayout->addWidget(video_stream_box);
    horizontalSpacer_2 = new QSpacerItem(20, 20, QSizePolicy::Fixed, QSizePolicy::Minimum);
    camlayout->addItem(horizontalSpacer_2);
    widget_3 = new QWidget(widget_informations);
    widget_3->setObjectName(QStringLiteral("widget_3"));
    widget_3->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    widget_3->setStyleSheet(buttonsGrey(false));
    horizontalLayout_6 = new QHBoxLayout(widget_3);
    horizontalLayout_6->setObjectName(QStringLiteral("horizontalLayout_6"));
    horizontalLayout_6->setContentsMargins(0, 0, 0, 0);
    snapshotButton = new QPushButton(widget_3);
    snapshotButton->setObjectName(QStringLiteral("snapshotButton"));
    horizontalLayout_6->addWidget(snapshotButton);
    stopButton = new QPushButton(widget_3);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    horizontalLayout_6->addWidget(stopButton);
    backwardButton = new QPushButton(widget_3);
    backwardButton->setObjectName(QStringLiteral("backwardButton"));
    horizontalLayout_6->addWidget(backwardButton);
    forwardButton = new QPushButton(widget_3);
    forwardButton->setObjectName(QStringLiteral("forwardButton"));
    horizontalLayout_6->addWidget(forwardButton);
    playButton = new QPushButton(widget_3);
    playButton->setObjectName(QStringLiteral("playButton"));
    horizontalLayout_6->addWidget(playButton);
    rateBox = new QComboBox(widget_3);
    rateBox->setObjectName(QStringLiteral("rateBox"));
    rateBox->setStyleSheet(s9());
    horizontalLayout_6->addWidget(rateBox);
    camlayout->addWidget(widget_3);
    verticalLayout_3->addLayout(camlayout);

    encodeprogress = new QProgressBar(widget_informations);
    encodeprogress->setObjectName(QStringLiteral("encodeprogress"));
    encodeprogress->setStyleSheet(s11());
    encodeprogress->setValue(24);
    verticalLayout_3->addWidget(encodeprogress);
    verticalLayout->addWidget(widget_informations);
    horizontalLayout->addWidget(widget_display_info);

    tabWidget->setCurrentIndex(2);
    retranslateUi(form);
    QMetaObject::connectSlotsByName(form);
}

void Ui_ZU_Player_presentation::retranslateUi(QWidget *form)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("ZU_Player_presentation", text); };
    form->setWindowTitle(tr("Form"));
    for (int i = 0; i < tabWidget->count(); ++i)
        tabWidget->setTabText(i, QString());
    lbl_timestamp->setText(tr("TextLabel"));
    exportbutton->setText(tr("exportbutton"));
    integrityButton->setText(tr("integrityButton"));
    label->setText(QString());
    label_video_quality->setText(tr("Qualité vidéo"));
    snapshotButton->setToolTip(tr("Enregistrer l'image en cours"));
    stopButton->setToolTip(tr("Stop"));
    backwardButton->setToolTip(tr("Frame précédente"));
    forwardButton->setToolTip(tr("Frame suivante"));
    playButton->setToolTip(tr("Lecture"));
    for (QPushButton *b : {snapshotButton, stopButton, backwardButton, forwardButton, playButton})
        b->setText(QString());
}
