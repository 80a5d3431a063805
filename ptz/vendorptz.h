#pragma once
#include "nativeptzinterface.h"

class QTimer;

// Hanwha cameras (the SUNAPI "/stw-cgi/ptzcontrol.cgi"). Pan, tilt and zoom
// speeds go out as -100..100; the channel is `index` when it is 0 or more,
// else indexText's. A click nudges the camera toward the clicked point: a
// continuous move that stop_false_clic() ends kFalseClicMs later.
class Hanwhaptz : public NativePTZInterface
{
    Q_OBJECT
public:
    static constexpr int kFalseClicMs = 300;

    explicit Hanwhaptz(const PtzCamera &camera, QObject *parent = nullptr);
    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override;
    QString status_text() override;

private slots:
    void security_stop();
    void stop_false_clic();

private:
    void fire_security_stop() override { security_stop(); }
    void control(const QString &command, const QString &submenu, const QString &arguments, int index);

    QTimer *falseClicTimer;
};

// Hikvision cameras (ISAPI): PUT of PTZData to
// "/ISAPI/PTZCtrl/channels/<channel>/continuous" for moves and stops
// (-100..100), and of position3D (0..255, origin at the bottom left) for
// clicks and rectangles. The channel is `index` when above 0, else
// indexText's, at least 1.
class HikPtz : public NativePTZInterface
{
    Q_OBJECT
public:
    explicit HikPtz(const PtzCamera &camera, QObject *parent = nullptr);
    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override;
    QString status_text() override;

private slots:
    void security_stop();

private:
    void fire_security_stop() override { security_stop(); }
    void continuous(const QString &command, int channel, int pan, int tilt, int zoom);
    void position3D(const QString &command, int channel, float x1, float y1, float x2, float y2, int width,
                    int height);
};

// Fujinon cameras: GET "/cgi-bin/ptz.cgi?cam=<n>&..." with
// move=continuous&pan=&tilt=&zoom= (-100..100), move=stop, center=x,y or
// areazoom=x,y,z (hundredths) with imagewidth and imageheight, zoom=out.
// The camera number is `index` when above 0, else indexText's, at least 1.
class Fujiptz : public NativePTZInterface
{
    Q_OBJECT
public:
    explicit Fujiptz(const PtzCamera &camera, QObject *parent = nullptr);
    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override;
    QString status_text() override;

private slots:
    void security_stop();

private:
    void fire_security_stop() override { security_stop(); }
    void get(const QString &command, const QString &arguments, int index);
};
