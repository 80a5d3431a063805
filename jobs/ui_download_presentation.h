#pragma once
// The job window's form, written by hand in the shape a designer form would
// generate.
#include <QHBoxLayout>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

class EditTableView;

class Ui_Download_presentation
{
public:
    QHBoxLayout *horizontalLayout = nullptr;
    QWidget *widget_16 = nullptr;
    QVBoxLayout *verticalLayout_10 = nullptr;
    QWidget *widget_17 = nullptr;
    QHBoxLayout *horizontalLayout_13 = nullptr;
    QLabel *label_14 = nullptr;
    QLabel *label_current_download = nullptr;
    EditTableView *downloadsView = nullptr;
    QWidget *widget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QTabWidget *tabWidget = nullptr;
    QWidget *tab_success = nullptr;
    QVBoxLayout *verticalLayout_2 = nullptr;
    EditTableView *finished_downloadsView = nullptr;
    QWidget *tab_failure = nullptr;
    QVBoxLayout *verticalLayout_3 = nullptr;
    EditTableView *failure_downloadsView = nullptr;

    void setupUi(QWidget *window);
    void retranslateUi(QWidget *window);
};

namespace Ui {
class Download_presentation : public Ui_Download_presentation
{
};
} // namespace Ui
