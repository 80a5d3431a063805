#pragma once
// Shared helpers of the test programs: skipping for something the machine
// lacks, and waiting for a child process's output.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTest>
#include <QtGlobal>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include <sched.h>
#include <sys/mount.h>

// Skips the test for a tool or facility the machine lacks, naming it. Under CI
// a missing tool is a failure: a part of the suite left unrun must not pass.
#define ZU_SKIP_MISSING(what)                                                                                          \
    do {                                                                                                               \
        const QByteArray zuMissing_ = "missing on this machine: " + QString(what).toUtf8();                            \
        if (qEnvironmentVariableIsSet("CI"))                                                                           \
            QFAIL(zuMissing_.constData());                                                                             \
        QSKIP(zuMissing_.constData());                                                                                 \
    } while (false)

namespace zutest {

// Puts the test process in a mount namespace of its own, so that the mounts
// it makes show to no other process and go with it. Empty when that works,
// else why not; done once per process.
inline QString privateMountNamespace()
{
    static const QString refused = [] {
        if (::unshare(CLONE_NEWNS) != 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
            return QString();
        const int err = errno;
        // Inside a chroot "/" is no mount point and cannot be made private;
        // the test's mounts still stay its own when no mount of the namespace
        // passes mounts on to another.
        QFile info(QStringLiteral("/proc/self/mountinfo"));
        if (err == EINVAL && info.open(QIODevice::ReadOnly) && !info.readAll().contains(" shared:"))
            return QString();
        return QString::fromLocal8Bit(std::strerror(err));
    }();
    return refused;
}

// Reads the process's standard output until `done` accepts all that came so
// far, the process ends or `timeoutMs` passes; a silent interval is no reason
// to give up while the deadline is ahead. Returns what came.
inline QByteArray readOutputUntil(QProcess &p, const std::function<bool(const QByteArray &)> &done, int timeoutMs)
{
    QByteArray out;
    const QDeadlineTimer deadline(timeoutMs);
    if (!p.waitForStarted(int(std::max<qint64>(deadline.remainingTime(), 1))))
        return out;
    for (;;) {
        const bool ended = p.state() == QProcess::NotRunning;
        out += p.readAllStandardOutput();
        if (done(out) || ended || deadline.hasExpired())
            return out;
        p.waitForReadyRead(int(std::clamp<qint64>(deadline.remainingTime(), 1, 500)));
    }
}

// The first complete line of the process's standard output (without its
// end), or empty when none came within `timeoutMs`.
inline QByteArray readFirstLine(QProcess &p, int timeoutMs)
{
    const QByteArray out = readOutputUntil(p, [](const QByteArray &o) { return o.contains('\n'); }, timeoutMs);
    const int end = out.indexOf('\n');
    return end < 0 ? QByteArray() : out.left(end).trimmed();
}

// Whether the ffmpeg command line has the encoder `name` (a missing or
// silent ffmpeg has none).
inline bool ffmpegHasEncoder(const QString &name)
{
    QProcess p;
    p.start(QStringLiteral("ffmpeg"), {QStringLiteral("-hide_banner"), QStringLiteral("-encoders")});
    const QByteArray all = readOutputUntil(p, [](const QByteArray &) { return false; }, 60000);
    for (const QByteArray &line : all.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 2 && f.at(1) == name.toLatin1())
            return true;
    }
    return false;
}

} // namespace zutest
