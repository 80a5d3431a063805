#pragma once
#include <QFile>
#include <QPointer>

#include "presentation_interface.h"

class ZuDownload_encode_data;

// The job row of one recording download: starts its worker when the job
// window starts it, shows the time position reached against the end of the
// range, the worker's status texts and error texts, and offers stop, retry,
// open and open-folder.
//
// The job window hands one worker from a row to the copies it makes of it
// (the failed row, the retried job). The worker goes once no row holds it
// any more: a run still going is stopped and its thread joined.
class DownloadEncodeItem_Presentation : public Presentation_Interface
{
    Q_OBJECT
public:
    // `parent` is not used: the row gets its parent when the window places it.
    DownloadEncodeItem_Presentation(QWidget *parent, const QString &fileName);
    ~DownloadEncodeItem_Presentation() override;

    void setDownloadEncodeObject(ZuDownload_encode_data *worker);
    ZuDownload_encode_data *downloadEncodeObject() const;
    // Gives the worker up without disposing of it: the caller takes it.
    ZuDownload_encode_data *takeDownloadEncodeObject();
    void setInError(bool inError);
    void resetFlags();

    void init() override;
    void setFinished() override;
    void setStarted() override;
    bool hasErrors() override;
    QString fileName() override;
    void updateInfoLabel() override;
    QString formatSize(qint64 bytes) override;

    int rangeSeconds() const { return m_rangeSeconds; }

    // How many rows hold `worker`.
    static int holders(const ZuDownload_encode_data *worker);

Q_SIGNALS:
    void stop_button_pressed();
    void tryAgainFromError(QString type);

public Q_SLOTS:
    void finished() override;
    void frame_downloaded_encoded(QString current_timestamp, QString end_timestamp);
    void generic_message(QString message);
    void start_downloading_item() override;
    void error(QNetworkReply::NetworkError code) override;
    void error(int code);
    void stop_button();
    void stop() override;
    void downloadReadyRead() override;
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void metaDataChanged() override;

private Q_SLOTS:
    void tryAgain() override;
    void open() override;
    void openRep() override;

private:
    void startWorker();
    void detachWorker();
    // True (and logged) when a worker report reaches a row whose run has ended.
    bool ignoreReport(const char *what) const;

    QPointer<ZuDownload_encode_data> m_worker;
    QString m_fileName;
    QFile m_output;
    int m_rangeSeconds = -1;
    bool m_errors = false;
    // The row's run has ended (finished, error or stop): later worker
    // reports belong to no run of this row.
    bool m_runEnded = false;
    bool m_startPending = false;
};
