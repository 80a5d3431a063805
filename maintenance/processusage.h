#pragma once
#include <QObject>

class AnalyseTools;

// Memory and processor use of the running process, reported to its owner's
// analysis file. Each report gives the processor use since the previous one
// (or since construction).
class ProcessUsage : public QObject
{
    Q_OBJECT
public:
    explicit ProcessUsage(AnalyseTools *owner);

    void logUsage();

    // Share of all processors the process used over `elapsed`, in per cent
    // (all times in one unit); 0 when no time has passed or no processor is
    // counted.
    static double cpuPercent(quint64 kernelDelta, quint64 userDelta, quint64 elapsed, int processors);

private:
    quint64 lastSampleTime = 0;
    quint64 lastKernelTime = 0;
    quint64 lastUserTime = 0;
    int processorCount = 0;
    AnalyseTools *owner = nullptr;
};
