#include "leftover.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace {
// Field 22 of /proc/<pid>/stat; -1 when the process is gone, 0 when its
// entry cannot be read.
qint64 startTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return stat.exists() ? 0 : -1;
    const QByteArray line = stat.read(4096);
    // The command name in parentheses may hold spaces and parentheses.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // After the name: state is field 3, so start time (22) is at 22 - 3.
    bool ok = false;
    const qint64 ticks = fields.value(22 - 3).toLongLong(&ok);
    return ok ? ticks : 0;
}

QByteArray linkText(const char *path)
{
    char buffer[256];
    const ssize_t n = ::readlink(path, buffer, sizeof buffer);
    return n > 0 && size_t(n) < sizeof buffer ? QByteArray(buffer, int(n)) : QByteArray();
}

constexpr int kKeyDigits = 16;
} // namespace

namespace leftover {
Place here()
{
    Place place;
    QFile boot(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (boot.open(QIODevice::ReadOnly))
        place.bootId = QString::fromLatin1(boot.read(64).trimmed());
    place.hostName = QSysInfo::machineHostName();
    // /proc of another namespace (a sandbox that kept the host's) names
    // other processes under these pids: then nothing can be looked up.
    if (linkText("/proc/self") == QByteArray::number(qint64(::getpid())))
        place.pidNamespace = QString::fromLatin1(linkText("/proc/self/ns/pid"));
    return place;
}

QString placeKey(const Place &place)
{
    if (place.bootId.isEmpty() || place.hostName.isEmpty() || place.pidNamespace.isEmpty())
        return QString();
    const QByteArray parts = place.bootId.toUtf8() + '\n' + place.hostName.toUtf8() + '\n' + place.pidNamespace.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(parts, QCryptographicHash::Sha256).toHex().left(kKeyDigits));
}

QString ownerStamp()
{
    const qint64 pid = ::getpid();
    QString stamp = QString::number(pid) + QLatin1Char('-') + QString::number(qMax<qint64>(0, startTicks(pid)));
    const QString key = placeKey(here());
    if (!key.isEmpty())
        stamp += QLatin1Char('-') + key;
    return stamp;
}

Owner owner(QStringView stamp)
{
    const QList<QStringView> parts = stamp.split(QLatin1Char('-'));
    // A stamp without a place (an earlier version's) may come from anywhere.
    if (parts.size() != 3)
        return Owner::Unknown;
    bool pidOk = false;
    bool ticksOk = false;
    const qint64 pid = parts.at(0).toLongLong(&pidOk);
    const qint64 ticks = parts.at(1).toLongLong(&ticksOk);
    if (!pidOk || !ticksOk || pid <= 0 || ticks < 0)
        return Owner::Unknown;
    const QString key = placeKey(here());
    if (key.isEmpty() || parts.at(2) != key)
        return Owner::Unknown;
    const qint64 now = startTicks(pid);
    if (now < 0)
        return Owner::Gone;
    if (now > 0 && ticks > 0)
        return now == ticks ? Owner::Running : Owner::Gone;
    // Without start times only the pid can be asked after.
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH ? Owner::Running : Owner::Gone;
}
} // namespace leftover
