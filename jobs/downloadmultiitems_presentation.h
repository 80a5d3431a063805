#pragma once
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>

#include "presentation_interface.h"

class ZuDownload_thread;

// One file of a multi-file download. The fields without a name here are
// carried along unchanged with the record.
struct DownloadFileRecord {
    QString field1;
    QString size; // decimal text, in units of 1024 bytes
    QString url;
    QString path; // the local file
    QString field5;
    QString sha256; // lower-case hexadecimal
    QString field7;
    QString field8;
};

// A job of the job window that downloads a list of files one after the other
// into a folder, one transfer thread per file, checks each file's SHA-256,
// retries a failed file up to five times and keeps those that finally failed
// in an error list. Type tag "multi" when the window creates it.
//
// A file is written under a part file of its own (see ZuDownload_thread) and
// moved into place only once it is complete and its digest matches the one
// the server sent; a file already at the destination is replaced only then.
class DownloadMultiItems_Presentation : public Presentation_Interface
{
    Q_OBJECT
public:
    static constexpr int kMaxRetries = 5;
    static constexpr int kRetryDelayMs = 1000;

    DownloadMultiItems_Presentation(QList<DownloadFileRecord> pending, QList<DownloadFileRecord> done,
                                    QString folder);
    ~DownloadMultiItems_Presentation() override;

    QString folder() const { return m_folder; }
    QList<DownloadFileRecord> pendingFiles() const { return m_pending; }
    QList<DownloadFileRecord> doneFiles() const { return m_done; }
    QList<DownloadFileRecord> errorFiles() const { return m_errors; }
    void setInError(bool inError) { setInErrorFlag(inError); }

    void get_data_with_libcurl(QString url);

    void init() override;
    void setFinished() override;
    bool hasErrors() override;
    void start_downloading_item() override;
    bool downloadedSuccessfully() override;
    QString fileName() override;
    void updateInfoLabel() override;
    QString formatSize(qint64 bytes) override;

    // For the transfer thread: the file it writes, and the number of the
    // current transfer (its posted changes to this row are dropped once the
    // row has moved on to another transfer).
    QFile &outputFile() { return m_output; }
    quint64 transferGeneration() const { return m_generation; }
    // What the transfer thread does to the row when it gives up on a reply:
    // the row shows its retry button and the transfer is told to end. Not a
    // stop of the job: the failure is retried.
    void interruptTransfer();

    // `url` with "file_hash=1" added to its query, unless it names a file
    // type sent without a digest or already asks for one.
    static QString withFileHashQuery(const QString &url);
    // A bit count as "%1 %2": Bit below 1024, kBit below 1048576, MBit above.
    static QString formatRate(qint64 bits);

Q_SIGNALS:
    void tryAgainFromError(QString type);

public Q_SLOTS:
    // The transfer thread, not a network reply, carries the data.
    void downloadReadyRead() override;
    void error(QNetworkReply::NetworkError code) override;
    void metaDataChanged() override;
    void finished() override;
    void error(QString url, QString code);
    void stop_button();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void item_finished(QString file_sha);
    // Stops the job (the Stop button after its confirmation, or the window
    // closing): the transfer ends, its partial file goes, retry is offered.
    void stop() override;

private Q_SLOTS:
    void tryAgain() override;
    void open() override;
    void openRep() override;

private:
    void releaseTransfer();
    // Makes the first pending file the current one and starts its transfer.
    void startCurrent(const char *logPrefix, const char *urlLogPrefix);
    // Moves the current file's checked part file into place; false (and the
    // part file removed) when it is not the file the server described.
    bool acceptCurrentFile(const QString &fileSha);

    ZuDownload_thread *m_transfer = nullptr;
    quint64 m_generation = 0;
    qint64 m_bytesDone = 0;
    QList<DownloadFileRecord> m_pending;
    QList<DownloadFileRecord> m_errors;
    QList<DownloadFileRecord> m_done;
    DownloadFileRecord m_current;
    QString m_currentUrl;
    QFile m_output;
    QString m_nameText;
    QString m_folder;
    bool m_stopped = false;
    bool m_stoppedByUser = false;
    qint64 m_totalSize = -1;
    int m_retries = 0;
    quint64 m_retryGeneration = 0;
    // Of the transfer that has just ended well: its part file and the digest
    // of what it stored there.
    QString m_partFile;
    QString m_receivedSha;
};
