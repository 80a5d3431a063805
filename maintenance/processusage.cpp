#include "processusage.h"

#include "analysetools.h"
#include "procstats.h"

namespace {
constexpr double kMiB = 1024.0 * 1024.0;
}

ProcessUsage::ProcessUsage(AnalyseTools *owner)
    : processorCount(ZuProcStats::processorCount())
    , owner(owner)
{
    lastSampleTime = ZuProcStats::monotonicTime();
    ZuProcStats::processTimes(&lastKernelTime, &lastUserTime);
}

double ProcessUsage::cpuPercent(quint64 kernelDelta, quint64 userDelta, quint64 elapsed, int processors)
{
    if (elapsed == 0 || processors <= 0)
        return 0.0;
    return (double(kernelDelta) + double(userDelta)) / double(elapsed) / double(processors) * 100.0;
}

void ProcessUsage::logUsage()
{
    quint64 resident = 0;
    ZuProcStats::residentBytes(&resident);
    const double use = double(resident) / kMiB;

    quint64 totalBytes = 0, availableBytes = 0;
    double total = 0.0, available = 0.0;
    if (ZuProcStats::memoryStatus(&totalBytes, &availableBytes)) {
        total = double(totalBytes >> 20);
        available = double(availableBytes >> 20);
    } else if (owner) {
        owner->writeAnalyse(QStringLiteral("[INFO] Process Usage :: unknown Memory "));
    }
    if (!owner)
        return;

    const quint64 now = ZuProcStats::monotonicTime();
    quint64 kernel = lastKernelTime, user = lastUserTime;
    ZuProcStats::processTimes(&kernel, &user);
    // A clock or counter that went backwards counts as no time passed.
    const double cpu = cpuPercent(kernel >= lastKernelTime ? kernel - lastKernelTime : 0,
                                  user >= lastUserTime ? user - lastUserTime : 0,
                                  now >= lastSampleTime ? now - lastSampleTime : 0, processorCount);
    lastSampleTime = now;
    lastUserTime = user;
    lastKernelTime = kernel;

    owner->writeAnalyse(QStringLiteral("[INFO] Process Usage :: Physical Memory [ USE %1 / AVAIL %2 / TOT %3 Mb ] "
                                       "--- CPU [ %4 % ]")
                            .arg(use, 0, 'f', 2)
                            .arg(available, 0, 'f', 1)
                            .arg(total, 0, 'f', 1)
                            .arg(cpu, 0, 'f', 5));
}
