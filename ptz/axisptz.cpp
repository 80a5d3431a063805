#include "axisptz.h"

#include "zulog.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace {
QString number(double v) { return QString::number(v, 'g', 6); }

// The "data"."optics"[0] object of an optics reply, empty when the reply
// does not have one.
QJsonObject firstOptics(const QString &response)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(response.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return {};
    const QJsonValue data = doc.object().value(QStringLiteral("data"));
    if (!data.isObject() || data.toObject().isEmpty())
        return {};
    const QJsonArray optics = data.toObject().value(QStringLiteral("optics")).toArray();
    if (optics.isEmpty() || !optics.first().isObject())
        return {};
    return optics.first().toObject();
}
} // namespace

AxisPtz::AxisPtz(const PtzCamera &camera, QObject *parent)
    : NativePTZInterface(camera, QStringLiteral("AXIS"), parent)
{
    connect(this, &NativePTZInterface::send_request_finished_ex, this, &AxisPtz::on_request_finished_ex);
}

QByteArray AxisPtz::build_json_request(const QString &method, const QJsonObject &params)
{
    // Written by hand so that the keys keep this order.
    QByteArray out = "{\"apiVersion\":\"1.2\",\"context\":\"talvor\",\"method\":"
        + QJsonDocument(QJsonArray{method}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    if (!params.isEmpty())
        out += ",\"params\":" + QJsonDocument(params).toJson(QJsonDocument::Compact);
    return out + '}';
}

void AxisPtz::start_probe()
{
    currentCommand = QStringLiteral("ProbeOpticsGetCapabilities");
    currentIsStop = false;
    queue_post(opticsUrl(), build_json_request(QStringLiteral("getCapabilities"), {}));
}

void AxisPtz::get_optics()
{
    currentCommand = QStringLiteral("OpticsGetOptics");
    currentIsStop = false;
    queue_post(opticsUrl(), build_json_request(QStringLiteral("getOptics"), {}));
}

double AxisPtz::clampMagnification(double value) const
{
    if (!std::isfinite(value))
        value = 1.0;
    value = std::max(1.0, value);
    if (maxMagnification > 1.0)
        value = std::min(maxMagnification, value);
    return value;
}

void AxisPtz::ptz_get(const QString &command, const QString &query, int index)
{
    currentCommand = command;
    queue_get(ptzCgiUrl() + QLatin1Char('?') + query + QStringLiteral("&camera=")
              + QString::number(index > 0 ? index : 1));
}

void AxisPtz::send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                           int areaWidth, int areaHeight)
{
    const QString image = QStringLiteral("&imagewidth=%1&imageheight=%2").arg(width).arg(height);
    currentIsStop = false;
    if (command == QLatin1String("clic")) {
        ptz_get(command, QStringLiteral("center=%1,%2").arg(pixelValue(x)).arg(pixelValue(y)) + image, index);
    } else if (command == QLatin1String("area")) {
        const QString zoom = areaZoom(x, y, width, height, areaWidth, areaHeight);
        if (zoom.isEmpty())
            return;
        ptz_get(command, QStringLiteral("areazoom=") + zoom + image, index);
    } else if (command == QLatin1String("right_clic")) {
        ptz_get(command, QStringLiteral("areazoom=%1,%2,50").arg(pixelValue(x)).arg(pixelValue(y)) + image, index);
    } else if (command == QLatin1String("ContinuousMove") && flag) {
        if (opticsSupported) {
            // One wheel step of speed 1 doubles or halves the magnification.
            const double target = clampMagnification(magnification * std::pow(2.0, qBound(-1.0f, z, 1.0f)));
            currentCommand = QStringLiteral("OpticsSetMagnification");
            QJsonObject optic{{QStringLiteral("opticsId"), QString::number(index > 0 ? index - 1 : 0)},
                              {QStringLiteral("magnification"), target}};
            queue_post(opticsUrl(), build_json_request(QStringLiteral("setMagnification"),
                                                       QJsonObject{{QStringLiteral("optics"), QJsonArray{optic}}}));
        } else {
            ptz_get(command, QStringLiteral("rzoom=%1").arg(percentSpeed(z) * 25), index);
        }
    } else if (command == QLatin1String("ContinuousMove")) {
        currentIsStop = percentSpeed(x) == 0 && percentSpeed(y) == 0 && percentSpeed(z) == 0;
        ptz_get(command,
                QStringLiteral("continuouspantiltmove=%1,%2&continuouszoommove=%3")
                    .arg(percentSpeed(x)).arg(percentSpeed(y)).arg(percentSpeed(z)),
                index);
    } else if (command == QLatin1String("PanTilt_ContinuousMove")) {
        currentIsStop = percentSpeed(x) == 0 && percentSpeed(y) == 0;
        ptz_get(command, QStringLiteral("continuouspantiltmove=%1,%2").arg(percentSpeed(x)).arg(percentSpeed(y)), index);
    } else if (command == QLatin1String("STOP_PanTilt_ContinuousMove")) {
        currentIsStop = true;
        ptz_get(command, QStringLiteral("continuouspantiltmove=0,0"), index);
    } else if (command == QLatin1String("STOP")) {
        currentIsStop = true;
        ptz_get(command, QStringLiteral("move=stop"), index);
    } else {
        logMessage(QStringLiteral("[WARN] AXIS PTZ :: send command :: unknown command: ") + command);
    }
}

