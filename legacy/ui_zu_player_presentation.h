#pragma once
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QTableView>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWidget>

class ZuPlayer_TabWidget;
class ZuSlidertimeline;

// The form of the widget player window: the browser panel (picture tabs with
// the recording tree, the hour timelines, the alarm and the tag lists) and
// the display panel (video surface, day slider, commands and play controls).
class Ui_ZU_Player_presentation
{
public:
    QHBoxLayout *horizontalLayout = nullptr;
    QWidget *widget_browser = nullptr;
    QVBoxLayout *verticalLayout_2 = nullptr;
    ZuPlayer_TabWidget *tabWidget = nullptr;
    QWidget *tab = nullptr;
    QHBoxLayout *horizontalLayout_3 = nullptr;
    QTreeView *tree = nullptr;
    QWidget *tab_3 = nullptr;
    QWidget *tab_2 = nullptr;
    QHBoxLayout *horizontalLayout_4 = nullptr;
    QVBoxLayout *verticalLayout_4 = nullptr;
    QComboBox *alarm_combobox = nullptr;
    QTableView *listVignettes_view = nullptr;
    QWidget *tab_tags = nullptr;
    QHBoxLayout *horizontalLayout_5 = nullptr;
    QVBoxLayout *verticalLayout_5 = nullptr;
    QComboBox *tags_comboBox = nullptr;
    QTableView *listTags_view = nullptr;
    QWidget *widget_display_info = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QWidget *widget_canvas = nullptr;
    QGridLayout *gridLayout = nullptr;
    QGridLayout *displayLayout = nullptr;
    QWidget *widget_informations = nullptr;
    QVBoxLayout *verticalLayout_3 = nullptr;
    QWidget *widget = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    ZuSlidertimeline *slider = nullptr;
    QLabel *lbl_timestamp = nullptr;
    QHBoxLayout *camlayout = nullptr;
    QWidget *widget_4 = nullptr;
    QHBoxLayout *camidLayout = nullptr;
    QPushButton *exportbutton = nullptr;
    QPushButton *integrityButton = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;
    QLabel *label = nullptr;
    QLabel *label_video_quality = nullptr;
    QComboBox *video_stream_box = nullptr;
    QSpacerItem *horizontalSpacer_2 = nullptr;
    QWidget *widget_3 = nullptr;
    QHBoxLayout *horizontalLayout_6 = nullptr;
    QPushButton *snapshotButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *backwardButton = nullptr;
    QPushButton *forwardButton = nullptr;
    QPushButton *playButton = nullptr;
    QComboBox *rateBox = nullptr;
    QProgressBar *encodeprogress = nullptr;

    void setupUi(QWidget *form);
    void retranslateUi(QWidget *form);
};

namespace Ui {
class ZU_Player_presentation : public Ui_ZU_Player_presentation
{
};
} // namespace Ui
