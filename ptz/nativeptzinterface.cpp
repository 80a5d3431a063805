#include "nativeptzinterface.h"

#include "curlrequestworker.h"
#include "peertext.h"
#include "zulog.h"

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>

NativePTZInterface::NativePTZInterface(const PtzCamera &camera, const QString &name, QObject *parent)
    : QObject(parent)
    , scheme(camera.scheme)
    , host(camera.host)
    , port(camera.port)
    , login(camera.login)
    , password(camera.password)
    , indexText(camera.indexText)
    , driverName(name)
{
}

NativePTZInterface::~NativePTZInterface()
{
    // The worker may be in the middle of a transfer: ask libcurl to give up
    // (through the shared flag, never through the worker, which may be
    // deleting itself on its own thread) and wait for the thread to end.
    if (requestThread) {
        if (workerCancel)
            workerCancel->store(true);
        requestThread->quit();
        requestThread->wait();
        // The thread deletes its worker when it ends; one that never got as
        // far as its deleteLater goes here.
        delete worker.data();
        delete requestThread;
        requestThread = nullptr;
    }
}

int NativePTZInterface::percentSpeed(float v)
{
    return std::isfinite(v) ? int(std::lround(qBound(-1.0f, v, 1.0f) * 100.0f)) : 0;
}

int NativePTZInterface::pixelValue(float v)
{
    return std::isfinite(v) ? int(qBound(-1e6f, v, 1e6f)) : 0;
}

QPointF NativePTZInterface::towardPoint(double x, double y, int width, int height)
{
    if (width <= 0 || height <= 0)
        return {};
    return {qBound(-1.0, x / width * 2.0 - 1.0, 1.0), qBound(-1.0, 1.0 - y / height * 2.0, 1.0)};
}

QString NativePTZInterface::areaZoom(float x, float y, int width, int height, int areaWidth, int areaHeight)
{
    if (areaWidth <= 0 || areaHeight <= 0 || width <= 0 || height <= 0)
        return QString();
    const double factor = std::min(double(width) / areaWidth, double(height) / areaHeight);
    return QStringLiteral("%1,%2,%3")
        .arg(pixelValue(x + areaWidth / 2.0f))
        .arg(pixelValue(y + areaHeight / 2.0f))
        .arg(int(qBound(1.0, std::round(factor * 100.0), 9999.0)));
}

bool NativePTZInterface::isProbeCommand(const QString &name)
{
    return name.startsWith(QLatin1String("Probe"), Qt::CaseInsensitive);
}

void NativePTZInterface::queue_get(const QString &url) { queue(Get, url, QByteArray()); }
void NativePTZInterface::queue_post(const QString &url, const QByteArray &body) { queue(Post, url, body); }
void NativePTZInterface::queue_put(const QString &url, const QByteArray &body) { queue(Put, url, body); }

void NativePTZInterface::queue(Method method, const QString &url, const QByteArray &body)
{
    if (!requestThread) {
        send(method, Request{currentCommand, currentIsStop}, url, body);
        return;
    }
    pendingMethod = method;
    pendingRequest = Request{currentCommand, currentIsStop};
    pendingUrl = url;
    pendingBody = body;
}

void NativePTZInterface::send_pending()
{
    if (requestThread || pendingMethod == None)
        return;
    const auto method = Method(pendingMethod);
    const Request request = pendingRequest;
    const QString url = pendingUrl;
    const QByteArray body = pendingBody;
    pendingMethod = None;
    pendingRequest = Request();
    pendingUrl.clear();
    pendingBody.clear();
    send(method, request, url, body);
}

void NativePTZInterface::send(Method method, const Request &request, const QString &url, const QByteArray &body)
{
    currentCommand = request.command;
    currentIsStop = request.stop;
    auto *w = new CurlRequestWorker(url, login, password, method == Get ? QByteArray() : body);
    worker = w;
    workerCancel = w->cancelFlag();
    auto *thread = new QThread(this);
    requestThread = thread;
    w->moveToThread(thread);

    switch (method) {
    case Get:
        connect(thread, &QThread::started, w, &CurlRequestWorker::run_get_request);
        break;
    case Put:
        connect(thread, &QThread::started, w, &CurlRequestWorker::run_put_request);
        break;
    default:
        connect(thread, &QThread::started, w, &CurlRequestWorker::run_post_request);
        break;
    }
    connect(w, &CurlRequestWorker::finished, this,
            [this, method, request](const QString &reply) { on_reply(method, request, reply); },
            Qt::QueuedConnection);
    connect(w, &CurlRequestWorker::error, this,
            [this, method, request](const QString &message) { on_error(method, request, message); },
            Qt::QueuedConnection);
    connect(w, &CurlRequestWorker::finished, w, &QObject::deleteLater);
    connect(w, &CurlRequestWorker::error, w, &QObject::deleteLater);
    // quit() is thread-safe; called directly it needs nothing of the GUI
    // thread, so a driver waiting for the thread in its destructor cannot
    // block the thread's end.
    connect(w, &CurlRequestWorker::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(w, &CurlRequestWorker::error, thread, &QThread::quit, Qt::DirectConnection);
    connect(thread, &QThread::finished, this, [this, thread] {
        // QThread's destructor waits for a thread that is still finishing.
        thread->deleteLater();
        if (requestThread == thread) {
            requestThread = nullptr;
            workerCancel.reset();
        }
        send_pending();
    }, Qt::QueuedConnection);

    idle = false;
    thread->start(QThread::InheritPriority);
}

void NativePTZInterface::on_reply(Method method, const Request &request, const QString &reply)
{
    const QString &command = request.command;
    bool failed = false;
    if (!reply.isEmpty()) {
        if (method == Post)
            failed = reply.contains(QLatin1String("Error"), Qt::CaseInsensitive)
                || reply.contains(QLatin1String("\"error\""), Qt::CaseInsensitive);
        else
            failed = reply.contains(QLatin1String("Error"));
    }
    if (failed) {
        emit status_message(-2, command, QStringLiteral("PTZ command failed :: ") + reply, driverName);
        idle = true;
        emit send_request_finished(-1);
        emit send_request_finished_ex(-1, command, reply);
        stop_outcome(request.stop, false);
        return;
    }
    idle = true;
    stop_outcome(request.stop, true);
    emit send_request_finished(1);
    emit send_request_finished_ex(1, command, reply);
}

void NativePTZInterface::on_error(Method method, const Request &request, const QString &message)
{
    const QString &command = request.command;
    const char *name = method == Get ? "send GET" : method == Put ? "send PUT" : "send POST";
    const bool probe = isProbeCommand(command);
    if (probe)
        logMessage(QStringLiteral("[INFO] Native PTZ interface :: %1 :: probe failed :: ").arg(QLatin1String(name))
                   + peertext::clean(message));
    else
        logMessage(QStringLiteral("[ERROR] Native PTZ interface :: %1 :: error :: ").arg(QLatin1String(name)) + peertext::clean(message));
    idle = true;
    emit send_request_finished(-1);
    emit send_request_finished_ex(-1, command, message);
    if (!probe)
        emit status_message(-2, command, QStringLiteral("PTZ command failed"), driverName);
    stop_outcome(request.stop, false);
}

void NativePTZInterface::stop_outcome(bool stop, bool ok)
{
    if (ok) {
        securityStopArmed = false;
        return;
    }
    // A lost stop would leave the camera turning: try once more.
    if (!stop || securityStopArmed)
        return;
    securityStopArmed = true;
    QTimer::singleShot(kSecurityStopRetryMs, this, [this] { fire_security_stop(); });
}
