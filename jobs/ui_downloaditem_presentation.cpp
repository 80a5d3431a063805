#include "ui_downloaditem_presentation.h"

#include "zutheme.h"

namespace {
const char kItemStyle[] =
    "QWidget{\n\tbackground:#333333;\n}\n"
    "#DownloadItem_Presentation{\n\tbackground:#333333;\n\tcolor:#fff;\n\tfont-family:\"Public Sans\";\n"
    "\tfont-size:14px;\n\tborder:none;\n}\n"
    "SqueezeLabel{\n\tcolor:white;\n}\n"
    "QProgressBar::chunk{\n\tbackground-color:#282828;\n\twidth:20px;\n}\n"
    "QPushButton{\n\tfont-weight:400;\n\tcolor:#fff;\n\tfont-size:14px;\n\tbackground:#656565;\n"
    "\tborder:1px solid #656565;\n\tborder-radius:3px;\n\tmargin-left:9px;\n\tmargin-right:9px;\n"
    "\tmargin-bottom:9px;\n\theight:22px;\n}\n"
    "QPushButton:hover{\n\tbackground:#787878;\n\tborder:1px solid #787878;\n}\n";
}

void Ui_DownloadItem_Presentation::setupUi(QWidget *item)
{
    if (item->objectName().isEmpty())
        item->setObjectName(QStringLiteral("DownloadItem_Presentation"));
    item->setWindowModality(Qt::NonModal);
    item->resize(423, 192);
    item->setSizePolicy(QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding));
    item->setMinimumSize(QSize(0, 0));
    item->setStyleSheet(QString::fromLatin1(kItemStyle) + QString::fromLatin1(ZuTheme::kProgressBarStyle));

    horizontalLayout = new QHBoxLayout(item);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setSpacing(0);
    horizontalLayout->setContentsMargins(0, 0, 0, 0);

    fileIcon = new QLabel(item);
    fileIcon->setObjectName(QStringLiteral("fileIcon"));
    fileIcon->setSizePolicy(QSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum));
    horizontalLayout->addWidget(fileIcon);

    widget = new QWidget(item);
    widget->setObjectName(QStringLiteral("widget"));
    widget->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding));
    verticalLayout_2 = new QVBoxLayout(widget);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setSizeConstraint(QLayout::SetMaximumSize);

    fileNameLabel = new SqueezeLabel(widget);
    fileNameLabel->setObjectName(QStringLiteral("fileNameLabel"));
    fileNameLabel->setSizePolicy(QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred));
    fileNameLabel->setMinimumSize(QSize(0, 0));
    verticalLayout_2->addWidget(fileNameLabel);

    progressBar = new QProgressBar(widget);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setValue(0);
    verticalLayout_2->addWidget(progressBar);

    downloadInfoLabel = new SqueezeLabel(widget);
    downloadInfoLabel->setObjectName(QStringLiteral("downloadInfoLabel"));
    downloadInfoLabel->setSizePolicy(QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred));
    downloadInfoLabel->setMinimumSize(QSize(0, 0));
    verticalLayout_2->addWidget(downloadInfoLabel);

    horizontalLayout->addWidget(widget);

    widget1 = new QWidget(item);
    widget1->setObjectName(QStringLiteral("widget1"));
    widget1->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding));
    widget1->setStyleSheet(QStringLiteral("QWidget{\n\tbackground:#333333;\n}"));
    verticalLayout = new QVBoxLayout(widget1);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSizeConstraint(QLayout::SetFixedSize);
    verticalLayout->setContentsMargins(0, 0, 0, 0);

    verticalSpacer = new QSpacerItem(17, 1, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer);

    tryAgainButton = new QPushButton(widget1);
    tryAgainButton->setObjectName(QStringLiteral("tryAgainButton"));
    tryAgainButton->setEnabled(false);
    tryAgainButton->setMinimumSize(QSize(0, 30));
    verticalLayout->addWidget(tryAgainButton);

    stopButton = new QPushButton(widget1);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setMinimumSize(QSize(0, 30));
    verticalLayout->addWidget(stopButton);

    openButton = new QPushButton(widget1);
    openButton->setObjectName(QStringLiteral("openButton"));
    openButton->setSizePolicy(QSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed));
    openButton->setMinimumSize(QSize(0, 30));
    verticalLayout->addWidget(openButton);

    openRepButton = new QPushButton(widget1);
    openRepButton->setObjectName(QStringLiteral("openRepButton"));
    openRepButton->setMinimumSize(QSize(0, 30));
    verticalLayout->addWidget(openRepButton);

    verticalSpacer_2 = new QSpacerItem(17, 5, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer_2);

    horizontalLayout->addWidget(widget1, 0, Qt::AlignRight);

    retranslateUi(item);
    QMetaObject::connectSlotsByName(item);
}

void Ui_DownloadItem_Presentation::retranslateUi(QWidget *item)
{
    item->setWindowTitle(QCoreApplication::translate("DownloadItem_Presentation", "Form"));
    fileIcon->setText(QCoreApplication::translate("DownloadItem_Presentation", "Ico"));
    fileNameLabel->setText(QCoreApplication::translate("DownloadItem_Presentation", "Filename"));
    downloadInfoLabel->setText(QString());
    tryAgainButton->setText(QCoreApplication::translate("DownloadItem_Presentation", "Relancer"));
    stopButton->setText(QCoreApplication::translate("DownloadItem_Presentation", "Stop"));
    openButton->setText(QCoreApplication::translate("DownloadItem_Presentation", "Ouvrir"));
    openRepButton->setText(QCoreApplication::translate("DownloadItem_Presentation", "Ouvrir dossier"));
}
