#pragma once
#include "nativeptzinterface.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QNetworkReply>

#include <memory>

class DomParser;
class Onvif_ptz;

// The native PTZ driver of ONVIF cameras: SOAP 1.2 posts through its own
// QNetworkAccessManager on the GUI thread, signed with a WS-Security
// UsernameToken whose digest is computed against the camera's own clock.
//
// start() reads the clock (GetSystemDateAndTime), then walks the chain
// GetServices (GetCapabilities when the device does not offer it) →
// GetProfiles → GetNode → GetPresets → GetStatus; each step is sent from the
// reply of the previous one and a failed step ends the chain with a status
// message (-99 when the clock cannot be read). Service addresses keep their
// path after "/onvif/" (or their whole path and query when they have none)
// on the configured scheme, host and port: the camera may sit behind NAT.
//
// Every post must be answered within kTimeoutMs, however the bytes trickle
// in, and is never redirected: a redirect would carry the signed request to
// wherever the device points, so a redirected reply is a failed request.
// What the device writes (faults, addresses) reaches the log on one clean
// line.
//
// send_command maps the surface's gestures to ContinuousMove, RelativeMove
// and Stop; each reply gives send_request_finished: 1 done, -1 failed (a
// SOAP fault, a network error, a timeout or an unreadable reply: "PTZ
// command failed"), 2 the move is to be stopped (a wheel zoom). A stop that
// fails is sent once more. Before the profiles are known a gesture goes
// nowhere and reports -2 "PTZ command failed" at once.
class Onvif : public NativePTZInterface
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 8000;
    static constexpr int kFalseClicMs = 300;

    explicit Onvif(const PtzCamera &camera, QObject *parent = nullptr);
    ~Onvif() override;

    // Reads the camera's clock and starts the chain.
    void start();

    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override;
    QString status_text() override;

    void get_onvif_action(const QString &service, const QString &command);
    void send_ptz_action(const QString &command, const QString &token);
    // The WS-Security header; an empty `created` takes the current UTC time.
    static QString build_security_header(const QString &user, const QString &password, const QString &created);

    Onvif_ptz *record() const { return ptz; }
    QHash<QString, QString> service_map() const { return services; }

signals:
    void timestamp(QString deviceTime);

private slots:
    void request_finished(QNetworkReply *reply);
    void request_timestamp_finished(QNetworkReply *reply);
    void request_PTZ_finished(QNetworkReply *reply);
    void onvif_action_with_timestamp(QString);
    void stop_false_clic();

private:
    enum class Kind { Clock, Chain, Move };
    // "yyyy-MM-ddTHH:mm:ssZ" on the camera's clock now (empty before the
    // clock was read).
    QString created_time() const;
    QString service_url(const QString &service) const;
    QNetworkReply *post(const QString &url, const QString &action, const QByteArray &envelope, bool contentLength,
                        Kind kind, const QString &cmd);
    void on_reply(QNetworkReply *reply);
    // The end of a move's request: the false-click stop, the status and
    // send_request_finished (2 when the move asked for its stop, even failed).
    void finish_move(const QString &cmd, bool failed);
    // A failed stop is sent once more (see NativePTZInterface).
    void fire_security_stop() override;
    void failure_report(int status, const QString &cmd, const QByteArray &text);
    void send_move(const QString &command, const QString &operation, const QString &content);

    QString command;
    QString deviceTime;
    QHash<QString, QString> services;
    Onvif_ptz *ptz = nullptr;
    std::unique_ptr<DomParser> parser;
    bool profilesKnown = false;
    bool statusKnown = false;
    bool ptzRequestPending = false;
    bool falseClickPending = false;
    QElapsedTimer deviceTimeSteady;
    QDateTime deviceTimeLocal;
};
