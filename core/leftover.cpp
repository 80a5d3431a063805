#include "leftover.h"

#include <QFile>

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
} // namespace

namespace leftover {
QString ownerStamp()
{
    const qint64 pid = ::getpid();
    return QString::number(pid) + QLatin1Char('-') + QString::number(qMax<qint64>(0, startTicks(pid)));
}

bool ownerAlive(QStringView stamp)
{
    const qsizetype dash = stamp.indexOf(QLatin1Char('-'));
    bool pidOk = false;
    bool ticksOk = false;
    const qint64 pid = stamp.left(dash).toLongLong(&pidOk);
    const qint64 ticks = dash < 0 ? -1 : stamp.mid(dash + 1).toLongLong(&ticksOk);
    if (!pidOk || !ticksOk || pid <= 0 || ticks < 0)
        return true;
    const qint64 now = startTicks(pid);
    if (now < 0)
        return false;
    if (now > 0 && ticks > 0)
        return now == ticks;
    // Without start times only the pid can be asked after.
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}
} // namespace leftover
