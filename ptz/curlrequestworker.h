#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

// One blocking HTTP request (GET, POST or PUT) with libcurl, meant to run on
// a worker thread of its own: the owner moves the worker to a fresh QThread
// and starts one of the run_* slots from the thread's started() signal. The
// outcome goes out as signals only:
//   cancelled                      error("Requête annulée par l'utilisateur")
//   libcurl failure c              error(message), result(text, status, c)
//   HTTP status < 400              finished(text), result(text, status, 0)
//   HTTP status >= 400             error("HTTP n..."), result(text, status, 0)
// Cameras get Basic or Digest as they offer it, with one retry after a 401,
// and an ISAPI connection that the camera drops is retried once with Basic.
//
// libcurl's global set-up must have been done (zuCurlGlobalInit) before the
// first request.
class CurlRequestWorker : public QObject
{
    Q_OBJECT
public:
    // A camera's PTZ answers are small: a longer reply is cut off and the
    // request fails (libcurl's write error, 23) instead of filling memory.
    static constexpr qsizetype kMaxResponseBytes = 4 * 1024 * 1024;

    CurlRequestWorker(QString url, QString user, QString password, QByteArray body, QObject *parent = nullptr);
    ~CurlRequestWorker() override;

    // The cancel flag, shared so that an owner can cancel from any thread
    // without touching the worker, which deletes itself on its own thread.
    std::shared_ptr<std::atomic_bool> cancelFlag() const { return m_cancel; }

signals:
    void finished(QString response);
    void error(QString message);
    void result(QString response, int httpStatus, int curlCode);

public slots:
    void run_put_request();
    void run_get_request();
    void run_post_request();
    // Thread-safe: call it directly (or through a direct connection); the
    // transfer stops at its next progress report (about a second at most).
    void requestCancel();

private:
    void perform_request(const char *method);

    QString url;
    QString user;
    QString password;
    QByteArray body;
    std::shared_ptr<std::atomic_bool> m_cancel;
    bool insecureTls = true;
};
