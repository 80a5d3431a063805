#pragma once
#include <QDialog>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

// Shows the progress and the verdict of one integrity check of a day folder
// and lets the user stop it. Deletes itself when closed.
class IntegrityDialog : public QDialog
{
    Q_OBJECT
public:
    IntegrityDialog(QString root, QString date, QWidget *parent);

    // True between start_check() and end_check().
    bool isChecking() const;

signals:
    void user_stopped();

public slots:
    void is_hash_file_found(bool ok);
    void get_file_count(int n);
    void is_file_count_check(bool ok);
    void start_check();
    void end_check(bool ok);
    void begin_check_file(QString file);
    void end_check_file(QString file, bool ok);
    void handle_close_or_stop();

    // Escape and the window manager's close: while a check runs they ask it
    // to stop like the button does, and the dialog stays until the verdict.
    void reject() override;

private:
    QLabel *addStatusLine(const QString &text, const QString &style = QString());

    QProgressBar *progress = nullptr;
    QPushButton *button = nullptr;
    QVBoxLayout *messages = nullptr;
    QLabel *status = nullptr;
    QString root;
    QString date;
    int fileCount = 0;
    int filesBegun = 0;
    bool stopRequested = false;
};
