#pragma once
#include <QCryptographicHash>
#include <QString>
#include <QThread>

#include <atomic>
#include <curl/curl.h>
#include <functional>

#include "zudownload_reply.h"

class DownloadMultiItems_Presentation;

// Downloads one URL over HTTP or HTTPS (libcurl's multi interface around one
// easy handle, on this thread) into the output file of the multi-file job
// that owns it. It reads the reply's SHA-256 digest header, recognises
// replies that carry an error page or an error object instead of file data,
// and ends every run with exactly one of download_finished and
// download_error.
//
// Only the body of a successful answer is stored; no redirect is followed
// (a 3xx answer fails the file with its status). The data goes to a part
// file of a fresh hidden name beside the file (created exclusively, locked
// while written) and is hashed as it arrives; the owner checks the digest
// and moves the part file into place. Part files of this program that no
// transfer holds any more (the program was killed) are removed when the
// next transfer starts writing into their folder; a file of any other name
// is never touched.
//
// Everything it changes on the owner's row (texts, buttons, halting the
// job) is posted to the owner's thread and dropped once the owner has moved
// on to another transfer.
class ZuDownload_thread : public QThread
{
    Q_OBJECT
public:
    ZuDownload_thread(DownloadMultiItems_Presentation *owner, QString url);
    ~ZuDownload_thread() override;

    // Any thread. The transfer ends at its next progress report (at most
    // about a second later on a silent connection).
    void set_stop();
    bool stopRequested() const { return m_stop.load(); }

    bool get_data_with_libcurl(QString url);

    // Once the run has ended: the part file it wrote (empty when none) and
    // the lower-case hexadecimal SHA-256 of the bytes stored there.
    QString partFile() const { return m_partPath; }
    QString receivedSha256() const { return m_received; }

Q_SIGNALS:
    void download_finished(QString file_sha);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void download_error(QString url, QString error_message);
    void statusChanged();

protected:
    void run() override;

private:
    static size_t write_callback(char *ptr, size_t size, size_t nmemb, void *userdata);
    static size_t header_callback(char *buffer, size_t size, size_t nitems, void *userdata);
    static int progress_callback(void *clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                                 curl_off_t ulnow);

    void read_stream(const char *data, size_t size);
    void refuseReply(const QString &contentType, const QByteArray &chunk);
    // After the transfer: removes a failed file, examines one without a
    // digest, and sends the one terminal signal.
    void endTransfer();
    // The first failure of the run is the one reported.
    void fail(const QString &message);
    // Runs `call` on the owner's thread, unless the owner has started another
    // transfer meanwhile.
    void toOwner(std::function<void(DownloadMultiItems_Presentation *)> call);
    static QString failureText(const QString &value);
    // `text` on the owner's row, with the owner's transfer halted.
    void showFailure(const QString &text, bool hideOpenFolder);

    ZuDownloadReply::Headers m_headers;
    CURL *m_easy = nullptr;
    CURLM *m_multi = nullptr;
    DownloadMultiItems_Presentation *m_owner;
    int m_stillRunning = -1;
    std::atomic_bool m_stop{false};
    bool m_error = false;
    QString m_url;

    QString m_outputPath; // the owner's current file, read when constructed
    quint64 m_generation = 0;
    bool m_opened = false;        // this run opened the output (and so may remove it)
    bool m_replyRefused = false;  // an error reply has been reported
    QString m_failure;
    QString m_partPath;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QString m_received;
    qint64 m_lastNow = -1;
    qint64 m_lastTotal = -1;
};