QString AxisPtz::status_text()
{
    QString text = QStringLiteral("AXIS capabilities:");
    text += opticsSupported ? QStringLiteral(" OPTICS (zoom)") : ptzCgiSupported ? QStringLiteral(" PTZ CGI")
                                                                                 : QStringLiteral(" none");
    if (maxMagnification > 1.0)
        text += QStringLiteral(" maxMagnification=") + number(maxMagnification);
    if (magnificationKnown)
        text += QStringLiteral(" magnification=") + number(magnification);
    return text;
}

void AxisPtz::security_stop()
{
    logMessage("[INFO] AXIS PTZ :: security stop");
    send_command(QStringLiteral("ContinuousMove"), false, 0, 0, 0, -1, -1, 1, -1, -1);
}

void AxisPtz::fire_security_stop() { security_stop(); }

void AxisPtz::report_capabilities()
{
    if (capabilitiesReported)
        return;
    capabilitiesReported = true;
    if (opticsSupported) {
        QString text = QStringLiteral("AXIS capabilities: OPTICS (zoom)");
        if (maxMagnification > 1.0)
            text += QStringLiteral(" maxMagnification=") + number(maxMagnification);
        emit status_message(1, QStringLiteral("Capabilities"), text, driverName);
    } else if (ptzCgiSupported) {
        emit status_message(1, QStringLiteral("Capabilities"), status_text(), driverName);
    } else {
        emit status_message(-1, QStringLiteral("Capabilities"), QStringLiteral("no PTZ/optics"), driverName);
    }
}

void AxisPtz::on_request_finished_ex(int status, QString command, QString response)
{
    const bool ok = status == 1;
    if (isProbeCommand(command)) {
        probingPtzCgi = false;
        if (command == QLatin1String("ProbeOpticsGetCapabilities")) {
            if (ok) {
                probeDone = true;
                opticsSupported = true;
                logMessage("[INFO] AXIS :: probe :: opticscontrol supported");
                report_capabilities();
                // The current magnification is asked for once the range is
                // known (see OpticsGetCapabilities below).
                currentCommand = QStringLiteral("OpticsGetCapabilities");
                currentIsStop = false;
                queue_post(opticsUrl(), build_json_request(QStringLiteral("getCapabilities"), {}));
            } else {
                probingPtzCgi = true;
                currentCommand = QStringLiteral("ProbePtzQueryPosition");
                currentIsStop = false;
                queue_get(ptzCgiUrl() + QStringLiteral("?query=position"));
            }
        } else if (command == QLatin1String("ProbePtzQueryPosition")) {
            probeDone = true;
            if (ok) {
                ptzCgiSupported = true;
                logMessage("[INFO] AXIS :: probe :: ptz.cgi supported");
            } else {
                logMessage("[WARN] AXIS :: probe :: no opticscontrol / no ptz.cgi");
            }
            report_capabilities();
        }
        return;
    }
    if (!ok || !command.startsWith(QLatin1String("Optics"), Qt::CaseInsensitive))
        return;
    const QJsonObject optic = firstOptics(response);
    if (command == QLatin1String("OpticsGetCapabilities")) {
        if (optic.contains(QStringLiteral("maxMagnification"))) {
            const QJsonValue v = optic.value(QStringLiteral("maxMagnification"));
            maxMagnification = v.isDouble() && std::isfinite(v.toDouble()) ? v.toDouble() : 0.0;
            zoomCapable = maxMagnification > 1.0;
            logMessage(QStringLiteral("[INFO] AXIS OPTICS :: maxMagnification=") + number(maxMagnification));
            report_capabilities();
        }
        get_optics();
    } else if (command == QLatin1String("OpticsGetOptics")) {
        if (!optic.contains(QStringLiteral("magnification")))
            return;
        magnification = clampMagnification(optic.value(QStringLiteral("magnification")).toDouble());
        magnificationKnown = true;
        logMessage(QStringLiteral("[INFO] AXIS OPTICS :: current magnification=") + number(magnification));
    } else if (command == QLatin1String("OpticsSetMagnification")) {
        get_optics();
    }
}
