#pragma once
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;

// Sends a crash dump and the log file to the crash-report server as one
// multipart/form-data POST, or throws both away when the user declines.
// One sender does one operation. The server answers per file; a file the
// server accepts is removed (the dump) or emptied (the log); anything else,
// including a transport or certificate failure or a redirect (never
// followed), keeps both for the next start.
class DumpSender : public QObject
{
    Q_OBJECT
public:
    explicit DumpSender(QObject *parent = nullptr);

    void setComment(const QString &comment);
    void setEmail(const QString &email);

    // Builds and posts the report. Returns false, touching nothing, when no
    // crash-report server is configured (or its address is unusable); the
    // outcome of a post arrives later through reportFinished().
    bool sendReport(const QString &dumpPath);
    // Deletes the dump and empties the log file, without any network use.
    void removeDump(const QString &dumpPath);

    // Deletes the sender once its reply has been handled (for senders that
    // nobody owns).
    void setDeleteWhenDone(bool on);

    // A report goes out over any line that still moves: the exchange may
    // last deadlineMs plus one second for every kMinUploadRate bytes of the
    // body, the upload failing sooner only when nothing more of it could be
    // sent for stallMs. The answer must end within deadlineMs of its start,
    // and at most answerBytes of it are read. Past any of these the report
    // fails (and both files stay for the next start).
    static constexpr qint64 kAnswerBytes = 64 * 1024;
    static constexpr int kDeadlineMs = 120000;
    static constexpr int kStallMs = 30000;
    static constexpr qint64 kMinUploadRate = 2000;
    void setLimits(qint64 answerBytes, int deadlineMs, int stallMs = kStallMs);

    // The upload address for the configured server ("<base>/traitement"),
    // invalid when none is configured.
    static QUrl reportUrl();
    // "OS <product type>_<kernel version>_<cpu architecture>".
    static QString osText();
    static QString logFilePath();
    // What the server's reply body says of each part: a part is accepted
    // when its "status" says OK, or ERROR with error code 4 (already known).
    struct ReplyVerdict
    {
        bool dumpAccepted = false;
        bool logAccepted = false;
    };
    static ReplyVerdict readReply(const QByteArray &answer);
    // The boundary used unless a part happens to contain it.
    static QByteArray defaultBoundary();

signals:
    void uploadProgress(qlonglong bytesSent, qlonglong bytesTotal);
    // Emitted once the server's reply (or the failure) has been handled.
    void reportFinished(bool dumpAccepted, bool logAccepted);

public slots:
    void slot_send_request_finished();
    void slot_manager_request_finished(QNetworkReply *reply);
    void slot_uploadprogress(qlonglong bytesSent, qlonglong bytesTotal);
    void slot_error(QNetworkReply::NetworkError error);

private:
    static void emptyLogFile();

    QUrl url;
    QString dumpPath;
    QString email;
    QString comment;
    QPointer<QNetworkReply> reply;
    QNetworkAccessManager *manager = nullptr;
    bool dumpSent = false;
    bool logSent = false;
    bool deleteWhenDone = false;
    qint64 answerLimit = kAnswerBytes;
    int deadlineMs = kDeadlineMs;
    int stallMs = kStallMs;
};
