#include "vendorptz.h"

#include "zulog.h"

#include <QTimer>

#include <cmath>

// ---------------------------------------------------------------- Hanwha

Hanwhaptz::Hanwhaptz(const PtzCamera &camera, QObject *parent)
    : NativePTZInterface(camera, QStringLiteral("HANWHA"), parent)
    , falseClicTimer(new QTimer(this))
{
    falseClicTimer->setSingleShot(true);
    falseClicTimer->setInterval(kFalseClicMs);
    connect(falseClicTimer, &QTimer::timeout, this, &Hanwhaptz::stop_false_clic);
}

void Hanwhaptz::control(const QString &command, const QString &submenu, const QString &arguments, int index)
{
    currentCommand = command;
    queue_get(baseUrl() + QStringLiteral("/stw-cgi/ptzcontrol.cgi?msubmenu=") + submenu
              + QStringLiteral("&action=control&Channel=") + QString::number(index >= 0 ? index : indexValue())
              + arguments);
}

void Hanwhaptz::send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                             int areaWidth, int areaHeight)
{
    const QString tile = QStringLiteral("&TileWidth=%1&TileHeight=%2").arg(width).arg(height);
    currentIsStop = false;
    if (command == QLatin1String("clic")) {
        const QPointF speed = towardPoint(x, y, width, height);
        control(command, QStringLiteral("continuous"),
                QStringLiteral("&Pan=%1&Tilt=%2&Zoom=0").arg(percentSpeed(speed.x())).arg(percentSpeed(speed.y())),
                index);
        falseClicTimer->start();
    } else if (command == QLatin1String("area")) {
        control(command, QStringLiteral("areazoom"),
                QStringLiteral("&Type=ZoomIn&X1=%1&Y1=%2&X2=%3&Y2=%4")
                        .arg(pixelValue(x)).arg(pixelValue(y)).arg(pixelValue(x + areaWidth)).arg(pixelValue(y + areaHeight))
                    + tile,
                index);
    } else if (command == QLatin1String("right_clic")) {
        control(command, QStringLiteral("areazoom"),
                QStringLiteral("&Type=ZoomOut&X1=%1&Y1=%2&X2=%1&Y2=%2").arg(pixelValue(x)).arg(pixelValue(y)) + tile,
                index);
    } else if (command == QLatin1String("ContinuousMove") || command == QLatin1String("PanTilt_ContinuousMove")) {
        const int pan = flag ? 0 : percentSpeed(x);
        const int tilt = flag ? 0 : percentSpeed(y);
        const int zoom = command == QLatin1String("PanTilt_ContinuousMove") ? 0 : percentSpeed(z);
        if (pan == 0 && tilt == 0 && zoom == 0) {
            // A continuous move at zero speed is not a stop for every model.
            currentIsStop = true;
            control(command, QStringLiteral("stop"), QStringLiteral("&OperationType=All"), index);
        } else {
            control(command, QStringLiteral("continuous"),
                    QStringLiteral("&Pan=%1&Tilt=%2&Zoom=%3").arg(pan).arg(tilt).arg(zoom), index);
        }
    } else if (command == QLatin1String("STOP_PanTilt_ContinuousMove")) {
        currentIsStop = true;
        control(command, QStringLiteral("stop"), QStringLiteral("&OperationType=PanTilt"), index);
    } else if (command == QLatin1String("STOP")) {
        currentIsStop = true;
        control(command, QStringLiteral("stop"), QStringLiteral("&OperationType=All"), index);
    } else {
        logMessage(QStringLiteral("[WARN] HANWHA PTZ :: send command :: unknown command: ") + command);
    }
}

QString Hanwhaptz::status_text() { return QStringLiteral("HANWHA PTZ channel ") + indexText; }

void Hanwhaptz::security_stop()
{
    logMessage("[INFO] HANWHA PTZ :: security stop");
    send_command(QStringLiteral("ContinuousMove"), false, 0, 0, 0, -1, -1, -1, -1, -1);
}

void Hanwhaptz::stop_false_clic()
{
    logMessage("[INFO] HANWHA PTZ :: stop false clic");
    send_command(QStringLiteral("STOP"), false, 0, 0, 0, -1, -1, indexValue(), -1, -1);
}

// ---------------------------------------------------------------- Hikvision

HikPtz::HikPtz(const PtzCamera &camera, QObject *parent)
    : NativePTZInterface(camera, QStringLiteral("HIK"), parent)
{
}

void HikPtz::continuous(const QString &command, int channel, int pan, int tilt, int zoom)
{
    currentCommand = command;
    currentIsStop = pan == 0 && tilt == 0 && zoom == 0;
    queue_put(baseUrl() + QStringLiteral("/ISAPI/PTZCtrl/channels/%1/continuous").arg(channel),
              QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><PTZData><pan>%1</pan><tilt>%2</tilt>"
                             "<zoom>%3</zoom></PTZData>")
                  .arg(pan).arg(tilt).arg(zoom).toUtf8());
}

