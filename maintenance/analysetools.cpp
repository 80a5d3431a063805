#include "analysetools.h"

#include "processusage.h"
#include "testbandwidth.h"
#include "zulog.h"

#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <cstdio>

AnalyseTools::AnalyseTools()
    : processUsage(new ProcessUsage(this))
    , testBandwidth(new TestBandwidth(this))
{
}

AnalyseTools::~AnalyseTools()
{
    delete processUsage;
    processUsage = nullptr;
    if (processTimer) {
        processTimer->stop();
        processTimer->deleteLater();
    }
    delete testBandwidth;
    testBandwidth = nullptr;
    if (bandwidthTimer) {
        bandwidthTimer->stop();
        bandwidthTimer->deleteLater();
    }
    writeAnalyse(QStringLiteral("[INFO] Analyse tools :: stop"));
}

void AnalyseTools::process_timer_finished()
{
    if (processUsage)
        processUsage->logUsage();
}

void AnalyseTools::bandwidth_timer_finished()
{
    if (testBandwidth)
        testBandwidth->runTest();
}

void AnalyseTools::writeAnalyse(const QString &text)
{
    if (analysisFileName.isEmpty())
        return;
    const QString line = QStringLiteral("[%1] ").arg(QDateTime::currentDateTime().toString(
                             QStringLiteral("dd/MM/yyyy hh:mm:ss.zzz"))) +
                         QStringLiteral("{ analyse } %1").arg(text);
    fprintf(stderr, "Debug: %s\n", line.toLocal8Bit().constData());

    QFile file(analysisFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        logMessage(QStringLiteral("[WARN] Analyse tools :: failed to create output file :: ") + analysisFileName);
        return;
    }
    file.write((line + QLatin1Char('\n')).toUtf8());
    file.flush();
    if (file.size() > kMaxAnalysisBytes)
        file.resize(0);
}
