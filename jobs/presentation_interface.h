#pragma once
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QString>
#include <QWidget>

#include "ui_downloaditem_presentation.h"

// The base of every job row of the job window: the row's form, the three
// state flags and the type tag. The window reads a job only through these
// operations and learns of every change through statusChanged().
//
// Contract the window relies on: a running job is started and not finished;
// a successful one is finished with its retry button hidden; a failed one is
// in error with its retry button shown and enabled.
class Presentation_Interface : public QWidget, public Ui_DownloadItem_Presentation
{
    Q_OBJECT
public:
    explicit Presentation_Interface(QWidget *parent = nullptr);
    ~Presentation_Interface() override;

    virtual void init() = 0;
    virtual bool isFinished();
    virtual void setFinished() = 0;
    virtual void finished() = 0;
    virtual bool isInError();
    virtual bool isStarted();
    // Started and not finished.
    virtual void setStarted();
    virtual bool hasErrors() = 0;
    virtual void start_downloading_item() = 0;
    // Finished with the retry button hidden. "Hidden" is the button's own
    // state, not its visibility on screen: a row of a window that is not
    // shown (or not shown yet) must not count a failure as a success.
    virtual bool downloadedSuccessfully();
    // What the row of a finished job says on the succeeded list; empty for
    // the list's own text.
    virtual QString finalText() const { return QString(); }
    virtual QString fileName() = 0;
    virtual void setType(QString type);
    virtual QString type();
    virtual void updateInfoLabel() = 0;
    virtual QString formatSize(qint64 bytes) = 0;

    // A byte count as "%1 %2": bytes below 1 KiB, kB below 1 MiB, MB above.
    static QString formatByteSize(qint64 bytes, const char *context);
    // `value` as "%1 %2" with units[0] below 1024, units[1] (value / 1024)
    // below 1048576, units[2] (value / 1048576) above; units translated.
    static QString formatScaled(qint64 value, const char *const units[3], const char *context);

    // A failed job queued again: neither finished nor in error, so that the
    // window sees it as waiting.
    void clearFinishedAndError()
    {
        m_finished = false;
        m_inError = false;
    }
    // The transfer line of a row: received of total, rate and time left, or
    // the size reached. Guarded against a zero elapsed time and a zero rate.
    struct TransferText {
        qint64 received = 0;
        qint64 total = 0;
        qint64 elapsedMs = 0;
        bool successful = false;
        qint64 outputSize = 0;
        // A time left that rounds down to 0 reads 1 (or 0 when false).
        bool zeroReadsOne = true;
    };
    static QString transferText(const TransferText &t, const char *context);
    // Sets a progress bar's range and value from 64-bit byte counts; counts
    // over 2 GiB are scaled down so that they fit an int without overflow.
    static void setByteProgress(QProgressBar *bar, qint64 value, qint64 maximum);

    // A picture of the job window's resources (drawn as SVG) at `size`
    // logical pixels for a screen of `devicePixelRatio`.
    static QPixmap resourcePixmap(const QString &resource, int size, qreal devicePixelRatio);
    // The row icon for a file: a video page for the export formats' files,
    // a plain page for any other.
    static QString fileIconResource(const QString &fileName);
    // Shows the icon of fileName() at 48 x 48 in the row.
    void showFileIcon();

public Q_SLOTS:
    // What a row does with a network reply of its own; rows without one
    // only log them, or ignore them.
    virtual void downloadReadyRead() = 0;
    virtual void error(QNetworkReply::NetworkError code) = 0;
    virtual void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) = 0;
    virtual void metaDataChanged() = 0;
    virtual void stop() = 0;

private Q_SLOTS:
    virtual void tryAgain() = 0;
    virtual void open() = 0;
    virtual void openRep() = 0;

Q_SIGNALS:
    void statusChanged();

protected:
    // The form, its four buttons wired to this row's slots, and the look
    // every row shares.
    void setupRow();
    // Stop off, both open buttons on: a row that is not running.
    void showOpenButtons();
    // Stop on, both open buttons off, the bar shown: a running row.
    void showRunningButtons();
    // The transfer's total: a size given in KiB (m_sizeText) wins over the
    // reported one.
    qint64 totalBytes() const;
    // Takes a progress report into the byte counts and the bar (a total of
    // -1 is unknown: a busy bar), then updates the info label.
    void recordProgress(qint64 bytesReceived, qint64 bytesTotal);
    // The transfer line of the byte counts into the info label; `outputPath`
    // gives the size reached once the row has succeeded.
    void showTransferText(const QString &outputPath, const char *context, bool zeroReadsOne = true);

    QString m_sizeText;
    qint64 m_bytesReceived = 0;
    qint64 m_bytesTotal = 0;
    QElapsedTimer m_elapsed;
    // The state the window reads. A running row: started, not finished, not
    // in error; an ended one: finished, neither started nor in error.
    void setRunning() { setState(true, false, false); }
    void setEnded() { setState(false, true, false); }
    void setState(bool started, bool finished, bool inError)
    {
        m_started = started;
        m_finished = finished;
        m_inError = inError;
    }
    void setStartedFlag(bool started) { m_started = started; }
    void setFinishedFlag(bool finished) { m_finished = finished; }
    void setInErrorFlag(bool inError) { m_inError = inError; }

    QString m_type;

private:
    bool m_finished = false;
    bool m_started = false;
    bool m_inError = false;
};
