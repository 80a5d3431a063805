#pragma once
#include <QObject>
#include <QString>

class ProcessUsage;
class QTimer;
class TestBandwidth;

// The diagnostics kit: owns the process and bandwidth probes and writes their
// results, time-stamped, to the analysis file and the standard error stream.
// Nothing happens until an analysis file is named.
class AnalyseTools : public QObject
{
    Q_OBJECT
public:
    AnalyseTools();
    ~AnalyseTools() override;

    void setAnalysisFileName(const QString &path) { analysisFileName = path; }
    QString analysisFile() const { return analysisFileName; }
    ProcessUsage *processProbe() const { return processUsage; }
    TestBandwidth *bandwidthProbe() const { return testBandwidth; }

    void writeAnalyse(const QString &text);

    // Past this size after a line was appended the analysis file is emptied.
    static constexpr qint64 kMaxAnalysisBytes = 15000000;

public slots:
    void process_timer_finished();
    void bandwidth_timer_finished();

private:
    ProcessUsage *processUsage = nullptr;
    TestBandwidth *testBandwidth = nullptr;
    QTimer *processTimer = nullptr;
    QTimer *bandwidthTimer = nullptr;
    QString analysisFileName;
};
