#pragma once
#include <QFile>

#include "presentation_interface.h"

class ff_export;

// The job row of one encoded export: starts the export worker when the job
// window starts it, shows the progress by recorded time, lets the user stop
// it, reports an error with its text, and offers the file and its folder at
// the end. The row owns its worker: it is deleted when it ends, and a row
// deleted earlier stops it and waits for its thread first.
class EncodeItem_Presentation : public Presentation_Interface
{
    Q_OBJECT
public:
    explicit EncodeItem_Presentation(const QString &outputPath);
    ~EncodeItem_Presentation() override;

    // Hands over the configured worker; the row owns it from then on.
    void set_exporter(ff_export *exporter);
    ff_export *exporter() const { return m_exporter; }

    void init() override;
    void setFinished() override;
    void setStarted() override;
    bool hasErrors() override;
    QString fileName() override;
    void updateInfoLabel() override;
    QString finalText() const override { return m_finalText; }
    QString formatSize(qint64 bytes) override;

    int span() const { return m_span; }

Q_SIGNALS:
    void stop_button_pressed();
    void tryAgainFromError(QString type);

public Q_SLOTS:
    void finished() override;
    void frame_downloaded_encoded(QString current_timestamp, QString end_timestamp);
    void start_downloading_item() override;
    void error(QNetworkReply::NetworkError code) override;
    void error(int code);
    // The export's name was taken by another file while it ran: that file
    // stays, the export was kept beside it as `keptAs`; a failure.
    void outputNameTaken(QString keptAs);
    void stop() override;
    void downloadReadyRead() override;
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void metaDataChanged() override;

private Q_SLOTS:
    void tryAgain() override;
    void open() override;
    void openRep() override;
    void destroy_exporter();

private:
    void releaseExporter();
    void showFailure(const QString &text);

    QFile m_output;
    QString m_outputPath;
    QString m_finalText;
    int m_span = -1;
    bool m_blocking = false;
    ff_export *m_exporter = nullptr;
    bool m_endHandled = false;
};
