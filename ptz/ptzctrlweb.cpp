#include "ptzctrlweb.h"

#include "http_singleton.h"
#include "logaddress.h"
#include "zulog.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace {
// Coordinates go out truncated toward zero; what is not a number goes out as 0.
QString truncated(double v)
{
    if (!std::isfinite(v))
        return QStringLiteral("0");
    return QString::number(qint64(qBound(-1e15, std::trunc(v), 1e15)));
}
// The session identifier and the user information in the address are
// credentials: they stay out of the log.
QString loggableUrl(const QUrl &url)
{
    return maskedAddress(url);
}
} // namespace

PtzCtrlWeb::PtzCtrlWeb(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager)
    , securityTimer(new QTimer)
{
    securityTimer->setSingleShot(true);
    connect(securityTimer, &QTimer::timeout, this, &PtzCtrlWeb::security_stop);
    connect(manager, &QNetworkAccessManager::finished, this, &PtzCtrlWeb::request_finished);
}

PtzCtrlWeb::~PtzCtrlWeb()
{
    // The manager takes its replies with it; nothing of them may come back
    // to this half-destroyed object.
    manager->disconnect(this);
    delete securityTimer;
    delete manager;
}

bool PtzCtrlWeb::securityStopPending() const { return securityTimer->isActive(); }

void PtzCtrlWeb::get(const QString &base, const QString &query, int width, int height, const QString &session)
{
    const QString text = base + query + QStringLiteral("&resolution=") + QString::number(width) + QLatin1Char('x')
        + QString::number(height) + QStringLiteral("&PHPSESSID=") + session;
    QNetworkRequest request{QUrl(text)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Connection", "keep-alive");
    request.setRawHeader("User-Agent", Http_singleton::instance()->accessString(QString(), false).toLatin1());
    request.setTransferTimeout(kTransferTimeoutMs);
    ready = false;
    QNetworkReply *reply = manager->get(request);
    reply->ignoreSslErrors();
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxReplyBytes && reply->isRunning())
            reply->abort();
    });
    lastReply = reply;
}

void PtzCtrlWeb::postArea(const QString &base, const QRect &area, int width, int height, const QString &session)
{
    if (!ready) {
        logMessage("[WARN] PTZ Ctrl Web :: previous request not finished");
        return;
    }
    get(base,
        QStringLiteral("&area=%1,%2,%3,%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height()),
        width, height, session);
}

void PtzCtrlWeb::postClic(const QString &base, double x, double y, int width, int height, const QString &session)
{
    if (!ready) {
        logMessage("[WARN] PTZ Ctrl Web :: clic :: previous request not finished");
        return;
    }
    get(base, QStringLiteral("&clic=") + truncated(x) + QLatin1Char(',') + truncated(y), width, height, session);
}

int PtzCtrlWeb::postContinuous(const QString &base, bool press, double x, double y, int width, int height,
                               const QString &session)
{
    if (!ready) {
        // A release that meets a move still in flight must not be lost.
        if (x == 0.0 && y == 0.0 && lastReply && lastReply->url().toString().contains(QLatin1String("holdclic"))
            && !securityTimer->isActive())
            securityTimer->start(kSecurityStopMs);
        return -1;
    }
    get(base,
        (press ? QStringLiteral("&holdclic=") : QStringLiteral("&releaseclic=")) + truncated(x) + QLatin1Char(',')
            + truncated(y),
        width, height, session);
    logMessage(QStringLiteral("[INFO] PTZ Ctrl Web :: post continuous :: ") + loggableUrl(lastReply->url()));
    return 1;
}

void PtzCtrlWeb::postZoom(const QString &base, const QString &a, const QString &b, int width, int height,
                          const QString &session)
{
    if (!ready) {
        logMessage("[WARN] PTZ Ctrl Web :: previous request not finished");
        return;
    }
    get(base, QStringLiteral("&zoom=") + a + QLatin1Char(',') + b, width, height, session);
}

void PtzCtrlWeb::postRightClic(const QString &base, int width, int height, const QString &session)
{
    if (!ready) {
        logMessage("[WARN] PTZ Ctrl Web :: previous request not finished");
        return;
    }
    get(base, QStringLiteral("&rightclic=1"), width, height, session);
}

void PtzCtrlWeb::request_finished(QNetworkReply *reply)
{
    // Whatever the recorder answered (or failed to), the gesture is done.
    ready = true;
    reply->deleteLater();
    emit send_request_finished(1);
}
