#pragma once
#include "nativeptzinterface.h"

#include <QJsonObject>

// AXIS cameras: the PTZ CGI ("/axis-cgi/com/ptz.cgi") for moves and the JSON
// optics API ("/axis-cgi/opticscontrol.cgi") for the zoom lens.
//
// start_probe() finds out what the camera offers: the optics API first, the
// PTZ CGI's position query when that fails; the capability is reported once
// through status_message ("Capabilities"). With the optics API the camera's
// zoom range is read before its current magnification, so that every
// magnification the driver stores or asks for stays within 1..maximum.
class AxisPtz : public NativePTZInterface
{
    Q_OBJECT
public:
    explicit AxisPtz(const PtzCamera &camera, QObject *parent = nullptr);

    void start_probe();
    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override;
    QString status_text() override;
    void get_optics();

    static QByteArray build_json_request(const QString &method, const QJsonObject &params);

    bool isOpticsSupported() const { return opticsSupported; }
    bool isPtzCgiSupported() const { return ptzCgiSupported; }
    bool isZoomCapable() const { return zoomCapable; }
    bool isMagnificationKnown() const { return magnificationKnown; }
    double currentMagnification() const { return magnification; }

private slots:
    void security_stop();
    void on_request_finished_ex(int status, QString command, QString response);

private:
    void fire_security_stop() override;
    QString opticsUrl() const { return baseUrl() + QStringLiteral("/axis-cgi/opticscontrol.cgi"); }
    QString ptzCgiUrl() const { return baseUrl() + QStringLiteral("/axis-cgi/com/ptz.cgi"); }
    void report_capabilities();
    void ptz_get(const QString &command, const QString &query, int index);
    // A magnification within what the lens can do.
    double clampMagnification(double value) const;

    bool capabilitiesReported = false;
    bool probeDone = false;
    bool opticsSupported = false;
    bool ptzCgiSupported = false;
    bool probingPtzCgi = false;
    bool zoomCapable = false;
    bool magnificationKnown = false;
    double maxMagnification = 1.0;
    double magnification = 1.0;
};
