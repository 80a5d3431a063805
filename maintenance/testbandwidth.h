#pragma once
#include <QObject>
#include <QString>

class AnalyseTools;

// Download speed of the test server's fixed test file "/lib/256k.bytes",
// reported to the owner's analysis file. runTest blocks its calling thread
// for the whole download.
class TestBandwidth : public QObject
{
    Q_OBJECT
public:
    explicit TestBandwidth(AnalyseTools *owner);
    ~TestBandwidth() override;

    void setBaseUrl(const QString &url) { baseUrl = url; }
    QString base() const { return baseUrl; }
    bool isRunning() const { return running; }

    void runTest();

    // libcurl's write sink: every chunk is accepted and dropped.
    static size_t write_callback(char *data, size_t size, size_t count, void *user);

    // The result line for the figures libcurl gave (a figure that could not
    // be read is passed as 0): downloaded bytes, total time in microseconds,
    // average speed in bytes per second.
    static QString resultLine(qint64 bytes, qint64 microseconds, qint64 bytesPerSecond);

    // A transfer that cannot connect, or stalls below one byte a second for
    // this long, fails instead of blocking its thread for good.
    static constexpr long kConnectTimeoutSeconds = 10;
    static constexpr long kStallSeconds = 30;

private:
    QString baseUrl;
    bool running = false;
    AnalyseTools *owner = nullptr;
};
