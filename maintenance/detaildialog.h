#pragma once
#include <QDialog>

class QDialogButtonBox;
class QTextBrowser;

// Read-only view of what a crash report will send.
class DetailDialog : public QDialog
{
    Q_OBJECT
public:
    explicit DetailDialog(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const;

private:
    QTextBrowser *textBrowser = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
};
