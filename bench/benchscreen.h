#pragma once
// What a benchmark needs to measure a window on a screen: a virtual X
// screen of its own to run itself in, other programs' processor time and
// memory, and when something appears on the screen.
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

namespace benchscreen {

// Set in the environment of the run that is on the virtual screen.
inline constexpr const char *kOnScreen = "ZUBENCH_ON_SCREEN";

inline bool onScreen()
{
    return !qEnvironmentVariableIsEmpty(kOnScreen) && QGuiApplication::platformName() == QLatin1String("xcb");
}

// Runs this program again with `arguments` on a virtual screen of `size`
// ("WxH"), with a home folder of its own so that nothing the window keeps
// (settings, log) reaches the user's; returns its exit code, or -1 when
// the screen could not be started.
inline int rerunOnScreen(const QStringList &arguments, const QString &size, QString *error)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        *error = QStringLiteral("Xvfb is needed (package xvfb)");
        return -1;
    }
    QProcess server;
    server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                        QStringLiteral("0"), size + QStringLiteral("x24"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp")});
    QByteArray number;
    QElapsedTimer waited;
    waited.start();
    while (server.state() != QProcess::NotRunning && !number.contains('\n') && waited.elapsed() < 30000) {
        server.waitForReadyRead(200);
        number += server.readAllStandardOutput();
    }
    number = number.trimmed();
    if (number.isEmpty()) {
        *error = QStringLiteral("Xvfb did not report its display");
        server.kill();
        server.waitForFinished(5000);
        return -1;
    }
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(number));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    env.insert(QStringLiteral("ZUPLAYER_CONFIG"), home.filePath(QStringLiteral("none.ini")));
    env.insert(QString::fromLatin1(kOnScreen), size);
    QProcess run;
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    run.start(QCoreApplication::applicationFilePath(), arguments);
    run.waitForFinished(-1);
    const int code = run.exitStatus() == QProcess::NormalExit ? run.exitCode() : 1;
    server.terminate();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(5000);
    }
    return code;
}

// Processor seconds (user and system) of a running process; -1 when gone.
inline double processorSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // The fields after the command name, which may hold blanks.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
}

// A memory figure of a process in MB ("VmHWM", "VmRSS"); -1 when gone.
inline double memoryMb(qint64 pid, const QByteArray &key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// Peak resident memory of a process in MB; -1 when gone.
inline double peakMemoryMb(qint64 pid)
{
    return memoryMb(pid, "VmHWM");
}

inline double residentMemoryMb(qint64 pid)
{
    return memoryMb(pid, "VmRSS");
}

// Distinct colours (4 bits a channel) of a part of the screen: a video
// picture has dozens, an empty or loading surface two or three.
inline int screenColours(const QRect &area)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 0;
    const QImage img = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                           .toImage()
                           .convertToFormat(QImage::Format_RGB32);
    QSet<int> seen;
    for (int y = 0; y < img.height(); y += 3) {
        const QRgb *row = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < img.width(); x += 3)
            seen.insert(int(row[x] & 0xf0f0f0));
    }
    return seen.size();
}

// Milliseconds from now until `area` of the screen shows a picture while
// `process` runs, polled every few milliseconds; -1 when it does not
// within `timeoutMs`.
inline double waitForPicture(const QProcess &process, const QElapsedTimer &since, const QRect &area,
                             int timeoutMs = 30000)
{
    while (since.elapsed() < timeoutMs && process.state() != QProcess::NotRunning) {
        if (screenColours(area) >= 12)
            return since.nsecsElapsed() / 1e6;
        QThread::msleep(4);
    }
    return -1;
}

inline void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace benchscreen
