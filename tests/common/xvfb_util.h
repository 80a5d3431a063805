#pragma once
// A virtual X server for the tests that run a window on a real display: it
// picks a free display itself (-displayfd), and ffmpeg's x11grab takes the
// screenshots.
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

#include "zu_test_util.h"

namespace xvfb {

inline void stop(QProcess &p)
{
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

// Starts Xvfb with one screen of `size` ("WxH"); its display (":N"), or
// empty when it did not report one.
inline QString start(QProcess &server, const QString &size)
{
    server.start(QStandardPaths::findExecutable(QStringLiteral("Xvfb")),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                  size + QStringLiteral("x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    const QByteArray number = zutest::readFirstLine(server, 30000);
    return number.isEmpty() ? QString() : QLatin1Char(':') + QString::fromLatin1(number);
}

// The system's environment with a display and a home folder of the test's own.
inline QProcessEnvironment environment(const QString &display, const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home);
    return env;
}

// A screenshot of the whole screen (a null image when it failed).
inline QImage grab(const QProcessEnvironment &env, const QString &size, const QString &png)
{
    QFile::remove(png);
    QProcess grab;
    grab.setProcessEnvironment(env);
    grab.start(QStandardPaths::findExecutable(QStringLiteral("ffmpeg")),
               {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
                QStringLiteral("x11grab"), QStringLiteral("-video_size"), size, QStringLiteral("-i"),
                env.value(QStringLiteral("DISPLAY")), QStringLiteral("-frames:v"), QStringLiteral("1"), png});
    QImage img;
    if (!grab.waitForFinished(30000) || grab.exitCode() != 0 || !img.load(png))
        return QImage();
    return img.convertToFormat(QImage::Format_RGB32);
}

// Distinct colours (4 bits a channel) on every third pixel of `area`: a
// blank or "stopped" video surface has two or three.
inline int colours(const QImage &img, const QRect &area)
{
    QSet<int> seen;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); y += 3)
        for (int x = r.left(); x <= r.right(); x += 3)
            seen.insert(int(img.pixel(x, y) & 0xf0f0f0));
    return seen.size();
}

} // namespace xvfb
