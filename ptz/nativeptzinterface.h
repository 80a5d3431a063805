#pragma once
#include <QByteArray>
#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QString>

#include <atomic>
#include <memory>

class CurlRequestWorker;
class QNetworkAccessManager;
class QThread;

// Where a native driver finds its camera. URLs are built as
// scheme "://" host ":" port and a path.
struct PtzCamera
{
    QString scheme = QStringLiteral("http");
    QString host;
    QString port = QStringLiteral("80");
    QString login;
    QString password;
    QString indexText = QStringLiteral("0"); // camera channel, a decimal integer
};

// Base of the drivers that talk to a camera directly instead of through the
// recorder's web page. It holds the camera's address and credentials, the
// two switches the video surface tests before every native gesture, and a
// request dispatcher: each HTTP request runs in a CurlRequestWorker on a
// thread of its own, one request at a time; a request made meanwhile waits
// as the single pending one, a newer one replacing an older one.
//
// Status codes of status_message: 1 information, 0 a query answered without
// usable content ("not supported"), -1 capability missing or a query failed,
// -2 a command failed, -99 the camera cannot be reached at all (the video
// surface then switches native PTZ off).
//
// Commands that probe an endpoint (names beginning with "Probe") fail
// quietly: logged at INFO level, no status message.
//
// Destroying a driver cancels the request that runs and joins its thread.
class NativePTZInterface : public QObject
{
    Q_OBJECT
public:
    static constexpr int kSecurityStopRetryMs = 500;

    NativePTZInterface(const PtzCamera &camera, const QString &driverName, QObject *parent = nullptr);
    ~NativePTZInterface() override;

    // One PTZ command in the camera's own protocol. The video surface sends
    //  "clic"        x, y: the clicked point in frame pixels; width, height:
    //                the frame size
    //  "area"        x, y: top-left corner of the selected rectangle, areaWidth,
    //                areaHeight its size (frame pixels); width, height the frame
    //  "right_clic"  x, y: the clicked point; width, height the frame
    //  "ContinuousMove"  flag false: pan x and tilt y speeds in -1..1 while
    //                the button is held; flag true (wheel): zoom speed z in -1..1
    //  "PanTilt_ContinuousMove"       pan x and tilt y speeds (a repeated move)
    //  "STOP_PanTilt_ContinuousMove"  stops pan and tilt
    // and the security stops send "ContinuousMove" with all speeds 0 and
    // "STOP". `index` is the caller's camera index (the drivers' own calls
    // pass indexText's value); width, height, areaWidth and areaHeight are -1
    // where they do not apply.
    virtual void send_command(QString command, bool flag, float x, float y, float z, int width, int height,
                              int index, int areaWidth, int areaHeight) = 0;
    // The driver's PTZ state in words; the text of positive status messages.
    virtual QString status_text() = 0;

    bool isPtzAvailable() const { return ptzAvailable; }
    bool isPtzEnabled() const { return ptzEnabled; }
    void setPtzEnabled(bool enabled) { ptzEnabled = enabled; }
    bool isIdle() const { return idle; }
    // A request runs (its thread has not ended yet).
    bool isBusy() const { return requestThread != nullptr; }

    static bool isProbeCommand(const QString &name);
    // Where a frame point lies from the frame's centre, as pan (right +) and
    // tilt (up +) speeds in -1..1; (0, 0) without a frame size.
    static QPointF towardPoint(double x, double y, int width, int height);

signals:
    void send_request_finished(int status);
    void status_message(int status, QString command, QString fault, QString driver);
    void send_request_finished_ex(int status, QString command, QString response);

protected:
    // The request goes out under the name in currentCommand at the time of
    // the call; its reply and errors are reported under that name even when
    // a later command has been queued meanwhile.
    void queue_get(const QString &url);
    void queue_post(const QString &url, const QByteArray &body);
    // A PUT follows the same one-at-a-time rule as the other methods.
    void queue_put(const QString &url, const QByteArray &body);
    void send_pending();
    QString baseUrl() const { return scheme + QStringLiteral("://") + host + QLatin1Char(':') + port; }
    int indexValue() const { return indexText.toInt(); }
    // A speed of -1..1 as -100..100 (bounded; not a number gives 0).
    static int percentSpeed(float v);
    // A frame coordinate as an integer (truncated; not a number gives 0).
    static int pixelValue(float v);
    // "x,y,zoom" of a CGI "areazoom": the rectangle's centre and the zoom
    // (in hundredths) that makes it fill the frame; empty without sizes.
    static QString areaZoom(float x, float y, int width, int height, int areaWidth, int areaHeight);
    // The driver's security stop (a zero-speed continuous move). It runs
    // kSecurityStopRetryMs after a request that should have stopped the
    // camera fails (see currentIsStop), once until a request succeeds again.
    virtual void fire_security_stop() {}
    // The outcome of a request for that rule, for drivers that send their
    // requests themselves: `stop` the request should have stopped the camera.
    void stop_outcome(bool stop, bool ok);

    QString scheme;
    QString host;
    QString port;
    QString login;
    QString password;
    QString indexText;
    QString driverName;
    QString currentCommand;
    // Set with currentCommand when the request stops the camera.
    bool currentIsStop = false;
    QNetworkAccessManager *networkManager = nullptr; // the ONVIF driver's
    bool ptzAvailable = true;
    bool ptzEnabled = true;
    bool idle = true;

private:
    enum Method { None = 0, Get = 1, Put = 2, Post = 3 };
    struct Request
    {
        QString command;
        bool stop = false;
    };
    void send(Method method, const Request &request, const QString &url, const QByteArray &body);
    void queue(Method method, const QString &url, const QByteArray &body);
    void on_reply(Method method, const Request &request, const QString &reply);
    void on_error(Method method, const Request &request, const QString &message);

    QThread *requestThread = nullptr;
    QPointer<CurlRequestWorker> worker; // read only once its thread has ended
    std::shared_ptr<std::atomic_bool> workerCancel;
    int pendingMethod = None;
    Request pendingRequest;
    bool securityStopArmed = false;
    QString pendingUrl;
    QByteArray pendingBody;
};
