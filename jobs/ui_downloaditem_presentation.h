#pragma once
// The row form of every job item, written by hand in the shape a designer
// form would generate.
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

#include "squeezelabel.h"

class Ui_DownloadItem_Presentation
{
public:
    QHBoxLayout *horizontalLayout = nullptr;
    QLabel *fileIcon = nullptr;
    QWidget *widget = nullptr;
    QVBoxLayout *verticalLayout_2 = nullptr;
    SqueezeLabel *fileNameLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    SqueezeLabel *downloadInfoLabel = nullptr;
    QWidget *widget1 = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QSpacerItem *verticalSpacer = nullptr;
    QPushButton *tryAgainButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *openRepButton = nullptr;
    QSpacerItem *verticalSpacer_2 = nullptr;

    void setupUi(QWidget *item);
    void retranslateUi(QWidget *item);
};

namespace Ui {
class DownloadItem_Presentation : public Ui_DownloadItem_Presentation
{
};
} // namespace Ui
