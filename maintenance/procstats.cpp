#include "procstats.h"

#include <QByteArray>
#include <QFile>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {
constexpr quint64 kPerSecond = 10000000; // 100-ns units

quint64 fromTimeval(const timeval &tv)
{
    return quint64(tv.tv_sec) * kPerSecond + quint64(tv.tv_usec) * 10;
}

// /proc files report a size of 0: read them to their end instead.
QByteArray readProcFile(const char *path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The value in kB of one "Name:   1234 kB" line of /proc/meminfo.
bool meminfoKiB(const QByteArray &text, const QByteArray &key, quint64 *kib)
{
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith(key + ':'))
            continue;
        const QList<QByteArray> fields = line.mid(key.size() + 1).simplified().split(' ');
        bool ok = false;
        *kib = fields.value(0).toULongLong(&ok);
        return ok;
    }
    return false;
}
} // namespace

namespace ZuProcStats {

int processorCount()
{
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 0;
}

quint64 monotonicTime()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return quint64(ts.tv_sec) * kPerSecond + quint64(ts.tv_nsec) / 100;
}

bool processTimes(quint64 *kernel, quint64 *user)
{
    rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return false;
    *kernel = fromTimeval(usage.ru_stime);
    *user = fromTimeval(usage.ru_utime);
    return true;
}

bool residentBytes(quint64 *bytes)
{
    // statm: total program size, then resident pages.
    const QList<QByteArray> fields = readProcFile("/proc/self/statm").simplified().split(' ');
    bool ok = false;
    const quint64 pages = fields.value(1).toULongLong(&ok);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (!ok || pageSize <= 0)
        return false;
    *bytes = pages * quint64(pageSize);
    return true;
}

bool memoryStatus(quint64 *total, quint64 *available)
{
    const QByteArray text = readProcFile("/proc/meminfo");
    quint64 totalKiB = 0, availableKiB = 0;
    if (!meminfoKiB(text, "MemTotal", &totalKiB) || !meminfoKiB(text, "MemAvailable", &availableKiB))
        return false;
    *total = totalKiB * 1024;
    *available = availableKiB * 1024;
    return true;
}

} // namespace ZuProcStats