void HikPtz::position3D(const QString &command, int channel, float x1, float y1, float x2, float y2, int width,
                        int height)
{
    if (width <= 0 || height <= 0)
        return;
    auto px = [width](float x) { return qBound(0, int(std::lround(x * 255.0 / width)), 255); };
    auto py = [height](float y) { return qBound(0, 255 - int(std::lround(y * 255.0 / height)), 255); };
    currentCommand = command;
    currentIsStop = false;
    queue_put(baseUrl() + QStringLiteral("/ISAPI/PTZCtrl/channels/%1/position3D").arg(channel),
              QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><position3D>"
                             "<StartPoint><positionX>%1</positionX><positionY>%2</positionY></StartPoint>"
                             "<EndPoint><positionX>%3</positionX><positionY>%4</positionY></EndPoint></position3D>")
                  .arg(px(x1)).arg(py(y1)).arg(px(x2)).arg(py(y2)).toUtf8());
}

void HikPtz::send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                          int areaWidth, int areaHeight)
{
    const int channel = index > 0 ? index : qMax(1, indexValue());
    if (command == QLatin1String("clic")) {
        position3D(command, channel, x, y, x, y, width, height);
    } else if (command == QLatin1String("area")) {
        position3D(command, channel, x, y, x + areaWidth, y + areaHeight, width, height);
    } else if (command == QLatin1String("right_clic")) {
        // A rectangle drawn from right to left zooms out.
        const float dx = width / 8.0f, dy = height / 8.0f;
        position3D(command, channel, x + dx, y + dy, x - dx, y - dy, width, height);
    } else if (command == QLatin1String("ContinuousMove")) {
        continuous(command, channel, flag ? 0 : percentSpeed(x), flag ? 0 : percentSpeed(y), percentSpeed(z));
    } else if (command == QLatin1String("PanTilt_ContinuousMove")) {
        continuous(command, channel, percentSpeed(x), percentSpeed(y), 0);
    } else if (command == QLatin1String("STOP_PanTilt_ContinuousMove") || command == QLatin1String("STOP")) {
        continuous(command, channel, 0, 0, 0);
    } else {
        logMessage(QStringLiteral("[WARN] HIK PTZ :: send command :: unknown command: ") + command);
    }
}

QString HikPtz::status_text() { return QStringLiteral("HIK PTZ channel ") + indexText; }

void HikPtz::security_stop()
{
    logMessage("[INFO] HIK PTZ :: security stop");
    send_command(QStringLiteral("ContinuousMove"), false, 0, 0, 0, -1, -1, 0, -1, -1);
}

// ---------------------------------------------------------------- Fujinon

Fujiptz::Fujiptz(const PtzCamera &camera, QObject *parent)
    : NativePTZInterface(camera, QStringLiteral("FUJI"), parent)
{
}

void Fujiptz::get(const QString &command, const QString &arguments, int index)
{
    currentCommand = command;
    queue_get(baseUrl() + QStringLiteral("/cgi-bin/ptz.cgi?cam=")
              + QString::number(index > 0 ? index : qMax(1, indexValue())) + arguments);
}

void Fujiptz::send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                           int areaWidth, int areaHeight)
{
    const QString image = QStringLiteral("&imagewidth=%1&imageheight=%2").arg(width).arg(height);
    currentIsStop = false;
    if (command == QLatin1String("clic")) {
        get(command, QStringLiteral("&center=%1,%2").arg(pixelValue(x)).arg(pixelValue(y)) + image, index);
    } else if (command == QLatin1String("area")) {
        const QString zoom = areaZoom(x, y, width, height, areaWidth, areaHeight);
        if (zoom.isEmpty())
            return;
        get(command, QStringLiteral("&areazoom=") + zoom + image, index);
    } else if (command == QLatin1String("right_clic")) {
        get(command, QStringLiteral("&zoom=out"), index);
    } else if (command == QLatin1String("ContinuousMove") || command == QLatin1String("PanTilt_ContinuousMove")) {
        const int pan = flag ? 0 : percentSpeed(x);
        const int tilt = flag ? 0 : percentSpeed(y);
        const int zoom = command == QLatin1String("PanTilt_ContinuousMove") ? 0 : percentSpeed(z);
        currentIsStop = pan == 0 && tilt == 0 && zoom == 0;
        get(command, QStringLiteral("&move=continuous&pan=%1&tilt=%2&zoom=%3").arg(pan).arg(tilt).arg(zoom), index);
    } else if (command == QLatin1String("STOP_PanTilt_ContinuousMove") || command == QLatin1String("STOP")) {
        currentIsStop = true;
        get(command, QStringLiteral("&move=stop"), index);
    } else {
        logMessage(QStringLiteral("[WARN] FUJI PTZ :: send command :: unknown command: ") + command);
    }
}

QString Fujiptz::status_text() { return QStringLiteral("FUJI PTZ camera ") + indexText; }

void Fujiptz::security_stop()
{
    logMessage("[INFO] FUJI PTZ :: security stop");
    send_command(QStringLiteral("ContinuousMove"), false, 0, 0, 0, -1, -1, 1, -1, -1);
}
