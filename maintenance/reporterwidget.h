#pragma once
#include <QPointer>
#include <QWidget>

class DetailDialog;
namespace Ui {
class ReporterWidget;
}

// The dialog that offers to send a waiting crash dump with the log file, or
// to throw both away. It is opened by CrashFileChecker and only hidden when
// closed; closing it by its frame keeps the dump for the next start.
class ReporterWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ReporterWidget(QWidget *parent = nullptr);
    ReporterWidget(const QString &dumpFileName, const QString &dumpPath, QWidget *parent = nullptr);
    ~ReporterWidget() override;

    QString reportedDumpPath() const { return dumpPath; }

signals:
    void restartCrashedApplication();
    void sendDump();
    void restartCrashedApplicationAndSendDump();
    void emailAdressChanged(const QString &email);
    void commentChanged(const QString &comment);
    // The upload started by "Envoyer" has been answered (or has failed).
    void reportFinished(bool dumpAccepted, bool logAccepted);

protected:
    void changeEvent(QEvent *event) override;

private slots:
    void onSendClicked();
    void onQuitClicked();
    void showDetails();
    void onCommentTextChanged();

private:
    void setup();
    void showDumpDate();
    QString dumpDateText() const;

    Ui::ReporterWidget *ui = nullptr;
    QPointer<DetailDialog> detailDialog;
    bool descriptionEdited = false;
    QString dumpFileName;
    QString dumpPath;
    bool hasDumpInfo = false;
};
