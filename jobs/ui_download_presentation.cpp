#include "ui_download_presentation.h"

#include "edittableview.h"

#include <QCoreApplication>
#include <QTabBar>

namespace {
const char kLeftPanelStyle[] =
    "QWidget{\n\tcolor:#fff;\n\tfont-size:14px;\n\tfont-family:\"Public Sans\";\n}\n"
    "#widget_16{\n\tbackground:rgba(0,0,0,0.5);\n\tborder:2px solid rgba(255,255,255,0.2);\n\tborder-radius:5px;\n}\n"
    "QPushButton{\n\tbackground:#B71C1C;\n}\n"
    "QPushButton:hover{\n\tbackground:#B73030;\n}\n"
    "QProgressBar::chunk{\n\tbackground-color:#B71C1C;\n}\n"
    "QToolTip{\n\tcolor:#000;\n\tbackground:white;\n}\n";
const char kHeaderStyle[] =
    "QWidget{\n\tfont-size:16px;\n\tfont-weight:500;\n\tbackground:rgba(255,255,255,0.2);\n\tcolor:white;\n"
    "\tborder-bottom:2px solid rgba(255,255,255,0.1);\n\tborder-radius:5px;\n}\n";
const char kBadgeStyle[] =
    "QLabel{\n\tbackground:white;\n\tmin-width:16px;\n\tmin-height:16px;\n\tmax-width:16px;\n\tmax-height:16px;\n"
    "\tpadding:5px;\n\tborder-radius:13px;\n\tmargin-right:5px;\n}\n";
const char kTabStyle[] =
    "QTabWidget::tab-bar{\n\talignment:center;\n}\n"
    "QTabBar::tab{\n\tmin-width:150px;\n\tmin-height:18px;\n\tfont-size:13px;\n\tfont-weight:300;\n"
    "\tborder:2px solid #656565;\n}\n"
    "QTabBar::tab:selected{\n\tbackground:#656565;\n}\n"
    "QTabBar::tab:hover{\n\tbackground:#cccccc;\n}\n"
    "QTabWidget::pane{\n\tborder-top:2px solid #C2C7CB;\n}\n";
} // namespace

void Ui_Download_presentation::setupUi(QWidget *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("Download_presentation"));
    window->resize(1093, 674);
    window->setSizePolicy(QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding));
    window->setStyleSheet(QStringLiteral("QWidget { background: #333333;}"));

    horizontalLayout = new QHBoxLayout(window);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setContentsMargins(3, 3, 3, 1);

    widget_16 = new QWidget(window);
    widget_16->setObjectName(QStringLiteral("widget_16"));
    widget_16->setSizePolicy(QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred));
    widget_16->setLayoutDirection(Qt::LeftToRight);
    widget_16->setStyleSheet(QString::fromLatin1(kLeftPanelStyle));
    verticalLayout_10 = new QVBoxLayout(widget_16);
    verticalLayout_10->setObjectName(QStringLiteral("verticalLayout_10"));
    verticalLayout_10->setContentsMargins(0, 0, 0, 2);

    widget_17 = new QWidget(widget_16);
    widget_17->setObjectName(QStringLiteral("widget_17"));
    widget_17->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
    widget_17->setStyleSheet(QString::fromLatin1(kHeaderStyle));
    horizontalLayout_13 = new QHBoxLayout(widget_17);
    horizontalLayout_13->setObjectName(QStringLiteral("horizontalLayout_13"));

    label_14 = new QLabel(widget_17);
    label_14->setObjectName(QStringLiteral("label_14"));
    label_14->setSizePolicy(QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
    label_14->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignTop);
    label_14->setStyleSheet(QString::fromLatin1(kBadgeStyle));
    horizontalLayout_13->addWidget(label_14);

    label_current_download = new QLabel(widget_17);
    label_current_download->setObjectName(QStringLiteral("label_current_download"));
    label_current_download->setStyleSheet(QStringLiteral("background:transparent;\npadding:5px;"));
    horizontalLayout_13->addWidget(label_current_download);

    verticalLayout_10->addWidget(widget_17);

    downloadsView = new EditTableView(widget_16);
    downloadsView->setObjectName(QStringLiteral("downloadsView"));
    verticalLayout_10->addWidget(downloadsView);

    horizontalLayout->addWidget(widget_16);

    widget = new QWidget(window);
    widget->setObjectName(QStringLiteral("widget"));
    verticalLayout = new QVBoxLayout(widget);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setContentsMargins(2, 2, 2, 2);

    tabWidget = new QTabWidget(widget);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    tabWidget->setStyleSheet(QString::fromLatin1(kTabStyle));

    tab_success = new QWidget();
    tab_success->setObjectName(QStringLiteral("tab_success"));
    verticalLayout_2 = new QVBoxLayout(tab_success);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    verticalLayout_2->setContentsMargins(0, 0, 0, 0);
    finished_downloadsView = new EditTableView(tab_success);
    finished_downloadsView->setObjectName(QStringLiteral("finished_downloadsView"));
    verticalLayout_2->addWidget(finished_downloadsView);
    tabWidget->addTab(tab_success, QString());

    tab_failure = new QWidget();
    tab_failure->setObjectName(QStringLiteral("tab_failure"));
    tab_failure->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding));
    verticalLayout_3 = new QVBoxLayout(tab_failure);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));
    verticalLayout_3->setContentsMargins(0, 0, 0, 0);
    failure_downloadsView = new EditTableView(tab_failure);
    failure_downloadsView->setObjectName(QStringLiteral("failure_downloadsView"));
    verticalLayout_3->addWidget(failure_downloadsView);
    tabWidget->addTab(tab_failure, QString());

    verticalLayout->addWidget(tabWidget);
    horizontalLayout->addWidget(widget);

    retranslateUi(window);
    tabWidget->setCurrentIndex(0);
    QMetaObject::connectSlotsByName(window);
}

void Ui_Download_presentation::retranslateUi(QWidget *window)
{
    window->setWindowTitle(QCoreApplication::translate("Download_presentation", "Form"));
    label_14->setText(QCoreApplication::translate("Download_presentation", "Img"));
    label_current_download->setText(QCoreApplication::translate("Download_presentation", "En cours"));
    tabWidget->setTabText(tabWidget->indexOf(tab_success),
                          QCoreApplication::translate("Download_presentation", "Réussis"));
    tabWidget->setTabText(tabWidget->indexOf(tab_failure),
                          QCoreApplication::translate("Download_presentation", "Echoués"));
}
