#pragma once
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Turns the PTZ gestures of the video surface into HTTP GET requests to a
// recorder's web PTZ page, one request in flight at a time. The base URL and
// the session are the surface's; they are passed with every call and never
// kept. Each query is the base followed by the gesture's keys, then
// "&resolution=<w>x<h>&PHPSESSID=<session>".
//
// While a request is in flight the posts send nothing. A release at (0, 0)
// refused while a "holdclic" request is in flight starts a 500 ms timer whose
// security_stop() signal tells the surface to send the release again, so the
// stop of a move is retried until it goes out. Every request gives up after
// kTransferTimeoutMs without data, so a silent recorder keeps the client busy
// no longer; a reply is never read, and one longer than kMaxReplyBytes is cut
// off, so a recorder that keeps sending cannot either.
class PtzCtrlWeb : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTransferTimeoutMs = 5000;
    static constexpr int kSecurityStopMs = 500;
    static constexpr qint64 kMaxReplyBytes = 4 * 1024 * 1024;

    explicit PtzCtrlWeb(QObject *parent = nullptr);
    ~PtzCtrlWeb() override;

    void postArea(const QString &base, const QRect &area, int width, int height, const QString &session);
    void postClic(const QString &base, double x, double y, int width, int height, const QString &session);
    // 1 when sent, -1 when refused because a request is in flight.
    int postContinuous(const QString &base, bool press, double x, double y, int width, int height,
                       const QString &session);
    void postZoom(const QString &base, const QString &a, const QString &b, int width, int height,
                  const QString &session);
    void postRightClic(const QString &base, int width, int height, const QString &session);

    bool isReady() const { return ready; }
    bool securityStopPending() const;

signals:
    void security_stop();
    void send_request_finished(int status);

private slots:
    void request_finished(QNetworkReply *reply);

private:
    void get(const QString &base, const QString &query, int width, int height, const QString &session);

    QNetworkAccessManager *manager;
    QPointer<QNetworkReply> lastReply;
    bool ready = true;
    QTimer *securityTimer;
};
